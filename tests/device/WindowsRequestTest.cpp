// The transport's four operations as the window platform sends them: each request the transport
// makes becomes the 32-bit SCSI_PASS_THROUGH_DIRECT block, and the block's fields are what the
// operation promises (length rule, direction flag, time-out in seconds, sense area, null buffer).
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "device/Transport.h"
#include "platform/windows/PassThroughBlock.h"

namespace qvfw::device {
namespace {

using platform::windows_os::BuildPassThroughBlock;
using platform::windows_os::PassThroughBlock;
using platform::windows_os::PassThroughFields;
using platform::windows_os::ReadPassThroughFields;
using platform::windows_os::WordSize;

// Builds the block of every request and answers GOOD.
class BlockRecorder final : public platform::PassThrough {
 public:
  platform::ScsiResult Execute(std::string_view, const platform::ScsiRequest& request) override {
    block = BuildPassThroughBlock(request, request.length ? 0x10000 : 0, WordSize::Bits32);
    platform::ScsiResult r;
    r.opened = r.ioctlOk = true;
    r.transferred = request.length;
    return r;
  }
  std::optional<PassThroughBlock> block;
};

enum class Op { In, Out, InSense, OutSense };

struct Row {
  const char* name;
  Op op;
  std::vector<uint8_t> cdb;
  uint32_t length;
  // What the block must carry.
  uint8_t dataIn;
  uint32_t wireLength;
  uint32_t timeout;
  uint8_t senseInfoLength;
  uint32_t ioctlSize;
};

TEST(WindowsRequest, EveryOperationBuildsTheBlockItPromises) {
  const std::vector<uint8_t> inquiry = {0x12, 0, 0, 0, 0x28, 0};
  const std::vector<uint8_t> vendorRead = {0xDF, 0x10, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0xFF};
  const std::vector<uint8_t> chipErase = {0xFF, 0x04, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const std::vector<uint8_t> eraseWrite = {0xDF, 0x03, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0xFB};
  const std::vector<uint8_t> write = {0xDF, 0x01, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0xFB};
  const std::vector<uint8_t> readBuffer = {0x3C, 0x02, 0x01, 0, 0, 0, 0, 0x10, 0, 0};
  const std::vector<uint8_t> writeBuffer = {0x3B, 0x05, 0x01, 0, 0, 0, 0, 0x10, 0, 0};
  const std::vector<uint8_t> ata = {0x85, 0x08, 0x0E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0};
  const Row rows[] = {
      {"inquiry", Op::In, inquiry, 40, 1, 40, 10, 0, 44},
      {"1-byte read goes as 2", Op::In, vendorRead, 1, 1, 2, 10, 0, 44},
      {"read without data", Op::In, vendorRead, 0, 1, 0, 10, 0, 44},
      {"chip erase without data", Op::Out, chipErase, 0, 0, 0, 100, 0, 44},
      {"erase-mode write", Op::Out, eraseWrite, 4096, 0, 4096, 100, 0, 44},
      {"plain write", Op::Out, write, 4096, 0, 4096, 50, 0, 44},
      {"1-byte write goes as 2", Op::Out, write, 1, 0, 2, 50, 0, 44},
      {"read buffer with sense", Op::InSense, readBuffer, 4096, 1, 4096, 10, 32, 80},
      {"write buffer with sense", Op::OutSense, writeBuffer, 4096, 0, 4096, 10, 32, 80},
      {"ATA 16 in with sense", Op::InSense, ata, 512, 1, 512, 10, 32, 80},
      {"1-byte sense read", Op::InSense, readBuffer, 1, 1, 2, 10, 32, 80},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    BlockRecorder rec;
    platform::NullDiagnostics diag;
    Transport t(rec, diag);
    std::vector<uint8_t> data(4096, 0x5A);
    uint8_t sense[18] = {};
    uint32_t got = 0;
    bool ok = false;
    switch (row.op) {
      case Op::In: ok = t.PassThroughIn("d", row.cdb, data.data(), row.length, &got); break;
      case Op::Out: ok = t.PassThroughOut("d", row.cdb, row.length ? data.data() : nullptr, row.length, &got); break;
      case Op::InSense: ok = t.PassThroughInSense("d", row.cdb, data.data(), row.length, &got, sense, 18); break;
      case Op::OutSense: ok = t.PassThroughOutSense("d", row.cdb, data.data(), row.length, &got, sense, 18); break;
    }
    EXPECT_TRUE(ok);
    ASSERT_TRUE(rec.block);
    const PassThroughFields f = ReadPassThroughFields(*rec.block);
    EXPECT_EQ(f.length, 44);
    EXPECT_EQ(f.targetId, 1);
    EXPECT_EQ(f.cdbLength, row.cdb.size());
    EXPECT_EQ(f.dataIn, row.dataIn);
    EXPECT_EQ(f.dataTransferLength, row.wireLength);
    EXPECT_EQ(f.dataBuffer, row.wireLength ? 0x10000u : 0u);
    EXPECT_EQ(f.timeOutValue, row.timeout);
    EXPECT_EQ(f.senseInfoLength, row.senseInfoLength);
    EXPECT_EQ(f.senseInfoOffset, 48u);
    EXPECT_EQ(rec.block->ioctlSize, row.ioctlSize);
    EXPECT_TRUE(std::equal(row.cdb.begin(), row.cdb.end(), f.cdb.begin()));
  }
}

}  // namespace
}  // namespace qvfw::device
