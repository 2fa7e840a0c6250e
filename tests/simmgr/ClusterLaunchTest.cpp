// simmgr through a real ssh server and a real Slurm cluster. Run by
// `make test-cluster` (tools/cluster/test-cluster), which brings both up on
// 127.0.0.1, describes them in the environment and runs these tests inside
// a Slurm allocation; without that environment every test is skipped (and
// fails when KORVAN_CLUSTER_REQUIRED is 1, as test-cluster sets it).
//
// The "remote" side is this machine, so what is left running there is
// seen in /proc.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <thread>

#include "simmgr/SeedSequence.h"
#include "tests/simmgr/SimMgrTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool Required() { return Env("KORVAN_CLUSTER_REQUIRED") == "1"; }

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The simmgr options that reach the loopback ssh server, or an empty list
// when it is not up.
std::vector<std::string> SshLauncher() {
  if (Env("LOOPBACK_SSH_PORT").empty()) return {};
  return {"--launcher",     "ssh",
          "--hosts",        "127.0.0.1",
          "--ssh-port",     Env("LOOPBACK_SSH_PORT"),
          "--ssh-user",     Env("LOOPBACK_SSH_USER"),
          "--ssh-identity", Env("LOOPBACK_SSH_IDENTITY"),
          "--ssh-option",   "UserKnownHostsFile=" + Env("LOOPBACK_SSH_KNOWN_HOSTS"),
          "--ssh-option",   "StrictHostKeyChecking=yes"};
}

// Inside an allocation of the loopback cluster: the srun preset, with the
// node named or left to Slurm.
std::vector<std::string> SrunLauncher(bool nameTheNode) {
  if (Env("SLURM_CONF").empty() || Env("SLURM_JOB_ID").empty()) return {};
  std::vector<std::string> options = {"--launcher", "srun"};
  if (nameTheNode) options.insert(options.end(), {"--hosts", Env("LOOPBACK_SLURM_NODE")});
  return options;
}

