#ifndef RUNNING_STATISTICS_H
#define RUNNING_STATISTICS_H

#include <cstdint>

#include "simmgr/ExactSum.h"

// The sufficient statistics of a stream of observations: their count, their
// exact sum and the exact sum of their squares, and whether every one was 0
// or 1. The sums never round (see ExactSum), so statistics gathered in parts
// (by several simulator processes, attempts or segments of a study) and
// merged equal, to the last bit, those of the same observations added one
// by one in any order. Mean and variance are computed from the exact sums
// with one rounding each: the mean of n copies of x is x.
class RunningStatistics {
 public:
  void Add(double x) {
    ++count;
    sum.Add(x);
    squares.AddProduct(x, x);
    if (x != 0.0 && x != 1.0) binary = false;
  }
  void Merge(const RunningStatistics& other);

  int64_t Count() const { return count; }
  double Mean() const;
  // The unbiased sample variance, (n S2 - S1^2) / (n (n - 1)) with the
  // numerator exact before its rounding; 0 below two observations.
  double Variance() const;
  // Half the width of the two-sided interval at `confidence` (0 < c < 1):
  // t(n-1, (1+c)/2) * sqrt(variance / n). Infinite below two observations.
  double HalfWidth(double confidence) const;
  // True while every observation was 0 or 1 (also for none).
  bool Binary() const { return binary; }
  const ExactSum& Sum() const { return sum; }
  const ExactSum& SumOfSquares() const { return squares; }

  // Rebuilds statistics from saved parts. False when they cannot belong
  // together: a negative count, sums without observations, observations
  // said to be 0 or 1 whose sums disagree with that, or a sum of squares
  // below the square of the sum over the count.
  static bool FromParts(int64_t count, const ExactSum& sum, const ExactSum& squares, bool binary,
                        RunningStatistics& statistics);

  // The (1+c)/2 quantile of Student's t with `degrees` degrees of freedom;
  // infinite for no degrees of freedom or a confidence outside (0, 1).
  static double StudentQuantile(int64_t degrees, double confidence);

 private:
  // n S2 - S1^2, exact, of the observations scaled by 2^-shift.
  ExactSum SpreadNumerator(int& shift) const;

  int64_t count = 0;
  ExactSum sum;
  ExactSum squares;
  bool binary = true;
};

#endif
