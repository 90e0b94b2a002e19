#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "platform/SenseText.h"
#include "platform/TracingPassThrough.h"
#include "support/RecordingPassThrough.h"

namespace qvfw::platform {
namespace {

using namespace std::chrono_literals;

// A trace whose requests each take 1.5 ms of a fake monotonic clock.
struct TraceRig {
  testing::RecordingPassThrough rec;
  std::vector<std::string> lines;
  std::chrono::nanoseconds now{0};
  TracingPassThrough trace{rec, [this](const std::string& l) { lines.push_back(l); }, [this] {
                             const auto t = now;
                             now += 750us;
                             return t;
                           }};
};

TEST(Trace, OneStableLinePerRequest) {
  TraceRig rig;
  const uint8_t inquiry[12] = {0x12, 0, 0, 0, 0x28};
  uint8_t data[40];
  ScsiRequest in;
  in.cdb = inquiry;
  in.data = data;
  in.length = 40;
  in.timeoutSeconds = 10;
  rig.trace.Execute("/dev/sg2", in);

  rig.rec.SetResponder([](const testing::RecordedRequest&) {
    return testing::CheckCondition({0x70, 0x00, 0x05, 0x00, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x20, 0x00});
  });
  const uint8_t erase[12] = {0xFF, 0x04, 0x13};
  uint8_t sense[32];
  ScsiRequest out;
  out.cdb = erase;
  out.dataIn = false;
  out.timeoutSeconds = 100;
  out.sense = sense;
  out.senseLength = 32;
  rig.trace.Execute("/dev/sg3", out);

  // The plain operations ask for no sense: the trace still decodes the refusal, the caller
  // gets none of it.
  out.sense = nullptr;
  out.senseLength = 0;
  const ScsiResult plain = rig.trace.Execute("/dev/sg3", out);
  EXPECT_EQ(plain.senseValid, 0u);
  EXPECT_EQ(plain.scsiStatus, 0x02);

  ASSERT_EQ(rig.lines.size(), 3u);
  EXPECT_EQ(rig.lines[0], "scsi: 12 00 00 00 28 00 00 00 00 00 00 00 | in 40 | 10s | ok | path=/dev/sg2 | time=0.750ms");
#if defined(_WIN32)
  const char* const senseText = "Illegal Request: ASC 20h, ASCQ 00h";  // no sense library there
#else
  const char* const senseText = "Illegal Request: Invalid command operation code";
#endif
  EXPECT_EQ(rig.lines[1],
            std::string("scsi: FF 04 13 00 00 00 00 00 00 00 00 00 | out 0 | 100s | fail | status=02 | sense=70 00 05 "
                        "00 00 00 00 0A 00 00 00 00 20 00 | path=/dev/sg3 | time=0.750ms | ") +
                senseText);
  EXPECT_EQ(rig.lines[2], rig.lines[1]);
  EXPECT_EQ(rig.rec.requests.size(), 3u) << "the decorator passes every request on";
}

// What explains a failure that carries no sense: the device could not be opened, the OS
// refused the request, or the transport below the target reported trouble (the target's own
// status then says GOOD, which alone reads like success).
TEST(Trace, FailuresSayWhatTheSystemReported) {
  struct Case {
    const char* what;
    ScsiResult result;
    const char* tail;
  };
  auto completed = [](uint8_t host, uint8_t driver, uint32_t osError) {
    ScsiResult r;
    r.opened = true;
    r.ioctlOk = true;
    r.hostStatus = host;
    r.driverStatus = driver;
    r.osError = osError;
    return r;
  };
  // The backends report errno values on Linux and system error codes on the window platform,
  // whose text is the system's own (it varies with the language): the number is what is pinned.
#if defined(_WIN32)
  constexpr uint32_t kNoSuchNode = 2, kRefused = 5;  // file not found, access denied
  const char* const noSuchNodeTail = " | not opened | os=error 2 (";
  const char* const refusedTail = " | os=error 5 (";
#else
  constexpr uint32_t kNoSuchNode = ENOENT, kRefused = EPERM;
  const char* const noSuchNodeTail = " | not opened | os=ENOENT (No such file or directory)";
  const char* const refusedTail = " | os=EPERM (Operation not permitted)";
#endif
  ScsiResult notOpened;
  notOpened.osError = kNoSuchNode;
  ScsiResult refused;
  refused.opened = true;
  refused.osError = kRefused;
  const Case cases[] = {
      {"no such node", notOpened, noSuchNodeTail},
      {"ioctl refused", refused, refusedTail},
      {"host error", completed(0x07, 0, kOsErrorHostStatus | 0x07), " | host=DID_ERROR"},
      {"host status the table lacks", completed(0x2A, 0, kOsErrorHostStatus | 0x2A), " | host=DID_0x2A"},
      {"driver error", completed(0, 0x06, kOsErrorDriverStatus | 0x06), " | driver=0x06"},
  };
  for (const Case& c : cases) {
    TraceRig rig;
    rig.rec.SetResponder([&](const testing::RecordedRequest&) {
      testing::Reply r;
      r.result = c.result;
      return r;
    });
    const uint8_t cdb[6] = {0x00};
    ScsiRequest r;
    r.cdb = cdb;
    EXPECT_FALSE(Succeeded(rig.trace.Execute("/dev/sg9", r))) << c.what;
    ASSERT_EQ(rig.lines.size(), 1u) << c.what;
    const std::string expected =
        std::string("scsi: 00 00 00 00 00 00 | in 0 | 10s | fail | status=00 | path=/dev/sg9 | time=0.750ms") + c.tail;
    if (expected.ends_with('(')) {
      // The system's text follows, in brackets.
      EXPECT_TRUE(rig.lines[0].starts_with(expected) && rig.lines[0].ends_with(")") &&
                  rig.lines[0].size() > expected.size() + 1)
          << c.what << ": " << rig.lines[0];
    } else {
      EXPECT_EQ(rig.lines[0], expected) << c.what;
    }
  }
}

// The real clock is used when the caller gives none, and a request's time is its own.
TEST(Trace, RealClockByDefault) {
  testing::RecordingPassThrough rec;
  std::string line;
  TracingPassThrough trace(rec, [&](const std::string& l) { line = l; });
  const uint8_t cdb[6] = {0x00};
  ScsiRequest r;
  r.cdb = cdb;
  trace.Execute("p", r);
  EXPECT_NE(line.find(" | ok | path=p | time="), std::string::npos) << line;
  EXPECT_TRUE(line.ends_with("ms")) << line;
}

// The sense library's words on Linux; on the window platform, which has no such library, the
// key's name and the codes.
TEST(SenseText, DecodesFixedAndDescriptorSense) {
  struct Case {
    std::vector<uint8_t> sense;
    const char* text;
    const char* windowsText;
  };
  const Case cases[] = {
      {{0x70, 0, 0x02, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x04, 0x01}, "Not Ready: Logical unit is in process of becoming ready",
       "Not Ready: ASC 04h, ASCQ 01h"},
      {{0x72, 0x06, 0x29, 0x00, 0, 0, 0, 0}, "Unit Attention: Power on, reset, or bus device reset occurred",
       "Unit Attention: ASC 29h, ASCQ 00h"},
      // Valid bit set: the information field (here the failing block) follows.
      {{0xF0, 0, 0x03, 0, 0, 0x12, 0x34, 0x0A, 0, 0, 0, 0, 0x11, 0x00},
       "Medium Error: Unrecovered read error; information 0x1234", "Medium Error: ASC 11h, ASCQ 00h"},
      // Truncated to the first three bytes: only the key is known (the window platform's decoder
      // wants the codes too).
      {{0x70, 0, 0x05}, "Illegal Request: No additional sense information", ""},
      {{0x00, 0, 0x05, 0}, "", ""},  // response code 0: no sense at all
      {{}, "", ""},
  };
#if defined(_WIN32)
  for (const Case& c : cases) EXPECT_EQ(DescribeSense(c.sense), c.windowsText);
#else
  for (const Case& c : cases) EXPECT_EQ(DescribeSense(c.sense), c.text);
#endif
}

}  // namespace
}  // namespace qvfw::platform
