// The manager link over real loopback connections: port search and
// announcement, greeting, commands 1 to 3, unknown bytes and vanished peers.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/KorvanSocket.h"
#include "simulator/DataPacket.h"
#include "simulator/SimulatorClass.h"
#include "tests/simulator/TestSimulator.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TestFiles.h"
#include "tools/SimMgrConnection.h"
#include "tools/SimMgrStream.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A test simulator whose link finds commands already sent at once and
// polls for connections briefly, so that no test waits long.
class LinkSimulator : public TestSimulator {
 public:
  explicit LinkSimulator(std::vector<std::string> args) : TestSimulator(std::move(args)) {
    (*this)->commandPollMs = 2000;
    (*this)->acceptPollMs = 50;
  }
};

// The 10-byte greeting or reply: length 10, kind, code, this process's id.
std::string Reply(int kind, int code) {
  const uint32_t pid = static_cast<uint32_t>(getpid());
  return Bytes({0x00, 0x00, 0x00, 0x0A, kind, code, static_cast<int>(pid >> 24),
                static_cast<int>((pid >> 16) & 0xFF), static_cast<int>((pid >> 8) & 0xFF),
                static_cast<int>(pid & 0xFF)});
}

int BoundPort(const KorvanSocket& socket) {
  sockaddr_in address;
  socklen_t length = sizeof(address);
  getsockname(socket.sock, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A port that was free a moment ago; 0 when none could be bound.
int FreePort() {
  KorvanSocket free(true);
  return free.Bind(0) ? BoundPort(free) : 0;
}

// Connects to the loopback port and closes at once, as a port probe does;
// true when the connection was made.
bool ProbeOnce(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return connected;
}

void BoundReceives(KorvanSocket& socket) {
  timeval limit = {5, 0};
  setsockopt(socket.sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
}

std::string Receive(KorvanSocket& socket, int n) {
  std::string buffer(static_cast<size_t>(n), '\0');
  buffer.resize(static_cast<size_t>(socket.RecvBlock(buffer.data(), n)));
  return buffer;
}

// True when the peer has closed the connection (within 5 s).
bool SeesEndOfStream(KorvanSocket& socket) {
  char byte;
  return socket.Select(5000) && socket.Recv(&byte, 1) == 0;
}

// True when the peer has closed or reset the connection (within 5 s)
// without sending anything more.
bool SeesConnectionEnd(KorvanSocket& socket) {
  char byte;
  return socket.Select(5000) && socket.Recv(&byte, 1) <= 0;
}

void SendText(KorvanSocket& socket, const std::string& text) {
  ASSERT_EQ(socket.Send(text.data(), static_cast<int>(text.size())),
            static_cast<int>(text.size()));
}

// A connected loopback pair: the simulator's end is handed to the simulator
// as its manager connection (it owns it), the test keeps `manager`.
struct LinkedManager {
  explicit LinkedManager(SimulatorClass* sim) {
    KorvanSocket listener(true);
    EXPECT_TRUE(listener.Bind(0));
    EXPECT_TRUE(listener.Listen(1));
    EXPECT_TRUE(manager.Connect("127.0.0.1", BoundPort(listener)));
    EXPECT_TRUE(listener.Select(5000));
    sim->simMgrSocket = new KorvanSocket(false);
    EXPECT_TRUE(listener.Accept(*sim->simMgrSocket));
    BoundReceives(manager);
  }
  KorvanSocket manager{true};
};

// Standard output redirected into a pipe, so that a line can be acted upon
// the moment it is written.
class StdoutPipe {
 public:
  StdoutPipe() {
    std::cout.flush();
    std::fflush(stdout);
    EXPECT_EQ(pipe(fds_), 0);
    saved_ = dup(1);
    dup2(fds_[1], 1);
  }
  ~StdoutPipe() {
    Restore();
    close(fds_[0]);
  }
  void Restore() {
    if (saved_ < 0) return;
    std::cout.flush();
    dup2(saved_, 1);
    close(saved_);
    close(fds_[1]);
    saved_ = -1;
  }
  // One line without its line end; what was read so far after timeoutMs.
  std::string ReadLine(int timeoutMs) {
    std::string line;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd entry = {fds_[0], POLLIN, 0};
      if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0) return line;
      char c;
      if (read(fds_[0], &c, 1) != 1 || c == '\n') return line;
      line.push_back(c);
    }
  }

 private:
  int fds_[2] = {-1, -1};
  int saved_ = -1;
};

// Sets `status` to 2 if the work it guards is not done within the time, so
// that a faulty loop ends instead of hanging the test.
class Watchdog {
 public:
  Watchdog(SimulatorClass* sim, int ms)
      : thread_([this, sim, ms] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; })) {
            fired_ = true;
            sim->status = 2;
          }
        }) {}
  ~Watchdog() { Stop(); }
  // Whether the watchdog had to step in.
  bool Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

std::string RegisterLine(int port) { return "REGISTER:  Port: [" + std::to_string(port) + "]"; }

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

}  // namespace

