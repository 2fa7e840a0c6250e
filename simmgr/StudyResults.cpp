#include "simmgr/StudyResults.h"

bool StudyResults::Complete() const {
  for (const Experiment& e : experiments) {
    if (e.status != "complete") return false;
  }
  return true;
}

int StudyResults::PlottedVariable() const {
  int best = -1;
  const std::vector<StudyTable::RewardVariable>& rewards = study->Rewards();
  for (size_t v = 0; v < rewards.size(); ++v) {
    if (!rewards[v].terminating) continue;
    if (best < 0 || rewards[v].time >= rewards[best].time) best = static_cast<int>(v);
  }
  return best;
}

StudyResults::Variable StudyResults::Summarise(const RunningStatistics& statistics, const StoppingRule& rule) {
  Variable v;
  v.replications = statistics.Count();
  v.mean = statistics.Mean();
  v.variance = statistics.Variance();
  const ConfidenceInterval interval = rule.Interval(statistics);
  v.method = interval.Used();
  v.interval = interval.Valid();
  v.low = interval.Low();
  v.high = interval.High();
  v.halfWidth = interval.HalfWidth(v.mean);
  return v;
}
