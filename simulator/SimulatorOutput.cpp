// Results output: hand-over of the drivers' data packets, their queues, and
// the writing of CPU-time records, data records and ASCII rows to the manager
// connection and the result files.
//
// Byte order: every integer and double sent or written to the binary file is
// big-endian (network order).

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "Cpp/BaseClasses/BaseStudyClass.h"
#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "platform/FileWrites.h"
#include "platform/KorvanSocket.h"
#include "simulator/DataPacket.h"
#include "simulator/PacketQueue.h"
#include "simulator/SimulatorClass.h"
#include "simulator/TestHooks.h"

namespace {

const char kVersion[] = "Version 2.4";
const int kFileVersion = 1;
const int kBinaryHeaderSize = 256;
const int kQueueSize = 50;
// Kinds of a data-record block.
const char kValueKind = 1;
const char kSquareKind = 2;

// Writes the eight bytes of `value` most significant first into `out`.
// Kept as bytes throughout: a reversed double read back as a double may be a
// signalling NaN, which some floating-point paths would quieten.
void PutBigEndianDouble(unsigned char* out, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  for (int k = 7; k >= 0; k--) {
    out[k] = static_cast<unsigned char>(bits & 0xFF);
    bits >>= 8;
  }
}

// How long a run that is being interrupted waits for a manager that takes
// none of its data before it gives up on the manager.
const int kInterruptedSendWaitMs = 10000;
// How long a send waits for room before it looks at the interruption again.
const int kSendPollSliceMs = 200;

// All `n` bytes to the manager, as KorvanSocket::Send sends them, except
// that a manager that has stopped reading does not hold an interrupted run
// for ever: once a stop has been asked for (SimulatorInterruptSignal), a
// send that makes no progress for kInterruptedSendWaitMs fails. The
// connection is then shut for writing, so that no later byte can follow the
// cut and a manager that reads on meets its end rather than a record with a
// hole in it. Returns n, or -1.
//
// Sends never block: a blocked send would be restarted after the signal
// (the handlers restart system calls), so the wait for room is a poll, in
// slices, which a signal in this thread ends and one in another thread
// outlasts by a slice at most.
int SendToManager(KorvanSocket* socket, const char* data, int n) {
  int sent = 0;
  long stuckSinceMs = -1;
  while (sent < n) {
    // MSG_NOSIGNAL: a manager that has gone gives EPIPE, not SIGPIPE.
    const ssize_t result =
        send(socket->sock, data + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (result >= 0) {
      sent += static_cast<int>(result);
      stuckSinceMs = -1;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    const bool stopping = SimulatorInterruptSignal != 0;
    if (stopping) {
      const long now = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now().time_since_epoch())
                                             .count());
      if (stuckSinceMs < 0) stuckSinceMs = now;
      if (now - stuckSinceMs >= kInterruptedSendWaitMs) {
        shutdown(socket->sock, SHUT_WR);
        return -1;
      }
    }
    pollfd room{socket->sock, POLLOUT, 0};
    poll(&room, 1, kSendPollSliceMs);
  }
  return sent;
}

// "%.10lf", then trailing zeros removed but one digit kept after the point:
// 0.2500000000 -> 0.25, 3.0000000000 -> 3.0. Texts without a point (inf,
// nan) are left alone.
void FormatAsciiValue(double value, char* text, size_t size) {
  std::snprintf(text, size, "%.10lf", value);
  char* point = std::strchr(text, '.');
  if (point == nullptr) return;
  char* end = text + std::strlen(text);
  while (end - 1 > point + 1 && end[-1] == '0') --end;
  *end = '\0';
}

// Large enough for "%.10lf" of the largest double (309 integer digits).
const size_t kValueTextSize = 400;

// Flushes `stream` and tells whether it is still sound; `error` receives the
// errno of a failed write (0 when none was left).
bool FlushStream(std::ostream* stream, int* error) {
  errno = 0;
  stream->flush();
  *error = errno;
  return !stream->fail();
}

// A result file's name as its messages show it. A name holding control
// characters is shown escaped (backslashes too), so that a line end or an
// escape sequence in it cannot print lines of its own, such as a forged
// report of another file; any other name is shown byte for byte as given.
// simmgr finds the report of its ASCII file by the same text.
std::string ShownName(const char* name) { return BaseStudyClass::ShownFileName(name); }

void ReportOpenFailure(const char* name, int error) {
  std::cerr << "!! Unable to open result file " << ShownName(name) << ": " << std::strerror(error)
            << std::endl;
}

// simmgr reads this line back to name an --ascii-dir file that was cut
// short: keep its text.
void ReportWriteFailure(const char* name, int error) {
  std::cerr << "!! Error writing result file " << ShownName(name)
            << ": " << std::strerror(error != 0 ? error : EIO) << std::endl;
}

// A write-only descriptor of the result file just opened at `path`, kept
// to cut it back if a later write fails; -1 when it cannot be had or the
// file is no regular file (a pipe or device is never opened twice, and a
// failed write to it is left as it is).
int OpenToCut(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  int fd;
  do {
    fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd == -1 && errno == EINTR);
  if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
    close(fd);
    fd = -1;
  }
  return fd;
}

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// The header lines of the ASCII result file.
std::string AsciiHeaderText(int experiment) {
  char header[kBinaryHeaderSize];
  std::snprintf(header, sizeof(header), "#KORVAN_SIM_ASCII_FILE,KORVAN_VER=%s,FILE_VER=%d,EXPERIMENTS=%d\n",
                kVersion, kFileVersion, experiment);
  return std::string(header) + "#FORMAT: (PV ID Number),(PV Value)\n";
}

// The binary result file's header: exactly 256 bytes whatever the length of
// the text, since readers skip a fixed block before the first record.
std::string BinaryHeaderText(int experiment) {
  char header[kBinaryHeaderSize];
  std::memset(header, 0, sizeof(header));
  std::snprintf(header, sizeof(header), "KORVAN_SIM_BIN_FILE,%d,KORVAN_VER=%s,FILE_VER=%d,EXPERIMENTS=%d,",
                kBinaryHeaderSize, kVersion, kFileVersion, experiment);
  return std::string(header, sizeof(header));
}

