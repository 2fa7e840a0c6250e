#ifndef MERSENNE_TWISTER_H
#define MERSENNE_TWISTER_H

#include <cstdint>

#include "random/RandomNumberGenerator.h"

// MT19937 with the standard initialisation from one 32-bit seed; its words
// equal those of std::mt19937 for the same seed. A generator drawn from
// before its first srnd() seeds itself with 18671867.
class MersenneTwister : public RandomNumberGenerator {
 public:
  MersenneTwister();
  ~MersenneTwister() override;

  // (rnd_int32() + 0.5) * 2^-32: in the open interval (0, 1).
  double rnd() override;
  // Initialises the 624 words from the low 32 bits of seed; the next draw
  // regenerates the whole array.
  void srnd(unsigned long seed) override;

  // The next tempered 32-bit word.
  unsigned long rnd_int32();
  // The twist matrix 0x9908B0DF when bit is non-zero, else 0.
  static unsigned long getMatrixA(unsigned long bit) { return bit ? 0x9908B0DFUL : 0UL; }
  // The fraction rnd() makes of a word: 0 maps to 2^-33 and 2^32 - 1 to
  // 1 - 2^-33, both exact, so the result is never 0 or 1.
  static double WordToFraction(unsigned long word) {
    return (static_cast<double>(word) + 0.5) * (1.0 / 4294967296.0);
  }

 private:
  static constexpr int N = 624;
  static constexpr int M = 397;

  std::uint32_t mt[N];
  bool seeded;
  int mti;
};

#endif
