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
