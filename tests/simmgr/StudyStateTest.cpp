#include "simmgr/StudyState.h"

#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "simmgr/SeedSequence.h"
#include "tests/simmgr/SimMgrTestSupport.h"

namespace {

StudyState Sample(const StudyTable& study) {
  StudyState state;
  state.Describe(study);
  state.baseSeed = 4242;
  state.generator = 2;
  state.segments = 2;
  // A test decides: no precision beside it.
  state.rule.confidence = 0.99;
  state.rule.method = ConfidenceInterval::kWilson;
  state.rule.simultaneous = true;
  state.rule.testLabel = "reliability@365";
  state.rule.test = SequentialTest(SequentialTest::kAbove, 0.3, 0.01, 0.1, 0.02);
  StudyState::Experiment e;
  e.experiment = 7;
  e.decision = SequentialTest::kReject;
  e.decisionReplications = 250;
  SimulatorAttempt done;
  // Each attempt runs the stream its experiment, segment and number give.
  const SeedSequence seeds(state.baseSeed, study.NumExperiments());
  done.segment = 0;
  done.seed = seeds.Seed(7, 0, 0);
  done.host = "127.0.0.1";
  done.port = 10001;
  done.ending = SimulatorAttempt::kDone;
  done.statistics.resize(3);
  for (int i = 0; i < 250; ++i) {
    for (int v = 0; v < 3; ++v) done.statistics[v].Add(i % (v + 3) == 0 ? 1.0 : 0.0);
  }
  done.replications = 250;
  SimulatorAttempt running = done;
  running.segment = 1;
  running.seed = seeds.Seed(7, 1, 0);
  running.ending = SimulatorAttempt::kRunning;
  running.statistics.assign(3, RunningStatistics());
  // Sums that need more than one partial, and one that overflowed; every
  // variable has the same four observations' worth, as a record gives.
  for (double x : {1e20, 1.0, -1e20, 0.1}) running.statistics[0].Add(x);
  for (double x : {1e308, 1e308, 0.0, 0.0}) running.statistics[1].Add(x);
  for (double x : {0.5, 0.0, 0.0, 0.0}) running.statistics[2].Add(x);
  running.replications = 4;
  e.attempts = {done, running};
  state.experiments.push_back(e);
  return state;
}

}  // namespace

// What is saved reads back exactly: settings, rule, test, every attempt
// with its exact sums (partials, infinities) and the decision; an attempt
// saved while it ran reads back as ended with the manager.
TEST(StudyStateTest, SavedStateReadsBackExactly) {
  StudyTable study;
  study.Load();
  const StudyState state = Sample(study);
  const std::string dir = TestFolder("state");
  std::string error;
  ASSERT_TRUE(state.Save(dir + "/state.json", error)) << error;
  // Nothing is left beside it.
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) files += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 1u);

  StudyState back;
  ASSERT_TRUE(StudyState::Load(dir + "/state.json", back, error)) << error;
  EXPECT_TRUE(back.SameStudy(study, error)) << error;
  EXPECT_EQ(back.baseSeed, 4242u);
  EXPECT_EQ(back.generator, 2);
  EXPECT_EQ(back.segments, 2);
  EXPECT_EQ(back.rule.absolute, 0.0);
  EXPECT_EQ(back.rule.confidence, 0.99);
  EXPECT_EQ(back.rule.method, ConfidenceInterval::kWilson);
  EXPECT_TRUE(back.rule.simultaneous);
  EXPECT_EQ(back.rule.testLabel, "reliability@365");
  EXPECT_EQ(back.rule.test.GetDirection(), SequentialTest::kAbove);
  EXPECT_EQ(back.rule.test.Beta(), 0.1);
  ASSERT_EQ(back.experiments.size(), 1u);
  const StudyState::Experiment& e = back.experiments[0];
  EXPECT_EQ(e.experiment, 7);
  EXPECT_EQ(e.decision, SequentialTest::kReject);
  EXPECT_EQ(e.decisionReplications, 250);
  ASSERT_EQ(e.attempts.size(), 2u);
  EXPECT_EQ(e.attempts[0].ending, SimulatorAttempt::kDone);
  EXPECT_EQ(e.attempts[1].ending, SimulatorAttempt::kInterrupted);
  EXPECT_EQ(e.attempts[1].reason, "the manager ended while it ran");
  EXPECT_EQ(e.attempts[1].seed, SeedSequence(4242, study.NumExperiments()).Seed(7, 1, 0));
  for (size_t a = 0; a < 2; ++a) {
    for (int v = 0; v < 3; ++v) {
      const RunningStatistics& x = state.experiments[0].attempts[a].statistics[v];
      const RunningStatistics& y = e.attempts[a].statistics[v];
      EXPECT_EQ(y.Count(), x.Count());
      EXPECT_EQ(y.Binary(), x.Binary());
      if (std::isnan(x.Mean())) continue;
      EXPECT_EQ(y.Mean(), x.Mean()) << a << " " << v;
      EXPECT_EQ(y.Sum().Partials(), x.Sum().Partials());
    }
  }
  EXPECT_EQ(e.attempts[1].statistics[0].Sum().Value(), 1.1);
  EXPECT_EQ(e.attempts[1].statistics[1].Sum().Value(), std::numeric_limits<double>::infinity());
}

