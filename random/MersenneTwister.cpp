#include "random/MersenneTwister.h"

namespace {

constexpr std::uint32_t kUpperMask = 0x80000000u;
constexpr std::uint32_t kLowerMask = 0x7FFFFFFFu;

}  // namespace

MersenneTwister::MersenneTwister() : mt(), seeded(false), mti(N) {}

MersenneTwister::~MersenneTwister() {}

double MersenneTwister::rnd() { return WordToFraction(rnd_int32()); }

void MersenneTwister::srnd(unsigned long seed) {
  mt[0] = static_cast<std::uint32_t>(seed);
  for (int i = 1; i < N; i++) {
    mt[i] = 1812433253u * (mt[i - 1] ^ (mt[i - 1] >> 30)) + static_cast<std::uint32_t>(i);
  }
  mti = N;
  seeded = true;
}

unsigned long MersenneTwister::rnd_int32() {
  if (mti >= N) {
    // Through the virtual slot, so a derived generator's seeding applies.
    if (!seeded) srnd(18671867UL);
    std::uint32_t y;
    int k;
    for (k = 0; k < N - 1; k++) {
      y = (mt[k] & kUpperMask) | (mt[k + 1] & kLowerMask);
      mt[k] = mt[(k + M) % N] ^ (y >> 1) ^ static_cast<std::uint32_t>(getMatrixA(y & 1u));
    }
    y = (mt[N - 1] & kUpperMask) | (mt[0] & kLowerMask);
    mt[N - 1] = mt[M - 1] ^ (y >> 1) ^ static_cast<std::uint32_t>(getMatrixA(y & 1u));
    mti = 0;
  }
  std::uint32_t y = mt[mti++];
  y ^= y >> 11;
  y ^= (y << 7) & 0x9D2C5680u;
  y ^= (y << 15) & 0xEFC60000u;
  y ^= y >> 18;
  return y;
}
