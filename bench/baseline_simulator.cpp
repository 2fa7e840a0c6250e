// The hand-written baseline of the simulator's speed:
//
//   baseline_simulator [-e <num>] [-s <num>] [-r <num>] [-N <num>] [-n <num>] [-a <name>]
//
// with the simulator's meaning of the options (experiment, seed, generator,
// replications, observations per hand-over, ASCII result file). It ends
// with the simulator's two summary lines.

#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "bench/BaselineSimulator.h"
#include "random/LaggedFibonacci.h"

namespace {

[[noreturn]] void Usage(const std::string& problem) {
  std::cerr << "baseline_simulator: " << problem << "\n"
            << "usage: baseline_simulator [-e 0..35] [-s seed] [-r 0|1|2] [-N replications]"
               " [-n report size] [-a ascii file]"
            << std::endl;
  std::exit(1);
}

// A whole decimal number from min to max, or the usage text.
long long Number(const std::string& option, const char* text, long long min, long long max) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < min || value > max) {
    Usage("bad value '" + std::string(text) + "' for " + option);
  }
  return value;
}

double ProcessSeconds() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  BaselineSimulator::Settings settings;
  std::string asciiName;
  for (int i = 1; i < argc; i++) {
    const std::string argument = argv[i];
    if (argument.size() < 2 || argument[0] != '-' ||
        std::strchr("esrNna", argument[1]) == nullptr) {
      Usage("unknown argument '" + argument + "'");
    }
    const std::string option = argument.substr(0, 2);
    const char* value = nullptr;
    if (argument.size() > 2) {
      value = argv[i] + 2;
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      Usage("missing value for " + option);
    }
    switch (argument[1]) {
      case 'e':
        settings.experiment = static_cast<int>(Number(option, value, 0, 35));
        break;
      case 's':
        settings.seed = static_cast<uint32_t>(Number(option, value, 0, 4294967295LL));
        break;
      case 'r':
        settings.generator = static_cast<int>(Number(option, value, 0, 2));
        break;
      case 'N':
        settings.replications = Number(option, value, 1, INT64_MAX);
        break;
      case 'n':
        settings.reportSize = static_cast<int>(Number(option, value, 1, 100000000));
        break;
      default:
        asciiName = value;
        break;
    }
  }
  if (settings.generator == 0 && settings.seed > LaggedFibonacci::kMaxSeed) {
    Usage("seed too large for the lagged Fibonacci generator");
  }
  if (settings.generator == 1 && settings.seed != 0 && (settings.seed & 0x7FFFFFFFu) == 0) {
    Usage("seed would leave the Tausworthe generator stuck at zero");
  }

  std::ofstream ascii;
  if (!asciiName.empty()) {
    ascii.open(asciiName, std::ios::out | std::ios::trunc);
    if (!ascii) Usage("cannot open " + asciiName);
  }
  BaselineSimulator simulator(settings);
  const double start = ProcessSeconds();
  const int64_t fired = simulator.Run(asciiName.empty() ? nullptr : &ascii);
  const double seconds = ProcessSeconds() - start;
  if (ascii.is_open()) {
    ascii.close();
    if (!ascii) {
      std::cerr << "baseline_simulator: error writing " << asciiName << std::endl;
      return 1;
    }
  }
  std::cout << "Actions fired: " << fired << "\n"
            << "CPU time (s): " << seconds << std::endl;
  return 0;
}
