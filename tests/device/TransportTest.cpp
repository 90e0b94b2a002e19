// The transport rules: length rule, data buffers, time-outs, success rule, untouched buffers
// when the device cannot be opened, and the retries of the buffer commands.
#include <gtest/gtest.h>

#include <vector>

#include "device/Transport.h"
#include "support/RecordingPassThrough.h"

namespace qvfw::device {
namespace {

using testing::CheckCondition;
using testing::Good;
using testing::NotOpened;
using testing::RecordedRequest;
using testing::RecordingPassThrough;
using testing::Reply;
using V = std::vector<uint8_t>;

const uint8_t kCdb12[12] = {0xFF, 0x04, 0x10};

struct Fixture : ::testing::Test {
  RecordingPassThrough rec;
  platform::CapturingDiagnostics diag;
  Transport t{rec, diag};
  Device dev{t, "/dev/sg3"};
  void Answer(Reply r) {
    rec.SetResponder([r](const RecordedRequest&) { return r; });
  }
};

using TransportTest = Fixture;

enum class Op { In, Out, InSense, OutSense };

bool RunOp(const Transport& t, Op op, std::span<const uint8_t> cdb, uint8_t* buf, uint32_t len, uint32_t* got,
         uint8_t* sense = nullptr) {
  switch (op) {
    case Op::In: return t.PassThroughIn("p", cdb, buf, len, got);
    case Op::Out: return t.PassThroughOut("p", cdb, buf, len, got);
    case Op::InSense: return t.PassThroughInSense("p", cdb, buf, len, got, sense, sense ? 18 : 0);
    case Op::OutSense: return t.PassThroughOutSense("p", cdb, buf, len, got, sense, sense ? 18 : 0);
  }
  return false;
}

TEST_F(TransportTest, OneByteGoesAsTwoAndComesBackAsOne) {
  for (Op op : {Op::In, Op::InSense}) {
    rec.requests.clear();
    Answer(Good({0x9C, 0x77}));
    uint8_t buf[2] = {0xEE, 0xEE};
    ASSERT_TRUE(RunOp(t, op, kCdb12, buf, 1, nullptr));
    EXPECT_EQ(rec.requests[0].length, 2u);
    EXPECT_TRUE(rec.requests[0].dataIn);
    EXPECT_EQ(buf[0], 0x9C);
    EXPECT_EQ(buf[1], 0xEE) << "the caller asked for one byte only";
  }
  for (Op op : {Op::Out, Op::OutSense}) {
    rec.requests.clear();
    Answer(Good());
    uint8_t byte[1] = {0x5A};
    ASSERT_TRUE(RunOp(t, op, kCdb12, byte, 1, nullptr));
    EXPECT_EQ(rec.requests[0].length, 2u);
    EXPECT_FALSE(rec.requests[0].dataIn);
    EXPECT_EQ(rec.requests[0].dataOut, (V{0x5A, 0x00}));
  }
}

TEST_F(TransportTest, ZeroLengthSendsNoDataBufferAndKeepsTheDirection) {
  for (Op op : {Op::In, Op::Out, Op::InSense, Op::OutSense}) {
    rec.requests.clear();
    ASSERT_TRUE(RunOp(t, op, kCdb12, nullptr, 0, nullptr));
    EXPECT_FALSE(rec.requests[0].hasData);
    EXPECT_EQ(rec.requests[0].length, 0u);
    EXPECT_EQ(rec.requests[0].dataIn, op == Op::In || op == Op::InSense);
  }
}

TEST_F(TransportTest, TimeOutsByOperationAndCdb) {
  struct Case {
    Op op;
    V cdb;
    uint32_t timeout;
  };
  const std::vector<Case> cases = {
      {Op::In, {0xFF, 0x04, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 10},          // reads never take long
      {Op::Out, {0xFF, 0x04, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 100},        // whole-chip erase
      {Op::Out, {0xDF, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFB}, 100},        // erase-mode write
      {Op::Out, {0xDF, 0x83, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFB}, 50},
      {Op::Out, {0xDF, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFB}, 50},
      {Op::Out, {0xDF, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFE}, 50},
      {Op::Out, {0xFF, 0x04, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 50},
      {Op::Out, {0x3B, 0x03, 0x13, 0, 0, 0, 0, 0, 0, 0}, 100},               // byte 2 alone decides
      {Op::InSense, {0x3C, 0x02, 0x13, 0, 0, 0, 0, 0, 0, 0}, 10},
      {Op::OutSense, {0xDF, 0x03, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0xFB}, 10},
  };
  for (const Case& c : cases) {
    rec.requests.clear();
    RunOp(t, c.op, c.cdb, nullptr, 0, nullptr);
    ASSERT_EQ(rec.requests.size(), 1u);
    EXPECT_EQ(rec.requests[0].timeoutSeconds, c.timeout) << ::testing::PrintToString(c.cdb);
    EXPECT_EQ(rec.requests[0].cdb, c.cdb);
  }
}

TEST_F(TransportTest, SuccessNeedsCompletionNoOsErrorAndGoodStatus) {
  struct Case {
    const char* name;
    bool ioctlOk;
    uint32_t osError;
    uint8_t status;
    bool ok;
  };
  const Case cases[] = {
      {"all good", true, 0, 0, true},
      {"stale OS error", true, 31, 0, false},
      {"ioctl failed", false, 0, 0, false},
      {"check condition", true, 0, 2, false},
      {"busy", true, 0, 8, false},
  };
  for (const Case& c : cases) {
    for (Op op : {Op::In, Op::Out, Op::InSense, Op::OutSense}) {
      Reply r = Good();
      r.result.ioctlOk = c.ioctlOk;
      r.result.osError = c.osError;
      r.result.scsiStatus = c.status;
      Answer(r);
      uint8_t buf[4] = {};
      EXPECT_EQ(RunOp(t, op, kCdb12, buf, 4, nullptr), c.ok) << c.name << " op " << static_cast<int>(op);
    }
  }
}

TEST_F(TransportTest, FailedReadStillHandsOverTheZeroFilledBounceContent) {
  Reply r = Good({0x11, 0x22});
  r.result.scsiStatus = 0x02;
  r.result.transferred = 2;
  Answer(r);
  uint8_t buf[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  uint32_t got = 99;
  EXPECT_FALSE(t.PassThroughIn("p", kCdb12, buf, 6, &got));
  EXPECT_EQ(V(buf, buf + 6), (V{0x11, 0x22, 0, 0, 0, 0}));
  EXPECT_EQ(got, 2u);
}

TEST_F(TransportTest, ShortReplyLeavesTheRestZero) {
  for (Op op : {Op::In, Op::InSense}) {
    Answer(Good({0xAB}));
    uint8_t buf[8];
    std::fill(std::begin(buf), std::end(buf), 0xEE);
    ASSERT_TRUE(RunOp(t, op, kCdb12, buf, 8, nullptr));
    EXPECT_EQ(V(buf, buf + 8), (V{0xAB, 0, 0, 0, 0, 0, 0, 0}));
  }
}

TEST_F(TransportTest, DeviceThatCannotBeOpenedLeavesEverythingUntouched) {
  Answer(NotOpened());
  for (Op op : {Op::In, Op::Out, Op::InSense, Op::OutSense}) {
    uint8_t buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint8_t sense[18];
    std::fill(std::begin(sense), std::end(sense), 0xCC);
    uint32_t got = 1234;
    EXPECT_FALSE(RunOp(t, op, kCdb12, buf, 4, &got, sense));
    EXPECT_EQ(V(buf, buf + 4), V(4, 0xEE));
    EXPECT_EQ(got, 1234u);
    EXPECT_EQ(V(sense, sense + 18), V(18, 0xCC));
  }
}

TEST_F(TransportTest, SenseIsCapturedOnFailureOnlyInTheSenseOperations) {
  const V sense = {0x70, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x24, 0x00};
  Answer(CheckCondition(sense));
  uint8_t buf[4];
  uint8_t got[18] = {};
  EXPECT_FALSE(t.PassThroughInSense("p", kCdb12, buf, 4, nullptr, got, 18));
  EXPECT_EQ(rec.requests.back().senseLength, 32u);
  EXPECT_EQ(got[2], 0x05);
  EXPECT_EQ(got[12], 0x24);
  EXPECT_FALSE(t.PassThroughIn("p", kCdb12, buf, 4, nullptr));
  EXPECT_EQ(rec.requests.back().senseLength, 0u);
  t.PassThroughOutSense("p", kCdb12, buf, 4, nullptr, nullptr, 0);
  EXPECT_EQ(rec.requests.back().senseLength, 0u) << "no sense destination, no sense area";
}

TEST_F(TransportTest, OutSenseReportsTheCountOnlyOnSuccess) {
  Reply r = Good();
  r.result.transferred = 4;
  r.result.scsiStatus = 2;
  Answer(r);
  uint8_t buf[4] = {};
  uint32_t got = 77;
  EXPECT_FALSE(t.PassThroughOutSense("p", kCdb12, buf, 4, &got, nullptr, 0));
  EXPECT_EQ(got, 77u);
  r.result.scsiStatus = 0;
  Answer(r);
  EXPECT_TRUE(t.PassThroughOutSense("p", kCdb12, buf, 4, &got, nullptr, 0));
  EXPECT_EQ(got, 4u);
}

TEST_F(TransportTest, PlainOperationsShareOnlyForReads) {
  uint8_t buf[4] = {};
  RunOp(t, Op::In, kCdb12, buf, 4, nullptr);
  RunOp(t, Op::Out, kCdb12, buf, 4, nullptr);
  RunOp(t, Op::InSense, kCdb12, buf, 4, nullptr);
  RunOp(t, Op::OutSense, kCdb12, buf, 4, nullptr);
  EXPECT_FALSE(rec.requests[0].exclusive);
  EXPECT_TRUE(rec.requests[1].exclusive);
  EXPECT_TRUE(rec.requests[2].exclusive);
  EXPECT_TRUE(rec.requests[3].exclusive);
}

TEST(TransportDeath, CdbLengthsOtherThan6_10_12_16AreProgrammingErrors) {
  RecordingPassThrough rec;
  platform::NullDiagnostics diag;
  Transport t(rec, diag);
  const uint8_t cdb[16] = {};
  for (size_t n : {6u, 10u, 12u, 16u}) EXPECT_TRUE(t.PassThroughIn("p", {cdb, n}, nullptr, 0, nullptr));
  EXPECT_DEATH(t.PassThroughIn("p", {cdb, 8}, nullptr, 0, nullptr), "ScsiTransport");
  EXPECT_DEATH(t.PassThroughOutSense("p", {cdb, 11}, nullptr, 0, nullptr, nullptr, 0), "ScsiTransport");
}

// --- the SCSI buffer commands ---

const V kBecomingReady = {0x70, 0, 0x02, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x04, 0x01, 0, 0, 0, 0};
const V kIllegalRequest = {0x70, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x24, 0x00, 0, 0, 0, 0};

struct BufferCommandTest : Fixture {
  int pumps = 0;
  void SetUp() override { t.SetEventPump([this] { ++pumps; }); }
};

TEST_F(BufferCommandTest, BecomingReadyIsTriedThirtyOneTimesThenTraced) {
  Answer(CheckCondition(kBecomingReady));
  uint8_t buf[16];
  EXPECT_FALSE(QV_ReadBuffer(dev, 0x02, 0x01, 0, buf, 16));
  EXPECT_EQ(rec.requests.size(), 31u);
  EXPECT_EQ(pumps, 31);
  ASSERT_EQ(diag.lines.size(), 3u);
  EXPECT_EQ(diag.lines[0], "QV_ReadBuffer.");
  EXPECT_EQ(diag.lines[1], "SenseData 12: 70.00.02.00.00.00.00.0A.00.00.00.00.04.01.00.00.00.00");
#if defined(_WIN32)
  // The window platform has no sense library: the key's name and the codes.
  EXPECT_EQ(diag.lines[2], "SenseData: Not Ready: ASC 04h, ASCQ 01h");
#else
  EXPECT_EQ(diag.lines[2], "SenseData: Not Ready: Logical unit is in process of becoming ready");
#endif
}

TEST_F(BufferCommandTest, AnyOtherSenseIsTriedOnceAndTracedOnce) {
  const V nearly[] = {kIllegalRequest,
                      {0x70, 0, 0x02, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x04, 0x02},   // not ready, other qualifier
                      {0x70, 0, 0x06, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x04, 0x01},   // other key
                      {}};                                                        // no sense at all
  for (const V& sense : nearly) {
    rec.requests.clear();
    diag.lines.clear();
    Answer(CheckCondition(sense));
    uint8_t buf[4];
    EXPECT_FALSE(QV_WriteBuffer(dev, 0x01, 0x0E, buf, 0, 4));
    EXPECT_EQ(rec.requests.size(), 1u);
    // The decoded line follows the bytes only when they hold sense.
    ASSERT_EQ(diag.lines.size(), sense.empty() ? 2u : 3u);
    EXPECT_EQ(diag.lines[0], "QV_WriteBuffer.");
    if (!sense.empty()) {
      EXPECT_TRUE(diag.lines[2].starts_with("SenseData: ")) << diag.lines[2];
    }
  }
  EXPECT_EQ(diag.lines.size(), 2u);
  EXPECT_EQ(diag.lines[1], "SenseData 12: 00.00.00.00.00.00.00.00.00.00.00.00.00.00.00.00.00.00");
}

TEST_F(BufferCommandTest, SucceedsOnceTheUnitIsReadyAndTracesNothing) {
  int n = 0;
  rec.SetResponder([&](const RecordedRequest&) { return ++n <= 2 ? CheckCondition(kBecomingReady) : Good({0xA5, 1, 2, 3}); });
  uint8_t buf[4] = {};
  EXPECT_TRUE(QV_ReadBuffer(dev, 0x03, 0x00, 0, buf, 4));
  EXPECT_EQ(rec.requests.size(), 3u);
  EXPECT_EQ(buf[0], 0xA5);
  EXPECT_TRUE(diag.lines.empty());
  EXPECT_EQ(pumps, 3);
}

// A buffer that comes short (GOOD status, fewer bytes than asked) is no buffer: the zeros in the
// rest would be taken for the device's content.
TEST_F(BufferCommandTest, AShortTransferFails) {
  rec.SetResponder([&](const RecordedRequest&) { return Good({0xA5, 1, 2}); });
  uint8_t buf[4] = {};
  EXPECT_FALSE(QV_ReadBuffer(dev, 0x03, 0x00, 0, buf, 4));
  rec.SetResponder([&](const RecordedRequest&) { return Good({0xA5, 1, 2, 3}); });
  EXPECT_TRUE(QV_ReadBuffer(dev, 0x03, 0x00, 0, buf, 4));
}

TEST_F(BufferCommandTest, RunThroughTheSenseOperationsWithTenSecondTimeOuts) {
  uint8_t buf[0x600] = {};
  QV_ReadBuffer(dev, 0x02, 0x01, 0x000600, buf, 0x200);
  QV_WriteBuffer(dev, 0x01, 0x02, buf, 0x123456, 0x600);
  EXPECT_EQ(rec.requests[0].cdb, (V{0x3C, 0x02, 0x01, 0x00, 0x06, 0x00, 0x00, 0x02, 0x00, 0x00}));
  EXPECT_EQ(rec.requests[1].cdb, (V{0x3B, 0x02, 0x01, 0x12, 0x34, 0x56, 0x00, 0x06, 0x00, 0x00}));
  for (const auto& r : rec.requests) {
    EXPECT_EQ(r.timeoutSeconds, 10u);
    EXPECT_EQ(r.senseLength, 32u);
  }
}

}  // namespace
}  // namespace qvfw::device
