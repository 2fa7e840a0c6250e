#include "platform/KorvanMutex.h"

#include <cstdio>

#include "Cpp/BaseClasses/KorvanAssert.h"

std::atomic<int> KorvanMutex::_globalID{0};

KorvanMutex::KorvanMutex() {
  const int id = ++_globalID;
  std::snprintf(name, sizeof(name), "mutex%d", id);
  // Error checking turns a second Get on one thread, or a Release by a thread
  // that does not own the lock, into a failed call that is asserted on below.
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  const int created = pthread_mutex_init(&handle, &attributes);
  pthread_mutexattr_destroy(&attributes);
  KORVAN_ASSERT(created == 0);
}

KorvanMutex::~KorvanMutex() { pthread_mutex_destroy(&handle); }

void KorvanMutex::Get() {
  const int locked = pthread_mutex_lock(&handle);
  KORVAN_ASSERT(locked == 0);
}

void KorvanMutex::Release() {
  const int unlocked = pthread_mutex_unlock(&handle);
  KORVAN_ASSERT(unlocked == 0);
}
