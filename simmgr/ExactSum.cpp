#include "simmgr/ExactSum.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

void ExactSum::Add(double x) {
  if (!std::isfinite(x)) {
    special += x;  // inf + -inf and anything + NaN give NaN
    return;
  }
  // Each step replaces x + y by its rounded sum hi and the exact rounding
  // error lo (Knuth's two-sum with the larger magnitude first); the errors
  // that are not zero stay as partials below the running total.
  size_t kept = 0;
  for (size_t i = 0; i < partials.size(); ++i) {
    double y = partials[i];
    if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
    const double hi = x + y;
    if (!std::isfinite(hi)) {
      special += hi;
      partials.clear();
      return;
    }
    const double lo = y - (hi - x);
    if (lo != 0.0) partials[kept++] = lo;
    x = hi;
  }
  partials.resize(kept);
  partials.push_back(x);
}

void ExactSum::AddProduct(double a, double b) {
  const double p = a * b;
  if (!std::isfinite(p)) {
    Add(p);
    return;
  }
  Add(p);
  Add(std::fma(a, b, -p));
}

void ExactSum::Merge(const ExactSum& other) {
  special += other.special;
  for (double part : other.partials) Add(part);
}

double ExactSum::Value() const {
  if (special != 0.0 || std::isnan(special)) return special;
  size_t n = partials.size();
  if (n == 0) return 0.0;
  // From the largest partial down, until a sum is inexact; then the
  // half-way case is decided by the sign of what lies below.
  double hi = partials[--n];
  double lo = 0.0;
  while (n > 0) {
    const double x = hi;
    const double y = partials[--n];
    hi = x + y;
    lo = y - (hi - x);
    if (lo != 0.0) break;
  }
  if (n > 0 && ((lo < 0.0 && partials[n - 1] < 0.0) || (lo > 0.0 && partials[n - 1] > 0.0))) {
    const double y = lo * 2.0;
    const double x = hi + y;
    if (y == x - hi) hi = x;
  }
  return hi;
}

namespace {

// The sign of sum - q * a * b, exactly (with q * a split into its rounded
// value and its error, each multiplied exactly by b); 2 when a product
// left the range of doubles.
int ResidualSign(const ExactSum& sum, double q, double a, double b) {
  ExactSum residual = sum;
  const double qa = q * a;
  const double error = std::fma(q, a, -qa);
  residual.AddProduct(-qa, b);
  residual.AddProduct(-error, b);
  if (!residual.Finite()) return 2;
  return residual.Sign();
}

// The exponent of the lowest bit set in x (finite, not 0): 0 for odd
// integers, -1 for 0.5, ...
int LowestBit(double x) {
  int exponent = 0;
  const double significand = std::frexp(std::fabs(x), &exponent);
  auto bits = static_cast<uint64_t>(std::ldexp(significand, 53));
  int lowest = exponent - 53;
  while ((bits & 1) == 0) {
    bits >>= 1;
    ++lowest;
  }
  return lowest;
}

}  // namespace

double ExactSum::Quotient(double a, double b) const {
  const double approximate = Value() / a / b;
  if (!Finite() || !std::isfinite(approximate) || approximate == 0.0) return approximate;
  // Products of tiny numbers lose their rounding errors to underflow, and
  // ones near the top of the range overflow: the residuals are then not
  // exact, and the approximation stands.
  const double magnitude = std::fabs(approximate);
  if (magnitude < 0x1p-960 || magnitude > 0x1p960 || !(a * b >= 0x1p-60) || !(a * b <= 0x1p960)) {
    return approximate;
  }
  // The residuals are exact only if no product of them has a bit below the
  // smallest subnormal: q (within a binade of the approximation), and half
  // its last bit, times a and then times b. Counts have no bits below 1 and
  // always pass; factors with low bits of their own (a duration, say) and a
  // small quotient would lose bits, and the steps below would then walk
  // away from the quotient instead of to it.
  const int lowest = std::ilogb(approximate) - 54 + LowestBit(a);
  if (lowest + std::min(LowestBit(b), 0) < -1074) return approximate;
  // q and its neighbour above bracket the exact quotient: sum - q a b >= 0
  // and sum - next(q) a b < 0. The approximation is within a few units in
  // the last place, so a few steps find them.
  double q = approximate;
  for (int step = 0; step < 8; ++step) {
    const int sign = ResidualSign(*this, q, a, b);
    if (sign == 2) return approximate;
    if (sign >= 0) break;
    q = std::nextafter(q, -HUGE_VAL);
  }
  for (int step = 0; step < 8; ++step) {
    const double above = std::nextafter(q, HUGE_VAL);
    const int sign = ResidualSign(*this, above, a, b);
    if (sign == 2) return approximate;
    if (sign < 0) break;
    q = above;
  }
  const double above = std::nextafter(q, HUGE_VAL);
  // The midpoint of q and its neighbour decides; both are doubles of one
  // binade (or q the last of its binade), so half their distance is exact.
  const double half = (above - q) / 2.0;
  ExactSum residual = *this;
  for (double part : {q, half}) {
    const double pa = part * a;
    residual.AddProduct(-pa, b);
    residual.AddProduct(-std::fma(part, a, -pa), b);
  }
  if (!residual.Finite()) return approximate;
  const int sign = residual.Sign();
  if (sign > 0) return above;
  if (sign < 0) return q;
  // A tie: the even one, whose last bit of the significand is 0.
  int exponent = 0;
  const double significand = std::frexp(q, &exponent);
  return std::fmod(std::ldexp(significand, 53), 2.0) == 0.0 ? q : above;
}

int ExactSum::Sign() const {
  if (std::isnan(special)) return 0;
  if (special != 0.0) return special > 0.0 ? 1 : -1;
  // The largest partial carries the sign: the others are smaller than half
  // its last bit.
  for (size_t i = partials.size(); i > 0; --i) {
    if (partials[i - 1] != 0.0) return partials[i - 1] > 0.0 ? 1 : -1;
  }
  return 0;
}

ExactSum ExactSum::FromParts(const std::vector<double>& parts, double special) {
  ExactSum sum;
  sum.special = special;
  for (double part : parts) sum.Add(part);
  return sum;
}
