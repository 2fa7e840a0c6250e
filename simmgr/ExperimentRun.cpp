#include "simmgr/ExperimentRun.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Cpp/BaseClasses/BaseStudyClass.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "simmgr/LauncherPreset.h"
#include "simmgr/NumberText.h"
#include "tools/SimMgrConnection.h"

namespace {

constexpr int kConnectRetryMs = 20;
// How long a launcher has to end, and to end what it started elsewhere,
// after SIGTERM; then SIGKILL. srun waits for its job step to end.
constexpr int kLauncherGraceMs = 5000;
// How long a simulator whose connection ended early has to end, so that its
// attempt says how it ended ("killed", "exited") rather than only "link". A
// killed process's socket closes before its parent can see it gone: some
// milliseconds, more on a loaded machine, and a launcher (srun, ssh)
// reports the end of what it started a moment later still.
constexpr int kEndAfterCloseMs = 3000;
// The pause before an attempt that follows one ended before announcing its
// port, per such attempt in a row (1 s, 2 s, ...), and the longest pause.
// With the default three retries an experiment waits out 6 s of a host or
// daemon that refuses to start simulators.
constexpr int kEarlyEndPauseMs = 1000;
constexpr int kLongestEarlyEndPauseMs = 10000;
constexpr int kLastWordsLines = 8;
// What is kept of a simulator's standard output and standard error, each.
constexpr size_t kOutputTail = 64 * 1024;
// Bytes read from a connection per Service, so that a peer that sends
// without pause cannot keep the manager from its other runs.
constexpr size_t kReadPerService = 1 << 20;
// Bytes read from the connection of a simulator that has ended.
constexpr size_t kReadAfterEnd = 64u << 20;

std::string Tail(const std::string& text, int lines) {
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  size_t start = end;
  for (int found = 0; start > 0; --start) {
    if (text[start - 1] == '\n' && ++found == lines) break;
  }
  return text.substr(start, end - start);
}

std::string Prefixed(const std::string& text, const std::string& prefix) {
  if (text.empty()) return "";
  std::string out;
  size_t from = 0;
  while (from <= text.size()) {
    size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    // Output through a terminal (ssh -tt) ends its lines with "\r\n".
    const size_t last = end > from && text[end - 1] == '\r' ? end - 1 : end;
    out += prefix + text.substr(from, last - from) + "\n";
    from = end + 1;
  }
  return out;
}

// The launcher template with its placeholders replaced, in one pass: what
// is put in is never scanned again.
std::string Substitute(const std::string& launcher, const std::string& command, const std::string& host) {
  static const char* const kPlaceholders[] = {"{command}", "{quoted-command}", "{host}"};
  const std::string values[] = {command, LauncherPreset::ShellWord(command), host};
  std::string out;
  size_t at = 0;
  while (at < launcher.size()) {
    bool replaced = false;
    for (size_t i = 0; i < 3 && !replaced; ++i) {
      const std::string placeholder = kPlaceholders[i];
      if (launcher.compare(at, placeholder.size(), placeholder) == 0) {
        out += values[i];
        at += placeholder.size();
        replaced = true;
      }
    }
    if (!replaced) out += launcher[at++];
  }
  return out;
}

// Errors of a process, pipe or socket that was not made for want of what
// other processes hold now.
bool ShortOfResources(int error) {
  return error == EAGAIN || error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS;
}

// The signal that ended the process (or, through a launcher's shell, its
// command), from its exit status; 0 for none. A status above 128 plus the
// highest signal number is the program's own: ssh ends with 255 when it
// cannot reach the host or loses the connection.
int SignalOf(const SimulatorProcess& process) {
  const int status = process.ExitStatus();
  return status > 128 && status < 128 + NSIG ? status - 128 : 0;
}

std::string ExitText(const SimulatorProcess& process) {
  const int signal = SignalOf(process);
  if (signal > 0) return "killed by signal " + std::to_string(signal);
  return "exit status " + std::to_string(process.ExitStatus());
}

// Cuts the file at `path` back to the end of its last whole line. A
// simulator killed while it wrote a hand-over's rows leaves the last row
// cut off part-way ("2,0.12" of "2,0.125", "0,0" of "0,0.5"), which reads
// as an observation it never made. A file that is not a regular one, or
// that cannot be read, is left as it is.
void CutToWholeLines(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd == -1) return;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    off_t end = info.st_size;
    char buffer[4096];
    while (end > 0) {
      const off_t from = std::max<off_t>(end - static_cast<off_t>(sizeof(buffer)), 0);
      const size_t length = static_cast<size_t>(end - from);
      if (pread(fd, buffer, length, from) != static_cast<ssize_t>(length)) {
        end = info.st_size;
        break;
      }
      const void* newline = memrchr(buffer, '\n', length);
      if (newline != nullptr) {
        end = from + (static_cast<const char*>(newline) - buffer) + 1;
        break;
      }
      end = from;
    }
    if (end < info.st_size && ftruncate(fd, end) != 0) {
      // Left as it is; the rows before the cut are whole either way.
    }
  }
  close(fd);
}

}  // namespace

ExperimentRun::ExperimentRun(int experiment, const std::vector<bool>& considered,
                             const StoppingRule& rule, uint32_t seed, int retries)
    : experiment(experiment),
      rule(rule),
      considered(considered),
      primarySeed(seed),
      retries(retries),
      stream(SimMgrConnection::kMaxRecordLength),
      statistics(considered.size()),
      pilot(rule.Pilot() > 0 ? considered.size() : 0),
      test(rule.test) {}

