#include "platform/ProcessServices.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <unistd.h>

namespace {

TEST(ProcessServicesTest, PidIsTheProcessId) {
  EXPECT_EQ(static_cast<unsigned long>(getpid()), KorvanGetPid());
}

TEST(ProcessServicesTest, ClockCountsProcessorTimeInMilliseconds) {
  EXPECT_EQ(1000, KORVAN_CLOCKS_PER_SEC);
  const long startTicks = KorvanClock();
  const std::clock_t startReference = std::clock();
  const auto wallStart = std::chrono::steady_clock::now();
  // Burn processor time until 200 ticks have passed (bounded in wall time on
  // a busy machine).
  volatile double sink = 0.0;
  while (KorvanClock() - startTicks < 200 &&
         std::chrono::steady_clock::now() - wallStart < std::chrono::seconds(20)) {
    for (int i = 0; i < 10000; ++i) sink = sink + i * 0.5;
  }
  const long ticks = KorvanClock() - startTicks;
  const double referenceMs =
      1000.0 * static_cast<double>(std::clock() - startReference) / CLOCKS_PER_SEC;
  EXPECT_GE(ticks, 200);
  // The C library's clock measures the same processor time; the two readings
  // are taken a few microseconds apart, so 20 ms covers their granularity.
  EXPECT_NEAR(referenceMs, static_cast<double>(ticks), 20.0);
}

}  // namespace