// A port taken by another socket is skipped; the next one is bound, listened
// on and announced. A wait of 0 (or a negative other than -1) gives up at
// once after announcing.
TEST(SimMgrLinkTest, TakenPortIsSkippedAndZeroWaitReturnsAtOnce) {
  LinkSimulator sim({"-c", "1"});
  sim->acceptPollMs = 2000;  // a poll would show in the elapsed time
  std::unique_ptr<KorvanSocket> holder;
  int taken = 0;
  for (int attempt = 0; attempt < 20 && taken == 0; attempt++) {
    holder = std::make_unique<KorvanSocket>(true);
    ASSERT_TRUE(holder->Bind(0));
    const int candidate = BoundPort(*holder);
    KorvanSocket probe(true);
    if (candidate < 65535 && probe.Bind(candidate + 1)) taken = candidate;
  }
  ASSERT_NE(taken, 0) << "no free pair of ports";
  sim->port = static_cast<uint16_t>(taken);

  testing::internal::CaptureStdout();
  const auto start = Clock::now();
  KorvanSocket* link = sim->WaitForSimMgrConnection(0);
  const long elapsed = ElapsedMs(start);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), RegisterLine(taken + 1) + "\n");
  EXPECT_EQ(link, nullptr);
  EXPECT_LT(elapsed, 1000);
  EXPECT_EQ(sim->port, taken + 1);
  // The announced port is already listening.
  KorvanSocket manager(true);
  EXPECT_TRUE(manager.Connect("127.0.0.1", taken + 1));

  // Port 0 lets the system choose; the port announced is the one bound.
  sim->port = 0;
  testing::internal::CaptureStdout();
  const auto again = Clock::now();
  EXPECT_EQ(sim->WaitForSimMgrConnection(-5), nullptr);
  EXPECT_LT(ElapsedMs(again), 1000);
  EXPECT_NE(sim->port, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), RegisterLine(sim->port) + "\n");
  EXPECT_EQ(sim->port, BoundPort(*sim->listenSocket));
}

