#include "trace/TraceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "Cpp/BaseClasses/BaseModelClass.h"
#include "Cpp/BaseClasses/BaseStudyClass.h"
#include "Cpp/BaseClasses/PVModel.h"
#include "Cpp/BaseClasses/SANModel.h"
#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"
#include "platform/FileWrites.h"

int TraceLevel = 1;

const std::string TraceFile::kNoName;

TraceFile::TraceFile() : traceLevel(1), out(nullptr), ownsStream(false) { TraceLevel = 1; }

TraceFile::TraceFile(const char* fileName) : traceLevel(1), out(nullptr), ownsStream(true) {
  std::ofstream* file = new std::ofstream;
  out = file;
  if (fileName == nullptr) {
    file->setstate(std::ios::failbit);
    std::cerr << "!! Cannot create trace file (no name given)" << std::endl;
    return;
  }
  errno = 0;
  file->open(fileName, std::ios::out | std::ios::trunc);
  if (!file->is_open()) {
    // The simulation goes on without this trace, but the user must learn
    // that the file he asked for is not being written.
    ReportNotCreated(fileName, errno);
    return;
  }
  openedName = fileName;
}

TraceFile::TraceFile(std::ostream* stream) : traceLevel(1), out(stream), ownsStream(false) {}

TraceFile::TraceFile(const char* fileName, Held)
    : traceLevel(1), out(nullptr), ownsStream(true), held(new std::stringbuf),
      heldName(fileName != nullptr ? fileName : "") {
  // The file stream is made now and opened later: its address, which a
  // caller may keep (trout), does not change when the file is opened.
  std::ofstream* file = new std::ofstream;
  static_cast<std::ios&>(*file).rdbuf(held.get());
  out = file;
}

namespace {

enum class OverEarlier { kWritten, kNotCreated, kNotInPlace };

// Opens `file` on an earlier trace at `name` without emptying it first:
// `text` is written over the file's start and only then is the rest cut
// away, so that a trace that cannot take even `text` (a full disk, a
// file-size limit) leaves the earlier trace whole (kNotCreated, with the
// reason in *error). kNotInPlace when there is no earlier trace to keep (no
// regular file, an empty one, one that cannot be read back), or no
// descriptor to spare for keeping it: the caller opens it emptied. On
// kWritten `file` appends after `text`.
OverEarlier WriteOverEarlierTrace(std::ofstream* file, const std::string& name, const std::string& text,
                                  int* error) {
  if (text.empty()) return OverEarlier::kNotInPlace;
  int fd;
  do {
    fd = open(name.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) return OverEarlier::kNotInPlace;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) {
    close(fd);
    return OverEarlier::kNotInPlace;
  }
  // The stream goes to this very file, through the descriptor's entry in
  // /proc, not to whatever bears the name by now (where there is no /proc,
  // the name is all there is).
  char byDescriptor[kKorvanDescriptorPathSize];
  errno = 0;
  file->open(KorvanPathOfDescriptor(fd, name.c_str(), byDescriptor), std::ios::out | std::ios::app);
  if (!file->is_open()) {
    *error = errno;
    close(fd);
    // Kept open beside its stream, the file takes a descriptor more than a
    // new one: under a descriptor limit that leaves room for one, it is
    // opened emptied, as a new trace would be, rather than not at all.
    // Nothing has been written to it yet.
    if (*error == EMFILE || *error == ENFILE) return OverEarlier::kNotInPlace;
    return OverEarlier::kNotCreated;
  }
  const size_t savedLength = static_cast<size_t>(std::min<off_t>(info.st_size, static_cast<off_t>(text.size())));
  std::string saved(savedLength, '\0');
  *error = KorvanReadAllAt(fd, &saved[0], savedLength, 0);
  if (*error == 0) {
    // A stop at once meanwhile leaves the earlier trace, or the cut finished.
    KorvanOverwriteMark* const mark =
        KorvanMarkOverwrite(fd, info.st_size, saved.data(), saved.size(), static_cast<off_t>(text.size()));
    *error = KorvanWriteAllAt(fd, text.data(), text.size(), 0);
    if (*error == 0) {
      KorvanMarkCutting(mark, true);
      *error = KorvanTruncateTo(fd, static_cast<off_t>(text.size()));
      if (*error != 0) KorvanMarkCutting(mark, false);
    }
    if (*error != 0) {
      // Put back what the text overwrote, and the earlier length.
      KorvanWriteAllAt(fd, saved.data(), saved.size(), 0);
      KorvanTruncateTo(fd, info.st_size);
    }
    KorvanUnmarkOverwrite(mark);
  }
  close(fd);
  if (*error != 0) {
    file->close();
    return OverEarlier::kNotCreated;
  }
  return OverEarlier::kWritten;
}

}  // namespace

