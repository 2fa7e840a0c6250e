// Experiments whose simulators fail: what arrived whole is kept, the rest is
// restarted with a fresh seed, and the files say how every attempt ended.
// Also the deadline of the quit phase and the bound on what a simulator's
// output costs. The manager runs as a program, against the real simulator
// and stand-ins.

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <thread>
#include <unistd.h>

#include "simmgr/ExperimentRun.h"
#include "simmgr/SeedSequence.h"
#include "tests/simmgr/SimMgrTestSupport.h"
#include "tests/tools/FakeSimulator.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The observations a stand-in sends: row v, observation i.
double FakeValue(int v, int i) { return (i + v) % 7 == 0 ? 1.0 : 0.0; }

Bytes CpuRecord(int k, double seconds) {
  Bytes out;
  PutU32(out, 12);
  out.push_back(0xFE);
  out.push_back(static_cast<unsigned char>(k));
  PutU16(out, static_cast<unsigned>(k));
  PutDouble(out, seconds);
  return out;
}

// A data record of experiment (and client) k with `count` observations of
// each of three variables, observation numbers from `first` on.
Bytes DataRecord(int k, int first, int count, double poison = 0.0, bool poisoned = false) {
  Bytes out;
  PutU32(out, static_cast<uint32_t>(9 + 7 * 3 + 8 * 3 * count));
  out.push_back(static_cast<unsigned char>(k));
  PutU16(out, static_cast<unsigned>(k));
  PutU16(out, 3);
  for (int v = 0; v < 3; ++v) {
    PutU16(out, static_cast<unsigned>(v));
    out.push_back(1);
    PutU32(out, static_cast<uint32_t>(count));
    for (int i = first; i < first + count; ++i) {
      PutDouble(out, poisoned && v == 1 && i == first + 3 ? poison : FakeValue(v, i));
    }
  }
  return out;
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Five experiments, R replications each, through a launcher. The first
// attempt of four of them goes wrong: a stand-in that sends two records and
// then half of a third before closing (5), the real simulator killed by its
// launcher mid-run, which reports that a second later as srun may (6), a
// stand-in whose second record holds a NaN (7), a stand-in that falls silent
// after one record (8). Every experiment still
// completes with exactly R replications; the broken attempts' whole records
// count, nothing else of theirs does; the second attempts run the seed of
// attempt 1; and the statistics are exactly those of the observations that
// counted. (The timeout leaves room for the real simulator, which batches up
// to 25 cheap hand-overs, on a loaded machine, and under the sanitizers.)
TEST(ExperimentRunTest, FailedAttemptsKeepWholeRecordsAndTheRestIsRestarted) {
#if defined(__SANITIZE_ADDRESS__)
  const char* const kTimeout = "25";
  const int kR = 1000;
#else
  const char* const kTimeout = "6";
  const int kR = 3000;
#endif
  const std::string dir = TestFolder("retries");
  FakeSimulator partial([](KorvanSocket& connection) {
    FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
    FakeSimulator::Send(connection, CpuRecord(5, 0.5));
    FakeSimulator::Send(connection, DataRecord(5, 0, 100));
    FakeSimulator::Send(connection, DataRecord(5, 100, 100));
    const Bytes third = DataRecord(5, 200, 100);
    FakeSimulator::Send(connection, Bytes(third.begin(), third.begin() + 30));
    connection.Close();
  });
  FakeSimulator poisoned([](KorvanSocket& connection) {
    FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
    FakeSimulator::Send(connection, DataRecord(7, 0, 100));
    FakeSimulator::Send(connection, DataRecord(7, 100, 100, std::numeric_limits<double>::quiet_NaN(), true));
    FakeSimulator::ReadCommand(connection);
  });
  FakeSimulator silent([](KorvanSocket& connection) {
    FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
    FakeSimulator::Send(connection, DataRecord(8, 0, 100));
    FakeSimulator::ReadCommand(connection);  // until the manager gives up
  });
  const std::string script = dir + "/standin.sh";
  WriteScript(script,
              "#!/bin/sh\n"
              "exp=''; prev=''\n"
              "for a in \"$@\"; do [ \"$prev\" = -e ] && exp=$a; prev=$a; done\n"
              "marker='" + dir + "/started-'$exp\n"
              "if [ ! -e \"$marker\" ]; then\n"
              "  : > \"$marker\"\n"
              "  case \"$exp\" in\n"
              "    5) echo 'REGISTER:  Port: [" + std::to_string(partial.port) + "]'; exec sleep 60;;\n"
              "    7) echo 'REGISTER:  Port: [" + std::to_string(poisoned.port) + "]'; exec sleep 60;;\n"
              "    8) echo 'REGISTER:  Port: [" + std::to_string(silent.port) + "]'; exec sleep 60;;\n"
              "    6) '" KORVAN_SIMULATOR_PATH "' \"$@\" & pid=$!\n"
              "       while [ \"$(wc -l < '" + dir + "/ascii/experiment6.txt' 2>/dev/null || echo 0)\" -lt 1000 ];"
              " do sleep 0.05; done\n"
              "       kill -9 $pid; wait $pid; sleep 1; exit 137;;\n"
              "  esac\n"
              "fi\n"
              "exec '" KORVAN_SIMULATOR_PATH "' \"$@\"\n");
  const uint32_t base = 2024;
  const SimMgrResult result = RunSimMgr(
      {"--experiments", "4-8", "--replications", std::to_string(kR), "--report-size", "10", "--jobs", "5",
       "--timeout", kTimeout, "--seed", std::to_string(base), "--port", "21400", "--out", dir + "/out",
       "--ascii-dir", dir + "/ascii", "--simulator", script, "--launcher", "{command}"},
      90000);
  partial.Finish();
  poisoned.Finish();
  silent.Finish();
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_NE(result.err.find("experiment 5, attempt 1"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("the simulator closed the connection inside a message after 200 replications; "
                            "starting it again (retry 1 of 3)"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("protocol error: a data record holds an observation that is not a finite number "
                            "after 100 replications"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("no record from the simulator within the timeout after 100 replications"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.out.find("Attempts (simulator processes)"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("INCOMPLETE"), std::string::npos) << result.out;

  const std::map<int, std::string> endings = {
      {4, "complete"}, {5, "link;complete"}, {6, "killed;complete"}, {7, "protocol;complete"}, {8, "timeout;complete"}};
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 15u);
  for (const auto& row : rows) {
    const int k = std::atoi(row.at("experiment").c_str());
    EXPECT_EQ(row.at("status"), "complete");
    EXPECT_EQ(row.at("replications"), std::to_string(kR));
    EXPECT_EQ(row.at("attempt_endings"), endings.at(k)) << "experiment " << k << "\n" << result.err;
    EXPECT_EQ(row.at("attempts"), k == 4 ? "1" : "2");
  }

  const json document = json::parse(ReadFile(dir + "/out/results.json"), nullptr, false);
  ASSERT_FALSE(document.is_discarded());
  EXPECT_EQ(document["settings"]["retries"], 3);
  const SeedSequence seeds(base, 36);
  for (const json& e : document["experiments"]) {
    const int k = e["experiment"];
    const json& attempts = e["attempts"];
    ASSERT_EQ(attempts.size(), k == 4 ? 1u : 2u);
    EXPECT_EQ(e["seed"], seeds.Seed(k, 0, 0));
    int64_t total = 0;
    std::vector<RunningStatistics> expected(3);
    for (size_t a = 0; a < attempts.size(); ++a) {
      const json& attempt = attempts[a];
      EXPECT_EQ(attempt["attempt"], a);
      EXPECT_EQ(attempt["seed"], seeds.Seed(k, 0, static_cast<int>(a)));
      const int64_t n = attempt["replications"];
      total += n;
      if (a == 0 && k != 4 && k != 6) {
        // A stand-in's whole records.
        EXPECT_EQ(n, k == 5 ? 200 : 100) << "experiment " << k;
        for (int v = 0; v < 3; ++v) {
          for (int i = 0; i < n; ++i) expected[v].Add(FakeValue(v, i));
        }
        continue;
      }
      const std::string file = dir + "/ascii/experiment" + std::to_string(k) +
                               (a > 0 ? "-attempt" + std::to_string(a) : "") + ".txt";
      const auto stream = StreamStatistics(k, attempt["seed"], n, file, dir);
      for (int v = 0; v < 3; ++v) expected[v].Merge(stream[v]);
    }
    EXPECT_EQ(total, kR) << "experiment " << k;
    if (k == 6) {
      EXPECT_EQ(attempts[0]["ended"], "killed");
      EXPECT_GT(attempts[0]["replications"].get<int64_t>(), 0);
      EXPECT_NE(attempts[0]["reason"].get<std::string>().find("killed by signal 9"), std::string::npos);
    }
    EXPECT_EQ(attempts[attempts.size() - 1]["reason"], nullptr);
    for (int v = 0; v < 3; ++v) {
      const json& variable = e["variables"][v];
      EXPECT_EQ(variable["replications"], kR);
      EXPECT_EQ(variable["mean"].get<double>(), expected[v].Mean()) << "experiment " << k << " variable " << v;
      EXPECT_EQ(variable["variance"].get<double>(), expected[v].Variance()) << "experiment " << k;
    }
  }
}

// A stand-in that greets, then sends records of 50 observations of
// experiment 3 every 100 ms for `seconds`, and never answers a command.
// `commanded`, when given, is set once the manager has sent anything (the
// quit command: it sends nothing else).
FakeSimulator::Script SendsRecordsAndNeverAnswers(int seconds, std::atomic<bool>* commanded = nullptr) {
  return [seconds, commanded](KorvanSocket& connection) {
    FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
    const Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
    for (int first = 0; Clock::now() < until; first += 50) {
      const Bytes record = DataRecord(3, first, 50);
      if (connection.Send(reinterpret_cast<const char*>(record.data()), static_cast<int>(record.size())) <= 0) {
        break;
      }
      char byte;
      if (commanded != nullptr && recv(connection.sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1) {
        *commanded = true;
      }
      Pause(100);
    }
  };
}

// A simulator program that announces `port` (a stand-in's) and then sleeps.
std::string AnnouncingScript(const std::string& dir, int port, int sleepSeconds) {
  const std::string script = dir + "/announce.sh";
  WriteScript(script, "#!/bin/sh\necho 'REGISTER:  Port: [" + std::to_string(port) + "]'\nexec sleep " +
                          std::to_string(sleepSeconds) + "\n");
  return script;
}

// A simulator that sends records but never answers the quit command does
// not hold the manager: the quit phase has its own deadline, which records
// arriving meanwhile do not move. Everything needed had arrived, so the
// experiment is complete and the attempt's ending says what went wrong.
TEST(ExperimentRunTest, ASimulatorIgnoringQuitIsLeftAfterItsOwnDeadline) {
  const std::string dir = TestFolder("ignores_quit");
  FakeSimulator deaf(SendsRecordsAndNeverAnswers(20));
  const std::string script = AnnouncingScript(dir, deaf.port, 30);
  const Clock::time_point start = Clock::now();
  const SimMgrResult result =
      RunSimMgr({"--experiments", "3", "--replications", "100", "--timeout", "2", "--port", "21450", "--out",
                 dir + "/out", "--simulator", script, "--launcher", "{command}"});
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  deaf.Finish();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_LT(seconds, 10.0);
  EXPECT_NE(result.err.find("experiment 3: no reply to the quit command within the timeout; everything it "
                            "needed had arrived, so it is complete"),
            std::string::npos)
      << result.err;
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "complete");
  EXPECT_EQ(rows[0].at("replications"), "100");
  EXPECT_EQ(rows[0].at("attempt_endings"), "timeout");
}

// The same simulator, the manager interrupted while it waits for the quit
// reply: at the end of the shutdown wait the simulator is ended, and the
// experiment, which has everything it needs, stays complete (the study as a
// whole was interrupted: exit status 3).
TEST(ExperimentRunTest, AnInterruptLeavesAnExperimentThatHasEverythingComplete) {
  const std::string dir = TestFolder("ignores_quit_interrupted");
  std::atomic<bool> quitSent{false};
  FakeSimulator deaf(SendsRecordsAndNeverAnswers(25, &quitSent));
  const std::string script = AnnouncingScript(dir, deaf.port, 40);
  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH, {"--experiments", "3", "--replications", "100", "--timeout", "30",
                                                 "--port", "21460", "--out", dir + "/out", "--simulator", script,
                                                 "--launcher", "{command}"}));
  // 100 replications arrive within half a second; the quit goes unanswered.
  const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
  while (!quitSent && Clock::now() < until && !manager.Wait(20)) {
  }
  ASSERT_TRUE(quitSent) << manager.ErrorOutput();
  manager.Signal(SIGINT);
  ASSERT_TRUE(manager.Wait(30000)) << manager.ErrorOutput();
  deaf.Finish();
  EXPECT_EQ(manager.ExitStatus(), 3) << manager.ErrorOutput();
  EXPECT_EQ(manager.ErrorOutput().find("failed"), std::string::npos) << manager.ErrorOutput();
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "complete");
  EXPECT_EQ(rows[0].at("replications"), "100");
}

// The same simulator interrupted long before its experiment has all it
// needs: the quit goes unanswered until the quit phase's deadline, the
// simulator is then ended, and its experiment is incomplete with what
// arrived whole, as any experiment an interrupt stops, not failed (exit
// status 3; the attempt's ending says what went wrong).
TEST(ExperimentRunTest, AnInterruptedExperimentWhoseSimulatorIgnoresQuitIsIncomplete) {
  const std::string dir = TestFolder("ignores_quit_interrupted_early");
  FakeSimulator deaf(SendsRecordsAndNeverAnswers(25));
  const std::string script = AnnouncingScript(dir, deaf.port, 40);
  SimulatorProcess manager;
  // A timeout long enough that a loaded machine does not end the attempt
  // before the interrupt (the stand-in sends a record every 100 ms).
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH, {"--experiments", "3", "--replications", "100000", "--timeout", "5",
                                                 "--retries", "0", "--port", "21490", "--out", dir + "/out",
                                                 "--simulator", script, "--launcher", "{command}"}));
  ASSERT_TRUE(UntilSaved(manager, dir + "/out/state.json", [](const StudyState& state) {
    return !state.experiments.empty() && !state.experiments[0].attempts.empty() &&
           state.experiments[0].attempts[0].replications >= 100;
  }));
  manager.Signal(SIGINT);
  ASSERT_TRUE(manager.Wait(30000)) << manager.ErrorOutput();
  deaf.Finish();
  EXPECT_EQ(manager.ExitStatus(), 3) << manager.ErrorOutput();
  EXPECT_EQ(manager.ErrorOutput().find("failed"), std::string::npos) << manager.ErrorOutput();
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "incomplete");
  EXPECT_GE(std::atoll(rows[0].at("replications").c_str()), 100);
  EXPECT_EQ(rows[0].at("attempt_endings"), "timeout");
}