// The file is put together from parts (the head, one entry per
// experiment); what comes out is exactly the document dumped whole, for no
// experiment, one, and several, with reasons holding quotes, line breaks
// and bytes that are not UTF-8.
TEST(StudyStateTest, StateMadeOfPartsIsTheWholeDocument) {
  StudyTable study;
  study.Load();
  StudyState state = Sample(study);
  const std::string dir = TestFolder("state-parts");
  const std::string path = dir + "/state.json";
  auto canonical = [](const std::string& text) {
    return nlohmann::json::parse(text).dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  };
  std::string error;
  for (int experiments : {0, 1, 3}) {
    StudyState copy = state;
    copy.experiments.clear();
    for (int k = 0; k < experiments; ++k) {
      StudyState::Experiment e = state.experiments[0];
      e.experiment = k;
      const SeedSequence seeds(state.baseSeed, study.NumExperiments());
      for (SimulatorAttempt& a : e.attempts) a.seed = seeds.Seed(k, a.segment, a.number);
      e.attempts[0].reason = "said \"no\"\nthen \\ \x01 ]\t\"experiments\": []";
      e.attempts[1].host = "h\xff\xfe";
      copy.experiments.push_back(e);
    }
    ASSERT_TRUE(copy.Save(path, error)) << error;
    const std::string text = ReadFile(path);
    // Bytes that are not UTF-8 are replaced, so the whole dump is that of
    // the document read back.
    EXPECT_EQ(text, canonical(text)) << experiments;
    if (experiments == 0) continue;  // a state without experiments is refused on reading
    StudyState back;
    ASSERT_TRUE(StudyState::Load(path, back, error)) << error;
    ASSERT_EQ(back.experiments.size(), static_cast<size_t>(experiments));
    EXPECT_EQ(back.experiments.back().experiment, experiments - 1);
    EXPECT_EQ(back.experiments[0].attempts[0].reason, copy.experiments[0].attempts[0].reason);
  }
  // A head that lost its experiment list writes nothing.
  EXPECT_FALSE(StudyState::Write(dir + "/other.json", "{}", {}, error));
  EXPECT_FALSE(std::filesystem::exists(dir + "/other.json"));
}

