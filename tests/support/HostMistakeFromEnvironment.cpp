// Every test binary: QVFW_HOST_MISTAKE=<name> switches that host mistake on for the whole run, so
// that a run of the suite by hand shows which tests catch it ("no-status-wait", ...; see
// device/HostMistakes.h). Without the variable nothing changes.

#include <cstdio>
#include <cstdlib>

#include "device/HostMistakes.h"

namespace {

const bool kFromEnvironment = [] {
  const char* name = std::getenv("QVFW_HOST_MISTAKE");
  if (name == nullptr || *name == '\0') return false;
  const auto mistake = qvfw::device::HostMistakeNamed(name);
  if (!mistake) {
    std::fprintf(stderr, "QVFW_HOST_MISTAKE: no mistake named \"%s\"\n", name);
    std::exit(2);
  }
  qvfw::device::TestHooks().active = *mistake;
  return true;
}();

}  // namespace
