// Two-stage stopping end to end: the pilot is simulated, kept apart and
// saved; the looks are the ones its observations plan; the estimates are
// those of the observations after it; a resumed study plans again from the
// same pilot; and a resume that would mix the two ways of stopping is
// refused.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "simmgr/StoppingRule.h"
#include "simmgr/StudyState.h"
#include "tests/simmgr/SimMgrTestSupport.h"

namespace {

using nlohmann::json;

const char* const kVariables[] = {"reliability@30", "reliability@180", "reliability@365"};

double Number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// The statistics of observations [from, to) of each variable.
std::vector<RunningStatistics> Slice(const std::map<int, std::vector<double>>& observations, size_t from,
                                     size_t to) {
  std::vector<RunningStatistics> statistics(3);
  for (int v = 0; v < 3; ++v) {
    EXPECT_GE(observations.at(v).size(), to);
    for (size_t i = from; i < to && i < observations.at(v).size(); ++i) statistics[v].Add(observations.at(v)[i]);
  }
  return statistics;
}

// The rows of results.csv against `main`, the statistics they must hold,
// at the level of the look `used` is at.
void ExpectRows(const std::string& csv, const StoppingRule& planned, const std::vector<RunningStatistics>& main) {
  const auto rows = ReadCsv(csv);
  ASSERT_EQ(rows.size(), 3u);
  for (const auto& row : rows) {
    int v = 0;
    while (v < 3 && row.at("variable") != kVariables[v]) ++v;
    ASSERT_LT(v, 3);
    const RunningStatistics& s = main[v];
    EXPECT_EQ(std::atoll(row.at("replications").c_str()), s.Count());
    EXPECT_EQ(Number(row.at("mean")), s.Mean()) << kVariables[v];
    const ConfidenceInterval interval = planned.Interval(s);
    EXPECT_EQ(Number(row.at("interval_confidence")), planned.LevelAt(s.Count()));
    EXPECT_EQ(Number(row.at("ci_low")), interval.Low());
    EXPECT_EQ(Number(row.at("ci_high")), interval.High());
    EXPECT_EQ(row.at("precision_met"), "1");
  }
}

// The rule simmgr makes of --abs-precision `absolute` --min-replications
// 200, before its plan.
StoppingRule TwoStages(double absolute) {
  StoppingRule rule;
  rule.absolute = absolute;
  rule.minReplications = 200;
  rule.twoStage = true;
  rule.variables = 3;
  rule.maxReplications = rule.WorstCase();
  return rule;
}

}  // namespace

