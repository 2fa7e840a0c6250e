// Whole replications of the real simulator: nanoseconds per firing and
// replications per second for the cheapest and the most expensive
// experiments of the study.

#include <benchmark/benchmark.h>

#include <time.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "simulator/SimulatorClass.h"

namespace {

double ProcessCpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

void Replications(benchmark::State& state) {
  const std::string experiment = std::to_string(state.range(0));
  const int replications = static_cast<int>(state.range(1));
  std::vector<std::string> arguments = {"simulator", "-e", experiment, "-s", "31415",
                                        "-N", std::to_string(replications)};
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(&a[0]);

  int64_t fired = 0;
  int64_t runs = 0;
  double cpuSeconds = 0.0;
  for (auto _ : state) {
    state.PauseTiming();
    // The simulator reports on standard output; keep the benchmark's own
    // output readable.
    std::ostringstream sink;
    std::streambuf* saved = std::cout.rdbuf(sink.rdbuf());
    SimulatorClass* simulator = new SimulatorClass(static_cast<int>(argv.size()), argv.data());
    state.ResumeTiming();
    const double cpuStart = ProcessCpuSeconds();
    simulator->Run();
    cpuSeconds += ProcessCpuSeconds() - cpuStart;
    state.PauseTiming();
    fired += simulator->actionsFired;
    runs++;
    delete simulator;
    std::cout.rdbuf(saved);
    state.ResumeTiming();
  }
  state.counters["firings"] = benchmark::Counter(static_cast<double>(fired) / runs);
  // Processor time, not wall-clock time: the figures stay comparable on a
  // machine that is busy with other work.
  state.counters["ns_per_firing"] = benchmark::Counter(1e9 * cpuSeconds / static_cast<double>(fired));
  state.counters["replications_per_s"] =
      benchmark::Counter(static_cast<double>(replications) * runs / cpuSeconds);
}

BENCHMARK(Replications)
    ->Args({0, 1000})
    ->Args({35, 1000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0);

}  // namespace
