#include "simmgr/SeedSequence.h"

#include <algorithm>
#include <unordered_set>

#include "Cpp/BaseClasses/KorvanAssert.h"

uint64_t SeedSequence::Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::vector<uint32_t> SeedSequence::Derive(uint32_t base, int numExperiments) {
  std::vector<uint32_t> seeds;
  std::unordered_set<uint32_t> used;
  for (int k = 0; k < numExperiments; ++k) {
    uint64_t h = Mix((static_cast<uint64_t>(base) << 32) | static_cast<uint32_t>(k));
    uint32_t seed = static_cast<uint32_t>(1 + h % kLargestSeed);
    while (!used.insert(seed).second) {
      h = Mix(h);
      seed = static_cast<uint32_t>(1 + h % kLargestSeed);
    }
    seeds.push_back(seed);
  }
  return seeds;
}

SeedSequence::SeedSequence(uint32_t base, int numExperiments)
    : base(base), numExperiments(numExperiments), primary(Derive(base, numExperiments)) {
  KORVAN_ASSERT(numExperiments > 0 && numExperiments <= 65536);
  sortedPrimary = primary;
  std::sort(sortedPrimary.begin(), sortedPrimary.end());
  secondaryCount = kLargestSeed - static_cast<uint32_t>(numExperiments);
  // The largest s + a whose streams all have a number below secondaryCount:
  // the Cantor numbers of s + a = t end at t (t + 1) / 2 + t.
  maxStep = 0;
  while (true) {
    const uint64_t t = static_cast<uint64_t>(maxStep);
    const uint64_t lastCantor = t * (t + 1) / 2 + t;
    if (lastCantor * static_cast<uint64_t>(numExperiments) >= secondaryCount) break;
    ++maxStep;
  }
}

bool SeedSequence::Valid(int segment, int attempt) const {
  return segment >= 0 && attempt >= 0 && segment + attempt < maxStep;
}

uint32_t SeedSequence::Permute(uint32_t index) const {
  // A Feistel network is a permutation of the 32-bit values whatever its
  // round function; walking the cycle until the value falls below
  // secondaryCount makes it one of 0 .. secondaryCount - 1.
  const uint64_t key = Mix(0x5EED5EED00000000ull | base);
  uint32_t value = index;
  do {
    uint32_t left = value >> 16;
    uint32_t right = value & 0xFFFFu;
    for (uint64_t round = 0; round < 4; ++round) {
      const uint32_t f = static_cast<uint32_t>(Mix(key + (round << 32) + right)) & 0xFFFFu;
      const uint32_t next = left ^ f;
      left = right;
      right = next;
    }
    value = (left << 16) | right;
  } while (value >= secondaryCount);
  return value;
}

uint32_t SeedSequence::Seed(int experiment, int segment, int attempt) const {
  KORVAN_ASSERT(experiment >= 0 && experiment < numExperiments);
  KORVAN_ASSERT(Valid(segment, attempt));
  if (segment == 0 && attempt == 0) return primary[experiment];
  const uint64_t step = static_cast<uint64_t>(segment) + static_cast<uint64_t>(attempt);
  const uint64_t cantor = step * (step + 1) / 2 + static_cast<uint64_t>(attempt);
  const uint64_t index = (cantor - 1) * static_cast<uint64_t>(numExperiments) + static_cast<uint64_t>(experiment);
  // The rank-th positive number that is no primary seed.
  uint32_t seed = Permute(static_cast<uint32_t>(index)) + 1;
  for (uint32_t p : sortedPrimary) {
    if (p > seed) break;
    ++seed;
  }
  return seed;
}
