#ifndef SEED_SEQUENCE_H
#define SEED_SEQUENCE_H

#include <cstdint>
#include <vector>

// The seeds of a study, derived from one base seed so that a whole study is
// reproducible from it.
//
// The seed of experiment k is 1 + (H(base, k) mod 2147483645), where H is
// the SplitMix64 finaliser applied to (base << 32 | k). Every seed is thus
// from 1 to 2147483645, which all three generators accept (the lagged
// Fibonacci generator takes 0 to 2147483645, the Tausworthe generator any
// seed whose low 31 bits are not all 0, the Mersenne Twister any 32-bit
// value), and never 0, which the simulator would replace by its default.
// Within one study no two experiments get the same seed: a seed already
// given to a lower-numbered experiment is replaced by the next value of the
// same derivation, H applied again.
class SeedSequence {
 public:
  static constexpr uint32_t kLargestSeed = 2147483645u;

  // The seed of every experiment 0 .. numExperiments - 1.
  static std::vector<uint32_t> Derive(uint32_t base, int numExperiments);
  // The SplitMix64 finaliser.
  static uint64_t Mix(uint64_t x);
};

#endif
