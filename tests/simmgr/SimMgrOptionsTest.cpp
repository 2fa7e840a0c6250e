#include "simmgr/SimMgrOptions.h"

#include <gtest/gtest.h>

namespace {

bool Parse(std::vector<std::string> words, SimMgrOptions& options, std::string& error) {
  std::vector<char*> argv = {const_cast<char*>("simmgr")};
  for (std::string& word : words) argv.push_back(&word[0]);
  return options.Parse(static_cast<int>(argv.size()), argv.data(), error);
}

}  // namespace

TEST(SimMgrOptionsTest, DefaultsValuesAndContradictions) {
  std::string error;
  SimMgrOptions defaults;
  ASSERT_TRUE(Parse({}, defaults, error)) << error;
  // Without a rule: an absolute half-width of 0.01 at 95%.
  EXPECT_FALSE(defaults.rule.Fixed());
  EXPECT_EQ(defaults.rule.absolute, 0.01);
  EXPECT_EQ(defaults.rule.confidence, 0.95);
  EXPECT_EQ(defaults.seed, 31415u);
  EXPECT_EQ(defaults.port, 10000);
  EXPECT_EQ(defaults.outDir, "results");
  EXPECT_EQ(defaults.retries, 3);

  SimMgrOptions given;
  ASSERT_TRUE(Parse({"--precision=0.05", "--confidence", "0.9", "--seed", "4294967295", "--generator", "2",
                     "--launcher", "ssh {host} {command}", "--hosts", "a,,b", "--jobs", "3", "--retries=0"},
                    given, error))
      << error;
  EXPECT_EQ(given.rule.relative, 0.05);
  EXPECT_EQ(given.rule.absolute, 0.0);
  EXPECT_EQ(given.rule.confidence, 0.9);
  EXPECT_EQ(given.seed, 4294967295u);
  EXPECT_EQ(given.hosts, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(given.jobs, 3);
  EXPECT_EQ(given.retries, 0);

  SimMgrOptions launcherOnly;
  ASSERT_TRUE(Parse({"--launcher", "nice {command}"}, launcherOnly, error)) << error;
  EXPECT_EQ(launcherOnly.hosts, (std::vector<std::string>{"127.0.0.1"}));

  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"},
      {"--jobs"},
      {"--jobs", "0"},
      {"--seed", "-1"},
      {"--seed", "4294967296"},
      {"--generator", "3"},
      {"--confidence", "1"},
      {"--precision", "0"},
      {"--replications", "10", "--abs-precision", "0.1"},
      {"--looks", "--min-replications", "500", "--max-replications", "400"},
      {"--hosts", "a"},
      {"--launcher", "ssh {host}"},
      {"--port", "70000"},
      {"--timeout", "x"},
      {"--retries", "-1"},
      {"--retries", "101"},
      {"--retries", "2x"},
      // An empty folder or selection is refused, not read as not given.
      {"--experiments", ""},
      {"--experiments="},
      {"--out", ""},
      {"--ascii-dir", ""},
      {"--ascii-dir="},
      {"--simulator", ""},
      {"--launcher="},
      // A fixed number of replications has no minimum or maximum.
      {"--replications", "10", "--max-replications", "5"},
      {"--replications", "10", "--min-replications", "5000"},
      {"--two-stage", "--looks"},
      {"--two-stage", "--precision", "0.1"},
      {"--two-stage", "--replications", "10"},
      {"--looks", "--test", "reliability@365 < 0.1"},
      {"--two-stage=1"}};
  for (const auto& words : bad) {
    SimMgrOptions options;
    EXPECT_FALSE(Parse(words, options, error)) << words[0];
    EXPECT_FALSE(error.empty());
  }
}

