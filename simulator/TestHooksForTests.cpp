// Linked only into the test build of the simulator:
// - the wait for the manager can be shortened with
//   KORVAN_TEST_CONNECT_WAIT_MS;
// - KORVAN_TEST_CLOSE_ERROR=<errno> makes every close of a result file
//   report that error;
// - KORVAN_TEST_SEND_BUFFER=<bytes> sets the send buffer of the connection
//   to the manager;
// - KORVAN_TEST_SIGNAL_BEFORE_FIFO=<signal> sends the process that signal
//   once, just before a trace or result FIFO is first tried;
// - KORVAN_TEST_SIGNALS_OVER_EARLIER_FILE=<signal> sends the process that
//   signal twice in a row (a stop at once), just after the first header
//   written over an earlier result file;
// - KORVAN_TEST_FAIL_ALLOCATION=<n> makes the n-th allocation through
//   operator new (counted from 1, every form together) fail, as it would
//   when memory runs out, and that one only; with 0 none fails, and the
//   process writes "allocations: <count>" to standard error as it exits.

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "simulator/TestHooks.h"

namespace {

std::atomic<long> allocationsMade{0};

void ReportAllocations() {
  char line[64];
  const int n = std::snprintf(line, sizeof line, "allocations: %ld\n", allocationsMade.load());
  if (n > 0 && write(STDERR_FILENO, line, static_cast<size_t>(n)) < 0) return;
}

// The allocation that is to fail, read once (getenv does not allocate);
// -1 for none.
long AllocationToFail() {
  static const long chosen = [] {
    const char* value = std::getenv("KORVAN_TEST_FAIL_ALLOCATION");
    if (value == nullptr) return -1L;
    const long n = std::atol(value);
    if (n == 0) std::atexit(ReportAllocations);
    return n;
  }();
  return chosen;
}

void* Allocate(std::size_t size) noexcept {
  const long failing = AllocationToFail();
  if (failing >= 0 && ++allocationsMade == failing) return nullptr;
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

int SimMgrConnectWaitMs() {
  const char* wait = std::getenv("KORVAN_TEST_CONNECT_WAIT_MS");
  return wait != nullptr ? std::atoi(wait) : 60000;
}

int InjectedCloseError() {
  const char* error = std::getenv("KORVAN_TEST_CLOSE_ERROR");
  return error != nullptr ? std::atoi(error) : 0;
}

int SimMgrSendBufferBytes() {
  const char* bytes = std::getenv("KORVAN_TEST_SEND_BUFFER");
  return bytes != nullptr ? std::atoi(bytes) : 0;
}

void BeforeFifoTry() {
  static bool sent = false;
  const char* signal = std::getenv("KORVAN_TEST_SIGNAL_BEFORE_FIFO");
  if (sent || signal == nullptr) return;
  sent = true;
  std::raise(std::atoi(signal));
}

void AfterHeaderOverEarlierFile() {
  const char* signal = std::getenv("KORVAN_TEST_SIGNALS_OVER_EARLIER_FILE");
  if (signal == nullptr) return;
  std::raise(std::atoi(signal));
  std::raise(std::atoi(signal));
}
