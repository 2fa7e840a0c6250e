#ifndef PROCESS_SERVICES_H
#define PROCESS_SERVICES_H

// Ticks of KorvanClock per second; callers compute seconds as
// ticks / 1000.0.
constexpr long KORVAN_CLOCKS_PER_SEC = 1000;

// Processor time used by the process (all its threads) since it started, in
// milliseconds.
long KorvanClock();

// The process id (sent to the simulation manager in the greeting).
unsigned long KorvanGetPid();

// Opens /dev/null on whichever of standard input, output and error is
// closed, so that no file the process opens later takes their place: with
// standard error closed, a result file would otherwise be given its number
// and receive the process's messages. Call it before opening anything.
// Opened `writable`, writes to a closed output or error go to /dev/null;
// otherwise they fail as on a closed descriptor (EBADF), for a program that
// reports output it could not write.
void KorvanOpenStandardStreams(bool writable = true);

// Unblocks SIGINT, SIGTERM and SIGHUP in the calling thread (and so in the
// threads and processes it starts). Blocked when the process started (by a
// launcher that blocks them around its fork and does not unblock them
// again), they would stay pending for ever, and the process could be ended
// only by SIGKILL. Call it once their handlers are installed: one already
// pending is then taken at once.
void KorvanUnblockStopSignals();

#endif
