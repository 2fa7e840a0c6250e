#include "Cpp/BaseClasses/KorvanAssert.h"

#include <cstdio>
#include <cstdlib>

void KorvanAssertFail(const char* expression, const char* file, int line, const char* function) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, function, expression);
  std::fflush(stderr);
  std::abort();
}
