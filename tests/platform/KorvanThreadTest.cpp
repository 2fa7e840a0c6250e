#include "platform/KorvanThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

struct Work {
  std::atomic<int> value{0};
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
};

unsigned long SlowBody(void* argument) {
  Work* work = static_cast<Work*>(argument);
  KorvanThread::Sleep(100);
  work->value = 42;
  return 7;
}

unsigned long GatedBody(void* argument) {
  Work* work = static_cast<Work*>(argument);
  for (int i = 0; i < 5000 && !work->release; ++i) KorvanThread::Sleep(1);
  work->finished = true;
  return 0;
}

TEST(KorvanThreadTest, RunsTheBodyAndIsWaitedFor) {
  Work work;
  KorvanThread thread(&SlowBody, &work);
  const Clock::time_point start = Clock::now();
  thread.Start();
  thread.WaitUntilDone();
  // The body slept before storing its result: the wait covered all of it.
  EXPECT_EQ(42, work.value);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
            100);
  thread.WaitUntilDone();  // a second wait returns at once

  KorvanThread neverStarted(&SlowBody, &work);
  neverStarted.WaitUntilDone();
}

TEST(KorvanThreadTest, AnUnwaitedThreadOutlivesItsObject) {
  Work work;
  {
    KorvanThread thread(&GatedBody, &work);
    thread.Start();
  }
  work.release = true;
  for (int i = 0; i < 5000 && !work.finished; ++i) KorvanThread::Sleep(1);
  EXPECT_TRUE(work.finished);
  // Give the detached thread time to leave its body before `work` goes away.
  KorvanThread::Sleep(20);
}

}  // namespace
