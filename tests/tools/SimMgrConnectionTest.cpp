#include "tools/SimMgrConnection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/tools/FakeSimulator.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

constexpr uint32_t kPid = 4242;

Bytes CpuTimeRecord(unsigned client, unsigned experiment, double seconds) {
  Bytes out;
  PutU32(out, 12);
  out.push_back(0xFE);
  out.push_back(static_cast<unsigned char>(client));
  PutU16(out, experiment);
  PutDouble(out, seconds);
  return out;
}

// The record of a value packet with counts (2, 0, 1), client 3, experiment 0.
Bytes DataRecord() {
  Bytes out;
  PutU32(out, 47);
  out.push_back(3);
  PutU16(out, 0);
  PutU16(out, 2);
  PutU16(out, 0);
  out.push_back(1);
  PutU32(out, 2);
  PutDouble(out, 0.125);
  PutDouble(out, -3.5);
  PutU16(out, 2);
  out.push_back(1);
  PutU32(out, 1);
  PutDouble(out, 1e300);
  return out;
}

TEST(SimMgrConnectionTest, TheGreetingMustNameTheSimulatorsProcess) {
  {
    FakeSimulator fake([](KorvanSocket& c) { FakeSimulator::Send(c, Reply(0xFF, 1, kPid)); });
    SimMgrConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", fake.port, 5000)) << connection.Error();
    EXPECT_TRUE(connection.ReadGreeting(kPid, 5000)) << connection.Error();
  }
  {
    FakeSimulator fake([](KorvanSocket& c) { FakeSimulator::Send(c, Reply(0xFF, 1, kPid + 1)); });
    SimMgrConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", fake.port, 5000)) << connection.Error();
    EXPECT_FALSE(connection.ReadGreeting(kPid, 5000));
    EXPECT_NE(std::string::npos, connection.Error().find("4243")) << connection.Error();
  }
  {
    // A quit reply is no greeting.
    FakeSimulator fake([](KorvanSocket& c) { FakeSimulator::Send(c, Reply(0xFE, 2, kPid)); });
    SimMgrConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", fake.port, 5000)) << connection.Error();
    EXPECT_FALSE(connection.ReadGreeting(kPid, 5000));
  }
}

TEST(SimMgrConnectionTest, CommandsAreAnsweredAndRecordsOnTheWayAreKept) {
  std::string fileText;
  int firstCommand = -1;
  FakeSimulator fake([&](KorvanSocket& c) {
    FakeSimulator::Send(c, Reply(0xFF, 1, kPid));
    firstCommand = FakeSimulator::ReadCommand(c);
    FakeSimulator::Send(c, Reply(0xFF, 1, kPid));
    if (FakeSimulator::ReadCommand(c) != 3) return;
    char text[513];
    c.RecvBlock(text, 512, ";;");
    fileText = text;
    // Records of the previous hand-over precede the reply.
    FakeSimulator::Send(c, CpuTimeRecord(3, 0, 0.75));
    FakeSimulator::Send(c, DataRecord());
    FakeSimulator::Send(c, Reply(0xFF, 3, kPid));
    c.Close();
  });
  SimMgrConnection connection;
  ASSERT_TRUE(connection.Connect("127.0.0.1", fake.port, 5000)) << connection.Error();
  ASSERT_TRUE(connection.ReadGreeting(kPid, 5000)) << connection.Error();
  ASSERT_TRUE(connection.SendCommand(1));
  EXPECT_TRUE(connection.ReadReply(1, kPid, 5000)) << connection.Error();
  ASSERT_TRUE(connection.SendFileCommand("out.bin;5;;"));
  EXPECT_TRUE(connection.ReadReply(3, kPid, 5000)) << connection.Error();

  SimMgrMessage message;
  ASSERT_TRUE(connection.ReadMessage(message, 5000)) << connection.Error();
  EXPECT_EQ(SimMgrMessage::kCpuTime, message.kind);
  EXPECT_EQ(3, message.clientId);
  EXPECT_EQ(0.75, message.cpuSeconds);
  ASSERT_TRUE(connection.ReadMessage(message, 5000)) << connection.Error();
  ASSERT_EQ(SimMgrMessage::kData, message.kind);
  EXPECT_EQ(47u, message.length);
  ASSERT_EQ(2u, message.blocks.size());
  EXPECT_EQ((std::vector<double>{0.125, -3.5}), message.blocks[0].values);
  EXPECT_EQ(2, message.blocks[1].variable);
  EXPECT_EQ((std::vector<double>{1e300}), message.blocks[1].values);

  EXPECT_TRUE(connection.WaitForClose(5000)) << connection.Error();
  EXPECT_FALSE(connection.IsConnected());
  fake.Finish();
  EXPECT_EQ(1, firstCommand);
  EXPECT_EQ("out.bin;5;;", fileText);
}