// A simulator whose connection closed is given a moment to end, so that its
// attempt says how it ended. An interrupt in that moment ends the attempt
// at once ("link": the launcher runs on) and does not start the work again:
// the experiment is incomplete with what arrived whole.
TEST(ExperimentRunTest, AnInterruptAfterAConnectionClosedStartsNothingAgain) {
  const std::string dir = TestFolder("closed_interrupted");
  std::atomic<bool> closed{false};
  FakeSimulator leaving([&closed](KorvanSocket& connection) {
    FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
    FakeSimulator::Send(connection, DataRecord(3, 0, 50));
    connection.Close();
    closed = true;
  });
  const std::string script = AnnouncingScript(dir, leaving.port, 30);
  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH, {"--experiments", "3", "--replications", "100", "--timeout", "30",
                                                 "--port", "21480", "--out", dir + "/out", "--simulator", script,
                                                 "--launcher", "{command}"}));
  const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
  while (!closed && Clock::now() < until && !manager.Wait(20)) {
  }
  ASSERT_TRUE(closed) << manager.ErrorOutput();
  Pause(300);
  const Clock::time_point interrupted = Clock::now();
  manager.Signal(SIGINT);
  ASSERT_TRUE(manager.Wait(30000)) << manager.ErrorOutput();
  leaving.Finish();
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - interrupted).count(), 10.0);
  EXPECT_EQ(manager.ExitStatus(), 3) << manager.ErrorOutput();
  EXPECT_EQ(manager.ErrorOutput().find("starting it again"), std::string::npos) << manager.ErrorOutput();
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "incomplete");
  EXPECT_EQ(rows[0].at("replications"), "50");
  EXPECT_EQ(rows[0].at("attempt_endings"), "link");
}

