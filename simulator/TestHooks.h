#ifndef TEST_HOOKS_H
#define TEST_HOOKS_H

// The few places where a test build of the simulator (simulator_testhooks)
// behaves differently. The product links TestHooks.cpp; the test build links
// TestHooksForTests.cpp instead, whose definitions keep the library's out of
// the link.

// How long Run waits for the simulation manager to connect when -w is
// given, in milliseconds. The product waits a minute; the test build's wait
// can be shortened.
int SimMgrConnectWaitMs();

// An errno that closing a result file is to report as its failure, though
// the close succeeded; 0 for none. Always 0 in the product: the test build
// stands in for a file system that reports a failed write only at close.
int InjectedCloseError();

// The send buffer of the connection to the manager, in bytes; 0 leaves the
// system's, which grows to megabytes as a manager falls behind. Always 0 in
// the product: the test build can make it small, so that a manager that
// reads nothing holds a hand-over part-way at once.
int SimMgrSendBufferBytes();

// Called just after a look found no stop asked for and before a trace or
// result FIFO is tried, the moment a stop signal may land in. Does nothing
// in the product; the test build can send the process a signal there, so
// that a stop that lands in that moment can be seen to end the wait for the
// FIFO's reader.
void BeforeFifoTry();

// Called just after a new header was written over an earlier result file's
// start, before the file is cut back to it. Does nothing in the product;
// the test build can send the process signals there, so that a stop at once
// in that moment can be seen to give the earlier file back what it held.
void AfterHeaderOverEarlierFile();

#endif
