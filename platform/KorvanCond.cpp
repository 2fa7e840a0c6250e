#include "platform/KorvanCond.h"

#include "Cpp/BaseClasses/KorvanAssert.h"
#include "platform/KorvanMutex.h"

KorvanCond::KorvanCond() : waiters(0), wakeups(0), generation(0) {
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
  // only a counted Signal lets a waiter go, and only one given after this
  // thread began to wait: a Signal belongs to the threads waiting when it
  // was given, not to one that starts waiting later (with two threads
  // handing a turn back and forth, the signaller took back its own Signal
  // at its next Wait, and both waited for ever).
  const unsigned long entered = generation;
  while (wakeups == 0 || generation == entered) pthread_cond_wait(&wakeup, &waitersLock);
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
    ++generation;
    // Every waiter looks: only one that waited before this Signal may take
    // it, and the system may have chosen a later one.
    pthread_cond_broadcast(&wakeup);
  }
  KORVAN_ASSERT(wakeups <= waiters);
  pthread_mutex_unlock(&waitersLock);
  return 0;
}
