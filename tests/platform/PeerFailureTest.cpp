// How the socket and condition-variable wrappers behave when the other side
// fails or races them.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

#include "platform/KorvanCond.h"
#include "platform/KorvanMutex.h"
#include "platform/KorvanSocket.h"
#include "platform/KorvanThread.h"

namespace {

int BoundPort(const KorvanSocket& socket) {
  sockaddr_in address;
  socklen_t length = sizeof(address);
  getsockname(socket.sock, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

class StalledPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    // A fixed range of ports, the first free one.
    int port = 22320;
    while (port < 22400 && !listener.Bind(port)) ++port;
    ASSERT_LT(port, 22400);
    ASSERT_TRUE(listener.Listen(5));
    int small = 4096;
    setsockopt(peer.sock, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    ASSERT_TRUE(peer.Connect("127.0.0.1", BoundPort(listener)));
    ASSERT_TRUE(listener.Select(5000));
    ASSERT_TRUE(listener.Accept(local));
    setsockopt(local.sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    // Fill the peer's window and our send queue: the peer reads nothing.
    char block[1024] = {};
    long queued = 0;
    for (int i = 0; i < 100000; ++i) {
      const ssize_t n = send(local.sock, block, sizeof(block), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0) break;
      queued += n;
    }
    ASSERT_GT(queued, 0);
    KorvanThread::Sleep(100);
  }

  KorvanSocket listener{true};
  KorvanSocket peer{true};
  KorvanSocket local{false};
};

// Control: a peer that is there but takes nothing leaves bytes unacknowledged.
TEST_F(StalledPeer, BytesAPeerNeverTookAreCounted) {
  EXPECT_GT(local.CloseDelivered(300), 0);
}

// A peer that goes away with data unread resets the connection; the bytes
// still queued here never reached it and must not be reported as delivered.
TEST_F(StalledPeer, BytesLostToAResetAreNotReportedAsDelivered) {
  peer.Close();  // unread data: the peer's system answers with a reset
  KorvanThread::Sleep(100);
  EXPECT_GT(local.CloseDelivered(300), 0);
}

// A Signal given while one thread waits belongs to that thread: a thread
// that starts waiting afterwards must not take it.
TEST(KorvanCondRaceTest, ALaterWaiterDoesNotTakeASignalMeantForAnEarlierOne) {
  int stolen = 0;
  const int kRounds = 200;
  for (int round = 0; round < kRounds; ++round) {
    KorvanMutex mutex;
    KorvanCond cond;
    std::atomic<bool> entered{false}, firstReturned{false};
    std::thread first([&] {
      mutex.Get();
      entered = true;
      cond.Wait(mutex);
      firstReturned = true;
      mutex.Release();
    });
    while (!entered) KorvanThread::Sleep(1);
    mutex.Get();  // the first waiter is inside Wait now
    cond.Signal();
    // Starts waiting after the Signal: only a later Signal may let it go.
    std::atomic<bool> secondReturned{false};
    std::thread releaser([&] {
      KorvanThread::Sleep(50);
      while (!(firstReturned && secondReturned)) {
        cond.Signal();
        KorvanThread::Sleep(1);
      }
    });
    cond.Wait(mutex);
    if (!firstReturned) ++stolen;  // returned while the signalled one still waits
    secondReturned = true;
    mutex.Release();
    first.join();
    releaser.join();
  }
  EXPECT_EQ(0, stolen) << "of " << kRounds << " rounds";
}

// Two threads handing a turn back and forth through one mutex and one
// condition variable, each waiting for its turn and signalling after giving
// it away: with exactly two threads every Signal is meant for the other one.
// The threads are left running (detached) if they stop making progress.
struct PingPong {
  KorvanMutex mutex;
  KorvanCond cond;
  int turn = 0;
  std::atomic<int> handed{0};
  void Play(int me, int rounds) {
    for (int i = 0; i < rounds; ++i) {
      mutex.Get();
      while (turn != me) cond.Wait(mutex);
      turn = 1 - me;
      handed++;
      cond.Signal();
      mutex.Release();
    }
  }
};

TEST(KorvanCondRaceTest, TwoThreadsHandingATurnBackAndForthNeverBothWait) {
  const int kRounds = 20000;
  PingPong* game = new PingPong;  // leaked on purpose if the threads hang
  std::thread a([game] { game->Play(0, kRounds); });
  std::thread b([game] { game->Play(1, kRounds); });
  int last = -1;
  for (int second = 0; second < 20 && game->handed < 2 * kRounds; ++second) {
    KorvanThread::Sleep(1000);
    if (game->handed == last) break;  // no progress for a whole second
    last = game->handed;
  }
  const int handed = game->handed;
  if (handed == 2 * kRounds) {
    a.join();
    b.join();
    delete game;
  } else {
    a.detach();
    b.detach();
  }
  EXPECT_EQ(2 * kRounds, handed) << "both threads stopped, each waiting for a Signal";
}

}  // namespace
