// Results output: byte formats of the records and files, the hand-over and
// its deferral, and the handling of failed writes.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/KorvanSocket.h"
#include "simulator/DataPacket.h"
#include "simulator/PacketQueue.h"
#include "simulator/SimulatorClass.h"
#include "tests/simulator/TestSimulator.h"
#include "tests/support/TestFiles.h"

namespace {

namespace fs = std::filesystem;

// A connected loopback pair: `server` is the simulator's end (heap, handed
// to the simulator, which owns it), `manager` the test's.
struct LoopbackPair {
  LoopbackPair() {
    KorvanSocket listener(true);
    EXPECT_TRUE(listener.Bind(0));
    EXPECT_TRUE(listener.Listen(1));
    sockaddr_in address;
    socklen_t length = sizeof(address);
    getsockname(listener.sock, reinterpret_cast<sockaddr*>(&address), &length);
    EXPECT_TRUE(manager.Connect("127.0.0.1", ntohs(address.sin_port)));
    EXPECT_TRUE(listener.Select(5000));
    server = new KorvanSocket(false);
    EXPECT_TRUE(listener.Accept(*server));
    // A receive that should return but does not fails the test after 5 s.
    timeval limit = {5, 0};
    setsockopt(manager.sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  }
  std::string Receive(int n) {
    std::string buffer(static_cast<size_t>(n), '\0');
    buffer.resize(static_cast<size_t>(manager.RecvBlock(buffer.data(), n)));
    return buffer;
  }

  KorvanSocket manager{true};
  KorvanSocket* server = nullptr;
};

// Counts (2, 0, 1) for three variables; the cells outside the counts hold
// values that must never be written.
void FillExamplePacket(DataPacket* packet) {
  for (int k = 0; k < packet->numPVs * packet->reportSize; k++) packet->values[k] = 99.0;
  packet->counts[0] = 2;
  packet->counts[1] = 0;
  packet->counts[2] = 1;
  packet->values[0] = 0.25;
  packet->values[1] = 3.0;
  packet->values[2 * packet->reportSize] = -2.0;
}

// The data record of FillExamplePacket for client 3, experiment 0.
const std::string kExampleRecord =
    Bytes({0x00, 0x00, 0x00, 0x2F,  // L = 9 + 7*2 + 8*3 = 47
           0x03, 0x00, 0x00, 0x00, 0x02,
           0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02,  // variable 0: kind 1, 2 observations
           0x3F, 0xD0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0.25
           0x40, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 3.0
           0x00, 0x02, 0x01, 0x00, 0x00, 0x00, 0x01,  // variable 2: kind 1, 1 observation
           0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});  // -2.0

const std::string kBinaryHeaderText =
    "KORVAN_SIM_BIN_FILE,256,KORVAN_VER=Version 2.4,FILE_VER=1,EXPERIMENTS=";

// Names a result file after construction (the constructor ends the process
// when a file named on the command line cannot be opened).
void NameFile(char** field, const std::string& name) {
  delete[] *field;
  *field = new char[name.size() + 1];
  std::memcpy(*field, name.c_str(), name.size() + 1);
}

void PreparePackets(SimulatorClass& sim, int numPVs, int reportSize) {
  sim.numPVs = numPVs;
  sim.reportSize = reportSize;
  sim.valuePacket = sim.CreateDataPacket(numPVs);
  sim.squarePacket = sim.CreateDataPacket(numPVs);
}

}  // namespace

// One hand-over with a manager connection and a binary file: the socket gets
// the CPU-time record then the data record, the file its header then the
// same data record; the squared-value packet is written nowhere.
TEST(SimulatorOutputTest, DataRecordGoesByteExactToSocketAndBinaryFile) {
  ScratchDir dir;
  TestSimulator sim({"-c", "3", "-e", "0", "-b", dir.File("out.bin")});
  ASSERT_TRUE(sim->OpenResultFiles());
  LoopbackPair pair;
  sim->simMgrSocket = pair.server;
  PreparePackets(*sim, 3, 4);
  EXPECT_EQ(sim->valuePacket->clientId, 3);
  FillExamplePacket(sim->valuePacket);
  FillExamplePacket(sim->squarePacket);
  sim->squarePacket->values[0] = 0.0625;

  EXPECT_EQ(sim->CheckReportSize(0.5), 1);

  const std::string cpuRecord = Bytes({0x00, 0x00, 0x00, 0x0C, 0xFE, 0x03, 0x00, 0x00,
                                       0x3F, 0xE0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(pair.Receive(16), cpuRecord);
  EXPECT_EQ(pair.Receive(47), kExampleRecord);
  EXPECT_FALSE(pair.manager.Select(100));  // nothing more was sent

  const std::string file = ReadFile(dir.File("out.bin"));
  ASSERT_EQ(file.size(), 256u + 47u);
  EXPECT_EQ(file.substr(256), kExampleRecord);
  EXPECT_EQ(sim->status, 0);
  EXPECT_EQ(sim->exitStatus, 0);
}

// The header is a fixed 256-byte block whatever the length of its text; the
// ASCII file has its two header lines and rows stripped of trailing zeros.
TEST(SimulatorOutputTest, ResultFilesHaveTheirHeadersAndAsciiRows) {
  ScratchDir dir;
  TestSimulator sim({"-e", "12", "-a", dir.File("out.txt"), "-b", dir.File("out.bin")});
  ASSERT_TRUE(sim->OpenResultFiles());
  std::string bin = ReadFile(dir.File("out.bin"));
  ASSERT_EQ(bin.size(), 256u);
  const std::string text = kBinaryHeaderText + "12,";
  EXPECT_EQ(bin.substr(0, text.size()), text);
  EXPECT_EQ(bin.substr(text.size()), std::string(256 - text.size(), '\0'));

  PreparePackets(*sim, 3, 3);
  DataPacket* values = sim->valuePacket;
  values->counts[0] = 1;
  values->counts[1] = 3;
  values->counts[2] = 7;  // beyond the row: only its 3 cells are written
  values->values[0] = 0.25;
  values->values[3] = 3.0;
  values->values[4] = -0.5;
  values->values[5] = 1e-11;  // rounds to zero at ten digits
  values->values[6] = 123456.0000000001;
  values->values[7] = 0.1;
  values->values[8] = 2.5e6;
  EXPECT_EQ(sim->CheckReportSize(0.0), 1);

  const std::string header =
      "#KORVAN_SIM_ASCII_FILE,KORVAN_VER=Version 2.4,FILE_VER=1,EXPERIMENTS=12\n"
      "#FORMAT: (PV ID Number),(PV Value)\n";
  EXPECT_EQ(ReadFile(dir.File("out.txt")),
            header + "0,0.25\n1,3.0\n1,-0.5\n1,0.0\n2,123456.0000000001\n2,0.1\n2,2500000.0\n");
  // The binary record also stops at the row's width: 3 rows, 7 observations.
  bin = ReadFile(dir.File("out.bin"));
  ASSERT_EQ(bin.size(), 256u + 9 + 7 * 3 + 8 * 7);

  // Opening again keeps the files and what they hold.
  ASSERT_TRUE(sim->OpenResultFiles());
  EXPECT_EQ(ReadFile(dir.File("out.bin")), bin);
}

TEST(SimulatorOutputTest, CpuTimeRecordCarriesLowBytesOfIdentifiers) {
  TestSimulator sim({"-c", "300"});
  sim->experiment = 70000;  // 0x11170: only 0x1170 is sent
  LoopbackPair pair;
  sim->simMgrSocket = pair.server;
  sim->OutputCPUTime(sim->simMgrSocket, 1.5);
  EXPECT_EQ(pair.Receive(16), Bytes({0x00, 0x00, 0x00, 0x0C, 0xFE, 0x2C, 0x11, 0x70, 0x3F,
                                     0xF8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

// The record with the squared-value packet, and the CSV rows, which the
// write-out does not use but which keep their own formats.
TEST(SimulatorOutputTest, CombinedRecordAndCsvRowsCarryBothPackets) {
  TestSimulator sim({"-c", "3"});
  PreparePackets(*sim, 2, 2);
  sim->valuePacket->counts[1] = 1;
  sim->valuePacket->values[2] = 0.5;
  sim->squarePacket->counts[1] = 1;
  sim->squarePacket->values[2] = 0.25;
  std::ostringstream record;
  sim->OutputDataBinary(nullptr, &record, sim->valuePacket, sim->squarePacket);
  EXPECT_EQ(record.str(),
            Bytes({0x00, 0x00, 0x00, 0x27, 0x03, 0x00, 0x00, 0x00, 0x02,  // L = 9+14+16
                   0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x01,
                   0x3F, 0xE0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x01,
                   0x3F, 0xD0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  std::ostringstream csv;
  sim->OutputDataCSV(&csv, sim->valuePacket, sim->squarePacket);
  EXPECT_EQ(csv.str(), "1,0.5000000000,0.2500000000\n");
}

// Without socket and files nothing is written, yet the packets circulate
// through the free queue instead of being allocated at every hand-over.
TEST(SimulatorOutputTest, PacketsCirculateWithoutSocketOrFiles) {
  TestSimulator sim({"-c", "1"});
  PreparePackets(*sim, 2, 3);
  std::set<DataPacket*> seen;
  for (int k = 0; k < 10; k++) {
    sim->valuePacket->counts[0] = 3;
    seen.insert(sim->valuePacket);
    seen.insert(sim->squarePacket);
    EXPECT_EQ(sim->CheckReportSize(0.0), 1);
    EXPECT_NE(sim->valuePacket, sim->squarePacket);
  }
  EXPECT_EQ(seen.size(), 4u);
  EXPECT_EQ(sim->fullPackets->Count(), 0);
  EXPECT_EQ(sim->freePackets->Count(), 2);
  EXPECT_EQ(sim->status, 0);
}

// First ten write-outs at once; then, while CPU seconds per write-out stay
// under 0.2, hand-overs are held until 50 packets are queued; heavier runs
// are written at every hand-over; the last hand-over (status 1) always is,
// and the emptied queue turns status to 2; so is one made at status 2.
TEST(SimulatorOutputTest, DeferralRuleAndLastHandOver) {
  ScratchDir dir;
  TestSimulator sim({"-b", dir.File("out.bin")});
  ASSERT_TRUE(sim->OpenResultFiles());
  PreparePackets(*sim, 1, 1);
  const size_t recordSize = 9 + 7 + 8;
  auto records = [&] { return (ReadFile(dir.File("out.bin")).size() - 256) / recordSize; };
  auto handOver = [&](double seconds) {
    sim->valuePacket->counts[0] = 1;
    sim->squarePacket->counts[0] = 1;
    return sim->CheckReportSize(seconds);
  };

  double seconds = 0.0;
  for (int k = 1; k <= 10; k++) EXPECT_EQ(handOver(seconds += 0.01), 1) << k;
  EXPECT_EQ(sim->reportsWritten, 11);
  EXPECT_EQ(records(), 10u);
  // 24 cheap hand-overs queue 48 packets; the 25th fills the queue to 50.
  for (int k = 1; k <= 24; k++) EXPECT_EQ(handOver(seconds += 0.01), 0) << k;
  EXPECT_EQ(sim->fullPackets->Count(), 48);
  EXPECT_EQ(records(), 10u);
  EXPECT_EQ(handOver(seconds += 0.01), 1);
  EXPECT_EQ(records(), 35u);
  EXPECT_EQ(sim->reportsWritten, 12);

  // Seconds, not clock ticks: 3 s over 12 write-outs is 0.25 s each.
  EXPECT_EQ(handOver(3.0), 1);
  EXPECT_EQ(handOver(1.0), 0);  // 1 s over 13 write-outs is cheap again

  sim->status = 1;
  EXPECT_EQ(handOver(1.0), 1);
  EXPECT_EQ(sim->status, 2);
  EXPECT_EQ(sim->fullPackets->Count(), 0);
  EXPECT_EQ(records(), 38u);
  // A hand-over made while the run is being stopped is not held back either.
  EXPECT_EQ(handOver(1.0), 1);
  EXPECT_EQ(records(), 39u);
  EXPECT_EQ(sim->exitStatus, 0);
}

// A failed send stops the run without ending the process; the binary file
// still receives the whole record.
TEST(SimulatorOutputTest, FailedSendSetsStatusTwoAndKeepsTheFileWhole) {
  ScratchDir dir;
  TestSimulator sim({"-c", "3", "-b", dir.File("out.bin")});
  ASSERT_TRUE(sim->OpenResultFiles());
  LoopbackPair pair;
  sim->simMgrSocket = pair.server;
  // Every send on the simulator's end now fails (EPIPE, no SIGPIPE).
  shutdown(pair.server->sock, SHUT_WR);
  PreparePackets(*sim, 3, 4);
  FillExamplePacket(sim->valuePacket);
  EXPECT_EQ(sim->CheckReportSize(0.5), 1);
  EXPECT_EQ(sim->status, 2);
  EXPECT_EQ(ReadFile(dir.File("out.bin")).substr(256), kExampleRecord);
  EXPECT_EQ(sim->Output(sim->simMgrSocket, nullptr, sim->valuePacket->values, 1), -1);
  EXPECT_EQ(sim->OutputInt(sim->simMgrSocket, nullptr, 1), -1);
}

TEST(SimulatorOutputTest, UnopenableResultFileIsReported) {
  TestSimulator sim({"-c", "1"});
  NameFile(&sim->asciiFileName, "/nonexistent-korvan-dir/out.txt");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(sim->OpenResultFiles());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("/nonexistent-korvan-dir/out.txt"), std::string::npos) << err;
  EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;
  EXPECT_EQ(sim->asciiStream, nullptr);

  // A binary file whose header cannot be written is refused the same way.
  // (One simulator per process: the model it builds is the process's one.)
  delete[] sim->asciiFileName;
  sim->asciiFileName = nullptr;
  NameFile(&sim->binFileName, "/dev/full");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(sim->OpenResultFiles());
  const std::string fullErr = testing::internal::GetCapturedStderr();
  EXPECT_NE(fullErr.find("/dev/full"), std::string::npos) << fullErr;
  EXPECT_NE(fullErr.find("No space left on device"), std::string::npos) << fullErr;
}

// A result file's name is the user's text (or the manager's): one holding
// control characters is shown escaped, so that it cannot print lines of its
// own (a forged "GOOD EXIT", or a report of a file that did not fail); any
// other name is shown exactly as given, backslashes included, since the
// manager finds the report of its ASCII file by the name it gave.
TEST(SimulatorOutputTest, ReportedResultFileNamesCannotPrintLinesOfTheirOwn) {
  TestSimulator sim({"-c", "1"});
  NameFile(&sim->asciiFileName, "/nonexistent-korvan-dir/x\nSIMULATOR::MAIN()-GOOD EXIT\x1b[2K\\.txt");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(sim->OpenResultFiles());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "!! Unable to open result file /nonexistent-korvan-dir/x\\x0ASIMULATOR::MAIN()-GOOD EXIT\\x1B[2K"
            "\\x5C.txt: No such file or directory\n");
  NameFile(&sim->asciiFileName, "/nonexistent-korvan-dir/a\\b.txt");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(sim->OpenResultFiles());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "!! Unable to open result file /nonexistent-korvan-dir/a\\b.txt: No such file or directory\n");

  // The same for a file that fails while the run writes it.
  NameFile(&sim->asciiFileName, "out.csv: File too large\n!! Error writing result file other.csv");
  sim->asciiStream = new std::ofstream("/dev/full");
  ASSERT_TRUE(sim->asciiStream->is_open());
  PreparePackets(*sim, 1, 2);
  testing::internal::CaptureStderr();
  sim->valuePacket->counts[0] = 2;
  sim->CheckReportSize(0.0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "!! Error writing result file out.csv: File too large\\x0A!! Error writing result file other.csv: "
            "No space left on device\n");
}

// Two outputs named onto one file would write over each other: refused
// before either file is opened, whatever path, link (also one whose target
// does not exist yet) or trace suffix leads there; an existing file is left
// as it was.
TEST(SimulatorOutputTest, OutputsNamedOntoOneFileAreRefused) {
  ScratchDir dir;
  { std::ofstream(dir.File("old.txt")) << "earlier results\n"; }
  std::filesystem::create_hard_link(dir.File("old.txt"), dir.File("hard.txt"));
  std::filesystem::create_directory(dir.File("sub"));
  // Links whose targets do not exist yet: opening them creates the target.
  std::filesystem::create_symlink("new.txt", dir.File("dangling.bin"));
  std::filesystem::create_symlink("u.txt", dir.File("u.xml"));
  std::filesystem::create_symlink(dir.File("dangling.bin"), dir.File("sub/chain.bin"));
  struct Case {
    std::string ascii, binary, trace;
    bool text, xml, refused;
  };
  const Case cases[] = {
      {dir.File("new.txt"), dir.File("new.txt"), "", false, false, true},
      {dir.File("new.txt"), dir.File("sub/../new.txt"), "", false, false, true},
      {dir.File("old.txt"), dir.File("hard.txt"), "", false, false, true},
      {dir.File("t.txt"), "", dir.File("t"), true, false, true},
      {dir.File("t.xml"), "", dir.File("t"), true, true, true},
      {"", dir.File("t.txt"), dir.File("t"), false, true, false},
      {dir.File("a.txt"), dir.File("b.bin"), dir.File("a"), false, true, false},
      {"/dev/null", "/dev/null", "", false, false, false},
      {dir.File("new.txt"), dir.File("dangling.bin"), "", false, false, true},
      {dir.File("new.txt"), dir.File("sub/chain.bin"), "", false, false, true},
      {"", "", dir.File("u"), true, true, true},
  };
  for (const Case& c : cases) {
    TestSimulator sim({"-c", "1"});
    if (!c.ascii.empty()) NameFile(&sim->asciiFileName, c.ascii);
    if (!c.binary.empty()) NameFile(&sim->binFileName, c.binary);
    if (!c.trace.empty()) NameFile(&sim->traceFileName, c.trace);
    sim->textTrace = c.text;
    sim->xmlTrace = c.xml;
    testing::internal::CaptureStderr();
    const bool opened = sim->OpenResultFiles();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(opened, !c.refused) << c.ascii << " " << c.binary << " " << c.trace << "\n" << err;
    EXPECT_EQ(err.find("!! Two outputs would be written to the same file: "), c.refused ? 0 : std::string::npos)
        << err;
  }
  EXPECT_EQ(ReadFile(dir.File("old.txt")), "earlier results\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("new.txt")));
  // The names are the user's text: shown with their control characters
  // escaped, so that neither prints as another line.
  TestSimulator sim({"-c", "1"});
  NameFile(&sim->asciiFileName, dir.File("x\nSIMULATOR::MAIN()-GOOD EXIT.txt"));
  NameFile(&sim->traceFileName, dir.File("x\nSIMULATOR::MAIN()-GOOD EXIT"));
  sim->textTrace = true;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(sim->OpenResultFiles());
  const std::string named = dir.File("x\\x0ASIMULATOR::MAIN()-GOOD EXIT.txt");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "!! Two outputs would be written to the same file: the ASCII result file (" + named +
                ") and the text trace (" + named + ")\n");
}

// A result file that fails during the run: reported once, the run stopped,
// a non-zero exit status.
TEST(SimulatorOutputTest, WriteFailureDuringRunIsReportedOnceAndStops) {
  TestSimulator sim({"-c", "1"});
  NameFile(&sim->asciiFileName, "/dev/full");
  sim->asciiStream = new std::ofstream("/dev/full");
  ASSERT_TRUE(sim->asciiStream->is_open());
  PreparePackets(*sim, 1, 2);
  testing::internal::CaptureStderr();
  for (int k = 0; k < 3; k++) {
    sim->valuePacket->counts[0] = 2;
    sim->CheckReportSize(0.0);
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "!! Error writing result file /dev/full: No space left on device\n");
  EXPECT_EQ(sim->status, 2);
  EXPECT_NE(sim->exitStatus, 0);
  EXPECT_EQ(sim->asciiStream, nullptr);
}

// A hand-over larger than the stream's buffer fails while it is written, not
// at the flush after it: the reason is still the write's, for both files
// (not a generic input/output error).
TEST(SimulatorOutputTest, AWriteFailureInsideALargeHandOverKeepsItsReason) {
  TestSimulator large({"-c", "1"});
  NameFile(&large->asciiFileName, "/dev/full");
  NameFile(&large->binFileName, "/dev/full");
  large->asciiStream = new std::ofstream("/dev/full");
  large->binStream = new std::ofstream("/dev/full", std::ios::binary);
  PreparePackets(*large, 1, 20000);
  large->valuePacket->counts[0] = 20000;
  testing::internal::CaptureStderr();
  large->CheckReportSize(0.0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "!! Error writing result file /dev/full: No space left on device\n"
            "!! Error writing result file /dev/full: No space left on device\n");
  EXPECT_EQ(large->binStream, nullptr);
  EXPECT_EQ(large->asciiStream, nullptr);
}

// A stop asked for while the simulator is being set up (a large model takes
// a while) is kept: the run stops after its first replication. Also in a
// process started with SIGINT ignored, as a script's background job is.
TEST(SimulatorOutputTest, AnInterruptDuringTheSetUpStopsTheRun) {
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGINT, &ignore, &previous), 0);
  {
    TestSimulator sim({"-N", "2000"});
    raise(SIGINT);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    sim->Run();
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(sim->batchesDone, 1);
    EXPECT_EQ(sim->exitStatus, 130);
    EXPECT_NE(err.find("Simulation interrupted by signal 2"), std::string::npos) << err;
  }
  SimulatorInterruptSignal = 0;
  sigaction(SIGINT, &previous, nullptr);
}
