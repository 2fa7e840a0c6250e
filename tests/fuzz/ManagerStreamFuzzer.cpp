// The simulator's side of the manager connection fed arbitrary bytes, all
// at once or in pieces, on a connection held open or closed after them.
//
// Invariants, against a plain reading of the protocol: the replies are
// exactly those due, in order; the run goes on, quits, stops or switches to
// a result file exactly as the bytes say, whatever the cuts; a command 3
// that is not "<file>;<limit>;;" with a usable name and a limit of at least
// 1 is refused with nothing written; only a new file or an earlier binary
// result file is ever written, and other files are left as they were.
//
// Files are made in a scratch folder of the harness's own. A name command 3
// could take outside it (anything but letters, digits, '.', '_' and '-',
// a name starting with '.', or a long one) is read as if a result file had been given
// on the command line, which command 3 then keeps: such names are checked
// but never created.

#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/KorvanSocket.h"
#include "simulator/SimulatorClass.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

namespace fs = std::filesystem;

SimulatorClass* simulator = nullptr;
std::string scratch;
// The folder the fuzzer started in, returned to after each input: the
// fuzzer's own paths may be relative.
int startFolder = -1;

const std::string kHeaderText =
    "KORVAN_SIM_BIN_FILE,256,KORVAN_VER=Version 2.4,FILE_VER=1,EXPERIMENTS=0,";
const char kTextFile[] = "notes.txt";
const char kResultFile[] = "old.bin";
const char kFolder[] = "folder";

// File contents and folder entries are read with plain system calls: the
// stream and directory classes allocate buffers that cost more, under the
// sanitizers, than the rest of an input.
std::string ReadAll(const std::string& path) {
  std::string content;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return content;
  char buffer[1024];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof(buffer))) > 0) content.append(buffer, static_cast<size_t>(n));
  close(fd);
  return content;
}

void WriteAll(const std::string& path, const std::string& content) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd == -1 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    std::abort();
  }
  close(fd);
}

// Entries of `folder` other than "." and "..".
size_t CountEntries(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd == -1) std::abort();
  alignas(8) char buffer[4096];
  size_t count = 0;
  long n;
  while ((n = syscall(SYS_getdents64, fd, buffer, sizeof(buffer))) > 0) {
    for (long at = 0; at < n;) {
      const unsigned short length = *reinterpret_cast<unsigned short*>(buffer + at + 16);
      const char* name = buffer + at + 19;
      if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) count++;
      at += length;
    }
  }
  close(fd);
  return count;
}

std::string ResultHeader() {
  std::string header(256, '\0');
  header.replace(0, kHeaderText.size(), kHeaderText);
  return header;
}

// The scratch folder as every input finds it: a text file, an earlier
// result file and a folder. Only what the last input may have changed is
// put back (the checks below make sure nothing else changed).
void ResetScratch(const std::string& created) {
  static bool made = false;
  if (!created.empty()) unlink((scratch + "/" + created).c_str());
  if (!made || created == kResultFile) {
    WriteAll(scratch + "/" + kResultFile, ResultHeader() + "records");
  }
  if (!made) {
    WriteAll(scratch + "/" + kTextFile, "export PATH=/usr/bin\n");
    fs::create_directory(scratch + "/" + kFolder);
    made = true;
  }
}

// Delivers the manager's bytes from a thread of its own, kept for the
// whole run (a thread per input would cost more than the input).
class Writer {
 public:
  Writer() : thread_([this] { Loop(); }) {}
  void Start(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = std::move(job);
    busy_ = true;
    wake_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return !busy_; });
  }

 private:
  void Loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return busy_ && job_; });
        job = std::move(job_);
        job_ = nullptr;
      }
      job();
      std::lock_guard<std::mutex> lock(mutex_);
      busy_ = false;
      wake_.notify_all();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::function<void()> job_;
  bool busy_ = false;
  std::thread thread_;
};

Writer* writer = nullptr;
// The file the last input made, removed before the next one.
std::string lastCreated;

std::string Reply(int kind, int code) {
  const uint32_t pid = static_cast<uint32_t>(getpid());
  const unsigned char bytes[10] = {0, 0, 0, 10, static_cast<unsigned char>(kind),
                                   static_cast<unsigned char>(code),
                                   static_cast<unsigned char>(pid >> 24),
                                   static_cast<unsigned char>(pid >> 16),
                                   static_cast<unsigned char>(pid >> 8),
                                   static_cast<unsigned char>(pid)};
  return std::string(reinterpret_cast<const char*>(bytes), 10);
}

bool SafeName(const std::string& name) {
  if (name.empty() || name[0] == '.' || name.size() > 200) return false;
  for (char c : name) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')) {
      return false;
    }
  }
  return true;
}

