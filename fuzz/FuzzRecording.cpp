// The recording reader: any bytes are a recording or a RecordingError, never a crash. A recording
// read is written back to the same text, reads again whole, survives anonymisation, and a replay
// of it answers a program's calls without touching more than the program's buffers.
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzAbort.h"
#include "platform/Anonymise.h"
#include "platform/Clock.h"
#include "platform/Recording.h"
#include "platform/SessionRecorder.h"

using namespace qvfw::platform;

namespace {

// A program's few calls against the replayed machine, each with buffers of its own size.
void Drive(const SessionRecording& rec) {
  VirtualClock clock;
  LaneClock lanes(clock);
  SessionReplayer replayer(rec, lanes, ReplayOptions{rec.calls.size() % 2 == 0});
  replayer.EnumerateDisks();
  (void)replayer.DisksWithoutPassThrough();
  for (const RecordedCall& c : rec.calls) {
    if (c.kind == RecordedCall::Kind::Number) replayer.GetStorageDeviceNumber(c.path);
    if (c.kind == RecordedCall::Kind::Volumes) replayer.EnumerateVolumes();
    if (c.kind == RecordedCall::Kind::Events) replayer.Drain();
    if (c.kind != RecordedCall::Kind::Request) continue;
    std::string data(c.length % 4096, '\0'), sense(c.senseLength, '\0');
    ScsiRequest r;
    r.cdb = c.cdb;
    r.dataIn = c.dataIn;
    r.data = data.empty() ? nullptr : reinterpret_cast<uint8_t*>(data.data());
    r.length = static_cast<uint32_t>(data.size());
    r.timeoutSeconds = c.timeoutSeconds;
    r.exclusive = c.exclusive;
    r.sense = sense.empty() ? nullptr : reinterpret_cast<uint8_t*>(sense.data());
    r.senseLength = c.senseLength;
    replayer.Execute(c.path, r);
  }
  (void)replayer.Finish(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const bool verify : {true, false}) {
    SessionRecording rec;
    try {
      rec = ParseRecording(text, "input", verify);
    } catch (const RecordingError&) {
      continue;
    }
    const std::string written = FormatRecording(rec);
    SessionRecording again;
    try {
      again = ParseRecording(written);
    } catch (const RecordingError& e) {
      std::fprintf(stderr, "%s\n", e.what());
      FUZZ_CHECK(!"a recording written back reads again");
    }
    FUZZ_CHECK(FormatRecording(again) == written);
    Drive(again);
    AnonymiseRecording(again, {1, 2});
    try {
      ParseRecording(FormatRecording(again));
    } catch (const RecordingError&) {
      FUZZ_CHECK(!"an anonymised recording reads again");
    }
  }
  return 0;
}
