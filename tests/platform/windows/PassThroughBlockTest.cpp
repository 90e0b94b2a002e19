// The window platform's pass-through request: a request in, the bytes of the
// SCSI_PASS_THROUGH_DIRECT block out, for the 32-bit layout and the 64-bit one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/windows/PassThroughBlock.h"

namespace qvfw::platform::windows_os {
namespace {

std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

std::string HexOf(const uint8_t* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
    s += b;
  }
  return s;
}

uint32_t Le32(const PassThroughBlock& b, size_t at) {
  return b.bytes[at] | b.bytes[at + 1] << 8 | b.bytes[at + 2] << 16 | static_cast<uint32_t>(b.bytes[at + 3]) << 24;
}

constexpr uint64_t kAddress = 0x00C0FFEE;

struct Row {
  const char* name;
  std::vector<uint8_t> cdb;
  bool dataIn;
  uint32_t length;
  uint32_t timeout;
  uint32_t senseLength;
};

std::vector<Row> Rows() {
  return {
      {"inquiry6_in", {0x12, 0, 0, 0, 0x28, 0}, true, 40, 10, 0},
      {"readbuffer10_in_sense", {0x3C, 0x02, 0x01, 0, 0, 0, 0, 0x10, 0, 0}, true, 4096, 10, 32},
      {"writebuffer10_out_sense", {0x3B, 0x05, 0x01, 0, 0, 0, 0, 0x10, 0, 0}, false, 4096, 10, 32},
      {"vendor12_in", {0xDF, 0x10, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0xFF}, true, 2, 10, 0},
      {"chiperase12_none", {0xFF, 0x04, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, 0, 100, 0},
      {"write12_out", {0xDF, 0x01, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0xFB}, false, 4096, 50, 0},
      {"ata16_in", {0x85, 0x08, 0x0E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0}, true, 512, 10, 0},
      {"none16_in_sense", {0x85, 0x06, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0}, true, 0, 10, 32},
  };
}

PassThroughBlock Build(const Row& row, WordSize w, uint8_t* sense) {
  ScsiRequest r;
  r.cdb = row.cdb;
  r.dataIn = row.dataIn;
  static uint8_t data[4096];
  r.data = row.length ? data : nullptr;
  r.length = row.length;
  r.timeoutSeconds = row.timeout;
  r.sense = row.senseLength ? sense : nullptr;
  r.senseLength = row.senseLength;
  return BuildPassThroughBlock(r, kAddress, w);
}

TEST(PassThroughBlock, EveryRowFillsTheFieldsOfBothWordSizes) {
  for (const Row& row : Rows()) {
    for (WordSize w : {WordSize::Bits32, WordSize::Bits64}) {
      SCOPED_TRACE(std::string(row.name) + (w == WordSize::Bits64 ? " 64-bit" : " 32-bit"));
      const SptdLayout& layout = LayoutOf(w);
      uint8_t sense[32];
      const PassThroughBlock b = Build(row, w, sense);
      const PassThroughFields f = ReadPassThroughFields(b);
      EXPECT_EQ(f.length, layout.structSize);
      EXPECT_EQ(f.scsiStatus, 0);
      EXPECT_EQ(f.pathId, 0);
      EXPECT_EQ(f.targetId, 1);
      EXPECT_EQ(f.lun, 0);
      EXPECT_EQ(f.cdbLength, row.cdb.size());
      EXPECT_EQ(f.senseInfoLength, row.senseLength);
      EXPECT_EQ(f.dataIn, row.dataIn ? 1 : 0);
      EXPECT_EQ(f.dataTransferLength, row.length);
      EXPECT_EQ(f.timeOutValue, row.timeout);
      EXPECT_EQ(f.dataBuffer, row.length ? kAddress : 0u);
      EXPECT_EQ(f.senseInfoOffset, layout.senseArea);
      for (size_t i = 0; i < 16; ++i) EXPECT_EQ(f.cdb[i], i < row.cdb.size() ? row.cdb[i] : 0) << "CDB byte " << i;
      EXPECT_EQ(b.ioctlSize, row.senseLength ? layout.blockSize : layout.structSize);
      // Nothing is written beyond what is handed to the system.
      for (size_t i = b.ioctlSize; i < b.bytes.size(); ++i) EXPECT_EQ(b.bytes[i], 0) << "byte " << i;
    }
  }
}

TEST(PassThroughBlock, BothWordSizesCarryTheSameBytesAroundThePointer) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    uint8_t sense[32];
    const PassThroughBlock b32 = Build(row, WordSize::Bits32, sense);
    const PassThroughBlock b64 = Build(row, WordSize::Bits64, sense);
    // Length (the structure's size) is the first field that depends on the word size...
    EXPECT_EQ(b32.bytes[0] | b32.bytes[1] << 8, 44);
    EXPECT_EQ(b64.bytes[0] | b64.bytes[1] << 8, 56);
    // ...then bytes 2..19 are the same, from ScsiStatus to TimeOutValue,
    EXPECT_EQ(HexOf(&b32.bytes[2], 18), HexOf(&b64.bytes[2], 18));
    // the pointer is 4 bytes at 20 or 8 at 24 (an 8-byte field after 4 bytes of padding),
    EXPECT_EQ(Le32(b32, 20), row.length ? kAddress : 0u);
    EXPECT_EQ(Le32(b64, 20), 0u);
    EXPECT_EQ(Le32(b64, 24), row.length ? kAddress : 0u);
    EXPECT_EQ(Le32(b64, 28), 0u);
    // SenseInfoOffset names each layout's sense area,
    EXPECT_EQ(Le32(b32, 24), 48u);
    EXPECT_EQ(Le32(b64, 32), 60u);
    // and the 16 CDB bytes are the same.
    EXPECT_EQ(HexOf(&b32.bytes[28], 16), HexOf(&b64.bytes[36], 16));
  }
}

