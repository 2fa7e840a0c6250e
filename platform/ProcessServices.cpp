#include "platform/ProcessServices.h"

#include <ctime>
#include <unistd.h>

long KorvanClock() {
  timespec used;
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used) != 0) return -1;
  return static_cast<long>(used.tv_sec) * KORVAN_CLOCKS_PER_SEC +
         used.tv_nsec / (1000000000L / KORVAN_CLOCKS_PER_SEC);
}

unsigned long KorvanGetPid() { return static_cast<unsigned long>(getpid()); }
