// The real simulator driven over TCP by the manager-side client: hand-overs
// every -n replications until quit, command 1 mid-run, command 3, and a
// manager that goes away.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/KorvanSocket.h"
#include "tests/support/TestFiles.h"
#include "tools/SimMgrSession.h"
#include "tools/SimMgrStream.h"
#include "tools/SimulatorProcess.h"

namespace {

const int kTimeoutMs = 30000;

// Observations of each variable in the text of an ASCII result file, in
// file order.
std::vector<std::vector<double>> AsciiRowsOf(const std::string& text) {
  std::vector<std::vector<double>> rows(3);
  std::istringstream in(text);
  std::string line;
  for (int n = 0; std::getline(in, line); n++) {
    if (n < 2) continue;
    size_t comma = line.find(',');
    rows.at(std::stoi(line.substr(0, comma))).push_back(std::stod(line.substr(comma + 1)));
  }
  return rows;
}

std::vector<std::vector<double>> AsciiRows(const std::string& path) { return AsciiRowsOf(ReadFile(path)); }

class ManagerLinkRunTest : public testing::Test {
 protected:
  // Files go to a folder of this run's own (other checkouts' test runs
  // share /tmp).
  std::string Path(const std::string& name) const { return scratch_.File(name); }
  // Starts the simulator with -w and links up with it.
  void Open(std::vector<std::string> arguments) {
    arguments.push_back("-w");
    ASSERT_TRUE(session_.Open(KORVAN_SIMULATOR_PATH, arguments, kTimeoutMs)) << session_.Error();
  }
  SimMgrConnection& Link() { return session_.Connection(); }
  unsigned long Pid() { return static_cast<unsigned long>(session_.Process().Pid()); }
  // The next data record, skipping CPU-time records.
  SimMgrMessage NextData() {
    SimMgrMessage message;
    for (;;) {
      EXPECT_TRUE(Link().ReadMessage(message, kTimeoutMs)) << Link().Error();
      if (message.kind != SimMgrMessage::kCpuTime) return message;
    }
  }
  // Connects `manager` to the simulator of `process` with a receive buffer
  // of 1 KiB, so that a manager that stops reading soon holds the simulator.
  // Starts the test build with a small send buffer to the manager, which a
  // manager that reads nothing fills at once (the system's grows to
  // megabytes first).
  static bool StartWithASmallSendBuffer(SimulatorProcess& process, const std::vector<std::string>& arguments) {
    setenv("KORVAN_TEST_SEND_BUFFER", "16384", 1);
    const bool started = process.Start(std::string(KORVAN_SIMULATOR_PATH) + "_testhooks", arguments);
    unsetenv("KORVAN_TEST_SEND_BUFFER");
    return started;
  }
  // With the simulator stopped, connects to its port and closes again:
  // `resets` times with a reset, then `closes` times normally (a port check
  // such as nc -z); the simulator is let go on afterwards.
  // Unless `held` is false: then the probes come while the simulator runs,
  // each a moment after the last, and race its look at them.
  static void ProbeWhileHeld(SimulatorProcess& process, int port, int resets, int closes, bool held = true) {
    if (held) process.Signal(SIGSTOP);
    for (int probe = 0; probe < resets + closes; probe++) {
      if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      ASSERT_GE(fd, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(port));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0) << "probe " << probe;
      if (probe < resets) {
        const linger reset = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
      }
      close(fd);
    }
    if (held) process.Signal(SIGCONT);
  }
  static void ConnectWithASmallWindow(SimulatorProcess& process, KorvanSocket& manager) {
    const int port = process.WaitForPort(kTimeoutMs);
    ASSERT_GT(port, 0);
    const int small = 1024;
    setsockopt(manager.sock, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    ASSERT_TRUE(manager.Connect("127.0.0.1", port));
  }
  // Waits for the simulator to end and checks its summary lines.
  void ExpectCleanEnd() {
    ASSERT_TRUE(session_.Process().Wait(kTimeoutMs));
    EXPECT_EQ(session_.Process().ExitStatus(), 0) << session_.Process().ErrorOutput();
    const std::string& out = session_.Process().Output();
    EXPECT_NE(out.find("Actions fired: "), std::string::npos) << out;
    EXPECT_NE(out.find("CPU time (s): "), std::string::npos) << out;
  }

  ScratchDir scratch_;
  SimMgrSession session_;
};

TEST_F(ManagerLinkRunTest, HandsOverEveryReportSizeReplicationsUntilQuit) {
  Open({"-n", "2", "-c", "9", "-e", "4", "-p", "24100", "-a", Path("out.csv")});
  std::vector<std::vector<double>> received(3);
  for (int record = 0; record < 5; record++) {
    SimMgrMessage data = NextData();
    ASSERT_EQ(data.kind, SimMgrMessage::kData);
    EXPECT_EQ(data.clientId, 9);
    EXPECT_EQ(data.experiment, 4);
    ASSERT_EQ(data.blocks.size(), 3u);
    for (const SimMgrMessage::Block& block : data.blocks) {
      EXPECT_EQ(block.kind, 1);
      ASSERT_EQ(block.values.size(), 2u);
      for (double v : block.values) received[block.variable].push_back(v);
    }
    // A record reaches the manager only once its rows are in the file: a
    // simulator killed now would leave them there.
    const std::string text = ReadFile(Path("out.csv"));
    const size_t whole = text.rfind('\n');
    const std::vector<std::vector<double>> written = AsciiRowsOf(text.substr(0, whole + 1));
    for (int v = 0; v < 3; v++) ASSERT_GE(written[v].size(), received[v].size()) << "record " << record;
  }
  // Command 1 is answered and changes nothing.
  ASSERT_TRUE(Link().SendCommand(1));
  ASSERT_TRUE(Link().ReadReply(1, Pid(), kTimeoutMs)) << Link().Error();
  ASSERT_TRUE(Link().SendCommand(2));
  // Records sent before the quit was seen are still delivered, in order.
  ASSERT_TRUE(Link().ReadReply(2, Pid(), kTimeoutMs)) << Link().Error();
  ExpectCleanEnd();
  EXPECT_NE(session_.Process().Output().find("SOCKET::Quit"), std::string::npos);
  // What reached the manager is what the ASCII file holds, in order.
  std::vector<std::vector<double>> written = AsciiRows(Path("out.csv"));
  for (int v = 0; v < 3; v++) {
    ASSERT_GE(written[v].size(), received[v].size());
    EXPECT_TRUE(std::equal(received[v].begin(), received[v].end(), written[v].begin()));
    EXPECT_EQ(written[v].size() % 2, 0u);
  }
}

TEST_F(ManagerLinkRunTest, SwitchingToABinaryFileReleasesTheConnection) {
  const std::string file = Path("switched.bin");
  Open({"-n", "2", "-p", "24200"});
  ASSERT_TRUE(Link().SendFileCommand(file + ";5;;"));
  ASSERT_TRUE(Link().ReadReply(3, Pid(), kTimeoutMs)) << Link().Error();
  EXPECT_TRUE(Link().WaitForClose(kTimeoutMs));
  ExpectCleanEnd();
  std::string binary = ReadFile(file);
  ASSERT_GT(binary.size(), 256u);
  EXPECT_EQ(binary.substr(0, binary.find('\0')),
            "KORVAN_SIM_BIN_FILE,256,KORVAN_VER=Version 2.4,FILE_VER=1,EXPERIMENTS=0,");
}

// A manager that goes away before asking the run to quit has not received
// the run's results: the simulator stops, and neither its exit status nor
// its last line claims a good run.
TEST_F(ManagerLinkRunTest, AManagerThatGoesAwayMakesTheRunFail) {
  const std::string kinds[] = {"after the greeting", "after a record", "inside command 3"};
  for (const std::string& kind : kinds) {
    SCOPED_TRACE(kind);
    SimMgrSession session;
    ASSERT_TRUE(session.Open(KORVAN_SIMULATOR_PATH, {"-n", "2", "-N", "50", "-p", "24300", "-w"},
                             kTimeoutMs))
        << session.Error();
    SimMgrConnection& link = session.Connection();
    if (kind == "after a record") {
      SimMgrMessage message;
      ASSERT_TRUE(link.ReadMessage(message, kTimeoutMs)) << link.Error();
    } else if (kind == "inside command 3") {
      ASSERT_TRUE(link.SendFileCommand(Path("cut.bin").substr(0, 10)));
    }
    link.Close();
    ASSERT_TRUE(session.Process().Wait(kTimeoutMs));
    const std::string& out = session.Process().Output();
    const std::string& err = session.Process().ErrorOutput();
    EXPECT_EQ(session.Process().ExitStatus(), 1) << err;
    EXPECT_NE(out.find("Actions fired: "), std::string::npos) << out;
    EXPECT_EQ(out.find("SIMULATOR::MAIN()-GOOD EXIT"), std::string::npos) << out;
    EXPECT_EQ(err.find("SIMULATOR::MAIN()-GOOD EXIT"), std::string::npos) << err;
    EXPECT_NE(err.find("!! The connection to the simulation manager failed: the run stopped after "),
              std::string::npos)
        << err;
  }
}

// Command bytes the simulator never gets to read (here one command 1 more
// than there are hand-overs to answer it, and a second quit) do not reset
// the connection under what is still on its way when the run ends: a
// manager with a small window, which reads only once the run is over, gets
// every record whole, and the run is a good one.
TEST_F(ManagerLinkRunTest, CommandsLeftUnreadAtTheEndLoseNothing) {
  for (const bool quit : {false, true}) {
    SCOPED_TRACE(quit ? "quit twice" : "one command 1 too many");
    const std::string ascii = Path(quit ? "quit.csv" : "status.csv");
    SimulatorProcess process;
    ASSERT_TRUE(process.Start(KORVAN_SIMULATOR_PATH, {"-w", "-n", "1000", "-N", quit ? "0" : "2000", "-p",
                                                       "24800", "-a", ascii}));
    KorvanSocket manager(true);
    ASSERT_NO_FATAL_FAILURE(ConnectWithASmallWindow(process, manager));
    const std::string commands = quit ? std::string("\x02\x02") : std::string("\x01\x01\x01");
    ASSERT_EQ(manager.Send(commands.data(), static_cast<int>(commands.size())), static_cast<int>(commands.size()));
    // The run is over once its summary is out; its last records are then
    // still on their way.
    for (int waited = 0; waited < kTimeoutMs / 10 && process.Output().find("CPU time (s): ") == std::string::npos;
         waited++) {
      process.Pump();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    SimMgrStream stream(SimMgrConnection::kMaxRecordLength);
    std::vector<std::vector<double>> received(3);
    SimMgrMessage message;
    char buffer[4096];
    int n = 0;
    while (manager.Select(kTimeoutMs) && (n = manager.Recv(buffer, sizeof(buffer))) > 0) {
      stream.Append(reinterpret_cast<unsigned char*>(buffer), static_cast<size_t>(n));
      while (stream.Next(message) == SimMgrStream::kMessage) {
        for (const SimMgrMessage::Block& block : message.blocks) {
          for (double v : block.values) received.at(block.variable).push_back(v);
        }
      }
    }
    EXPECT_EQ(n, 0) << "the connection ended with an error: " << std::strerror(errno);
    EXPECT_EQ(stream.Buffered(), 0u);
    ASSERT_TRUE(process.Wait(kTimeoutMs));
    EXPECT_EQ(process.ExitStatus(), 0) << process.ErrorOutput();
    const std::vector<std::vector<double>> written = AsciiRows(ascii);
    for (int v = 0; v < 3; v++) {
      EXPECT_GE(received[v].size(), 1000u);
      EXPECT_EQ(received[v], written[v]) << "variable " << v;
    }
  }
}

// A peer that connects and resets or closes its connection at once (a port
// probe) before the manager does is not taken for the manager: the simulator drops
// it, goes on waiting, and runs for the manager that comes next.
TEST_F(ManagerLinkRunTest, AConnectionClosedBeforeTheGreetingIsNotTheManager) {
  SimulatorProcess process;
  ASSERT_TRUE(process.Start(KORVAN_SIMULATOR_PATH, {"-n", "5", "-N", "10", "-p", "24400", "-w"}));
  const int port = process.WaitForPort(kTimeoutMs);
  ASSERT_GT(port, 0) << process.Error();
  // Held still meanwhile, so that every probe is closed before it is taken
  // in (a probe that could take the greeting before it closed would look
  // like a manager that went away). Three reset their connection, three
  // close it normally (a port check such as nc -z).
  ASSERT_NO_FATAL_FAILURE(ProbeWhileHeld(process, port, 3, 3));
  // Taken in, found gone, dropped.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  SimMgrConnection link;
  ASSERT_TRUE(link.Connect("127.0.0.1", port, kTimeoutMs)) << link.Error();
  ASSERT_TRUE(link.ReadGreeting(static_cast<unsigned long>(process.Pid()), kTimeoutMs)) << link.Error();
  int observations = 0;
  while (observations < 30) {
    SimMgrMessage message;
    ASSERT_TRUE(link.ReadMessage(message, kTimeoutMs)) << link.Error();
    if (message.kind != SimMgrMessage::kData) continue;
    for (const SimMgrMessage::Block& block : message.blocks) observations += static_cast<int>(block.values.size());
  }
  // All ten replications arrived; the run ends by itself, a good run.
  EXPECT_TRUE(link.WaitForClose(kTimeoutMs));
  ASSERT_TRUE(process.Wait(kTimeoutMs));
  EXPECT_EQ(process.ExitStatus(), 0) << process.ErrorOutput();
}

// One packet of command 3 whose text has no ';' (once a crash): refused,
// nothing acknowledged, and the run stops with a failing status.
TEST_F(ManagerLinkRunTest, CommandThreeWithoutSeparatorIsRefused) {
  Open({"-n", "2", "-N", "50", "-p", "24500"});
  ASSERT_TRUE(Link().SendFileCommand(std::string("\0;;", 3)));
  SimMgrMessage message;
  // Records sent before the command was seen may come first; no reply does.
  while (Link().ReadMessage(message, kTimeoutMs)) {
    EXPECT_NE(message.kind, SimMgrMessage::kReply);
  }
  ASSERT_TRUE(session_.Process().Wait(kTimeoutMs));
  EXPECT_EQ(session_.Process().ExitStatus(), 1);
  EXPECT_NE(session_.Process().ErrorOutput().find(
                "!! Refusing command 3 from the simulation manager: the text '\\x00;;' is not "
                "<file>;<limit>;;"),
            std::string::npos)
      << session_.Process().ErrorOutput();
  EXPECT_EQ(session_.Process().Output().find("SIMULATOR::MAIN()-GOOD EXIT"), std::string::npos);
}

// A manager that reads one byte at a time gets every record whole and in
// order: what it decodes is exactly what the ASCII file holds.
TEST_F(ManagerLinkRunTest, AManagerReadingAByteAtATimeLosesNothing) {
  const int kReplications = 400;
  SimulatorProcess process;
  ASSERT_TRUE(process.Start(KORVAN_SIMULATOR_PATH,
                            {"-w", "-n", "1", "-N", std::to_string(kReplications), "-c", "5",
                             "-p", "24600", "-a", Path("out.csv")}));
  const int port = process.WaitForPort(kTimeoutMs);
  ASSERT_GT(port, 0);
  KorvanSocket manager(true);
  ASSERT_TRUE(manager.Connect("127.0.0.1", port));
  SimMgrStream stream(SimMgrConnection::kMaxRecordLength);
  std::vector<std::vector<double>> received(3);
  int replies = 0;
  int cpuRecords = 0;
  SimMgrMessage message;
  while (manager.Select(kTimeoutMs)) {
    unsigned char byte;
    if (manager.Recv(reinterpret_cast<char*>(&byte), 1) != 1) break;
    stream.Append(&byte, 1);
    SimMgrStream::Result result;
    while ((result = stream.Next(message)) == SimMgrStream::kMessage) {
      if (message.kind == SimMgrMessage::kReply) replies++;
      if (message.kind == SimMgrMessage::kCpuTime) cpuRecords++;
      for (const SimMgrMessage::Block& block : message.blocks) {
        EXPECT_EQ(block.kind, 1);
        for (double v : block.values) received.at(block.variable).push_back(v);
      }
    }
    ASSERT_NE(result, SimMgrStream::kBroken) << stream.Error();
  }
  EXPECT_EQ(stream.Buffered(), 0u);
  ASSERT_TRUE(process.Wait(kTimeoutMs));
  EXPECT_EQ(process.ExitStatus(), 0) << process.ErrorOutput();
  EXPECT_NE(process.Output().find("SIMULATOR::MAIN()-GOOD EXIT"), std::string::npos);
  EXPECT_EQ(replies, 1);  // the greeting
  EXPECT_EQ(cpuRecords, kReplications);
  std::vector<std::vector<double>> written = AsciiRows(Path("out.csv"));
  for (int v = 0; v < 3; v++) {
    EXPECT_EQ(received[v].size(), static_cast<size_t>(kReplications));
    EXPECT_EQ(received[v], written[v]) << "variable " << v;
  }
}

// A manager that stops reading fills the connection and holds the
// simulator in a send. A first SIGTERM must still end the run: after a
// bounded wait in which nothing gets through the simulator gives up on the
// manager and says that not all was handed over; either way its result
// files hold every hand-over whole.
TEST_F(ManagerLinkRunTest, AManagerThatStopsReadingDoesNotHoldAnInterruptedRun) {
  SimulatorProcess process;
  ASSERT_TRUE(process.Start(KORVAN_SIMULATOR_PATH, {"-w", "-n", "1", "-N", "0", "-p", "24700", "-a",
                                                     Path("out.csv"), "-b", Path("out.bin")}));
  KorvanSocket manager(true);
  ASSERT_NO_FATAL_FAILURE(ConnectWithASmallWindow(process, manager));
  // Stalled once the files stop growing (a replication takes well under a
  // millisecond).
  size_t last = 0;
  int still = 0;
  for (int waited = 0; still < 15 && waited < 3000; waited++) {
    process.Pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const size_t size = ReadFile(Path("out.csv")).size();
    still = size == last ? still + 1 : 0;
    last = size;
  }
  ASSERT_EQ(still, 15) << "the simulator was never held by the manager";
  process.Signal(SIGTERM);
  ASSERT_TRUE(process.Wait(kTimeoutMs)) << "a first SIGTERM did not end the run";
  const std::string& err = process.ErrorOutput();
  // Loopback TCP may still make room now and then (it merges small queued
  // segments), so a send can get through within the wait: the run then
  // ends as any interrupted run whose observations all went out.
  if (process.ExitStatus() == 1) {
    EXPECT_NE(err.find("!! The connection to the simulation manager failed: the run stopped after "),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("were handed over"), std::string::npos) << err;
  } else {
    EXPECT_EQ(process.ExitStatus(), 128 + SIGTERM) << err;
    EXPECT_NE(err.find("the observations made so far were handed over."), std::string::npos) << err;
    EXPECT_EQ(err.find("!! The connection to the simulation manager failed"), std::string::npos)
        << err;
  }
  EXPECT_EQ(process.Output().find("SIMULATOR::MAIN()-GOOD EXIT"), std::string::npos);
  // Both files hold the same whole hand-overs of one replication each.
  const std::vector<std::vector<double>> written = AsciiRows(Path("out.csv"));
  const std::string binary = ReadFile(Path("out.bin"));
  SimMgrStream records(SimMgrConnection::kMaxRecordLength);
  records.Append(reinterpret_cast<const unsigned char*>(binary.data()) + 256, binary.size() - 256);
  std::vector<std::vector<double>> recorded(3);
  SimMgrMessage message;
  while (records.Next(message) == SimMgrStream::kMessage) {
    for (const SimMgrMessage::Block& block : message.blocks) {
      for (double v : block.values) recorded.at(block.variable).push_back(v);
    }
  }
  EXPECT_EQ(records.Buffered(), 0u) << "the binary file ends inside a record";
  EXPECT_GT(written[0].size(), 0u);
  // The ASCII rows go first: the file may also hold the hand-over whose
  // record did not get through.
  for (int v = 0; v < 3; v++) {
    ASSERT_GE(written[v].size(), recorded[v].size()) << "variable " << v;
    EXPECT_LE(written[v].size(), recorded[v].size() + 1) << "variable " << v;
    EXPECT_TRUE(std::equal(recorded[v].begin(), recorded[v].end(), written[v].begin())) << "variable " << v;
  }
}

// A second signal ends the run at once, also in the middle of a hand-over
// held by a manager that stopped reading: the binary file, written block by
// block as the manager takes them, is cut back to its last whole record.
// (The test build's small send buffer holds a hand-over part-way at once;
// the system's grows to megabytes first.)
TEST_F(ManagerLinkRunTest, AStopAtOnceLeavesNoRecordCutOffInTheResultFile) {
  SimulatorProcess process;
  ASSERT_TRUE(StartWithASmallSendBuffer(process, {"-w", "-e", "35", "-n", "2000", "-p", "24750", "-b",
                                                  Path("out.bin"), "-a", Path("out.csv")}));
  KorvanSocket manager(true);
  ASSERT_NO_FATAL_FAILURE(ConnectWithASmallWindow(process, manager));
  // A record is 30 + 3 * 2000 * 8 bytes, written to the file a block of
  // 16 000 bytes at a time as each is sent. The manager reads the first
  // record and a little more, then nothing: the file grows to the middle of
  // a later record and stays there.
  const size_t kRecord = 30 + 3 * 2000 * 8;
  size_t taken = 0;
  char buffer[4096];
  while (taken < kRecord + 8000 && manager.Select(kTimeoutMs)) {
    const int n = manager.Recv(buffer, sizeof(buffer));
    if (n <= 0) break;
    taken += static_cast<size_t>(n);
  }
  // Held once the size inside a record has stayed for 0.3 s.
  size_t size = 0;
  int still = 0;
  for (int waited = 0; still < 30 && waited < 3000; waited++) {
    process.Pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const size_t now = ReadFile(Path("out.bin")).size();
    still = now == size && now > 256 + kRecord && (now - 256) % kRecord != 0 ? still + 1 : 0;
    size = now;
  }
  ASSERT_EQ(still, 30) << "the hand-over was never held part-way";
  const size_t wholeRecords = (size - 256) / kRecord;
  process.Signal(SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  process.Signal(SIGINT);
  ASSERT_TRUE(process.Wait(kTimeoutMs));
  EXPECT_EQ(process.ExitStatus(), 128 + SIGINT) << process.ErrorOutput();
  const std::string binary = ReadFile(Path("out.bin"));
  EXPECT_EQ(binary.size(), 256 + wholeRecords * kRecord) << "the file does not end with its last whole record";
  SimMgrStream records(SimMgrConnection::kMaxRecordLength);
  records.Append(reinterpret_cast<const unsigned char*>(binary.data()) + 256, binary.size() - 256);
  std::vector<std::vector<double>> recorded(3);
  SimMgrMessage message;
  size_t count = 0;
  while (records.Next(message) == SimMgrStream::kMessage) {
    ++count;
    for (const SimMgrMessage::Block& block : message.blocks) {
      for (double v : block.values) recorded.at(block.variable).push_back(v);
    }
  }
  EXPECT_EQ(count, wholeRecords);
  EXPECT_EQ(records.Buffered(), 0u) << "the binary file ends inside a record";
  // The ASCII rows, written before each record, hold the same hand-overs
  // and the whole of the one that was held.
  const std::vector<std::vector<double>> written = AsciiRows(Path("out.csv"));
  for (int v = 0; v < 3; v++) {
    ASSERT_EQ(written[v].size(), recorded[v].size() + 2000) << "variable " << v;
    EXPECT_TRUE(std::equal(recorded[v].begin(), recorded[v].end(), written[v].begin())) << "variable " << v;
  }
}

// A manager that sends quit and then reads nothing holds the hand-over that
// follows the quit part-way; a SIGTERM makes the simulator give up on it.
// That hand-over did not reach the manager, so the run must not say that
// its observations were handed over.
TEST_F(ManagerLinkRunTest, AHandOverCutAfterQuitIsNotClaimedHandedOver) {
  SimulatorProcess process;
  ASSERT_TRUE(StartWithASmallSendBuffer(process, {"-w", "-e", "35", "-n", "2000", "-p", "22470", "-a",
                                                  Path("out.csv")}));
  KorvanSocket manager(true);
  ASSERT_NO_FATAL_FAILURE(ConnectWithASmallWindow(process, manager));
  const char quit = 2;
  ASSERT_EQ(manager.Send(&quit, 1), 1);
  // Held once the ASCII file has its 2000 rows and stays so.
  size_t last = 0;
  int still = 0;
  for (int waited = 0; still < 30 && waited < 3000; waited++) {
    process.Pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const size_t size = ReadFile(Path("out.csv")).size();
    still = size == last && size > 0 ? still + 1 : 0;
    last = size;
  }
  ASSERT_EQ(still, 30) << "the simulator was never held";
  process.Signal(SIGTERM);
  ASSERT_TRUE(process.Wait(kTimeoutMs)) << "a first SIGTERM did not end the run";
  const std::string& err = process.ErrorOutput();
  EXPECT_NE(err.find("Simulation interrupted by signal 15."), std::string::npos) << err;
  EXPECT_EQ(err.find("were handed over"), std::string::npos) << err;
  EXPECT_EQ(process.Output().find("SIMULATOR::MAIN()-GOOD EXIT"), std::string::npos);
}

// Port probes use up no more of the wait for the manager than the time they
// take: forty peers that connect and close at once (a port scan that comes
// while the simulator is held still) leave it waiting for the manager that
// comes a moment after them.
TEST_F(ManagerLinkRunTest, ManyProbesDoNotEndTheWaitForTheManager) {
  SimulatorProcess process;
  ASSERT_TRUE(process.Start(KORVAN_SIMULATOR_PATH, {"-n", "5", "-N", "10", "-p", "22460", "-w"}));
  const int port = process.WaitForPort(kTimeoutMs);
  ASSERT_GT(port, 0) << process.Error();
  ASSERT_NO_FATAL_FAILURE(ProbeWhileHeld(process, port, 0, 40));
  // And probes while it runs: their close comes a moment after the
  // simulator takes them in, which once made one in ten the manager.
  ASSERT_NO_FATAL_FAILURE(ProbeWhileHeld(process, port, 0, 40, false));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  SimMgrConnection link;
  ASSERT_TRUE(link.Connect("127.0.0.1", port, kTimeoutMs)) << link.Error();
  ASSERT_TRUE(link.ReadGreeting(static_cast<unsigned long>(process.Pid()), kTimeoutMs)) << link.Error();
  EXPECT_TRUE(link.WaitForClose(kTimeoutMs));
  ASSERT_TRUE(process.Wait(kTimeoutMs));
  EXPECT_EQ(process.ExitStatus(), 0) << process.ErrorOutput();
}

// A result or trace file that has become a FIFO by the time the manager
// connects is opened only then, and waits for its reader. A stop that
// lands before the FIFO is tried (the test build sends SIGTERM there), or
// the manager's quit, ends that wait as a stop during the open does: the
// run no longer hangs until a reader comes.
TEST_F(ManagerLinkRunTest, AStopEndsTheWaitForAFifoOpenedOnceTheManagerHasConnected) {
  const struct {
    bool trace;
    bool quit;
  } cases[] = {{false, false}, {true, false}, {false, true}, {true, true}};
  int port = 46100;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.trace ? "trace" : "result file") + (c.quit ? ", quit" : ", SIGTERM"));
    const std::string fifo = Path(c.trace ? "held.txt" : "out.csv");
    unlink(fifo.c_str());
    std::ofstream(fifo) << "an earlier run's output\n";
    const std::vector<std::string> arguments =
        c.trace ? std::vector<std::string>{"-m", "-f", Path("held")} : std::vector<std::string>{"-a", fifo};
    std::vector<std::string> run = {"-n", "5", "-N", "10", "-p", std::to_string(port++), "-w"};
    run.insert(run.end(), arguments.begin(), arguments.end());
    SimulatorProcess process;
    if (!c.quit) setenv("KORVAN_TEST_SIGNAL_BEFORE_FIFO", std::to_string(SIGTERM).c_str(), 1);
    const bool started = process.Start(std::string(KORVAN_SIMULATOR_PATH) + "_testhooks", run);
    unsetenv("KORVAN_TEST_SIGNAL_BEFORE_FIFO");
    ASSERT_TRUE(started) << process.Error();
    const int listening = process.WaitForPort(kTimeoutMs);
    ASSERT_GT(listening, 0) << process.Error();
    // The set-up is over: the file it looked at becomes a FIFO no one reads.
    ASSERT_EQ(unlink(fifo.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    SimMgrConnection link;
    ASSERT_TRUE(link.Connect("127.0.0.1", listening, kTimeoutMs)) << link.Error();
    ASSERT_TRUE(link.ReadGreeting(static_cast<unsigned long>(process.Pid()), kTimeoutMs)) << link.Error();
    if (c.quit) ASSERT_TRUE(link.SendCommand(2)) << link.Error();
    const bool ended = process.Wait(10000);
    if (!ended) process.Kill();
    ASSERT_TRUE(ended) << "the run waited for the FIFO's reader";
    const std::string& err = process.ErrorOutput();
    if (c.trace) {
      EXPECT_NE(err.find("!! Cannot create trace file " + fifo + ": Interrupted system call"), std::string::npos)
          << err;
      EXPECT_EQ(process.ExitStatus(), c.quit ? 0 : 128 + SIGTERM) << err;
    } else {
      EXPECT_NE(err.find("!! Unable to open result file " + fifo + ": Interrupted system call"), std::string::npos)
          << err;
      EXPECT_EQ(process.ExitStatus(), 1) << err;
    }
    // A quit ends a run as asked; a trace that could not be made does not
    // fail it, a result file that could not be opened does.
    EXPECT_EQ(process.Output().find("SIMULATOR::MAIN()-GOOD EXIT") != std::string::npos, c.trace && c.quit);
  }
}

}  // namespace