// A file that is not a saved study, or one whose parts cannot belong
// together, is refused with a reason; so is a study other than this
// program's.
TEST(StudyStateTest, DamagedFilesAndOtherStudiesAreRefused) {
  StudyTable study;
  study.Load();
  const std::string dir = TestFolder("state_damaged");
  const std::string path = dir + "/state.json";
  std::string error;
  StudyState back;
  EXPECT_FALSE(StudyState::Load(dir + "/none.json", back, error));
  EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
  ASSERT_TRUE(Sample(study).Save(path, error)) << error;
  const std::string good = ReadFile(path);
  auto load = [&](const std::string& text) {
    { std::ofstream(path) << text; }
    error.clear();
    return StudyState::Load(path, back, error);
  };
  auto replaced = [&](const std::string& what, const std::string& with) {
    std::string text = good;
    const size_t at = text.find(what);
    EXPECT_NE(at, std::string::npos) << what;
    return at == std::string::npos ? text : text.replace(at, what.size(), with);
  };
  EXPECT_FALSE(load("not json"));
  EXPECT_NE(error.find("not a saved study"), std::string::npos) << error;
  EXPECT_FALSE(load("{\"format\": \"other\"}"));
  // Torn anywhere (a file cut short by a full disk, say), or garbage: refused
  // with a reason.
  for (size_t cut = 0; cut + 2 < good.size(); cut += good.size() / 61 + 1) {
    EXPECT_FALSE(load(good.substr(0, cut))) << cut;
    EXPECT_FALSE(error.empty()) << cut;
  }
  EXPECT_FALSE(load(std::string(4096, '\0')));
  EXPECT_FALSE(load("[1, 2, 3]"));
  EXPECT_FALSE(load(replaced("\"count\": 250", "\"count\": -250")));
  EXPECT_FALSE(load(replaced("\"count\": 250", "\"count\": 1e300")));
  EXPECT_FALSE(load(replaced("\"count\": 250", "\"count\": 99999999999999999999999")));
  EXPECT_FALSE(load(replaced("\"format_version\": 1", "\"format_version\": 2")));
  EXPECT_NE(error.find("format 2"), std::string::npos) << error;
  EXPECT_FALSE(load(replaced("\"generator\": 2", "\"generator\": 7")));
  EXPECT_FALSE(load(replaced("\"generator\": 2", "\"generator\": \"2\"")));
  EXPECT_FALSE(load(replaced("\"ended\": \"complete\"", "\"ended\": \"fine\"")));
  EXPECT_FALSE(load(replaced("\"experiment\": 7", "\"experiment\": 36")));
  EXPECT_FALSE(load(replaced("\"decision\": \"reject\"", "\"decision\": \"maybe\"")));
  {
    nlohmann::json none = nlohmann::json::parse(good);
    none["experiments"] = nlohmann::json::array();
    EXPECT_FALSE(load(none.dump()));
    EXPECT_NE(error.find("holds no experiment"), std::string::npos) << error;
  }
  // 0/1 observations whose count of ones exceeds their number.
  EXPECT_FALSE(load(replaced("\"count\": 250", "\"count\": 10")));
  EXPECT_NE(error.find("cannot belong together"), std::string::npos) << error;
  EXPECT_TRUE(load(good)) << error;

  // Not a file one can read to its end: a pipe (which would wait for a
  // writer), a device that never ends, a file larger than any state. Each is
  // refused at once, without reading it.
  const std::string pipe = dir + "/pipe.json";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_FALSE(StudyState::Load(pipe, back, error));
  EXPECT_EQ(error, "cannot read " + pipe + ": it is not a regular file");
  std::filesystem::create_symlink("/dev/zero", dir + "/endless.json");
  EXPECT_FALSE(StudyState::Load(dir + "/endless.json", back, error));
  EXPECT_EQ(error, "cannot read " + dir + "/endless.json: it is not a regular file");
  {
    std::ofstream(dir + "/huge.json") << good;
    std::filesystem::resize_file(dir + "/huge.json", (uintmax_t{256} << 20) + 1);
  }
  EXPECT_FALSE(StudyState::Load(dir + "/huge.json", back, error));
  EXPECT_NE(error.find("more than any study's state"), std::string::npos) << error;
  std::filesystem::remove(dir + "/huge.json");

  // Another study: a value of one experiment changed, a variable renamed.
  ASSERT_TRUE(load(replaced("\"0.03125\"", "\"0.5\""))) << error;
  EXPECT_FALSE(back.SameStudy(study, error));
  EXPECT_NE(error.find("experiment 0 has power_cycle_rate = 0.5, this program's 0.03125"), std::string::npos)
      << error;
  ASSERT_TRUE(load(replaced("\"reliability@180\"", "\"reliability@181\""))) << error;
  EXPECT_FALSE(back.SameStudy(study, error));
  EXPECT_NE(error.find("reward variables"), std::string::npos) << error;
}