// Simulators at once: the allocation's tasks under Slurm, else 2.
std::string Jobs() {
  const int tasks = std::atoi(Env("SLURM_NTASKS").c_str());
  return std::to_string(tasks > 0 ? std::min(tasks, 2) : 2);
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The job steps of this allocation that Slurm still knows of.
std::string JobSteps() {
  SimulatorProcess squeue;
  if (!squeue.Start("/usr/bin/env", {"squeue", "-h", "-s", "-j", Env("SLURM_JOB_ID"), "-o", "%i %j"})) {
    return "cannot run squeue";
  }
  if (!squeue.Wait(20000)) return "squeue did not end";
  return squeue.Output() + squeue.ErrorOutput();
}

// Waits (bounded) until this allocation has no job step left; what is left
// otherwise.
std::string JobStepsLeft() {
  std::string steps;
  const Clock::time_point start = Clock::now();
  while ((steps = JobSteps()) != "" && SecondsSince(start) < 15.0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return steps;
}

// Whether a simulator with one of the seeds of experiments 0 to `count`-1
// of base seed `base` still runs.
bool SimulatorOfStudyRunning(uint32_t base, int count) {
  const std::vector<uint32_t> seeds = SeedSequence::Derive(base, 36);
  for (int k = 0; k < count; ++k) {
    if (ProcessRunningWith({"-s", std::to_string(seeds[k])})) return true;
  }
  return false;
}

// Stops a manager the test started that is still running when the test
// ends early, as Ctrl-C would: killing it outright would leave its remote
// simulators and job steps to the tests that follow.
class StopOnExit {
 public:
  explicit StopOnExit(SimulatorProcess& manager) : manager(manager) {}
  ~StopOnExit() {
    if (!manager.Running()) return;
    manager.Signal(SIGINT);
    if (!manager.Wait(30000)) manager.Kill();
  }

 private:
  SimulatorProcess& manager;
};

// Waits (bounded) for `running` to turn false: the remote side of ssh ends
// its command shortly after the client has gone.
bool EndsWithin(double seconds, const std::function<bool()>& running) {
  const Clock::time_point start = Clock::now();
  while (running()) {
    if (SecondsSince(start) > seconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Writes an executable stand-in for the simulator that takes the experiment
// from -e and runs `cases` (a body of a shell `case` on it).
std::string WriteStandIn(const std::string& dir, const std::string& cases) {
  const std::string path = dir + "/standin.sh";
  {
    std::ofstream out(path);
    out << "#!/bin/sh\n"
           "exp=''; prev=''\n"
           "for a in \"$@\"; do [ \"$prev\" = -e ] && exp=$a; prev=$a; done\n"
           "case \"$exp\" in\n"
        << cases << "esac\nexit 9\n";
  }
  std::filesystem::permissions(path, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                         std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                         std::filesystem::perms::others_exec);
  return path;
}

}  // namespace

// The same six experiments with a fixed number of replications, locally,
// through ssh and as job steps: the seeds do not depend on where a
// simulator runs, so every number but the processor times is the same.
TEST(ClusterLaunchTest, SameResultsLocallyThroughSshAndAsJobSteps) {
  const std::vector<std::string> ssh = SshLauncher();
  const std::vector<std::string> srun = SrunLauncher(false);
  if (ssh.empty() || srun.empty()) {
    if (Required()) FAIL() << "the loopback ssh server or Slurm allocation is not up";
    GTEST_SKIP() << "the loopback ssh server or Slurm allocation is not up";
  }
  const std::string dir = TestFolder("cluster_same");
  const std::vector<std::string> study = {
      "--experiments", "0,7,14,21,28,35", "--replications", "1000", "--report-size", "250", "--seed", "8128",
      "--timeout", "30", "--simulator", KORVAN_SIMULATOR_PATH};
  // Under srun --jobs is left to its default, the allocation's tasks.
  const std::vector<std::pair<std::string, std::vector<std::string>>> ways = {
      {"local", {"--jobs", Jobs()}}, {"ssh", Join({"--jobs", Jobs()}, ssh)}, {"srun", srun}};
  std::vector<std::vector<std::map<std::string, std::string>>> tables;
  for (const auto& [name, launcher] : ways) {
    const Clock::time_point start = Clock::now();
    const SimMgrResult result = RunSimMgr(Join(Join(study, {"--out", dir + "/" + name}), launcher), 120000);
    std::cout << "[ cluster  ] " << name << ": 6 experiments x 1000 replications in " << SecondsSince(start)
              << " s\n";
    ASSERT_EQ(result.exitStatus, 0) << name << "\n" << result.err;
    tables.push_back(ReadCsv(dir + "/" + name + "/results.csv"));
    ASSERT_EQ(tables.back().size(), 18u) << name;
    for (const auto& row : tables.back()) {
      EXPECT_EQ(row.at("status"), "complete") << name;
      EXPECT_EQ(row.at("replications"), "1000") << name;
    }
  }
  for (size_t t = 1; t < tables.size(); ++t) {
    for (size_t i = 0; i < tables[0].size(); ++i) {
      for (const auto& [column, value] : tables[0][i]) {
        if (column == "cpu_seconds") continue;
        EXPECT_EQ(tables[t][i].at(column), value) << ways[t].first << ": " << column << " of row " << i;
      }
    }
  }
}

// Ctrl-C while simulators send data stops each with the quit command; a
// second Ctrl-C ends them at once. Either way what was collected is kept,
// and no simulator (and no job step) is left running on the remote side.
void InterruptThrough(const std::vector<std::string>& launcher, const std::string& name, bool twice,
                      uint32_t seed) {
  const std::string dir = TestFolder("cluster_interrupt_" + name);
  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH,
                            Join({"--experiments", "0-3", "--replications", "100000000", "--report-size", "100",
                                  "--seed", std::to_string(seed), "--jobs", Jobs(), "--timeout", "30", "--out",
                                  dir + "/out", "--ascii-dir", dir + "/ascii", "--simulator",
                                  KORVAN_SIMULATOR_PATH},
                                 launcher)));
  const StopOnExit stop(manager);
  // Wait (bounded) until the first two simulators have handed over data.
  const std::string state = dir + "/out/state.json";
  const Clock::time_point until = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < until && !HandOversCounted(state, {0, 1})) manager.Wait(50);
  ASSERT_TRUE(HandOversCounted(state, {0, 1})) << manager.ErrorOutput();
  const Clock::time_point start = Clock::now();
  manager.Signal(SIGINT);
  if (twice) {
    // Apart, as two presses of Ctrl-C are (the same signal sent twice at
    // once may be delivered once).
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    manager.Signal(SIGINT);
  }
  ASSERT_TRUE(manager.Wait(30000)) << manager.ErrorOutput();
  std::cout << "[ cluster  ] " << name << ": simmgr ended " << SecondsSince(start) << " s after the "
            << (twice ? "second " : "") << "interrupt, with status " << manager.ExitStatus() << "\n";
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 12u);
  for (const auto& row : rows) {
    const int k = std::atoi(row.at("experiment").c_str());
    if (k >= 2) {
      EXPECT_EQ(row.at("status"), "not run");
    } else {
      // Stopped at its next hand-over or, after the second interrupt,
      // ended at once: either way incomplete.
      EXPECT_EQ(row.at("status"), "incomplete");
      if (!twice) {
        EXPECT_GT(std::atoll(row.at("replications").c_str()), 0);
      }
    }
  }
  EXPECT_EQ(manager.ExitStatus(), 3) << manager.ErrorOutput();
  EXPECT_EQ(manager.ErrorOutput().find("failed"), std::string::npos) << manager.ErrorOutput();
  const Clock::time_point ended = Clock::now();
  EXPECT_TRUE(EndsWithin(10.0, [&] { return SimulatorOfStudyRunning(seed, 4); })) << name;
  std::cout << "[ cluster  ] " << name << ": no simulator left " << SecondsSince(ended)
            << " s after simmgr ended\n";
}

