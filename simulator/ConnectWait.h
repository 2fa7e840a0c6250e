#ifndef CONNECT_WAIT_H
#define CONNECT_WAIT_H

// How long Run waits for the simulation manager to connect when -w is
// given, in milliseconds. The product waits a minute; a test build of the
// simulator links a version that can be shortened.
int SimMgrConnectWaitMs();

#endif