// A result file opened for the run in two steps, so that a run that cannot
// start never loses an earlier run's results: Begin opens the file and
// writes its header; Commit, once every result file of the run has begun,
// makes it the file the run writes to. A file that may hold earlier results
// (an existing regular file that is not empty) keeps them until Commit: its
// header is written over its start, the bytes it overwrote kept, and only
// Commit cuts the file back to its header. A header that cannot be written
// (a full disk, a file-size limit), or a file dropped before Commit (the
// other result file failed), gets those bytes and its size back: it holds
// what it held. It stays the same file throughout (its permissions, owner
// and other links are kept, a symbolic link is written through, a folder
// that cannot be written to does not matter). Other files (missing or
// empty ones, FIFOs, devices, a file that can be written but not read
// back, and one left no descriptor for its stream) are opened and emptied
// at once as before, a FIFO once its reader has come.
class PendingResultFile {
 public:
  PendingResultFile() = default;
  ~PendingResultFile() { Drop(); }
  PendingResultFile(const PendingResultFile&) = delete;
  PendingResultFile& operator=(const PendingResultFile&) = delete;

  // False, after reporting why, when the file cannot be opened or take its
  // header (and is then as it was, if it held anything), or when a stop
  // was asked for (`stopAsked`) while a FIFO waited for its reader.
  // `name` is the name reported, `path` the one opened.
  bool Begin(const char* name, const std::string& path, const std::string& header, bool binary,
             const std::function<bool()>& stopAsked);
  // Hands over the stream and the descriptor that cuts the file back (-1
  // for none; the one *cutFd held is closed). False, after reporting it,
  // when the file could not be cut back to its header; `notYetCut`, the
  // other result file when it is still to be cut, then goes back to being
  // given back what it held by a stop at once, before the report (which
  // may wait on a standard error nobody reads) is written.
  bool Commit(const char* name, std::ofstream** stream, int* cutFd, PendingResultFile* notYetCut = nullptr);
  bool begun() const { return stream_ != nullptr; }
  // From here on, a stop at once cuts the file back to its header rather
  // than give it back what it held: called for both result files before
  // the first is cut, so that such a stop leaves both cut, never one cut
  // and the other holding earlier results.
  void MarkCutting() { MarkCutting(true); }

 private:
  enum InPlace { kBegunInPlace, kFailed, kNotInPlace };
  InPlace BeginInPlace(const char* name, const std::string& path, const std::string& header,
                       std::ios::openmode mode);
  // Closes what was opened, putting back what the header overwrote.
  void Drop();
  void MarkCutting(bool cutting) {
    if (overwritten_) KorvanMarkCutting(mark_, cutting);
  }

  std::ofstream* stream_ = nullptr;
  // The file's descriptor (kept to cut the file back), or -1.
  int fd_ = -1;
  // While the header lies over an earlier file's start: that file's size
  // and the bytes the header overwrote, and their mark for a stop at once.
  bool overwritten_ = false;
  KorvanOverwriteMark* mark_ = nullptr;
  off_t size_ = 0;
  char saved_[2 * kBinaryHeaderSize];
  size_t savedLength_ = 0;
  size_t headerLength_ = 0;
};

bool PendingResultFile::Begin(const char* name, const std::string& path, const std::string& header, bool binary,
                              const std::function<bool()>& stopAsked) {
  KORVAN_ASSERT(stream_ == nullptr && fd_ == -1);
  const std::ios::openmode mode = binary ? std::ios::binary : std::ios::openmode();
  struct stat info;
  const bool exists = stat(path.c_str(), &info) == 0;
  if (exists && S_ISREG(info.st_mode) && info.st_size > 0) {
    const InPlace result = BeginInPlace(name, path, header, mode);
    if (result != kNotInPlace) return result == kBegunInPlace;
  }
  // Opening a FIFO waits for its reader: a stop must end that wait.
  int writeEnd = -1;
  int readEnd = -1;
  if (exists && S_ISFIFO(info.st_mode) && !WaitForFifoReader(path, &writeEnd, &readEnd, stopAsked)) {
    // Reported as an open the stop interrupted is.
    ReportOpenFailure(name, EINTR);
    return false;
  }
  errno = 0;
  stream_ = new (std::nothrow) std::ofstream(path, std::ios::out | std::ios::trunc | mode);
  const int openError = errno;
  if (readEnd != -1) close(readEnd);
  if (writeEnd != -1) close(writeEnd);
  if (stream_ == nullptr) MemoryAllocationError();
  if (!stream_->is_open()) {
    ReportOpenFailure(name, openError != 0 ? openError : EIO);
    Drop();
    return false;
  }
  fd_ = OpenToCut(path);
  stream_->write(header.data(), static_cast<std::streamsize>(header.size()));
  int error = 0;
  if (!FlushStream(stream_, &error)) {
    ReportWriteFailure(name, error);
    Drop();
    return false;
  }
  return true;
}

