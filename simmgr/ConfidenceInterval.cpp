#include "simmgr/ConfidenceInterval.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <boost/math/distributions/beta.hpp>
#include <boost/math/distributions/normal.hpp>

#include "simmgr/MathPolicy.h"

namespace {

// The number of ones among 0/1 observations: their exact sum.
int64_t Ones(const RunningStatistics& statistics) {
  return static_cast<int64_t>(std::llround(statistics.Sum().Value()));
}

}  // namespace

double ConfidenceInterval::NormalQuantile(double confidence) {
  if (!(confidence > 0.0 && confidence < 1.0)) return std::numeric_limits<double>::infinity();
  const boost::math::normal_distribution<double, MathNoThrow> normal;
  // The upper tail itself (1 - confidence is exact for levels from 0.5 on):
  // 0.5 + confidence / 2, rounded to a double, loses the tail's digits at
  // levels close to 1 and gives a smaller quantile.
  return boost::math::quantile(boost::math::complement(normal, (1.0 - confidence) / 2.0));
}

ConfidenceInterval ConfidenceInterval::ClopperPearson(int64_t ones, int64_t n, double confidence) {
  ConfidenceInterval interval;
  interval.used = kClopperPearson;
  if (n < 1 || ones < 0 || ones > n || !(confidence > 0.0 && confidence < 1.0)) return interval;
  const double tail = (1.0 - confidence) / 2.0;
  const double x = static_cast<double>(ones);
  const double m = static_cast<double>(n);
  interval.low = ones == 0 ? 0.0
                           : boost::math::quantile(boost::math::beta_distribution<double, MathNoThrow>(x, m - x + 1.0), tail);
  interval.high = ones == n ? 1.0
                            : boost::math::quantile(boost::math::complement(
                                  boost::math::beta_distribution<double, MathNoThrow>(x + 1.0, m - x), tail));
  interval.valid = std::isfinite(interval.low) && std::isfinite(interval.high);
  return interval;
}

ConfidenceInterval ConfidenceInterval::Wilson(int64_t ones, int64_t n, double confidence) {
  ConfidenceInterval interval;
  interval.used = kWilson;
  if (n < 1 || ones < 0 || ones > n || !(confidence > 0.0 && confidence < 1.0)) return interval;
  const double z = NormalQuantile(confidence);
  const double x = static_cast<double>(ones);
  const double m = static_cast<double>(n);
  const double denominator = m + z * z;
  const double centre = (x + z * z / 2.0) / denominator;
  const double half = z / denominator * std::sqrt(x * (m - x) / m + z * z / 4.0);
  // The ends at x = 0 and x = n are exactly 0 and 1; rounding must not move
  // them past.
  interval.low = ones == 0 ? 0.0 : std::max(0.0, centre - half);
  interval.high = ones == n ? 1.0 : std::min(1.0, centre + half);
  interval.valid = std::isfinite(interval.low) && std::isfinite(interval.high);
  return interval;
}

ConfidenceInterval ConfidenceInterval::Of(Method method, const RunningStatistics& statistics,
                                          double confidence) {
  const int64_t n = statistics.Count();
  if (n < 2 || !statistics.Sum().Finite() || !statistics.SumOfSquares().Finite() ||
      !(confidence > 0.0 && confidence < 1.0)) {
    ConfidenceInterval none;
    none.used = method == kAutomatic ? (statistics.Binary() ? kClopperPearson : kStudentT) : method;
    return none;
  }
  const bool binary = statistics.Binary();
  if (binary && (method == kAutomatic || method == kClopperPearson)) {
    return ClopperPearson(Ones(statistics), n, confidence);
  }
  if (binary && method == kWilson) return Wilson(Ones(statistics), n, confidence);
  const int64_t ones = binary ? Ones(statistics) : -1;
  if (binary && (ones == 0 || ones == n)) {
    ConfidenceInterval exact = ClopperPearson(ones, n, confidence);
    exact.used = kStudentT;
    return exact;
  }
  ConfidenceInterval interval;
  interval.used = kStudentT;
  const double mean = statistics.Mean();
  // Observations that are all equal but not all 0 or 1 give a t interval
  // without width, which would claim certainty from two of them. The
  // distance from 0 of the upper bound of a probability whose event was not
  // seen in n trials stands in for its half-width. So it does where the
  // variance is not 0 but so small (observations of 1e-162 and less) that
  // the half-width underflows to 0.
  const double t = statistics.Variance() == 0.0 ? 0.0 : statistics.HalfWidth(confidence);
  // (Only a half-width of 0: one that is not a number keeps the interval
  // invalid.)
  const double half = t == 0.0 ? -std::log1p(-confidence) / static_cast<double>(n) : t;
  interval.low = mean - half;
  interval.high = mean + half;
  // A half-width below half a unit in the last place of the mean (equal
  // observations of 1e17, or a spread tiny beside a large mean) rounds both
  // ends onto the mean: an interval of no width, which the stopping rule
  // would take for any precision asked. The ends go out to the neighbouring
  // doubles instead, the narrowest interval that holds the mean and its
  // rounding; wider ones are as they were.
  if (half > 0.0 && interval.low == mean) interval.low = std::nextafter(mean, -HUGE_VAL);
  if (half > 0.0 && interval.high == mean) interval.high = std::nextafter(mean, HUGE_VAL);
  interval.valid = std::isfinite(interval.low) && std::isfinite(interval.high);
  return interval;
}

double ConfidenceInterval::HalfWidth(double mean) const {
  if (!valid) return std::numeric_limits<double>::infinity();
  return std::max(mean - low, high - mean);
}

const char* ConfidenceInterval::Name(Method method) {
  switch (method) {
    case kAutomatic: return "auto";
    case kClopperPearson: return "clopper-pearson";
    case kWilson: return "wilson";
    case kStudentT: return "t";
  }
  return "?";
}

const char* ConfidenceInterval::Title(Method method) {
  switch (method) {
    case kAutomatic: return "automatic";
    case kClopperPearson: return "Clopper-Pearson";
    case kWilson: return "Wilson";
    case kStudentT: return "Student t";
  }
  return "?";
}

bool ConfidenceInterval::Parse(const std::string& text, Method& method) {
  for (Method m : {kAutomatic, kClopperPearson, kWilson, kStudentT}) {
    if (text == Name(m)) {
      method = m;
      return true;
    }
  }
  return false;
}
