// A saved study edited by hand or damaged: numbers no study can have
// collected must be refused on loading, not carried into the intervals a
// resume reports. Also the levels a command line's confidence leads to.
#include <functional>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "simmgr/SeedSequence.h"
#include "simmgr/StudyState.h"
#include "tests/simmgr/SimMgrTestSupport.h"

namespace {

using nlohmann::json;

// A finished study of experiment 0 as simmgr saves it: one attempt of 1000
// replications, its seed the experiment's.
StudyState Finished(const StudyTable& study) {
  StudyState state;
  state.Describe(study);
  state.baseSeed = 31415;
  state.segments = 1;
  state.rule.absolute = 0.05;
  state.rule.maxReplications = 1000;
  StudyState::Experiment e;
  e.experiment = 0;
  SimulatorAttempt a;
  a.seed = SeedSequence(31415, study.NumExperiments()).Seed(0, 0, 0);
  a.host = "127.0.0.1";
  a.port = 47000;
  a.ending = SimulatorAttempt::kDone;
  a.statistics.resize(3);
  for (int i = 0; i < 1000; ++i) {
    for (int v = 0; v < 3; ++v) a.statistics[v].Add(i % (20 * (v + 1)) == 0 ? 1.0 : 0.0);
  }
  a.replications = 1000;
  e.attempts.push_back(a);
  state.experiments.push_back(e);
  return state;
}

class HostileStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    study.Load();
    // One folder per test: ctest runs them side by side.
    path = TestFolder(std::string("hostile_state_") + ::testing::UnitTest::GetInstance()->current_test_info()->name()) +
           "/state.json";
    std::string error;
    ASSERT_TRUE(Finished(study).Save(path, error)) << error;
    good = json::parse(ReadFile(path));
  }
  // Loads the saved state after `edit`.
  bool LoadEdited(const std::function<void(json&)>& edit) {
    json document = good;
    edit(document);
    { std::ofstream(path) << document.dump(1); }
    error.clear();
    return StudyState::Load(path, back, error);
  }
  static json& Attempt(json& d) { return d["experiments"][0]["attempts"][0]; }
  // Loads the state with variable v's 1000 observations said not to be 0/1,
  // with these sums.
  bool LoadSums(int v, double sum, double squares) {
    return LoadEdited([&](json& d) {
      json& s = Attempt(d)["statistics"][v];
      s["binary"] = false;
      s["sum"] = Sum(sum);
      s["squares"] = Sum(squares);
    });
  }
  static json Sum(double value) { return {{"parts", {value}}, {"special", ""}}; }

  StudyTable study;
  std::string path, error;
  json good;
  StudyState back;
};

// Sums that no observations give: a sum of squares below the square of the
// sum over the count (a negative variance, which was taken as 0 and gave an
// interval of no width, "precision met"); 0/1 observations can at least be
// told by their flag, any other only by that inequality.
TEST_F(HostileStateTest, SumsNoObservationsCanGiveAreRefused) {
  EXPECT_TRUE(LoadEdited([](json&) {})) << error;
  EXPECT_FALSE(LoadSums(1, 500, 1)) << "n 1000, sum 500, sum of squares 1: variance -0.25";
  EXPECT_NE(error.find("cannot belong together"), std::string::npos) << error;
  EXPECT_FALSE(LoadSums(0, 5000, 5000)) << "n 1000, sum = sum of squares = 5000: variance below 0";
  // All observations equal (variance exactly 0) and ones that vary load.
  EXPECT_TRUE(LoadSums(0, 5000, 25000)) << error;
  EXPECT_TRUE(LoadSums(0, 5000, 25001)) << error;
}

// A test decides on 0/1 observations: saved ones of its variable that are
// not (from a segment run without the test) are refused, not rounded to a
// number of ones the test would decide on.
TEST_F(HostileStateTest, ATestIsNotResumedOnObservationsOtherThan0And1) {
  ASSERT_TRUE(LoadSums(2, 2.5, 1.25)) << error;
  const std::string dir = path.substr(0, path.rfind('/'));
  const SimMgrResult result = RunSimMgr({"--resume", dir, "--test", "reliability@365 < 0.5", "--port", "45600",
                                         "--simulator", KORVAN_SIMULATOR_PATH});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_NE(result.err.find("cannot resume " + dir + " with --test: its observations of reliability@365 in "
                            "experiment 0 are not all 0 or 1"),
            std::string::npos)
      << result.err;
}

// Every data record holds as many observations of each variable, so an
// attempt's variables have one count, and its replications are that count;
// and a terminating variable is in every record.
TEST_F(HostileStateTest, CountsThatDisagreeAreRefused) {
  EXPECT_FALSE(LoadEdited([](json& d) { Attempt(d)["statistics"][0]["count"] = 2000; }))
      << "one variable counted 2000, the others 1000";
  EXPECT_NE(error.find("unequal numbers of observations"), std::string::npos) << error;
  EXPECT_FALSE(LoadEdited([](json& d) { Attempt(d)["replications"] = 0; }))
      << "an attempt of no replications holding 1000 observations per variable";
  EXPECT_NE(error.find("claims 0 replications, but its statistics hold 1000"), std::string::npos) << error;
  // One variable without observations reads as a record format that could
  // have left it out; this study's variables are all in every record.
  ASSERT_TRUE(LoadEdited([](json& d) {
    json& s = Attempt(d)["statistics"][2];
    s["count"] = 0;
    s["sum"] = {{"parts", json::array()}, {"special", ""}};
    s["squares"] = {{"parts", json::array()}, {"special", ""}};
  })) << error;
  EXPECT_FALSE(back.SameStudy(study, error));
  EXPECT_NE(error.find("holds 0 observations of reliability@365, not 1000"), std::string::npos) << error;
}

