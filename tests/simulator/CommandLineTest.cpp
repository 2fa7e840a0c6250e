// The command line of the real simulator executable: echoes, errors, usage
// text and exit statuses.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "simulator/Version.h"
#include "tests/support/RunProgram.h"

namespace {

const char kUsage[] =
    "Valid Options\n"
    "-a <name>: write ASCII output to file <name>\n"
    "-b <name>: write binary output to file <name>\n"
    "-c <num>: Client identification number (default=0)\n"
    "-e <num>: Experiment to run, 'Experiment 1' is num=0 (default = 0)\n"
    "-f <name>: Trace file name (default=<stdout>)\n"
    "-m: Enable Korvan trace \n"
    "-l <num>: Trace Level (1, 2,3,4 [default=1])\n"
    "-x: Enable XML trace \n"
    "-n <num>: Num observations sent in 1 update to SimMgr. (default=1000)\n"
    "-N <num>: Maximum number of batches to run (default=infinite)\n"
    "-p <num>: Communication port of network server (default=10000)\n"
    "-r <num>: Random Number Generator (0 = Lagged Fibonacci[default] 1 = Tausworthe\n"
    "-s <num>: Random Number Seed (31415[default])\n"
    "-t <num>: Simulation Type (1 = Terminating[default] 0 = Steady State)\n"
    "-w: Simulator will wait to send output until socket connection is established.\n"
    "\n";

// The usage text ends with the program's version and commit.
std::string Usage() { return kUsage + ("simulator " + KorvanVersionText() + "\n"); }

// A command-line failure: its message, the usage text, the closing line and
// exit status 1, with nothing of the run on standard output.
void ExpectRefused(const std::vector<std::string>& arguments, const std::string& message) {
  ProgramResult r = RunSimulator(arguments, 60.0, testing::TempDir());
  SCOPED_TRACE(r.err);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, message + Usage() + "ERROR: Parsing command line options\n");
  EXPECT_EQ(r.out.find("SIMULATOR::Preparing to run()"), std::string::npos);
}

// Runs one replication so that the tests stay quick once the model runs.
// The files it writes go to the temporary folder.
ProgramResult RunQuick(std::vector<std::string> arguments) {
  arguments.push_back("-N1");
  return RunSimulator(arguments, 60.0, testing::TempDir());
}

bool HasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(CommandLineTest, NoArgumentsIsAnError) {
  ExpectRefused({}, "ERROR: No command line options specified\n");
}

