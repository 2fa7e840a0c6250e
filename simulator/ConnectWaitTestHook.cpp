// Linked only into the test build of the simulator: the wait for the
// manager can be shortened with KORVAN_TEST_CONNECT_WAIT_MS.

#include <cstdlib>

#include "simulator/ConnectWait.h"

int SimMgrConnectWaitMs() {
  const char* wait = std::getenv("KORVAN_TEST_CONNECT_WAIT_MS");
  return wait != nullptr ? std::atoi(wait) : 60000;
}
