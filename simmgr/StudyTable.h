#ifndef STUDY_TABLE_H
#define STUDY_TABLE_H

#include <string>
#include <vector>

// What the manager needs to know of the study it runs, read from the same
// model library the simulator is built from, so that the two always agree:
// the experiments, the global variables with their values in each
// experiment, and the reward variables the simulator reports, in the order
// of the variable indices of its data records.
class StudyTable {
 public:
  struct GlobalVariable {
    std::string name;
    std::string type;
  };

  // One performance variable: a reward variable observed at one time point.
  struct RewardVariable {
    std::string name;
    double time = 0.0;
    // False for a steady-state variable, which a terminating run never
    // reports.
    bool terminating = true;
    // "<name>@<time>", as the results name it.
    std::string label;
  };

  // Builds the study and its reward model, copies what is listed above and
  // destroys them again. Call once, before any simulator is started.
  void Load();

  int NumExperiments() const { return numExperiments; }
  const std::vector<GlobalVariable>& Globals() const { return globals; }
  const std::vector<RewardVariable>& Rewards() const { return rewards; }
  // Value of global variable `g` in experiment `k`, and its text as the
  // study's type prints it (shortest text that reads back to the same value).
  double Value(int k, int g) const { return values[k][g]; }
  const std::string& ValueText(int k, int g) const { return texts[k][g]; }
  // Index of the global variable named `name`; -1 when there is none.
  int FindGlobal(const std::string& name) const;

 private:
  int numExperiments = 0;
  std::vector<GlobalVariable> globals;
  std::vector<RewardVariable> rewards;
  std::vector<std::vector<double>> values;
  std::vector<std::vector<std::string>> texts;
};

#endif