TEST(SimMgrConnectionTest, QuitIsAnsweredWithItsOwnMarker) {
  FakeSimulator fake([](KorvanSocket& c) {
    FakeSimulator::Send(c, Reply(0xFF, 1, kPid));
    if (FakeSimulator::ReadCommand(c) == 2) FakeSimulator::Send(c, Reply(0xFE, 2, kPid));
    FakeSimulator::Send(c, Reply(0xFE, 2, kPid + 7));
  });
  SimMgrConnection connection;
  ASSERT_TRUE(connection.Connect("127.0.0.1", fake.port, 5000)) << connection.Error();
  ASSERT_TRUE(connection.ReadGreeting(kPid, 5000)) << connection.Error();
  ASSERT_TRUE(connection.SendCommand(2));
  EXPECT_TRUE(connection.ReadReply(2, kPid, 5000)) << connection.Error();
  // A reply from some other process is refused.
  EXPECT_FALSE(connection.ReadReply(2, kPid, 5000));
  EXPECT_NE(std::string::npos, connection.Error().find("expected 4242")) << connection.Error();
}

TEST(SimMgrConnectionTest, APeerThatVanishesOrStallsEndsTheReadInTime) {
  // Closed in the middle of a record.
  {
    FakeSimulator fake([](KorvanSocket& c) {
      Bytes record = DataRecord();
      record.resize(20);
      FakeSimulator::Send(c, record);
      c.Close();
    });
    SimMgrConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", fake.port, 5000)) << connection.Error();
    SimMgrMessage message;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(connection.ReadMessage(message, 5000));
    EXPECT_LT(ElapsedMs(start), 4000);
    EXPECT_NE(std::string::npos, connection.Error().find("closed")) << connection.Error();
    EXPECT_NE(std::string::npos, connection.Error().find("length 47")) << connection.Error();
  }
  // Open but silent after half a length field.
  {
    FakeSimulator fake([](KorvanSocket& c) {
      FakeSimulator::Send(c, {0x00, 0x00});
      char byte;
      c.RecvBlock(&byte, 1);  // until the manager hangs up
    });
    SimMgrConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", fake.port, 5000)) << connection.Error();
    SimMgrMessage message;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(connection.ReadMessage(message, 300));
    const long waited = ElapsedMs(start);
    EXPECT_GE(waited, 290);
    EXPECT_LT(waited, 3000);
    EXPECT_NE(std::string::npos, connection.Error().find("deadline")) << connection.Error();
    EXPECT_FALSE(connection.WaitForClose(100));
    connection.Close();
  }
}

TEST(SimMgrConnectionTest, GarbageIsReportedNotDecoded) {
  FakeSimulator fake([](KorvanSocket& c) {
    const char text[] = "HTTP/1.0 200 OK\r\n\r\n";
    c.Send(text, sizeof(text) - 1);
    char byte;
    c.RecvBlock(&byte, 1);
  });
  SimMgrConnection connection;
  ASSERT_TRUE(connection.Connect("127.0.0.1", fake.port, 5000)) << connection.Error();
  SimMgrMessage message;
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(connection.ReadMessage(message, 5000));
  EXPECT_LT(ElapsedMs(start), 4000);
  EXPECT_NE(std::string::npos, connection.Error().find("length")) << connection.Error();
  EXPECT_FALSE(connection.ReadGreeting(kPid, 200));
  connection.Close();
}

TEST(SimMgrConnectionTest, ConnectGivesUpWhenNobodyListens) {
  int freePort;
  {
    KorvanSocket probe(true);
    probe.Bind(0);
    sockaddr_in address;
    socklen_t length = sizeof(address);
    getsockname(probe.sock, reinterpret_cast<sockaddr*>(&address), &length);
    freePort = ntohs(address.sin_port);
  }
  SimMgrConnection connection;
  testing::internal::CaptureStderr();  // the socket layer reports each refusal
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(connection.Connect("127.0.0.1", freePort, 300));
  const long waited = ElapsedMs(start);
  testing::internal::GetCapturedStderr();
  EXPECT_GE(waited, 290);
  EXPECT_LT(waited, 3000);
  EXPECT_FALSE(connection.SendCommand(1));
  EXPECT_EQ("not connected", connection.Error());
}

}  // namespace