namespace {

using nlohmann::json;

// The statistics the manager reports for experiment k, from its JSON entry.
void ExpectStatisticsOfAttempts(const json& e, const std::string& asciiDir, const std::string& scratch) {
  const int k = e["experiment"];
  std::vector<RunningStatistics> expected(3);
  int64_t total = 0;
  for (const json& attempt : e["attempts"]) {
    const int segment = attempt["segment"];
    const int a = attempt["attempt"];
    const int64_t n = attempt["replications"];
    total += n;
    const std::string file = asciiDir + "/experiment" + std::to_string(k) +
                             (segment > 0 ? "-segment" + std::to_string(segment) : "") +
                             (a > 0 ? "-attempt" + std::to_string(a) : "") + ".txt";
    const auto stream = StreamStatistics(k, attempt["seed"], n, file, scratch);
    for (int v = 0; v < 3; ++v) expected[v].Merge(stream[v]);
  }
  EXPECT_EQ(e["replications"].get<int64_t>(), total) << "experiment " << k;
  for (int v = 0; v < 3; ++v) {
    EXPECT_EQ(e["variables"][v]["replications"].get<int64_t>(), expected[v].Count());
    EXPECT_EQ(e["variables"][v]["mean"].get<double>(), expected[v].Mean()) << "experiment " << k << " " << v;
    EXPECT_EQ(e["variables"][v]["variance"].get<double>(), expected[v].Variance()) << "experiment " << k;
  }
}

}  // namespace

// A study taken further in a second segment: every experiment has the
// replications asked for, the second segment's simulators ran the streams
// of segment 1, and the statistics equal, to the last bit, those of the
// two segments' observations loaded from the simulators' own files.
// Resumed again without new targets, nothing more runs.
TEST(StudyStateTest, AStudyInTwoSegmentsEqualsItsObservations) {
  const std::string dir = TestFolder("resume_two");
  const std::vector<std::string> common = {"--report-size", "50", "--ascii-dir", dir + "/ascii", "--port", "21600",
                                           "--timeout", "30"};
  std::vector<std::string> first = {"--experiments", "2,9", "--replications", "300", "--seed", "555",
                                    "--simulator", KORVAN_SIMULATOR_PATH, "--out", dir + "/study"};
  first.insert(first.end(), common.begin(), common.end());
  SimMgrResult result = RunSimMgr(first);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  std::vector<std::string> more = {"--resume", dir + "/study", "--replications", "800", "--simulator",
                                   KORVAN_SIMULATOR_PATH};
  more.insert(more.end(), common.begin(), common.end());
  result = RunSimMgr(more);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  // The run's own figures count what it added.
  EXPECT_NE(result.err.find("simmgr: 1000 replications (1600 in all segments) in "), std::string::npos)
      << result.err;

  const json document = json::parse(ReadFile(dir + "/study/results.json"), nullptr, false);
  ASSERT_FALSE(document.is_discarded());
  EXPECT_EQ(document["settings"]["segment"], 1);
  EXPECT_EQ(document["settings"]["base_seed"], 555);
  EXPECT_EQ(document["settings"]["stopping"]["replications"], 800);
  const SeedSequence seeds(555, 36);
  ASSERT_EQ(document["experiments"].size(), 2u);
  for (const json& e : document["experiments"]) {
    const int k = e["experiment"];
    EXPECT_EQ(e["status"], "complete");
    EXPECT_EQ(e["replications"], 800);
    ASSERT_EQ(e["attempts"].size(), 2u);
    EXPECT_EQ(e["attempts"][0]["segment"], 0);
    EXPECT_EQ(e["attempts"][0]["seed"], seeds.Seed(k, 0, 0));
    EXPECT_EQ(e["attempts"][0]["replications"], 300);
    EXPECT_EQ(e["attempts"][1]["segment"], 1);
    EXPECT_EQ(e["attempts"][1]["seed"], seeds.Seed(k, 1, 0));
    EXPECT_EQ(e["attempts"][1]["replications"], 500);
    ExpectStatisticsOfAttempts(e, dir + "/ascii", dir);
  }
  const std::string csv = ReadFile(dir + "/study/results.csv");
  std::vector<std::string> again = {"--resume", dir + "/study", "--simulator", KORVAN_SIMULATOR_PATH};
  again.insert(again.end(), common.begin(), common.end());
  result = RunSimMgr(again);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/ascii/experiment2-segment2.txt"));
  const auto before = ReadCsv(dir + "/study/results.csv");
  for (const auto& row : before) EXPECT_EQ(row.at("replications"), "800");
  EXPECT_EQ(ReadFile(dir + "/study/results.csv").substr(0, 300), csv.substr(0, 300));
}

