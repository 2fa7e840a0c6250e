#include "platform/KorvanCond.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/KorvanMutex.h"
#include "platform/KorvanThread.h"

namespace {

// One waiter thread: takes the mutex, waits once on the condition variable,
// and releases the mutex again (which fails an assertion unless Wait
// returned owning it).
class Waiter {
 public:
  Waiter(KorvanCond& cond, KorvanMutex& mutex) : cond(cond), mutex(mutex) {
    thread = std::thread([this] {
      this->mutex.Get();
      entered = true;
      this->cond.Wait(this->mutex);
      returned = true;
      this->mutex.Release();
    });
    for (int i = 0; i < 5000 && !entered; ++i) KorvanThread::Sleep(1);
    // The waiter holds the mutex until Wait releases it, so getting it here
    // means the waiter is waiting.
    this->mutex.Get();
    this->mutex.Release();
  }

  // Signals until the waiter has returned, so a faulty condition variable
  // fails the test instead of hanging it.
  ~Waiter() {
    for (int i = 0; i < 5000 && !returned; ++i) {
      cond.Signal();
      KorvanThread::Sleep(1);
    }
    thread.join();
  }

  bool ReturnsWithin(int ms) {
    for (int i = 0; i < ms && !returned; ++i) KorvanThread::Sleep(1);
    return returned;
  }

  std::atomic<bool> entered{false};
  std::atomic<bool> returned{false};

 private:
  KorvanCond& cond;
  KorvanMutex& mutex;
  std::thread thread;
};

TEST(KorvanCondTest, ASignalWithoutWaiterIsLost) {
  KorvanMutex mutex;
  KorvanCond cond;
  EXPECT_EQ(0, cond.Signal());
  Waiter waiter(cond, mutex);
  EXPECT_FALSE(waiter.ReturnsWithin(200));
  EXPECT_EQ(0, cond.Signal());
  EXPECT_TRUE(waiter.ReturnsWithin(5000));
}

TEST(KorvanCondTest, WaitReturnsOnlyOnceItOwnsTheMutexAgain) {
  KorvanMutex mutex;
  KorvanCond cond;
  Waiter waiter(cond, mutex);
  mutex.Get();
  cond.Signal();
  EXPECT_FALSE(waiter.ReturnsWithin(100));
  mutex.Release();
  EXPECT_TRUE(waiter.ReturnsWithin(5000));
}

TEST(KorvanCondTest, SurplusSignalsForOneWaiterAreNotKeptForTheNext) {
  KorvanMutex mutex;
  KorvanCond cond;
  {
    Waiter first(cond, mutex);
    // A burst of signals while the first waiter has not yet left Wait.
    mutex.Get();
    for (int i = 0; i < 5; ++i) cond.Signal();
    mutex.Release();
    EXPECT_TRUE(first.ReturnsWithin(5000));
  }
  Waiter second(cond, mutex);
  EXPECT_FALSE(second.ReturnsWithin(200));
}

TEST(KorvanCondTest, EachSignalWakesOneOfSeveralWaiters) {
  KorvanMutex mutex;
  KorvanCond cond;
  Waiter a(cond, mutex);
  Waiter b(cond, mutex);
  cond.Signal();
  for (int i = 0; i < 5000 && !a.returned && !b.returned; ++i) KorvanThread::Sleep(1);
  KorvanThread::Sleep(100);
  EXPECT_EQ(1, static_cast<int>(a.returned) + static_cast<int>(b.returned));
  cond.Signal();
  EXPECT_TRUE(a.ReturnsWithin(5000));
  EXPECT_TRUE(b.ReturnsWithin(5000));
}

}  // namespace