PendingResultFile::InPlace PendingResultFile::BeginInPlace(const char* name, const std::string& path,
                                                           const std::string& header, std::ios::openmode mode) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) {
    const int error = errno;
    // Writable but not readable: what the header overwrites could not be
    // put back.
    if (error == EACCES && access(path.c_str(), W_OK) == 0) return kNotInPlace;
    ReportOpenFailure(name, error);
    return kFailed;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) {
    close(fd);
    return kNotInPlace;
  }
  fd_ = fd;
  size_ = info.st_size;
  KORVAN_ASSERT(header.size() <= sizeof(saved_));
  savedLength_ = static_cast<size_t>(std::min<off_t>(size_, static_cast<off_t>(header.size())));
  const int readError = KorvanReadAllAt(fd_, saved_, savedLength_, 0);
  if (readError != 0) {
    ReportOpenFailure(name, readError);
    Drop();
    return kFailed;
  }
  overwritten_ = true;
  headerLength_ = header.size();
  mark_ = KorvanMarkOverwrite(fd_, size_, saved_, savedLength_, static_cast<off_t>(headerLength_));
  const int error = KorvanWriteAllAt(fd_, header.data(), header.size(), 0);
  if (error != 0) {
    ReportWriteFailure(name, error);
    Drop();
    return kFailed;
  }
  AfterHeaderOverEarlierFile();
  // The run's stream, on this very file, appends after the header once
  // Commit has cut the rest away.
  char byDescriptor[kKorvanDescriptorPathSize];
  errno = 0;
  stream_ = new (std::nothrow)
      std::ofstream(KorvanPathOfDescriptor(fd_, path.c_str(), byDescriptor), std::ios::out | std::ios::app | mode);
  const int openError = errno;
  if (stream_ == nullptr) MemoryAllocationError();
  if (!stream_->is_open()) {
    if (openError == EMFILE || openError == ENFILE) {
      // Kept open beside its stream, the file takes a descriptor more than
      // a new one: under a descriptor limit that leaves room for one, it
      // gets back what it held and is opened as a new one would be, so that
      // a run that starts with new files starts with earlier ones too.
      Drop();
      return kNotInPlace;
    }
    ReportOpenFailure(name, openError != 0 ? openError : EIO);
    Drop();
    return kFailed;
  }
  return kBegunInPlace;
}

bool PendingResultFile::Commit(const char* name, std::ofstream** stream, int* cutFd,
                               PendingResultFile* notYetCut) {
  KORVAN_ASSERT(stream_ != nullptr);
  if (overwritten_) {
    MarkCutting();
    const int error = KorvanTruncateTo(fd_, static_cast<off_t>(headerLength_));
    if (error != 0) {
      // The cut that failed would fail again in a stop at once, leaving the
      // new header over the earlier results; and the run is refused, so the
      // other file keeps what it held too. Both are given back what they
      // held by such a stop from here, while the failure is reported.
      MarkCutting(false);
      if (notYetCut != nullptr) notYetCut->MarkCutting(false);
      ReportWriteFailure(name, error);
      Drop();
      return false;
    }
    KorvanUnmarkOverwrite(mark_);
    overwritten_ = false;
    // An appending stream tells where it stands only once it has written.
    stream_->seekp(0, std::ios::end);
  }
  CloseFd(cutFd);
  *cutFd = fd_;
  fd_ = -1;
  *stream = stream_;
  stream_ = nullptr;
  return true;
}

void PendingResultFile::Drop() {
  // Nothing was written through the stream but the header of a file opened
  // emptied.
  delete stream_;
  stream_ = nullptr;
  if (overwritten_) {
    // A stop at once meanwhile puts the same bytes back.
    KorvanMarkCutting(mark_, false);
    KorvanWriteAllAt(fd_, saved_, savedLength_, 0);
    KorvanTruncateTo(fd_, size_);
    KorvanUnmarkOverwrite(mark_);
    overwritten_ = false;
  }
  CloseFd(&fd_);
}

// The result files a hand-over is being written to, for a stop at once (a
// second signal), which would otherwise leave a file ending in part of a
// record or row: while a hand-over is written to a file, the descriptor
// that can cut it and the file's size before the hand-over. Read by the
// signal handler, so lock-free atomics only.
struct UnfinishedWrite {
  std::atomic<int> fd{-1};
  std::atomic<long long> wholeSize{-1};
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long long>::is_always_lock_free,
              "read by a signal handler");
UnfinishedWrite unfinishedWrites[2];
const int kBinaryWrite = 0;
const int kAsciiWrite = 1;

// Marks a hand-over to one result file as under way from its construction
// to its destruction. A file that cannot be cut (no descriptor, a size that
// cannot be told) is not marked.
class UnfinishedWriteMark {
 public:
  UnfinishedWriteMark(int which, int fd, std::streamoff wholeSize)
      : write_(unfinishedWrites[which]) {
    if (fd < 0 || wholeSize < 0) return;
    write_.wholeSize.store(static_cast<long long>(wholeSize));
    write_.fd.store(fd);
  }
  ~UnfinishedWriteMark() { write_.fd.store(-1); }
  UnfinishedWriteMark(const UnfinishedWriteMark&) = delete;
  UnfinishedWriteMark& operator=(const UnfinishedWriteMark&) = delete;

 private:
  UnfinishedWrite& write_;
};

// Whether a and b describe one regular file (devices and pipes never count).
bool SameRegularFile(const struct stat& a, const struct stat& b) {
  return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether two output names lead to one file: the same existing regular file
// (through any path, link or hard link), or, neither existing yet, the same
// name in the same folder. Devices and pipes are never the same file here
// (two outputs on one terminal is a choice).
bool SameOutputFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  const bool aExists = stat(a.c_str(), &sa) == 0;
  const bool bExists = stat(b.c_str(), &sb) == 0;
  if (aExists || bExists) {
    return aExists && bExists && SameRegularFile(sa, sb);
  }
  auto placeOf = [](std::string name) {
    // A link whose target does not exist yet leads there when opened: its
    // target's place is the one written, followed as open() would (up to
    // its limit of links).
    for (int links = 0; links < 40; links++) {
      struct stat link;
      if (lstat(name.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) break;
      std::vector<char> target(static_cast<size_t>(link.st_size > 0 ? link.st_size : PATH_MAX) + 1);
      const ssize_t length = readlink(name.c_str(), target.data(), target.size() - 1);
      if (length <= 0) break;
      const std::string next(target.data(), static_cast<size_t>(length));
      const size_t slash = name.rfind('/');
      name = next[0] == '/' || slash == std::string::npos ? next : name.substr(0, slash + 1) + next;
    }
    const size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
    char* resolved = realpath(folder.c_str(), nullptr);
    if (resolved == nullptr) return name;
    const std::string place = std::string(resolved) + "/" + last;
    std::free(resolved);
    return place;
  };
  return placeOf(a) == placeOf(b);
}

}  // namespace

