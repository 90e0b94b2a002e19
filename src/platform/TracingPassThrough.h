#pragma once
// Decorates a pass-through with one trace line per request, in a format engineers compare
// against a bus analyser capture:
//   scsi: 12 00 00 00 28 00 00 00 00 00 00 00 | in 40 | 10s | ok | path=/dev/sg2 | time=0.412ms
// failures add " | status=XX" and, when sense bytes came back, " | sense=70 00 05 ..." right
// after "fail", then the path and the time, then what explains the failure where there is
// something: " | host=DID_ERROR", " | driver=0xNN", " | os=ENOENT (No such file or directory)",
// " | not opened", and the decoded sense as " | Illegal Request: Invalid field in CDB".
// The fields up to the sense bytes come first and keep their order, so a reader of the older,
// shorter lines reads these too. Requests whose callers want no sense bytes (the plain
// operations of the vendor commands) are given a sense area of the trace's own, so their
// refusals are decoded as well; the caller still receives none.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "platform/PassThrough.h"

namespace qvfw::platform {

std::string FormatTraceLine(std::string_view path, const ScsiRequest& request, const ScsiResult& result,
                            std::chrono::nanoseconds duration);

class TracingPassThrough final : public PassThrough {
 public:
  using Sink = std::function<void(const std::string&)>;
  // The time each request took, read from a monotonic clock; tests give their own.
  using Now = std::function<std::chrono::nanoseconds()>;
  TracingPassThrough(PassThrough& inner, Sink sink, Now now = {});
  ScsiResult Execute(std::string_view path, const ScsiRequest& request) override;

 private:
  PassThrough& inner_;
  Sink sink_;
  Now now_;
};

}  // namespace qvfw::platform
