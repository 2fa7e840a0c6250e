#include "simmgr/StoppingRule.h"

#include <algorithm>
#include <cmath>

#include "Cpp/BaseClasses/KorvanAssert.h"

namespace {

// The look after `look` (below `limit`): twice as many replications, or
// `limit` when that is no further; doubling near the end of int64_t's
// range would overflow.
int64_t Doubled(int64_t look, int64_t limit) { return look > (limit - 1) / 2 ? limit : look * 2; }

// The smallest n in [low, high] with narrow(n), by bisection, for a
// `narrow` that holds from some n on (and at `high`).
template <typename Narrow>
int64_t FirstNarrow(int64_t low, int64_t high, Narrow narrow) {
  while (low < high) {
    const int64_t middle = low + (high - low) / 2;
    if (narrow(middle)) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return high;
}

// The widest half-width (the larger distance from the mean to an end) of
// the Clopper-Pearson interval of `n` 0/1 observations at `level`, over
// every number of ones. It lies near a mean of 1/2, a little off it where
// the interval's unevenness outweighs the smaller variance: searched for
// among the means up to 1/2 (the others mirror them), the distance being
// unimodal in x there.
double WidestHalfWidth(int64_t n, double level) {
  auto width = [&](int64_t x) {
    const ConfidenceInterval ci = ConfidenceInterval::ClopperPearson(x, n, level);
    return ci.HalfWidth(static_cast<double>(x) / static_cast<double>(n));
  };
  int64_t low = 0;
  int64_t high = n / 2;
  while (high - low > 2) {
    const int64_t a = low + (high - low) / 3;
    const int64_t b = high - (high - low) / 3;
    if (width(a) < width(b)) {
      low = a + 1;
    } else {
      high = b;
    }
  }
  double widest = 0.0;
  for (int64_t x = low; x <= high; ++x) widest = std::max(widest, width(x));
  return widest;
}

}  // namespace

int StoppingRule::Looks() const {
  if (!Precision()) return 1;
  if (TwoStage()) return 2;
  int looks = 1;
  for (int64_t n = std::max<int64_t>(minReplications, 2); n < maxReplications; n = Doubled(n, maxReplications)) {
    ++looks;
  }
  return looks;
}

int64_t StoppingRule::WorstCase() const {
  StoppingRule trial = *this;
  auto halfWidth = [&](int64_t n) { return WidestHalfWidth(n, trial.IntervalConfidence()); };
  // Fewer looks allow a lower level, which needs fewer replications, which
  // allow fewer looks: repeated until the number of looks settles. Starting
  // from a maximum below the worst case (an absolute target of 0.0003 at
  // 95% needs more than the default 10 000 000), the count grows instead:
  // more looks ask for a higher level and so for more replications. A
  // maximum whose looks outnumber those its level was computed for would
  // leave the widest interval above the target at the last look.
  // After a pilot the replications are counted from it: its size is no
  // lower bound.
  const int64_t least = TwoStage() ? 2 : std::max<int64_t>(minReplications, 2);
  bool grew = false;
  for (;;) {
    const int looks = trial.Looks();
    int64_t low = least;
    int64_t high = low;
    while (halfWidth(high) > absolute && high < kMostReplications) high *= 2;
    high = FirstNarrow(low, high, [&](int64_t n) { return halfWidth(n) <= absolute; });
    trial.maxReplications = std::max(high, least);
    const int now = trial.Looks();
    if (now == looks || (now < looks && grew)) return trial.maxReplications;
    grew = grew || now > looks;
  }
}

bool StoppingRule::WorstCaseReachable() const {
  StoppingRule trial = *this;
  trial.maxReplications = kMostReplications;
  return WidestHalfWidth(kMostReplications, trial.IntervalConfidence()) <= absolute;
}

double StoppingRule::IntervalConfidence() const {
  const double perVariable = simultaneous ? std::max(variables, 1) : 1;
  if (TwoStage()) return 1.0 - (1.0 - kPlannedShare) * (1.0 - confidence) / perVariable;
  return 1.0 - (1.0 - confidence) / (static_cast<double>(Looks()) * perVariable);
}

double StoppingRule::PlannedConfidence() const {
  const double perVariable = simultaneous ? std::max(variables, 1) : 1;
  return 1.0 - kPlannedShare * (1.0 - confidence) / perVariable;
}

double StoppingRule::LevelAt(int64_t n) const {
  if (!Planned()) return IntervalConfidence();
  for (size_t i = 0; i < plan.size(); ++i) {
    if (n <= plan[i]) return planLevels[i];
  }
  return planLevels.back();
}

int64_t StoppingRule::PlannedNeed(const RunningStatistics& pilot) const {
  const int64_t limit = Limit();
  const int64_t m = pilot.Count();
  if (!(absolute > 0.0) || m < 2 || !pilot.Binary()) return limit;
  // The probability taken on the side nearer 1/2, where intervals are
  // wider: the variable then most likely needs no more than planned.
  const int64_t ones = std::llround(pilot.Sum().Value());
  const ConfidenceInterval bound = ConfidenceInterval::ClopperPearson(ones, m, kPilotConfidence);
  const double mean = static_cast<double>(ones) / static_cast<double>(m);
  const double p = mean <= 0.5 ? std::min(bound.High(), 0.5) : std::max(bound.Low(), 0.5);
  const double level = PlannedConfidence();
  auto halfWidth = [&](int64_t n) {
    const int64_t x = std::llround(p * static_cast<double>(n));
    const ConfidenceInterval ci = ConfidenceInterval::ClopperPearson(x, n, level);
    return ci.HalfWidth(static_cast<double>(x) / static_cast<double>(n));
  };
  if (halfWidth(limit) > absolute) return limit;
  return FirstNarrow(2, limit, [&](int64_t n) { return halfWidth(n) <= absolute; });
}

StoppingRule StoppingRule::Planned(const std::vector<RunningStatistics>& pilot,
                                   const std::vector<bool>& considered) const {
  KORVAN_ASSERT(TwoStage());
  StoppingRule planned = *this;
  int64_t need = 2;
  for (size_t v = 0; v < pilot.size() && v < considered.size(); ++v) {
    if (considered[v]) need = std::max(need, PlannedNeed(pilot[v]));
  }
  const int64_t limit = Limit();
  planned.plan.clear();
  planned.planLevels.clear();
  if (need < limit) {
    planned.plan.push_back(need);
    planned.planLevels.push_back(PlannedConfidence());
  }
  planned.plan.push_back(limit);
  planned.planLevels.push_back(IntervalConfidence());
  return planned;
}

int64_t StoppingRule::NextLook(int64_t n) const {
  if (!Precision()) return Limit();
  if (TwoStage()) {
    for (int64_t look : plan) {
      if (look >= n) return std::min(look, Limit());
    }
    return Limit();
  }
  int64_t look = std::max<int64_t>(minReplications, 2);
  while (look < n && look < maxReplications) look = Doubled(look, maxReplications);
  return std::min(look, maxReplications);
}

ConfidenceInterval StoppingRule::Interval(const RunningStatistics& statistics) const {
  return ConfidenceInterval::Of(method, statistics, LevelAt(statistics.Count()));
}

double StoppingRule::RuleHalfWidth(const RunningStatistics& statistics) const {
  const int64_t n = statistics.Count();
  if (n < 2) return INFINITY;
  // The interval reported is the one compared (all-equal observations
  // included: see ConfidenceInterval::Of).
  return Interval(statistics).HalfWidth(statistics.Mean());
}

bool StoppingRule::Precise(const RunningStatistics& statistics) const {
  if (Fixed()) return statistics.Count() >= replications;
  if (Hypothesis()) return false;
  // In two-stage mode the minimum is the pilot's, which is not counted.
  if (statistics.Count() < (TwoStage() ? 2 : std::max<int64_t>(minReplications, 2))) return false;
  const double h = RuleHalfWidth(statistics);
  // No interval (observations whose sum overflowed, with an infinite mean)
  // meets no target, a share of that infinite mean included.
  if (!std::isfinite(h)) return false;
  if (absolute > 0.0 && h <= absolute) return true;
  const double mean = std::fabs(statistics.Mean());
  return relative > 0.0 && mean > 0.0 && h <= relative * mean;
}

int64_t StoppingRule::EstimateNeeded(const RunningStatistics& statistics) const {
  if (Fixed()) return replications;
  if (Hypothesis()) return std::max<int64_t>(statistics.Count(), 1000);
  const int64_t n = statistics.Count();
  if (n < 2 || Precise(statistics)) return std::max(n, minReplications);
  // The half-width shrinks like 1/sqrt(n); the run then goes on to the
  // next look.
  double target = 0.0;
  if (absolute > 0.0) target = absolute;
  if (relative > 0.0 && statistics.Mean() != 0.0) {
    target = std::max(target, relative * std::fabs(statistics.Mean()));
  }
  if (target <= 0.0) return maxReplications;
  const double ratio = RuleHalfWidth(statistics) / target;
  const double needed = static_cast<double>(n) * ratio * ratio;
  if (!(needed < static_cast<double>(maxReplications))) return maxReplications;
  return NextLook(std::max<int64_t>(static_cast<int64_t>(needed) + 1, minReplications));
}
