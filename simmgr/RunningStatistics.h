#ifndef RUNNING_STATISTICS_H
#define RUNNING_STATISTICS_H

#include <cstdint>

// Mean and variance of a stream of observations, updated one observation at
// a time, and the Student's t confidence interval of the mean. The variance
// follows Welford's method (no difference of large sums of squares); the
// mean is the plain sum over the count, which is exact for counts of
// events such as 0/1 observations.
class RunningStatistics {
 public:
  void Add(double x) {
    ++count;
    sum += x;
    const double delta = x - runningMean;
    runningMean += delta / static_cast<double>(count);
    sumSquaredDeviations += delta * (x - runningMean);
  }

  int64_t Count() const { return count; }
  double Mean() const { return count > 0 ? sum / static_cast<double>(count) : 0.0; }
  // The unbiased sample variance; 0 below two observations.
  double Variance() const;
  // Half the width of the two-sided interval at `confidence` (0 < c < 1):
  // t(n-1, (1+c)/2) * sqrt(variance / n). Infinite below two observations.
  double HalfWidth(double confidence) const;

  // The (1+c)/2 quantile of Student's t with `degrees` degrees of freedom;
  // infinite for no degrees of freedom or a confidence outside (0, 1).
  static double StudentQuantile(int64_t degrees, double confidence);

 private:
  int64_t count = 0;
  double sum = 0.0;
  double runningMean = 0.0;
  double sumSquaredDeviations = 0.0;
};

#endif
