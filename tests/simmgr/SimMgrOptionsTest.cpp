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

  SimMgrOptions given;
  ASSERT_TRUE(Parse({"--precision=0.05", "--confidence", "0.9", "--seed", "4294967295", "--generator", "2",
                     "--launcher", "ssh {host} {command}", "--hosts", "a,,b", "--jobs", "3"},
                    given, error))
      << error;
  EXPECT_EQ(given.rule.relative, 0.05);
  EXPECT_EQ(given.rule.absolute, 0.0);
  EXPECT_EQ(given.rule.confidence, 0.9);
  EXPECT_EQ(given.seed, 4294967295u);
  EXPECT_EQ(given.hosts, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(given.jobs, 3);

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
      {"--min-replications", "500", "--max-replications", "400"},
      {"--hosts", "a"},
      {"--launcher", "ssh {host}"},
      {"--port", "70000"},
      {"--timeout", "x"}};
  for (const auto& words : bad) {
    SimMgrOptions options;
    EXPECT_FALSE(Parse(words, options, error)) << words[0];
    EXPECT_FALSE(error.empty());
  }
}
