#ifndef TRACE_FILE_KORVAN_H
#define TRACE_FILE_KORVAN_H

#include <iostream>

#include "Cpp/BaseClasses/List.h"
#include "trace/TraceFile.h"

// The stream of the most recently constructed plain-text writer; standard
// output until one is constructed with a stream, and again after that writer
// is destroyed.
extern std::ostream* trout;

// The plain-text trace: human-readable lines, each ended and flushed. Firing
// records are written at level 1 and above, the enabling and affected state
// blocks at level 2 and above. printf and printStr write nothing.
class TraceFileKorvan : public TraceFile {
 public:
  TraceFileKorvan();
  explicit TraceFileKorvan(const char* fileName);
  TraceFileKorvan(const char* fileName, Held held);
  explicit TraceFileKorvan(std::ostream* stream);
  ~TraceFileKorvan() override;

  void printHeader(PVModel* pvModel) override;
  void printFooter() override;
  void printInitialState(BaseModelClass* model) override;
  // The model's line, its places (leaf by leaf) and, depth first, its
  // submodels.
  void printState(BaseModelClass* model) override;
  void printState(PVModel* pvModel) override;
  void printFireAction(BaseActionClass* action, double time) override;
  void printPreFireAction(BaseActionClass* action) override;
  void printPostFireAction(BaseActionClass* action, BaseActionClass* selected) override;
  void newBatch() override;

 private:
  void PublishStream();
  // "  ", the full name, " = ", the value, line end: one line per variable.
  void WriteVariables(const List<BaseStateVariableClass>& variables);
  // "(", the number of the action's model, ")"; "()" for an action no model
  // has collected.
  void WriteModelNumber(BaseActionClass* action);
};

#endif
