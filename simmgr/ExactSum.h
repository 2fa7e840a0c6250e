#ifndef EXACT_SUM_H
#define EXACT_SUM_H

#include <vector>

// The exact sum of a stream of doubles, kept as a short list of
// non-overlapping partial sums (each a double, ordered by increasing
// magnitude) whose exact total is the sum of everything added. Adding never
// rounds, so the same values give the same exact sum, and the same Value(),
// in any order and in any split into parts that are merged afterwards.
//
// Value() is the sum correctly rounded to the nearest double (ties to
// even). Sums of integers below 2^53, such as counts of 0/1 observations,
// need a single partial.
//
// A sum whose exact value leaves the range of doubles, or that is given an
// infinity or a NaN, is no longer exact: Value() is then that infinity, or
// NaN, for good. That holds for the sum as it grows, so only there does the
// order matter: 1e308 + 1e308 - 1e308 is infinite, 1e308 - 1e308 + 1e308
// is 1e308. Observations that large have squares beyond the range in any
// order, so they never have an interval; only their mean depends on the
// order (infinite, or the true one).
class ExactSum {
 public:
  void Add(double x);
  // Adds a * b exactly (the product split into its rounded value and the
  // rounding error).
  void AddProduct(double a, double b);
  void Merge(const ExactSum& other);

  double Value() const;
  // The sum divided by a * b (both positive and finite), correctly rounded
  // to the nearest double (ties to even). Value() / a / b rounds up to three
  // times and can miss by a unit in the last place: n copies of 0.1 would
  // have a mean of 0.09999999999999999. Where the exact residuals the
  // rounding is decided by would leave the range of doubles (sums beyond
  // 1e300 or below 1e-290), that approximation is returned instead.
  double Quotient(double a, double b = 1.0) const;
  // Sign of the exact sum: -1, 0 or 1 (NaN: 0).
  int Sign() const;
  bool Finite() const { return special == 0.0; }

  // The partials, for saving; FromPartials(Partials()) gives the same sum.
  const std::vector<double>& Partials() const { return partials; }
  double Special() const { return special; }
  static ExactSum FromParts(const std::vector<double>& parts, double special);

 private:
  std::vector<double> partials;
  // 0 while the sum is exact; otherwise +inf, -inf or NaN.
  double special = 0.0;
};

#endif
