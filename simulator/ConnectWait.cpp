#include "simulator/ConnectWait.h"

int SimMgrConnectWaitMs() { return 60000; }