TEST(ClusterLaunchTest, InterruptThroughSshEndsTheRemoteSimulators) {
  const std::vector<std::string> ssh = SshLauncher();
  if (ssh.empty()) {
    if (Required()) FAIL() << "the loopback ssh server is not up";
    GTEST_SKIP() << "the loopback ssh server is not up";
  }
  InterruptThrough(ssh, "ssh", false, 7001);
  InterruptThrough(ssh, "ssh_twice", true, 7002);
}

TEST(ClusterLaunchTest, InterruptThroughSrunEndsTheJobSteps) {
  const std::vector<std::string> srun = SrunLauncher(true);
  if (srun.empty()) {
    if (Required()) FAIL() << "not inside an allocation of the loopback Slurm cluster";
    GTEST_SKIP() << "not inside an allocation of the loopback Slurm cluster";
  }
  InterruptThrough(srun, "srun", false, 7003);
  EXPECT_EQ(JobStepsLeft(), "");
  InterruptThrough(SrunLauncher(false), "srun_twice", true, 7004);
  EXPECT_EQ(JobStepsLeft(), "");
}

// Stand-ins on the remote side: one never announces a port, one announces
// a port nobody listens on (a simulator that cannot be reached), one is
// running when the manager is interrupted. Each is a failure (or, for the
// interrupt, incomplete) of its own experiment, and each ends on the remote
// side with its launcher: ssh hangs it up, srun cancels its step.
void StandInsThrough(const std::vector<std::string>& launcher, const std::string& name, bool slurm) {
  const std::string dir = TestFolder("cluster_standins_" + name);
  const std::string standIn = WriteStandIn(dir,
                                           "  0) echo silent; exec sleep 613.25;;\n"
                                           "  1) echo 'REGISTER:  Port: [1]'; exec sleep 613.5;;\n"
                                           "  2) echo waiting; exec sleep 613.75;;\n");
  const Clock::time_point start = Clock::now();
  const SimMgrResult result = RunSimMgr(
      Join({"--experiments", "0,1", "--replications", "100", "--jobs", Jobs(), "--timeout", "8", "--out",
            dir + "/out", "--simulator", standIn},
           launcher),
      60000);
  std::cout << "[ cluster  ] " << name << ": two unreachable stand-ins failed in " << SecondsSince(start)
            << " s\n";
  EXPECT_EQ(result.exitStatus, 1) << result.err;
  EXPECT_NE(result.err.find("experiment 0 failed: no port announcement within the timeout"), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("experiment 1 failed: no connection to "), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(" port 1 within the timeout"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("| silent"), std::string::npos) << result.err;
  EXPECT_TRUE(EndsWithin(10.0, [] {
    return ProcessRunningWith({"sleep", "613.25"}) || ProcessRunningWith({"sleep", "613.5"});
  })) << name;
  if (slurm) {
    EXPECT_EQ(JobStepsLeft(), "");
  }

  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH, Join({"--experiments", "2", "--replications", "100", "--timeout",
                                                      "60", "--out", dir + "/interrupted", "--simulator", standIn},
                                                     launcher)));
  const StopOnExit stop(manager);
  const Clock::time_point until = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < until && !ProcessRunningWith({"sleep", "613.75"})) manager.Wait(50);
  ASSERT_TRUE(ProcessRunningWith({"sleep", "613.75"})) << manager.ErrorOutput();
  manager.Signal(SIGINT);
  ASSERT_TRUE(manager.Wait(30000)) << manager.ErrorOutput();
  EXPECT_EQ(manager.ExitStatus(), 3) << manager.ErrorOutput();
  EXPECT_TRUE(EndsWithin(10.0, [] { return ProcessRunningWith({"sleep", "613.75"}); })) << name;
  if (slurm) {
    EXPECT_EQ(JobStepsLeft(), "");
  }
  const auto rows = ReadCsv(dir + "/interrupted/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "incomplete");
}

TEST(ClusterLaunchTest, UnreachableAndInterruptedRemoteSimulatorsEndThroughSsh) {
  const std::vector<std::string> ssh = SshLauncher();
  if (ssh.empty()) {
    if (Required()) FAIL() << "the loopback ssh server is not up";
    GTEST_SKIP() << "the loopback ssh server is not up";
  }
  StandInsThrough(ssh, "ssh", false);
}

TEST(ClusterLaunchTest, UnreachableAndInterruptedJobStepsEnd) {
  const std::vector<std::string> srun = SrunLauncher(false);
  if (srun.empty()) {
    if (Required()) FAIL() << "not inside an allocation of the loopback Slurm cluster";
    GTEST_SKIP() << "not inside an allocation of the loopback Slurm cluster";
  }
  StandInsThrough(srun, "srun", true);
}
