#pragma once
// Decorates a pass-through with one trace line per request, in a format engineers compare
// against a bus analyser capture:
//   scsi: 12 00 00 00 28 00 00 00 00 00 00 00 | in 40 | 10s | ok
// failures add " | status=XX" and, when sense bytes came back, " | sense=70 00 05 ...".

#include <functional>
#include <string>

#include "platform/PassThrough.h"

namespace qvfw::platform {

std::string FormatTraceLine(const ScsiRequest& request, const ScsiResult& result);

class TracingPassThrough final : public PassThrough {
 public:
  using Sink = std::function<void(const std::string&)>;
  TracingPassThrough(PassThrough& inner, Sink sink) : inner_(inner), sink_(std::move(sink)) {}
  ScsiResult Execute(std::string_view path, const ScsiRequest& request) override;

 private:
  PassThrough& inner_;
  Sink sink_;
};

}  // namespace qvfw::platform