void ExperimentRun::Restore(const std::vector<SimulatorAttempt>& prior, SequentialTest::Decision decision) {
  KORVAN_ASSERT(state == kPending && attempts.empty());
  for (const SimulatorAttempt& attempt : prior) {
    attempts.push_back(attempt);
    restoredWallSeconds += attempt.wallSeconds;
    for (size_t v = 0; v < statistics.size() && v < attempt.statistics.size(); ++v) {
      statistics[v].Merge(attempt.statistics[v]);
    }
    for (size_t v = 0; v < pilot.size() && v < attempt.pilot.size(); ++v) pilot[v].Merge(attempt.pilot[v]);
  }
  if (rule.Pilot() > 0 && PilotCount() >= rule.Pilot()) PlanAfterPilot();
  if (rule.Hypothesis() && rule.testVariable >= 0) {
    const RunningStatistics& s = statistics[rule.testVariable];
    test.Restore(s.Count(), static_cast<int64_t>(std::llround(s.Sum().Value())), decision);
  }
  // What earlier segments left is judged as at a look: a study resumed
  // with the targets it met needs nothing more.
  const int64_t have = Replications();
  if (have > 0 && (!rule.Precision() || rule.IsLook(have) || have >= rule.Limit()) && Done()) {
    accepting = false;
    Finish(kComplete);
  }
}

ExperimentRun::~ExperimentRun() { CloseSocket(); }

void ExperimentRun::Enter(State next) {
  state = next;
  deadline = Clock::now() + std::chrono::milliseconds(launch.timeoutMs);
}

std::string ExperimentRun::CommandLine(const std::vector<std::string>& arguments) const {
  // The program is the first word: a relative path beginning with "-" would
  // be an option of a launcher's own program (nice -sim), and one holding
  // "=" unquoted a shell assignment (x=y/simulator).
  std::string program = launch.simulator;
  if (!program.empty() && program[0] == '-') program = "./" + program;
  std::string line = LauncherPreset::ShellWord(program);
  if (line == program && program.find('=') != std::string::npos) line = "'" + program + "'";
  for (const std::string& argument : arguments) line += " " + LauncherPreset::ShellWord(argument);
  return line;
}

int ExperimentRun::EndedInSegment(int segment) const {
  int count = 0;
  for (const SimulatorAttempt& attempt : attempts) count += attempt.segment == segment ? 1 : 0;
  return count;
}

void ExperimentRun::Start(const Launch& how) {
  KORVAN_ASSERT(state == kPending);
  const int number = EndedInSegment(how.segment);
  launch = how;
  connectHost = launch.host;
  attemptStarted = Clock::now();
  current = SimulatorAttempt();
  current.segment = launch.segment;
  current.number = number;
  current.seed = launch.seed;
  current.host = launch.host;
  current.launchHost = launch.host;
  current.statistics.assign(considered.size(), RunningStatistics());
  current.pilot.assign(pilot.size(), RunningStatistics());
  stream = SimMgrStream(SimMgrConnection::kMaxRecordLength);
  announcedPort = 0;
  simulatorPid = 0;
  quitReplied = false;
  endedBeforeAnnouncing = false;
  std::vector<std::string> arguments = {
      "-w", "-p", std::to_string(launch.port), "-c", std::to_string(experiment),
      "-e", std::to_string(experiment), "-s", std::to_string(launch.seed),
      "-r", std::to_string(launch.generator), "-n", std::to_string(launch.reportSize)};
  if (launch.batchLimit > 0) {
    arguments.push_back("-N");
    arguments.push_back(std::to_string(launch.batchLimit));
  }
  if (!launch.asciiFile.empty()) {
    arguments.push_back("-a");
    arguments.push_back(launch.asciiFile);
  }
  process.SetOwnProcessGroup(true);
  process.SetOutputLimit(kOutputTail);
  bool spawned = false;
  if (launch.launcher.empty()) {
    checkPid = true;
    spawned = process.Start(launch.simulator, arguments);
  } else {
    // Through a launcher the child is the launcher (or a shell), not the
    // simulator: the greeting's process id cannot be checked against it.
    // The id the greeting names is then the one every reply must name.
    checkPid = false;
    const std::string command = Substitute(launch.launcher, CommandLine(arguments), launch.host);
    spawned = process.Start("/bin/sh", {"-c", command});
  }
  if (!spawned && launch.waitIfShort && ShortOfResources(process.StartErrno())) return;
  if (!startedHere) started = attemptStarted;
  startedHere = true;
  Enter(kStarting);
  if (!spawned) Fail(SimulatorAttempt::kNotStarted, "cannot start the simulator: " + process.Error());
}

void ExperimentRun::AddPollEntries(std::vector<pollfd>& entries) {
  outSlot = errSlot = socketSlot = -1;
  if (!Active()) return;
  if (process.OutputFd() != -1) {
    outSlot = static_cast<int>(entries.size());
    entries.push_back({process.OutputFd(), POLLIN, 0});
  }
  if (process.ErrorFd() != -1) {
    errSlot = static_cast<int>(entries.size());
    entries.push_back({process.ErrorFd(), POLLIN, 0});
  }
  if (socketFd != -1 && socketEvents != 0) {
    socketSlot = static_cast<int>(entries.size());
    entries.push_back({socketFd, socketEvents, 0});
  }
}