// Starts simmgr on experiment 3 (1000 replications) with `script` as the
// simulator program, and waits (bounded) until its saved state counts a
// hand-over. False when it could not be started, ended or did not get there.
bool StartOnAStandIn(SimulatorProcess& manager, const std::string& dir, const std::string& script, int port) {
  if (!manager.Start(KORVAN_SIMMGR_PATH, {"--experiments", "3", "--replications", "1000", "--timeout", "30",
                                          "--port", std::to_string(port), "--out", dir + "/out", "--simulator",
                                          script, "--launcher", "{command}"})) {
    return false;
  }
  const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
  while (!HandOversCounted(dir + "/out/state.json", {3})) {
    if (Clock::now() >= until || manager.Wait(20)) return false;
  }
  return true;
}

// Records that have arrived whole count, also when a second interrupt ends
// the simulators at once before the manager has read them: here the manager
// is stopped while a stand-in sends two more records, and both interrupts
// come before it goes on.
TEST(ExperimentRunTest, ASecondInterruptKeepsTheRecordsAlreadyReceived) {
  const std::string dir = TestFolder("second_interrupt_unread");
  std::atomic<int> stage{0};
  FakeSimulator holding([&stage](KorvanSocket& connection) {
    FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
    FakeSimulator::Send(connection, DataRecord(3, 0, 50));
    stage = 1;
    const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
    while (stage != 2 && Clock::now() < until) Pause(10);
    FakeSimulator::Send(connection, DataRecord(3, 50, 50));
    FakeSimulator::Send(connection, DataRecord(3, 100, 50));
    stage = 3;
    FakeSimulator::ReadCommand(connection);
  });
  const std::string script = AnnouncingScript(dir, holding.port, 30);
  SimulatorProcess manager;
  ASSERT_TRUE(StartOnAStandIn(manager, dir, script, 21490)) << manager.ErrorOutput();
  manager.Signal(SIGSTOP);
  stage = 2;
  const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
  while (stage != 3 && Clock::now() < until) Pause(10);
  ASSERT_EQ(stage, 3);
  Pause(200);
  manager.Signal(SIGINT);
  manager.Signal(SIGTERM);
  manager.Signal(SIGCONT);
  ASSERT_TRUE(manager.Wait(30000)) << manager.ErrorOutput();
  holding.Finish();
  EXPECT_EQ(manager.ExitStatus(), 3) << manager.ErrorOutput();
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "incomplete");
  EXPECT_EQ(rows[0].at("replications"), "150");
  EXPECT_EQ(rows[0].at("attempt_endings"), "interrupted");
}

