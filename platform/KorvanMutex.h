#ifndef KORVAN_MUTEX_H
#define KORVAN_MUTEX_H

#include <pthread.h>

#include <atomic>

// A blocking mutual-exclusion lock local to the process. Each mutex is named
// "mutex1", "mutex2", ... in creation order; the name is kept in the object
// only (nothing is registered outside the process).
//
// The lock is not recursive: a thread that takes it twice, or releases a lock
// it does not own, fails an assertion instead of deadlocking silently.
class KorvanMutex {
 public:
  // "mutex" followed by this mutex's sequence number.
  char name[64];

  KorvanMutex();
  ~KorvanMutex();

  KorvanMutex(const KorvanMutex&) = delete;
  KorvanMutex& operator=(const KorvanMutex&) = delete;

  // Waits without time limit until the caller owns the lock.
  void Get();
  // REQUIRES: the caller owns the lock.
  void Release();

 private:
  friend class KorvanCond;

  // Sequence number of the last mutex named; 0 before the first. Atomic:
  // mutexes may be made on several threads at once.
  static std::atomic<int> _globalID;
  pthread_mutex_t handle;
};

#endif
