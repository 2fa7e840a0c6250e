#include "platform/KorvanCond.h"

#include "Cpp/BaseClasses/KorvanAssert.h"
#include "platform/KorvanMutex.h"

KorvanCond::KorvanCond() : waiters(0), wakeups(0) {
  pthread_mutex_init(&waitersLock, nullptr);
  pthread_cond_init(&wakeup, nullptr);
}

KorvanCond::~KorvanCond() {
  pthread_cond_destroy(&wakeup);
  pthread_mutex_destroy(&waitersLock);
}

int KorvanCond::Wait(KorvanMutex& m) {
  pthread_mutex_lock(&waitersLock);
  ++waiters;
  // `m` is released while `waitersLock` is held, so a Signal given after the
  // release cannot slip in before this thread counts as waiting: releasing m
  // and starting to wait are one step for every signaller.
  m.Release();
  // The loop absorbs spurious wake-ups of the system condition variable:
  // only a counted Signal lets a waiter go.
  while (wakeups == 0) pthread_cond_wait(&wakeup, &waitersLock);
  --wakeups;
  --waiters;
  pthread_mutex_unlock(&waitersLock);
  m.Get();
  return 0;
}

int KorvanCond::Signal() {
  pthread_mutex_lock(&waitersLock);
  // Only waiters not yet woken can take a Signal. Counting every Signal
  // while any thread waits would let two Signals for one waiter leave a
  // wake-up behind for a later Wait.
  if (waiters > wakeups) {
    ++wakeups;
    pthread_cond_signal(&wakeup);
  }
  KORVAN_ASSERT(wakeups <= waiters);
  pthread_mutex_unlock(&waitersLock);
  return 0;
}
