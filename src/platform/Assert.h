#pragma once
// Programming-error checks that stay on in every build type: a violated contract stops the
// program with the condition and the module it belongs to, it never becomes a device error.

namespace qvfw::platform {
[[noreturn]] void AssertionFailed(const char* condition, const char* module, const char* file, int line);
}

#define QV_ASSERT(cond, module) \
  ((cond) ? static_cast<void>(0) : ::qvfw::platform::AssertionFailed(#cond, module, __FILE__, __LINE__))