namespace {

// Holds the manager on its standard error: fills that pipe to the last byte
// (through a write end of its own), then waits, up to 6 s, until the
// manager's next progress line (one every 5 s) is held in it. False if the
// pipe cannot be filled; where the wait cannot be seen, it takes the 6 s.
bool HoldOnItsStandardError(SimulatorProcess& manager) {
  const std::string path = "/proc/self/fd/" + std::to_string(manager.ErrorFd());
  const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1) return false;
  const std::string chunk(4096, '#');
  while (write(fd, chunk.data(), chunk.size()) > 0) {
  }
  while (write(fd, "#", 1) == 1) {
  }
  close(fd);
  const auto held = [&manager] {
    std::ifstream wchan("/proc/" + std::to_string(manager.Pid()) + "/wchan");
    std::string where;
    std::getline(wchan, where);
    return where.find("pipe_write") != std::string::npos;
  };
  const Clock::time_point until = Clock::now() + std::chrono::seconds(6);
  while (!held() && Clock::now() < until) Pause(10);
  return true;
}

}  // namespace

// The manager is held (its standard error a full pipe) after it sent the
// quit of an interrupt, and the simulator's reply and its last hand-over
// arrive meanwhile. Held past the shutdown time, the manager ended the
// attempt as one that did not stop, and dropped that hand-over unread, whole
// as it was; it now counts what arrived whole first.
TEST(ExperimentRunTest, AShutdownThatOutlastsTheManagerKeepsTheRecordsAlreadyReceived) {
  const std::string dir = TestFolder("shutdown_unread");
  std::atomic<int> stage{0};
  FakeSimulator answering([&stage](KorvanSocket& connection) {
    FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
    FakeSimulator::Send(connection, DataRecord(3, 0, 50));
    for (int command; (command = FakeSimulator::ReadCommand(connection)) != -1;) {
      if (command == 1) FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
      if (command != 2) continue;
      stage = 1;
      const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
      while (stage != 2 && Clock::now() < until) Pause(10);
      FakeSimulator::Send(connection, Reply(0xFE, 2, 4242));
      FakeSimulator::Send(connection, DataRecord(3, 50, 50));
      FakeSimulator::ReadCommand(connection);  // until the manager closes
      return;
    }
  });
  const std::string script = AnnouncingScript(dir, answering.port, 30);
  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH, {"--experiments", "3", "--replications", "1000", "--timeout", "8",
                                                 "--port", "21500", "--out", dir + "/out", "--simulator", script,
                                                 "--launcher", "{command}"}));
  Clock::time_point until = Clock::now() + std::chrono::seconds(20);
  while (!HandOversCounted(dir + "/out/state.json", {3})) {
    ASSERT_TRUE(Clock::now() < until && !manager.Wait(20)) << manager.ErrorOutput();
  }
  manager.Signal(SIGINT);
  const Clock::time_point interrupted = Clock::now();
  until = interrupted + std::chrono::seconds(20);
  while (stage != 1 && Clock::now() < until) Pause(10);
  ASSERT_EQ(stage, 1) << manager.ErrorOutput();
  // Its next progress line (one every 5 s) holds it, within the shutdown
  // time (the 8 s timeout).
  ASSERT_TRUE(HoldOnItsStandardError(manager));
  stage = 2;
  // Let go past the shutdown time, the hand-over arrived.
  std::this_thread::sleep_until(interrupted + std::chrono::milliseconds(9500));
  ASSERT_TRUE(manager.Wait(30000)) << manager.ErrorOutput();
  answering.Finish();
  EXPECT_EQ(manager.ExitStatus(), 3) << manager.ErrorOutput();
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "incomplete");
  EXPECT_EQ(rows[0].at("replications"), "100");
  EXPECT_EQ(rows[0].at("attempt_endings"), "interrupted");
}

// As above, but the simulator also closes its connection after that
// hand-over and ends with status 0, all while the manager is held past the
// shutdown time: it stopped as asked, and its attempt is recorded as one
// that did, not as one that "did not stop within the shutdown time".
TEST(ExperimentRunTest, AShutdownThatOutlastsTheManagerRecordsASimulatorThatStoppedAsStopped) {
  const std::string dir = TestFolder("shutdown_stopped");
  const std::string ended = dir + "/ended";
  std::atomic<int> stage{0};
  FakeSimulator answering([&stage, ended](KorvanSocket& connection) {
    FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
    FakeSimulator::Send(connection, DataRecord(3, 0, 50));
    for (int command; (command = FakeSimulator::ReadCommand(connection)) != -1;) {
      if (command == 1) FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
      if (command != 2) continue;
      stage = 1;
      const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
      while (stage != 2 && Clock::now() < until) Pause(10);
      FakeSimulator::Send(connection, Reply(0xFE, 2, 4242));
      FakeSimulator::Send(connection, DataRecord(3, 50, 50));
      break;
    }
    connection.Close();
    std::ofstream(ended) << "stopped\n";
  });
  const std::string script = dir + "/stopping.sh";
  WriteScript(script, "#!/bin/sh\necho 'REGISTER:  Port: [" + std::to_string(answering.port) +
                          "]'\nwhile [ ! -e '" + ended + "' ]; do sleep 0.05; done\nexit 0\n");
  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH, {"--experiments", "3", "--replications", "1000", "--timeout", "8",
                                                 "--port", "21530", "--out", dir + "/out", "--simulator", script,
                                                 "--launcher", "{command}"}));
  Clock::time_point until = Clock::now() + std::chrono::seconds(20);
  while (!HandOversCounted(dir + "/out/state.json", {3})) {
    ASSERT_TRUE(Clock::now() < until && !manager.Wait(20)) << manager.ErrorOutput();
  }
  manager.Signal(SIGINT);
  const Clock::time_point interrupted = Clock::now();
  until = interrupted + std::chrono::seconds(20);
  while (stage != 1 && Clock::now() < until) Pause(10);
  ASSERT_EQ(stage, 1) << manager.ErrorOutput();
  ASSERT_TRUE(HoldOnItsStandardError(manager));
  stage = 2;
  std::this_thread::sleep_until(interrupted + std::chrono::milliseconds(9500));
  ASSERT_TRUE(manager.Wait(30000)) << manager.ErrorOutput();
  answering.Finish();
  EXPECT_EQ(manager.ExitStatus(), 3) << manager.ErrorOutput();
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "incomplete");
  EXPECT_EQ(rows[0].at("replications"), "100");
  EXPECT_EQ(rows[0].at("attempt_endings"), "interrupted");
  const json document = json::parse(ReadFile(dir + "/out/results.json"), nullptr, false);
  ASSERT_FALSE(document.is_discarded());
  const json& attempts = document["experiments"][0]["attempts"];
  ASSERT_EQ(attempts.size(), 1u);
  EXPECT_EQ(attempts[0]["ended"], "interrupted");
  EXPECT_EQ(attempts[0]["reason"], nullptr) << attempts[0]["reason"];
}

