#include "trace/TraceFileContainer.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

TraceFileContainer::TraceFileContainer() : pvModel(nullptr) {}

void TraceFileContainer::AddTraceFile(TraceFile* writer) {
  if (writer != nullptr) traceFiles.push_back(writer);
}

void TraceFileContainer::RemoveTraceFile(TraceFile*) {}

void TraceFileContainer::CheckWriter(TraceFile* writer) {
  if (!writer->CheckWritten()) return;
  for (TraceFile* other : traceFiles) {
    if (other != writer && other->getStream() == writer->getStream()) other->MarkWriteFailureReported();
  }
}

void TraceFileContainer::printHeader() {
  for (TraceFile* writer : traceFiles) {
    errno = 0;
    writer->printHeader(pvModel);
    CheckWriter(writer);
  }
}

void TraceFileContainer::printState() {
  for (TraceFile* writer : traceFiles) writer->printState(pvModel);
}

void TraceFileContainer::printInitialState() {
  BaseModelClass* top = TopModel(pvModel);
  for (TraceFile* writer : traceFiles) writer->printInitialState(top);
}

void TraceFileContainer::printHeader(PVModel*) {}
void TraceFileContainer::printState(BaseModelClass*) {}
void TraceFileContainer::printState(PVModel*) {}

void TraceFileContainer::printFooter() {
  for (TraceFile* writer : traceFiles) {
    errno = 0;
    writer->printFooter();
    CheckWriter(writer);
  }
}

void TraceFileContainer::printFireAction(BaseActionClass* action, double time) {
  for (TraceFile* writer : traceFiles) writer->printFireAction(action, time);
}

void TraceFileContainer::printPreFireAction(BaseActionClass* action) {
  for (TraceFile* writer : traceFiles) writer->printPreFireAction(action);
}

void TraceFileContainer::printPostFireAction(BaseActionClass* action,
                                             BaseActionClass* selected) {
  for (TraceFile* writer : traceFiles) writer->printPostFireAction(action, selected);
}

void TraceFileContainer::newBatch() {
  for (TraceFile* writer : traceFiles) {
    errno = 0;
    writer->newBatch();
    CheckWriter(writer);
  }
}

void TraceFileContainer::printStr(int level, char* text) {
  for (TraceFile* writer : traceFiles) writer->printStr(level, text);
}

void TraceFileContainer::printf(int level, const char* format, ...) {
  char buffer[1024];
  buffer[0] = '\0';
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
  }
  for (TraceFile* writer : traceFiles) writer->printStr(level, buffer);
}