// A manager killed with SIGKILL in the middle of a study: its state file
// holds what had arrived whole, and how long each simulator had run; the
// study resumed from it completes with exactly the replications asked for,
// the observations of the killed segment counted once, in the numbers (and
// the times) the state file recorded.
TEST(StudyStateTest, AManagerKilledMidStudyResumesWithNothingCountedTwice) {
  const std::string dir = TestFolder("resume_killed");
#if defined(__SANITIZE_ADDRESS__)
  const int kR = 1500;
#else
  const int kR = 6000;
#endif
  const std::vector<std::string> common = {"--report-size", "50", "--ascii-dir", dir + "/ascii", "--port", "21650",
                                           "--timeout", "30", "--simulator", KORVAN_SIMULATOR_PATH};
  std::vector<std::string> first = {"--experiments", "3,4", "--replications", std::to_string(kR), "--seed", "77",
                                    "--out", dir + "/study"};
  first.insert(first.end(), common.begin(), common.end());
  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH, first));
  // Until both experiments have something saved (bounded).
  const bool some = UntilSaved(manager, dir + "/study/state.json", [&](const StudyState& state) {
    if (state.experiments.size() != 2) return false;
    for (const StudyState::Experiment& e : state.experiments) {
      if (e.attempts.empty() || e.attempts.back().replications <= 0 || e.attempts.back().replications >= kR) {
        return false;
      }
    }
    return true;
  });
  ASSERT_TRUE(some) << manager.ErrorOutput();
  manager.Kill();
  EXPECT_EQ(manager.ExitStatus(), 128 + SIGKILL);
  StudyState saved;
  std::string error;
  ASSERT_TRUE(StudyState::Load(dir + "/study/state.json", saved, error)) << error;
  // Killed between writing a file beside the old one and the rename, a
  // manager leaves its temporary; the resumed run removes such leftovers,
  // and only those.
  const std::vector<std::string> leftovers = {"state.json.tmp999999", "results.csv.tmp42", ".simmgr-check-77"};
  const std::vector<std::string> others = {"state.json.tmpx", "notes.tmp5", "state.json.tmp"};
  for (const std::string& name : leftovers) std::ofstream(dir + "/study/" + name) << "{";
  for (const std::string& name : others) std::ofstream(dir + "/study/" + name) << "{";

  std::vector<std::string> more = {"--resume", dir + "/study"};
  more.insert(more.end(), common.begin(), common.end());
  const SimMgrResult result = RunSimMgr(more, 120000);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  for (const std::string& name : leftovers) EXPECT_FALSE(std::filesystem::exists(dir + "/study/" + name)) << name;
  for (const std::string& name : others) EXPECT_TRUE(std::filesystem::exists(dir + "/study/" + name)) << name;
  const json document = json::parse(ReadFile(dir + "/study/results.json"), nullptr, false);
  ASSERT_FALSE(document.is_discarded());
  for (size_t i = 0; i < 2; ++i) {
    const json& e = document["experiments"][i];
    EXPECT_EQ(e["status"], "complete");
    EXPECT_EQ(e["replications"], kR);
    const json& attempts = e["attempts"];
    ASSERT_GE(attempts.size(), 2u);
    EXPECT_EQ(attempts[0]["segment"], 0);
    EXPECT_EQ(attempts[0]["ended"], "interrupted");
    EXPECT_EQ(attempts[0]["reason"], "the manager ended while it ran");
    EXPECT_EQ(attempts[0]["replications"], saved.experiments[i].attempts[0].replications);
    // Its time counts with the experiment's, as its processor time does.
    EXPECT_GT(saved.experiments[i].attempts[0].wallSeconds, 0.0);
    EXPECT_EQ(attempts[0]["wall_seconds"], saved.experiments[i].attempts[0].wallSeconds);
    EXPECT_GE(e["wall_seconds"].get<double>(), saved.experiments[i].attempts[0].wallSeconds);
    EXPECT_EQ(attempts[attempts.size() - 1]["segment"], 1);
    ExpectStatisticsOfAttempts(e, dir + "/ascii", dir);
  }
}

