#ifndef TRACE_FILE_CONTAINER_H
#define TRACE_FILE_CONTAINER_H

#include <vector>

#include "trace/TraceFile.h"

// The one trace object the simulator talks to: forwards every trace event to
// each registered writer, in registration order.
//
// Ownership: the writers and the reward model stay their owners'; the
// container holds pointers only.
class TraceFileContainer : public TraceFile {
 public:
  TraceFileContainer();

  // Appends a writer (a null writer is ignored). Registering the same writer twice makes it receive
  // every event twice.
  void AddTraceFile(TraceFile* writer);
  // Does nothing: writers stay registered for the container's lifetime.
  void RemoveTraceFile(TraceFile* writer);
  void addPVModel(PVModel* model) { pvModel = model; }

  // printHeader(pvModel), printState(pvModel) and printInitialState(top model
  // of pvModel) on every writer.
  void printHeader();
  void printState();
  void printInitialState();

  // Do nothing on the container itself.
  void printHeader(PVModel* model) override;
  void printState(BaseModelClass* model) override;
  void printState(PVModel* model) override;
  using TraceFile::printInitialState;

  // Forwarded with the same arguments to every writer.
  void printFooter() override;
  void printFireAction(BaseActionClass* action, double time) override;
  void printPreFireAction(BaseActionClass* action) override;
  void printPostFireAction(BaseActionClass* action, BaseActionClass* selected) override;
  void newBatch() override;
  void printStr(int level, char* text) override;
  // Formats into a 1024-character buffer (longer text is cut to 1023
  // characters) and hands it to printStr of every writer.
  void printf(int level, const char* format, ...) override
      __attribute__((format(printf, 3, 4)));

 private:
  // CheckWritten of writer; a failure it reports is taken as reported by
  // every other writer on the same stream, which failed with it.
  void CheckWriter(TraceFile* writer);

  // ---- Fields, after those of TraceFile. ----
  PVModel* pvModel;
  std::vector<TraceFile*> traceFiles;
};

#endif