// The request table spelt out byte by byte for the 32-bit program.
TEST(PassThroughBlock, ThirtyTwoBitBlocksAreThePartsBytes) {
  uint8_t sense[32];
  const std::vector<Row> rows = Rows();
  // A plain data-in request: 44 bytes, no sense.
  const PassThroughBlock in = Build(rows[3], WordSize::Bits32, sense);
  EXPECT_EQ(HexOf(in.bytes.data(), in.ioctlSize),
            HexOf(Hex("2C 00 00 00 01 00 0C 00 01 00 00 00 02 00 00 00 0A 00 00 00 EE FF C0 00 30 00 00 00"
                      " DF 10 00 00 02 00 00 00 00 00 00 FF 00 00 00 00")
                      .data(),
                  44));
  // The whole-chip erase: data-out without data, null buffer, 100 s.
  const PassThroughBlock erase = Build(rows[4], WordSize::Bits32, sense);
  EXPECT_EQ(HexOf(erase.bytes.data(), erase.ioctlSize),
            HexOf(Hex("2C 00 00 00 01 00 0C 00 00 00 00 00 00 00 00 00 64 00 00 00 00 00 00 00 30 00 00 00"
                      " FF 04 13 00 00 00 00 00 00 00 00 00 00 00 00 00")
                      .data(),
                  44));
  // WRITE BUFFER with sense: 80 bytes, SenseInfoLength 32, sense area zero.
  const PassThroughBlock wb = Build(rows[2], WordSize::Bits32, sense);
  std::vector<uint8_t> expected =
      Hex("2C 00 00 00 01 00 0A 20 00 00 00 00 00 10 00 00 0A 00 00 00 EE FF C0 00 30 00 00 00"
          " 3B 05 01 00 00 00 00 10 00 00 00 00 00 00 00 00");
  expected.resize(80, 0);
  EXPECT_EQ(HexOf(wb.bytes.data(), wb.ioctlSize), HexOf(expected.data(), 80));
}

TEST(PassThroughBlock, SixtyFourBitBlockOfASenseRequest) {
  uint8_t sense[32];
  const PassThroughBlock b = Build(Rows()[1], WordSize::Bits64, sense);
  std::vector<uint8_t> expected =
      Hex("38 00 00 00 01 00 0A 20 01 00 00 00 00 10 00 00 0A 00 00 00 00 00 00 00 EE FF C0 00 00 00 00 00"
          " 3C 00 00 00 3C 02 01 00 00 00 00 10 00 00 00 00 00 00 00 00");
  expected.resize(96, 0);
  EXPECT_EQ(HexOf(b.bytes.data(), b.ioctlSize), HexOf(expected.data(), 96));
}

TEST(PassThroughBlock, TimeOutGoesInSecondsAsGiven) {
  for (uint32_t seconds : {10u, 50u, 100u}) {
    for (WordSize w : {WordSize::Bits32, WordSize::Bits64}) {
      Row row = Rows()[5];
      row.timeout = seconds;
      uint8_t sense[32];
      EXPECT_EQ(Le32(Build(row, w, sense), 16), seconds);
    }
  }
}

