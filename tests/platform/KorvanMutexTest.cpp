#include "platform/KorvanMutex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(KorvanMutexTest, MutexesAreNamedInCreationOrder) {
  KorvanMutex first;
  KorvanMutex second;
  int number = 0;
  ASSERT_EQ(1, std::sscanf(first.name, "mutex%d", &number));
  EXPECT_GE(number, 1);
  char expected[64];
  std::snprintf(expected, sizeof(expected), "mutex%d", number);
  EXPECT_STREQ(expected, first.name);
  std::snprintf(expected, sizeof(expected), "mutex%d", number + 1);
  EXPECT_STREQ(expected, second.name);
}

// Mutexes made on several threads at once still get a number each: no two
// share a name.
TEST(KorvanMutexTest, MutexesMadeOnSeveralThreadsAreNamedApart) {
  const int kThreads = 4;
  const int kEach = 50000;
  std::vector<std::vector<std::string>> names(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&names, t] {
      for (int i = 0; i < kEach; ++i) {
        KorvanMutex mutex;
        names[t].push_back(mutex.name);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::string> distinct;
  for (const std::vector<std::string>& list : names) distinct.insert(list.begin(), list.end());
  EXPECT_EQ(static_cast<size_t>(kThreads * kEach), distinct.size());
}

TEST(KorvanMutexTest, ExcludesConcurrentUpdates) {
  KorvanMutex mutex;
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 200000; ++i) {
      mutex.Get();
      ++counter;
      mutex.Release();
    }
  };
  std::thread a(work);
  std::thread b(work);
  a.join();
  b.join();
  EXPECT_EQ(400000, counter);
}

TEST(KorvanMutexDeathTest, TakingTheLockTwiceOnOneThreadIsAFault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        KorvanMutex mutex;
        mutex.Get();
        mutex.Get();
      },
      "locked == 0");
  EXPECT_DEATH(
      {
        KorvanMutex mutex;
        mutex.Release();
      },
      "unlocked == 0");
}

}  // namespace