// While a launcher is given time to stop the simulator of an attempt that
// has ended (here it ignores SIGTERM), the ended attempt is saved among the
// others and no running one beside it: the state reads back at every moment
// a manager killed then could leave it.
TEST(StudyStateTest, TheStateSavedWhileALauncherStopsReadsBack) {
  const std::string dir = TestFolder("state_launcher_stopping");
  const std::string silent = dir + "/silent.sh";
  WriteScript(silent, "#!/bin/sh\nexec sleep 20\n");
  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH, {"--experiments", "1", "--replications", "100", "--retries", "0",
                                                 "--timeout", "1", "--launcher", "trap '' TERM; {command}", "--out",
                                                 dir + "/study", "--port", "22300", "--simulator", silent}));
  const std::string stateFile = dir + "/study/state.json";
  int ended = 0;
  std::string failure;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(4500);
  while (std::chrono::steady_clock::now() < until && !manager.Wait(20)) {
    StudyState state;
    std::string error;
    if (!std::filesystem::exists(stateFile)) continue;
    if (!StudyState::Load(stateFile, state, error)) {
      failure = error;
      break;
    }
    if (state.experiments.size() == 1 && state.experiments[0].attempts.size() == 1 &&
        state.experiments[0].attempts[0].ending == SimulatorAttempt::kTimedOut) {
      ++ended;
    }
  }
  manager.Kill();
  EXPECT_EQ(failure, "");
  EXPECT_GT(ended, 0) << manager.ErrorOutput();
}

