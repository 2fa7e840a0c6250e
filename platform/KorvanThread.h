#ifndef KORVAN_THREAD_H
#define KORVAN_THREAD_H

#include <pthread.h>

// Runs `function(argument)` on a thread of its own. The thread is started
// once; WaitUntilDone joins it. A thread still unjoined when the object is
// destroyed is detached (it runs on, and its resources are freed when it
// ends), so the object never blocks in its destructor.
class KorvanThread {
 public:
  KorvanThread(unsigned long (*function)(void*), void* argument);
  ~KorvanThread();

  KorvanThread(const KorvanThread&) = delete;
  KorvanThread& operator=(const KorvanThread&) = delete;

  // Starts the thread and returns its handle.
  // REQUIRES: Start has not been called before on this object.
  pthread_t Start();

  // Suspends the calling thread for `ms` milliseconds (not cut short by
  // signals).
  static void Sleep(int ms);

  // Waits without time limit until the thread has ended. The body's return
  // value is not collected. Returns at once when the thread was not started
  // or was already waited for.
  void WaitUntilDone();

 private:
  static void* Trampoline(void* start);

  unsigned long (*function)(void*);
  // Where a system thread id would be stored; always null, the id is not kept.
  [[maybe_unused]] unsigned long* threadId;
  void* argument;
  pthread_t handle;
  bool started;
  bool joined;
};

#endif
