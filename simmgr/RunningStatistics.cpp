#include "simmgr/RunningStatistics.h"

#include <cmath>
#include <limits>

#include <boost/math/distributions/students_t.hpp>

namespace {

// Boost.Math reports domain and evaluation problems by throwing unless told
// otherwise; the arguments are checked before every call, and anything left
// is turned into a value instead.
using NoThrow = boost::math::policies::policy<
    boost::math::policies::domain_error<boost::math::policies::ignore_error>,
    boost::math::policies::pole_error<boost::math::policies::ignore_error>,
    boost::math::policies::overflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::evaluation_error<boost::math::policies::ignore_error>,
    boost::math::policies::rounding_error<boost::math::policies::ignore_error>>;

}  // namespace

double RunningStatistics::Variance() const {
  if (count < 2) return 0.0;
  return sumSquaredDeviations / static_cast<double>(count - 1);
}

double RunningStatistics::StudentQuantile(int64_t degrees, double confidence) {
  if (degrees < 1 || !(confidence > 0.0 && confidence < 1.0)) {
    return std::numeric_limits<double>::infinity();
  }
  const boost::math::students_t_distribution<double, NoThrow> distribution(
      static_cast<double>(degrees));
  return boost::math::quantile(distribution, 0.5 + confidence / 2.0);
}

double RunningStatistics::HalfWidth(double confidence) const {
  if (count < 2) return std::numeric_limits<double>::infinity();
  return StudentQuantile(count - 1, confidence) *
         std::sqrt(Variance() / static_cast<double>(count));
}
