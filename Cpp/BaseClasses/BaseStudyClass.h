#ifndef BASE_STUDY_CLASS_H
#define BASE_STUDY_CLASS_H

#include <string>

class PVModel;

// Base of a generated study: the model's global variables (names and type
// names), the number of experiments, the installation root and the reward
// model built for the chosen experiment.
//
// Ownership: the name and type tables are arrays made with new[] by the
// derived study; each entry is a heap copy made with strdup. The study
// releases every entry below numGVs with free and both tables with delete[].
// The reward model is owned (built and deleted) by the derived study.
class BaseStudyClass {
 public:
  BaseStudyClass();
  BaseStudyClass(const BaseStudyClass&) = delete;
  BaseStudyClass& operator=(const BaseStudyClass&) = delete;
  virtual ~BaseStudyClass();

  // Base: the stored reward model; the flag is ignored.
  virtual PVModel* GetPVModel(bool expandTimePoints);
  // Base: writes the line "basestudyclass::SetGVs".
  virtual void SetGVs(int experiment);
  // Base: does nothing.
  virtual void PrintGlobalValues(int experiment);
  // Base: null.
  virtual void* GetGVValue(char* name);
  // Copies a value of the named variable's own width from value. Base: nothing.
  virtual void OverrideGVValue(char* name, void* value);

  // The root string itself, not a copy.
  char* GetDefaultKorvanRoot();
  // Replaces the root with a copy of root (null stores an empty string).
  void SetDefaultKorvanRoot(char* root);

  int GetNumGVs() const { return numGVs; }
  // REQUIRES: 0 <= i < GetNumGVs().
  char* GetGVName(int i);
  char* GetGVType(int i);
  int GetNumExps() const { return numExperiments; }

  // "Experiment <experiment + 1>" in one static buffer that the next call
  // overwrites.
  static char* GetExpName(int experiment);

  // Applies a string of colon-separated groups "letter:name:value", each
  // converted by its type letter (b c d f i l s) and handed to
  // OverrideGVValue. A null string does nothing. A group whose value text does
  // not convert under its letter is reported on standard output and skipped.
  void overrideGVs(char* overrides);

  // `text` fit to be printed in a message: control characters and the
  // backslash written as \xNN (an override's text is the user's, newlines
  // and escape sequences included), a null pointer as "(null)".
  static std::string Printable(const char* text);
  // A result file's name as the simulator's messages show it: Printable
  // when it holds a control character, else byte for byte (backslashes
  // included). simmgr finds the report of its ASCII file by this text, so
  // both sides take it from here.
  static std::string ShownFileName(const char* name);

 protected:
  char** gvNames = nullptr;
  char** gvTypes = nullptr;
  PVModel* thePVModel = nullptr;
  int numGVs = 0;
  int numExperiments = 0;
  char* defaultRoot = nullptr;
};

#endif
