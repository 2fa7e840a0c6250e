// simmgr through launchers on this machine: the host a launched command
// announces, a command quoted for a second shell, and how a launcher is
// stopped (SIGTERM, then SIGKILL once its grace is over).

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "tests/simmgr/SimMgrTestSupport.h"

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Writes an executable stand-in for the simulator that takes the experiment
// from -e and runs `cases` (a body of a shell `case` on it); any other
// experiment runs the real simulator.
void WriteStandIn(const std::string& path, const std::string& cases) {
  {
    std::ofstream out(path);
    out << "#!/bin/sh\n"
           "exp=''; prev=''\n"
           "for a in \"$@\"; do [ \"$prev\" = -e ] && exp=$a; prev=$a; done\n"
           "case \"$exp\" in\n"
        << cases
        << "esac\n"
           "exec '" KORVAN_SIMULATOR_PATH "' \"$@\"\n";
  }
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

}  // namespace

// The simulator's command goes through two shells, its path holding a
// blank, and the host a launched command names before the port is the one
// connected to: a reachable one completes, one that cannot be reached is a
// failure of that experiment alone (no retries asked for), reported with the
// host named.
TEST(LauncherRunTest, AnnouncedHostIsConnectedToThroughASecondShell) {
  const std::string dir = TestFolder("announced host");
  const std::string standIn = dir + "/stand in.sh";
  WriteStandIn(standIn,
               "  0) echo SIMMGR_HOST=localhost;;\n"
               "  1) echo SIMMGR_HOST=255.255.255.255;;\n");
  const auto start = std::chrono::steady_clock::now();
  const SimMgrResult result =
      RunSimMgr({"--experiments", "0,1", "--replications", "200", "--report-size", "100", "--jobs", "2",
                 "--seed", "5151", "--timeout", "2", "--retries", "0", "--port", "23500", "--out", dir + "/out", "--simulator",
                 standIn, "--launcher", "sh -c {quoted-command}"});
  EXPECT_LT(SecondsSince(start), 20.0);
  EXPECT_EQ(result.exitStatus, 1) << result.err;
  EXPECT_NE(result.err.find("experiment 1 failed: no connection to 255.255.255.255 port "), std::string::npos)
      << result.err;
  EXPECT_EQ(result.err.find("experiment 0 failed"), std::string::npos) << result.err;
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 6u);
  for (const auto& row : rows) {
    const bool reachable = row.at("experiment") == "0";
    EXPECT_EQ(row.at("status"), reachable ? "complete" : "failed");
    EXPECT_EQ(row.at("replications"), reachable ? "200" : "0");
  }
}

// A launcher that must be stopped gets SIGTERM, so that it can end what it
// started elsewhere; one that ignores it is killed once its grace is over,
// and nothing is left running either way. The same holds for an interrupt
// before any data. (With `exec` the stand-in itself is the launcher.)
TEST(LauncherRunTest, StoppedLaunchersGetSigtermThenSigkill) {
  const std::string dir = TestFolder("launcher ending");
  const std::string standIn = dir + "/standin.sh";
  WriteStandIn(standIn,
               "  2) trap 'echo TERM >> \"" + dir + "/term2\"; exit 0' TERM; echo waiting; "
               "sleep 611.25 & wait; exit 0;;\n"
               "  3) trap '' TERM; echo deaf; exec sleep 611.5;;\n");
  const auto start = std::chrono::steady_clock::now();
  const SimMgrResult result =
      RunSimMgr({"--experiments", "2,3", "--replications", "200", "--jobs", "2", "--timeout", "1", "--retries", "0",
                 "--port",
                 "23550", "--out", dir + "/out", "--simulator", standIn, "--launcher", "exec {command}"});
  const double seconds = SecondsSince(start);
  EXPECT_EQ(result.exitStatus, 1) << result.err;
  EXPECT_NE(result.err.find("experiment 2 failed: no port announcement within the timeout"), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("experiment 3 failed: no port announcement within the timeout"), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("stdout| deaf"), std::string::npos) << result.err;
  EXPECT_EQ(ReadFile(dir + "/term2"), "TERM\n");
  // The deaf one had its five seconds of grace.
  EXPECT_GE(seconds, 5.5);
  EXPECT_LT(seconds, 20.0);
  EXPECT_FALSE(ProcessRunningWith({"sleep", "611.25"}));
  EXPECT_FALSE(ProcessRunningWith({"sleep", "611.5"}));

  // Interrupted while the launched commands have not announced a port.
  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH,
                            {"--experiments", "2", "--replications", "200", "--timeout", "30", "--port", "23560",
                             "--out", dir + "/interrupted", "--simulator", standIn, "--launcher",
                             "exec {command}"}));
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until && !ProcessRunningWith({"sleep", "611.25"})) manager.Wait(20);
  manager.Signal(SIGINT);
  ASSERT_TRUE(manager.Wait(20000)) << manager.ErrorOutput();
  EXPECT_EQ(manager.ExitStatus(), 3) << manager.ErrorOutput();
  EXPECT_EQ(ReadFile(dir + "/term2"), "TERM\nTERM\n");
  EXPECT_FALSE(ProcessRunningWith({"sleep", "611.25"}));
  const auto rows = ReadCsv(dir + "/interrupted/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "incomplete");
}

