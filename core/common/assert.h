// Assertions on what validation has already established. Data that enters the engine from
// outside (a snapshot, a log record, an argument) is checked once where it enters, with an
// error as the result; past that point the hot paths trust it, and state their assumptions
// with KESTRINE_ASSERT. Debug builds check them and abort with the failed condition; builds
// with NDEBUG compile them out (the condition is still type-checked, never evaluated).
#pragma once

#include <cstdio>
#include <cstdlib>

#ifdef NDEBUG
#define KESTRINE_ASSERT(condition) static_cast<void>(sizeof(static_cast<bool>(condition)))
#else
#define KESTRINE_ASSERT(condition)                                                             \
  ((condition) ? static_cast<void>(0)                                                          \
               : (std::fprintf(stderr, "kestrine: assertion failed: %s (%s:%d)\n", #condition, \
                               __FILE__, __LINE__),                                            \
                  std::abort()))
#endif
