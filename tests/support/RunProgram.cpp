#include "tests/support/RunProgram.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         double timeoutSeconds, const std::string& directory) {
  return RunProgramAndSignal(program, arguments, -1.0, 0, 0, timeoutSeconds, directory);
}

ProgramResult RunProgramAndSignal(const std::string& program,
                                  const std::vector<std::string>& arguments,
                                  double signalAfterSeconds, int signalNumber, int count,
                                  double timeoutSeconds, const std::string& directory) {
  ProgramResult result;
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return result;

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(outPipe[1]);
    close(errPipe[0]);
    close(errPipe[1]);
    if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(127);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);

  const auto started = std::chrono::steady_clock::now();
  auto nextSignal = started + std::chrono::milliseconds(static_cast<long>(signalAfterSeconds * 1000));
  int signalsLeft = signalAfterSeconds >= 0 ? count : 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    long remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
                         deadline - std::chrono::steady_clock::now())
                         .count();
    if (remaining <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (signalsLeft > 0) {
      auto now = std::chrono::steady_clock::now();
      if (now >= nextSignal) {
        kill(pid, signalNumber);
        signalsLeft--;
        nextSignal = now + std::chrono::milliseconds(50);
      }
      long untilSignal =
          std::chrono::duration_cast<std::chrono::milliseconds>(nextSignal - now).count();
      if (untilSignal < remaining) remaining = untilSignal > 0 ? untilSignal : 0;
    }
    int ready = poll(fds, 2, static_cast<int>(remaining));
    if (ready < 0 && errno == EINTR) continue;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        open--;
      }
    }
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

ProgramResult RunSimulator(const std::vector<std::string>& arguments, double timeoutSeconds,
                           const std::string& directory) {
  return RunProgram(KORVAN_SIMULATOR_PATH, arguments, timeoutSeconds, directory);
}
