#include "simmgr/RunningStatistics.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <boost/math/distributions/students_t.hpp>

#include "simmgr/MathPolicy.h"

void RunningStatistics::Merge(const RunningStatistics& other) {
  count += other.count;
  sum.Merge(other.sum);
  squares.Merge(other.squares);
  binary = binary && other.binary;
}

double RunningStatistics::Mean() const {
  if (count <= 0) return 0.0;
  // Adding 0 turns a mean of -0 (observations all -0, which a simulator
  // may send) into 0, which the table and the files show as "0", not "-0";
  // every other value is left as it is. A sum that overflowed both ways
  // is NaN, whose sign (set by the processor) means nothing: it is shown
  // as "nan", not "-nan".
  const double mean = sum.Quotient(static_cast<double>(count)) + 0.0;
  return std::isnan(mean) ? std::numeric_limits<double>::quiet_NaN() : mean;
}

// n S2 - S1^2 exactly: every product is split into its rounded value and its
// error, so the difference, which cancels most of the digits when the
// variance is small beside the mean, is rounded only once. Observations so
// large that n S2 would leave the range of doubles are scaled by 2^-shift
// first (exactly), so the numerator is that of the scaled observations.
ExactSum RunningStatistics::SpreadNumerator(int& shift) const {
  const double n = static_cast<double>(count);
  shift = 0;
  const double squaresValue = squares.Value();
  if (squaresValue > 0.0) shift = std::max(0, (std::ilogb(n) + std::ilogb(squaresValue) - 960) / 2 + 1);
  ExactSum numerator;
  for (double s : squares.Partials()) numerator.AddProduct(n, std::ldexp(s, -2 * shift));
  std::vector<double> parts = sum.Partials();
  for (double& a : parts) a = std::ldexp(a, -shift);
  for (double a : parts) {
    for (double b : parts) numerator.AddProduct(-a, b);
  }
  return numerator;
}

double RunningStatistics::Variance() const {
  if (count < 2) return 0.0;
  if (!sum.Finite() || !squares.Finite()) return std::numeric_limits<double>::quiet_NaN();
  int shift = 0;
  const ExactSum numerator = SpreadNumerator(shift);
  const double n = static_cast<double>(count);
  const double variance = std::ldexp(numerator.Quotient(n, n - 1.0), 2 * shift);
  if (std::isnan(variance)) return variance;
  return variance > 0.0 ? variance : 0.0;
}

double RunningStatistics::StudentQuantile(int64_t degrees, double confidence) {
  if (degrees < 1 || !(confidence > 0.0 && confidence < 1.0)) {
    return std::numeric_limits<double>::infinity();
  }
  const boost::math::students_t_distribution<double, MathNoThrow> distribution(
      static_cast<double>(degrees));
  // The upper tail itself, as for the normal quantile.
  return boost::math::quantile(boost::math::complement(distribution, (1.0 - confidence) / 2.0));
}

double RunningStatistics::HalfWidth(double confidence) const {
  if (count < 2) return std::numeric_limits<double>::infinity();
  return StudentQuantile(count - 1, confidence) *
         std::sqrt(Variance() / static_cast<double>(count));
}

bool RunningStatistics::FromParts(int64_t count, const ExactSum& sum, const ExactSum& squares,
                                  bool binary, RunningStatistics& statistics) {
  if (count < 0) return false;
  if (count == 0 && (sum.Sign() != 0 || squares.Sign() != 0 || !sum.Finite())) return false;
  if (squares.Sign() < 0) return false;
  if (binary) {
    // Observations of 0 and 1: the sum is the number of ones, at most the
    // count, and equals the sum of squares.
    const double ones = sum.Value();
    if (!sum.Finite() || ones < 0.0 || ones > static_cast<double>(count) || ones != std::floor(ones) ||
        squares.Value() != ones) {
      return false;
    }
  }
  statistics.count = count;
  statistics.sum = sum;
  statistics.squares = squares;
  statistics.binary = binary;
  // Real observations x_i have n sum(x_i^2) >= (sum x_i)^2, exactly as the
  // sums are exact: sums below that (edited by hand, say) would give a
  // negative variance, taken as 0, and an interval of no width. The
  // tolerances only cover what is not exact: the scaling of very large
  // observations, and products below 2^-969, whose rounding errors are
  // lost to underflow (up to 2^-1074 each: n of them in the squares, taken
  // n times, and one per product of the sum's parts). Equal observations
  // of 1e-162, whose squares round to 0, are such a case; any real
  // disagreement of the sums is far above.
  if (count >= 1 && sum.Finite() && squares.Finite()) {
    int shift = 0;
    const ExactSum numerator = statistics.SpreadNumerator(shift);
    const double scale = static_cast<double>(count) * std::ldexp(squares.Value(), -2 * shift);
    const double n = static_cast<double>(count);
    const double parts = static_cast<double>(sum.Partials().size());
    const double underflow = std::ldexp(n * n + parts * parts, -1074 + 1);
    if (numerator.Sign() < 0 && -numerator.Value() > underflow &&
        (shift == 0 || -numerator.Value() > std::ldexp(scale, -60))) {
      return false;
    }
  }
  return true;
}
