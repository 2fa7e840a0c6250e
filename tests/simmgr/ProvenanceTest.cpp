// Where results come from: the provenance simmgr writes beside every result
// file, and how it finds the simulator program it runs.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "simulator/Version.h"
#include "tests/simmgr/SimMgrTestSupport.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// "2026-12-08T11:52:32Z": a UTC time to the second.
bool IsUtcTime(const std::string& text) {
  const std::string shape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
  }
  return true;
}

std::string HostName() {
  char name[256] = {};
  gethostname(name, sizeof(name) - 1);
  return name;
}

// A copy of simmgr alone in a folder of its own, as after copying the
// program somewhere by hand.
std::string LoneSimMgr(const std::string& dir) {
  const std::string copy = dir + "/bin/simmgr";
  fs::create_directories(dir + "/bin");
  fs::copy_file(KORVAN_SIMMGR_PATH, copy, fs::copy_options::overwrite_existing);
  return copy;
}

// Runs `program` with PATH set to `path`, or unset when `path` is null, in
// `directory` (empty: this one).
SimMgrResult RunWithPath(const std::string& program, const std::vector<std::string>& arguments,
                         const char* path, const std::string& directory = "") {
  const char* old = std::getenv("PATH");
  const std::string saved = old != nullptr ? old : "";
  if (path != nullptr) {
    setenv("PATH", path, 1);
  } else {
    unsetenv("PATH");
  }
  SimulatorProcess process;
  process.SetWorkingDirectory(directory);
  SimMgrResult result;
  const bool started = process.Start(program, arguments);
  setenv("PATH", saved.c_str(), 1);
  if (!started) return result;
  if (!process.Wait(45000)) process.Kill();
  result.exitStatus = process.ExitStatus();
  result.out = process.Output();
  result.err = process.ErrorOutput();
  return result;
}

}  // namespace

// A short study: results.json and results.meta.json carry the same
// provenance, with the real command line, seed and settings, and the CSV
// stays plain (its first line is the header).
TEST(ProvenanceTest, ResultFilesSayWhereTheyCameFrom) {
  const std::string dir = TestFolder("provenance");
  const std::vector<std::string> arguments = {
      "--experiments", "3",   "--replications", "40",         "--seed",      "4242",
      "--generator",   "2",   "--report-size",  "15",         "--out",       dir + "/out dir",
      "--simulator",   KORVAN_SIMULATOR_PATH,   "--port",     "21400"};
  const SimMgrResult run = RunSimMgr(arguments);
  ASSERT_EQ(run.exitStatus, 0) << run.err;

  const json document = json::parse(ReadFile(dir + "/out dir/results.json"), nullptr, false);
  const json meta = json::parse(ReadFile(dir + "/out dir/results.meta.json"), nullptr, false);
  ASSERT_FALSE(document.is_discarded());
  ASSERT_FALSE(meta.is_discarded());
  const json& p = document["provenance"];
  EXPECT_EQ(meta["provenance"], p);
  EXPECT_EQ(meta["describes"], "results.csv");

  std::vector<std::string> expected = {KORVAN_SIMMGR_PATH};
  expected.insert(expected.end(), arguments.begin(), arguments.end());
  EXPECT_EQ(p["arguments"].get<std::vector<std::string>>(), expected);
  // The one argument with a blank is quoted so that a shell reads it back.
  EXPECT_NE(p["command_line"].get<std::string>().find(" --out '" + dir + "/out dir' "), std::string::npos)
      << p["command_line"];
  EXPECT_EQ(p["program"], "simmgr");
  EXPECT_EQ(p["version"], KorvanVersion());
  if (*KorvanCommit() == '\0') {
    EXPECT_TRUE(p["commit"].is_null());
  } else {
    EXPECT_EQ(p["commit"], KorvanCommit());
  }
  EXPECT_EQ(p["base_seed"], 4242);
  EXPECT_EQ(p["generator"], 2);
  EXPECT_EQ(p["report_size"], 15);
  EXPECT_EQ(p["host"], HostName());
  EXPECT_EQ(p["working_directory"], fs::current_path().string());
  EXPECT_EQ(p["simulator"], KORVAN_SIMULATOR_PATH);
  const std::string started = p["started_utc"], ended = p["ended_utc"];
  EXPECT_TRUE(IsUtcTime(started)) << started;
  EXPECT_TRUE(IsUtcTime(ended)) << ended;
  EXPECT_LE(started, ended);

  const std::string csv = ReadFile(dir + "/out dir/results.csv");
  EXPECT_EQ(csv.compare(0, 18, "experiment,status,"), 0) << csv.substr(0, 40);
}

