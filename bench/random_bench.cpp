// Cost of one uniform draw per generator, called through the base-class
// pointer as the simulator does, and of one exponential variate.

#include <benchmark/benchmark.h>

#include "random/Distributions.h"
#include "random/LaggedFibonacci.h"
#include "random/MersenneTwister.h"
#include "random/Tausworthe.h"

namespace {

// Defeats devirtualisation: the bench sees only a RandomNumberGenerator*.
RandomNumberGenerator* MakeGenerator(int kind) {
  RandomNumberGenerator* g;
  switch (kind) {
    case 1:
      g = new Tausworthe();
      break;
    case 2:
      g = new MersenneTwister();
      break;
    default:
      g = new LaggedFibonacci();
      break;
  }
  benchmark::DoNotOptimize(g);
  g->srnd(31415);
  return g;
}

void BM_Rnd(benchmark::State& state) {
  RandomNumberGenerator* g = MakeGenerator(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(g->rnd());
  delete g;
}
BENCHMARK(BM_Rnd)->Arg(0)->Arg(1)->Arg(2)->ArgName("kind");

void BM_Exponential(benchmark::State& state) {
  Distributions d;
  delete d.generator;
  d.generator = MakeGenerator(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(d.Exponential(1.5));
}
BENCHMARK(BM_Exponential)->Arg(0)->Arg(1)->Arg(2)->ArgName("kind");

}  // namespace
