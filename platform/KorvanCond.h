#ifndef KORVAN_COND_H
#define KORVAN_COND_H

#include <pthread.h>

class KorvanMutex;

// A condition variable with semaphore semantics limited to the current
// waiters: Signal wakes one thread that is waiting at that moment, and a
// Signal with no waiter left to wake is lost. Wait never returns without a
// Signal (no spurious returns).
class KorvanCond {
 public:
  KorvanCond();
  ~KorvanCond();

  KorvanCond(const KorvanCond&) = delete;
  KorvanCond& operator=(const KorvanCond&) = delete;

  // REQUIRES: the caller owns `m`.
  // Releases `m`, waits for a Signal given after the release, and returns 0
  // owning `m` again.
  int Wait(KorvanMutex& m);

  // Wakes one current waiter, if there is one not already woken; returns 0.
  // May be called with or without the waiters' mutex held.
  int Signal();

 private:
  // Threads inside Wait.
  int waiters;
  // Signals given to current waiters and not yet consumed; never exceeds
  // `waiters`, which is what makes a Signal with no waiter lost.
  int wakeups;
  // Counts the Signals given; a waiter takes a wake-up only once this has
  // moved on since it began to wait.
  unsigned long generation;
  // Guards `waiters` and `wakeups`.
  pthread_mutex_t waitersLock;
  pthread_cond_t wakeup;
};

#endif