// ---------------------------------------------------------------------------
// Set-up and tear-down.

std::string SimulatorClass::TraceFilePath(const char* extension) const {
  if (traceFileName == nullptr || *traceFileName == '\0') return "";
  return std::string(traceFileName) + extension;
}

bool SimulatorClass::OutputFilesDistinct() const {
  struct Output {
    const char* what;
    std::string name;
  };
  std::vector<Output> outputs;
  if (asciiFileName != nullptr) outputs.push_back({"the ASCII result file", asciiFileName});
  if (binFileName != nullptr) outputs.push_back({"the binary result file", binFileName});
  if (textTrace && !TraceFilePath(".txt").empty()) {
    outputs.push_back({"the text trace", TraceFilePath(".txt")});
  }
  if (xmlTrace && !TraceFilePath(".xml").empty()) {
    outputs.push_back({"the XML trace", TraceFilePath(".xml")});
  }
  for (size_t i = 0; i < outputs.size(); i++) {
    for (size_t k = i + 1; k < outputs.size(); k++) {
      if (!SameOutputFile(outputs[i].name, outputs[k].name)) continue;
      // The names are the user's text, shown escaped: a line end in one
      // must not print as another line.
      std::cerr << "!! Two outputs would be written to the same file: " << outputs[i].what << " ("
                << BaseStudyClass::Printable(outputs[i].name.c_str()) << ") and " << outputs[k].what << " ("
                << BaseStudyClass::Printable(outputs[k].name.c_str()) << ")" << std::endl;
      return false;
    }
  }
  // An output that is where standard output or error already goes
  // (`-a out.csv > out.csv`) would get the run's messages among its records.
  const struct {
    int fd;
    const char* what;
  } streams[] = {{1, "standard output"}, {2, "standard error"}};
  for (const Output& output : outputs) {
    struct stat file;
    if (stat(output.name.c_str(), &file) != 0) continue;
    for (const auto& stream : streams) {
      struct stat target;
      if (fstat(stream.fd, &target) != 0 || !SameRegularFile(file, target)) continue;
      std::cerr << "!! Two outputs would be written to the same file: " << output.what << " ("
                << BaseStudyClass::Printable(output.name.c_str()) << ") and " << stream.what << std::endl;
      return false;
    }
  }
  return true;
}

void SimulatorClass::CreatePacketQueues() {
  // Called by the constructor; a second call keeps the queues it made.
  if (freePackets == nullptr) freePackets = new (std::nothrow) PacketQueue(kQueueSize);
  if (fullPackets == nullptr) fullPackets = new (std::nothrow) PacketQueue(kQueueSize);
  if (freePackets == nullptr || fullPackets == nullptr) MemoryAllocationError();
}

namespace {

// How a result file was found before the run opened it.
enum class Precheck { kRefused, kRegular, kCreated, kOther };

// Whether the result file `name` can be opened for writing, found without
// changing what it holds: an existing regular file is opened without
// truncating it, a new one is created (empty; the caller removes it again
// when the run is refused). Other kinds of file (a FIFO whose reader comes
// later, a device) are left to the open itself. Reports what stands in the
// way as the open would. With `held`, the descriptor of a regular file
// found (or made) is kept open there rather than closed, for the caller to
// give back.
Precheck MayOpenForWriting(const char* name, int* held = nullptr) {
  struct stat info;
  if (stat(name, &info) == 0) {
    if (!S_ISREG(info.st_mode)) return Precheck::kOther;
    const int fd = open(name, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd == -1) {
      ReportOpenFailure(name, errno);
      return Precheck::kRefused;
    }
    if (held != nullptr) {
      *held = fd;
    } else {
      close(fd);
    }
    return Precheck::kRegular;
  }
  if (errno != ENOENT) {
    ReportOpenFailure(name, errno);
    return Precheck::kRefused;
  }
  // Created rather than judged from the folder's permissions, which say
  // nothing of a read-only file system, nor anything at all for root.
  const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd == -1) {
    // EEXIST: made meanwhile; the open itself decides.
    if (errno == EEXIST) return Precheck::kOther;
    ReportOpenFailure(name, errno);
    return Precheck::kRefused;
  }
  if (held != nullptr) {
    *held = fd;
  } else {
    close(fd);
  }
  return Precheck::kCreated;
}

// Result files the set-up created that hold nothing yet: removed again
// when the process ends before the set-up opened them for the run (a run
// refused while the model is built). The names are the simulator's own
// (-a, -b), which outlive its set-up; kept without allocating, so that a
// run's allocations do not depend on whether its files existed.
const char* uncommittedFiles[2] = {nullptr, nullptr};

void RemoveUncommittedFiles() {
  for (const char*& name : uncommittedFiles) {
    struct stat info;
    // Only while still the empty regular file made here.
    if (name != nullptr && lstat(name, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0) unlink(name);
    name = nullptr;
  }
}

}  // namespace