void ExperimentRun::Service(const std::vector<pollfd>& entries) {
  if (!Active()) return;
  process.Pump();
  const bool socketReady = socketSlot >= 0 && static_cast<size_t>(socketSlot) < entries.size() &&
                           entries[socketSlot].revents != 0;
  const Clock::time_point now = Clock::now();
  switch (state) {
    case kStarting: {
      std::string line;
      while (state == kStarting && process.ReadLine(line, 0)) {
        // A launcher that chooses the host itself names it first; the
        // attempt is recorded with it (the port it announces is there).
        // Without a launcher the simulator runs here, whatever it prints.
        const std::string host = launch.launcher.empty() ? "" : LauncherPreset::HostFromAnnouncement(line);
        if (!host.empty()) {
          connectHost = host;
          current.host = host;
        }
        const int port = SimulatorProcess::PortFromAnnouncement(line);
        if (port < 0) return Fail(SimulatorAttempt::kProtocol, "malformed port announcement: " + line);
        if (port > 0) {
          announcedPort = port;
          current.port = port;
          Enter(kConnecting);
          BeginConnect();
        }
      }
      if (state != kStarting) return;
      if (process.PollEnded()) {
        process.Pump();
        endedBeforeAnnouncing = true;
        return Fail(EndedEnding(),
                    "the simulator ended before announcing its port (" + ExitText(process) + ")");
      }
      if (now >= deadline) return Fail(SimulatorAttempt::kTimedOut, "no port announcement within the timeout");
      return;
    }
    case kConnecting:
      if (socketFd != -1 && socketReady) {
        HandleConnectResult();
      } else if (socketFd == -1 && now >= retryAt) {
        BeginConnect();
      }
      if (state != kConnecting) return;
      if (process.PollEnded()) {
        // Its last words (read for the report and its messages) may have
        // come after the read at the top.
        process.Pump();
        return Fail(EndedEnding(), "the simulator ended before accepting the connection (" +
                                       ExitText(process) + ")");
      }
      if (now >= deadline) {
        return Fail(SimulatorAttempt::kTimedOut, "no connection to " + connectHost + " port " +
                                                     std::to_string(announcedPort) + " within the timeout");
      }
      return;
    case kGreeting:
    case kRunning:
    case kQuitting:
      if (socketReady) ReadSocket(kReadPerService);
      if (state != kGreeting && state != kRunning && state != kQuitting) return;
      if (process.PollEnded()) {
        // What it sent before it ended is still to be read, on the socket
        // and on its output (its last words may have come after the read at
        // the top).
        process.Pump();
        ReadSocket(kReadAfterEnd);
        if (state == kClosed) return FailClosed();
        if (state != kGreeting && state != kRunning && state != kQuitting) return;
        return Fail(EndedEnding(), "the simulator ended (" + ExitText(process) + ")");
      }
      if (now >= deadline) {
        return Fail(SimulatorAttempt::kTimedOut,
                    state == kGreeting  ? "no greeting within the timeout"
                    : state == kRunning ? "no record from the simulator within the timeout"
                                        : "no reply to the quit command within the timeout");
      }
      // A simulator whose hand-overs are cheap holds their records back,
      // many at a time: silent for half the timeout, it is asked whether it
      // is still handing over, and its answer is a sign of life.
      if (state == kRunning && !pingSent && now >= deadline - std::chrono::milliseconds(launch.timeoutMs / 2)) {
        SendPing();
      }
      return;
    case kExiting:
      if (socketReady) ReadSocket(kReadPerService);
      if (state != kExiting) return;
      if (process.PollEnded()) return EndExited();
      if (now >= deadline) return Fail(SimulatorAttempt::kTimedOut, "the simulator did not end after " + QuitEnd());
      return;
    case kClosed:
      if (process.PollEnded() || now >= deadline) return FailClosed();
      return;
    case kEnding:
      // The group, not its leader: srun may still be cancelling its job
      // step after the shell that started it has gone.
      if (!process.GroupRunning() && process.PollEnded()) {
        process.Pump();
        return AfterEnd();
      }
      if (now >= deadline) {
        process.Kill();
        return AfterEnd();
      }
      return;
    default:
      return;
  }
}

void ExperimentRun::BeginConnect() {
  CloseSocket();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(announcedPort);
  const int resolved = getaddrinfo(connectHost.c_str(), service.c_str(), &hints, &found);
  if (resolved != 0 || found == nullptr) {
    return Fail(SimulatorAttempt::kLink, "cannot resolve host " + connectHost + ": " + gai_strerror(resolved));
  }
  socketFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (socketFd == -1) {
    freeaddrinfo(found);
    if (ShortOfResources(errno)) {
      // No descriptor free now: tried again shortly, within the timeout.
      retryAt = Clock::now() + std::chrono::milliseconds(kConnectRetryMs);
      return;
    }
    return Fail(SimulatorAttempt::kLink, std::string("cannot create a socket: ") + std::strerror(errno));
  }
  int result;
  do {
    result = connect(socketFd, found->ai_addr, found->ai_addrlen);
  } while (result == -1 && errno == EINTR);
  const int error = errno;
  freeaddrinfo(found);
  if (result == 0) {
    socketEvents = POLLIN;
    Enter(kGreeting);
  } else if (error == EINPROGRESS) {
    socketEvents = POLLOUT;
  } else {
    // The announcement comes before the simulator listens: a refused
    // connection is tried again shortly.
    CloseSocket();
    retryAt = Clock::now() + std::chrono::milliseconds(kConnectRetryMs);
  }
}

