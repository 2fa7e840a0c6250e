#include "simmgr/SeedSequence.h"

#include <unordered_set>

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
