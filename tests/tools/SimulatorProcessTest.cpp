#include "tools/SimulatorProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// True once `pid` has ended within `timeoutMs`; a process that is not our
// child may stay a zombie a while, which counts as ended.
bool EndsWithin(pid_t pid, long timeoutMs) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    std::string state;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::getline(stat, state);
    if (state.empty() || state.find(") Z") != std::string::npos) return true;
    if (ElapsedMs(start) >= timeoutMs) return false;
    usleep(10000);
  }
}

bool StartShell(SimulatorProcess& process, const std::string& script) {
  return process.Start("/bin/sh", {"-c", script});
}

TEST(SimulatorProcessTest, FindsThePortAndKeepsEverythingPrinted) {
  SimulatorProcess process;
  // More than a pipe holds goes to standard error first: the announcement
  // behind it is still found.
  ASSERT_TRUE(StartShell(process,
                         "i=0; while [ $i -lt 3000 ]; do "
                         "echo 'noise noise noise noise noise noise noise noise noise' >&2; "
                         "i=$((i+1)); done; "
                         "echo 'Port: 10000'; echo 'REGISTER:  Port: [10001]'; exec sleep 30"))
      << process.Error();
  EXPECT_EQ(10001, process.WaitForPort(10000)) << process.Error();
  EXPECT_TRUE(process.Running());
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(process.Wait(200));
  EXPECT_GE(ElapsedMs(start), 190);
  process.Kill();
  EXPECT_FALSE(process.Running());
  EXPECT_EQ(128 + SIGKILL, process.ExitStatus());
  EXPECT_EQ("Port: 10000\nREGISTER:  Port: [10001]\n", process.Output());
  EXPECT_EQ(3000u * 54, process.ErrorOutput().size());
}

TEST(SimulatorProcessTest, ReadsLinesAndTheExitStatus) {
  SimulatorProcess process;
  ASSERT_TRUE(StartShell(process, "printf 'first\\nsecond'; echo problem >&2; exit 3"));
  std::string line;
  ASSERT_TRUE(process.ReadLine(line, 5000)) << process.Error();
  EXPECT_EQ("first", line);
  ASSERT_TRUE(process.ReadLine(line, 5000)) << process.Error();
  EXPECT_EQ("second", line);  // the unterminated last line, once the output ended
  EXPECT_FALSE(process.ReadLine(line, 5000));
  ASSERT_TRUE(process.Wait(5000)) << process.Error();
  EXPECT_EQ(3, process.ExitStatus());
  EXPECT_EQ("problem\n", process.ErrorOutput());
  EXPECT_EQ(-1, process.WaitForPort(100));
}

// A manager ignores SIGPIPE; what it starts gets the default back, so that
// a launcher's pipeline ends as it would from a shell.
TEST(SimulatorProcessTest, AChildDoesNotInheritAnIgnoredSigpipe) {
  struct sigaction ignore {}, saved{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &saved);
  SimulatorProcess process;
  ASSERT_TRUE(StartShell(process, "yes | head -n 1; grep SigIgn /proc/self/status")) << process.Error();
  ASSERT_TRUE(process.Wait(5000));
  sigaction(SIGPIPE, &saved, nullptr);
  const std::string& out = process.Output();
  ASSERT_EQ(out.substr(0, 2), "y\n") << out;
  const size_t at = out.find("SigIgn:");
  ASSERT_NE(at, std::string::npos) << out;
  const unsigned long long ignored = std::stoull(out.substr(at + 7), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << out;
  EXPECT_EQ(process.ErrorOutput(), "");
}

TEST(SimulatorProcessTest, MissingOrMalformedAnnouncementsAreFailuresInTime) {
  {
    SimulatorProcess process;
    ASSERT_TRUE(StartShell(process, "exec sleep 30"));
    std::string line;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(process.ReadLine(line, 200));
    EXPECT_EQ(-1, process.WaitForPort(200));
    EXPECT_LT(ElapsedMs(start), 3000);
  }  // the destructor kills the child
  for (const char* script : {"echo 'REGISTER:  Port: [99999]'", "echo 'REGISTER:  Port: [12a]'",
                             "echo 'REGISTER:  Port: ['", "echo 'REGISTER: Port: [5]'"}) {
    SimulatorProcess process;
    ASSERT_TRUE(StartShell(process, script));
    EXPECT_EQ(-1, process.WaitForPort(5000)) << script;
    EXPECT_TRUE(process.Wait(5000));
  }
  SimulatorProcess missing;
  EXPECT_FALSE(missing.Start("/nonexistent/simulator", {}));
  EXPECT_NE(std::string::npos, missing.Error().find("/nonexistent/simulator"));
  EXPECT_FALSE(missing.Running());
}

}  // namespace

