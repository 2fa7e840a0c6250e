#include "simmgr/LauncherPreset.h"

#include <gtest/gtest.h>

#include "tools/SimulatorProcess.h"

namespace {

// What a POSIX shell makes of `text` as the arguments of printf, one per
// line.
std::string ThroughShell(const std::string& text) {
  SimulatorProcess shell;
  if (!shell.Start("/bin/sh", {"-c", "printf '<%s>\\n' " + text})) return "cannot start sh";
  if (!shell.Wait(10000)) return "sh did not end";
  return shell.Output();
}

}  // namespace

TEST(LauncherPresetTest, SshPassesItsSettingsQuoted) {
  EXPECT_TRUE(LauncherPreset::IsPreset("ssh"));
  EXPECT_TRUE(LauncherPreset::IsPreset("srun"));
  EXPECT_FALSE(LauncherPreset::IsPreset("ssh {host} {command}"));
  EXPECT_FALSE(LauncherPreset::IsPreset("SSH"));

  LauncherPreset::Settings none;
  EXPECT_EQ(LauncherPreset::Expand("ssh", none, true), "ssh -tt -o BatchMode=yes {host} {quoted-command}");

  LauncherPreset::Settings all;
  all.sshPort = 2222;
  all.sshUser = "sim user";
  all.sshIdentity = "/keys/id_ed25519";
  all.sshOptions = {"UserKnownHostsFile=/tmp/known hosts", "StrictHostKeyChecking=yes"};
  all.srunOptions = {"--ignored"};
  EXPECT_EQ(LauncherPreset::Expand("ssh", all, true),
            "ssh -tt -o BatchMode=yes -p 2222 -l 'sim user' -i /keys/id_ed25519"
            " -o 'UserKnownHostsFile=/tmp/known hosts' -o StrictHostKeyChecking=yes"
            " {host} {quoted-command}");
}

TEST(LauncherPresetTest, SrunNamesTheNodeOrLetsTheStepAnnounceIt) {
  LauncherPreset::Settings settings;
  settings.srunOptions = {"--mem-per-cpu=500M", "--comment=two words"};
  settings.sshPort = 22;  // not srun's
  EXPECT_EQ(LauncherPreset::Expand("srun", settings, true),
            "srun --exact --nodes=1 --ntasks=1 --mem-per-cpu=500M '--comment=two words'"
            " --nodelist={host} {command}");
  const std::string unnamed = LauncherPreset::Expand("srun", LauncherPreset::Settings(), false);
  EXPECT_EQ(unnamed, "srun --exact --nodes=1 --ntasks=1 /bin/sh -c 'echo SIMMGR_HOST=$(hostname); exec \"$@\"'"
                     " sh {command}");

  // The wrapper, run here without srun, announces this host and then runs
  // the command with its arguments untouched.
  const std::string wrapper = unnamed.substr(unnamed.find("/bin/sh"));
  SimulatorProcess shell;
  const std::string command =
      wrapper.substr(0, wrapper.find("{command}")) + "printf '<%s>' 'a b' \"c'd\"";
  ASSERT_TRUE(shell.Start("/bin/sh", {"-c", command}));
  ASSERT_TRUE(shell.Wait(10000));
  const std::string output = shell.Output();
  const size_t lineEnd = output.find('\n');
  ASSERT_NE(lineEnd, std::string::npos) << output;
  EXPECT_FALSE(LauncherPreset::HostFromAnnouncement(output.substr(0, lineEnd)).empty()) << output;
  EXPECT_EQ(output.substr(lineEnd + 1), "<a b><c'd>");
}

TEST(LauncherPresetTest, HostAnnouncementsAcceptOnlyPlainHostNames) {
  EXPECT_EQ(LauncherPreset::HostFromAnnouncement("SIMMGR_HOST=node17"), "node17");
  EXPECT_EQ(LauncherPreset::HostFromAnnouncement("SIMMGR_HOST=n1.cluster.example\r"), "n1.cluster.example");
  EXPECT_EQ(LauncherPreset::HostFromAnnouncement("SIMMGR_HOST=10.0.0.7"), "10.0.0.7");
  for (const char* line : {"SIMMGR_HOST=", "SIMMGR_HOST=\r", "SIMMGR_HOST=a b", "SIMMGR_HOST=-oProxy",
                           "SIMMGR_HOST=x;rm", "SIMMGR_HOST=$(id)", " SIMMGR_HOST=n1", "simmgr_host=n1",
                           "REGISTER:  Port: [10000]", ""}) {
    EXPECT_EQ(LauncherPreset::HostFromAnnouncement(line), "") << line;
  }
  EXPECT_EQ(LauncherPreset::HostFromAnnouncement("SIMMGR_HOST=" + std::string(253, 'a')),
            std::string(253, 'a'));
  EXPECT_EQ(LauncherPreset::HostFromAnnouncement("SIMMGR_HOST=" + std::string(254, 'a')), "");
  EXPECT_TRUE(LauncherPreset::IsHostName("vm"));
  EXPECT_FALSE(LauncherPreset::IsHostName("user@host"));
  EXPECT_FALSE(LauncherPreset::IsHostName("-p"));
}

// Every word, however odd, reaches the program as it was after one shell;
// quoted twice, after two.
TEST(LauncherPresetTest, ShellWordsSurviveTheShell) {
  const std::vector<std::string> words = {"plain/path-1.0", "with space", "it's", "$HOME", "a\"b\\c",
                                          "", "semi;colon|pipe&", "`id`", "new\nline", "*", "~", "-n",
                                          "{host}"};
  std::string line;
  std::string expected;
  for (const std::string& word : words) {
    line += " " + LauncherPreset::ShellWord(word);
    expected += "<" + word + ">\n";
  }
  EXPECT_EQ(ThroughShell(line), expected);
  EXPECT_EQ(LauncherPreset::ShellWord("plain/path-1.0"), "plain/path-1.0");
  // Through a second shell, as ssh hands its command to the remote one.
  SimulatorProcess outer;
  ASSERT_TRUE(outer.Start("/bin/sh", {"-c", "sh -c " + LauncherPreset::ShellWord("printf '<%s>\\n'" + line)}));
  ASSERT_TRUE(outer.Wait(10000));
  EXPECT_EQ(outer.Output(), expected);
}
