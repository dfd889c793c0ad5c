// What a fuzz target asserts: a broken promise aborts, so libFuzzer keeps the input as a crash.
#pragma once
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                              \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #cond);         \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)
