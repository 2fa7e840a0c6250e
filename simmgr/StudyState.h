#ifndef STUDY_STATE_H
#define STUDY_STATE_H

#include <cstdint>
#include <string>
#include <vector>

#include "simmgr/SequentialTest.h"
#include "simmgr/SimulatorAttempt.h"
#include "simmgr/StoppingRule.h"
#include "simmgr/StudyTable.h"

// What a study has collected, saved so that it can be taken further
// (simmgr --resume): the settings that decide its random streams and what
// its experiments are, the stopping rule, and for every experiment every
// simulator process that ran for it with the sufficient statistics it
// contributed (count, exact sum and exact sum of squares per variable).
// Nothing else is needed to continue: observations themselves are not kept.
//
// The file is JSON ("state.json" in the output folder), rewritten whole
// after every hand-over through a temporary file renamed over the old one,
// so that it is always a complete state: a manager killed at any moment
// loses at most the hand-over it was taking in.
class StudyState {
 public:
  struct Experiment {
    int experiment = 0;
    std::vector<SimulatorAttempt> attempts;  // ended ones, and the running one
    // The sequential test's decision, when one was made, and the
    // replications it took.
    SequentialTest::Decision decision = SequentialTest::kUndecided;
    int64_t decisionReplications = 0;
  };

  uint32_t baseSeed = 0;
  int generator = 0;
  // Segments run so far; the next one is numbered `segments`.
  int segments = 0;
  StoppingRule rule;
  std::vector<Experiment> experiments;

  // The study's definition as this program knows it (global variables with
  // their types and values per experiment, reward variables) and as saved.
  void Describe(const StudyTable& study);
  // False, with what differs, when the saved study is not the one `study`
  // describes.
  bool SameStudy(const StudyTable& study, std::string& error) const;

  // Writes the state to `path` atomically. False, with the reason, when it
  // cannot.
  bool Save(const std::string& path, std::string& error) const;
  // Save in parts, for a caller that saves often and keeps the parts that
  // did not change: the document without its experiments (HeadText), each
  // experiment's entry (ExperimentText), and Write, which puts them
  // together into exactly the text Save writes.
  std::string HeadText() const;
  static std::string ExperimentText(const Experiment& experiment);
  // `durable` as for ResultsWriter::WriteText.
  static bool Write(const std::string& path, const std::string& head,
                    const std::vector<std::string>& experimentTexts, std::string& error,
                    bool durable = false);
  // Reads a state written by Save. False, with the reason, for a missing,
  // unreadable, malformed or inconsistent file; `state` is then
  // unspecified. Attempts saved while running are read as ended by the
  // manager's end.
  static bool Load(const std::string& path, StudyState& state, std::string& error);
  // Whether the JSON text nests arrays and objects deeper than `limit`
  // (brackets inside strings aside). The parser keeps a frame per level, so
  // a damaged or hostile file of a few hundred megabytes of brackets would
  // take gigabytes; the files simmgr writes nest fewer than ten levels.
  static bool NestsDeeperThan(const std::string& text, int limit);

 private:
  struct Global {
    std::string name;
    std::string type;
    std::vector<std::string> values;  // per experiment, as the study prints them
  };
  int numExperiments = 0;
  std::vector<Global> globals;
  std::vector<std::string> rewards;  // labels
};

#endif
