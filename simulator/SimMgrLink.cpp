// The link to the simulation manager: the listening port, the connection and
// its greeting, and the one-byte commands served at every hand-over.
//
// Messages sent here are 10 bytes: a big-endian length of 10 (the whole
// message), a kind byte, a code byte and the big-endian process id.

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <string>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "platform/KorvanSocket.h"
#include "platform/ProcessServices.h"
#include "simulator/SimulatorClass.h"
#include "simulator/TestHooks.h"

namespace {

const int kListenBacklog = 100;
// How long a newly connected peer is given to show that it is a probe that
// closes at once, before it is greeted as the manager.
const int kProbeCloseWaitMs = 10;
// Longest command-3 text read, its terminator included.
const int kCommandTextSize = 512;
const char kTextTerminator[] = ";;";

const char kCommandHello = 1;
const char kCommandQuit = 2;
const char kCommandFile = 3;

const int kBinaryHeaderSize = 256;
// The start of the header text of every binary result file.
const char kBinaryHeaderPrefix[] = "KORVAN_SIM_BIN_FILE,256,";

void SendMessage(SimulatorClass* simulator, KorvanSocket* socket, char kind, char code) {
  if (socket == nullptr) return;
  // A failed part sets `status` 2 inside the writers; the later parts are
  // still attempted.
  simulator->OutputInt(socket, nullptr, 10);
  simulator->OutputByte(socket, nullptr, kind);
  simulator->OutputByte(socket, nullptr, code);
  simulator->OutputInt(socket, nullptr, static_cast<int>(static_cast<uint32_t>(KorvanGetPid())));
}

// True when the peer has closed its side of the connection and nothing it
// sent is waiting to be read; found within kProbeCloseWaitMs.
bool ClosedWithoutAByte(KorvanSocket* socket) {
  // A manager sends nothing before it has the greeting, while a probe
  // closes a moment after connecting, often only after it was taken in: a
  // short look for its hang-up comes first. A manager is greeted that much
  // later.
  pollfd entry = {socket->sock, static_cast<short>(POLLIN | POLLRDHUP), 0};
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeCloseWaitMs);
  for (;;) {
    const long long leftMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    if (poll(&entry, 1, static_cast<int>(std::max<long long>(leftMs, 0))) != -1 || errno != EINTR) break;
  }
  char byte;
  ssize_t n;
  do {
    n = recv(socket->sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n == -1 && errno == EINTR);
  return n == 0;
}

// The greeting (the same ten bytes as SendMessage(0xFF, 1)) in one send;
// false when the peer did not take all of it.
bool SendGreeting(KorvanSocket* socket) {
  const uint32_t pid = static_cast<uint32_t>(KorvanGetPid());
  const char bytes[10] = {0, 0, 0, 10, static_cast<char>(0xFF), 1, static_cast<char>(pid >> 24),
                          static_cast<char>(pid >> 16), static_cast<char>(pid >> 8), static_cast<char>(pid)};
  return socket->Send(bytes, sizeof(bytes)) == static_cast<int>(sizeof(bytes));
}

char* CopyText(const char* text, size_t length) {
  char* copy = new (std::nothrow) char[length + 1];
  if (copy == nullptr) MemoryAllocationError();
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// `text` with control characters and backslashes written as \xNN, fit to
// be printed in a message.
std::string Printable(const char* text, size_t length) {
  std::string out;
  for (size_t k = 0; k < length; k++) {
    const unsigned char c = static_cast<unsigned char>(text[k]);
    if (IsControl(c) || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The text of command 3, "<name>;<limit>;;", taken apart. The name is not
// empty and holds no control characters; the limit is a whole number from 1
// to INT_MAX written in decimal digits only. A text that is anything else
// is refused with `reason` saying why.
struct FileCommand {
  std::string name;
  int limit = 0;
  std::string reason;
};

bool ParseFileCommand(const char* text, size_t length, FileCommand* command) {
  const size_t terminatorLength = sizeof(kTextTerminator) - 1;
  KORVAN_ASSERT(length >= terminatorLength);
  const size_t bodyLength = length - terminatorLength;
  const char* separator = static_cast<const char*>(std::memchr(text, ';', bodyLength));
  if (separator == nullptr) {
    command->reason = "the text '" + Printable(text, length) + "' is not <file>;<limit>;;";
    return false;
  }
  const size_t nameLength = static_cast<size_t>(separator - text);
  const char* limit = separator + 1;
  const size_t limitLength = bodyLength - nameLength - 1;
  long long value = 0;
  bool digitsOnly = limitLength > 0;
  for (size_t k = 0; k < limitLength && digitsOnly; k++) {
    digitsOnly = limit[k] >= '0' && limit[k] <= '9';
    if (digitsOnly && value <= INT_MAX) value = value * 10 + (limit[k] - '0');
  }
  if (!digitsOnly || value < 1 || value > INT_MAX) {
    command->reason = "the replication limit must be a whole number from 1 to " +
                      std::to_string(INT_MAX) + ", not '" + Printable(limit, limitLength) + "'";
    return false;
  }
  if (nameLength == 0) {
    command->reason = "the file name is empty";
    return false;
  }
  for (size_t k = 0; k < nameLength; k++) {
    if (IsControl(static_cast<unsigned char>(text[k]))) {
      command->reason =
          "the file name '" + Printable(text, nameLength) + "' holds control characters";
      return false;
    }
  }
  command->name.assign(text, nameLength);
  command->limit = static_cast<int>(value);
  return true;
}

// Whether the open file `fd` is a binary result file of this system: its
// first block is the header text, NUL-terminated, and zero bytes after it.
bool HoldsBinaryHeader(int fd) {
  unsigned char block[kBinaryHeaderSize];
  size_t got = 0;
  while (got < sizeof(block)) {
    const ssize_t n = read(fd, block + got, sizeof(block) - got);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  const size_t prefixLength = sizeof(kBinaryHeaderPrefix) - 1;
  if (std::memcmp(block, kBinaryHeaderPrefix, prefixLength) != 0) return false;
  const unsigned char* end =
      static_cast<const unsigned char*>(std::memchr(block, 0, sizeof(block)));
  if (end == nullptr) return false;
  for (const unsigned char* p = end; p < block + sizeof(block); p++) {
    if (*p != 0) return false;
  }
  return true;
}

// Decides whether the manager may have `name` written: a file that does not
// exist yet (created here, empty, so that nothing else can take the name
// meanwhile), or a binary result file of an earlier run. Anything else that
// exists is refused: a manager that could name any file would make the
// simulator truncate whatever the user may write. Returns a descriptor of
// the file that passed (the results are then written to that very file,
// whatever is put at its name meanwhile), or -1 with `reason` when refused;
// `created` tells whether the file was made here.
int MayWriteResultFile(const std::string& name, std::string* reason, bool* created) {
  *created = false;
  const std::string shown = "'" + Printable(name.data(), name.size()) + "'";
  int fd;
  // Opened first and examined through the descriptor, so that what is
  // examined is what is opened. Non-blocking: a FIFO put at the name must
  // not hold the run; nothing is read from anything but a regular file.
  do {
    fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd == -1 && errno == EINTR);
  if (fd != -1) {
    struct stat info;
    const char* refusal = nullptr;
    if (fstat(fd, &info) != 0) {
      *reason = shown + " cannot be used: " + std::strerror(errno);
    } else if (S_ISDIR(info.st_mode)) {
      refusal = " is a directory";
    } else if (!S_ISREG(info.st_mode) || !HoldsBinaryHeader(fd)) {
      refusal = " exists and is not a binary result file";
    } else {
      return fd;
    }
    if (refusal != nullptr) *reason = shown + refusal;
    close(fd);
    return -1;
  }
  if (errno != ENOENT) {
    const int error = errno;
    struct stat info;
    *reason = shown + (stat(name.c_str(), &info) == 0 ? " cannot be read: " : " cannot be used: ") +
              std::strerror(error);
    return -1;
  }
  do {
    fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) {
    // EEXIST here: a dangling symbolic link, or a file made meanwhile.
    *reason = errno == EEXIST ? shown + " exists and is not a binary result file"
                              : shown + " cannot be created: " + std::strerror(errno);
    return -1;
  }
  *created = true;
  return fd;
}

// Removes the file made at `name` for a result file that then could not be
// opened or given its header: left behind, empty or with part of a header,
// it would be refused as no binary result file when named again. Only
// while the name still leads to the file made (`fd`).
void RemoveMadeResultFile(const std::string& name, int fd) {
  struct stat made;
  struct stat named;
  if (fstat(fd, &made) == 0 && lstat(name.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
      made.st_dev == named.st_dev && made.st_ino == named.st_ino) {
    unlink(name.c_str());
  }
}

void ReportReadError(SimulatorClass* simulator) {
  std::cout << "Error reading socket 'read'... Exiting." << std::endl;
  simulator->status = 2;
  simulator->linkLost = true;
}

enum TextResult { kTextComplete, kTextCutShort, kTextTooLong, kTextTimedOut };

// Reads the text of command 3 up to and including its terminator, one byte
// at a time, so that nothing after it is taken from the socket. The manager
// has `waitMs` in all to send it; a text it leaves unfinished on an open
// connection must not hold the run for ever. Leaves a NUL after the text.
// REQUIRES: `text` holds kCommandTextSize + 1 bytes.
TextResult ReadFileCommandText(KorvanSocket* socket, int waitMs, char* text, int* length) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  const int terminatorLength = static_cast<int>(sizeof(kTextTerminator) - 1);
  *length = 0;
  text[0] = '\0';
  while (*length < kCommandTextSize) {
    const long long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (!socket->Select(left > 0 ? static_cast<int>(left) : 0)) {
      if (socket->GetErrorString() != nullptr) return kTextCutShort;
      if (left <= 0) return kTextTimedOut;
      continue;
    }
    if (socket->Recv(text + *length, 1) != 1) return kTextCutShort;
    text[++*length] = '\0';
    if (*length >= terminatorLength &&
        std::memcmp(text + *length - terminatorLength, kTextTerminator,
                    static_cast<size_t>(terminatorLength)) == 0) {
      return kTextComplete;
    }
  }
  return kTextTooLong;
}

// Whether standard output is a pipe or FIFO, the only kind whose reader
// can be seen to go away.
bool OutputIsPipe() {
  struct stat info;
  return fstat(STDOUT_FILENO, &info) == 0 && S_ISFIFO(info.st_mode);
}

// Whether the reader of standard output, a pipe, has gone without taking
// all that was written to it: then the port announcement, the last line
// written, never reached anyone. A reader that took the whole announcement
// before it went may be a manager on its way to connect.
bool AnnouncementLeftUnread() {
  int unread = 0;
  return ioctl(STDOUT_FILENO, FIONREAD, &unread) == 0 && unread > 0;
}

}  // namespace

KorvanSocket* SimulatorClass::WaitForSimMgrConnection(int waitMs) {
  delete listenSocket;
  listenSocket = new (std::nothrow) KorvanSocket(true);
  if (listenSocket == nullptr) MemoryAllocationError();
  if (listenSocket->sock == -1) return nullptr;  // reported by the socket layer

  // Ports in use are skipped; the port field ends up holding the bound one.
  while (!listenSocket->Bind(port)) {
    if (port == 65535) {
      std::cerr << "!! No port free to listen on up to 65535" << std::endl;
      return nullptr;
    }
    ++port;
  }
  if (port == 0) {
    // Port 0 lets the system choose: announce the port actually bound.
    sockaddr_in address;
    socklen_t length = sizeof(address);
    if (getsockname(listenSocket->sock, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
  }
  // Listening comes before the announcement: a manager may connect the
  // moment it reads the port, and must not be refused.
  if (!listenSocket->Listen(kListenBacklog)) return nullptr;
  // The manager learns the port from this line only: one that cannot be
  // written (a reader of standard output that is gone, `| true`) ends the
  // wait at once, where no manager could come. A line earlier in the run
  // that failed is no reason to give up on this one: the stream is tried
  // again.
  std::cout.clear();
  errno = 0;
  std::cout << "REGISTER:  Port: [" << port << "]" << std::endl;  // flushed
  if (std::cout.fail()) {
    const int error = errno;
    std::cerr << "!! Error writing to standard output: " << (error != 0 ? std::strerror(error) : "write failed")
              << "; the port cannot be announced to a simulation manager" << std::endl;
    return nullptr;
  }
  // A pipe's reader that goes away meanwhile without reading the line ends
  // the wait as well (poll reports POLLERR for a pipe without readers); one
  // that read the line is left to come.
  bool watchOutput = OutputIsPipe();

  KorvanSocket* client = new (std::nothrow) KorvanSocket(false);
  if (client == nullptr) MemoryAllocationError();
  bool connected = false;
  // -1 waits without limit; 0 and other negatives do not wait at all. The
  // time left is kept in microseconds: passes cut short by probes a little
  // over a millisecond apart must each be charged what they took.
  const bool timed = waitMs != -1;
  long long leftUs = waitMs > 0 ? waitMs * 1000LL : 0;
  for (;;) {
    if (connected) return client;
    // Stopped or interrupted meanwhile, or the wait is over.
    if (status != 0 || SimulatorInterruptSignal != 0 || (timed && leftUs <= 0)) {
      delete client;
      return nullptr;
    }
    const auto passStart = std::chrono::steady_clock::now();
    const char* errorBefore = listenSocket->GetErrorString();
    int selectMs = acceptPollMs;
    if (watchOutput) {
      pollfd both[2] = {{listenSocket->sock, POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
      if (poll(both, 2, acceptPollMs) > 0 && (both[1].revents & (POLLERR | POLLNVAL)) != 0) {
        if (AnnouncementLeftUnread()) {
          std::cerr << "!! The reader of standard output went away without reading the port: no simulation "
                       "manager can connect"
                    << std::endl;
          delete client;
          return nullptr;
        }
        // Reported at every later poll: no longer watched.
        watchOutput = false;
      }
      // What the poll found is taken without waiting again.
      selectMs = 0;
    }
    if (listenSocket->Select(selectMs)) {
      if (listenSocket->Accept(*client)) {
        const int sendBuffer = SimMgrSendBufferBytes();
        if (sendBuffer > 0) {
          setsockopt(client->sock, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
        }
        // A peer gone before its greeting arrives whole (a probe that
        // resets its connection, say), or one that closed its side before
        // the greeting was sent, without sending a byte (a probe that
        // closes normally: it cannot have read anything), is not the
        // manager: it is dropped and the wait goes on, rather than ending
        // the run with a lost link. Looked at without waiting. A peer that
        // closes once the greeting is sent may have read it: a manager
        // that went away.
        if (!ClosedWithoutAByte(client) && SendGreeting(client)) {
          connected = true;
        } else {
          client->Close();
        }
      }
    }
    // A listening socket that has failed (select or accept reported an
    // error) would fail again at every poll: waiting on would only spin.
    if (!connected && listenSocket->GetErrorString() != errorBefore) {
      delete client;
      return nullptr;
    }
    // A pass uses up the time it took (cut short by a dropped probe), at
    // most its poll, and at least a millisecond, so that a timed wait with
    // a poll of 0 ms ends.
    if (timed) {
      const long long spentUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::steady_clock::now() - passStart).count();
      const long long pollUs = acceptPollMs > 0 ? acceptPollMs * 1000LL : 1000;
      leftUs -= std::max<long long>(1000, std::min<long long>(spentUs, pollUs));
    }
  }
}

void SimulatorClass::ListenToSimMgr(KorvanSocket* socket) {
  if (socket == nullptr) return;
  if (!socket->Select(commandPollMs)) {
    if (socket->GetErrorString() != nullptr) {
      std::cout << "Error reading socket 'select'... Exiting." << std::endl;
      status = 2;
      linkLost = true;
    }
    return;
  }
  char command = 0;
  // The socket was readable, so a read of nothing is an error or a manager
  // that closed the connection; either ends the link (the socket would be
  // readable again at every later poll).
  if (socket->RecvBlock(&command, 1) < 1) {
    ReportReadError(this);
    return;
  }

  if (command == kCommandQuit) {
    quitReceived = true;
    std::cout << "SOCKET::Quit" << std::endl;
    SendMessage(this, socket, static_cast<char>(0xFE), 2);
    status = 2;
  } else if (command == kCommandFile) {
    ServeFileCommand(socket);
  } else if (command == kCommandHello) {
    SendMessage(this, socket, static_cast<char>(0xFF), 1);
  } else {
    std::cerr << "!! Invalid Response Received by Client " << std::endl;
    std::cerr << "!! Simulation" << std::endl;
  }
}

void SimulatorClass::ServeFileCommand(KorvanSocket* socket) {
  char text[kCommandTextSize + 1];
  int length = 0;
  const TextResult read = ReadFileCommandText(socket, commandTextWaitMs, text, &length);
  FileCommand parsed;
  bool accepted = false;
  if (read == kTextCutShort) {
    // The manager went away or the connection failed inside the command:
    // acting on part of a file name would write to the wrong file.
    ReportReadError(this);
    return;
  } else if (read == kTextTimedOut) {
    std::cerr << "!! The simulation manager sent " << length
              << " bytes of command 3 and no more within " << commandTextWaitMs / 1000.0
              << " s: the run stops" << std::endl;
  } else if (read == kTextTooLong) {
    std::cerr << "!! Refusing command 3 from the simulation manager: its text has no ';;' within "
              << kCommandTextSize << " bytes" << std::endl;
  } else if (!ParseFileCommand(text, static_cast<size_t>(length), &parsed)) {
    std::cerr << "!! Refusing command 3 from the simulation manager: " << parsed.reason
              << std::endl;
  } else if (status != 0) {
    // Served with the run's last hand-over (its limit reached, or the run
    // being stopped): acknowledged, the run would end at once all the same,
    // with the file holding none of the replications the command asked
    // for. It is not taken: the manager keeps the link, which brings it the
    // last observations, and no acknowledgement tells it so.
    std::cerr << "!! Command 3 from the simulation manager came as the run ended: not taken, the last "
                 "observations go to the manager"
              << std::endl;
    return;
  } else if (binFileName != nullptr) {
    // A file given on the command line is kept, with its limit; without one
    // (-b and no -N) the run, left to itself, would never end: it takes the
    // manager's.
    if (maxBatches < 1) maxBatches = parsed.limit;
    accepted = true;
  } else {
    std::string reason;
    bool created = false;
    const int checked = MayWriteResultFile(parsed.name, &reason, &created);
    if (checked == -1) {
      std::cerr << "!! Refusing the result file named by the simulation manager: " << reason
                << std::endl;
    } else {
      binFileName = CopyText(parsed.name.data(), parsed.name.size());
      // Reports its own failure to open or write the file.
      binStream = CreateBinFile(binFileName, checked);
      if (binStream == nullptr && created) RemoveMadeResultFile(parsed.name, checked);
      close(checked);
      if (binStream != nullptr) {
        maxBatches = parsed.limit;
        accepted = true;
      }
    }
  }
  if (accepted) {
    // Acknowledged only once the results have a file to go to.
    SendMessage(this, socket, static_cast<char>(0xFF), 3);
  } else {
    // Refused, or the file cannot be written: going on alone with nowhere to
    // write would lose every result, so the run stops and says so in its
    // exit status. Nothing is acknowledged.
    status = 2;
    exitStatus = 1;
  }
  // Either way the simulator is done with the connection; the
  // acknowledgement and what went before it reach the manager first.
  EndManagerConnection(socket);
  if (socket == simMgrSocket) {
    delete simMgrSocket;
    simMgrSocket = nullptr;
  }
}

bool SimulatorClass::StopAskedWhileOpening() {
  if (SimulatorInterruptSignal != 0) return true;
  // A manager that has connected is heard as during the run: its quit (or a
  // connection that fails) ends the run before it has started.
  if (simMgrSocket != nullptr && status == 0) ListenToSimMgr(simMgrSocket);
  return status != 0;
}

void SimulatorClass::ListenToSimMgrLoop(KorvanSocket* socket) {
  while (status == 0 && socket != nullptr) {
    const bool isLink = socket == simMgrSocket;
    ListenToSimMgr(socket);
    // Command 3 releases the connection: it must not be used again.
    if (isLink ? simMgrSocket != socket : socket->sock == -1) return;
  }
}

int SimulatorClass::SocketThreadFunc() {
  if (status != 0) return 0;
  KorvanSocket* socket = WaitForSimMgrConnection(-1);
  // Null: the run was stopped while waiting, no port could be listened on,
  // or its announcement reached no one; trying again would only repeat the
  // failure.
  if (socket == nullptr) return 0;
  delete simMgrSocket;
  simMgrSocket = socket;
  ListenToSimMgrLoop(socket);
  return 0;
}

int SimulatorClass::StaticSocketThreadFunc(void* simulator) {
  return static_cast<SimulatorClass*>(simulator)->SocketThreadFunc();
}
