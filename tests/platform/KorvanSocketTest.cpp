#include "platform/KorvanSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

int BoundPort(const KorvanSocket& socket) {
  sockaddr_in address;
  socklen_t length = sizeof(address);
  getsockname(socket.sock, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A receive that should return but does not fails after this long instead of
// hanging the test.
void BoundReceives(KorvanSocket& socket) {
  timeval limit = {5, 0};
  setsockopt(socket.sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
}

// A listener on a free loopback port and a connected pair through it.
class ConnectedPair : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener.Bind(0));
    ASSERT_TRUE(listener.Listen(5));
    port = BoundPort(listener);
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
    ASSERT_TRUE(listener.Select(5000));
    ASSERT_TRUE(listener.Accept(server));
    BoundReceives(server);
    BoundReceives(client);
  }

  KorvanSocket listener{true};
  KorvanSocket client{true};
  KorvanSocket server{false};
  int port = 0;
};

TEST(KorvanSocketTest, PortInUseIsRefusedSilentlyAndNeverShared) {
  KorvanSocket listening(true);
  ASSERT_TRUE(listening.Bind(0));
  ASSERT_TRUE(listening.Listen(5));
  const int port = BoundPort(listening);

  // A port that is only bound, not yet listening, is not shared either: two
  // processes searching for a free port must never both win the same one.
  KorvanSocket boundOnly(true);
  ASSERT_TRUE(boundOnly.Bind(0));
  const int boundOnlyPort = BoundPort(boundOnly);

  KorvanSocket second(true);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(second.Bind(port));
  EXPECT_FALSE(second.Bind(boundOnlyPort));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_EQ(nullptr, second.GetErrorString());

  // Other bind errors are reported with the port.
  KorvanSocket empty(false);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(empty.Bind(port));
  EXPECT_EQ("error in bind.  errno=9 (Port=" + std::to_string(port) + ")\n",
            testing::internal::GetCapturedStderr());
  EXPECT_STREQ("error in bind.  errno=", empty.GetErrorString());
}

TEST(KorvanSocketTest, ClosingUnconnectedSocketsIsQuietAndConnectFailuresAreReported) {
  testing::internal::CaptureStderr();
  {
    KorvanSocket listening(true);
    ASSERT_TRUE(listening.Bind(0));
    ASSERT_TRUE(listening.Listen(5));
    KorvanSocket neverUsed(true);
    listening.Close();
    EXPECT_EQ(-1, listening.sock);
    listening.Close();  // a second Close does nothing
  }
  EXPECT_EQ("", testing::internal::GetCapturedStderr());

  // Nothing listens on a port that was just released.
  int freePort;
  {
    KorvanSocket probe(true);
    ASSERT_TRUE(probe.Bind(0));
    freePort = BoundPort(probe);
  }
  KorvanSocket refused(true);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(refused.Connect("127.0.0.1", freePort));
  EXPECT_EQ("error in connect: errno=" + std::to_string(ECONNREFUSED) + "\n",
            testing::internal::GetCapturedStderr());
  EXPECT_STREQ("error in connect: errno=", refused.GetErrorString());

  KorvanSocket unknown(true);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(unknown.Connect("no-such-host.invalid", 80));
  EXPECT_EQ(0u, testing::internal::GetCapturedStderr().find("error in connect: errno="));

  EXPECT_TRUE(KorvanSocket::InitializeSocketLibrary());
  EXPECT_TRUE(KorvanSocket::InitializeSocketLibrary());
}

TEST_F(ConnectedPair, SelectHonoursItsTimeoutAndSeesDataAndClosedPeers) {
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(server.Select(0));
  EXPECT_LT(ElapsedMs(start), 50);

  start = Clock::now();
  EXPECT_FALSE(server.Select(300));
  const long waited = ElapsedMs(start);
  EXPECT_GE(waited, 290);
  EXPECT_LT(waited, 1000);

  ASSERT_EQ(1, client.Send("x", 1));
  start = Clock::now();
  EXPECT_TRUE(server.Select(5000));
  EXPECT_LT(ElapsedMs(start), 1000);
  char byte = 0;
  EXPECT_EQ(1, server.RecvBlock(&byte, 1));
  EXPECT_EQ('x', byte);
  EXPECT_EQ(nullptr, server.GetErrorString());

  // A closed peer makes the socket readable; the receive then returns 0.
  client.Close();
  EXPECT_TRUE(server.Select(5000));
  EXPECT_EQ(0, server.Recv(&byte, 1));

  // Polling an empty object is an error that stays recorded.
  KorvanSocket empty(false);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(empty.Select(0));
  EXPECT_EQ("error in select9\n", testing::internal::GetCapturedStderr());
  EXPECT_STREQ("error in select", empty.GetErrorString());
}

