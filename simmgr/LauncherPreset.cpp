#include "simmgr/LauncherPreset.h"

namespace {

const char kHostAnnouncement[] = "SIMMGR_HOST=";

}  // namespace

bool LauncherPreset::IsPreset(const std::string& launcher) { return launcher == "ssh" || launcher == "srun"; }

std::string LauncherPreset::ShellWord(const std::string& word) {
  if (!word.empty() && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                              "0123456789_./:=,+-@%") == std::string::npos) {
    return word;
  }
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

namespace {

// A setting as one shell word that the placeholders' substitution passes
// over: a "{" in it is written "{" between double quotes, so that a setting
// holding "{command}" is not given the command line (whose own quotes would
// close the setting's, and run what an --ascii-dir holds).
std::string SettingWord(const std::string& setting) {
  const std::string word = LauncherPreset::ShellWord(setting);
  std::string inert;
  for (char c : word) inert += c == '{' ? std::string("'\"{\"'") : std::string(1, c);
  return inert;
}

}  // namespace

std::string LauncherPreset::Expand(const std::string& name, const Settings& settings, bool hostsNamed) {
  std::string line;
  if (name == "ssh") {
    line = "ssh -tt -o BatchMode=yes";
    if (settings.sshPort > 0) line += " -p " + std::to_string(settings.sshPort);
    if (!settings.sshUser.empty()) line += " -l " + SettingWord(settings.sshUser);
    if (!settings.sshIdentity.empty()) line += " -i " + SettingWord(settings.sshIdentity);
    for (const std::string& option : settings.sshOptions) line += " -o " + SettingWord(option);
    return line + " {host} {quoted-command}";
  }
  line = "srun --exact --nodes=1 --ntasks=1";
  for (const std::string& option : settings.srunOptions) line += " " + SettingWord(option);
  if (hostsNamed) return line + " --nodelist={host} {command}";
  return line + " /bin/sh -c 'echo " + kHostAnnouncement + "$(hostname); exec \"$@\"' sh {command}";
}

std::string LauncherPreset::HostFromAnnouncement(const std::string& line) {
  const size_t prefix = sizeof(kHostAnnouncement) - 1;
  if (line.compare(0, prefix, kHostAnnouncement) != 0) return "";
  std::string host = line.substr(prefix);
  // Through a terminal (ssh -tt) lines end with a carriage return.
  if (!host.empty() && host.back() == '\r') host.pop_back();
  return IsHostName(host) ? host : "";
}

bool LauncherPreset::IsHostName(const std::string& host) {
  return !host.empty() && host.size() <= 253 && host[0] != '-' &&
         host.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-_") ==
             std::string::npos;
}