// An absolute target alone is planned from a pilot unless --looks is given;
// a relative target, a fixed number and a test have no pilot, and a resume
// leaves the choice to the saved study.
TEST(SimMgrOptionsTest, TwoStageIsTheDefaultForAnAbsoluteTargetAlone) {
  std::string error;
  const std::vector<std::pair<std::vector<std::string>, bool>> cases = {
      {{}, true},
      {{"--abs-precision", "0.005"}, true},
      {{"--abs-precision", "0.005", "--two-stage", "--simultaneous"}, true},
      {{"--abs-precision", "0.005", "--looks"}, false},
      // The maximum counts the replications after the pilot.
      {{"--min-replications", "500", "--max-replications", "400"}, true},
      {{"--looks"}, false},
      {{"--abs-precision", "0.005", "--precision", "0.1"}, false},
      {{"--precision", "0.1"}, false},
      {{"--replications", "100"}, false},
      {{"--test", "reliability@365 < 0.1"}, false},
      {{"--resume", "results"}, false}};
  for (const auto& [words, twoStage] : cases) {
    SimMgrOptions options;
    ASSERT_TRUE(Parse(words, options, error)) << error;
    EXPECT_EQ(options.rule.twoStage, twoStage) << (words.empty() ? "(none)" : words[0]);
  }
}

TEST(SimMgrOptionsTest, LauncherPresetsAndTheirOptions) {
  std::string error;
  SimMgrOptions ssh;
  ASSERT_TRUE(Parse({"--launcher", "ssh", "--hosts", "n1,n2", "--ssh-port", "2222", "--ssh-user", "sim",
                     "--ssh-identity", "/k/id", "--ssh-option", "StrictHostKeyChecking=yes", "--ssh-option",
                     "ConnectTimeout=5"},
                    ssh, error))
      << error;
  EXPECT_EQ(ssh.launcher,
            "ssh -tt -o BatchMode=yes -p 2222 -l sim -i /k/id -o StrictHostKeyChecking=yes"
            " -o ConnectTimeout=5 {host} {quoted-command}");
  EXPECT_EQ(ssh.hosts, (std::vector<std::string>{"n1", "n2"}));
  EXPECT_EQ(ssh.launcherPreset, "ssh");

  SimMgrOptions srunNamed;
  ASSERT_TRUE(Parse({"--hosts", "node1", "--launcher=srun", "--srun-option", "--mem-per-cpu=100M"}, srunNamed,
                    error))
      << error;
  EXPECT_EQ(srunNamed.launcher, "srun --exact --nodes=1 --ntasks=1 --mem-per-cpu=100M --nodelist={host} {command}");

  // Without hosts Slurm places each step; the host list keeps its default,
  // which only groups the ports handed out.
  SimMgrOptions srun;
  ASSERT_TRUE(Parse({"--launcher", "srun"}, srun, error)) << error;
  EXPECT_NE(srun.launcher.find("SIMMGR_HOST="), std::string::npos) << srun.launcher;
  EXPECT_EQ(srun.hosts, (std::vector<std::string>{"127.0.0.1"}));

  // A template with only the quoted command is a template.
  SimMgrOptions quoted;
  ASSERT_TRUE(Parse({"--launcher", "ssh {host} {quoted-command}", "--hosts", "n1"}, quoted, error)) << error;
  EXPECT_EQ(quoted.launcher, "ssh {host} {quoted-command}");
  EXPECT_EQ(quoted.launcherPreset, "");

  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"--launcher", "ssh"}, "--launcher ssh needs --hosts"},
      {{"--ssh-port", "22", "--launcher", "srun"}, "--ssh-port needs --launcher ssh"},
      {{"--ssh-user", "u"}, "--ssh-user needs --launcher ssh"},
      {{"--launcher", "sh -c {command}", "--ssh-option", "A=b"}, "--ssh-option needs --launcher ssh"},
      {{"--launcher", "ssh", "--hosts", "n1", "--srun-option", "-x"}, "--srun-option needs --launcher srun"},
      {{"--launcher", "ssh", "--hosts", "n1", "--ssh-port", "0"}, "bad value '0' for --ssh-port"},
      {{"--launcher", "ssh", "--hosts", "n1", "--ssh-user", "-oProxyCommand=x"},
       "bad value '-oProxyCommand=x' for --ssh-user"},
      {{"--launcher", "ssh", "--hosts", "n1", "--ssh-identity", ""}, "bad value '' for --ssh-identity"},
      {{"--launcher", "ssh", "--hosts", "n1;reboot"}, "bad host name 'n1;reboot' in --hosts"},
      {{"--launcher", "ssh", "--hosts", "n1,-oProxyCommand=x"}, "bad host name '-oProxyCommand=x' in --hosts"},
      {{"--launcher", "srun", "--hosts", "user@n1"}, "bad host name 'user@n1' in --hosts"}};
  for (const auto& [words, message] : bad) {
    SimMgrOptions options;
    EXPECT_FALSE(Parse(words, options, error)) << words[0] << " " << words[1];
    EXPECT_EQ(error, message);
  }
}

