#include "simulator/TestHooks.h"

int SimMgrConnectWaitMs() { return 60000; }

int InjectedCloseError() { return 0; }

int SimMgrSendBufferBytes() { return 0; }

void BeforeFifoTry() {}

void AfterHeaderOverEarlierFile() {}