TEST(TwoStageTest, ThePilotPlansAndStaysOutOfTheEstimates) {
  const std::string dir = TestFolder("two_stage");
  const std::vector<std::string> common = {"--report-size", "50", "--ascii-dir", dir + "/ascii", "--port", "22100",
                                           "--timeout", "30", "--simulator", KORVAN_SIMULATOR_PATH};
  std::vector<std::string> first = {"--experiments", "20", "--abs-precision", "0.05", "--min-replications", "200",
                                    "--out", dir + "/study"};
  first.insert(first.end(), common.begin(), common.end());
  SimMgrResult result = RunSimMgr(first);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_NE(result.err.find(" and 200 in pilots in "), std::string::npos) << result.err;

  const StoppingRule rule = TwoStages(0.05);
  const auto observations = ReadAsciiObservations(dir + "/ascii/experiment20.txt");
  const std::vector<bool> considered(3, true);
  const StoppingRule planned = rule.Planned(Slice(observations, 0, 200), considered);
  const json document = json::parse(ReadFile(dir + "/study/results.json"), nullptr, false);
  ASSERT_FALSE(document.is_discarded());
  const json& e = document["experiments"][0];
  EXPECT_EQ(e["pilot_replications"], 200);
  EXPECT_EQ(e["looks"].get<std::vector<int64_t>>(), planned.plan);
  const int64_t used = e["replications"];
  EXPECT_EQ(used, planned.NextLook(used)) << "not at a look";
  EXPECT_EQ(e["attempts"][0]["replications"], 200 + used);
  EXPECT_EQ(document["settings"]["stopping"]["two_stage"]["pilot_replications"], 200);
  ExpectRows(dir + "/study/results.csv", planned, Slice(observations, 200, 200 + used));
  const std::string table = result.out;
  EXPECT_NE(table.find("at the look planned from a pilot of 200 replications"), std::string::npos) << table;

  // The pilot is saved apart and read back.
  StudyState saved;
  std::string error;
  ASSERT_TRUE(StudyState::Load(dir + "/study/state.json", saved, error)) << error;
  EXPECT_TRUE(saved.rule.twoStage);
  ASSERT_EQ(saved.experiments[0].attempts[0].pilot.size(), 3u);
  EXPECT_EQ(saved.experiments[0].attempts[0].pilot[2].Count(), 200);
  EXPECT_EQ(saved.experiments[0].attempts[0].statistics[2].Count(), used);

  // A pilot in a study saved without two stages is refused: its estimates
  // would take the pilot in.
  std::string text = ReadFile(dir + "/study/state.json");
  const size_t mark = text.find(",\n  \"two_stage\": true");
  ASSERT_NE(mark, std::string::npos);
  text.erase(mark, std::string(",\n  \"two_stage\": true").size());
  { std::ofstream(dir + "/damaged.json") << text; }
  StudyState damaged;
  EXPECT_FALSE(StudyState::Load(dir + "/damaged.json", damaged, error));
  EXPECT_NE(error.find("has a pilot, but the study was not run with one"), std::string::npos) << error;

  // Mixing the ways of stopping is refused, and changes nothing.
  for (const std::vector<std::string>& mixed :
       {std::vector<std::string>{"--looks"}, {"--precision", "0.1"}, {"--replications", "5000"}}) {
    std::vector<std::string> resume = {"--resume", dir + "/study"};
    resume.insert(resume.end(), mixed.begin(), mixed.end());
    resume.insert(resume.end(), common.begin(), common.end());
    result = RunSimMgr(resume);
    EXPECT_EQ(result.exitStatus, 2) << mixed[0];
    EXPECT_NE(result.err.find("it was run with a pilot"), std::string::npos) << result.err;
  }

  // In a copy of the study, a target whose plan puts its first look below
  // what is held (here the first run's worst case) and its worst case
  // above: what is held meets it, judged as that first look, and nothing
  // more runs (it ran on to the worst case).
  const StoppingRule between = TwoStages(0.045).Planned(Slice(observations, 0, 200), considered);
  ASSERT_EQ(between.plan.size(), 2u);
  ASSERT_LT(between.plan[0], used);
  ASSERT_GT(between.plan[1], used);
  // A resume of a copy of the study (made at its first resume).
  auto resumeCopy = [&](const std::string& copy, const std::vector<std::string>& more) {
    if (!std::filesystem::exists(dir + "/" + copy)) std::filesystem::copy(dir + "/study", dir + "/" + copy);
    std::vector<std::string> arguments = {"--resume", dir + "/" + copy};
    arguments.insert(arguments.end(), more.begin(), more.end());
    arguments.insert(arguments.end(), common.begin(), common.end());
    return RunSimMgr(arguments);
  };
  result = resumeCopy("looser", {"--abs-precision", "0.045"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_NE(result.err.find("simmgr: 0 replications (" + std::to_string(used) + " in all segments"),
            std::string::npos)
      << result.err;
  // No simulator ran: no share of the simulators' processor time is given.
  EXPECT_NE(result.err.find("; manager CPU "), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("of the simulators'"), std::string::npos) << result.err;

  // A target so much coarser that its worst case is below what is held:
  // all of it is judged at one look, at the level of the plan's first, and
  // the looks written are that one (they once listed the new plan's, below
  // the replications the estimates took, at the worst case's level).
  StoppingRule coarse = TwoStages(0.12).Planned(Slice(observations, 0, 200), considered);
  ASSERT_LT(coarse.plan.back(), used);
  result = resumeCopy("coarser", {"--abs-precision", "0.12"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  const json coarser = json::parse(ReadFile(dir + "/coarser/results.json"), nullptr, false);
  ASSERT_FALSE(coarser.is_discarded());
  EXPECT_EQ(coarser["experiments"][0]["looks"].get<std::vector<int64_t>>(), std::vector<int64_t>{used});
  EXPECT_EQ(coarser["experiments"][0]["replications"], used);
  coarse.plan = {used};
  coarse.planLevels = {coarse.PlannedConfidence()};
  ExpectRows(dir + "/coarser/results.csv", coarse, Slice(observations, 200, 200 + used));

  // A higher level alone moves the worst case with it.
  result = resumeCopy("level", {"--confidence", "0.99"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  StoppingRule higher = TwoStages(0.05);
  higher.confidence = 0.99;
  const json moved = json::parse(ReadFile(dir + "/level/results.json"), nullptr, false);
  ASSERT_FALSE(moved.is_discarded());
  EXPECT_EQ(moved["settings"]["stopping"]["max_replications"], higher.WorstCase());
  EXPECT_GT(higher.WorstCase(), rule.maxReplications);

  // A pilot longer than the worst case, which counts the replications
  // after the pilot: nothing more is needed for the target held...
  result = resumeCopy("longer", {"--min-replications", "1000"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_NE(result.err.find("simmgr: 0 replications (" + std::to_string(used) + " in all segments"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.out.find("planned from a pilot of 200 replications"), std::string::npos) << result.out;
  // ... and for a finer one the pilot grows first; its plan's first look
  // is not below what is held, which is judged there.
  result = resumeCopy("longer", {"--min-replications", "1000", "--abs-precision", "0.045"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_NE(result.err.find(" in all segments and 1000 in pilots) in "), std::string::npos) << result.err;
  const json grown = json::parse(ReadFile(dir + "/longer/results.json"), nullptr, false);
  ASSERT_FALSE(grown.is_discarded());
  const auto grownLooks = grown["experiments"][0]["looks"].get<std::vector<int64_t>>();
  const int64_t held = grown["experiments"][0]["replications"];
  ASSERT_EQ(grownLooks.size(), 2u);
  EXPECT_GE(grownLooks[0], used);
  EXPECT_TRUE(held == grownLooks[0] || held == grownLooks[1]) << held;

  // A finer target: planned again from the same pilot, no pilot run again,
  // the estimates those of every observation after it.
  std::vector<std::string> finer = {"--resume", dir + "/study", "--abs-precision", "0.03"};
  finer.insert(finer.end(), common.begin(), common.end());
  result = RunSimMgr(finer);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_NE(result.err.find(" in all segments and 200 in pilots) in "), std::string::npos) << result.err;
  const StoppingRule replanned = TwoStages(0.03).Planned(Slice(observations, 0, 200), considered);
  const json again = json::parse(ReadFile(dir + "/study/results.json"), nullptr, false);
  ASSERT_FALSE(again.is_discarded());
  const int64_t more = again["experiments"][0]["replications"];
  EXPECT_EQ(again["experiments"][0]["pilot_replications"], 200);
  EXPECT_EQ(again["experiments"][0]["looks"].get<std::vector<int64_t>>(), replanned.plan);
  EXPECT_EQ(more, replanned.NextLook(more));
  auto all = Slice(observations, 200, 200 + used);
  const auto segment = ReadAsciiObservations(dir + "/ascii/experiment20-segment1.txt");
  const auto added = Slice(segment, 0, static_cast<size_t>(more - used));
  for (int v = 0; v < 3; ++v) all[v].Merge(added[v]);
  ExpectRows(dir + "/study/results.csv", replanned, all);

  // A study run with the looks cannot be taken on with a pilot.
  std::vector<std::string> looks = {"--experiments", "20", "--abs-precision", "0.05", "--looks",
                                    "--min-replications", "200", "--out", dir + "/looks"};
  looks.insert(looks.end(), common.begin(), common.end());
  ASSERT_EQ(RunSimMgr(looks).exitStatus, 0);
  std::vector<std::string> withPilot = {"--resume", dir + "/looks", "--two-stage"};
  withPilot.insert(withPilot.end(), common.begin(), common.end());
  result = RunSimMgr(withPilot);
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_NE(result.err.find("its replications were not run with a pilot"), std::string::npos) << result.err;
}

// A target that one look at the minimum meets for any probability needs
// no pilot: unless two stages are asked for, the study takes that one look,
// and a resume carries it on with the looks.
TEST(TwoStageTest, ATargetOneLookMeetsTakesNoPilot) {
  const std::string dir = TestFolder("one_look");
  const std::vector<std::string> common = {"--report-size", "50", "--port", "22250", "--timeout", "30",
                                           "--simulator", KORVAN_SIMULATOR_PATH};
  auto run = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.end(), common.begin(), common.end());
    return RunSimMgr(arguments);
  };
  SimMgrResult result =
      run({"--experiments", "20", "--abs-precision", "0.1", "--min-replications", "200", "--out", dir + "/coarse"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.err.find("in pilots"), std::string::npos) << result.err;
  json document = json::parse(ReadFile(dir + "/coarse/results.json"), nullptr, false);
  ASSERT_FALSE(document.is_discarded());
  EXPECT_EQ(document["experiments"][0]["replications"], 200);
  EXPECT_FALSE(document["experiments"][0].contains("pilot_replications"));
  EXPECT_EQ(document["settings"]["interval"]["looks"], 1);
  EXPECT_EQ(document["settings"]["interval"]["interval_confidence"], 0.95);
  for (const auto& row : ReadCsv(dir + "/coarse/results.csv")) EXPECT_EQ(row.at("precision_met"), "1");

  // Saved as a study of looks: a finer target goes on from the 200.
  result = run({"--resume", dir + "/coarse", "--abs-precision", "0.05"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.err.find("in pilots"), std::string::npos) << result.err;
  document = json::parse(ReadFile(dir + "/coarse/results.json"), nullptr, false);
  EXPECT_GT(document["experiments"][0]["replications"].get<int64_t>(), 200);

  // Asked for, or with a maximum of its own, the pilot is run.
  result = run({"--experiments", "20", "--abs-precision", "0.1", "--min-replications", "200", "--two-stage", "--out",
                dir + "/asked"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_NE(result.err.find(" and 200 in pilots in "), std::string::npos) << result.err;
  result = run({"--experiments", "20", "--abs-precision", "0.1", "--min-replications", "200", "--max-replications",
                "400", "--out", dir + "/capped"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_NE(result.err.find(" and 200 in pilots in "), std::string::npos) << result.err;
}

// A simulator that ends in the middle of the pilot (here: told by its
// launcher to stop after 120 replications) is restarted, and the next
// attempt finishes the pilot before anything counts: the plan comes from
// both attempts' first observations, the estimates from the second
// attempt's observations after them.
TEST(TwoStageTest, AnAttemptEndingInThePilotIsCarriedOn) {
  const std::string dir = TestFolder("two_stage_retry");
  const std::string launcher = dir + "/cut-first.sh";
  WriteScript(launcher, "#!/bin/sh\n"
                        "if [ ! -e '" + dir + "/cut' ]; then\n"
                        "  : > '" + dir + "/cut'\n"
                        "  count=$#; i=0; prev=\n"
                        "  while [ $i -lt $count ]; do\n"
                        "    word=$1; shift\n"
                        "    if [ \"$prev\" = -N ]; then set -- \"$@\" 120; else set -- \"$@\" \"$word\"; fi\n"
                        "    prev=$word; i=$((i + 1))\n"
                        "  done\n"
                        "fi\n"
                        "exec \"$@\"\n");
  const SimMgrResult result = RunSimMgr(
      {"--experiments", "20", "--abs-precision", "0.05", "--min-replications", "200", "--report-size", "20",
       "--ascii-dir", dir + "/ascii", "--port", "22150", "--timeout", "30", "--out", dir + "/study", "--simulator",
       KORVAN_SIMULATOR_PATH, "--launcher", launcher + " {command}"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  const json document = json::parse(ReadFile(dir + "/study/results.json"), nullptr, false);
  ASSERT_FALSE(document.is_discarded());
  const json& e = document["experiments"][0];
  ASSERT_EQ(e["attempts"].size(), 2u) << e.dump();
  EXPECT_EQ(e["attempts"][0]["replications"], 120);
  EXPECT_EQ(e["attempts"][0]["ended"], "exited");
  EXPECT_EQ(e["pilot_replications"], 200);
  const int64_t used = e["replications"];
  EXPECT_EQ(e["attempts"][1]["replications"], 80 + used);

  const auto first = ReadAsciiObservations(dir + "/ascii/experiment20.txt");
  const auto second = ReadAsciiObservations(dir + "/ascii/experiment20-attempt1.txt");
  std::vector<RunningStatistics> pilot = Slice(first, 0, 120);
  const auto rest = Slice(second, 0, 80);
  for (int v = 0; v < 3; ++v) pilot[v].Merge(rest[v]);
  const StoppingRule planned = TwoStages(0.05).Planned(pilot, std::vector<bool>(3, true));
  EXPECT_EQ(e["looks"].get<std::vector<int64_t>>(), planned.plan);
  ExpectRows(dir + "/study/results.csv", planned, Slice(second, 80, 80 + used));
}

// A manager killed with SIGKILL once the sample after the pilot has begun:
// the attempt it saved while running counts its pilot's replications as an
// ended one does, and the resumed study neither runs the pilot again nor
// counts it in the estimates.
TEST(TwoStageTest, AManagerKilledAfterThePilotResumesWithItsPlan) {
  const std::string dir = TestFolder("two_stage_killed");
  const std::vector<std::string> common = {"--report-size", "50", "--port", "22200", "--timeout", "30",
                                           "--simulator", KORVAN_SIMULATOR_PATH};
  std::vector<std::string> first = {"--experiments", "20", "--abs-precision", "0.01", "--min-replications", "200",
                                    "--out", dir + "/study"};
  first.insert(first.end(), common.begin(), common.end());
  SimulatorProcess manager;
  ASSERT_TRUE(manager.Start(KORVAN_SIMMGR_PATH, first));
  const bool sampling = UntilSaved(manager, dir + "/study/state.json", [](const StudyState& state) {
    if (state.experiments.empty() || state.experiments[0].attempts.empty()) return false;
    const SimulatorAttempt& a = state.experiments[0].attempts.back();
    return !a.statistics.empty() && a.statistics[0].Count() > 0;
  });
  ASSERT_TRUE(sampling) << manager.ErrorOutput();
  manager.Kill();
  StudyState saved;
  std::string error;
  ASSERT_TRUE(StudyState::Load(dir + "/study/state.json", saved, error)) << error;
  const SimulatorAttempt& cut = saved.experiments[0].attempts.back();
  EXPECT_EQ(cut.ending, SimulatorAttempt::kInterrupted);
  ASSERT_EQ(cut.pilot.size(), 3u);
  EXPECT_EQ(cut.pilot[0].Count(), 200);
  EXPECT_EQ(cut.replications, 200 + cut.statistics[0].Count());

  std::vector<std::string> more = {"--resume", dir + "/study"};
  more.insert(more.end(), common.begin(), common.end());
  const SimMgrResult result = RunSimMgr(more, 120000);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  const json document = json::parse(ReadFile(dir + "/study/results.json"), nullptr, false);
  ASSERT_FALSE(document.is_discarded());
  const json& e = document["experiments"][0];
  EXPECT_EQ(e["status"], "complete");
  EXPECT_EQ(e["pilot_replications"], 200);
  const int64_t used = e["replications"];
  const std::vector<int64_t> looks = e["looks"];
  EXPECT_TRUE(used == looks.front() || used == looks.back()) << used;
  int64_t total = 0;
  for (const json& attempt : e["attempts"]) total += attempt["replications"].get<int64_t>();
  EXPECT_EQ(total, 200 + used);
}
