// The hand-written baseline and the real simulator are two statements of the
// same model: for the same experiment, generator, seed, replication limit and
// report size they must fire the same number of activities and write the
// same ASCII result file, byte for byte.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/RunProgram.h"
#include "tests/support/TestFiles.h"

namespace {

struct Configuration {
  int experiment;
  const char* seed;
  int generator;
  int replications;
  int reportSize;
};

std::string Name(const Configuration& c) {
  return "e" + std::to_string(c.experiment) + "_s" + c.seed + "_r" + std::to_string(c.generator) +
         "_N" + std::to_string(c.replications) + "_n" + std::to_string(c.reportSize);
}

// Test names and failure messages show the configuration, not its bytes.
void PrintTo(const Configuration& c, std::ostream* out) { *out << Name(c); }

std::vector<std::string> Arguments(const Configuration& c, const std::string& ascii) {
  return {"-e", std::to_string(c.experiment), "-s", c.seed,
          "-r", std::to_string(c.generator),  "-N", std::to_string(c.replications),
          "-n", std::to_string(c.reportSize), "-a", ascii};
}

std::string LineStartingWith(const std::string& text, const std::string& prefix) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return line;
  }
  return "";
}

size_t CountLines(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

class BaselineIdentityTest : public testing::TestWithParam<Configuration> {
 protected:
  ScratchDir scratch_;
};

TEST_P(BaselineIdentityTest, SameFiringsAndSameAsciiFile) {
  const Configuration c = GetParam();
  const ProgramResult simulator = RunSimulator(Arguments(c, scratch_.File("simulator.csv")));
  const ProgramResult baseline =
      RunProgram(KORVAN_BASELINE_PATH, Arguments(c, scratch_.File("baseline.csv")));
  ASSERT_EQ(simulator.exitCode, 0) << simulator.err;
  ASSERT_EQ(baseline.exitCode, 0) << baseline.err;

  const std::string fired = LineStartingWith(simulator.out, "Actions fired: ");
  ASSERT_FALSE(fired.empty()) << simulator.out;
  EXPECT_EQ(LineStartingWith(baseline.out, "Actions fired: "), fired) << baseline.out;

  const std::string expected = ReadFile(scratch_.File("simulator.csv"));
  // Two header lines and one line per observation of each of the three
  // time points.
  ASSERT_EQ(CountLines(expected), 2u + 3u * c.replications);
  const std::string actual = ReadFile(scratch_.File("baseline.csv"));
  EXPECT_TRUE(actual == expected) << "the ASCII files differ";
}

// Experiments at both ends of the study and in the middle, every generator,
// report sizes that do and do not divide the replication limit, a seed of 0
// (which stands for 31415) and the largest lagged Fibonacci seed.
INSTANTIATE_TEST_SUITE_P(
    Configurations, BaselineIdentityTest,
    testing::Values(Configuration{0, "31415", 0, 400, 1000},
                    Configuration{17, "31415", 0, 400, 1000},
                    Configuration{35, "31415", 0, 400, 1000}, Configuration{0, "12345", 1, 200, 50},
                    Configuration{17, "99", 2, 200, 7}, Configuration{35, "4242", 1, 150, 7},
                    Configuration{35, "0", 2, 50, 7}, Configuration{12, "2147483645", 0, 50, 7},
                    Configuration{22, "7", 0, 50, 7}),
    [](const testing::TestParamInfo<Configuration>& info) { return Name(info.param); });

// The comparison has teeth: another seed gives another file, and the
// failures it counts are there to be seen.
TEST(BaselineSimulatorTest, AnotherSeedGivesAnotherFile) {
  ScratchDir scratch;
  const Configuration c{35, "31415", 0, 200, 1000};
  Configuration other = c;
  other.seed = "31416";
  ASSERT_EQ(RunSimulator(Arguments(c, scratch.File("a.csv"))).exitCode, 0);
  ASSERT_EQ(RunProgram(KORVAN_BASELINE_PATH, Arguments(other, scratch.File("b.csv"))).exitCode, 0);
  const std::string a = ReadFile(scratch.File("a.csv"));
  EXPECT_NE(a.find(",1.0\n"), std::string::npos);
  EXPECT_NE(a, ReadFile(scratch.File("b.csv")));
}

// Settings it cannot run end it with status 1 and a message, before it
// writes anything.
TEST(BaselineSimulatorTest, RefusesSettingsItCannotRun) {
  ScratchDir scratch;
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"-e", "36"},
                                             {"-s", "2147483646"},
                                             {"-r", "1", "-s", "2147483648"},
                                             {"-N", "0"},
                                             {"-n", "0"},
                                             {"-x"},
                                             {"-a", "/nonexistent/a.csv"}}) {
    const ProgramResult r = RunProgram(KORVAN_BASELINE_PATH, arguments, 60.0, scratch.Path());
    EXPECT_EQ(r.exitCode, 1) << arguments[0];
    EXPECT_FALSE(r.err.empty()) << arguments[0];
  }
}

}  // namespace