// A failed attempt of an earlier segment was reported when it ended: the
// segment that takes the study further says nothing more of it.
TEST(StudyStateTest, AResumedStudyDoesNotReportEarlierFailuresAgain) {
  const std::string dir = TestFolder("resume_after_broken");
  const std::string broken = dir + "/broken.sh";
  WriteScript(broken, "#!/bin/sh\nexit 0\n");
  SimMgrResult result = RunSimMgr({"--experiments", "1", "--replications", "100", "--retries", "0", "--out",
                                   dir + "/study", "--port", "21720", "--simulator", broken});
  ASSERT_EQ(result.exitStatus, 1) << result.err;
  EXPECT_NE(result.err.find("experiment 1 failed"), std::string::npos) << result.err;
  result = RunSimMgr({"--resume", dir + "/study", "--port", "21720", "--simulator", KORVAN_SIMULATOR_PATH});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.err.find("attempt 1"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("failed"), std::string::npos) << result.err;
  const auto rows = ReadCsv(dir + "/study/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "complete");
  EXPECT_EQ(rows[0].at("replications"), "100");
}

// Resuming is refused, before anything runs, when the settings contradict
// the saved ones or the saved study is not this program's.
TEST(StudyStateTest, ContradictoryResumesAreRefused) {
  const std::string dir = TestFolder("resume_refused");
  SimMgrResult result = RunSimMgr({"--experiments", "1", "--replications", "100", "--generator", "1", "--seed", "8",
                                   "--out", dir + "/study", "--port", "21700", "--simulator", KORVAN_SIMULATOR_PATH});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  const std::string state = ReadFile(dir + "/study/state.json");
  auto resume = [&](std::vector<std::string> more) {
    std::vector<std::string> arguments = {"--resume", dir + "/study", "--port", "21700", "--simulator",
                                          KORVAN_SIMULATOR_PATH};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return RunSimMgr(arguments);
  };
  result = resume({"--generator", "0"});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_NE(result.err.find("cannot resume " + dir + "/study: it was run with generator 1, not 0"),
            std::string::npos)
      << result.err;
  result = resume({"--seed", "9"});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_NE(result.err.find("it was run with base seed 8, not 9"), std::string::npos) << result.err;
  result = resume({"--experiments", "2"});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_NE(result.err.find("a resumed study keeps its experiments"), std::string::npos) << result.err;
  result = resume({"--test", "reliability@1000 < 0.5"});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_NE(result.err.find("none of the study's variables"), std::string::npos) << result.err;
  // Another model: an experiment's value differs.
  std::string other = state;
  other.replace(other.find("\"0.0625\""), 8, "\"0.0626\"");
  { std::ofstream(dir + "/study/state.json") << other; }
  result = resume({"--replications", "200"});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_NE(result.err.find("has power_cycle_rate = 0.0626, this program's 0.0625"), std::string::npos)
      << result.err;
  { std::ofstream(dir + "/study/state.json") << "{}"; }
  result = resume({});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_NE(result.err.find("is not a saved study"), std::string::npos) << result.err;
  result = RunSimMgr({"--resume", dir + "/nothing", "--simulator", KORVAN_SIMULATOR_PATH});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_NE(result.err.find("cannot resume: cannot read " + dir + "/nothing/state.json"), std::string::npos)
      << result.err;
  // Nothing ran meanwhile: the results are still the first run's.
  EXPECT_EQ(ReadCsv(dir + "/study/results.csv")[0].at("replications"), "100");
}

// Numbers no study reaches, as a damaged or edited file may hold them, are
// refused: counts and replications beyond 2^53 (the limits simmgr takes end
// far below), attempts whose counts together pass it (they overflowed
// int64_t when merged on resuming), a rule's minimum or maximum beyond it
// (a maximum of 2^63 - 1 left the resumed manager counting its looks for
// ever), a negative precision, and times that are negative or beyond any
// run's (added up into the study's times). The bounds themselves are taken.
TEST(StudyStateTest, NumbersBeyondAnyStudyAreRefused) {
  StudyTable study;
  study.Load();
  const std::string dir = TestFolder("state_limits");
  const std::string path = dir + "/state.json";
  std::string error;
  StudyState sample = Sample(study);
  // Plain 0/1 attempts only: their counts can be edited alone.
  sample.experiments[0].attempts.resize(1);
  ASSERT_TRUE(sample.Save(path, error)) << error;
  const nlohmann::json good = nlohmann::json::parse(ReadFile(path));
  StudyState back;
  auto load = [&](const std::function<void(nlohmann::json&)>& edit) {
    nlohmann::json document = good;
    edit(document);
    { std::ofstream(path) << document.dump(1); }
    error.clear();
    return StudyState::Load(path, back, error);
  };
  const int64_t bound = int64_t{1} << 53;
  auto attempt = [](nlohmann::json& d) -> nlohmann::json& { return d["experiments"][0]["attempts"][0]; };
  auto setCounts = [&](nlohmann::json& a, int64_t n) {
    a["replications"] = n;
    for (nlohmann::json& s : a["statistics"]) s["count"] = n;
  };
  EXPECT_TRUE(load([](nlohmann::json&) {})) << error;
  EXPECT_TRUE(load([&](nlohmann::json& d) { setCounts(attempt(d), bound); })) << error;
  EXPECT_EQ(back.experiments[0].attempts[0].statistics[0].Count(), bound);
  EXPECT_FALSE(load([&](nlohmann::json& d) { setCounts(attempt(d), bound + 1); }));
  EXPECT_NE(error.find("out of range"), std::string::npos) << error;
  EXPECT_FALSE(load([&](nlohmann::json& d) { setCounts(attempt(d), INT64_MAX); }));
  // Two attempts of 2^62 + 5 each: their sum wrapped around to a negative
  // count on resuming. Within the bound each, but not together:
  EXPECT_FALSE(load([&](nlohmann::json& d) {
    nlohmann::json second = attempt(d);
    second["attempt"] = 1;
    second["seed"] = SeedSequence(4242, study.NumExperiments()).Seed(7, 0, 1);
    setCounts(attempt(d), bound / 2 + 1);
    setCounts(second, bound / 2 + 1);
    d["experiments"][0]["attempts"].push_back(second);
  }));
  EXPECT_NE(error.find("experiment 7 holds more observations than any study can"), std::string::npos) << error;
  EXPECT_TRUE(load([&](nlohmann::json& d) {
    nlohmann::json second = attempt(d);
    second["attempt"] = 1;
    second["seed"] = SeedSequence(4242, study.NumExperiments()).Seed(7, 0, 1);
    setCounts(attempt(d), bound / 2);
    setCounts(second, bound / 2);
    d["experiments"][0]["attempts"].push_back(second);
  })) << error;
  for (const char* field : {"replications", "min_replications", "max_replications"}) {
    EXPECT_TRUE(load([&](nlohmann::json& d) {
      d["rule"][field] = bound;
      // A fixed number of replications is the rule's one way to stop.
      if (std::string(field) == "replications") d["rule"]["test"] = nullptr;
    })) << field << ": " << error;
    EXPECT_FALSE(load([&](nlohmann::json& d) { d["rule"][field] = bound + 1; })) << field;
    EXPECT_FALSE(load([&](nlohmann::json& d) { d["rule"][field] = INT64_MAX; })) << field;
  }
  EXPECT_FALSE(load([&](nlohmann::json& d) { d["experiments"][0]["decision_replications"] = INT64_MAX; }));
  EXPECT_FALSE(load([&](nlohmann::json& d) { d["rule"]["absolute"] = -0.01; }));
  EXPECT_NE(error.find("precision is negative"), std::string::npos) << error;
  EXPECT_FALSE(load([&](nlohmann::json& d) { d["rule"]["relative"] = -1; }));
  for (const char* field : {"cpu_seconds", "wall_seconds"}) {
    EXPECT_FALSE(load([&](nlohmann::json& d) { attempt(d)[field] = -1e300; })) << field;
    EXPECT_NE(error.find("has a time that is negative or beyond any run's"), std::string::npos) << error;
    EXPECT_FALSE(load([&](nlohmann::json& d) { attempt(d)[field] = 1e300; })) << field;
    EXPECT_TRUE(load([&](nlohmann::json& d) { attempt(d)[field] = 0.0; })) << error;
  }
}

// A resumed study whose saved maximum is the largest there can be runs, and
// does not hang counting its looks.
TEST(StudyStateTest, AStudyResumedAtTheLargestMaximumRuns) {
  const std::string dir = TestFolder("resume_largest");
  // Experiment 35's probabilities (0.08 and more) meet a relative target of
  // a half within a thousand or two replications.
  SimMgrResult result = RunSimMgr({"--experiments", "35", "--replications", "200", "--out", dir + "/study", "--port",
                                   "25400", "--simulator", KORVAN_SIMULATOR_PATH});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  nlohmann::json state = nlohmann::json::parse(ReadFile(dir + "/study/state.json"));
  state["rule"]["replications"] = 0;
  state["rule"]["relative"] = 0.5;
  state["rule"]["min_replications"] = 400;
  state["rule"]["max_replications"] = int64_t{1} << 53;
  { std::ofstream(dir + "/study/state.json") << state.dump(1); }
  result = RunSimMgr({"--resume", dir + "/study", "--port", "25400", "--simulator", KORVAN_SIMULATOR_PATH});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_NE(result.out.find("up to 46 looks"), std::string::npos) << result.out;
  const auto rows = ReadCsv(dir + "/study/results.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "complete");
  // The first look, at 400 replications, is where a relative half-width of
  // a half is met (or a later one, if it was not).
  EXPECT_GE(std::atoll(rows[0].at("replications").c_str()), 400);
  // And one beyond it is refused at once.
  state["rule"]["max_replications"] = INT64_MAX;
  { std::ofstream(dir + "/study/state.json") << state.dump(1); }
  result = RunSimMgr({"--resume", dir + "/study", "--port", "25400", "--simulator", KORVAN_SIMULATOR_PATH}, 10000);
  EXPECT_EQ(result.exitStatus, 2) << result.err;
  EXPECT_NE(result.err.find("\"max_replications\" is out of range"), std::string::npos) << result.err;
}