// The manager is held (its standard error a full pipe) after it connected,
// and the simulator greets it and hands over two records meanwhile; then
// comes an interrupt. The run was ended as one that had sent nothing yet,
// its records unread; it now reads them first, and stops the simulator as
// any that is handing over.
TEST(ExperimentRunTest, AnInterruptKeepsTheRecordsThatCameWithTheGreeting) {
  const std::string dir = TestFolder("greeting_unread");
  const std::string ended = dir + "/ended";
  std::atomic<int> stage{0};
  FakeSimulator late([&stage, ended](KorvanSocket& connection) {
    stage = 1;
    const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
    while (stage != 2 && Clock::now() < until) Pause(10);
    FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
    FakeSimulator::Send(connection, DataRecord(3, 0, 50));
    FakeSimulator::Send(connection, DataRecord(3, 50, 50));
    stage = 3;
    for (int command; (command = FakeSimulator::ReadCommand(connection)) != -1;) {
      if (command == 1) FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
      if (command == 2) {
        FakeSimulator::Send(connection, Reply(0xFE, 2, 4242));
        break;
      }
    }
    std::ofstream(ended) << "quit\n";
  });
  const std::string script = dir + "/late.sh";
  WriteScript(script, "#!/bin/sh\necho 'REGISTER:  Port: [" + std::to_string(late.port) +
                          "]'\nwhile [ ! -e '" + ended + "' ]; do sleep 0.1; done\nexit 0\n");
  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH, {"--experiments", "3", "--replications", "1000", "--timeout", "30",
                                                 "--port", "21510", "--out", dir + "/out", "--simulator", script,
                                                 "--launcher", "{command}"}));
  Clock::time_point until = Clock::now() + std::chrono::seconds(20);
  while (stage != 1 && Clock::now() < until && !manager.Wait(10)) {
  }
  ASSERT_EQ(stage, 1) << manager.ErrorOutput();
  // Its next progress line (one every 5 s) holds it.
  ASSERT_TRUE(HoldOnItsStandardError(manager));
  stage = 2;
  until = Clock::now() + std::chrono::seconds(20);
  while (stage != 3 && Clock::now() < until) Pause(10);
  ASSERT_EQ(stage, 3);
  Pause(200);
  manager.Signal(SIGINT);
  ASSERT_TRUE(manager.Wait(30000)) << manager.ErrorOutput();
  late.Finish();
  EXPECT_EQ(manager.ExitStatus(), 3) << manager.ErrorOutput();
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "incomplete");
  EXPECT_EQ(rows[0].at("replications"), "100");
  EXPECT_EQ(rows[0].at("attempt_endings"), "interrupted");
}

// The hand-over that answers the interrupt brings the rest of what the
// experiment needs, and the quit reply does not come: a second interrupt
// ends the simulator, and the experiment, which has everything, is
// complete, as it is when the reply does come.
TEST(ExperimentRunTest, ASecondInterruptLeavesAnExperimentThatHasEverythingComplete) {
  const std::string dir = TestFolder("second_interrupt_complete");
  std::atomic<int> stage{0};
  FakeSimulator finishing([&stage](KorvanSocket& connection) {
    FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
    FakeSimulator::Send(connection, DataRecord(3, 0, 50));
    if (FakeSimulator::ReadCommand(connection) != 2) return;
    FakeSimulator::Send(connection, DataRecord(3, 50, 950));
    stage = 1;
    FakeSimulator::ReadCommand(connection);
  });
  const std::string script = AnnouncingScript(dir, finishing.port, 30);
  SimulatorProcess manager;
  ASSERT_TRUE(StartOnAStandIn(manager, dir, script, 45200)) << manager.ErrorOutput();
  manager.Signal(SIGINT);
  ASSERT_TRUE(UntilSaved(manager, dir + "/out/state.json", [](const StudyState& state) {
    return !state.experiments.empty() && !state.experiments[0].attempts.empty() &&
           state.experiments[0].attempts[0].replications == 1000;
  }, 20)) << manager.ErrorOutput();
  manager.Signal(SIGINT);
  ASSERT_TRUE(manager.Wait(30000)) << manager.ErrorOutput();
  finishing.Finish();
  EXPECT_EQ(stage, 1);
  EXPECT_EQ(manager.ExitStatus(), 3) << manager.ErrorOutput();
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "complete");
  EXPECT_EQ(rows[0].at("replications"), "1000");
}

// A stand-in for a simulator that simmgr runs directly: it leaves its
// process id in dir/pid (its greeting, sent by HandOverFifty, must name
// it), leaves its ASCII file ending part-way through a row ("0,0" of
// "0,0.5"), announces the port of the fake simulator and sleeps.
std::string CutRowStandIn(const std::string& dir, int fakePort) {
  const std::string pidFile = dir + "/pid";
  const std::string script = dir + "/writing.sh";
  WriteScript(script, "#!/bin/sh\n"
                      "file=''; prev=''\n"
                      "for a in \"$@\"; do [ \"$prev\" = -a ] && file=$a; prev=$a; done\n"
                      "echo $$ > " + pidFile + ".part && mv " + pidFile + ".part " + pidFile + "\n"
                      "printf '# stand-in\\n0,1\\n0,0' > \"$file\"\n"
                      "echo 'REGISTER:  Port: [" + std::to_string(fakePort) + "]'\n"
                      "exec sleep 30\n");
  return script;
}

pid_t StandInPid(const std::string& dir) { return static_cast<pid_t>(std::atoll(ReadFile(dir + "/pid").c_str())); }

// The fake simulator's side of the stand-in: a greeting naming its process
// and one hand-over of 50 replications of experiment 3.
void HandOverFifty(const std::string& dir, KorvanSocket& connection) {
  FakeSimulator::Send(connection, Reply(0xFF, 1, static_cast<uint32_t>(StandInPid(dir))));
  FakeSimulator::Send(connection, DataRecord(3, 0, 50));
  FakeSimulator::ReadCommand(connection);
}

void WaitForTheHandOver(SimulatorProcess& manager, const std::string& dir) {
  const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
  while (!HandOversCounted(dir + "/out/state.json", {3}) && Clock::now() < until && !manager.Wait(20)) {
  }
}

