#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/TracingPassThrough.h"
#include "support/RecordingPassThrough.h"

namespace qvfw::platform {
namespace {

TEST(Trace, OneStableLinePerRequest) {
  testing::RecordingPassThrough rec;
  std::vector<std::string> lines;
  TracingPassThrough trace(rec, [&](const std::string& l) { lines.push_back(l); });

  const uint8_t inquiry[12] = {0x12, 0, 0, 0, 0x28};
  uint8_t data[40];
  ScsiRequest in;
  in.cdb = inquiry;
  in.data = data;
  in.length = 40;
  in.timeoutSeconds = 10;
  trace.Execute("p", in);

  rec.SetResponder([](const testing::RecordedRequest&) {
    return testing::CheckCondition({0x70, 0x00, 0x05, 0x00});
  });
  const uint8_t erase[12] = {0xFF, 0x04, 0x13};
  uint8_t sense[32];
  ScsiRequest out;
  out.cdb = erase;
  out.dataIn = false;
  out.timeoutSeconds = 100;
  out.sense = sense;
  out.senseLength = 32;
  trace.Execute("p", out);

  out.sense = nullptr;
  out.senseLength = 0;
  trace.Execute("p", out);

  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "scsi: 12 00 00 00 28 00 00 00 00 00 00 00 | in 40 | 10s | ok");
  EXPECT_EQ(lines[1], "scsi: FF 04 13 00 00 00 00 00 00 00 00 00 | out 0 | 100s | fail | status=02 | sense=70 00 05 00");
  EXPECT_EQ(lines[2], "scsi: FF 04 13 00 00 00 00 00 00 00 00 00 | out 0 | 100s | fail | status=02");
  EXPECT_EQ(rec.requests.size(), 3u) << "the decorator passes every request on";
}

TEST(Trace, DeviceThatCannotBeOpenedIsAFailure) {
  testing::RecordingPassThrough rec;
  rec.SetResponder([](const testing::RecordedRequest&) { return testing::NotOpened(); });
  std::string line;
  TracingPassThrough trace(rec, [&](const std::string& l) { line = l; });
  const uint8_t cdb[6] = {0x00};
  ScsiRequest r;
  r.cdb = cdb;
  EXPECT_FALSE(Succeeded(trace.Execute("p", r)));
  EXPECT_EQ(line, "scsi: 00 00 00 00 00 00 | in 0 | 10s | fail | status=00");
}

}  // namespace
}  // namespace qvfw::platform