// A launcher's own failure status is told apart from a signal: ssh ends
// with 255 when it cannot reach the host or loses the connection, which is
// above 128 plus any signal number, while a command killed by a signal
// still is one.
TEST(LauncherRunTest, ALaunchersStatus255IsAnExitNotASignal) {
  const std::string dir = TestFolder("launcher status");
  const std::string standIn = dir + "/standin.sh";
  WriteStandIn(standIn,
               "  4) echo 'ssh: connect to host n9 port 22: Connection refused' >&2; exit 255;;\n"
               "  5) kill -9 $$;;\n");
  const SimMgrResult result =
      RunSimMgr({"--experiments", "4,5", "--replications", "200", "--jobs", "2", "--timeout", "10", "--retries", "0",
                 "--port", "23570", "--out", dir + "/out", "--simulator", standIn, "--launcher", "exec {command}"});
  EXPECT_EQ(result.exitStatus, 1) << result.err;
  EXPECT_NE(result.err.find("experiment 4 failed: the simulator ended before announcing its port (exit status 255)"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("experiment 5 failed: the simulator ended before announcing its port (killed by signal 9)"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.err.find("signal 127"), std::string::npos) << result.err;
  EXPECT_NE(result.out.find("4: 1 exited after 0"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("5: 1 killed after 0"), std::string::npos) << result.out;
}

// A launcher that cannot start the simulator for a moment (ssh while sshd is
// restarted, srun while slurmd is) ends before any port announcement; the
// next attempt waits 1 s, then 2 s, ..., so that the experiment outlasts
// the outage instead of spending its retries at once. Here the "host" is
// back 1.5 s after the first attempt: the second attempt (after 1 s) still
// fails, the third (after 2 s more) completes.
TEST(LauncherRunTest, AttemptsThatEndBeforeTheirPortAreRetriedAfterAPause) {
  const std::string dir = TestFolder("launcher pause");
  const std::string standIn = dir + "/standin.sh";
  WriteStandIn(standIn,
               "  6) now=$(date +%s%N); [ -e '" + dir + "/first' ] || echo $now > '" + dir + "/first';\n"
               "     if [ $(( (now - $(cat '" + dir + "/first')) / 1000000 )) -lt 1500 ]; then\n"
               "       echo 'ssh: connect to host n9 port 22: Connection refused' >&2; exit 255; fi;;\n");
  const auto start = std::chrono::steady_clock::now();
  const SimMgrResult result =
      RunSimMgr({"--experiments", "6", "--replications", "200", "--timeout", "10", "--retries", "3", "--port",
                 "23580", "--out", dir + "/out", "--simulator", standIn, "--launcher", "exec {command}"});
  const double seconds = SecondsSince(start);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_GE(seconds, 3.0);
  EXPECT_LT(seconds, 20.0);
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "complete");
  EXPECT_EQ(rows[0].at("replications"), "200");
  EXPECT_EQ(rows[0].at("attempt_endings"), "exited;exited;complete") << result.err;
}

// With several --hosts, one of which cannot start simulators (its sshd
// down), that host has none running and is the least loaded whenever the
// others are busy: every retry went there and the experiment failed while
// another host could have run it. An attempt that follows one such early
// end is started on another host. Here "localhost" refuses every start and
// comes first; each experiment that tries it first completes on 127.0.0.1.
TEST(LauncherRunTest, ARetryAfterAnEarlyEndGoesToAnotherHost) {
  const std::string dir = TestFolder("launcher other host");
  const auto study = [&dir](const std::string& experiments, const std::string& replications,
                            const std::string& retries, const std::string& out) {
    return RunSimMgr({"--experiments", experiments, "--replications", replications, "--jobs", "2", "--hosts",
                      "localhost,127.0.0.1", "--timeout", "10", "--retries", retries, "--port", "23590", "--out",
                      dir + "/" + out, "--simulator", KORVAN_SIMULATOR_PATH, "--launcher",
                      "if [ {host} = localhost ]; then echo 'ssh: connect to host localhost port 22: Connection "
                      "refused' >&2; exit 255; fi; exec {command}"});
  };
  const SimMgrResult result = study("0,1,2", "400", "3", "out");
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 9u);
  for (const auto& row : rows) {
    EXPECT_EQ(row.at("status"), "complete") << row.at("experiment");
    EXPECT_EQ(row.at("replications"), "400");
    const std::string endings = row.at("attempt_endings");
    EXPECT_TRUE(endings == "complete" || endings == "exited;complete") << row.at("experiment") << ": " << endings;
  }

  // Without retries: once a start there has ended early, experiments
  // starting later do not try that host first. Only those started before
  // (the first) can fail.
  const SimMgrResult once = study("0-5", "200", "0", "once");
  EXPECT_EQ(once.exitStatus, 1) << once.err;
  const auto onceRows = ReadCsv(dir + "/once/results.csv");
  ASSERT_EQ(onceRows.size(), 18u);
  int failed = 0;
  for (const auto& row : onceRows) failed += row.at("status") == "failed" ? 1 : 0;
  EXPECT_EQ(failed, 3) << once.err;  // experiment 0's three rows
  EXPECT_EQ(onceRows[0].at("status"), "failed");
}
