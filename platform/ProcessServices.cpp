#include "platform/ProcessServices.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

long KorvanClock() {
  timespec used;
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used) != 0) return -1;
  return static_cast<long>(used.tv_sec) * KORVAN_CLOCKS_PER_SEC +
         used.tv_nsec / (1000000000L / KORVAN_CLOCKS_PER_SEC);
}

unsigned long KorvanGetPid() { return static_cast<unsigned long>(getpid()); }

void KorvanOpenStandardStreams(bool writable) {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is taken: this one, the lower ones being open.
    const int opened = open("/dev/null", fd == 0 || !writable ? O_RDONLY : O_WRONLY);
    if (opened != -1 && opened != fd) close(opened);
  }
}

void KorvanUnblockStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
}