// A child leading its own group takes what it left running in the group
// with it when it ends, whether it ended by itself or was killed; the pid
// of the leftover is read from its output.
TEST(SimulatorProcessTest, WhatAGroupLeaderLeavesBehindEndsWithIt) {
  for (const bool killed : {false, true}) {
    SimulatorProcess process;
    process.SetOwnProcessGroup(true);
    ASSERT_TRUE(StartShell(process, "sleep 612.5 & echo $!; " + std::string(killed ? "exec sleep 30" : "exit 4")));
    std::string line;
    ASSERT_TRUE(process.ReadLine(line, 10000)) << process.Error();
    const pid_t leftover = static_cast<pid_t>(std::stol(line));
    ASSERT_GT(leftover, 0);
    if (killed) {
      process.Kill();
      EXPECT_EQ(process.ExitStatus(), 128 + SIGKILL);
    } else {
      ASSERT_TRUE(process.Wait(10000));
      EXPECT_EQ(process.ExitStatus(), 4);
    }
    EXPECT_TRUE(EndsWithin(leftover, 5000));
  }
}

// GroupRunning looks at the whole group without reaping: true while what
// the leader left runs, false once only zombies remain.
TEST(SimulatorProcessTest, GroupRunningSeesWhatTheLeaderLeft) {
  SimulatorProcess process;
  process.SetOwnProcessGroup(true);
  ASSERT_TRUE(StartShell(process, "sleep 612.75 & echo $!; echo $$; exit 0"));
  std::string line;
  ASSERT_TRUE(process.ReadLine(line, 10000)) << process.Error();
  const pid_t leftover = static_cast<pid_t>(std::stol(line));
  ASSERT_TRUE(process.ReadLine(line, 10000)) << process.Error();
  const pid_t leader = static_cast<pid_t>(std::stol(line));
  ASSERT_EQ(leader, process.Pid());
  ASSERT_TRUE(EndsWithin(leader, 5000));
  EXPECT_TRUE(process.Running());  // not reaped
  EXPECT_TRUE(process.GroupRunning());
  kill(leftover, SIGKILL);
  const Clock::time_point start = Clock::now();
  while (process.GroupRunning() && ElapsedMs(start) < 5000) usleep(10000);
  EXPECT_FALSE(process.GroupRunning());
  EXPECT_TRUE(process.PollEnded());
  EXPECT_EQ(process.ExitStatus(), 0);

  SimulatorProcess alone;
  ASSERT_TRUE(StartShell(alone, "exec sleep 30"));
  EXPECT_TRUE(alone.GroupRunning());
  alone.Kill();
  EXPECT_FALSE(alone.GroupRunning());
}

namespace {

// A child that floods both streams without end costs bounded memory, a Pump
// returns at once although the child never stops writing, and the tail of
// what it printed is still there.
TEST(SimulatorProcessTest, AnOutputLimitKeepsOnlyTheTail) {
  SimulatorProcess process;
  process.SetOutputLimit(4096);
  ASSERT_TRUE(StartShell(process,
                         "i=0; while [ $i -lt 20000 ]; do echo \"line $i of noise noise noise\"; "
                         "echo \"error $i\" >&2; i=$((i+1)); done; echo last; exec yes flood >&2"))
      << process.Error();
  const Clock::time_point until = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < until && process.Output().find("last\n") == std::string::npos) {
    const Clock::time_point start = Clock::now();
    process.Pump();
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_LE(process.Output().size(), 2u * 4096);
    EXPECT_LE(process.ErrorOutput().size(), 2u * 4096);
    usleep(1000);
  }
  EXPECT_NE(process.Output().find("line 19999 of noise noise noise\nlast\n"), std::string::npos);
  EXPECT_EQ(process.Output().find("line 0 of"), std::string::npos);
  for (int i = 0; i < 2000 && process.ErrorOutput().find("flood\nflood\n") == std::string::npos; ++i) {
    process.Pump();
    usleep(1000);
  }
  for (int i = 0; i < 20; ++i) process.Pump();
  EXPECT_NE(process.ErrorOutput().find("flood\nflood\n"), std::string::npos);
  EXPECT_LE(process.ErrorOutput().size(), 2u * 4096);
  process.Kill();
  EXPECT_LE(process.ErrorOutput().size(), 2u * 4096);
}

}  // namespace
