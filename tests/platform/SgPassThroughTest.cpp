// The Linux backend without hardware: what it does with paths that are not SCSI devices, and,
// through a stand-in for the sg driver's SG_IO call, the request it builds and how it judges what
// the driver hands back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/SgPassThrough.h"

namespace qvfw::platform::linux_os {
namespace {

TEST(SgPassThrough, MissingNodeIsNotOpenedAndSaysWhy) {
  CapturingDiagnostics diag;
  SgPassThrough sg(diag);
  uint8_t data[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  const uint8_t cdb[12] = {0x12};
  ScsiRequest r;
  r.cdb = cdb;
  r.data = data;
  r.length = 8;
  const ScsiResult res = sg.Execute("/dev/sg-does-not-exist", r);
  EXPECT_FALSE(res.opened);
  EXPECT_FALSE(Succeeded(res));
  EXPECT_EQ(res.osError, static_cast<uint32_t>(ENOENT)) << "the trace names the reason";
  EXPECT_EQ(data[0], 0xEE);
  ASSERT_EQ(diag.lines.size(), 1u);
  EXPECT_EQ(diag.lines[0], "scsi: cannot open /dev/sg-does-not-exist: no such device");
}

TEST(SgPassThrough, NodeThatIsNoScsiDeviceFailsWithoutCrashing) {
  char name[] = "/tmp/qvfw-sg-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  close(fd);
  CapturingDiagnostics diag;
  SgPassThrough sg(diag);
  uint8_t data[4] = {1, 2, 3, 4};
  const uint8_t cdb[10] = {0x3C};
  ScsiRequest r;
  r.cdb = cdb;
  r.data = data;
  r.length = 4;
  const ScsiResult res = sg.Execute(name, r);
  std::remove(name);
  EXPECT_TRUE(res.opened);
  EXPECT_FALSE(res.ioctlOk);
  EXPECT_NE(res.osError, 0u);
  EXPECT_FALSE(Succeeded(res));
  ASSERT_EQ(diag.lines.size(), 1u);
  EXPECT_NE(diag.lines[0].find("SG_IO failed"), std::string::npos) << diag.lines[0];
}

// What the stand-in driver saw and what it answers with. The header is copied as the backend
// passed it, before the answer is written into it.
struct DriverReply {
  int ret = 0;
  int err = 0;
  unsigned char status = 0;
  unsigned short hostStatus = 0;
  unsigned short driverStatus = 0;
  int resid = 0;
  unsigned char sbLenWr = 0;
  uint8_t fill = 0;  // written into a data-in buffer, dxfer_len - resid bytes
};
struct DriverSeen {
  int calls = 0;
  sg_io_hdr_t hdr{};
  std::vector<uint8_t> cdb;
  std::vector<uint8_t> dataOut;
};
DriverReply g_reply;
DriverSeen g_seen;

int FakeSgIo(int /*fd*/, sg_io_hdr_t* hdr) {
  ++g_seen.calls;
  g_seen.hdr = *hdr;
  g_seen.cdb.assign(hdr->cmdp, hdr->cmdp + hdr->cmd_len);
  if (hdr->dxfer_direction == SG_DXFER_TO_DEV && hdr->dxferp != nullptr)
    g_seen.dataOut.assign(static_cast<uint8_t*>(hdr->dxferp), static_cast<uint8_t*>(hdr->dxferp) + hdr->dxfer_len);
  if (g_reply.ret != 0) {
    errno = g_reply.err;
    return g_reply.ret;
  }
  if (hdr->dxfer_direction == SG_DXFER_FROM_DEV && hdr->dxferp != nullptr) {
    const int moved = std::max(0, static_cast<int>(hdr->dxfer_len) - g_reply.resid);
    std::memset(hdr->dxferp, g_reply.fill, static_cast<size_t>(moved));
  }
  hdr->status = g_reply.status;
  hdr->masked_status = static_cast<unsigned char>(g_reply.status >> 1);
  hdr->host_status = g_reply.hostStatus;
  hdr->driver_status = g_reply.driverStatus;
  hdr->resid = g_reply.resid;
  // A driver writes at most what it was given room for, and says how much it wrote.
  hdr->sb_len_wr = std::min<unsigned char>(g_reply.sbLenWr, hdr->mx_sb_len);
  for (unsigned i = 0; i < hdr->sb_len_wr; ++i) hdr->sbp[i] = static_cast<unsigned char>(0x70 + i);
  return 0;
}

// Opening needs a node that exists; the stand-in driver does the rest.
class SgRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const int fd = mkstemp(node_);
    ASSERT_GE(fd, 0);
    close(fd);
    g_reply = {};
    g_seen = {};
  }
  void TearDown() override { std::remove(node_); }
  char node_[32] = "/tmp/qvfw-sgio-XXXXXX";
};

struct RequestRow {
  const char* name;
  size_t cdbLength;
  bool dataIn;
  uint32_t length;
  uint32_t timeoutSeconds;
  int direction;             // what the driver must be asked for
  unsigned timeoutMs;
};

TEST_F(SgRequestTest, BuildsTheRequestTheDriverExpects) {
  const RequestRow rows[] = {
      {"data in, 6-byte cdb", 6, true, 36, 10, SG_DXFER_FROM_DEV, 10000},
      {"data out, 16-byte vendor cdb", 16, false, 64, 30, SG_DXFER_TO_DEV, 30000},
      {"no data, flagged in", 10, true, 0, 1, SG_DXFER_NONE, 1000},
      {"no data, flagged out", 12, false, 0, 60, SG_DXFER_NONE, 60000},
      {"4 KiB out", 10, false, 4096, 5, SG_DXFER_TO_DEV, 5000},
  };
  for (const RequestRow& row : rows) {
    SCOPED_TRACE(row.name);
    g_seen = {};
    CapturingDiagnostics diag;
    SgPassThrough sg(diag, FakeSgIo);
    std::vector<uint8_t> cdb(row.cdbLength);
    for (size_t i = 0; i < cdb.size(); ++i) cdb[i] = static_cast<uint8_t>(0xF0 ^ i);
    std::vector<uint8_t> data(row.length);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    uint8_t sense[kMaxSenseLength] = {};
    ScsiRequest r;
    r.cdb = cdb;
    r.dataIn = row.dataIn;
    r.data = row.length ? data.data() : nullptr;
    r.length = row.length;
    r.timeoutSeconds = row.timeoutSeconds;
    r.sense = sense;
    r.senseLength = kMaxSenseLength;
    const ScsiResult res = sg.Execute(node_, r);
    ASSERT_EQ(g_seen.calls, 1);
    EXPECT_EQ(g_seen.hdr.interface_id, 'S');
    EXPECT_EQ(g_seen.hdr.dxfer_direction, row.direction);
    EXPECT_EQ(g_seen.hdr.dxfer_len, row.length);
    EXPECT_EQ(g_seen.hdr.dxferp == nullptr, row.length == 0);
    EXPECT_EQ(g_seen.hdr.timeout, row.timeoutMs) << "the driver counts milliseconds";
    EXPECT_EQ(g_seen.cdb, cdb) << "the cdb reaches the driver whole";
    EXPECT_EQ(g_seen.hdr.mx_sb_len, kMaxSenseLength);
    if (row.direction == SG_DXFER_TO_DEV) {
      std::vector<uint8_t> sent(row.length);
      for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7);
      EXPECT_EQ(g_seen.dataOut, sent) << "data-out goes as the caller wrote it";
    }
    EXPECT_TRUE(Succeeded(res));
    EXPECT_EQ(res.transferred, row.length);
    EXPECT_EQ(res.senseValid, 0u);
    EXPECT_TRUE(diag.lines.empty());
  }
}