void TraceFile::OpenHeldFile() {
  if (held == nullptr) return;
  std::ofstream* file = static_cast<std::ofstream*>(out);
  // Back to the file's own buffer (this clears the state), then the open
  // sets it.
  static_cast<std::ios&>(*file).rdbuf(file->rdbuf());
  int error = 0;
  switch (WriteOverEarlierTrace(file, heldName, held->str(), &error)) {
    case OverEarlier::kWritten:
      openedName = heldName;
      held.reset();
      return;
    case OverEarlier::kNotCreated:
      // Later writes fail and are dropped; the earlier trace stays whole.
      file->setstate(std::ios::failbit);
      ReportNotCreated(heldName.c_str(), error);
      held.reset();
      return;
    case OverEarlier::kNotInPlace:
      break;
  }
  errno = 0;
  file->open(heldName, std::ios::out | std::ios::trunc);
  if (!file->is_open()) {
    ReportNotCreated(heldName.c_str(), errno);
    held.reset();
    return;
  }
  openedName = heldName;
  const std::string text = held->str();
  held.reset();
  errno = 0;
  file->write(text.data(), static_cast<std::streamsize>(text.size()));
  file->flush();
  CheckWritten();
}

void TraceFile::DropHeldFile(int error) {
  if (held == nullptr) return;
  std::ofstream* file = static_cast<std::ofstream*>(out);
  // Off the held buffer before it goes, onto the file's own, never opened:
  // later writes fail and are dropped.
  static_cast<std::ios&>(*file).rdbuf(file->rdbuf());
  file->setstate(std::ios::failbit);
  ReportNotCreated(heldName.c_str(), error);
  held.reset();
}

TraceFile::~TraceFile() {
  Close();
  if (ownsStream) delete out;
  out = nullptr;
}

void TraceFile::Close() {
  if (!ownsStream || openedName.empty() || closed) return;
  closed = true;
  // What is still buffered is written now; a failure shows here (and
  // some file systems report a failed write only when the file is closed).
  errno = 0;
  static_cast<std::ofstream*>(out)->close();
  CheckWritten();
}

bool TraceFile::CheckWritten() {
  const int error = errno;
  if ((openedName.empty() && streamName.empty()) || writeFailureReported || out == nullptr || !out->fail()) {
    return false;
  }
  writeFailureReported = true;
  // The file's name is the user's text, shown escaped as in every message
  // of the run: a line end or an escape sequence in it must not print as
  // another line.
  std::cerr << (openedName.empty() ? "!! Error writing the trace to " + streamName
                                   : "!! Error writing trace file " + BaseStudyClass::Printable(openedName.c_str()))
            << ": "
            << (error != 0 ? std::strerror(error) : "write failed")
            << "; the trace ends there" << std::endl;
  // A file the writer opened is closed at once: the stream still holds
  // what the failed write did not take, which a later flush (or the close
  // at the end) would write once there is room again, after the end just
  // reported.
  if (ownsStream && !openedName.empty() && !closed) {
    closed = true;
    static_cast<std::ofstream*>(out)->close();
  }
  return true;
}

void TraceFile::ReportNotCreated(const char* fileName, int error) {
  std::cerr << "!! Cannot create trace file " << BaseStudyClass::Printable(fileName) << ": "
            << (error != 0 ? std::strerror(error) : "unknown error") << std::endl;
}

void TraceFile::printHeader(PVModel*) {}
void TraceFile::printFooter() {}
void TraceFile::printInitialState(BaseModelClass*) {}
void TraceFile::printState(BaseModelClass*) {}

void TraceFile::printState(PVModel* pvModel) { printState(TopModel(pvModel)); }

void TraceFile::printFireAction(BaseActionClass*, double) {}
void TraceFile::printPreFireAction(BaseActionClass*) {}
void TraceFile::printPostFireAction(BaseActionClass*, BaseActionClass*) {}
void TraceFile::newBatch() {}
void TraceFile::printf(int, const char*, ...) {}
void TraceFile::printStr(int, char*) {}

void TraceFile::setTraceLevel(int level) {
  traceLevel = level;
  TraceLevel = level;
}

BaseModelClass* TraceFile::TopModel(PVModel* pvModel) {
  return pvModel == nullptr ? nullptr : pvModel->GetTopModel();
}

void TraceFile::WriteText(std::ostream& s, const char* text) {
  if (text != nullptr) s << text;
}

void TraceFile::WriteFullName(std::ostream& s, BaseStateVariableClass* v) {
  if (v->prefix != nullptr && v->prefix[0] != '\0') s << v->prefix << '.';
  WriteText(s, v->name);
}

BaseStateVariableClass** TraceFile::LocalVariables(BaseModelClass* model, std::ostream* s,
                                                   int* count) {
  *count = 0;
  BaseStateVariableClass** variables = model->GetLocalStateVariables(s);
  if (variables == nullptr) return nullptr;
  // numStateVariables of an atomic model also counts its read-only places,
  // which live in another array: walking that many places would read past
  // the end of the places array.
  int n = model->getNumStateVariables();
  if (SANModel* san = dynamic_cast<SANModel*>(model)) n -= san->numReadOnlyPlaces;
  *count = n > 0 ? n : 0;
  return variables;
}
