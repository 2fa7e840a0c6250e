#ifndef SEED_SEQUENCE_H
#define SEED_SEQUENCE_H

#include <cstdint>
#include <vector>

// The seeds of a study, derived from one base seed so that a whole study is
// reproducible from it. Every simulator process of a study runs one stream,
// named by (experiment, segment, attempt): segment s is the s-th time the
// study was taken further (0 for the first run, 1 for the first resume, ...)
// and attempt a the a-th start of the experiment's simulator in that segment
// (0 first, then the retries).
//
// Stream (k, 0, 0), the first of experiment k, gets the seed
// 1 + (H(base, k) mod 2147483645), where H is the SplitMix64 finaliser
// applied to (base << 32 | k); a seed already given to a lower-numbered
// experiment is replaced by the next value of the same derivation, H applied
// again. These are the study's primary seeds.
//
// Every other stream (k, s, a) is numbered i = (c - 1) * E + k, with E the
// number of experiments of the study and c = (s + a)(s + a + 1) / 2 + a the
// Cantor number of the pair (s, a) (1 or more). Its seed is 1 + the r-th
// smallest value of 0 .. 2147483644 that is no primary seed minus 1, where
// r = P(i) and P is a permutation of 0 .. 2147483644 - E keyed by the base
// seed (a four-round Feistel network on 32 bits, applied again while the
// result is out of range). So no two streams of a study ever share a seed,
// whichever streams a study happens to run and in whatever order.
//
// Every seed is from 1 to 2147483645, which all three generators accept (the
// lagged Fibonacci generator takes 0 to 2147483645, the Tausworthe generator
// any seed whose low 31 bits are not all 0, the Mersenne Twister any 32-bit
// value), and never 0, which the simulator would replace by its default.
class SeedSequence {
 public:
  static constexpr uint32_t kLargestSeed = 2147483645u;

  // REQUIRES: 0 < numExperiments <= 65536.
  SeedSequence(uint32_t base, int numExperiments);

  // True when (segment, attempt) can be numbered: both from 0 and
  // segment + attempt below MaxStep().
  bool Valid(int segment, int attempt) const;
  int MaxStep() const { return maxStep; }
  // The seed of stream (experiment, segment, attempt).
  // REQUIRES: 0 <= experiment < numExperiments and Valid(segment, attempt).
  uint32_t Seed(int experiment, int segment, int attempt) const;

  // The primary seeds of experiments 0 .. numExperiments - 1.
  static std::vector<uint32_t> Derive(uint32_t base, int numExperiments);
  // The SplitMix64 finaliser.
  static uint64_t Mix(uint64_t x);

 private:
  uint32_t Permute(uint32_t index) const;

  uint32_t base;
  int numExperiments;
  std::vector<uint32_t> primary;
  std::vector<uint32_t> sortedPrimary;
  uint32_t secondaryCount;  // seeds left for the other streams
  int maxStep;
};

#endif
