#include "simmgr/StoppingRule.h"

#include <algorithm>
#include <cmath>

double StoppingRule::RuleHalfWidth(const RunningStatistics& statistics) const {
  const int64_t n = statistics.Count();
  if (n < 2) return INFINITY;
  if (statistics.Variance() == 0.0) return -std::log1p(-confidence) / static_cast<double>(n);
  return statistics.HalfWidth(confidence);
}

bool StoppingRule::Precise(const RunningStatistics& statistics) const {
  if (Fixed()) return statistics.Count() >= replications;
  if (statistics.Count() < std::max<int64_t>(minReplications, 2)) return false;
  const double h = RuleHalfWidth(statistics);
  if (absolute > 0.0 && h <= absolute) return true;
  const double mean = std::fabs(statistics.Mean());
  return relative > 0.0 && mean > 0.0 && h <= relative * mean;
}

int64_t StoppingRule::EstimateNeeded(const RunningStatistics& statistics) const {
  if (Fixed()) return replications;
  const int64_t n = statistics.Count();
  if (n < 2 || Precise(statistics)) return std::max(n, minReplications);
  // The half-width shrinks like 1/sqrt(n).
  double target = 0.0;
  if (absolute > 0.0) target = absolute;
  if (relative > 0.0 && statistics.Mean() != 0.0) {
    target = std::max(target, relative * std::fabs(statistics.Mean()));
  }
  if (target <= 0.0) return maxReplications;
  const double ratio = RuleHalfWidth(statistics) / target;
  const double needed = static_cast<double>(n) * ratio * ratio;
  if (!(needed < static_cast<double>(maxReplications))) return maxReplications;
  return std::max<int64_t>(static_cast<int64_t>(needed) + 1, minReplications);
}