// A command-3 text by the protocol's rules: "<name>;<limit>;;", the name
// not empty and free of control characters, the limit decimal digits
// from 1 to INT_MAX.
bool ParseText(const std::string& text, std::string* name, int* limit) {
  const std::string body = text.substr(0, text.size() - 2);
  const size_t separator = body.find(';');
  if (separator == std::string::npos) return false;
  *name = body.substr(0, separator);
  const std::string digits = body.substr(separator + 1);
  if (digits.empty()) return false;
  long long value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = std::min(value * 10 + (c - '0'), static_cast<long long>(INT_MAX) + 1);
  }
  if (value < 1 || value > INT_MAX) return false;
  if (name->empty()) return false;
  for (char c : *name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
  }
  *limit = static_cast<int>(value);
  return true;
}

// What the simulator must do with the bytes.
struct Expected {
  std::string replies;
  int status = 0;
  int exitStatus = 0;
  bool linkLost = false;
  bool quit = false;
  bool released = false;        // command 3 took the connection
  bool commandThree = false;    // a whole command-3 text was read
  bool textValid = false;
  std::string name;
  int limit = 0;
  bool idle = false;            // everything served, connection still open
};

Expected Interpret(const std::string& bytes, bool heldOpen) {
  Expected e;
  size_t i = 0;
  for (;;) {
    if (i == bytes.size()) {
      if (heldOpen) {
        e.idle = true;
      } else {
        e.status = 2;
        e.linkLost = true;
      }
      return e;
    }
    const unsigned char command = static_cast<unsigned char>(bytes[i++]);
    if (command == 1) {
      e.replies += Reply(0xFF, 1);
    } else if (command == 2) {
      e.replies += Reply(0xFE, 2);
      e.quit = true;
      e.status = 2;
      return e;
    } else if (command == 3) {
      e.released = true;
      size_t end = std::string::npos;
      for (size_t k = i + 1; k < bytes.size() && k - i + 1 <= 512; k++) {
        if (bytes[k - 1] == ';' && bytes[k] == ';') {
          end = k;
          break;
        }
      }
      if (end == std::string::npos && bytes.size() - i < 512) {
        // Cut short: by the close, or by the wait on an open connection.
        e.status = 2;
        if (heldOpen) {
          e.exitStatus = 1;
        } else {
          e.linkLost = true;
          e.released = false;
        }
        return e;
      }
      e.status = 2;
      e.exitStatus = 1;
      if (end == std::string::npos) return e;  // no ";;" within 512 bytes
      e.commandThree = true;
      e.textValid = ParseText(bytes.substr(i, end - i + 1), &e.name, &e.limit);
      return e;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/korvan_fuzz_stream_XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  scratch = pattern;
  startFolder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (startFolder == -1) std::abort();
  static char program[] = "simulator";
  static char option[] = "-c1";
  char* argv[] = {program, option, nullptr};
  CapturedStreams quiet;
  simulator = new SimulatorClass(2, argv);
  simulator->CreatePacketQueues();
  writer = new Writer();
  std::atexit([] { fs::remove_all(scratch); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool chunked = in.ConsumeBool();
  // Pieces arrive over time only on a connection that closes after them:
  // on one held open, a slow piece could not be told from a stalled one.
  const bool heldOpen = !chunked && in.ConsumeBool();
  bool fileGiven = in.ConsumeBool();
  std::vector<size_t> cuts(in.ConsumeIntegralInRange<size_t>(0, 8));
  for (size_t& cut : cuts) cut = in.ConsumeIntegralInRange<size_t>(1, 64);
  const std::string bytes = in.ConsumeRemainingBytesAsString().substr(0, 2048);

  Expected e = Interpret(bytes, heldOpen);
  if (e.commandThree && e.textValid && !SafeName(e.name)) fileGiven = true;
  // The file rules, for a name command 3 will act on.
  bool fileWritten = false;
  if (e.commandThree && e.textValid) {
    if (fileGiven) {
      e.replies += Reply(0xFF, 3);
      e.status = 0;
      e.exitStatus = 0;
    } else if (e.name == kTextFile || e.name == kFolder) {
      // refused: stays as Interpret left it
    } else {
      e.replies += Reply(0xFF, 3);
      e.status = 0;
      e.exitStatus = 0;
      fileWritten = true;
    }
  }

  ResetScratch(lastCreated);
  lastCreated.clear();
  SimulatorClass* s = simulator;
  s->status = 0;
  s->exitStatus = 0;
  s->linkLost = false;
  s->quitReceived = false;
  s->maxBatches = 0;
  delete[] s->binFileName;
  s->binFileName = nullptr;
  if (fileGiven) {
    s->binFileName = new char[8];
    std::strcpy(s->binFileName, "cli.bin");
  }
  s->commandPollMs = chunked ? 20 : 0;
  // All bytes are there before the first read unless they come in pieces.
  s->commandTextWaitMs = chunked ? 10000 : 0;

  int ends[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "no socket pair");
  const int manager = ends[1];
  s->simMgrSocket = new KorvanSocket(false);
  s->simMgrSocket->sock = ends[0];

  auto deliver = [&] {
    size_t at = 0;
    for (size_t k = 0; at < bytes.size(); k++) {
      const size_t n = chunked && k < cuts.size() ? std::min(cuts[k], bytes.size() - at)
                                                  : bytes.size() - at;
      if (send(manager, bytes.data() + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) break;
      at += n;
      if (chunked) std::this_thread::yield();
    }
    if (!heldOpen) shutdown(manager, SHUT_WR);
  };
  if (chunked) {
    writer->Start(deliver);
  } else {
    deliver();
  }

  // The replies are taken as they come: a manager that stopped reading
  // would (rightly) leave the simulator blocked in a send.
  std::string replies;
  char buffer[4096];
  auto takeReplies = [&] {
    for (;;) {
      const ssize_t n = recv(manager, buffer, sizeof(buffer), MSG_DONTWAIT);
      if (n <= 0) break;
      replies.append(buffer, static_cast<size_t>(n));
    }
  };
  {
    CapturedStreams quiet;
    FUZZ_CHECK(chdir(scratch.c_str()) == 0, "cannot enter the scratch folder");
    // Served as at successive hand-overs, until the run stops, the
    // connection is released, or (held open) nothing more is waiting.
    for (int round = 0; round < 4096 && s->status == 0 && s->simMgrSocket != nullptr; round++) {
      if (!chunked && heldOpen && !s->simMgrSocket->Select(0)) break;
      s->ListenToSimMgr(s->simMgrSocket);
      takeReplies();
    }
    FUZZ_CHECK(fchdir(startFolder) == 0, "cannot return to the start folder");
  }
  if (chunked) writer->Wait();

  takeReplies();
  close(manager);
  const bool released = s->simMgrSocket == nullptr;
  delete s->simMgrSocket;
  s->simMgrSocket = nullptr;
  delete s->binStream;
  s->binStream = nullptr;

  const std::string mode = std::string(chunked ? "in pieces" : "at once") +
                           (heldOpen ? ", held open" : ", closed") +
                           (fileGiven ? ", file given" : "");
  FUZZ_CHECK(replies == e.replies, "replies differ (" + mode + ")");
  FUZZ_CHECK(s->status == e.status, "status " + std::to_string(s->status) + ", expected " +
                                        std::to_string(e.status) + " (" + mode + ")");
  FUZZ_CHECK(s->exitStatus == e.exitStatus, "exit status " + std::to_string(s->exitStatus) + " (" + mode + ")");
  FUZZ_CHECK(s->linkLost == e.linkLost, "link-lost flag (" + mode + ")");
  FUZZ_CHECK(s->quitReceived == e.quit, "quit flag (" + mode + ")");
  FUZZ_CHECK(released == e.released, "connection released or kept wrongly (" + mode + ")");
  if (fileWritten) {
    FUZZ_CHECK(s->binFileName != nullptr && e.name == s->binFileName, "file name not taken");
    FUZZ_CHECK(s->maxBatches == e.limit, "limit not taken");
    FUZZ_CHECK(ReadAll(scratch + "/" + e.name) == ResultHeader(), "the result file is not a fresh header");
  } else {
    // A file given without a limit takes the accepted command's: a run left
    // to itself needs one.
    const bool limitTaken = fileGiven && e.commandThree && e.textValid;
    FUZZ_CHECK(s->maxBatches == (limitTaken ? e.limit : 0), "limit taken without a file, or not taken");
    if (fileGiven) {
      FUZZ_CHECK(s->binFileName != nullptr && std::string(s->binFileName) == "cli.bin",
                 "the file given on the command line was replaced");
    } else {
      FUZZ_CHECK(s->binFileName == nullptr, "a file name taken without a file");
    }
  }
  // Nothing else in the folder was touched.
  FUZZ_CHECK(ReadAll(scratch + "/" + kTextFile) == "export PATH=/usr/bin\n", "the text file changed");
  struct stat folder;
  FUZZ_CHECK(stat((scratch + "/" + kFolder).c_str(), &folder) == 0 && S_ISDIR(folder.st_mode),
             "the folder is gone");
  if (!(fileWritten && e.name == kResultFile)) {
    FUZZ_CHECK(ReadAll(scratch + "/" + kResultFile) == ResultHeader() + "records",
               "an earlier result file changed");
  }
  const size_t entries = CountEntries(scratch);
  const bool created = fileWritten && e.name != kResultFile;
  if (fileWritten) lastCreated = e.name;
  FUZZ_CHECK(entries == 3u + (created ? 1u : 0u), "files appeared in the folder (" + mode + ")");
  return 0;
}