void ExperimentRun::HandleConnectResult() {
  int error = 0;
  socklen_t length = sizeof(error);
  if (getsockopt(socketFd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error == 0) {
    socketEvents = POLLIN;
    Enter(kGreeting);
    return;
  }
  CloseSocket();
  retryAt = Clock::now() + std::chrono::milliseconds(kConnectRetryMs);
}

void ExperimentRun::CloseSocket() {
  if (socketFd != -1) close(socketFd);
  socketFd = -1;
  socketEvents = 0;
}

void ExperimentRun::ReadSocket(size_t limit) {
  if (socketFd == -1) return;
  unsigned char buffer[65536];
  bool closed = false;
  std::string failure;
  for (size_t total = 0; total < limit;) {
    const ssize_t n = recv(socketFd, buffer, sizeof(buffer), 0);
    if (n > 0) {
      stream.Append(buffer, static_cast<size_t>(n));
      total += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) {
      closed = true;
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      failure = std::string("receive failed: ") + std::strerror(errno);
    }
    break;
  }
  SimMgrMessage message;
  for (;;) {
    const SimMgrStream::Result result = stream.Next(message);
    if (result == SimMgrStream::kBroken) return Fail(SimulatorAttempt::kProtocol, "protocol error: " + stream.Error());
    if (result == SimMgrStream::kNeedMore) break;
    HandleMessage(message);
    if (socketFd == -1 || !Active()) return;
  }
  if ((closed || !failure.empty()) && (state == kQuitting || state == kExiting)) {
    // Everything needed has arrived; a simulator at its batch limit ends
    // without waiting for the quit command. A record cut off here counts
    // for nothing, as anywhere.
    CloseSocket();
    if (state == kQuitting) Enter(kExiting);
    return;
  }
  if (closed || !failure.empty()) {
    // The simulator is given a moment to end, for its status (kClosed).
    closedReason = !failure.empty()        ? failure
                   : stream.Buffered() > 0 ? "the simulator closed the connection inside a message"
                                           : "the simulator closed the connection";
    CloseSocket();
    Enter(kClosed);
    deadline = Clock::now() + std::chrono::milliseconds(std::min(launch.timeoutMs, kEndAfterCloseMs));
  }
}

bool ExperimentRun::CheckSender(const SimMgrMessage& message) {
  // Records carry the low byte of the client id and the low 16 bits of the
  // experiment; the client id handed out is the experiment number.
  if (message.clientId != (experiment & 0xFF) || message.experiment != (experiment & 0xFFFF)) {
    Fail(SimulatorAttempt::kProtocol, "protocol error: a record names client " + std::to_string(message.clientId) +
                                          " and experiment " + std::to_string(message.experiment));
    return false;
  }
  return true;
}

void ExperimentRun::HandleMessage(const SimMgrMessage& message) {
  if (state == kGreeting) {
    if (message.kind != SimMgrMessage::kReply || message.marker != 0xFF || message.command != 1) {
      return Fail(SimulatorAttempt::kProtocol, "protocol error: the first message is not the greeting");
    }
    if (checkPid && message.pid != static_cast<unsigned long>(process.Pid())) {
      return Fail(SimulatorAttempt::kProtocol,
                  "protocol error: the greeting names process " + std::to_string(message.pid) +
                      ", not the simulator started (" + std::to_string(process.Pid()) + ")");
    }
    simulatorPid = message.pid;
    pingSent = false;
    lastRecord = Clock::now();
    longestGapSeconds = 0.0;
    recordSeen = false;
    return Enter(kRunning);
  }
  if (message.kind != SimMgrMessage::kReply) {
    const Clock::time_point now = Clock::now();
    longestGapSeconds = std::max(longestGapSeconds, std::chrono::duration<double>(now - lastRecord).count());
    lastRecord = now;
    recordSeen = true;
  }
  // Every record is a sign of life while the run goes on; once the quit
  // command is out, the reply has a deadline of its own that records
  // arriving meanwhile do not move.
  if (state == kRunning) deadline = Clock::now() + std::chrono::milliseconds(launch.timeoutMs);
  switch (message.kind) {
    case SimMgrMessage::kReply:
      // The answer to a sign-of-life request (which, while running, has
      // just moved the deadline); it may also come after the quit command.
      if (pingSent && message.marker == 0xFF && message.command == 1 && message.pid == simulatorPid) {
        pingSent = false;
        return;
      }
      if (state == kQuitting && message.marker == 0xFE && message.command == 2 &&
          message.pid == simulatorPid) {
        // The simulator hands over what it has after its reply (the
        // replications since its last hand-over, when it was interrupted),
        // so the connection is read until the simulator closes it. Shutting
        // down this side's sending first leaves the closing handshake's
        // wait with this side, so the simulator's port is free again at
        // once; the simulator reads nothing more.
        shutdown(socketFd, SHUT_WR);
        quitReplied = true;
        return Enter(kExiting);
      }
      return Fail(SimulatorAttempt::kProtocol,
                  "protocol error: unexpected reply (marker " + std::to_string(message.marker) +
                      ", command " + std::to_string(message.command) + ", process " +
                      std::to_string(message.pid) + ")");
    case SimMgrMessage::kCpuTime:
      if (!CheckSender(message)) return;
      // A processor time is a finite number of seconds from 0 up; any other
      // would be added into the experiment's and the study's times, and a
      // NaN or an infinity, which JSON cannot hold, would leave a saved
      // state that cannot be resumed.
      if (!(message.cpuSeconds >= 0.0 && message.cpuSeconds <= 1e15)) {
        return Fail(SimulatorAttempt::kProtocol, "protocol error: a CPU-time record holds " +
                                                     NumberText::Shortest(message.cpuSeconds) +
                                                     " s, not a processor time");
      }
      current.cpuSeconds = message.cpuSeconds;
      return;
    case SimMgrMessage::kData:
      if (!CheckSender(message)) return;
      HandleData(message);
      if (Active() && satisfied && state == kRunning) SendQuit();
      return;
  }
}

void ExperimentRun::HandleData(const SimMgrMessage& message) {
  if (!accepting) return;
  // The whole record is checked before any of it is counted: every block
  // names a variable of the model and holds finite numbers, and every
  // variable waited for has as many observations as the others (one per
  // replication).
  std::vector<const std::vector<double>*> rows(statistics.size(), nullptr);
  for (const SimMgrMessage::Block& block : message.blocks) {
    if (block.variable < 0 || static_cast<size_t>(block.variable) >= statistics.size()) {
      return Fail(SimulatorAttempt::kProtocol,
                  "protocol error: a data record names variable " + std::to_string(block.variable) +
                      "; the model has " + std::to_string(statistics.size()));
    }
    if (block.kind != 1) continue;  // squared values: not needed
    if (rows[block.variable] != nullptr) {
      return Fail(SimulatorAttempt::kProtocol, "protocol error: a data record holds variable " +
                                                   std::to_string(block.variable) + " twice");
    }
    for (double value : block.values) {
      if (!std::isfinite(value)) {
        return Fail(SimulatorAttempt::kProtocol, "protocol error: a data record holds an observation that "
                                                 "is not a finite number");
      }
    }
    rows[block.variable] = &block.values;
  }
  size_t count = 0;
  bool first = true;
  for (size_t v = 0; v < rows.size(); ++v) {
    if (!considered[v]) continue;
    const size_t n = rows[v] != nullptr ? rows[v]->size() : 0;
    if (!first && n != count) {
      return Fail(SimulatorAttempt::kProtocol,
                  "protocol error: a data record holds " + std::to_string(n) + " observations of variable " +
                      std::to_string(v) + " and " + std::to_string(count) + " of another");
    }
    count = n;
    first = false;
  }
  const int tested = rule.Hypothesis() ? rule.testVariable : -1;
  if (tested >= 0 && rows[tested] != nullptr) {
    for (double value : *rows[tested]) {
      if (value != 0.0 && value != 1.0) {
        return Fail(SimulatorAttempt::kProtocol, "protocol error: the tested variable has an observation that "
                                                 "is neither 0 nor 1");
      }
    }
  }
  // Replication by replication up to the next point where the rule looks
  // (every replication for a test, the next look for a precision, the
  // limit for a fixed number); what comes after the stop is not used.
  size_t at = 0;
  while (at < count && accepting) {
    // The pilot first: it is kept apart, and plans the rest once it is in.
    const int64_t piloted = rule.Pilot() > 0 ? PilotCount() : 0;
    if (piloted < rule.Pilot()) {
      const size_t step = static_cast<size_t>(std::min<int64_t>(rule.Pilot() - piloted, static_cast<int64_t>(count - at)));
      for (size_t v = 0; v < rows.size(); ++v) {
        if (!considered[v] || rows[v] == nullptr) continue;
        for (size_t i = at; i < at + step; ++i) {
          pilot[v].Add((*rows[v])[i]);
          current.pilot[v].Add((*rows[v])[i]);
        }
      }
      at += step;
      if (PilotCount() >= rule.Pilot()) {
        PlanAfterPilot();
        // What an earlier segment held may be at the plan's first look.
        const int64_t held = Replications();
        if (held > 0 && rule.IsLook(held) && Done()) accepting = false;
      }
      continue;
    }
    const int64_t have = Replications();
    if (have >= rule.Limit()) break;
    const int64_t upTo = tested >= 0 ? have + 1 : rule.NextLook(have + 1);
    const size_t step = static_cast<size_t>(std::min<int64_t>(upTo - have, static_cast<int64_t>(count - at)));
    for (size_t v = 0; v < rows.size(); ++v) {
      if (!considered[v] || rows[v] == nullptr) continue;
      for (size_t i = at; i < at + step; ++i) {
        statistics[v].Add((*rows[v])[i]);
        current.statistics[v].Add((*rows[v])[i]);
      }
    }
    if (tested >= 0 && test.Current() == SequentialTest::kUndecided) {
      for (size_t i = at; i < at + step; ++i) test.Observe((*rows[tested])[i]);
    }
    at += step;
    if (Replications() == upTo && Done()) accepting = false;
  }
  // The simulator reports a failed ASCII file before it sends the record
  // whose rows failed, and its output is read before its connection: the
  // state saved with this record must already name the cut file, or a
  // manager killed (or unable to save) before the attempt ends leaves a
  // study whose resumption counts rows the file lacks and claims it whole.
  NoteAsciiCut();
  ++dataVersion;
}

bool ExperimentRun::Done() {
  bool allPrecise = true;
  bool allAtLimit = true;
  bool any = false;
  for (size_t v = 0; v < statistics.size(); ++v) {
    if (!considered[v]) continue;
    any = true;
    if (!rule.Precise(statistics[v])) allPrecise = false;
    if (statistics[v].Count() < rule.Limit()) allAtLimit = false;
  }
  if (!any) return false;
  if (rule.Hypothesis()) {
    satisfied = test.Current() != SequentialTest::kUndecided || allAtLimit;
  } else {
    if (allPrecise && rule.Precision()) precisionMet = true;
    satisfied = allPrecise || allAtLimit;
  }
  return satisfied;
}

void ExperimentRun::SendQuit() {
  const ssize_t sent = SendCommand(2);
  if (sent != 1 && (errno == EPIPE || errno == ECONNRESET)) {
    // The simulator has closed the connection: see ReadSocket.
    CloseSocket();
    return Enter(kExiting);
  }
  if (sent != 1) {
    return Fail(SimulatorAttempt::kLink, std::string("cannot send the quit command: ") + std::strerror(errno));
  }
  Enter(kQuitting);
}

void ExperimentRun::EndExited() {
  process.Pump();
  ReadSocket(kReadAfterEnd);
  if (state != kExiting) return;
  CloseSocket();
  if (process.ExitStatus() != 0) {
    return Fail(EndedEnding(), "the simulator ended with " + ExitText(process) + " after " + QuitEnd());
  }
  EndAttempt(interrupted ? SimulatorAttempt::kInterrupted : SimulatorAttempt::kDone, "");
  // The hand-over that answered an interrupt may have given the
  // experiment all it needs.
  Finish(interrupted && !satisfied ? kIncomplete : kComplete);
}

std::string ExperimentRun::QuitEnd() const {
  // A simulator at its batch limit ends by itself once it has sent
  // everything, and its connection may end before the quit reply comes.
  return quitReplied ? "its quit reply" : "it closed the connection in place of its quit reply";
}

void ExperimentRun::SendPing() {
  // A connection that has failed is found by the reading side, as ever.
  pingSent = SendCommand(1) == 1;
}

ssize_t ExperimentRun::SendCommand(char command) {
  ssize_t sent;
  do {
    sent = send(socketFd, &command, 1, MSG_NOSIGNAL);
  } while (sent == -1 && errno == EINTR);
  return sent;
}

void ExperimentRun::Interrupt() {
  // A run already stopping because it has all it needs stays complete.
  switch (state) {
    case kPending:
      // Waiting to be started again after a failed attempt: what the
      // earlier attempts sent is kept.
      if (attempts.empty()) return;
      interrupted = true;
      failureReason = "interrupted before it was started again";
      return Finish(kIncomplete);
    case kConnecting:
    case kGreeting:
      // The greeting, and records after it, may have arrived while the
      // manager was held (a full pipe on its standard error, say): a
      // simulator that has greeted is stopped as one that hands over, and
      // what it sent whole is counted.
      if (state == kConnecting && socketFd != -1) {
        pollfd entry = {socketFd, POLLOUT, 0};
        if (poll(&entry, 1, 0) == 1) HandleConnectResult();
      }
      if (state == kGreeting) {
        ReadSocket(kReadAfterEnd);
        if (state != kGreeting) return Interrupt();
      }
      if (state != kConnecting && state != kGreeting) return Interrupt();
      [[fallthrough]];
    case kStarting:
      interrupted = true;
      EndAttempt(SimulatorAttempt::kInterrupted, "interrupted before it sent data");
      failureReason = "interrupted before it sent data";
      return EndProcess(kIncomplete, false);
    case kEnding:
      // A failed attempt still ending is not started again.
      interrupted = true;
      if (endingRetry) {
        endingRetry = false;
        endingOutcome = kIncomplete;
        failureReason = "interrupted before it was started again";
      }
      return;
    case kRunning:
      // The simulator reads the quit at its next hand-over: that one, and
      // any already on the way, are counted when they arrive whole.
      interrupted = true;
      return SendQuit();
    case kClosed:
      // The attempt ends now, and is then not started again (as one still
      // ending).
      FailClosed();
      return Interrupt();
    default:
      return;
  }
}

void ExperimentRun::Abort(const std::string& reason, bool byUser) {
  // A launcher already ending keeps its grace period: SIGKILL would leave
  // what it started elsewhere running.
  if (!Active() || state == kEnding) return;
  if (state == kRunning || state == kQuitting || state == kExiting) {
    // Ended at once, but not before the records already received whole are
    // counted: the manager may not have come round to reading them (a
    // second interrupt, or a shutdown time that ran out while the manager
    // itself was held, by a full pipe on its standard error, say, as the
    // simulator's last hand-over arrived).
    ReadSocket(kReadAfterEnd);
    if (!Active() || state == kEnding) return;
    // A simulator that meanwhile answered, handed over and ended has
    // stopped: it ends as the manager would have seen it end, not as one
    // that had to be ended.
    if (state == kExiting && process.PollEnded()) return EndExited();
  }
  // A run that has all it needs stays complete, also when it got the last
  // of it in the hand-over that answered the interrupt.
  if (interrupted && state == kExiting) {
    EndAttempt(SimulatorAttempt::kInterrupted, reason);
    return EndProcess(satisfied ? kComplete : kIncomplete, false);
  }
  // Not to be retried: the manager is shutting down. A run that has all it
  // needs (a simulator slow to answer its quit) stays complete.
  const bool complete = satisfied;
  if (!satisfied) interrupted = true;
  if (!byUser) return Fail(SimulatorAttempt::kInterrupted, reason);
  CloseSocket();
  EndAttempt(SimulatorAttempt::kInterrupted, reason);
  EndProcess(complete ? kComplete : kIncomplete, false);
}

double ExperimentRun::ShutdownSeconds(double timeout) const {
  const double usual = std::min(timeout, 10.0);
  if (state != kQuitting) return usual;
  if (!recordSeen) return timeout;
  return std::min(timeout, std::max(usual, 2.0 * longestGapSeconds));
}

std::vector<std::string> ExperimentRun::AsciiFilesCut() const {
  std::vector<std::string> cut;
  for (const SimulatorAttempt& a : attempts) {
    if (!a.asciiCut.empty()) cut.push_back(a.asciiCut);
  }
  return cut;
}

SimulatorAttempt::Ending ExperimentRun::EndedEnding() const {
  return SignalOf(process) > 0 ? SimulatorAttempt::kKilled : SimulatorAttempt::kExited;
}

void ExperimentRun::NoteAsciiCut() {
  // A simulator that cannot write its ASCII file (a full disk, a file-size
  // limit) says so and stops with a bad status, but only after it has
  // handed over the record whose rows failed: the numbers are whole, the
  // file is not. Through a launcher with a terminal its standard error
  // arrives on standard output. The text is the simulator's own (its
  // ReportWriteFailure); SimulationManagerTest's AnAsciiFileTheSimulator-
  // CouldNotWriteIsReported runs the real simulator, so a change to either
  // side fails there.
  if (launch.asciiFile.empty() || !current.asciiCut.empty()) return;
  // The name as the simulator shows it: escaped when --ascii-dir holds a
  // control character (a tab, an escape), else as given.
  const std::string said =
      "!! Error writing result file " + BaseStudyClass::ShownFileName(launch.asciiFile.c_str()) + ": ";
  for (const std::string* text : {&process.ErrorOutput(), &process.Output()}) {
    const size_t at = text->rfind(said);
    if (at == std::string::npos) continue;
    const size_t from = at + said.size();
    const size_t end = text->find_first_of("\r\n", from);
    current.asciiCut =
        launch.asciiFile + ": " + text->substr(from, end == std::string::npos ? std::string::npos : end - from);
    return;
  }
}

void ExperimentRun::EndAttempt(SimulatorAttempt::Ending ending, const std::string& reason) {
  NoteAsciiCut();
  current.ending = ending;
  current.reason = reason;
  if (ending != SimulatorAttempt::kDone && ending != SimulatorAttempt::kInterrupted) {
    current.lastWords = LastWords();
  }
  current.wallSeconds = std::chrono::duration<double>(Clock::now() - attemptStarted).count();
  current.replications = ReplicationsOf(current);
  attempts.push_back(current);
  current = SimulatorAttempt();
}

int64_t ExperimentRun::ReplicationsOf(const SimulatorAttempt& attempt) const {
  int64_t fewest = -1;
  for (size_t v = 0; v < attempt.statistics.size() && v < considered.size(); ++v) {
    const int64_t n = attempt.statistics[v].Count() + (v < attempt.pilot.size() ? attempt.pilot[v].Count() : 0);
    if (considered[v] && (fewest < 0 || n < fewest)) fewest = n;
  }
  return fewest < 0 ? 0 : fewest;
}

void ExperimentRun::Fail(SimulatorAttempt::Ending ending, const std::string& reason) {
  if (!Active() || state == kEnding) return;
  if (state == kExiting && ending == SimulatorAttempt::kProtocol) {
    // After its quit reply the connection is read only for what the
    // simulator hands over as it stops: anything else ends the reading
    // there, and the attempt ends by how its process ends.
    CloseSocket();
    return;
  }
  CloseSocket();
  EndAttempt(ending, reason);
  if (satisfied) {
    // Everything the rule needs arrived whole before the simulator went
    // wrong (or was interrupted): the attempt's ending is recorded, the
    // results stand.
    return EndProcess(kComplete, false);
  }
  if (!interrupted && SimulatorAttempt::Retryable(ending) && EndedInSegment(launch.segment) <= retries) {
    return EndProcess(kNotRun, true);
  }
  failureReason = reason;
  // An experiment an interrupt stopped is incomplete with what arrived,
  // however its simulator took the quit (the attempt says how it ended).
  EndProcess(interrupted ? kIncomplete : kFailed, false);
}

void ExperimentRun::FailClosed() {
  if (process.PollEnded()) {
    process.Pump();
    return Fail(EndedEnding(), closedReason + " (" + ExitText(process) + ")");
  }
  Fail(SimulatorAttempt::kLink, closedReason);
}

void ExperimentRun::EndProcess(Outcome result, bool retry) {
  CloseSocket();
  endingOutcome = result;
  endingRetry = retry;
  if (launch.launcher.empty() || !process.Running() || process.PollEnded()) {
    process.Kill();
    // A simulator run here that was killed (by this manager, or by anyone
    // else) or crashed may have been writing its ASCII file. (One that
    // ended its run on a signal it caught wrote whole rows: nothing to cut.)
    if (launch.launcher.empty() && !launch.asciiFile.empty() && SignalOf(process) != 0) {
      CutToWholeLines(launch.asciiFile);
    }
    return AfterEnd();
  }
  // Killing ssh or srun outright would leave the remote simulator or the
  // job step behind: SIGTERM lets them end it first.
  process.Signal(SIGTERM);
  state = kEnding;
  deadline = Clock::now() + std::chrono::milliseconds(kLauncherGraceMs);
}

void ExperimentRun::AfterEnd() {
  // A failed attempt with retries left waits to be started again.
  if (endingRetry) {
    earlyEndsInARow = endedBeforeAnnouncing ? earlyEndsInARow + 1 : 0;
    if (endedBeforeAnnouncing) {
      earlyEndHosts.insert(launch.host);
    } else {
      earlyEndHosts.clear();
    }
    const int pauseMs = std::min(earlyEndsInARow * kEarlyEndPauseMs, kLongestEarlyEndPauseMs);
    startNotBefore = Clock::now() + std::chrono::milliseconds(pauseMs);
    state = kPending;
    return;
  }
  Finish(endingOutcome);
}

void ExperimentRun::Finish(Outcome result) {
  CloseSocket();
  outcome = result;
  state = kFinished;
  ended = Clock::now();
}

std::string ExperimentRun::LastWords() const {
  return Prefixed(Tail(process.ErrorOutput(), kLastWordsLines), "  stderr| ") +
         Prefixed(Tail(process.Output(), kLastWordsLines), "  stdout| ");
}

int64_t ExperimentRun::Replications() const {
  int64_t fewest = -1;
  for (size_t v = 0; v < statistics.size(); ++v) {
    if (considered[v] && (fewest < 0 || statistics[v].Count() < fewest)) fewest = statistics[v].Count();
  }
  return fewest < 0 ? 0 : fewest;
}

int64_t ExperimentRun::PilotCount() const {
  int64_t fewest = -1;
  for (size_t v = 0; v < pilot.size(); ++v) {
    if (considered[v] && (fewest < 0 || pilot[v].Count() < fewest)) fewest = pilot[v].Count();
  }
  return fewest < 0 ? 0 : fewest;
}

void ExperimentRun::PlanAfterPilot() {
  if (rule.Planned()) return;
  rule = rule.Planned(pilot, considered);
  // A resumed study's plan (a new target or level, a longer pilot) can put
  // its first look below what an earlier plan already ran to: that count,
  // set before this plan was made, is then taken as the first look,
  // instead of running on to the worst case.
  const int64_t have = Replications();
  if (rule.plan.size() == 2 && have > rule.plan.front() && have < rule.plan.back()) {
    rule.plan.front() = have;
  } else if (have > rule.plan.back()) {
    // More is held than the new plan's worst case (a coarser target): the
    // estimates take all of it, so that is its one look, at the level of
    // the plan's first, and its end; the looks written are the one used.
    rule.plan = {have};
    rule.planLevels = {rule.planLevels.front()};
    rule.maxReplications = have;
  }
}

int64_t ExperimentRun::Remaining() const {
  const int64_t pilotLeft = std::max<int64_t>(rule.Pilot() - PilotReplications(), 0);
  return std::max<int64_t>(rule.Limit() - Replications(), 0) + pilotLeft;
}

double ExperimentRun::CpuSeconds() const {
  double total = Active() ? current.cpuSeconds : 0.0;
  for (const SimulatorAttempt& attempt : attempts) total += attempt.cpuSeconds;
  return total;
}

int64_t ExperimentRun::EstimateNeeded() const {
  if (rule.Pilot() > 0) {
    // Before the plan, as many as the worst case; then as planned.
    if (!rule.Planned()) return rule.Pilot() + rule.Limit();
    int64_t needed = 0;
    for (size_t v = 0; v < statistics.size(); ++v) {
      if (considered[v]) needed = std::max(needed, rule.EstimateNeeded(statistics[v]));
    }
    return rule.Pilot() + std::min(std::max(needed, rule.plan.front()), rule.Limit());
  }
  int64_t needed = 0;
  for (size_t v = 0; v < statistics.size(); ++v) {
    if (considered[v]) needed = std::max(needed, rule.EstimateNeeded(statistics[v]));
  }
  return std::min(needed, rule.Limit());
}

double ExperimentRun::RunningAttemptSeconds() const {
  return std::chrono::duration<double>(Clock::now() - attemptStarted).count();
}

double ExperimentRun::WallSeconds() const {
  // The CPU time counts the earlier segments' attempts: a resumed
  // experiment's elapsed time, reset to this segment's alone, gave a
  // processor time above its elapsed time, or none at all beside a CPU
  // time when nothing was left to run.
  if (!startedHere) return restoredWallSeconds;
  const Clock::time_point end = state == kFinished ? ended : Clock::now();
  return restoredWallSeconds + std::chrono::duration<double>(end - started).count();
}