// Intervals, tests and resuming: accepted settings as given, and every
// combination that cannot mean anything refused with a message.
TEST(SimMgrOptionsTest, IntervalsTestsAndResume) {
  std::string error;
  SimMgrOptions test;
  ASSERT_TRUE(Parse({"--test", "reliability@365 < 0.1", "--alpha", "0.01", "--beta=0.1", "--delta", "0.02",
                     "--interval", "wilson", "--simultaneous"},
                    test, error))
      << error;
  EXPECT_TRUE(test.rule.Hypothesis());
  EXPECT_EQ(test.rule.testLabel, "reliability@365");
  EXPECT_EQ(test.rule.test.GetDirection(), SequentialTest::kBelow);
  EXPECT_EQ(test.rule.test.Threshold(), 0.1);
  EXPECT_EQ(test.rule.test.Alpha(), 0.01);
  EXPECT_EQ(test.rule.test.Beta(), 0.1);
  EXPECT_EQ(test.rule.test.Delta(), 0.02);
  EXPECT_EQ(test.rule.method, ConfidenceInterval::kWilson);
  EXPECT_TRUE(test.rule.simultaneous);
  EXPECT_EQ(test.rule.absolute, 0.0);  // the test decides, not a precision
  EXPECT_TRUE(test.TargetsGiven());
  // No minimum applies to a test: a maximum below the default one is fine.
  SimMgrOptions shortTest;
  ASSERT_TRUE(Parse({"--test", "r > 0.5", "--max-replications", "300"}, shortTest, error)) << error;
  EXPECT_EQ(shortTest.rule.Limit(), 300);

  SimMgrOptions resume;
  ASSERT_TRUE(Parse({"--resume", "old", "--abs-precision", "0.001"}, resume, error)) << error;
  EXPECT_EQ(resume.resume, "old");
  EXPECT_EQ(resume.outDir, "old");
  EXPECT_TRUE(resume.Given("--abs-precision"));
  EXPECT_FALSE(resume.Given("--seed"));
  SimMgrOptions bare;
  ASSERT_TRUE(Parse({"--resume", "old"}, bare, error)) << error;
  EXPECT_FALSE(bare.TargetsGiven());
  EXPECT_EQ(bare.rule.absolute, 0.0);  // the saved study's targets apply

  const std::vector<std::vector<std::string>> bad = {
      {"--interval", "exact"},
      {"--simultaneous=1"},
      {"--test", "reliability@365 = 0.1"},
      {"--test", "reliability@365 < 1.5"},
      {"--test", ""},  // no claim is no test of nothing
      {"--test", "", "--alpha", "0.1"},
      {"--test", "r < 0.1", "--replications", "10"},
      {"--test", "r < 0.1", "--abs-precision", "0.1"},
      {"--test", "r < 0.1", "--min-replications", "10"},
      {"--test", "r < 0.005"},  // the indifference region leaves (0, 1)
      {"--test", "r < 0.5", "--alpha", "0.6", "--beta", "0.5"},
      {"--alpha", "0.01"},
      {"--delta", "0"},
      {"--resume", "old", "--experiments", "1"},
      {"--resume", "old", "--out", "x"},
      {"--resume", ""}};
  for (const auto& words : bad) {
    SimMgrOptions options;
    EXPECT_FALSE(Parse(words, options, error)) << words[0] << " " << (words.size() > 1 ? words[1] : "");
    EXPECT_FALSE(error.empty());
  }
}
