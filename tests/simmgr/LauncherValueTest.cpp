// What simmgr puts into a launcher's command line and what it takes back
// from the launched command: values of the user's (folders, program paths,
// preset settings) reach the programs as the words they were given, never
// as shell syntax, and the host an attempt is recorded with is the host it
// was connected to.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/simmgr/SimMgrTestSupport.h"

namespace {

// Sets PATH to `front` followed by the old PATH while in scope.
class PathFront {
 public:
  explicit PathFront(const std::string& front) {
    const char* old = std::getenv("PATH");
    saved = old != nullptr ? old : "";
    setenv("PATH", (front + ":" + saved).c_str(), 1);
  }
  ~PathFront() { setenv("PATH", saved.c_str(), 1); }

 private:
  std::string saved;
};

nlohmann::json ReadJson(const std::string& path) { return nlohmann::json::parse(ReadFile(path)); }

}  // namespace

// A launcher that picks the host itself names it before the simulator's
// output; the attempts of results.json must then name that host (the one
// the port belongs to), not the placeholder host the launcher was given.
TEST(LauncherValueTest, AttemptsNameTheHostTheLauncherAnnounced) {
  const std::string dir = TestFolder("announced host recorded");
  const SimMgrResult result =
      RunSimMgr({"--experiments", "0", "--replications", "200", "--retries", "0", "--port", "22410", "--out",
                 dir + "/out", "--simulator", KORVAN_SIMULATOR_PATH, "--launcher",
                 "echo SIMMGR_HOST=localhost; exec {command}"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  const nlohmann::json json = ReadJson(dir + "/out/results.json");
  const nlohmann::json& attempts = json.at("experiments").at(0).at("attempts");
  ASSERT_EQ(attempts.size(), 1u);
  EXPECT_EQ(attempts.at(0).at("host"), "localhost");
}

// The srun preset with settings that happen to hold a placeholder's text:
// the setting is still one word for srun, and nothing of the simulator's
// command line (here an --ascii-dir holding shell syntax, run from the
// test's folder if at all) is run by the shell that starts the launcher.
TEST(LauncherValueTest, PresetSettingsAreNotPlaceholders) {
  const std::string dir = TestFolder("pp");
  const std::string bin = dir + "/bin";
  std::filesystem::create_directories(bin);
  WriteScript(bin + "/srun",
              "#!/bin/sh\n"
              "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done >> '" + dir + "/argv'\n"
              "while [ $# -gt 0 ]; do case \"$1\" in --*) shift;; *) break;; esac; done\n"
              "exec \"$@\"\n");
  const std::string mark = dir + "/ran";
  SimMgrResult result;
  {
    PathFront path(bin);
    result = RunSimMgr({"--experiments", "0", "--replications", "200", "--retries", "0", "--port", "22420",
                        "--jobs", "1", "--out", dir + "/out", "--ascii-dir", dir + "/a $(touch simmgr_pp/ran)",
                        "--simulator", KORVAN_SIMULATOR_PATH, "--launcher", "srun", "--srun-option",
                        "--comment=run of {command} on {host}"});
  }
  EXPECT_FALSE(std::filesystem::exists(mark));
  EXPECT_NE(ReadFile(dir + "/argv").find("[--comment=run of {command} on {host}]\n"), std::string::npos)
      << ReadFile(dir + "/argv");
  EXPECT_EQ(result.exitStatus, 0) << result.err;
}

// A folder name is echoed by the simulator before it announces its port; a
// name with line ends in it must not be taken for the announcement of a
// port or a host (nothing listens on the port named here).
TEST(LauncherValueTest, AFolderNameAnnouncesNothing) {
  const std::string dir = TestFolder("folder announces");
  for (const std::string& line : {std::string("REGISTER:  Port: [22439]"), std::string("SIMMGR_HOST=n7.invalid")}) {
    const SimMgrResult result =
        RunSimMgr({"--experiments", "0", "--replications", "200", "--retries", "0", "--timeout", "3", "--port",
                   "22430", "--out", dir + "/out", "--ascii-dir", dir + "/a\n" + line + "\n", "--simulator",
                   KORVAN_SIMULATOR_PATH, "--launcher", "exec {command}"});
    // Refused outright, before any simulator starts.
    EXPECT_EQ(result.exitStatus, 2) << line << "\n" << result.err;
    EXPECT_NE(result.err.find("--ascii-dir must not hold a line end"), std::string::npos) << result.err;
  }
}

// A program path is one word wherever it is put: a relative path whose
// first folder holds '=' is not a shell assignment.
TEST(LauncherValueTest, AProgramPathIsNeverAnAssignment) {
  const std::string dir = TestFolder("x=y");
  std::filesystem::create_symlink(KORVAN_SIMULATOR_PATH, dir + "/simulator");
  const std::string relative = std::filesystem::path(dir).filename().string() + "/simulator";
  ASSERT_EQ(relative, "simmgr_x=y/simulator");
  const SimMgrResult result =
      RunSimMgr({"--experiments", "0", "--replications", "200", "--retries", "0", "--port", "22450", "--out",
                 dir + "/out", "--simulator", relative, "--launcher", "sh -c {quoted-command}"});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  // Nor is one beginning with "-" an option of the launcher's program.
  const std::string dashed = "-korvan-simulator-link";
  std::filesystem::remove(dashed);
  std::filesystem::create_symlink(KORVAN_SIMULATOR_PATH, dashed);
  const SimMgrResult niced =
      RunSimMgr({"--experiments", "0", "--replications", "200", "--retries", "0", "--port", "22450", "--out",
                 dir + "/out-dashed", "--simulator", dashed, "--launcher", "nice {command}"});
  std::filesystem::remove(dashed);
  EXPECT_EQ(niced.exitStatus, 0) << niced.err;
}
