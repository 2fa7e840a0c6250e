#ifndef TAUSWORTHE_H
#define TAUSWORTHE_H

#include <cstdint>

#include "random/RandomNumberGenerator.h"

// 31-bit Tausworthe (shift-register) generator: fractions k / (2^31 - 1),
// in [0, 1]. State 0 is a fixed point: it yields 0.0 forever, and every seed
// whose low 31 bits are zero reaches it on the first draw.
class Tausworthe : public RandomNumberGenerator {
 public:
  // Unseeded: the state is 0 until srnd().
  Tausworthe();
  ~Tausworthe() override;

  double rnd() override;
  // The state becomes the low 32 bits of seed.
  void srnd(unsigned long seed) override;

 private:
  std::uint32_t state;
};

#endif
