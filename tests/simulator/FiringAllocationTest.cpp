// Whole runs of the study's model with every C++ allocation counted: once
// the simulator is set up, firing and finishing replications allocates
// nothing, so a run's allocations do not depend on how many replications
// it makes. (This binary replaces the global operator new for that count.)

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <new>
#include <streambuf>
#include <string>
#include <vector>

#include "simulator/SimulatorClass.h"

namespace {

std::atomic<long> allocations{0};
std::atomic<bool> counting{false};

void* Allocate(std::size_t size) noexcept {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size > 0 ? size : 1);
}

}  // namespace

void* operator new(std::size_t size) {
  void* p = Allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

// Takes the simulator's report and keeps none of it (a string stream would
// allocate as it grows, and count).
class Discard : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

struct Counted {
  long allocations;
  long long firings;
};

// Allocations from building the simulator to deleting it, for one run.
Counted CountRun(const std::vector<std::string>& options) {
  std::vector<std::string> arguments = {"simulator"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(&a[0]);
  Discard discard;
  std::streambuf* saved = std::cout.rdbuf(&discard);
  allocations = 0;
  counting = true;
  SimulatorClass* simulator = new SimulatorClass(static_cast<int>(argv.size()), argv.data());
  simulator->Run();
  const long long fired = simulator->actionsFired;
  delete simulator;
  counting = false;
  std::cout.rdbuf(saved);
  return {allocations.load(), fired};
}

TEST(FiringAllocationTest, ARunAllocatesTheSameForAnyNumberOfReplications) {
  mkdir("firing_allocation", 0755);
  for (const char* experiment : {"0", "35"}) {
    for (const char* generator : {"0", "1", "2"}) {
      SCOPED_TRACE(std::string("experiment ") + experiment + ", generator " + generator);
      const std::string file = std::string("firing_allocation/e") + experiment + "-r" + generator + ".txt";
      const Counted few = CountRun({"-e", experiment, "-r", generator, "-N", "5", "-a", file});
      const Counted many = CountRun({"-e", experiment, "-r", generator, "-N", "400", "-a", file});
      ASSERT_GT(many.firings, 50 * few.firings);
      EXPECT_GT(few.allocations, 0);  // the count does see the set-up
      EXPECT_EQ(few.allocations, many.allocations)
          << few.firings << " and " << many.firings << " firings";
    }
  }
}

}  // namespace
