#include "platform/Assert.h"

#include <cstdio>
#include <cstdlib>

namespace qvfw::platform {
void AssertionFailed(const char* condition, const char* module, const char* file, int line) {
  std::fprintf(stderr, "Assertion failed: %s, module %s (%s:%d)\n", condition, module, file, line);
  std::fflush(stderr);
  std::abort();
}
}  // namespace qvfw::platform
