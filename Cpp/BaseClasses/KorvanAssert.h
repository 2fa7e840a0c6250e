#ifndef KORVAN_ASSERT_H
#define KORVAN_ASSERT_H

// Internal consistency check that stays active in every build type (NDEBUG
// does not disable it). A failed check reports the expression text, the
// source file and line and the function, then aborts the process.

[[noreturn]] void KorvanAssertFail(const char* expression, const char* file, int line,
                                   const char* function);

#define KORVAN_ASSERT(expr) \
  ((expr) ? static_cast<void>(0) : KorvanAssertFail(#expr, __FILE__, __LINE__, __func__))

#endif
