#include "platform/Diagnostics.h"

#include <cstdio>

namespace qvfw::platform {
void StderrDiagnostics::Line(std::string_view text) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}
}  // namespace qvfw::platform
