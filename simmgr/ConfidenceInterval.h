#ifndef CONFIDENCE_INTERVAL_H
#define CONFIDENCE_INTERVAL_H

#include <cstdint>
#include <string>

#include "simmgr/RunningStatistics.h"

// A two-sided confidence interval of a mean, from the sufficient statistics
// of its observations.
//
// Methods:
// - Clopper-Pearson (exact): for observations that are all 0 or 1, with x
//   ones in n: the interval of the probabilities p for which x is not in
//   either tail of probability (1 - c)/2 of the binomial(n, p)
//   distribution; through beta quantiles, B((1-c)/2; x, n-x+1) and
//   B((1+c)/2; x+1, n-x). At x = 0 its lower end is exactly 0, at x = n its
//   upper end exactly 1: the zero-failure case is part of the method.
// - Wilson (score): for 0/1 observations, the probabilities p for which
//   |x/n - p| <= z sqrt(p(1-p)/n), z the (1+c)/2 normal quantile; its ends
//   are 0 and 1 at x = 0 and x = n as well.
// - Student's t: mean -/+ t(n-1, (1+c)/2) sqrt(variance / n), for any
//   observations. For 0/1 observations that are all equal it has no width
//   and would claim certainty; there it takes the Clopper-Pearson interval.
//
// Every quantile comes from Boost.Math.
class ConfidenceInterval {
 public:
  // kAutomatic: Clopper-Pearson for 0/1 observations, t otherwise.
  enum Method { kAutomatic, kClopperPearson, kWilson, kStudentT };

  // The interval of `statistics` at `confidence` (0 < c < 1) by `method`;
  // Clopper-Pearson and Wilson give way to t for observations that are not
  // all 0 or 1 (Used() tells). No interval (Valid() false) below two
  // observations, nor for sums that are not finite.
  static ConfidenceInterval Of(Method method, const RunningStatistics& statistics, double confidence);
  static ConfidenceInterval ClopperPearson(int64_t ones, int64_t n, double confidence);
  static ConfidenceInterval Wilson(int64_t ones, int64_t n, double confidence);

  bool Valid() const { return valid; }
  double Low() const { return low; }
  double High() const { return high; }
  // The larger distance from `mean` to an end: the precision the interval
  // gives the estimate (its half-width when it is symmetric).
  double HalfWidth(double mean) const;
  Method Used() const { return used; }

  // "clopper-pearson", "wilson", "t" (and "auto").
  static const char* Name(Method method);
  // The name for people: "Clopper-Pearson", "Wilson", "Student t".
  static const char* Title(Method method);
  static bool Parse(const std::string& text, Method& method);
  // The (1+c)/2 quantile of the standard normal distribution.
  static double NormalQuantile(double confidence);

 private:
  bool valid = false;
  double low = 0.0;
  double high = 0.0;
  Method used = kAutomatic;
};

#endif
