#ifndef EXPERIMENT_SELECTION_H
#define EXPERIMENT_SELECTION_H

#include <string>
#include <vector>

// The experiments a user asked for, written as a comma-separated list of
// numbers and ranges ("0-35", "0,4,8-11"), numbered from 0 as the simulator
// numbers them.
class ExperimentSelection {
 public:
  // Parses `text` against a study of `numExperiments` experiments. The
  // result is sorted and free of repeats. False, with a message in `error`,
  // for an empty text or item, anything but digits, one '-' per range, and
  // ',' between items, a range whose end is below its start, or a number
  // outside 0 .. numExperiments - 1.
  static bool Parse(const std::string& text, int numExperiments, std::vector<int>& experiments,
                    std::string& error);
};

#endif