bool SimulatorClass::PrepareResultFiles() {
  if (asciiStream != nullptr || binStream != nullptr) return OpenResultFiles();
  if (!OutputFilesDistinct()) return false;
  // Each file is looked at without changing what it holds, and made when
  // missing; a regular file is emptied and given its header only by
  // OpenResultFiles at the end of the set-up, so that a run refused while
  // the model is built (a global value it cannot take, a report size too
  // large, a steady-state run of a model without steady-state variables)
  // leaves the results of an earlier run as they were.
  const char* const names[2] = {asciiFileName, binFileName};
  Precheck found[2] = {Precheck::kOther, Precheck::kOther};
  const auto refuse = [&]() {
    for (int k = 0; k < 2; k++) {
      if (found[k] == Precheck::kCreated) unlink(names[k]);
    }
    return false;
  };
  for (int k = 0; k < 2; k++) {
    if (names[k] == nullptr) continue;
    found[k] = MayOpenForWriting(names[k]);
    if (found[k] == Precheck::kRefused) return refuse();
  }
  // A file that is not a regular one (a FIFO, whose open waits for its
  // reader; a device) holds no earlier results: it is opened here, in its
  // place in the set-up.
  if (asciiFileName != nullptr && found[0] == Precheck::kOther) {
    asciiStream = CreateASCIIFile(asciiFileName);
    if (asciiStream == nullptr) return refuse();
  }
  if (binFileName != nullptr && found[1] == Precheck::kOther) {
    binStream = CreateBinFile(binFileName);
    if (binStream == nullptr) return refuse();
  }
  static const bool removalRegistered = std::atexit(RemoveUncommittedFiles) == 0;
  (void)removalRegistered;
  for (int k = 0; k < 2; k++) uncommittedFiles[k] = found[k] == Precheck::kCreated ? names[k] : nullptr;
  return true;
}

void SimulatorClass::ForgetUncommittedResultFiles(bool remove) {
  if (remove) {
    RemoveUncommittedFiles();
  } else {
    uncommittedFiles[0] = uncommittedFiles[1] = nullptr;
  }
}

bool SimulatorClass::OpenResultFiles() {
  // Two outputs in one file would write over each other: refused before
  // either is opened (and truncated).
  if (asciiStream == nullptr && binStream == nullptr && !OutputFilesDistinct()) return false;
  // Opening a file empties it: when the other then cannot be opened, the
  // run would be refused having cleared the first for nothing. So with both
  // to open, both are looked at first, and one that is not a regular file
  // (a device, a FIFO: only its open and first write tell) is opened before
  // a regular one. A file made by the look is removed again on refusal.
  //
  // A regular file's look keeps its descriptor until the file is opened for
  // the run: with few descriptors left (ulimit -n), the first file's stream
  // could otherwise take the one the second needs, and the second be
  // refused after the first was emptied. Each held descriptor is given back
  // just before its file's own open, which takes it in its place.
  const bool both =
      asciiFileName != nullptr && binFileName != nullptr && asciiStream == nullptr && binStream == nullptr;
  Precheck ascii = Precheck::kOther;
  Precheck binary = Precheck::kOther;
  int heldAscii = -1;
  int heldBinary = -1;
  if (both) {
    ascii = MayOpenForWriting(asciiFileName, &heldAscii);
    binary = ascii == Precheck::kRefused ? Precheck::kRefused : MayOpenForWriting(binFileName, &heldBinary);
  }
  const auto refuse = [&]() {
    CloseFd(&heldAscii);
    CloseFd(&heldBinary);
    if (ascii == Precheck::kCreated) unlink(asciiFileName);
    if (binary == Precheck::kCreated) unlink(binFileName);
    return false;
  };
  if (ascii == Precheck::kRefused || binary == Precheck::kRefused) return refuse();
  // Each file takes its header first; the earlier results are cut away only
  // once both have (see PendingResultFile): a refusal meanwhile leaves them.
  // Declared after `refuse`, so that a refusal drops them after it ran.
  const auto stopAsked = [this] { return StopAskedWhileOpening(); };
  PendingResultFile asciiFile;
  PendingResultFile binaryFile;
  if (both && binary == Precheck::kOther && ascii != Precheck::kOther) {
    if (!binaryFile.Begin(binFileName, binFileName, BinaryHeaderText(experiment), true, stopAsked)) return refuse();
  }
  // A stream already open is kept, so a second call never truncates a file
  // that holds results.
  if (asciiFileName != nullptr && asciiStream == nullptr) {
    CloseFd(&heldAscii);
    if (!asciiFile.Begin(asciiFileName, asciiFileName, AsciiHeaderText(experiment), false, stopAsked)) {
      return refuse();
    }
  }
  // (A manager heard while a FIFO was waited for may have named the binary
  // file meanwhile: command 3.)
  if (binFileName != nullptr && binStream == nullptr && !binaryFile.begun()) {
    CloseFd(&heldBinary);
    if (!binaryFile.Begin(binFileName, binFileName, BinaryHeaderText(experiment), true, stopAsked)) return refuse();
  }
  CloseFd(&heldAscii);
  CloseFd(&heldBinary);
  asciiFile.MarkCutting();
  binaryFile.MarkCutting();
  if (asciiFile.begun() && !asciiFile.Commit(asciiFileName, &asciiStream, &asciiFd, &binaryFile)) return refuse();
  if (binaryFile.begun() && !binaryFile.Commit(binFileName, &binStream, &binFd)) return refuse();
  return true;
}

namespace {

// Closes a result file and drops its stream and descriptor; false, after
// reporting it, when the close fails.
bool CloseResultFile(std::ofstream** stream, int* fd, const char* name) {
  if (*stream == nullptr) return true;
  errno = 0;
  (*stream)->close();
  int error = errno;
  bool failed = (*stream)->fail();
  const int injected = InjectedCloseError();
  if (!failed && injected != 0) {
    failed = true;
    error = injected;
  }
  delete *stream;
  *stream = nullptr;
  CloseFd(fd);
  if (failed) ReportWriteFailure(name, error);
  return !failed;
}

}  // namespace

// Every hand-over was flushed and checked as it was written, but some file
// systems (network ones) report a failed write only when the file is
// closed: a run whose results may not have reached its files is no good run.
bool SimulatorClass::CloseResultFiles() {
  const bool ascii = CloseResultFile(&asciiStream, &asciiFd, asciiFileName);
  const bool binary = CloseResultFile(&binStream, &binFd, binFileName);
  return ascii && binary;
}

