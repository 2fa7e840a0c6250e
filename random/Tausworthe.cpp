#include "random/Tausworthe.h"

Tausworthe::Tausworthe() : state(0) {}

Tausworthe::~Tausworthe() {}

double Tausworthe::rnd() {
  const std::uint32_t t = ((state << 13) ^ state) & 0x7FFFFFFFu;
  state = t ^ (t >> 18);
  // 1 / (2^31 - 1) as a literal, so results are the same on every platform.
  return state * 4.656612875245797e-10;
}

void Tausworthe::srnd(unsigned long seed) { state = static_cast<std::uint32_t>(seed); }
