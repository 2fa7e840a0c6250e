#include "platform/KorvanThread.h"

#include <cerrno>
#include <ctime>

#include "Cpp/BaseClasses/KorvanAssert.h"

KorvanThread::KorvanThread(unsigned long (*function)(void*), void* argument)
    : function(function), threadId(nullptr), argument(argument), handle(), started(false),
      joined(false) {}

KorvanThread::~KorvanThread() {
  if (started && !joined) pthread_detach(handle);
}

void* KorvanThread::Trampoline(void* self) {
  KorvanThread* thread = static_cast<KorvanThread*>(self);
  thread->function(thread->argument);
  return nullptr;
}

pthread_t KorvanThread::Start() {
  KORVAN_ASSERT(!started);
  const int created = pthread_create(&handle, nullptr, &KorvanThread::Trampoline, this);
  KORVAN_ASSERT(created == 0);
  started = true;
  return handle;
}

void KorvanThread::Sleep(int ms) {
  if (ms <= 0) return;
  timespec left = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

void KorvanThread::WaitUntilDone() {
  if (!started || joined) return;
  const int result = pthread_join(handle, nullptr);
  KORVAN_ASSERT(result == 0);
  joined = true;
}