// A peer that connects the moment the simulator listens and closes without a
// byte (a manager killed just after connecting) is dropped, and a timed wait
// still ends: the time the dropped pass used must never leave the wait at
// the value that means "without limit".
TEST(SimMgrLinkTest, TimedWaitEndsAfterAPeerDroppedAtOnce) {
  for (int waitMs : {100, 101, 102, 103}) {
    LinkSimulator sim({"-c", "1"});
    const int port = FreePort();
    ASSERT_GT(port, 0);
    sim->port = static_cast<uint16_t>(port);
    std::atomic<bool> probed{false};
    std::thread probe([&] {
      const auto until = Clock::now() + std::chrono::seconds(5);
      while (Clock::now() < until) {
        if (ProbeOnce(port)) {
          probed = true;
          return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
    testing::internal::CaptureStdout();
    Watchdog watchdog(sim.get(), 3000);
    KorvanSocket* link = sim->WaitForSimMgrConnection(waitMs);
    const bool rescued = watchdog.Stop();
    testing::internal::GetCapturedStdout();
    probe.join();
    EXPECT_TRUE(probed) << "wait " << waitMs;
    // A probe slower to close than the greeting is to be sent is taken for
    // the manager (it may have read the greeting); that also ends the wait.
    EXPECT_FALSE(rescued) << "a wait of " << waitMs << " ms was still going after 3 s";
    delete link;
  }
}

// Probes a little over a millisecond apart each cut a pass short; the wait
// still ends about when asked, not after the probes' count in whole
// milliseconds (a stream of them once stretched a wait by more than half).
// A probe slow to close is taken for the manager and ends the wait early,
// so only waits that ran to their end are judged.
TEST(SimMgrLinkTest, TimedWaitUnderAStreamOfProbesEndsOnTime) {
  int judged = 0;
  for (int attempt = 0; attempt < 12 && judged < 2; ++attempt) {
    LinkSimulator sim({"-c", "1"});
    const int port = FreePort();
    ASSERT_GT(port, 0);
    sim->port = static_cast<uint16_t>(port);
    std::atomic<bool> done{false};
    std::thread probe([&] {
      while (!done) {
        ProbeOnce(port);
        std::this_thread::sleep_for(std::chrono::microseconds(1600));
      }
    });
    testing::internal::CaptureStdout();
    Watchdog watchdog(sim.get(), 3000);
    const auto start = Clock::now();
    KorvanSocket* link = sim->WaitForSimMgrConnection(200);
    const long long tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    watchdog.Stop();
    done = true;
    probe.join();
    testing::internal::GetCapturedStdout();
    if (link == nullptr) {
      ++judged;
      EXPECT_LT(tookMs, 270) << "a wait of 200 ms under probes";
    }
    delete link;
  }
  RecordProperty("waits_judged", judged);
}

// Command 1 is answered and changes nothing; an unknown byte is reported
// and ignored; command 2 quits.
TEST(SimMgrLinkTest, CommandsOneUnknownAndQuit) {
  LinkSimulator sim({"-c", "1"});
  LinkedManager link(sim.get());
  KorvanSocket* socket = sim->simMgrSocket;
  SendText(link.manager, Bytes({1}));
  sim->ListenToSimMgr(socket);
  EXPECT_EQ(Receive(link.manager, 10), Reply(0xFF, 1));
  EXPECT_EQ(sim->status, 0);
  EXPECT_EQ(sim->simMgrSocket, socket);

  SendText(link.manager, Bytes({0x07}));
  testing::internal::CaptureStderr();
  sim->ListenToSimMgr(socket);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "!! Invalid Response Received by Client \n!! Simulation\n");
  // Nothing waiting: a poll returns without reading or sending.
  sim->commandPollMs = 0;
  sim->ListenToSimMgr(socket);
  EXPECT_FALSE(link.manager.Select(100));
  EXPECT_EQ(sim->status, 0);

  SendText(link.manager, Bytes({2}));
  sim->commandPollMs = 2000;
  testing::internal::CaptureStdout();
  sim->ListenToSimMgr(socket);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "SOCKET::Quit\n");
  EXPECT_EQ(Receive(link.manager, 10), Reply(0xFE, 2));
  EXPECT_EQ(sim->status, 2);
}

// Command 3 with its text arriving in pieces: the file is created with its
// header, the batch limit set, the reply sent and the connection closed;
// the next hand-over goes to the file only.
TEST(SimMgrLinkTest, CommandThreeSwitchesToBinaryFileAndDisconnects) {
  ScratchDir dir;
  LinkSimulator sim({"-c", "3", "-e", "4"});
  LinkedManager link(sim.get());
  const std::string path = dir.File("out.bin");
  const std::string text = "\x03" + path + ";5;;";
  std::thread manager([&] {
    for (size_t at = 0; at < text.size(); at += 4) {
      const std::string piece = text.substr(at, 4);
      link.manager.Send(piece.data(), static_cast<int>(piece.size()));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  sim->ListenToSimMgr(sim->simMgrSocket);
  manager.join();

  EXPECT_EQ(Receive(link.manager, 10), Reply(0xFF, 3));
  EXPECT_TRUE(SeesEndOfStream(link.manager));
  EXPECT_EQ(sim->simMgrSocket, nullptr);
  EXPECT_EQ(sim->maxBatches, 5);
  EXPECT_EQ(sim->status, 0);
  ASSERT_NE(sim->binFileName, nullptr);
  EXPECT_EQ(std::string(sim->binFileName), path);
  std::string file = ReadFile(path);
  ASSERT_EQ(file.size(), 256u);
  EXPECT_EQ(file.rfind("KORVAN_SIM_BIN_FILE,256,KORVAN_VER=Version 2.4,FILE_VER=1,EXPERIMENTS=4,",
                       0),
            0u);

  sim->numPVs = 1;
  sim->reportSize = 1;
  sim->valuePacket = sim->CreateDataPacket(1);
  sim->squarePacket = sim->CreateDataPacket(1);
  sim->valuePacket->counts[0] = 1;
  sim->valuePacket->values[0] = 0.5;
  EXPECT_EQ(sim->CheckReportSize(0.0), 1);
  file = ReadFile(path);
  EXPECT_EQ(file.substr(256), Bytes({0x00, 0x00, 0x00, 0x18, 0x03, 0x00, 0x04, 0x00, 0x01, 0x00,
                                     0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x3F, 0xE0, 0x00, 0x00,
                                     0x00, 0x00, 0x00, 0x00}));
}

// A binary file given on the command line is kept with its limit; the
// connection is closed all the same.
TEST(SimMgrLinkTest, CommandThreeKeepsAFileGivenOnTheCommandLine) {
  ScratchDir dir;
  const std::string given = dir.File("given.bin");
  LinkSimulator sim({"-b", given, "-N", "7"});
  ASSERT_TRUE(sim->OpenResultFiles());
  LinkedManager link(sim.get());
  SendText(link.manager, "\x03" + dir.File("other.bin") + ";5;;");
  sim->ListenToSimMgr(sim->simMgrSocket);
  EXPECT_EQ(Receive(link.manager, 10), Reply(0xFF, 3));
  EXPECT_TRUE(SeesEndOfStream(link.manager));
  EXPECT_EQ(sim->simMgrSocket, nullptr);
  EXPECT_EQ(std::string(sim->binFileName), given);
  EXPECT_EQ(sim->maxBatches, 7);
  EXPECT_FALSE(fs::exists(dir.File("other.bin")));
  EXPECT_EQ(sim->status, 0);
}

// A file that cannot be created stops the run with a non-zero exit status;
// a text cut short by the manager going away is a read error.
TEST(SimMgrLinkTest, CommandThreeFailuresStopTheRun) {
  {
    LinkSimulator sim({"-c", "1"});
    LinkedManager link(sim.get());
    SendText(link.manager, "\x03/nonexistent-korvan-dir/out.bin;5;;");
    testing::internal::CaptureStderr();
    sim->ListenToSimMgr(sim->simMgrSocket);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("/nonexistent-korvan-dir/out.bin"), std::string::npos) << err;
    // Not acknowledged: the file never opened.
    EXPECT_TRUE(SeesEndOfStream(link.manager));
    EXPECT_EQ(sim->status, 2);
    EXPECT_NE(sim->exitStatus, 0);
    EXPECT_EQ(sim->binStream, nullptr);
  }
  {
    ScratchDir dir;
    LinkSimulator sim({"-c", "1"});
    LinkedManager link(sim.get());
    SendText(link.manager, "\x03" + dir.File("out.b"));
    link.manager.Close();
    testing::internal::CaptureStdout();
    sim->ListenToSimMgr(sim->simMgrSocket);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error reading socket 'read'... Exiting.\n");
    EXPECT_EQ(sim->status, 2);
    EXPECT_TRUE(sim->linkLost);
    EXPECT_EQ(sim->binFileName, nullptr);
    EXPECT_FALSE(fs::exists(dir.File("out.b")));
  }
  // Command 3 naming `path`, served under a file-size limit of 200 bytes:
  // the header cannot be written whole, and the run stops as for any file
  // that fails.
  const auto failsUnderASizeLimit = [](LinkSimulator& sim, const std::string& path) {
    LinkedManager link(sim.get());
    SendText(link.manager, "\x03" + path + ";5;;");
    testing::internal::CaptureStderr();
    {
      FileSizeLimit limit(200);
      sim->ListenToSimMgr(sim->simMgrSocket);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("!! Error writing result file " + path + ": File too large"), std::string::npos) << err;
    EXPECT_TRUE(SeesEndOfStream(link.manager));
    EXPECT_EQ(sim->status, 2);
    EXPECT_EQ(sim->exitStatus, 1);
  };
  // A file made for the command whose header cannot be written (a full
  // disk, a file-size limit) is taken away again: left with part of a
  // header, it would refuse the manager that names it next time.
  {
    ScratchDir dir;
    const std::string path = dir.File("new.bin");
    {
      LinkSimulator sim({"-c", "1"});
      failsUnderASizeLimit(sim, path);
      EXPECT_FALSE(fs::exists(path));
    }
    LinkSimulator again({"-c", "1"});
    LinkedManager link(again.get());
    SendText(link.manager, "\x03" + path + ";5;;");
    again->ListenToSimMgr(again->simMgrSocket);
    EXPECT_EQ(Receive(link.manager, 10), Reply(0xFF, 3));
    EXPECT_EQ(again->status, 0);
    EXPECT_EQ(ReadFile(path).size(), 256u);
  }
  // Nor does one that names the binary result file of an earlier run lose
  // that run's results: the file is emptied only once its new header is
  // written, and the part of the header that went in is taken out again.
  {
    ScratchDir dir;
    const std::string path = dir.File("earlier.bin");
    std::string earlier(256, '\0');
    const std::string headerText = "KORVAN_SIM_BIN_FILE,256,KORVAN_VER=Version 2.4,FILE_VER=1,EXPERIMENTS=7,";
    earlier.replace(0, headerText.size(), headerText);
    earlier += "the records of an earlier run";
    std::ofstream(path, std::ios::binary) << earlier;
    LinkSimulator sim({"-c", "1", "-e", "4"});
    failsUnderASizeLimit(sim, path);
    EXPECT_EQ(sim->binStream, nullptr);
    EXPECT_TRUE(ReadFile(path) == earlier);
  }
}

// Texts that are not "<file>;<limit>;;" with a limit of at least 1 are
// refused: nothing is acknowledged or written, and the run stops as for a
// file that cannot be opened.
TEST(SimMgrLinkTest, MalformedCommandThreeTextsAreRefused) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {std::string("\0;;", 3), "the text '\\x00;;' is not <file>;<limit>;;"},
      {"out.bin;;", "the text 'out.bin;;' is not <file>;<limit>;;"},
      {"out.bin;-5;;", "the replication limit must be a whole number from 1 to 2147483647, not '-5'"},
      {"out.bin;0;;", "the replication limit must be a whole number from 1 to 2147483647, not '0'"},
      {"out.bin; 5;;", "the replication limit must be a whole number from 1 to 2147483647, not ' 5'"},
      {"out.bin;5;x;;",
       "the replication limit must be a whole number from 1 to 2147483647, not '5;x'"},
      {"out.bin;99999999999;;",
       "the replication limit must be a whole number from 1 to 2147483647, not '99999999999'"},
      {";5;;", "the file name is empty"},
      {"out\nbin;5;;", "the file name 'out\\x0Abin' holds control characters"},
      {std::string(600, 'a'), "its text has no ';;' within 512 bytes"},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    LinkSimulator sim({"-c", "1"});
    LinkedManager link(sim.get());
    // Relative names would land in the current folder.
    const fs::path home = fs::current_path();
    fs::current_path(dir.Path());
    SendText(link.manager, "\x03" + c.text);
    testing::internal::CaptureStderr();
    sim->ListenToSimMgr(sim->simMgrSocket);
    const std::string err = testing::internal::GetCapturedStderr();
    fs::current_path(home);
    EXPECT_EQ(err, "!! Refusing command 3 from the simulation manager: " + c.message + "\n")
        << c.text;
    EXPECT_TRUE(SeesConnectionEnd(link.manager)) << c.text;
    EXPECT_EQ(sim->status, 2);
    EXPECT_EQ(sim->exitStatus, 1);
    EXPECT_EQ(sim->simMgrSocket, nullptr);
    EXPECT_EQ(sim->binFileName, nullptr);
    EXPECT_TRUE(fs::is_empty(dir.Path())) << c.text;
  }
}

// Exactly one command is read, however the bytes were cut: what follows
// ";;" in the same packet neither holds the command back nor joins it.
TEST(SimMgrLinkTest, CommandThreeTextEndsAtItsTerminator) {
  ScratchDir dir;
  for (const std::string& after : {std::string("\x01"), "\x03" + dir.File("second.bin") + ";9;;"}) {
    LinkSimulator sim({"-c", "1"});
    LinkedManager link(sim.get());
    SendText(link.manager, "\x03" + dir.File("first.bin") + ";5;;" + after);
    Watchdog watchdog(sim.get(), 5000);
    sim->ListenToSimMgr(sim->simMgrSocket);
    EXPECT_FALSE(watchdog.Stop());
    EXPECT_EQ(Receive(link.manager, 10), Reply(0xFF, 3));
    EXPECT_TRUE(SeesEndOfStream(link.manager));
    EXPECT_EQ(sim->status, 0);
    EXPECT_EQ(sim->maxBatches, 5);
    ASSERT_NE(sim->binFileName, nullptr);
    EXPECT_EQ(std::string(sim->binFileName), dir.File("first.bin"));
    EXPECT_FALSE(fs::exists(dir.File("second.bin")));
    fs::remove(dir.File("first.bin"));
  }
}

// A command left unfinished on an open connection does not hold the run
// for ever: after the wait the run stops, nothing written.
TEST(SimMgrLinkTest, UnfinishedCommandThreeOnAnOpenConnectionStopsTheRun) {
  ScratchDir dir;
  LinkSimulator sim({"-c", "1"});
  sim->commandTextWaitMs = 300;
  LinkedManager link(sim.get());
  SendText(link.manager, "\x03" + dir.File("out.bin") + ";5");
  testing::internal::CaptureStderr();
  const auto start = Clock::now();
  sim->ListenToSimMgr(sim->simMgrSocket);
  const long elapsed = ElapsedMs(start);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_GE(elapsed, 250);
  EXPECT_LT(elapsed, 3000);
  EXPECT_NE(err.find("!! The simulation manager sent " + std::to_string(dir.File("out.bin").size() + 2) +
                     " bytes of command 3 and no more within 0.3 s: the run stops"),
            std::string::npos)
      << err;
  EXPECT_EQ(sim->status, 2);
  EXPECT_EQ(sim->exitStatus, 1);
  EXPECT_TRUE(SeesEndOfStream(link.manager));
  EXPECT_FALSE(fs::exists(dir.File("out.bin")));
}

// The file command 3 names: a new file or an earlier binary result file is
// written as before; any other existing file, a directory, a FIFO or a
// dangling link is refused and left as it was.
TEST(SimMgrLinkTest, CommandThreeReplacesOnlyBinaryResultFiles) {
  ScratchDir dir;
  std::string header(256, '\0');
  const std::string headerText =
      "KORVAN_SIM_BIN_FILE,256,KORVAN_VER=Version 2.4,FILE_VER=1,EXPERIMENTS=7,";
  header.replace(0, headerText.size(), headerText);
  auto write = [&](const std::string& name, const std::string& content) {
    std::ofstream(dir.File(name), std::ios::binary) << content;
  };
  write("previous.bin", header + "old records");
  write("profile", "export PATH=/usr/bin\n");
  write("empty", "");
  write("short.bin", header.substr(0, 200));
  std::string tampered = header;
  tampered[250] = 'x';
  write("tampered.bin", tampered);
  write("other.bin", "KORVAN_SIM_ASCII_FILE,KORVAN_VER=Version 2.4" + std::string(300, '\0'));
  fs::create_directory(dir.File("folder"));
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  fs::create_symlink(dir.File("missing"), dir.File("dangling"));
  fs::create_symlink(dir.File("previous.bin"), dir.File("link.bin"));

  const struct {
    std::string name;
    bool accepted;
    std::string reason;
  } cases[] = {
      {"new.bin", true, ""},
      {"previous.bin", true, ""},
      {"link.bin", true, ""},
      {"profile", false, "' exists and is not a binary result file"},
      {"empty", false, "' exists and is not a binary result file"},
      {"short.bin", false, "' exists and is not a binary result file"},
      {"tampered.bin", false, "' exists and is not a binary result file"},
      {"other.bin", false, "' exists and is not a binary result file"},
      {"folder", false, "' is a directory"},
      {"fifo", false, "' exists and is not a binary result file"},
      {"dangling", false, "' exists and is not a binary result file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File(c.name);
    const bool regular = !c.accepted && c.name != "folder" && c.name != "fifo";
    const std::string before = regular ? ReadFile(path) : "";
    LinkSimulator sim({"-c", "1", "-e", "4"});
    LinkedManager link(sim.get());
    SendText(link.manager, "\x03" + path + ";5;;");
    testing::internal::CaptureStderr();
    Watchdog watchdog(sim.get(), 5000);
    sim->ListenToSimMgr(sim->simMgrSocket);
    EXPECT_FALSE(watchdog.Stop());
    const std::string err = testing::internal::GetCapturedStderr();
    if (c.accepted) {
      EXPECT_EQ(err, "");
      EXPECT_EQ(Receive(link.manager, 10), Reply(0xFF, 3));
      EXPECT_EQ(sim->status, 0);
      EXPECT_EQ(sim->maxBatches, 5);
      const std::string file = ReadFile(path);
      ASSERT_EQ(file.size(), 256u);
      EXPECT_EQ(file.rfind("KORVAN_SIM_BIN_FILE,256,KORVAN_VER=Version 2.4,FILE_VER=1,EXPERIMENTS=4,",
                           0),
                0u);
    } else {
      EXPECT_EQ(err, "!! Refusing the result file named by the simulation manager: '" + path +
                         c.reason + "\n");
      EXPECT_EQ(sim->status, 2);
      EXPECT_EQ(sim->exitStatus, 1);
      EXPECT_EQ(sim->binStream, nullptr);
      if (regular) {
        EXPECT_EQ(ReadFile(path), before);
      }
    }
    EXPECT_TRUE(SeesEndOfStream(link.manager));
  }
  EXPECT_TRUE(fs::is_directory(dir.File("folder")));
  EXPECT_FALSE(fs::exists(dir.File("missing")));
  EXPECT_EQ(ReadFile(dir.File("empty")), "");
}

// The file that passed the check is the file written: putting something else
// at its name between the check and the opening (a link to a file the user
// cares about) changes nothing.
TEST(SimMgrLinkTest, ResultFileIsTheOneCheckedEvenIfItsNameIsTakenMeanwhile) {
  ScratchDir dir;
  const std::string path = dir.File("out.bin");
  std::ofstream(dir.File("precious"), std::ios::binary) << "keep me\n";
  for (bool existed : {false, true}) {
    SCOPED_TRACE(existed ? "earlier result file" : "new file");
    fs::remove(path);
    fs::remove(dir.File("checked.bin"));
    int fd;
    if (existed) {
      std::string header(256, '\0');
      header.replace(0, 8, "KORVAN_S");
      std::ofstream(path, std::ios::binary) << header << "old records";
      fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } else {
      fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    ASSERT_NE(fd, -1);
    fs::rename(path, dir.File("checked.bin"));
    fs::create_symlink(dir.File("precious"), path);

    LinkSimulator sim({"-c", "1", "-e", "4"});
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    std::ofstream* stream = sim->CreateBinFile(name.data(), fd);
    close(fd);
    ASSERT_NE(stream, nullptr);
    stream->close();
    delete stream;
    EXPECT_EQ(ReadFile(dir.File("precious")), "keep me\n");
    const std::string written = ReadFile(dir.File("checked.bin"));
    ASSERT_EQ(written.size(), 256u);
    EXPECT_EQ(written.rfind("KORVAN_SIM_BIN_FILE,256,", 0), 0u);
  }
}

// A manager that vanishes (reset or orderly close) ends the link with the
// read error: no spin, no hang, no SIGPIPE, also at the next hand-over.
TEST(SimMgrLinkTest, VanishedManagerStopsTheRun) {
  for (bool reset : {true, false}) {
    LinkSimulator sim({"-c", "1"});
    LinkedManager link(sim.get());
    if (reset) {
      // Closed at once with a reset, without an orderly shutdown first.
      linger abort = {1, 0};
      setsockopt(link.manager.sock, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
      close(link.manager.sock);
      link.manager.sock = -1;
    } else {
      link.manager.Close();
    }
    testing::internal::CaptureStdout();
    sim->ListenToSimMgr(sim->simMgrSocket);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error reading socket 'read'... Exiting.\n")
        << "reset " << reset;
    EXPECT_EQ(sim->status, 2);

    sim->numPVs = 1;
    sim->valuePacket = sim->CreateDataPacket(1);
    sim->squarePacket = sim->CreateDataPacket(1);
    sim->valuePacket->counts[0] = 1;
    testing::internal::CaptureStdout();
    for (int k = 0; k < 3; k++) sim->CheckReportSize(0.0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(sim->status, 2);

    // The serving loop ends at once.
    sim->commandPollMs = 100;
    Watchdog watchdog(sim.get(), 5000);
    sim->ListenToSimMgrLoop(sim->simMgrSocket);
    EXPECT_FALSE(watchdog.Stop());
  }
  // A socket with a recorded error reports the failed poll.
  LinkSimulator sim({"-c", "1"});
  KorvanSocket broken(false);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  sim->ListenToSimMgr(&broken);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error reading socket 'select'... Exiting.\n");
  EXPECT_EQ(sim->status, 2);
}

// The serving loop answers commands until command 3 releases the
// connection, and then stops without touching the released socket.
TEST(SimMgrLinkTest, ServingLoopStopsWhenTheConnectionIsReleased) {
  ScratchDir dir;
  LinkSimulator sim({"-c", "1"});
  LinkedManager link(sim.get());
  sim->commandPollMs = 100;
  SendText(link.manager, Bytes({1}) + "\x03" + dir.File("out.bin") + ";3;;");
  Watchdog watchdog(sim.get(), 5000);
  sim->ListenToSimMgrLoop(sim->simMgrSocket);
  EXPECT_FALSE(watchdog.Stop());
  EXPECT_EQ(sim->status, 0);
  EXPECT_EQ(sim->simMgrSocket, nullptr);
  EXPECT_EQ(Receive(link.manager, 20), Reply(0xFF, 1) + Reply(0xFF, 3));
  EXPECT_TRUE(SeesEndOfStream(link.manager));
}

// The thread body: waits for a connection, keeps it as the manager link and
// serves commands until told to quit. The manager connects the moment it
// reads the announcement, without retrying: the port is listened on first.
TEST(SimMgrLinkTest, SocketThreadBodyConnectsAndServesUntilQuit) {
  LinkSimulator sim({"-c", "1"});
  sim->commandPollMs = 50;
  {
    KorvanSocket probe(true);
    ASSERT_TRUE(probe.Bind(0));
    sim->port = static_cast<uint16_t>(BoundPort(probe));
  }
  Watchdog watchdog(sim.get(), 10000);
  KorvanSocket manager(true);
  std::string line, received;
  {
    StdoutPipe out;
    std::thread body([&] { SimulatorClass::StaticSocketThreadFunc(sim.get()); });
    line = out.ReadLine(10000);
    const size_t open = line.find('[');
    if (open != std::string::npos &&
        manager.Connect("127.0.0.1", std::atoi(line.c_str() + open + 1))) {
      BoundReceives(manager);
      received = Receive(manager, 10);
      manager.Send("\x01", 1);
      received += Receive(manager, 10);
      manager.Send("\x02", 1);
      received += Receive(manager, 10);
    }
    body.join();
    out.Restore();
  }
  EXPECT_FALSE(watchdog.Stop());
  EXPECT_EQ(line, RegisterLine(sim->port));
  EXPECT_EQ(received, Reply(0xFF, 1) + Reply(0xFF, 1) + Reply(0xFE, 2));
  EXPECT_NE(sim->simMgrSocket, nullptr);
  EXPECT_EQ(sim->status, 2);
}

// The slow-reader drill. A manager that stops reading: the run's sends
// block in the kernel and the run waits there without spinning. Once the
// manager reads again, a byte at a time, every record arrives whole and in
// order, and the run ends by itself at its limit. (Run in-process: only
// here can the simulator's send buffer be made small enough to fill
// within a test's time.)
TEST(SimMgrLinkTest, SendsBlockWithoutSpinningWhileTheManagerStopsReading) {
  ScratchDir dir;
  const int kReplications = 2000;
  TestSimulator sim({"-n", "1", "-N", std::to_string(kReplications), "-c", "2", "-a",
                     dir.File("out.csv")});
  ASSERT_TRUE(sim->OpenResultFiles());
  LinkedManager link(sim.get());
  const int small = 4096;
  setsockopt(sim->simMgrSocket->sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  setsockopt(link.manager.sock, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));

  std::atomic<bool> finished{false};
  testing::internal::CaptureStdout();  // the summary lines
  std::thread runner([&] {
    sim->Run();
    finished = true;
  });
  clockid_t runnerClock;
  ASSERT_EQ(pthread_getcpuclockid(runner.native_handle(), &runnerClock), 0);
  auto cpuMs = [&] {
    timespec t;
    clock_gettime(runnerClock, &t);
    return static_cast<double>(t.tv_sec) * 1000.0 + t.tv_nsec / 1e6;
  };
  // Blocked: the run uses (almost) no processor time over 200 ms.
  bool blocked = false;
  for (int k = 0; k < 100 && !blocked && !finished; k++) {
    const double before = cpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    blocked = cpuMs() - before < 5.0;
  }
  EXPECT_TRUE(blocked);
  EXPECT_FALSE(finished) << "the run ended before its sends blocked";
  const double stallStart = cpuMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_LT(cpuMs() - stallStart, 50.0) << "the run spins while its sends are blocked";

  // Read again, one byte per receive (with room to receive ahead, so that
  // the small window does not slow the rest of the run down).
  const int large = 1 << 20;
  setsockopt(link.manager.sock, SOL_SOCKET, SO_RCVBUF, &large, sizeof(large));
  SimMgrStream stream(SimMgrConnection::kMaxRecordLength);
  std::vector<std::vector<double>> received(3);
  int dataRecords = 0;
  SimMgrMessage message;
  while (dataRecords < kReplications && link.manager.Select(10000)) {
    unsigned char byte;
    if (link.manager.Recv(reinterpret_cast<char*>(&byte), 1) != 1) break;
    stream.Append(&byte, 1);
    SimMgrStream::Result result;
    while ((result = stream.Next(message)) == SimMgrStream::kMessage) {
      if (message.kind != SimMgrMessage::kData) continue;
      dataRecords++;
      EXPECT_EQ(message.clientId, 2);
      for (const SimMgrMessage::Block& block : message.blocks) {
        for (double v : block.values) received.at(block.variable).push_back(v);
      }
    }
    ASSERT_NE(result, SimMgrStream::kBroken) << stream.Error();
  }
  runner.join();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(dataRecords, kReplications);
  EXPECT_EQ(stream.Buffered(), 0u);
  EXPECT_EQ(sim->exitStatus, 0);
  EXPECT_FALSE(sim->linkLost);
  EXPECT_NE(out.find("Actions fired: "), std::string::npos);
  // What the manager got is what the ASCII file holds.
  delete sim->asciiStream;
  sim->asciiStream = nullptr;
  std::istringstream file(ReadFile(dir.File("out.csv")));
  std::vector<std::vector<double>> written(3);
  std::string line;
  for (int n = 0; std::getline(file, line); n++) {
    if (n < 2) continue;
    written.at(std::stoi(line)).push_back(std::stod(line.substr(line.find(',') + 1)));
  }
  for (int v = 0; v < 3; v++) {
    EXPECT_EQ(received[v].size(), static_cast<size_t>(kReplications));
    EXPECT_EQ(received[v], written[v]) << "variable " << v;
  }
}

// A run that goes on alone after command 3 has no manager left to stop it:
// it must have a limit, also when the file it keeps came from -b without -N
// (it went on writing that file until a signal ended it).
TEST(SimMgrLinkTest, CommandThreeNeverLeavesADisconnectedRunWithoutALimit) {
  ScratchDir dir;
  LinkSimulator sim({"-b", dir.File("given.bin")});
  ASSERT_TRUE(sim->OpenResultFiles());
  LinkedManager link(sim.get());
  SendText(link.manager, "\x03" + dir.File("other.bin") + ";5;;");
  sim->ListenToSimMgr(sim->simMgrSocket);
  EXPECT_EQ(Receive(link.manager, 10), Reply(0xFF, 3));
  EXPECT_EQ(sim->simMgrSocket, nullptr);
  EXPECT_EQ(sim->maxBatches, 5);
}

// Replications in a binary result file written with -n 1: every record
// holds one observation of each of the model's three variables.
size_t ReplicationsIn(const std::string& path) {
  const std::string file = ReadFile(path);
  const size_t record = 9 + 3 * 7 + 3 * 8;
  if (file.size() < 256) return 0;
  EXPECT_EQ((file.size() - 256) % record, 0u);
  return (file.size() - 256) / record;
}

// Command 3 served at a hand-over before the last is acknowledged, and its
// limit is the run's from then on. Served at the run's last hand-over, it
// was acknowledged and its file made, and the run ended at once: the file
// held one replication of the five asked for. It is now not taken: no
// acknowledgement, no file, and the last observations go to the manager.
TEST(SimMgrLinkTest, CommandThreeAtTheLastHandOverIsNotTaken) {
  for (const char* limit : {"2", "1"}) {
    SCOPED_TRACE(std::string("-N ") + limit);
    ScratchDir dir;
    const std::string path = dir.File("switched.bin");
    LinkSimulator sim({"-n", "1", "-N", limit});
    LinkedManager link(sim.get());
    SendText(link.manager, "\x03" + path + ";5;;");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    sim->TerminatingSimulation();
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string first = Receive(link.manager, 10);
    if (std::string(limit) == "2") {
      EXPECT_EQ(first, Reply(0xFF, 3));
      EXPECT_EQ(ReplicationsIn(path), 5u);
    } else {
      EXPECT_NE(first, Reply(0xFF, 3));
      EXPECT_FALSE(fs::exists(path));
      EXPECT_NE(err.find("!! Command 3 from the simulation manager came as the run ended: not taken"),
                std::string::npos)
          << err;
    }
  }
}