TEST(CommandLineTest, EveryOptionEchoesItsValue) {
  ProgramResult r = RunQuick({"-a", "out.csv", "-bout.bin", "-c", "3", "-e", "2", "-n500", "-N",
                              "7", "-p", "12000", "-r", "1", "-s", "42", "-t", "1", "-O",
                              "s:num_replicas:3"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  for (const char* line :
       {"ASCIIFilename: out.csv", "BinFilename: out.bin", "ClientID: 3", "Experiment: 2",
        "ReportSize: 500", "Max Number of Batches: 7", "Port: 12000",
        "Random Number Generator: 1", "Random Number Seed: 42",
        "Is Terminating Simulation: 1", "OverrideString is s:num_replicas:3",
        "SIMULATOR::Preparing to run()", "SIMULATOR::MAIN()-GOOD EXIT"}) {
    EXPECT_TRUE(HasLine(r.out, line)) << "missing: " << line << "\nin:\n" << r.out;
  }
  EXPECT_TRUE(HasLine(r.err, "SIMULATOR::MAIN()-GOOD EXIT")) << r.err;
  // -N1 came last and wins.
  EXPECT_TRUE(HasLine(r.out, "Max Number of Batches: 1"));
}

TEST(CommandLineTest, ParameterIsTheRestOfTheArgumentOrTheNextOne) {
  ProgramResult joined = RunQuick({"-n500"});
  ProgramResult split = RunQuick({"-n", "500"});
  EXPECT_TRUE(HasLine(joined.out, "ReportSize: 500"));
  EXPECT_TRUE(HasLine(split.out, "ReportSize: 500"));
  // A following argument that begins with a dash is not a parameter.
  ExpectRefused({"-n", "-5"}, "Expect a parameter after '-n'\n");
  ExpectRefused({"-a"}, "Expect a parameter after '-a'\n");
  ExpectRefused({"-O"}, "Expect a parameter after '-O'\n");
  // Arguments without a dash are skipped.
  ProgramResult skipped = RunQuick({"stray", "-c", "4"});
  EXPECT_EQ(skipped.exitCode, 0) << skipped.err;
  EXPECT_TRUE(HasLine(skipped.out, "ClientID: 4"));
}

TEST(CommandLineTest, FlagsRefuseParametersAndUnknownLettersAreErrors) {
  ExpectRefused({"-m", "foo"}, "Did not expect a parameter after '-m'\n");
  ExpectRefused({"-mfoo"}, "Did not expect a parameter after '-m'\n");
  ExpectRefused({"-wx"}, "Did not expect a parameter after '-w'\n");
  ExpectRefused({"-z"}, "ERROR: Unrecognized Command Line option: -z\n");
  ExpectRefused({"-zfoo"}, "ERROR: Unrecognized Command Line option: -zfoo\n");
  ExpectRefused({"-c", "1", "-M"}, "ERROR: Unrecognized Command Line option: -M\n");
  // A lone dash has no letter (it once took the next argument silently).
  ExpectRefused({"-", "x"}, "ERROR: Unrecognized Command Line option: -\n");
  ExpectRefused({"-"}, "ERROR: Unrecognized Command Line option: -\n");
  // The user's text is shown with its control characters escaped.
  ExpectRefused({"-z\n\x1b[2J"}, "ERROR: Unrecognized Command Line option: -z\\x0A\\x1B[2J\n");
  ExpectRefused({"-s", "7\x01"}, "ERROR: The seed ('-s') must be a number from 0 to 4294967295, not '7\\x01'\n");
}

TEST(CommandLineTest, ArgumentsAreLimitedTo128Characters) {
  std::string name128 = "-a" + std::string(126, 'x');
  ProgramResult ok = RunQuick({name128});
  EXPECT_EQ(ok.exitCode, 0) << ok.err;
  const std::string tooLong =
      "ERROR: Command Line Argument Too Long, Limited to 128 Characters\n";
  ExpectRefused({name128 + "x"}, tooLong);
  // A parameter taken from the next argument is held to the same limit.
  ExpectRefused({"-a", std::string(129, 'y')}, tooLong);
}

TEST(CommandLineTest, NumbersThatCannotBeUsedAreRefused) {
  const std::string reportSize = "ERROR: The report size ('-n') must be a whole number from 1 to 2147483647, not '";
  ExpectRefused({"-n0"}, reportSize + "0'\n");
  ExpectRefused({"-n-5"}, reportSize + "-5'\n");
  ExpectRefused({"-n", "abc"}, reportSize + "abc'\n");
  ExpectRefused({"-n", "99999999999"}, reportSize + "99999999999'\n");
  // Just past the 64-bit range (once an overflow inside the reader).
  ExpectRefused({"-n", "9223372036854775808"}, reportSize + "9223372036854775808'\n");
  ExpectRefused({"-s-9223372036854775809"},
                "ERROR: The seed ('-s') must be a number from 0 to 4294967295, not "
                "'-9223372036854775809'\n");
  // A batch limit that is not a number or is negative would mean "no
  // limit" and run for ever; 0 and no -N at all still mean no limit.
  const std::string batches =
      "ERROR: The batch limit ('-N') must be a whole number from 0 (no limit) to 2147483647, "
      "not '";
  ExpectRefused({"-N", "abc"}, batches + "abc'\n");
  ExpectRefused({"-N-1"}, batches + "-1'\n");
  ExpectRefused({"-N", "99999999999"}, batches + "99999999999'\n");
  ExpectRefused({"-N", "-1"}, "Expect a parameter after '-N'\n");
  ProgramResult noLimit = RunQuick({"-N", "0", "-N0"});
  EXPECT_EQ(noLimit.exitCode, 0) << noLimit.err;
  EXPECT_TRUE(HasLine(noLimit.out, "Max Number of Batches: 0"));
  const std::string port = "ERROR: The port ('-p') must be a number from 1 to 65535, not '";
  ExpectRefused({"-p", "70000"}, port + "70000'\n");
  ExpectRefused({"-p", "0"}, port + "0'\n");
  ExpectRefused({"-s", "99999999999"},
                "ERROR: The seed ('-s') must be a number from 0 to 4294967295, not '99999999999'\n");
  ExpectRefused({"-c", "123456789012345678901234567890"},
                "ERROR: The value of '-c' does not fit in a 32-bit integer: "
                "'123456789012345678901234567890'\n");
  // Text that is not a number reads as 0, as it always has for these options.
  ProgramResult zero = RunQuick({"-c", "abc", "-p", "65535"});
  EXPECT_EQ(zero.exitCode, 0) << zero.err;
  EXPECT_TRUE(HasLine(zero.out, "ClientID: 0"));
  EXPECT_TRUE(HasLine(zero.out, "Port: 65535"));
}

// Digits followed by anything but blanks were read up to the first other
// character: "-N 1e6" ran one replication, "-N 0x10" (read as 0, no limit)
// ran for ever, "-s 0x10" and "-s abc" ran the default seed, "-e 1e1"
// experiment 1. Such numbers are refused; blanks around them are not.
TEST(CommandLineTest, NumbersWithOtherCharactersAfterTheirDigitsAreRefused) {
  const std::string batches =
      "ERROR: The batch limit ('-N') must be a whole number from 0 (no limit) to 2147483647, "
      "not '";
  ExpectRefused({"-N", "1e6"}, batches + "1e6'\n");
  ExpectRefused({"-N", "0x10"}, batches + "0x10'\n");
  ExpectRefused({"-N5abc"}, batches + "5abc'\n");
  ExpectRefused({"-N", "2.5"}, batches + "2.5'\n");
  const std::string reportSize = "ERROR: The report size ('-n') must be a whole number from 1 to 2147483647, not '";
  ExpectRefused({"-n", "1e3"}, reportSize + "1e3'\n");
  const std::string seed = "ERROR: The seed ('-s') must be a number from 0 to 4294967295, not '";
  ExpectRefused({"-s", "0x10"}, seed + "0x10'\n");
  ExpectRefused({"-s", "abc"}, seed + "abc'\n");
  ExpectRefused({"-s", "12 34"}, seed + "12 34'\n");
  ExpectRefused({"-p", "0x2710"},
                "ERROR: The port ('-p') must be a number from 1 to 65535, not '0x2710'\n");
  ExpectRefused({"-e", "1e1"}, "ERROR: The value of '-e' is not a whole decimal number: '1e1'\n");
  ExpectRefused({"-c3x"}, "ERROR: The value of '-c' is not a whole decimal number: '3x'\n");
  ExpectRefused({"-r", "1.0"}, "ERROR: The value of '-r' is not a whole decimal number: '1.0'\n");
  // Blanks before and after the digits, and a sign, are still taken.
  ProgramResult blanks = RunQuick({"-s", " 42 ", "-e", "+2", "-n", "500\t"});
  EXPECT_EQ(blanks.exitCode, 0) << blanks.err;
  EXPECT_TRUE(HasLine(blanks.out, "Random Number Seed: 42"));
  EXPECT_TRUE(HasLine(blanks.out, "Experiment: 2"));
  EXPECT_TRUE(HasLine(blanks.out, "ReportSize: 500"));
  ProgramResult limit = RunSimulator({"-N", "3 "}, 60.0, testing::TempDir());
  EXPECT_EQ(limit.exitCode, 0) << limit.err;
  EXPECT_TRUE(HasLine(limit.out, "Max Number of Batches: 3"));
}

TEST(CommandLineTest, TraceFileOrLevelAloneTurnsTheTextTraceOn) {
  const std::string header =
      "**************************************\n\t\tTRACE\n**************************************\n";
  // A level alone: the plain-text trace, on standard output.
  ProgramResult level = RunQuick({"-l", "2"});
  EXPECT_TRUE(HasLine(level.out, "TraceLevel: 2"));
  EXPECT_TRUE(HasLine(level.out, "Adding cout: ")) << level.out;
  EXPECT_NE(level.out.find(header), std::string::npos) << level.out;
  // A file name alone: the plain-text trace, in <name>.txt.
  const std::string base = testing::TempDir() + "command_line_trace";
  std::remove((base + ".txt").c_str());
  ProgramResult file = RunQuick({"-f", base});
  EXPECT_TRUE(HasLine(file.out, "TraceFile: " + base));
  std::ifstream trace(base + ".txt");
  std::string firstLines((std::istreambuf_iterator<char>(trace)), std::istreambuf_iterator<char>());
  EXPECT_EQ(firstLines.substr(0, header.size()), header);
  std::remove((base + ".txt").c_str());
  // With -x the file name goes to the XML trace only.
  ProgramResult xml = RunQuick({"-x", "-f", base});
  EXPECT_FALSE(std::ifstream(base + ".txt").good());
  EXPECT_TRUE(std::ifstream(base + ".xml").good());
  std::remove((base + ".xml").c_str());
  // Without any of them, no trace.
  ProgramResult none = RunQuick({"-c", "0"});
  EXPECT_EQ(none.exitCode, 0) << none.err;
  EXPECT_EQ(none.out.find("Adding cout: "), std::string::npos);
  EXPECT_EQ(none.out.find("TRACE"), std::string::npos);
}

// A number whose digits come after another character read as 0: "-e x7"
// and "-e '+ 7'" ran experiment 0 and "-r '#2'" the lagged Fibonacci
// generator, each as a good run, while "-e 7x" was refused.
TEST(CommandLineTest, DigitsAfterOtherCharactersAreRefused) {
  ExpectRefused({"-e", "x7"}, "ERROR: The value of '-e' is not a whole decimal number: 'x7'\n");
  ExpectRefused({"-e", "+ 7"}, "ERROR: The value of '-e' is not a whole decimal number: '+ 7'\n");
  ExpectRefused({"-r#2"}, "ERROR: The value of '-r' is not a whole decimal number: '#2'\n");
  ExpectRefused({"-l", "a1"}, "ERROR: The value of '-l' is not a whole decimal number: 'a1'\n");
}

}  // namespace
