#include "tools/SimulatorProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Cpp/BaseClasses/KorvanAssert.h"
#include "tools/Deadline.h"

extern char** environ;

namespace {

const char kPortAnnouncement[] = "REGISTER:  Port: [";

// Largest amount read from one pipe per Drain.
constexpr size_t kDrainBytes = 256 * 1024;

}  // namespace

// Reads what `fd` holds now into `text`; closes it and sets it to -1 at the
// end of the stream or on an error. True when it stopped at its bound with
// more possibly waiting.
bool SimulatorProcess::Drain(int& fd, std::string& text, bool isOutput) {
  char buffer[16384];
  size_t total = 0;
  while (total < kDrainBytes) {
    const ssize_t result = read(fd, buffer, sizeof(buffer));
    if (result > 0) {
      text.append(buffer, static_cast<size_t>(result));
      total += static_cast<size_t>(result);
      continue;
    }
    if (result == -1 && errno == EINTR) continue;
    if (result == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    close(fd);
    fd = -1;
    break;
  }
  if (outputLimit > 0 && text.size() > 2 * outputLimit) {
    const size_t drop = text.size() - outputLimit;
    text.erase(0, drop);
    if (isOutput) lineStart = lineStart > drop ? lineStart - drop : 0;
  }
  return total >= kDrainBytes;
}

void SimulatorProcess::DrainAfterEnd() {
  // What the child wrote before it ended is in the pipes; a grandchild that
  // keeps them open and writes on is read for a bounded while only.
  for (int round = 0; round < 64; ++round) {
    bool more = false;
    if (outPipe != -1) more = Drain(outPipe, output, true) || more;
    if (errPipe != -1) more = Drain(errPipe, errorOutput, false) || more;
    if (!more) return;
  }
}

SimulatorProcess::SimulatorProcess()
    : pid(-1), ended(false), exitStatus(-1), outPipe(-1), errPipe(-1), lineStart(0) {}

SimulatorProcess::~SimulatorProcess() {
  Kill();
  ClosePipes();
}

void SimulatorProcess::ClosePipes() {
  if (outPipe != -1) close(outPipe);
  if (errPipe != -1) close(errPipe);
  outPipe = -1;
  errPipe = -1;
}

bool SimulatorProcess::Start(const std::string& path, const std::vector<std::string>& arguments) {
  KORVAN_ASSERT(!Running());
  ClosePipes();
  pid = -1;
  ended = false;
  exitStatus = -1;
  output.clear();
  errorOutput.clear();
  lineStart = 0;
  startErrno = 0;

  // Close-on-exec keeps the parent's ends of the pipes, and the pipes of
  // other children, out of the child.
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    startErrno = errno;
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    startErrno = errno;
    error = std::string("pipe: ") + std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return false;
  }

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  if (!workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The manager ignores SIGPIPE (it notices closed connections by their
  // errors); an ignored signal stays ignored across exec, and a launcher's
  // pipeline would then not end as it does from a shell.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  short flags = POSIX_SPAWN_SETSIGDEF;
  if (ownGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  posix_spawnattr_setflags(&attributes, flags);
  pid_t child = -1;
  const int spawned = posix_spawn(&child, path.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) {
    startErrno = spawned;
    error = "cannot start " + path + ": " + std::strerror(spawned);
    close(out[0]);
    close(err[0]);
    return false;
  }
  pid = child;
  outPipe = out[0];
  errPipe = err[0];
  fcntl(outPipe, F_SETFL, fcntl(outPipe, F_GETFL) | O_NONBLOCK);
  fcntl(errPipe, F_SETFL, fcntl(errPipe, F_GETFL) | O_NONBLOCK);
  return true;
}

bool SimulatorProcess::Collect(int timeoutMs) {
  pollfd entries[2];
  int count = 0;
  if (outPipe != -1) entries[count++] = {outPipe, POLLIN, 0};
  if (errPipe != -1) entries[count++] = {errPipe, POLLIN, 0};
  if (count == 0) return false;
  const int ready = poll(entries, static_cast<nfds_t>(count), timeoutMs > 0 ? timeoutMs : 0);
  if (ready <= 0) return true;  // nothing yet, or interrupted: the caller loops
  // Both pipes are drained whenever either is ready, so a child writing much
  // to standard error never blocks while standard output is being read.
  if (outPipe != -1) Drain(outPipe, output, true);
  if (errPipe != -1) Drain(errPipe, errorOutput, false);
  return true;
}

bool SimulatorProcess::ReadLine(std::string& line, int timeoutMs) {
  const Deadline deadline(timeoutMs);
  for (;;) {
    const size_t end = output.find('\n', lineStart);
    if (end != std::string::npos) {
      line = output.substr(lineStart, end - lineStart);
      lineStart = end + 1;
      return true;
    }
    if (outPipe == -1) {
      if (lineStart < output.size()) {
        line = output.substr(lineStart);
        lineStart = output.size();
        return true;
      }
      error = "the simulator's output ended";
      return false;
    }
    if (deadline.Expired()) {
      error = "no complete output line before the deadline";
      return false;
    }
    Collect(deadline.RemainingMs());
  }
}

int SimulatorProcess::PortFromAnnouncement(const std::string& line) {
  if (line.compare(0, sizeof(kPortAnnouncement) - 1, kPortAnnouncement) != 0) return 0;
  const std::string rest = line.substr(sizeof(kPortAnnouncement) - 1);
  const size_t close = rest.find(']');
  long port = 0;
  bool digits = close != std::string::npos && close > 0 && close <= 5;
  for (size_t i = 0; digits && i < close; ++i) {
    if (rest[i] < '0' || rest[i] > '9') digits = false;
    port = port * 10 + (rest[i] - '0');
  }
  if (!digits || port < 1 || port > 65535) return -1;
  return static_cast<int>(port);
}

int SimulatorProcess::WaitForPort(int timeoutMs) {
  const Deadline deadline(timeoutMs);
  std::string line;
  while (ReadLine(line, deadline.RemainingMs())) {
    const int port = PortFromAnnouncement(line);
    if (port == 0) continue;
    if (port < 0) {
      error = "malformed port announcement: " + line;
      return -1;
    }
    return port;
  }
  error = "no port announcement: " + error;
  return -1;
}

bool SimulatorProcess::Reap(bool block) {
  if (pid <= 0 || ended) return true;
  if (ownGroup) {
    // Whatever is left of the group once its leader has ended (a process a
    // launcher's shell left behind, one that ignores SIGTERM) goes with it.
    // Looked at without reaping: until it is reaped the child's id stays
    // reserved, so the group cannot be another's yet.
    siginfo_t info{};
    int peeked;
    do {
      peeked = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | (block ? 0 : WNOHANG));
    } while (peeked == -1 && errno == EINTR);
    if (peeked == 0 && info.si_pid == 0) return false;
    if (peeked == 0) kill(-pid, SIGKILL);
  }
  int status = 0;
  pid_t result;
  do {
    result = waitpid(pid, &status, block ? 0 : WNOHANG);
  } while (result == -1 && errno == EINTR);
  if (result == 0) return false;
  ended = true;
  if (result == pid && WIFEXITED(status)) {
    exitStatus = WEXITSTATUS(status);
  } else if (result == pid && WIFSIGNALED(status)) {
    exitStatus = 128 + WTERMSIG(status);
  }
  return true;
}

bool SimulatorProcess::Wait(int timeoutMs) {
  const Deadline deadline(timeoutMs);
  for (;;) {
    if (Reap(false)) {
      DrainAfterEnd();
      return true;
    }
    if (deadline.Expired()) {
      error = "the simulator did not end before the deadline";
      return false;
    }
    // Short polls: the end of the child is noticed by waitpid, not by the
    // pipes, which a grandchild could keep open.
    const int slice = deadline.RemainingMs() < 20 ? deadline.RemainingMs() : 20;
    if (!Collect(slice)) usleep(static_cast<useconds_t>(slice) * 1000);
  }
}

void SimulatorProcess::Pump() {
  if (outPipe != -1) Drain(outPipe, output, true);
  if (errPipe != -1) Drain(errPipe, errorOutput, false);
}

bool SimulatorProcess::PollEnded() { return Reap(false); }

bool SimulatorProcess::GroupRunning() const {
  if (!Running()) return false;
  if (!ownGroup) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | WNOHANG) == 0 && info.si_pid == 0;
  }
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return true;
  bool found = false;
  while (dirent* entry = found ? nullptr : readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const std::string path = std::string("/proc/") + entry->d_name + "/stat";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) continue;
    char text[512];
    const ssize_t n = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (n <= 0) continue;
    text[n] = '\0';
    // "pid (name) state ppid pgrp ...": the name may hold anything, so the
    // fields are read after the last ')'.
    const char* rest = std::strrchr(text, ')');
    if (rest == nullptr || rest[1] != ' ') continue;
    const char state = rest[2];
    char* end = nullptr;
    std::strtol(rest + 3, &end, 10);  // ppid
    const long group = std::strtol(end, nullptr, 10);
    if (group == pid && state != 'Z' && state != 'X') found = true;
  }
  closedir(proc);
  return found;
}

void SimulatorProcess::Signal(int signal) {
  if (!Running()) return;
  kill(ownGroup ? -pid : pid, signal);
}

void SimulatorProcess::Kill() {
  if (!Running()) return;
  kill(ownGroup ? -pid : pid, SIGKILL);
  Reap(true);
  DrainAfterEnd();
}