// A simulator ended at once by a second interrupt may have been writing
// its ASCII file: a row cut off part-way would read as an observation it
// never made, so the file is cut back to its last whole row.
TEST(ExperimentRunTest, ASecondInterruptLeavesNoRowCutOffInTheAsciiFile) {
  const std::string dir = TestFolder("second_interrupt_ascii");
  FakeSimulator writing([&dir](KorvanSocket& connection) { HandOverFifty(dir, connection); });
  const std::string script = CutRowStandIn(dir, writing.port);
  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH, {"--experiments", "3", "--replications", "1000", "--timeout", "30",
                                                 "--port", "45220", "--out", dir + "/out", "--ascii-dir",
                                                 dir + "/ascii", "--simulator", script}));
  WaitForTheHandOver(manager, dir);
  // Two signals of one kind sent at once may arrive as one.
  manager.Signal(SIGINT);
  manager.Signal(SIGTERM);
  const Clock::time_point interrupted = Clock::now();
  ASSERT_TRUE(manager.Wait(30000)) << manager.ErrorOutput();
  EXPECT_LT(Clock::now() - interrupted, std::chrono::seconds(5));
  writing.Finish();
  EXPECT_EQ(manager.ExitStatus(), 3) << manager.ErrorOutput();
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "incomplete");
  EXPECT_EQ(rows[0].at("replications"), "50");
  EXPECT_EQ(ReadFile(dir + "/ascii/experiment3.txt"), "# stand-in\n0,1\n");
}

// So may one that crashes (here a stand-in ended by SIGSEGV from outside
// while its file ends part-way through a row).
TEST(ExperimentRunTest, ASimulatorThatCrashesLeavesNoRowCutOffInTheAsciiFile) {
  const std::string dir = TestFolder("crash_ascii");
  FakeSimulator writing([&dir](KorvanSocket& connection) { HandOverFifty(dir, connection); });
  const std::string script = CutRowStandIn(dir, writing.port);
  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH, {"--experiments", "3", "--replications", "1000", "--timeout", "30",
                                                 "--retries", "0", "--port", "45240", "--out", dir + "/out",
                                                 "--ascii-dir", dir + "/ascii", "--simulator", script}));
  WaitForTheHandOver(manager, dir);
  ASSERT_EQ(kill(StandInPid(dir), SIGSEGV), 0);
  ASSERT_TRUE(manager.Wait(30000)) << manager.ErrorOutput();
  writing.Finish();
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u) << manager.ErrorOutput();
  EXPECT_EQ(rows[0].at("attempt_endings"), "killed") << manager.ErrorOutput();
  EXPECT_EQ(ReadFile(dir + "/ascii/experiment3.txt"), "# stand-in\n0,1\n");
}

// After its quit reply, a simulator hands over what it made since its last
// hand-over, and that counts; what follows it and is not a record (here
// bytes of no message) ends the reading, not the experiment, which an
// interrupt leaves incomplete, unless that last hand-over gave it all it
// needed (the 1000 replications asked for).
TEST(ExperimentRunTest, WhatFollowsTheQuitReplyCountsUpToAnythingElse) {
  for (const int each : {50, 500}) {
    SCOPED_TRACE(each);
    const std::string dir = TestFolder("after_quit_reply");
    const std::string ended = dir + "/ended";
    std::atomic<bool> handedOver{false};
    FakeSimulator stopping([&handedOver, ended, each](KorvanSocket& connection) {
      FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
      FakeSimulator::Send(connection, DataRecord(3, 0, each));
      handedOver = true;
      if (FakeSimulator::ReadCommand(connection) == 2) {
        FakeSimulator::Send(connection, Reply(0xFE, 2, 4242));
        FakeSimulator::Send(connection, DataRecord(3, each, each));
        FakeSimulator::Send(connection, Bytes{0, 0, 0, 5, 7});
      }
      std::ofstream(ended) << "quit\n";
    });
    const std::string script = dir + "/stopping.sh";
    WriteScript(script, "#!/bin/sh\necho 'REGISTER:  Port: [" + std::to_string(stopping.port) +
                            "]'\nwhile [ ! -e '" + ended + "' ]; do sleep 0.05; done\nexit 0\n");
    SimulatorProcess manager;
    ASSERT_TRUE(StartOnAStandIn(manager, dir, script, 21495)) << manager.ErrorOutput();
    ASSERT_TRUE(handedOver);
    manager.Signal(SIGINT);
    ASSERT_TRUE(manager.Wait(30000)) << manager.ErrorOutput();
    stopping.Finish();
    EXPECT_EQ(manager.ExitStatus(), 3) << manager.ErrorOutput();
    const auto rows = ReadCsv(dir + "/out/results.csv");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].at("status"), each == 50 ? "incomplete" : "complete");
    EXPECT_EQ(rows[0].at("replications"), std::to_string(2 * each));
    EXPECT_EQ(rows[0].at("attempt_endings"), "interrupted");
  }
}

// A simulator at its batch limit sends its last record and closes the
// connection without waiting for the quit command, and here ends with a bad
// status: the experiment, which has everything, is complete, and the report
// says how the attempt ended. It said "after its quit reply", which never
// came.
TEST(ExperimentRunTest, AnEndWithoutAQuitReplyIsNotReportedAsAfterIt) {
  const std::string dir = TestFolder("no_quit_reply");
  const std::string ended = dir + "/ended";
  FakeSimulator closing([ended](KorvanSocket& connection) {
    FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
    FakeSimulator::Send(connection, DataRecord(3, 0, 100));
    connection.Close();
    std::ofstream(ended) << "closed\n";
  });
  const std::string script = dir + "/closing.sh";
  WriteScript(script, "#!/bin/sh\necho 'REGISTER:  Port: [" + std::to_string(closing.port) +
                          "]'\nwhile [ ! -e '" + ended + "' ]; do sleep 0.05; done\nexit 1\n");
  const SimMgrResult result = RunSimMgr({"--experiments", "3", "--replications", "100", "--timeout", "30", "--port",
                                         "21520", "--out", dir + "/out", "--simulator", script, "--launcher",
                                         "{command}"});
  closing.Finish();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_NE(result.err.find("experiment 3: the simulator ended with exit status 1 after it closed the connection "
                            "in place of its quit reply; everything it needed had arrived, so it is complete"),
            std::string::npos)
      << result.err;
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "complete");
  EXPECT_EQ(rows[0].at("replications"), "100");
  EXPECT_EQ(rows[0].at("attempt_endings"), "exited");
}

