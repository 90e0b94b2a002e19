#pragma once
// A broken property of a fuzz target: says which and aborts, so libFuzzer keeps the input and the
// replay driver's test fails.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)