void SimulatorClass::EndManagerConnection(KorvanSocket* socket) {
  if (socket == nullptr) return;
  // A link already lost is not waited for again.
  if (linkLost) return socket->Close();
  const long behind = socket->CloseDelivered(kInterruptedSendWaitMs);
  if (behind > 0) {
    std::cerr << "!! The simulation manager had not taken the last " << behind << " bytes sent "
              << kInterruptedSendWaitMs / 1000 << " s after they were sent: they may not reach it" << std::endl;
    linkLost = true;
  }
}

void SimulatorClass::DestroyOutput() {
  delete simMgrSocket;
  simMgrSocket = nullptr;
  delete listenSocket;
  listenSocket = nullptr;
  if (asciiStream != nullptr) asciiStream->close();
  delete asciiStream;
  asciiStream = nullptr;
  CloseFd(&asciiFd);
  if (binStream != nullptr) binStream->close();
  delete binStream;
  binStream = nullptr;
  CloseFd(&binFd);
  PacketQueue* queues[2] = {fullPackets, freePackets};
  for (PacketQueue* queue : queues) {
    if (queue == nullptr) continue;
    while (queue->Count() > 0) delete queue->Take();
    delete queue;
  }
  fullPackets = nullptr;
  freePackets = nullptr;
  delete valuePacket;
  valuePacket = nullptr;
  delete squarePacket;
  squarePacket = nullptr;
  delete[] conversionBuffer;
  conversionBuffer = nullptr;
  conversionBufferSize = 0;
}

// ---------------------------------------------------------------------------
// Result files.

std::ofstream* SimulatorClass::CreateASCIIFile(char* /*unused*/) {
  if (asciiFileName == nullptr) return nullptr;
  PendingResultFile file;
  std::ofstream* stream = nullptr;
  if (!file.Begin(asciiFileName, asciiFileName, AsciiHeaderText(experiment), false,
                  [this] { return StopAskedWhileOpening(); }) ||
      !file.Commit(asciiFileName, &stream, &asciiFd)) {
    CloseFd(&asciiFd);
    return nullptr;
  }
  return stream;
}

std::ofstream* SimulatorClass::CreateBinFile(char* name, int checkedFd) {
  if (name == nullptr || name[0] == '\0') {
    ReportOpenFailure("", ENOENT);
    return nullptr;
  }
  // A stream cannot adopt a descriptor; the descriptor's entry in /proc
  // opens the file it refers to, not whatever now bears its name. Where
  // there is no /proc the name is all there is.
  char byDescriptor[kKorvanDescriptorPathSize];
  const std::string path = checkedFd >= 0 ? KorvanPathOfDescriptor(checkedFd, name, byDescriptor) : name;
  // A file named by the manager (command 3) is opened while its command is
  // served: only a stop signal is looked for then, the connection is not
  // read again.
  const std::function<bool()> stopAsked = [this, checkedFd] {
    return checkedFd >= 0 ? SimulatorInterruptSignal != 0 : StopAskedWhileOpening();
  };
  PendingResultFile file;
  std::ofstream* stream = nullptr;
  if (!file.Begin(name, path, BinaryHeaderText(experiment), true, stopAsked) ||
      !file.Commit(name, &stream, &binFd)) {
    CloseFd(&binFd);
    return nullptr;
  }
  return stream;
}

// ---------------------------------------------------------------------------
// Writers.

double SimulatorClass::EndianConvertDouble(double value) {
  unsigned char bytes[8];
  PutBigEndianDouble(bytes, value);
  double converted;
  std::memcpy(&converted, bytes, sizeof(converted));
  return converted;
}

int SimulatorClass::Output(KorvanSocket* socket, std::ostream* stream, double* values, int n) {
  // Nothing to send is not a failed send.
  if (n <= 0) return 0;
  if (n > conversionBufferSize) {
    delete[] conversionBuffer;
    conversionBuffer = new (std::nothrow) double[n];
    if (conversionBuffer == nullptr) {
      conversionBufferSize = 0;
      MemoryAllocationError();
    }
    conversionBufferSize = n;
  }
  unsigned char* bytes = reinterpret_cast<unsigned char*>(conversionBuffer);
  for (int k = 0; k < n; k++) PutBigEndianDouble(bytes + 8 * k, values[k]);
  const int length = 8 * n;
  if (socket != nullptr && SendToManager(socket, reinterpret_cast<char*>(bytes), length) < 1) {
    status = 2;
    linkLost = true;
    return -1;
  }
  if (stream != nullptr) stream->write(reinterpret_cast<char*>(bytes), length);
  return length;
}

int SimulatorClass::OutputInt(KorvanSocket* socket, std::ostream* stream, int value) {
  const uint32_t wire = htonl(static_cast<uint32_t>(value));
  const char* bytes = reinterpret_cast<const char*>(&wire);
  if (socket != nullptr && SendToManager(socket, bytes, 4) < 1) {
    status = 2;
    linkLost = true;
    return -1;
  }
  if (stream != nullptr) stream->write(bytes, 4);
  return 4;
}

int SimulatorClass::OutputShort(KorvanSocket* socket, std::ostream* stream, short value) {
  const uint16_t wire = htons(static_cast<uint16_t>(value));
  const char* bytes = reinterpret_cast<const char*>(&wire);
  if (socket != nullptr && SendToManager(socket, bytes, 2) < 1) {
    status = 2;
    linkLost = true;
    return -1;
  }
  if (stream != nullptr) stream->write(bytes, 2);
  return 2;
}

int SimulatorClass::OutputByte(KorvanSocket* socket, std::ostream* stream, char value) {
  if (socket != nullptr && SendToManager(socket, &value, 1) < 1) {
    status = 2;
    linkLost = true;
    return -1;
  }
  if (stream != nullptr) stream->write(&value, 1);
  return 1;
}

void SimulatorClass::OutputCPUTime(KorvanSocket* socket, double seconds) {
  if (socket == nullptr) return;
  // The length counts the 12 bytes after it (unlike the data record's).
  OutputInt(socket, nullptr, 12);
  OutputByte(socket, nullptr, static_cast<char>(0xFE));
  OutputByte(socket, nullptr, static_cast<char>(clientId & 0xFF));
  OutputShort(socket, nullptr, static_cast<short>(experiment & 0xFFFF));
  Output(socket, nullptr, &seconds, 1);
}

