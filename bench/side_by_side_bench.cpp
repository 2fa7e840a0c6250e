// The simulator against the hand-written baseline, side by side:
//
//   side_by_side_bench [--experiments 0,35] [--replications 10000] [--pairs 5]
//                      [--callgrind N1,N2 | --no-callgrind] [--simulator PATH] [--baseline PATH]
//
// For each experiment it runs the real simulator and the baseline as whole
// processes, alternately (simulator first in odd pairs, baseline first in
// even ones, so that neither always finds the machine in the same state),
// and reports the processor time (user + system, from the child's resource
// usage) per replication and per firing of each, and the median over the
// pairs of the ratio simulator / baseline. On a virtual machine a whole
// process sometimes runs much slower than the one before (here: the same
// program took 0.33 s or 0.56 s, whatever else ran), which can spoil a
// pair; the ratio of each program's fastest run is shown beside the median
// for that reason.
//
// Processor time wobbles on a busy machine; instruction counts do not. With
// valgrind installed it also runs both under callgrind at N1 and N2
// replications and reports (Ir(N2) - Ir(N1)) / (N2 - N1): the instructions
// of one replication, set-up and tear-down excluded.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ChildRun {
  bool ok = false;
  double cpuSeconds = 0.0;
  std::string out;
};

// Runs program with arguments; standard output is captured, standard error
// discarded. ok only when it ended with status 0.
ChildRun RunChild(const std::vector<std::string>& command) {
  ChildRun run;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return run;
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return run;
  }
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) dup2(devNull, 2);
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<char*> argv;
    for (const std::string& c : command) argv.push_back(const_cast<char*>(c.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(pipeFds[0], buffer, sizeof(buffer));
    if (n > 0) {
      run.out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(pipeFds[0]);
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  return run;
}

// The number after "Actions fired: " in a run's output, or -1.
long long ActionsFired(const std::string& out) {
  const std::string key = "Actions fired: ";
  const size_t at = out.find(key);
  if (at == std::string::npos) return -1;
  return std::atoll(out.c_str() + at + key.size());
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

std::vector<std::string> Command(const std::string& program, int experiment, long long n) {
  return {program, "-e", std::to_string(experiment), "-s", "31415", "-N", std::to_string(n)};
}

// Instructions of a whole run under callgrind, or -1.
double CallgrindInstructions(const std::vector<std::string>& command) {
  char name[] = "/tmp/korvan_callgrind_XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return -1.0;
  close(fd);
  std::vector<std::string> full = {"valgrind", "--tool=callgrind",
                                   std::string("--callgrind-out-file=") + name};
  full.insert(full.end(), command.begin(), command.end());
  const ChildRun run = RunChild(full);
  double instructions = -1.0;
  std::ifstream in(name);
  std::string line;
  while (run.ok && std::getline(in, line)) {
    if (line.rfind("summary:", 0) == 0) instructions = std::atof(line.c_str() + 8);
  }
  std::remove(name);
  return instructions;
}

std::vector<long long> NumberList(const std::string& text) {
  std::vector<long long> numbers;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) numbers.push_back(std::atoll(item.c_str()));
  return numbers;
}

[[noreturn]] void Usage() {
  std::cerr << "usage: side_by_side_bench [--experiments 0,35] [--replications 10000] "
               "[--pairs 5] [--callgrind N1,N2 | --no-callgrind] [--simulator PATH] [--baseline PATH]"
            << std::endl;
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<long long> experiments = {0, 35};
  long long replications = 10000;
  int pairs = 5;
  std::vector<long long> callgrindAt = {200, 1000};
  std::string simulator = KORVAN_SIMULATOR_PATH;
  std::string baseline = KORVAN_BASELINE_PATH;
  for (int i = 1; i < argc; i++) {
    const std::string option = argv[i];
    if (option == "--no-callgrind") {
      callgrindAt.clear();
      continue;
    }
    if (i + 1 >= argc) Usage();
    const std::string value = argv[++i];
    if (option == "--experiments") {
      experiments = NumberList(value);
    } else if (option == "--replications") {
      replications = std::atoll(value.c_str());
    } else if (option == "--pairs") {
      pairs = std::atoi(value.c_str());
    } else if (option == "--simulator") {
      simulator = value;
    } else if (option == "--baseline") {
      baseline = value;
    } else if (option == "--callgrind") {
      callgrindAt = NumberList(value);
      if (callgrindAt.size() != 2 || callgrindAt[1] <= callgrindAt[0]) Usage();
    } else {
      Usage();
    }
  }
  if (experiments.empty() || replications < 1 || pairs < 1) Usage();

  std::printf(
      "Simulator against the hand-written baseline: %lld replications, %d pairs, "
      "processor time (user + system) of whole processes\n\n",
      replications, pairs);
  std::printf("%-10s %12s %12s %10s %10s %9s %9s %9s\n", "experiment", "firings", "sim us/rep",
              "base us/rep", "sim ns/f", "base ns/f", "ratio", "fastest");
  int failures = 0;
  for (long long experiment : experiments) {
    std::vector<double> simSeconds, baseSeconds, ratios;
    long long fired = -1;
    for (int p = 0; p < pairs; p++) {
      ChildRun sim, base;
      if (p % 2 == 0) {
        sim = RunChild(Command(simulator, static_cast<int>(experiment), replications));
        base = RunChild(Command(baseline, static_cast<int>(experiment), replications));
      } else {
        base = RunChild(Command(baseline, static_cast<int>(experiment), replications));
        sim = RunChild(Command(simulator, static_cast<int>(experiment), replications));
      }
      const long long simFired = ActionsFired(sim.out);
      if (!sim.ok || !base.ok || simFired < 0 || simFired != ActionsFired(base.out)) {
        std::fprintf(stderr, "experiment %lld: a run failed or the two disagree on the firings\n",
                     experiment);
        failures++;
        break;
      }
      fired = simFired;
      simSeconds.push_back(sim.cpuSeconds);
      baseSeconds.push_back(base.cpuSeconds);
      ratios.push_back(sim.cpuSeconds / base.cpuSeconds);
    }
    if (ratios.empty()) continue;
    const double sim = Median(simSeconds), base = Median(baseSeconds);
    const double fastest = *std::min_element(simSeconds.begin(), simSeconds.end()) /
                           *std::min_element(baseSeconds.begin(), baseSeconds.end());
    std::printf("%-10lld %12lld %12.1f %12.1f %10.1f %9.1f %9.3f %9.3f\n", experiment, fired,
                1e6 * sim / replications, 1e6 * base / replications, 1e9 * sim / fired,
                1e9 * base / fired, Median(ratios), fastest);
  }

  if (!callgrindAt.empty()) {
    const long long n1 = callgrindAt[0], n2 = callgrindAt[1];
    std::printf(
        "\nInstructions per replication under callgrind ((Ir at %lld - Ir at %lld) / %lld)\n\n", n2,
        n1, n2 - n1);
    std::printf("%-10s %16s %16s %9s\n", "experiment", "simulator", "baseline", "ratio");
    for (long long experiment : experiments) {
      double per[2];
      bool ok = true;
      const std::string programs[2] = {simulator, baseline};
      for (int k = 0; k < 2 && ok; k++) {
        const double at1 =
            CallgrindInstructions(Command(programs[k], static_cast<int>(experiment), n1));
        const double at2 =
            CallgrindInstructions(Command(programs[k], static_cast<int>(experiment), n2));
        ok = at1 > 0 && at2 > 0;
        per[k] = (at2 - at1) / static_cast<double>(n2 - n1);
      }
      if (!ok) {
        std::printf("%-10lld (valgrind not available or a run failed)\n", experiment);
        continue;
      }
      std::printf("%-10lld %16.0f %16.0f %9.3f\n", experiment, per[0], per[1], per[0] / per[1]);
    }
  }
  return failures == 0 ? 0 : 1;
}
