#include "simmgr/ExperimentSelection.h"

#include <algorithm>

namespace {

// Reads a decimal number of at most nine digits from text[from, to).
bool ReadNumber(const std::string& text, size_t from, size_t to, int& value) {
  if (from >= to || to - from > 9) return false;
  value = 0;
  for (size_t i = from; i < to; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

bool ExperimentSelection::Parse(const std::string& text, int numExperiments,
                                std::vector<int>& experiments, std::string& error) {
  experiments.clear();
  size_t from = 0;
  for (;;) {
    size_t end = text.find(',', from);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(from, end - from);
    const size_t dash = item.find('-');
    int first = 0;
    int last = 0;
    bool good;
    if (dash == std::string::npos) {
      good = ReadNumber(item, 0, item.size(), first);
      last = first;
    } else {
      good = ReadNumber(item, 0, dash, first) && ReadNumber(item, dash + 1, item.size(), last);
    }
    if (!good) {
      error = "'" + item + "' in the experiment list '" + text +
              "' is neither a number nor a range like 8-11";
      return false;
    }
    if (last < first) {
      error = "the range '" + item + "' ends before it starts";
      return false;
    }
    if (last >= numExperiments) {
      error = "experiment " + std::to_string(last) + " does not exist: the study has experiments 0 to " +
              std::to_string(numExperiments - 1);
      return false;
    }
    for (int k = first; k <= last; ++k) experiments.push_back(k);
    if (end == text.size()) break;
    from = end + 1;
  }
  std::sort(experiments.begin(), experiments.end());
  experiments.erase(std::unique(experiments.begin(), experiments.end()), experiments.end());
  return true;
}
