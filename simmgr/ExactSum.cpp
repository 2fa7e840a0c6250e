#include "simmgr/ExactSum.h"

#include <cmath>
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