struct JudgeRow {
  const char* name;
  DriverReply reply;
  bool succeeded;
  bool ioctlOk;
  uint32_t osError;
  uint8_t scsiStatus;
  uint32_t transferred;  // of 64 bytes asked in
  uint32_t senseValid;
  const char* diagnostic;  // a part of the one line logged, or null when nothing is
};

TEST_F(SgRequestTest, JudgesWhatTheDriverHandsBack) {
  const JudgeRow rows[] = {
      {"good", {.fill = 0x5A}, true, true, 0, 0, 64, 0, nullptr},
      {"good status with sense said valid (driver sense)",
       {.driverStatus = 0x08, .sbLenWr = 18, .fill = 0x5A}, true, true, 0, 0, 64, 18, nullptr},
      {"short transfer: residual", {.resid = 16, .fill = 0x5A}, true, true, 0, 0, 48, 0, nullptr},
      {"residual beyond the length is no negative count", {.resid = 100}, true, true, 0, 0, 0, 0, nullptr},
      {"check condition: the sense length written, not the room given",
       {.status = 0x02, .driverStatus = 0x08, .resid = 64, .sbLenWr = 18}, false, true, 0, 0x02, 0, 18, nullptr},
      {"check condition with a short sense", {.status = 0x02, .driverStatus = 0x08, .resid = 64, .sbLenWr = 8},
       false, true, 0, 0x02, 0, 8, nullptr},
      {"host error (DID_ERROR)", {.hostStatus = 0x07, .resid = 64}, false, true, kOsErrorHostStatus | 0x07, 0, 0, 0,
       "host status"},
      {"device gone (DID_NO_CONNECT)", {.hostStatus = 0x01, .resid = 64}, false, true, kOsErrorHostStatus | 0x01, 0,
       0, 0, "host status"},
      {"driver time-out", {.driverStatus = 0x06, .resid = 64}, false, true, kOsErrorDriverStatus | 0x06, 0, 0, 0,
       "driver status 0x06"},
      {"the kernel refuses", {.ret = -1, .err = EPERM}, false, false, EPERM, 0, 0, 0, "(EPERM)"},
      {"the call fails", {.ret = -1, .err = EIO}, false, false, EIO, 0, 0, 0, "SG_IO failed"},
  };
  for (const JudgeRow& row : rows) {
    SCOPED_TRACE(row.name);
    g_reply = row.reply;
    CapturingDiagnostics diag;
    SgPassThrough sg(diag, FakeSgIo);
    const uint8_t cdb[16] = {0xFF, 0x04, 0x10};
    uint8_t data[64];
    std::memset(data, 0xEE, sizeof data);
    uint8_t sense[kMaxSenseLength];
    std::memset(sense, 0xCC, sizeof sense);
    ScsiRequest r;
    r.cdb = cdb;
    r.data = data;
    r.length = sizeof data;
    r.sense = sense;
    r.senseLength = kMaxSenseLength;
    const ScsiResult res = sg.Execute(node_, r);
    EXPECT_TRUE(res.opened);
    EXPECT_EQ(Succeeded(res), row.succeeded);
    EXPECT_EQ(res.ioctlOk, row.ioctlOk);
    EXPECT_EQ(res.osError, row.osError);
    EXPECT_EQ(res.scsiStatus, row.scsiStatus);
    EXPECT_EQ(res.transferred, row.transferred);
    EXPECT_EQ(res.senseValid, row.senseValid);
    for (uint32_t i = 0; i < res.senseValid; ++i) ASSERT_EQ(sense[i], 0x70 + i) << "sense byte " << i;
    if (row.ioctlOk) {
      EXPECT_EQ(res.hostStatus, row.reply.hostStatus);
      EXPECT_EQ(res.driverStatus, row.reply.driverStatus);
      // A data-in buffer holds what came, and zeros past it, never what was there before.
      for (uint32_t i = 0; i < sizeof data; ++i)
        ASSERT_EQ(data[i], i < row.transferred ? row.reply.fill : 0) << "data byte " << i;
    }
    if (row.diagnostic == nullptr) {
      EXPECT_TRUE(diag.lines.empty()) << diag.lines.front();
    } else {
      ASSERT_EQ(diag.lines.size(), 1u);
      EXPECT_NE(diag.lines[0].find(row.diagnostic), std::string::npos) << diag.lines[0];
    }
  }
}

TEST_F(SgRequestTest, WithoutASenseAreaNoneIsCounted) {
  g_reply = {.status = 0x02, .driverStatus = 0x08, .sbLenWr = 18};
  CapturingDiagnostics diag;
  SgPassThrough sg(diag, FakeSgIo);
  const uint8_t cdb[6] = {0x00};
  ScsiRequest r;
  r.cdb = cdb;
  const ScsiResult res = sg.Execute(node_, r);
  EXPECT_EQ(res.scsiStatus, 0x02);
  EXPECT_EQ(res.senseValid, 0u);
  EXPECT_FALSE(Succeeded(res));
}

}  // namespace
}  // namespace qvfw::platform::linux_os