namespace {

// One data record to the manager connection and the binary file. Each part
// goes to the socket first. A part whose send fails sets `status` 2 and is
// still written to the file: the file always receives whole records, so a
// manager that goes away mid-record cannot leave a truncated record behind.
class RecordWriter {
 public:
  RecordWriter(SimulatorClass* simulator, KorvanSocket* socket, std::ostream* stream)
      : simulator_(simulator), socket_(socket), stream_(stream) {}

  void Int(int value) {
    errno = 0;
    if (simulator_->OutputInt(socket_, stream_, value) < 0 && stream_ != nullptr) {
      simulator_->OutputInt(nullptr, stream_, value);
    }
    NoteStreamError();
  }
  void Short(short value) {
    errno = 0;
    if (simulator_->OutputShort(socket_, stream_, value) < 0 && stream_ != nullptr) {
      simulator_->OutputShort(nullptr, stream_, value);
    }
    NoteStreamError();
  }
  void Byte(char value) {
    errno = 0;
    if (simulator_->OutputByte(socket_, stream_, value) < 0 && stream_ != nullptr) {
      simulator_->OutputByte(nullptr, stream_, value);
    }
    NoteStreamError();
  }
  void Doubles(double* values, int n) {
    errno = 0;
    if (simulator_->Output(socket_, stream_, values, n) < 0 && stream_ != nullptr) {
      simulator_->Output(nullptr, stream_, values, n);
    }
    NoteStreamError();
  }

  // Blocks of every row of `packet` with observations: index, kind, count,
  // the observations.
  void Blocks(DataPacket* packet, char kind) {
    for (int i = 0; i < packet->numPVs; i++) {
      const int count = packet->UsableCount(i);
      if (count <= 0) continue;
      Short(static_cast<short>(i));
      Byte(kind);
      Int(count);
      Doubles(packet->values + static_cast<size_t>(i) * packet->reportSize, count);
    }
  }

  // The errno of the write that failed the file (0 while it has not
  // failed): the stream keeps only that it failed, and a later flush of a
  // failed stream writes nothing, so the reason is taken when it happens.
  int StreamError() const { return streamError_; }

 private:
  void NoteStreamError() {
    if (stream_ != nullptr && streamError_ == 0 && stream_->fail()) streamError_ = errno != 0 ? errno : EIO;
  }

  SimulatorClass* simulator_;
  KorvanSocket* socket_;
  std::ostream* stream_;
  int streamError_ = 0;
};

// Rows with observations and the observations they hold.
void CountRows(DataPacket* packet, int* rows, int64_t* observations) {
  if (packet == nullptr) return;
  for (int i = 0; i < packet->numPVs; i++) {
    const int count = packet->UsableCount(i);
    if (count <= 0) continue;
    ++*rows;
    *observations += count;
  }
}

// Returns the errno of a write that failed `stream` (0 when none did).
int WriteRecord(SimulatorClass* simulator, KorvanSocket* socket, std::ostream* stream,
                DataPacket* values, DataPacket* squares) {
  int rows = 0;
  int64_t observations = 0;
  CountRows(values, &rows, &observations);
  CountRows(squares, &rows, &observations);
  // The length counts the whole record, its own four bytes included.
  const int64_t length = 9 + 7 * static_cast<int64_t>(rows) + 8 * observations;
  RecordWriter writer(simulator, socket, stream);
  writer.Int(static_cast<int>(static_cast<uint32_t>(length)));
  writer.Byte(static_cast<char>(simulator->clientId & 0xFF));
  writer.Short(static_cast<short>(simulator->experiment & 0xFFFF));
  writer.Short(static_cast<short>(rows));
  writer.Blocks(values, kValueKind);
  if (squares != nullptr) writer.Blocks(squares, kSquareKind);
  return writer.StreamError();
}

// Returns the errno of the write that failed `stream` (0 when none did);
// rows after it are not formatted.
int WriteAsciiRows(std::ostream* stream, DataPacket* values, DataPacket* squares,
                   bool stripZeros) {
  char text[kValueTextSize];
  errno = 0;
  for (int j = 0; j < values->numPVs; j++) {
    const int count = values->UsableCount(j);
    const double* row = values->values + static_cast<size_t>(j) * values->reportSize;
    const double* squareRow = nullptr;
    // A squared-value packet of other dimensions contributes nothing rather
    // than being read out of bounds.
    if (squares != nullptr && j < squares->numPVs && count <= squares->reportSize) {
      squareRow = squares->values + static_cast<size_t>(j) * squares->reportSize;
    }
    for (int k = 0; k < count; k++) {
      if (stripZeros) {
        FormatAsciiValue(row[k], text, sizeof(text));
      } else {
        std::snprintf(text, sizeof(text), "%.10lf", row[k]);
      }
      *stream << j << "," << text;
      if (squareRow != nullptr) {
        std::snprintf(text, sizeof(text), "%.10lf", squareRow[k]);
        *stream << "," << text;
      }
      *stream << "\n";
      if (stream->fail()) return errno != 0 ? errno : EIO;
    }
  }
  return 0;
}

// The size of a result file before a hand-over is written to it (-1 when
// it cannot be told). The stream was flushed after the previous hand-over,
// so this is where its last whole hand-over ends.
std::streamoff WholeSize(std::ofstream* stream) {
  return stream != nullptr ? static_cast<std::streamoff>(stream->tellp()) : -1;
}

// After a failed write to a result file: reported once (the stream is
// closed and dropped, so nothing is written to it again), and the run is
// stopped with a non-zero exit status, since results were lost.
// writeError is the errno of the write that failed the stream, if one did.
// The file is cut back to `wholeSize` through `fd`: a record or row cut off
// part-way by a full disk would otherwise end the file, and a cut ASCII row
// ("2,1" of "2,1.0") reads as a whole one.
void CheckResultFile(SimulatorClass* simulator, std::ofstream** stream, int* fd, const char* name,
                     int writeError, std::streamoff wholeSize) {
  if (*stream == nullptr) return;
  int error = 0;
  if (FlushStream(*stream, &error)) return;
  if (writeError != 0) error = writeError;
  ReportWriteFailure(name, error);
  // Closed first: the close may still write what the stream held.
  (*stream)->close();
  delete *stream;
  *stream = nullptr;
  if (*fd >= 0 && wholeSize >= 0) {
    int result;
    do {
      result = ftruncate(*fd, static_cast<off_t>(wholeSize));
    } while (result == -1 && errno == EINTR);
  }
  CloseFd(fd);
  simulator->status = 2;
  simulator->exitStatus = 1;
}

}  // namespace

