#include "platform/KorvanMutex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>

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
