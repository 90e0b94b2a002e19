#pragma once
// The diagnostics stream: lines meant for engineers, never shown to the user.

#include <string>
#include <string_view>
#include <vector>

namespace qvfw::platform {

class Diagnostics {
 public:
  virtual ~Diagnostics() = default;
  virtual void Line(std::string_view text) = 0;
};

// Discards everything (the products' default when diagnostics are not asked for).
class NullDiagnostics final : public Diagnostics {
 public:
  void Line(std::string_view) override {}
};

// One line per call on standard error.
class StderrDiagnostics final : public Diagnostics {
 public:
  void Line(std::string_view text) override;
};

// Keeps the lines, for tests and for callers that show them later.
class CapturingDiagnostics final : public Diagnostics {
 public:
  void Line(std::string_view text) override { lines.emplace_back(text); }
  std::vector<std::string> lines;
};

}  // namespace qvfw::platform
