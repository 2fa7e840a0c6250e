#ifndef LAUNCHER_PRESET_H
#define LAUNCHER_PRESET_H

#include <string>
#include <vector>

// The launchers simmgr knows by name, expanded into the templates simulators
// are started through. In a template, `{command}` stands for the simulator's
// command line (its words quoted for a POSIX shell), `{quoted-command}` for
// that line quoted once more as a single word (for a launcher that hands it
// to a second shell, as ssh does), and `{host}` for the host.
//
//   ssh   ssh -tt -o BatchMode=yes [-p PORT] [-l USER] [-i FILE] [-o OPTION]...
//             {host} {quoted-command}
//         The remote command gets a terminal (-tt) so that it is hung up, and
//         ends, when the ssh client ends; BatchMode keeps ssh from asking for
//         a password on the terminal of a manager that cannot answer.
//   srun  srun --exact --nodes=1 --ntasks=1 [OPTION]... --nodelist={host} {command}
//         with named hosts: one job step per simulator on the chosen node;
//         without them Slurm places the step, and a shell in the step
//         announces the node's name (HostFromAnnouncement) before it becomes
//         the simulator. --exact gives the step one CPU: by default a step
//         takes every CPU of the allocation on its node, and the next one
//         waits for it.
class LauncherPreset {
 public:
  struct Settings {
    int sshPort = 0;  // 0: ssh's own choice
    std::string sshUser;
    std::string sshIdentity;
    std::vector<std::string> sshOptions;   // each passed as -o OPTION
    std::vector<std::string> srunOptions;  // passed as they stand
  };

  // True when `launcher` names a preset ("ssh", "srun") rather than being a
  // template.
  static bool IsPreset(const std::string& launcher);
  // The template of preset `name`. REQUIRES: IsPreset(name).
  static std::string Expand(const std::string& name, const Settings& settings, bool hostsNamed);

  // The host of a "SIMMGR_HOST=<name>" line printed by a launched command
  // before the simulator's own output; empty for any other line, and for a
  // name that is not a plain host name.
  static std::string HostFromAnnouncement(const std::string& line);

  // True for a name made of letters, digits, '.', '-' and '_' that does not
  // begin with '-' (and so is never taken for an option).
  static bool IsHostName(const std::string& host);

  // `word` quoted for a POSIX shell when it holds anything but plain
  // characters.
  static std::string ShellWord(const std::string& word);
};

#endif
