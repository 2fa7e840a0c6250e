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
//   written over an earlier result file.

#include <csignal>
#include <cstdlib>

#include "simulator/TestHooks.h"

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
