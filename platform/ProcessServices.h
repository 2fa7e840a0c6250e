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

#endif
