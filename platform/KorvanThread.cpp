#include "platform/KorvanThread.h"

#include <cerrno>
#include <ctime>
#include <new>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"

KorvanThread::KorvanThread(unsigned long (*function)(void*), void* argument)
    : function(function), threadId(nullptr), argument(argument), handle(), started(false),
      joined(false) {}

KorvanThread::~KorvanThread() {
  if (started && !joined) pthread_detach(handle);
}

namespace {

// What the new thread runs. Handed over as a copy the thread owns, because
// an unwaited thread may start only after its KorvanThread is gone.
struct ThreadStart {
  unsigned long (*function)(void*);
  void* argument;
};

}  // namespace

void* KorvanThread::Trampoline(void* start) {
  const ThreadStart body = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  body.function(body.argument);
  return nullptr;
}

pthread_t KorvanThread::Start() {
  KORVAN_ASSERT(!started);
  ThreadStart* start = new (std::nothrow) ThreadStart{function, argument};
  if (start == nullptr) MemoryAllocationError();
  const int created = pthread_create(&handle, nullptr, &KorvanThread::Trampoline, start);
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