// Without --simulator, simmgr runs the simulator beside itself, else the
// first one on PATH, and otherwise says how to name it.
TEST(ProvenanceTest, SimulatorIsFoundBesideSimMgrThenOnPath) {
  const std::string dir = TestFolder("lookup");
  const std::string simmgr = LoneSimMgr(dir);
  const std::string simulatorDir = fs::path(KORVAN_SIMULATOR_PATH).parent_path().string();
  const std::vector<std::string> study = {"--experiments", "1", "--replications", "10", "--port", "21450"};
  auto withOut = [&](const std::string& name) {
    std::vector<std::string> arguments = study;
    arguments.insert(arguments.end(), {"--out", dir + "/" + name});
    return arguments;
  };

  const SimMgrResult none = RunWithPath(simmgr, withOut("none"), (dir + "/nothing-here:/usr/bin:/bin").c_str());
  EXPECT_EQ(none.exitStatus, 2);
  EXPECT_EQ(none.err, "simmgr: cannot find the simulator program: there is none beside simmgr (in " + dir +
                          "/bin/) and none on PATH; name it with --simulator PATH\n");
  EXPECT_FALSE(fs::exists(dir + "/none"));

  // Without PATH the system's standard folders are searched, as a shell
  // does, never the working folder, where anyone sharing it may have put a
  // program of that name.
  fs::create_directories(dir + "/shared");
  { std::ofstream(dir + "/shared/simulator") << "#!/bin/sh\ntouch planted-program-ran\nexit 7\n"; }
  fs::permissions(dir + "/shared/simulator", fs::perms(0755));
  const SimMgrResult unset = RunWithPath(simmgr, withOut("unset"), nullptr, dir + "/shared");
  EXPECT_FALSE(fs::exists(dir + "/shared/planted-program-ran"));
  EXPECT_EQ(unset.exitStatus, 2) << unset.err;

  const SimMgrResult onPath = RunWithPath(simmgr, withOut("path"), ("/usr/bin:" + simulatorDir + ":/bin").c_str());
  ASSERT_EQ(onPath.exitStatus, 0) << onPath.err;
  const json viaPath = json::parse(ReadFile(dir + "/path/results.json"), nullptr, false);
  EXPECT_EQ(viaPath["provenance"]["simulator"], simulatorDir + "/simulator");
  // Ten replications take the simulator a few milliseconds: the manager's
  // share is given of that time, not of "0.0 s".
  const size_t of = onPath.err.find("of the simulators' ");
  ASSERT_NE(of, std::string::npos) << onPath.err;
  EXPECT_GT(std::atof(onPath.err.c_str() + of + std::strlen("of the simulators' ")), 0.0) << onPath.err;

  fs::copy_file(KORVAN_SIMULATOR_PATH, dir + "/bin/simulator");
  const SimMgrResult beside = RunWithPath(simmgr, withOut("beside"), ("/usr/bin:" + simulatorDir + ":/bin").c_str());
  ASSERT_EQ(beside.exitStatus, 0) << beside.err;
  const json viaBeside = json::parse(ReadFile(dir + "/beside/results.json"), nullptr, false);
  EXPECT_EQ(viaBeside["provenance"]["simulator"], dir + "/bin/simulator");

  std::vector<std::string> named = withOut("named");
  named.insert(named.end(), {"--simulator", dir + "/no-such-simulator"});
  const SimMgrResult missing = RunWithPath(simmgr, named, "/usr/bin:/bin");
  EXPECT_EQ(missing.exitStatus, 2);
  EXPECT_EQ(missing.err,
            "simmgr: the simulator program " + dir + "/no-such-simulator is not an executable file\n");
}

TEST(ProvenanceTest, VersionNamesTheCommit) {
  const SimMgrResult run = RunSimMgr({"--version"});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "simmgr " + KorvanVersionText() + "\n");
}

// The version or usage text is all such a run gives: written nowhere (a
// full disk, a closed standard output), it was lost with status 0, and a
// script that keeps the version beside its results kept an empty one.
TEST(ProvenanceTest, VersionOrUsageThatCannotBeWrittenIsReported) {
  auto run = [](const std::string& option, const std::string& redirection) {
    SimulatorProcess process;
    EXPECT_TRUE(process.Start("/bin/sh", {"-c", "exec \"$0\" \"$@\" " + redirection, KORVAN_SIMMGR_PATH, option}))
        << process.Error();
    if (!process.Wait(30000)) process.Kill();
    return SimMgrResult{process.ExitStatus(), process.Output(), process.ErrorOutput()};
  };
  for (const std::string option : {"--version", "--help"}) {
    SCOPED_TRACE(option);
    const std::string what = option == "--version" ? "version" : "usage text";
    if (std::filesystem::exists("/dev/full")) {
      const SimMgrResult full = run(option, ">/dev/full");
      EXPECT_EQ(full.exitStatus, 2);
      EXPECT_EQ(full.err, "simmgr: cannot write the " + what + " to standard output: No space left on device\n");
    }
    const SimMgrResult closed = run(option, ">&-");
    EXPECT_EQ(closed.exitStatus, 2);
    EXPECT_EQ(closed.err, "simmgr: cannot write the " + what + " to standard output: Bad file descriptor\n");
    // A reader that leaves early is no failure.
    const SimMgrResult gone = run(option, "| true");
    EXPECT_EQ(gone.err, "");
  }
}