// Peak resident memory of a running process, in kB (0 when unknown).
long PeakKilobytes(int pid) {
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmHWM:");
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

// A simulator that floods its output without end (1 GB in 5 s drove the
// manager's memory up with it) costs the manager a bounded tail, and the
// manager still notices in time that no port was announced.
TEST(ExperimentRunTest, AFloodingSimulatorCostsBoundedMemory) {
  const std::string dir = TestFolder("flood");
  const std::string script = dir + "/flood.sh";
  WriteScript(script, "#!/bin/sh\nyes 'flood on standard error' >&2 &\nexec yes 'flood flood flood flood'\n");
#if defined(__SANITIZE_ADDRESS__)
  // The address sanitizer holds up to 256 MB of freed memory back for its
  // checks; kept small, the manager's own use shows.
  const char* options = std::getenv("ASAN_OPTIONS");
  const std::string asan = std::string(options != nullptr ? options : "") + ":quarantine_size_mb=16";
  setenv("ASAN_OPTIONS", asan.c_str(), 1);
#endif
  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH, {"--experiments", "0", "--replications", "100", "--timeout",
                                                 "4", "--retries", "0", "--port", "21470", "--out",
                                                 dir + "/out", "--simulator", script}));
  long peak = 0;
  const Clock::time_point start = Clock::now();
  while (!manager.Wait(100) && Clock::now() - start < std::chrono::seconds(30)) {
    peak = std::max(peak, PeakKilobytes(manager.Pid()));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  manager.Kill();
  EXPECT_EQ(manager.ExitStatus(), 1) << manager.ErrorOutput();
  EXPECT_LT(seconds, 15.0);
  // A few megabytes here; the unbounded manager grew by hundreds of
  // megabytes a second.
  EXPECT_LT(peak, 200 * 1024) << "kB";
  const std::string& err = manager.ErrorOutput();
  EXPECT_NE(err.find("experiment 0 failed: no port announcement within the timeout"), std::string::npos)
      << err.substr(0, 2000);
  EXPECT_NE(err.find("stdout| flood flood flood flood"), std::string::npos) << err.substr(0, 2000);
  EXPECT_LT(err.size(), 100000u);
}

// A CPU-time record whose time is no processor time (not a number, infinite,
// negative) ends its attempt as a protocol error, as a data record holding
// such a number does. It used to be taken: added into the experiment's
// time, and a NaN, which JSON cannot hold, saved as null, which left a
// saved state that could not be resumed. The retry completes the
// experiment, and the study can be taken further.
TEST(ExperimentRunTest, ACpuTimeThatIsNoProcessorTimeIsAProtocolError) {
  const std::string dir = TestFolder("cpu_time");
  auto sendsCpuTime = [](int k, double seconds) {
    return [k, seconds](KorvanSocket& connection) {
      FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
      FakeSimulator::Send(connection, CpuRecord(k, seconds));
      FakeSimulator::ReadCommand(connection);  // until the manager hangs up
    };
  };
  FakeSimulator nan(sendsCpuTime(1, std::numeric_limits<double>::quiet_NaN()));
  FakeSimulator infinite(sendsCpuTime(2, std::numeric_limits<double>::infinity()));
  FakeSimulator negative(sendsCpuTime(3, -1.0));
  const std::string script = dir + "/standin.sh";
  WriteScript(script,
              "#!/bin/sh\n"
              "exp=''; prev=''\n"
              "for a in \"$@\"; do [ \"$prev\" = -e ] && exp=$a; prev=$a; done\n"
              "marker='" + dir + "/started-'$exp\n"
              "if [ ! -e \"$marker\" ]; then\n"
              "  : > \"$marker\"\n"
              "  case \"$exp\" in\n"
              "    1) echo 'REGISTER:  Port: [" + std::to_string(nan.port) + "]'; exec sleep 60;;\n"
              "    2) echo 'REGISTER:  Port: [" + std::to_string(infinite.port) + "]'; exec sleep 60;;\n"
              "    3) echo 'REGISTER:  Port: [" + std::to_string(negative.port) + "]'; exec sleep 60;;\n"
              "  esac\n"
              "fi\n"
              "exec '" KORVAN_SIMULATOR_PATH "' \"$@\"\n");
  const std::vector<std::string> common = {"--port", "25100", "--timeout", "20", "--simulator", script,
                                           "--launcher", "{command}"};
  std::vector<std::string> arguments = {"--experiments", "1-3", "--replications", "300", "--jobs", "3",
                                        "--out", dir + "/out"};
  arguments.insert(arguments.end(), common.begin(), common.end());
  SimMgrResult result = RunSimMgr(arguments, 90000);
  nan.Finish();
  infinite.Finish();
  negative.Finish();
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  for (const char* text : {"nan", "inf", "-1"}) {
    EXPECT_NE(result.err.find(std::string("protocol error: a CPU-time record holds ") + text +
                              " s, not a processor time after 0 replications; starting it again"),
              std::string::npos)
        << text << "\n" << result.err;
  }
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 9u);
  for (const auto& row : rows) {
    EXPECT_EQ(row.at("status"), "complete");
    EXPECT_EQ(row.at("replications"), "300");
    EXPECT_EQ(row.at("attempt_endings"), "protocol;complete");
    const double cpu = std::strtod(row.at("cpu_seconds").c_str(), nullptr);
    EXPECT_TRUE(cpu >= 0.0 && cpu < 100.0) << row.at("cpu_seconds");
  }
  // The saved state reads back, and the study goes on from it.
  arguments = {"--resume", dir + "/out", "--replications", "400"};
  arguments.insert(arguments.end(), common.begin(), common.end());
  result = RunSimMgr(arguments, 90000);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  for (const auto& row : ReadCsv(dir + "/out/results.csv")) EXPECT_EQ(row.at("replications"), "400");
}

}  // namespace

namespace {

// A simulator with a large report size: a hand-over (a CPU-time and a data
// record of 50 observations of experiment 3) every `seconds`, counted in
// `handedOver`, the quit command read only at a hand-over and answered
// there; after its reply it touches `ended` for its launcher script to end.
FakeSimulator::Script HandsOverEvery(int seconds, std::atomic<int>& handedOver, const std::string& ended) {
  return [seconds, &handedOver, ended](KorvanSocket& connection) {
    FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
    for (int first = 0; first < 1000; first += 50) {
      FakeSimulator::Send(connection, CpuRecord(3, 0.1));
      FakeSimulator::Send(connection, DataRecord(3, first, 50));
      ++handedOver;
      char command = 0;
      if (recv(connection.sock, &command, 1, MSG_DONTWAIT) == 1 && command == 2) {
        FakeSimulator::Send(connection, Reply(0xFE, 2, 4242));
        std::ofstream(ended) << "quit\n";
        return;
      }
      Pause(seconds * 1000);
    }
  };
}

}  // namespace