// Async-signal-safe: ftruncate is, and the marks are lock-free atomics.
void CutUnfinishedResultWrites() {
  for (UnfinishedWrite& write : unfinishedWrites) {
    const int fd = write.fd.load();
    const long long wholeSize = write.wholeSize.load();
    if (fd < 0 || wholeSize < 0) continue;
    int result;
    do {
      result = ftruncate(fd, static_cast<off_t>(wholeSize));
    } while (result == -1 && errno == EINTR);
  }
}

void SimulatorClass::OutputDataBinary(KorvanSocket* socket, std::ostream* stream,
                                      DataPacket* values, DataPacket* squares) {
  if (values == nullptr) return;
  WriteRecord(this, socket, stream, values, squares);
  if (stream != nullptr) stream->flush();
}

void SimulatorClass::OutputDataCSV(std::ostream* stream, DataPacket* values, DataPacket* squares) {
  if (stream == nullptr || values == nullptr) return;
  WriteAsciiRows(stream, values, squares, false);
  stream->flush();
}

// ---------------------------------------------------------------------------
// Packets and hand-over.

DataPacket* SimulatorClass::CreateDataPacket(int rows) {
  DataPacket* packet = new (std::nothrow) DataPacket(-1, -1, rows, reportSize);
  if (packet == nullptr) MemoryAllocationError();
  packet->clientId = clientId;
  packet->experiment = experiment;
  return packet;
}

int SimulatorClass::CheckReportSize(double seconds) {
  KORVAN_ASSERT(fullPackets != nullptr && freePackets != nullptr);
  KORVAN_ASSERT(valuePacket != nullptr && squarePacket != nullptr);
  cpuSeconds = seconds;
  // Once stopped (the manager's quit read, in a steady-state run that hands
  // over the batches it then closes) no further command is read: the manager
  // has shut down its side, and a read would find the link failed.
  if (simMgrSocket != nullptr && status != 2) ListenToSimMgr(simMgrSocket);
  const int64_t r = reportsWritten;

  // The write-out takes packets in pairs, so a pair is queued whole: with no
  // room for both, what is queued is written out first.
  if (fullPackets->Count() > fullPackets->size - 2) OutputThreadFunc();
  fullPackets->Put(valuePacket);
  fullPackets->Put(squarePacket);

  valuePacket = freePackets->Take();
  if (valuePacket == nullptr) valuePacket = CreateDataPacket(numPVs);
  squarePacket = freePackets->Take();
  if (squarePacket == nullptr) squarePacket = CreateDataPacket(numPVs);

  // After ten write-outs, cheap and frequent hand-overs are batched until
  // the queue is full. The last hand-over of a run (status 1) is never held
  // back, nor is one made as the run is being stopped (status 2): nothing
  // would come after it to write the held packets, and their observations
  // would be lost. cpuSeconds is in seconds, so the 0.2 s threshold holds
  // whatever the platform's clock rate.
  if (r > 10 && seconds / static_cast<double>(r) < 0.2) {
    if (fullPackets->Count() < queueCapacity && status == 0) return 0;
  }
  reportsWritten++;
  OutputThreadFunc();
  return 1;
}

int SimulatorClass::OutputThreadFunc() {
  for (;;) {
    DataPacket* values = fullPackets->Take();
    if (values == nullptr) break;
    DataPacket* squares = fullPackets->Take();
    // The rows go to the ASCII file before the record goes to the manager: a
    // simulator killed between the two (by its manager, say) leaves a file
    // with more observations than the manager counted, never fewer.
    if (asciiStream != nullptr) {
      const std::streamoff whole = WholeSize(asciiStream);
      const UnfinishedWriteMark mark(kAsciiWrite, asciiFd, whole);
      const int error = WriteAsciiRows(asciiStream, values, nullptr, true);
      CheckResultFile(this, &asciiStream, &asciiFd, asciiFileName, error, whole);
    }
    if (simMgrSocket != nullptr) OutputCPUTime(simMgrSocket, cpuSeconds);
    if (simMgrSocket != nullptr || binStream != nullptr) {
      const std::streamoff whole = WholeSize(binStream);
      const UnfinishedWriteMark mark(kBinaryWrite, binStream != nullptr ? binFd : -1, whole);
      const int error = WriteRecord(this, simMgrSocket, binStream, values, nullptr);
      CheckResultFile(this, &binStream, &binFd, binFileName, error, whole);
    }
    if (!freePackets->Put(values)) delete values;
    if (squares != nullptr && !freePackets->Put(squares)) delete squares;
  }
  if (status == 1 && fullPackets->Count() == 0) status = 2;
  return 0;
}

int SimulatorClass::StaticOutputThreadFunc(void* simulator) {
  SimulatorClass* self = static_cast<SimulatorClass*>(simulator);
  int result = 0;
  while (self->status != 2) result = self->OutputThreadFunc();
  return result;
}

void SimulatorClass::ResetDataPacketBuffer() {
  for (;;) {
    DataPacket* packet = fullPackets->Take();
    if (packet == nullptr) break;
    if (!freePackets->Put(packet)) delete packet;
  }
}
