#include "random/LaggedFibonacci.h"

#include <cstdint>

#include "Cpp/BaseClasses/KorvanAssert.h"

// Plain zero-initialised POD: it exists before any dynamic initialiser runs,
// so TheGenerator may be seeded from another translation unit's static
// initialisation.
double ran_u[100];

int LaggedFibonacci::position_ = 0;

namespace {

constexpr int KK = 100;                       // the long lag
constexpr int LL = 37;                        // the short lag
constexpr int TT = 70;                        // guaranteed separation between streams
constexpr double ulp = 1.0 / 4503599627370496.0;  // 2^-52

// (x + y) mod 1 for x, y in [0, 1); the truncation is a conversion to a
// 32-bit integer, which cannot overflow for sums below 2.
inline double mod_sum(double x, double y) {
  return (x + y) - static_cast<std::int32_t>(x + y);
}

}  // namespace

void ranf_array(double* aa, int n) {
  KORVAN_ASSERT(n >= 100);
  int i, j;
  for (j = 0; j < KK; j++) aa[j] = ran_u[j];
  for (; j < n; j++) aa[j] = mod_sum(aa[j - KK], aa[j - LL]);
  for (i = 0; i < LL; i++, j++) ran_u[i] = mod_sum(aa[j - KK], aa[j - LL]);
  for (; i < KK; i++, j++) ran_u[i] = mod_sum(aa[j - KK], ran_u[i - LL]);
}

void ranf_start(long seed) {
  // The halving of s below ends only for non-negative s, and seed + 2 must
  // fit 32 signed bits: bring every other seed into 0 .. kMaxSeed.
  if (seed < 0 || seed > LaggedFibonacci::kMaxSeed) {
    const long range = LaggedFibonacci::kMaxSeed + 1;
    seed %= range;
    if (seed < 0) seed += range;
  }
  std::int32_t s = static_cast<std::int32_t>(seed);
  double u[KK + KK - 1];
  double ul[KK + KK - 1];
  double ss = 2.0 * ulp * static_cast<double>(s + 2);
  int j;
  for (j = 0; j < KK; j++) {
    u[j] = ss;
    ul[j] = 0.0;
    ss += ss;
    if (ss >= 1.0) ss -= 1.0 - 2 * ulp;
  }
  for (; j < KK + KK - 1; j++) u[j] = ul[j] = 0.0;
  u[1] += ulp;
  ul[1] = ulp;
  for (int t = TT - 1; t;) {
    for (j = KK - 1; j > 0; j--) {
      ul[j + j] = ul[j];
      u[j + j] = u[j];
    }
    for (j = KK + KK - 2; j > KK - LL; j -= 2) {
      ul[KK + KK - 1 - j] = 0.0;
      u[KK + KK - 1 - j] = u[j] - ul[j];
    }
    for (j = KK + KK - 2; j >= KK; j--) {
      if (ul[j] != 0.0) {
        ul[j - (KK - LL)] = ulp - ul[j - (KK - LL)];
        u[j - (KK - LL)] = mod_sum(u[j - (KK - LL)], u[j]);
        ul[j - KK] = ulp - ul[j - KK];
        u[j - KK] = mod_sum(u[j - KK], u[j]);
      }
    }
    if (s & 1) {
      for (j = KK; j > 0; j--) {
        ul[j] = ul[j - 1];
        u[j] = u[j - 1];
      }
      ul[0] = ul[KK];
      u[0] = u[KK];
      if (ul[KK] != 0.0) {
        ul[LL] = ulp - ul[LL];
        u[LL] = mod_sum(u[LL], u[KK]);
      }
    }
    if (s) {
      s >>= 1;
    } else {
      t--;
    }
  }
  for (j = 0; j < LL; j++) ran_u[j + KK - LL] = u[j];
  for (; j < KK; j++) ran_u[j - LL] = u[j];
}

LaggedFibonacci::LaggedFibonacci() : buffer() {}

LaggedFibonacci::~LaggedFibonacci() {}

double LaggedFibonacci::rnd() {
  if (position_ == 100) {
    position_ = 0;
    ranf_array(buffer, 100);
  }
  return buffer[position_++];
}

void LaggedFibonacci::srnd(unsigned long seed) {
  ranf_start(static_cast<long>(seed));
  ranf_array(buffer, 100);
  ranf_array(buffer, 100);
}