// A simulator whose hand-overs are 13 s apart (a large --report-size on a
// slow host) answers the quit command of an interrupt 12 s later, at its
// next hand-over. The shutdown wait, 10 s for every run, had ended it
// before, its experiment counted as failed and the study's exit status was
// 1 rather than 3; it now waits twice the time between the run's records.
TEST(ExperimentRunTest, AnInterruptWaitsForASlowHandOver) {
  const std::string dir = TestFolder("slow_hand_over");
  const std::string ended = dir + "/ended";
  std::atomic<int> handedOver{0};
  FakeSimulator slow(HandsOverEvery(13, handedOver, ended));
  const std::string script = dir + "/slow.sh";
  WriteScript(script, "#!/bin/sh\necho 'REGISTER:  Port: [" + std::to_string(slow.port) +
                          "]'\nwhile [ ! -e '" + ended + "' ]; do sleep 0.1; done\nexit 0\n");
  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH, {"--experiments", "3", "--replications", "1000", "--port", "25500",
                                                 "--out", dir + "/out", "--simulator", script, "--launcher",
                                                 "{command}"}));
  // The interrupt comes a second after the second hand-over.
  const Clock::time_point start = Clock::now();
  while (handedOver < 2 && Clock::now() - start < std::chrono::seconds(40)) Pause(10);
  ASSERT_EQ(handedOver, 2);
  Pause(1000);
  manager.Signal(SIGINT);
  const Clock::time_point interrupted = Clock::now();
  ASSERT_TRUE(manager.Wait(60000)) << manager.ErrorOutput();
  const double seconds = std::chrono::duration<double>(Clock::now() - interrupted).count();
  slow.Finish();
  EXPECT_EQ(manager.ExitStatus(), 3) << manager.ErrorOutput();
  EXPECT_GT(seconds, 10.0);
  EXPECT_EQ(manager.ErrorOutput().find("failed"), std::string::npos) << manager.ErrorOutput();
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "incomplete");
  // The two hand-overs before the interrupt and the one answering it.
  EXPECT_EQ(rows[0].at("replications"), "150");
  EXPECT_EQ(rows[0].at("attempt_endings"), "interrupted");
}

namespace {

// A simulator whose hand-overs are cheap: one every 150 ms, each answering
// the command read there (1 with a reply, 2 with its reply and an end), but
// their records are held back and sent ten at a time, 1.5 s apart. It ends
// when the manager closes the connection.
FakeSimulator::Script HoldsItsRecordsBack(const std::string& ended) {
  return [ended](KorvanSocket& connection) {
    FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
    int held = 0;
    for (int first = 0; first < 8000; first += 50) {  // 24 s at most
      Pause(150);
      if (first < 1000 && ++held == 10) {
        for (int k = held - 1; k >= 0; --k) {
          FakeSimulator::Send(connection, CpuRecord(3, 0.1));
          FakeSimulator::Send(connection, DataRecord(3, first - 50 * k, 50));
        }
        held = 0;
      }
      char command = 0;
      const ssize_t read = recv(connection.sock, &command, 1, MSG_DONTWAIT);
      if (read == 0) return;  // the manager has gone
      if (read == 1) {
        if (command == 1) FakeSimulator::Send(connection, Reply(0xFF, 1, 4242));
        if (command == 2) {
          FakeSimulator::Send(connection, Reply(0xFE, 2, 4242));
          std::ofstream(ended) << "quit\n";
          return;
        }
      }
    }
  };
}

}  // namespace

// Held back, the records leave the simulator silent for longer than a
// --timeout of 1 s, though it hands over all the while: asked for a sign of
// life, it answers at its next hand-over, and the run goes on. It was
// taken for a hung simulator, its attempts all failed and so did the study.
TEST(ExperimentRunTest, ASimulatorHoldingItsRecordsBackIsNotTakenForHung) {
  const std::string dir = TestFolder("held_records");
  const std::string ended = dir + "/ended";
  FakeSimulator holding(HoldsItsRecordsBack(ended));
  const std::string script = dir + "/holding.sh";
  WriteScript(script, "#!/bin/sh\necho 'REGISTER:  Port: [" + std::to_string(holding.port) +
                          "]'\nwhile [ ! -e '" + ended + "' ]; do sleep 0.1; done\nexit 0\n");
  const SimMgrResult result =
      RunSimMgr({"--experiments", "3", "--replications", "1000", "--port", "25520", "--timeout", "1", "--retries",
                 "0", "--out", dir + "/out", "--simulator", script, "--launcher", "{command}"},
                60000);
  holding.Finish();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  const auto rows = ReadCsv(dir + "/out/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "complete");
  EXPECT_EQ(rows[0].at("replications"), "1000");
  EXPECT_EQ(rows[0].at("attempt_endings"), "complete");
}

// An attempt delivers whole replications of the variables the experiment
// waits for, its pilot's included; a variable it does not wait for (a
// steady-state one in a terminating study) has no observations and does not
// count, for an ended attempt as for the running one saved.
TEST(ExperimentRunTest, AnAttemptCountsTheVariablesWaitedFor) {
  StoppingRule rule;
  rule.replications = 10;
  const ExperimentRun run(0, {true, false, true}, rule, 1u, 0);
  SimulatorAttempt attempt;
  attempt.statistics.resize(3);
  for (int i = 0; i < 5; ++i) attempt.statistics[0].Add(1.0);
  for (int i = 0; i < 6; ++i) attempt.statistics[2].Add(0.0);
  EXPECT_EQ(run.ReplicationsOf(attempt), 5);
  attempt.pilot.resize(3);
  attempt.pilot[0].Add(0.0);
  EXPECT_EQ(run.ReplicationsOf(attempt), 6);
}

// A resumed experiment's times are those of every segment: its processor
// time and its elapsed time both count the attempts of the earlier ones,
// once, also before (or without) an attempt in this one.
TEST(ExperimentRunTest, AResumedExperimentKeepsTheTimesOfEarlierSegments) {
  StoppingRule rule;
  rule.replications = 10;
  ExperimentRun run(0, {true}, rule, 1u, 0);
  std::vector<SimulatorAttempt> prior(2);
  for (int a = 0; a < 2; ++a) {
    prior[a].segment = a;
    prior[a].statistics.resize(1);
    for (int i = 0; i < 5; ++i) prior[a].statistics[0].Add(0.0);
    prior[a].cpuSeconds = 3.0 + a;
    prior[a].wallSeconds = 4.5 + a;
    prior[a].ending = a == 0 ? SimulatorAttempt::kInterrupted : SimulatorAttempt::kDone;
  }
  run.Restore(prior, SequentialTest::kUndecided);
  ASSERT_FALSE(run.Started());
  EXPECT_EQ(run.CpuSeconds(), 7.0);
  EXPECT_EQ(run.WallSeconds(), 10.0);
}
