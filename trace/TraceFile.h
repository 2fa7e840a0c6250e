#ifndef TRACE_FILE_H
#define TRACE_FILE_H

#include <iostream>
#include <memory>
#include <sstream>
#include <string>

class BaseActionClass;
class BaseModelClass;
class BaseStateVariableClass;
class PVModel;

// Level of the most recently constructed (default constructor) or set writer.
extern int TraceLevel;

// Base of every trace writer: a trace level and an output stream. Every trace
// operation does nothing here, except printState(PVModel*), which prints the
// reward model's top model through printState(BaseModelClass*).
//
// Ownership: a stream handed to the constructor stays the caller's; a stream
// the writer opened itself (file-name constructor) is the writer's and is
// closed by its destructor.
class TraceFile {
 public:
  // Level 1, no stream (every write is dropped); sets TraceLevel to 1.
  TraceFile();
  // Opens fileName for writing, truncating it. A file that cannot be created
  // leaves the stream failed (later writes are dropped) after one warning line
  // on standard error naming the file and the reason. TraceLevel is untouched.
  explicit TraceFile(const char* fileName);
  // Writes to stream, which must outlive the writer. TraceLevel is untouched.
  explicit TraceFile(std::ostream* stream);
  // For the file fileName, which is neither opened nor touched yet: what is
  // written is held in memory until OpenHeldFile. A run refused while it is
  // set up then leaves the trace an earlier run wrote as it was. The stream
  // (getStream) stays the same one throughout. TraceLevel is untouched.
  enum Held { kHeld };
  TraceFile(const char* fileName, Held);
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  // ---- Virtual operations, in table order (shared by every writer). ----
  virtual ~TraceFile();
  virtual void printHeader(PVModel* pvModel);
  virtual void printFooter();
  virtual void printInitialState(BaseModelClass* model);
  virtual void printState(BaseModelClass* model);
  virtual void printState(PVModel* pvModel);
  virtual void printFireAction(BaseActionClass* action, double time);
  virtual void printPreFireAction(BaseActionClass* action);
  virtual void printPostFireAction(BaseActionClass* action, BaseActionClass* selected);
  virtual void newBatch();
  virtual void printf(int level, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  virtual void printStr(int level, char* text);

  // Reports, once, on standard error that a file the writer opened, or a
  // stream named with NameStream, could not be written (a full disk, say):
  // the trace goes on being dropped, the simulation goes on. Read errno as
  // the failed write left it: call it right after the writes, as the
  // container does.
  // True when it reported now.
  bool CheckWritten();
  // Takes a failed write to this writer's stream as reported already: a
  // writer sharing its stream with another (both traces on standard
  // output) must not say again what the other said.
  void MarkWriteFailureReported() { writeFailureReported = true; }
  // Opens the held file, emptying it, and writes to it what was held; later
  // writes go straight to it. A file that cannot be created now is reported
  // as by the file-name constructor, and what is written is dropped. An
  // earlier trace in the file is written over, and cut back only once what
  // was held is in it: a file that cannot take that much (a full disk, a
  // file-size limit) is reported as not created and keeps the earlier trace
  // whole. Does nothing for a writer that holds nothing (or no more).
  void OpenHeldFile();
  // The name of the file held (empty when none is, or no more).
  const std::string& HeldFileName() const { return held != nullptr ? heldName : kNoName; }
  // Gives up the held file without opening it: reported as not created for
  // `error`, what was held and what is written later are dropped, and the
  // file is left as it was.
  void DropHeldFile(int error);
  // Closes a file the writer opened, writing what is still buffered, and
  // reports a failure as CheckWritten does; later calls, and the destructor
  // after it, do nothing more. A writer handed its stream does nothing here.
  void Close();
  // The warning of a trace file that could not be created: its name (shown
  // escaped) and the reason, on standard error.
  static void ReportNotCreated(const char* fileName, int error);
  // Names the stream handed to the constructor ("standard output"), so that
  // a failed write to it is reported as one to a file is.
  void NameStream(const std::string& name) { streamName = name; }

  // Sets the writer's level and TraceLevel.
  void setTraceLevel(int level);
  int getTraceLevel() const { return traceLevel; }
  // The stream written to; null for a default-constructed writer.
  std::ostream* getStream() const { return out; }

 protected:
  // The model the reward model observes; null for a null reward model.
  static BaseModelClass* TopModel(PVModel* pvModel);
  // Writes text, or nothing for a null pointer.
  static void WriteText(std::ostream& s, const char* text);
  // The variable's name, or its prefix, "." and its name when the prefix is
  // not empty.
  static void WriteFullName(std::ostream& s, BaseStateVariableClass* v);
  // The variables printState(BaseModelClass*) walks: an atomic model's places
  // (never its read-only places, which the places array does not hold), none
  // for other models. Sets *count; null when there are none.
  static BaseStateVariableClass** LocalVariables(BaseModelClass* model, std::ostream* s,
                                                 int* count);

  // ---- Fields, in record order. ----
  int traceLevel;
  std::ostream* out;
  bool ownsStream;
  // The file the writer opened (empty when it opened none), and whether a
  // failed write to it has been reported.
  std::string openedName;
  bool writeFailureReported = false;
  bool closed = false;
  // The name of a stream the writer was handed, if it was given one.
  std::string streamName;
  // While a file is held (kHeld): what was written so far, and the file's
  // name. The stream writes into `held` until OpenHeldFile.
  std::unique_ptr<std::stringbuf> held;
  std::string heldName;
  static const std::string kNoName;
};

#endif