// One simulator process is saved once; its stream is the one its seed,
// segment and number give under the base seed.
TEST_F(HostileStateTest, AttemptsSavedTwiceOrOfAnotherBaseSeedAreRefused) {
  EXPECT_FALSE(LoadEdited([](json& d) {
    json copy = Attempt(d);
    d["experiments"][0]["attempts"].push_back(copy);
  })) << "the same attempt twice counts its 1000 observations twice";
  EXPECT_NE(error.find("is saved twice"), std::string::npos) << error;
  EXPECT_FALSE(LoadEdited([](json& d) { d["base_seed"] = 4242; }))
      << "the attempts ran the streams of base seed 31415";
  EXPECT_NE(error.find("not the one base seed 4242 gives it"), std::string::npos) << error;
  EXPECT_FALSE(LoadEdited([](json& d) { d["segments"] = 0; }))
      << "an attempt of segment 0 in a study that has run no segment";
}

// A rule the command line refuses is refused from a file too: it was used
// as it stood (a fixed number of replications beside a precision, no way to
// stop at all, a pilot planning a relative precision).
TEST_F(HostileStateTest, RulesTheCommandLineRefusesAreRefused) {
  EXPECT_FALSE(LoadEdited([](json& d) { d["rule"]["replications"] = 500; }));
  EXPECT_NE(error.find("more than one way to stop"), std::string::npos) << error;
  EXPECT_FALSE(LoadEdited([](json& d) { d["rule"]["absolute"] = 0; }));
  EXPECT_NE(error.find("no way to stop"), std::string::npos) << error;
  EXPECT_FALSE(LoadEdited([](json& d) {
    d["rule"]["two_stage"] = true;
    d["rule"]["relative"] = 0.1;
  }));
  EXPECT_NE(error.find("pilot"), std::string::npos) << error;
  EXPECT_TRUE(LoadEdited([](json& d) { d["rule"]["two_stage"] = true; })) << error;
}

// Brackets nested beyond any saved study's are refused before parsing: the
// parser kept a frame per level (10^7 levels took 765 MB).
TEST_F(HostileStateTest, DeepNestingIsRefusedBeforeParsing) {
  std::string text = ReadFile(path);
  text.insert(text.rfind('}'), ", \"deep\": " + std::string(100000, '[') + std::string(100000, ']'));
  { std::ofstream(path) << text; }
  EXPECT_FALSE(StudyState::Load(path, back, error));
  EXPECT_NE(error.find("nested deeper than any study's state"), std::string::npos) << error;
  // Brackets inside a text are not nesting.
  good["experiments"][0]["attempts"][0]["reason"] = std::string(1000, '[') + "\"" + std::string(1000, '{');
  EXPECT_TRUE(LoadEdited([](json&) {})) << error;
}

// A confidence the parser takes (strictly between 0 and 1) must leave the
// levels the intervals are computed at strictly between 0 and 1 too: at 1
// every interval was [0, 1] and the worst case 2^50 replications, at 0 no
// interval was computed at all.
TEST(ConfidenceLevelTest, ConfidencesWhoseLevelsRoundToOneOrZeroAreRefused) {
  const std::string dir = TestFolder("confidence_levels");
  auto run = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.end(), {"--experiments", "0", "--simulator", KORVAN_SIMULATOR_PATH, "--port", "22310"});
    return RunSimMgr(arguments);
  };
  SimMgrResult result =
      run({"--looks", "--confidence", "0.9999999999999999", "--abs-precision", "0.05", "--out", dir + "/looks"});
  EXPECT_EQ(result.exitStatus, 2) << result.err;
  EXPECT_NE(result.err.find("simmgr: confidence 0.9999999999999999 is too close to 1: the intervals would be "
                            "computed at 1"),
            std::string::npos)
      << result.err;
  result = run({"--confidence", "0.9999999999999999", "--abs-precision", "0.05", "--out", dir + "/stages"});
  EXPECT_EQ(result.exitStatus, 2) << result.err;
  result = run({"--confidence", "1e-17", "--replications", "10", "--out", dir + "/low"});
  EXPECT_EQ(result.exitStatus, 2) << result.err;
  EXPECT_NE(result.err.find("is too close to 0"), std::string::npos) << result.err;
}

// An absolute target alone runs each experiment to the worst case of a
// probability: one so fine that no number of replications meets it ran
// without end, silently, where it must be refused at once.
TEST(ConfidenceLevelTest, AnAbsoluteTargetNoStudyCanMeetIsRefused) {
  const std::string dir = TestFolder("unreachable_target");
  for (const char* way : {"--two-stage", "--looks"}) {
    const auto begun = std::chrono::steady_clock::now();
    const SimMgrResult result =
        RunSimMgr({"--experiments", "0", way, "--abs-precision", "1e-300", "--simulator", KORVAN_SIMULATOR_PATH,
                   "--port", "45100", "--out", dir + "/out"},
                  20000);
    EXPECT_EQ(result.exitStatus, 2) << way << "\n" << result.err;
    EXPECT_NE(result.err.find("simmgr: an absolute precision of 1e-300 cannot be met"), std::string::npos)
        << result.err;
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(5)) << way;
    EXPECT_FALSE(std::filesystem::exists(dir + "/out")) << way;
  }
}

}  // namespace