TEST(PassThroughBlock, DirectionFlagFollowsTheOperationAlsoWithoutData) {
  const uint8_t cdb[12] = {0xDF, 0x05};
  for (bool dataIn : {true, false}) {
    for (uint32_t length : {0u, 1u, 512u}) {
      uint8_t data[512];
      ScsiRequest r;
      r.cdb = cdb;
      r.dataIn = dataIn;
      r.data = length ? data : nullptr;
      r.length = length;
      const PassThroughBlock b = BuildPassThroughBlock(r, kAddress, WordSize::Bits32);
      EXPECT_EQ(b.bytes[8], dataIn ? 1 : 0) << "length " << length;
    }
  }
}

TEST(PassThroughBlock, SenseAreaWithoutDestinationIsNotAsked) {
  const uint8_t cdb[10] = {0x3C};
  ScsiRequest r;
  r.cdb = cdb;
  r.senseLength = 32;  // a length but nowhere to put the bytes
  const PassThroughBlock b = BuildPassThroughBlock(r, 0, WordSize::Bits32);
  EXPECT_EQ(b.bytes[7], 0);
  EXPECT_EQ(b.ioctlSize, 44u);
}

struct Outcome {
  const char* name;
  bool ioctlOk;
  uint32_t lastError;
  uint8_t status;
  bool succeeded;
};

TEST(FinishPassThrough, SucceedsOnlyWhenCallErrorAndStatusAllSaySo) {
  const Outcome outcomes[] = {
      {"good", true, 0, 0x00, true},
      {"ioctl failed", false, 31, 0x00, false},
      {"stale last error", true, 122, 0x00, false},
      {"check condition", true, 0, 0x02, false},
      {"busy", true, 0, 0x08, false},
  };
  for (const Outcome& o : outcomes) {
    for (WordSize w : {WordSize::Bits32, WordSize::Bits64}) {
      SCOPED_TRACE(o.name);
      const uint8_t cdb[10] = {0x3C, 0x02};
      uint8_t data[64];
      uint8_t sense[32];
      std::fill(std::begin(sense), std::end(sense), 0xEE);
      ScsiRequest r;
      r.cdb = cdb;
      r.data = data;
      r.length = 64;
      r.sense = sense;
      r.senseLength = 32;
      PassThroughBlock b = BuildPassThroughBlock(r, kAddress, w);
      // What a driver leaves: status, the bytes moved, the sense bytes it returned.
      b.bytes[2] = o.status;
      b.bytes[7] = 18;
      b.bytes[12] = 40;
      b.bytes[13] = 0;
      const size_t senseAt = LayoutOf(w).senseArea;
      b.bytes[senseAt] = 0x70;
      b.bytes[senseAt + 2] = 0x02;
      b.bytes[senseAt + 12] = 0x04;
      b.bytes[senseAt + 13] = 0x01;
      const ScsiResult res = FinishPassThrough(b, r, o.ioctlOk, o.lastError);
      EXPECT_TRUE(res.opened);
      EXPECT_EQ(res.ioctlOk, o.ioctlOk);
      EXPECT_EQ(res.osError, o.lastError);
      EXPECT_EQ(Succeeded(res), o.succeeded);
      EXPECT_EQ(res.scsiStatus, o.ioctlOk ? o.status : 0);
      EXPECT_EQ(res.transferred, o.ioctlOk ? 40u : 0u);
      EXPECT_EQ(res.senseValid, o.ioctlOk ? 18u : 0u);
      // The sense area reaches the caller whatever the outcome.
      EXPECT_EQ(sense[0], 0x70);
      EXPECT_EQ(sense[2], 0x02);
      EXPECT_EQ(sense[12], 0x04);
      EXPECT_EQ(sense[13], 0x01);
      EXPECT_EQ(sense[31], 0x00);
    }
  }
}

TEST(FinishPassThrough, NeverReportsMoreThanWasAsked) {
  const uint8_t cdb[12] = {0xDF};
  uint8_t data[2];
  ScsiRequest r;
  r.cdb = cdb;
  r.data = data;
  r.length = 2;
  PassThroughBlock b = BuildPassThroughBlock(r, kAddress, WordSize::Bits64);
  b.bytes[12] = 0xFF;
  EXPECT_EQ(FinishPassThrough(b, r, true, 0).transferred, 2u);
  EXPECT_EQ(FinishPassThrough(b, r, true, 0).senseValid, 0u);
}

TEST(NeedsAlignedBounce, FollowsTheAdaptersMask) {
  EXPECT_FALSE(NeedsAlignedBounce(0x1001, 0));
  EXPECT_FALSE(NeedsAlignedBounce(0x1000, 0x1FF));
  EXPECT_TRUE(NeedsAlignedBounce(0x1004, 0x7));
  EXPECT_FALSE(NeedsAlignedBounce(0x1008, 0x7));
  EXPECT_TRUE(NeedsAlignedBounce(0x2001, 0x1));
}

}  // namespace
}  // namespace qvfw::platform::windows_os