TEST_F(ConnectedPair, TerminatedTextArrivingInPiecesIsAssembled) {
  std::thread sender([this] {
    // The terminator itself is split between two pieces.
    for (const char* piece : {"a.b", "in;3;", ";"}) {
      client.Send(piece, static_cast<int>(std::strlen(piece)));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
  });
  char buffer[513];
  std::memset(buffer, 'Z', sizeof(buffer));
  EXPECT_EQ(9, server.RecvBlock(buffer, 512, ";;"));
  sender.join();
  EXPECT_STREQ("a.bin;3;;", buffer);

  // The size limit ends the text as well, still NUL-terminated.
  ASSERT_EQ(6, client.Send("abcdef", 6));
  std::memset(buffer, 'Z', sizeof(buffer));
  EXPECT_EQ(4, server.RecvBlock(buffer, 4, ";;"));
  EXPECT_STREQ("abcd", buffer);
  EXPECT_EQ(0, server.RecvBlock(buffer, 0, ";;"));
  EXPECT_EQ(2, server.RecvBlock(buffer, 2));
  EXPECT_EQ(0, std::memcmp(buffer, "ef", 2));
}

TEST_F(ConnectedPair, TerminatedTextLeavesWhatFollowsInTheSocket) {
  // Two texts and a byte in one packet: each read takes one text exactly.
  ASSERT_EQ(14, client.Send("a;1;;bb;22;;\x01x", 14));
  char buffer[513];
  EXPECT_EQ(5, server.RecvBlock(buffer, 512, ";;"));
  EXPECT_STREQ("a;1;;", buffer);
  EXPECT_EQ(7, server.RecvBlock(buffer, 512, ";;"));
  EXPECT_STREQ("bb;22;;", buffer);
  EXPECT_EQ(2, server.RecvBlock(buffer, 2));
  EXPECT_EQ(0, std::memcmp(buffer, "\x01x", 2));
}

TEST_F(ConnectedPair, BlockReceivesEndWhenThePeerClosesMidway) {
  std::thread sender([this] {
    client.Send("a.bin;3", 7);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.Close();
  });
  char buffer[513];
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(7, server.RecvBlock(buffer, 512, ";;"));
  EXPECT_LT(ElapsedMs(start), 4000);  // ended by the close, not by the receive limit
  sender.join();
  EXPECT_STREQ("a.bin;3", buffer);
  // Later reads on the closed connection return at once.
  EXPECT_EQ(0, server.RecvBlock(buffer, 512, ";;"));
  EXPECT_STREQ("", buffer);
  EXPECT_EQ(0, server.RecvBlock(buffer, 10));
}

TEST_F(ConnectedPair, FixedSizeBlockReceiveReturnsWhatArrivedBeforeTheClose) {
  ASSERT_EQ(4, client.Send("\x00\x00\x00\x0c", 4));
  client.Close();
  char buffer[16];
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(4, server.RecvBlock(buffer, 16));
  EXPECT_LT(ElapsedMs(start), 4000);
  EXPECT_EQ(0x0c, buffer[3]);
}

TEST_F(ConnectedPair, SendingToAVanishedPeerFailsWithoutKillingTheProcess) {
  // With the default disposition a SIGPIPE would end this test process.
  std::signal(SIGPIPE, SIG_DFL);
  server.Close();
  char block[4096];
  std::memset(block, 7, sizeof(block));
  // The first send may still be accepted by the local stack; the peer's
  // reset makes a later one fail.
  int result = 0;
  for (int attempt = 0; attempt < 100 && result != -1; ++attempt) {
    result = client.Send(block, sizeof(block));
    if (result != -1) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(-1, result);
  EXPECT_EQ(-1, client.Send(block, 1));
}

TEST_F(ConnectedPair, AcceptReplacesAndClosesTheClientsOldDescriptor) {
  KorvanSocket second(true);
  ASSERT_TRUE(second.Connect("127.0.0.1", port));
  ASSERT_TRUE(listener.Select(5000));
  const int old = server.sock;
  ASSERT_TRUE(listener.Accept(server));
  EXPECT_NE(old, server.sock);
  // The old connection was closed: its peer sees the end of the stream.
  char byte;
  EXPECT_TRUE(client.Select(5000));
  EXPECT_EQ(0, client.Recv(&byte, 1));
  ASSERT_EQ(1, second.Send("k", 1));
  EXPECT_EQ(1, server.RecvBlock(&byte, 1));
  EXPECT_EQ('k', byte);
}

}  // namespace
