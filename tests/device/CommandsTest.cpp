// Every command of the bridge command set against the bytes the bridge expects: CDB, direction,
// data length on the wire and time-out.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "device/Commands.h"
#include "platform/CommandNames.h"
#include "support/RecordingPassThrough.h"

namespace qvfw::device {
namespace {

using testing::Good;
using testing::RecordingPassThrough;
using V = std::vector<uint8_t>;

struct CommandCase {
  const char* name;
  std::function<bool(const Device&)> call;  // its verdict is judged in SmallResults
  V cdb;
  bool dataIn;
  uint32_t wireLength;
  uint32_t timeout;
};

uint8_t g_buf[1024];
const uint8_t g_data[600] = {0x5A, 0xA5};

std::vector<CommandCase> Cases() {
  FlashDescriptor flash;
  flash.chipErase = 0x60;
  flash.blockErase = 0x52;
  flash.program = 0xAD;
  flash.sectorErase = 0x21;
  const uint8_t spiSeq[] = {0x04, 0x00, 0x02, 0x12, 0x34, 0x56};
  return {
      {"Inquiry", [](auto& d) { return Inquiry(d, {g_buf, 40}); }, {0x12, 0, 0, 0, 40, 0, 0, 0, 0, 0, 0, 0}, true, 40, 10},
      {"ReadChipInfo", [](auto& d) { return ReadChipInfo(d, {g_buf, 16}); }, {0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 16, 10},
      {"ReadChipInfoAlt", [](auto& d) { return ReadChipInfoAlt(d, {g_buf, 12}); }, {0xFE, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 12, 10},
      {"ReadChipModel", [](auto& d) { return ReadChipModel(d, {g_buf, 40}); }, {0xFF, 0x04, 0x30, 0x08, 0, 0, 0, 0, 0, 0, 0, 0}, true, 40, 10},
      {"ReadCapacity16", [](auto& d) { return ReadCapacity16(d, {g_buf, 16}); }, {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}, true, 16, 10},
      {"AtaIdentify", [](auto& d) { return AtaIdentify(d, {g_buf, 512}); }, {0xA1, 0x08, 0x0B, 0, 0, 0, 0, 0, 0x40, 0xEC, 0, 0}, true, 512, 10},
      {"AtaReadDmaExt", [](auto& d) { return AtaReadDmaExt(d, 0xA1B2C3D4E5F6ULL, {g_buf, 1024}, 512); },
       {0x85, 0x15, 0x0B, 0, 0, 0x00, 0x02, 0xC3, 0xF6, 0xB2, 0xE5, 0xA1, 0xD4, 0x60, 0x25, 0}, true, 1024, 10},
      {"AtaWriteDmaExt", [](auto& d) { return AtaWriteDmaExt(d, 0x010203040506ULL, {g_data, 512}, 512); },
       {0x85, 0x17, 0x03, 0, 0, 0x00, 0x01, 0x03, 0x06, 0x02, 0x05, 0x01, 0x04, 0x60, 0x35, 0}, false, 512, 50},
      {"ReadFlash", [](auto& d) { return ReadFlash(d, 0x123456, {g_buf, 256}); }, {0xFF, 0x04, 0x10, 0x12, 0x34, 0x56, 0, 0, 0, 0, 0, 0}, true, 256, 10},
      {"WriteFlash", [](auto& d) { return WriteFlash(d, 0x01F000, {g_data, 512}); }, {0xFF, 0x04, 0x11, 0x01, 0xF0, 0x00, 0, 0, 0, 0, 0, 0}, false, 512, 50},
      {"ReadFlashStatus", [](auto& d) { uint8_t s; return ReadFlashStatus(d, s); }, {0xFF, 0x04, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 2, 10},
      {"EraseFlashChip", [](auto& d) { return EraseFlashChip(d); }, {0xFF, 0x04, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, 0, 100},
      {"EraseFlashSector", [](auto& d) { return EraseFlashSector(d, 0x030000); }, {0xFF, 0x04, 0x14, 0x03, 0x00, 0x00, 0, 0, 0, 0, 0, 0}, false, 0, 50},
      {"ReadFlashId3 flag", [](auto& d) { return ReadFlashId3(d, 0x9F, true, {g_buf, 3}); }, {0xFF, 0x04, 0x15, 0x03, 0x9F, 0x03, 0, 0, 0, 0, 0, 0}, true, 3, 10},
      {"ReadFlashId3", [](auto& d) { return ReadFlashId3(d, 0xAB, false, {g_buf, 3}); }, {0xFF, 0x04, 0x15, 0x03, 0xAB, 0x00, 0, 0, 0, 0, 0, 0}, true, 3, 10},
      {"ReadFlashId4", [](auto& d) { return ReadFlashId4(d, 0x9F, false, {g_buf, 4}); }, {0xFF, 0x04, 0x15, 0x04, 0x9F, 0x00, 0, 0, 0, 0, 0, 0}, true, 4, 10},
      {"SetFlashOpcodes", [flash](auto& d) { return SetFlashOpcodes(d, flash, 32); }, {0xFF, 0x04, 0x0F, 0x60, 0x52, 0xAD, 0x21, 0x08, 0, 0, 0, 0}, false, 0, 50},
      {"SetFlashOpcodesWide", [flash](auto& d) { return SetFlashOpcodesWide(d, flash, 32); }, {0xFF, 0x04, 0x0F, 0x60, 0x52, 0xAD, 0x21, 0x00, 0x20, 0, 0, 0}, false, 0, 50},
      {"SpiCommand", [spiSeq](auto& d) { return SpiCommand(d, spiSeq); }, {0xFF, 0x04, 0x20, 0x04, 0x00, 0x02, 0x12, 0x34, 0x56, 0, 0, 0}, false, 0, 50},
      {"SpiCommand with data", [](auto& d) { const uint8_t s[] = {2, 0, 1, 0}, v[] = {1, 0}; return SpiCommand(d, s, v); },
       {0xFF, 0x04, 0x20, 0x02, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0}, false, 2, 50},
      {"SpiReadData", [](auto& d) { return SpiReadData(d, {g_buf, 0x104}); }, {0xFF, 0x04, 0x21, 0, 0, 0, 0, 0x01, 0x04, 0, 0, 0}, true, 0x104, 10},
      {"SpiReadData field 0", [](auto& d) { return SpiReadData(d, {g_buf, 4}, 0); }, {0xFF, 0x04, 0x21, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 4, 10},
      {"SpiWriteData", [](auto& d) { return SpiWriteData(d, {g_data, 256}); }, {0xFF, 0x04, 0x22, 0, 0, 0, 0, 0x01, 0x00, 0, 0, 0}, false, 256, 50},
      {"ReadFlashVendorCode", [](auto& d) { return ReadFlashVendorCode(d, {g_buf, 4}); }, {0xFF, 0x04, 0x23, 0x04, 0, 0, 0, 0, 0, 0, 0, 0}, true, 4, 10},
      {"PrepareFlashWrite", [](auto& d) { return PrepareFlashWrite(d); }, {0xFF, 0x04, 0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, 0, 50},
      {"ResetChip", [](auto& d) { return ResetChip(d); }, {0xFF, 0x04, 0x26, 0x51, 0x56, 0, 0, 0, 0, 0, 0, 0}, true, 0, 10},
      {"ReadBridgeParameters", [](auto& d) { return ReadBridgeParameters(d, {g_buf, 20}); }, {0xFF, 0x04, 0xA0, 20, 0, 0, 0, 0, 0, 0, 0, 0}, true, 20, 10},
      {"ReadFlashLong", [](auto& d) { return ReadFlashLong(d, 0x0A0B0C, {g_buf, 0x200}); }, {0xDF, 0x10, 0x00, 0x02, 0x00, 0, 0, 0, 0x0A, 0x0B, 0x0C, 0xFA}, true, 0x200, 10},
      {"WriteFlashLong mode 03", [](auto& d) { return WriteFlashLong(d, 0x03, 0, {g_data, 512}); }, {0xDF, 0x03, 0x00, 0x02, 0x00, 0, 0, 0, 0, 0, 0, 0xFB}, false, 512, 100},
      {"WriteFlashLong mode 7B sent as 03", [](auto& d) { return WriteFlashLong(d, 0x7B, 0x10000, {}); }, {0xDF, 0x03, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0xFB}, false, 0, 100},
      {"WriteFlashLong mode 83 (MXIC)", [](auto& d) { return WriteFlashLong(d, 0x83, 0, {g_data, 1}); }, {0xDF, 0x83, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0xFB}, false, 2, 50},
      {"WriteFlashLong mode 02", [](auto& d) { return WriteFlashLong(d, 0x02, 0x1000, {g_data, 16}); }, {0xDF, 0x02, 0, 0, 0x10, 0, 0, 0, 0x00, 0x10, 0x00, 0xFB}, false, 16, 50},
      {"WriteFlashLong mode 07", [](auto& d) { return WriteFlashLong(d, 0x07, 0, {}); }, {0xDF, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFB}, false, 0, 50},
      {"WriteFlashShort erase", [](auto& d) { return WriteFlashShort(d, true, 0x2000, {g_data, 0x100}); }, {0xDF, 0x01, 0x00, 0x01, 0x00, 0, 0, 0, 0x00, 0x20, 0x00, 0xFB}, false, 0x100, 50},
      {"WriteFlashShort", [](auto& d) { return WriteFlashShort(d, false, 0x2000, {g_data, 0x100}); }, {0xDF, 0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0x00, 0x20, 0x00, 0xFB}, false, 0x100, 50},
      {"PrepareFlashRetry", [](auto& d) { return PrepareFlashRetry(d); }, {0xDF, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFC}, true, 0, 10},
      {"ReadMemory", [](auto& d) { return ReadMemory(d, 0x506A, {g_buf, 4}); }, {0xDF, 0x10, 0x00, 0x00, 0x04, 0x00, 0x50, 0x6A, 0, 0, 0, 0xFD}, true, 4, 10},
      {"WriteMemory", [](auto& d) { return WriteMemory(d, 0x7038, {g_data, 1}); }, {0xDF, 0x00, 0x00, 0x00, 0x01, 0x00, 0x70, 0x38, 0, 0, 0, 0xFE}, false, 2, 50},
      {"WriteRamBuffer", [](auto& d) { return WriteRamBuffer(d, 0x64, 0x01, {g_data, 512}); }, {0xB2, 0, 0, 0, 0, 0x64, 0, 0, 0x01, 0, 0, 0}, false, 512, 50},
      {"ProgramFlashFromRam", [](auto& d) { return ProgramFlashFromRam(d, 0, 0x00012300, 256, 0xC900); }, {0xB3, 0x00, 0x00, 0x01, 0x23, 0x00, 0x01, 0x00, 0xC9, 0x00, 0xE5, 0x02}, true, 0, 10},
      {"EraseFlashRam mode 3", [](auto& d) { return EraseFlashRam(d, 0, 0, 3); }, {0xB4, 0, 0, 0, 0, 0, 0, 0, 0, 0x31, 0x00, 0x60}, true, 0, 10},
      {"EraseFlashRam mode 2", [](auto& d) { return EraseFlashRam(d, 0, 0x10000, 2); }, {0xB4, 0, 0, 0x01, 0, 0, 0, 0, 0, 0x31, 0x21, 0x52}, true, 0, 10},
      {"ReadRamBuffer", [](auto& d) { return ReadRamBuffer(d, 0x64, 0x01, {g_buf, 512}); }, {0xB5, 0, 0, 0, 0, 0x64, 0, 0, 0x01, 0, 0, 0}, true, 512, 10},
      {"ReadFlashToRam", [](auto& d) { return ReadFlashToRam(d, 0, 0x00000200, 512, 0xC800); }, {0xB6, 0, 0, 0, 0x02, 0x00, 0x02, 0x00, 0xC8, 0x00, 0, 0}, true, 0, 10},
      {"InquiryVpd C3", [](auto& d) { return InquiryVpd(d, 0xC3, {g_buf, 96}); }, {0x12, 0x01, 0xC3, 0x00, 96, 0x00}, true, 96, 10},
      {"InquiryVpd 80", [](auto& d) { return InquiryVpd(d, 0x80, {g_buf, 50}); }, {0x12, 0x01, 0x80, 0x00, 50, 0x00}, true, 50, 10},
      {"ModeSensePowerCondition", [](auto& d) { return ModeSensePowerCondition(d, {g_buf, 48}); }, {0x5A, 0x08, 0x1A, 0, 0, 0, 0, 0, 0x30, 0}, true, 48, 10},
      {"ModeSelectPowerCondition", [](auto& d) { return ModeSelectPowerCondition(d, 5); }, {0x55, 0x01, 0, 0, 0, 0, 0, 0, 0x30, 0}, false, 48, 50},
      {"SetBridgeIdentity", [](auto& d) { return SetBridgeIdentity(d, 0x284D, 0x0814, {g_data, 72}); }, {0xC3, 0x30, 0x00, 0x00, 0x28, 0x4D, 0x08, 0x14, 0x00, 0x48, 0, 0}, false, 72, 50},
      {"QV_ReadBuffer", [](auto& d) { return QV_ReadBuffer(d, 0x02, 0x01, 0x000600, g_buf, 0x200); }, {0x3C, 0x02, 0x01, 0x00, 0x06, 0x00, 0x00, 0x02, 0x00, 0}, true, 0x200, 10},
      {"QV_WriteBuffer", [](auto& d) { return QV_WriteBuffer(d, 0x00, 0x0E, g_data, 0x010000, 0x200); }, {0x3B, 0x0E, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0}, false, 0x200, 10},
      {"QV_WriteBuffer activate", [](auto& d) { return QV_WriteBuffer(d, 0x05, 0x0F, g_data, 0x123456, 0x10); }, {0x3B, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0}, false, 0x10, 10},
      {"SupportsReadBuffer", [](auto& d) { return SupportsReadBuffer(d); }, {0x3C, 0x03, 0x00, 0, 0, 0, 0, 0, 4, 0}, true, 4, 10},
      {"CheckMemoryFDB0", [](auto& d) { return CheckMemoryFDB0(d); }, {0xDF, 0x10, 0x00, 0x00, 0x04, 0x00, 0xFD, 0xB0, 0, 0, 0, 0xFD}, true, 4, 10},
      {"ReservedAreaFlag", [](auto& d) { return ReservedAreaFlag(d); }, {0xFF, 0x04, 0xA0, 18, 0, 0, 0, 0, 0, 0, 0, 0}, true, 18, 10},
  };
}

TEST(CommandSet, EveryCommandSendsItsBytes) {
  for (const CommandCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    RecordingPassThrough rec;
    platform::NullDiagnostics diag;
    Transport t(rec, diag);
    Device dev(t, "/dev/sg7");
    c.call(dev);
    ASSERT_EQ(rec.requests.size(), 1u);
    const auto& r = rec.requests[0];
    EXPECT_EQ(r.path, "/dev/sg7");
    EXPECT_EQ(r.cdb, c.cdb);
    EXPECT_EQ(r.dataIn, c.dataIn);
    EXPECT_EQ(r.length, c.wireLength);
    EXPECT_EQ(r.hasData, c.wireLength != 0);
    EXPECT_EQ(r.timeoutSeconds, c.timeout);
  }
}

// Recordings and replay reports name a request by the function that builds it, from its bytes.
TEST(CommandSet, RecordingsNameEachCommandByItsFunction) {
  const std::map<std::string, std::string> otherwise = {
      {"SetFlashOpcodesWide", "SetFlashOpcodes"},
      {"WriteFlashShort", "WriteFlashLong or WriteFlashShort"},  // the same bytes as a long write
      {"SupportsReadBuffer", "QV_ReadBuffer"},
      {"CheckMemoryFDB0", "ReadMemory"},
      {"ReservedAreaFlag", "ReadBridgeParameters"},
  };
  for (const CommandCase& c : Cases()) {
    const std::string function = std::string(c.name).substr(0, std::string(c.name).find(' '));
    const auto other = otherwise.find(function);
    EXPECT_EQ(platform::CommandName(c.cdb), other == otherwise.end() ? function : other->second) << c.name;
  }
}

TEST(CommandSet, DataOutCarriesTheCallersBytes) {
  RecordingPassThrough rec;
  platform::NullDiagnostics diag;
  Transport t(rec, diag);
  Device dev(t, "p");
  const uint8_t page[4] = {1, 2, 3, 4};
  ASSERT_TRUE(WriteFlash(dev, 0, page));
  EXPECT_EQ(rec.requests[0].dataOut, (V{1, 2, 3, 4}));
}

TEST(CommandSet, PowerConditionPageCarriesTheStandbyTimer) {
  RecordingPassThrough rec;
  platform::NullDiagnostics diag;
  Transport t(rec, diag);
  Device dev(t, "p");
  ASSERT_TRUE(ModeSelectPowerCondition(dev, 5));
  ASSERT_TRUE(ModeSelectPowerCondition(dev, 0));
  V on(48, 0), off(48, 0);
  on[8] = off[8] = 0x1A;
  on[9] = off[9] = 0x26;
  on[11] = 1;
  on[18] = 0x0B;  // 5 minutes = 3000 x 100 ms = 0x0BB8
  on[19] = 0xB8;
  EXPECT_EQ(rec.requests[0].dataOut, on);
  EXPECT_EQ(rec.requests[1].dataOut, off);
}

TEST(CommandSetDeath, ChipModelShorterThanEightIsAProgrammingError) {
  RecordingPassThrough rec;
  platform::NullDiagnostics diag;
  Transport t(rec, diag);
  Device dev(t, "p");
  uint8_t small[7];
  EXPECT_DEATH(ReadChipModel(dev, small), "length >= 0x08.*IDEAccess");
}

// The small result functions judge reply bytes; each case is one reply and the value it gives.
struct ResultCase {
  const char* name;
  V reply;
  bool succeed;
  std::function<uint64_t(const Device&)> call;
  uint64_t expected;
};

V Identify(std::initializer_list<std::pair<int, uint16_t>> words) {
  V id(512, 0);
  for (auto [w, v] : words) {
    id[2 * w] = static_cast<uint8_t>(v);
    id[2 * w + 1] = static_cast<uint8_t>(v >> 8);
  }
  return id;
}

TEST(CommandSet, SmallResults) {
  const std::vector<ResultCase> cases = {
      {"reserved area set", {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1}, true, [](auto& d) { return ReservedAreaFlag(d); }, 1},
      {"reserved area byte 17 = 2", {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 2}, true, [](auto& d) { return ReservedAreaFlag(d); }, 0},
      {"reserved area byte 8 = 0", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, true, [](auto& d) { return ReservedAreaFlag(d); }, 0},
      {"reserved area command fails", {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1}, false, [](auto& d) { return ReservedAreaFlag(d); }, 0},
      {"parameter byte 8", {0, 0, 0, 0, 0, 0, 0, 0, 0x42, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, [](auto& d) { return ReadBridgeParameterByte8(d, 18); }, 0x42},
      {"parameter byte 19", [] { V v(20, 0); v[19] = 0x77; return v; }(), true, [](auto& d) { return ReadBridgeParameterByte19(d, 20); }, 0x77},
      {"parameter byte 8 fails", V(18, 0x42), false, [](auto& d) { return ReadBridgeParameterByte8(d, 18); }, 0},
      {"505E set", {0xAA, 0x00, 0x01, 0xBB}, true, [](auto& d) { return CheckMemoryFlag505E(d); }, 1},
      {"505E clear", {0x00, 0x01, 0x00, 0x00}, true, [](auto& d) { return CheckMemoryFlag505E(d); }, 0},
      {"FDB0 B4", {0x00, 0xB4}, true, [](auto& d) { return CheckMemoryFDB0(d); }, 1},
      {"FDB0 B3", {0x00, 0xB3}, true, [](auto& d) { return CheckMemoryFDB0(d); }, 0},
      {"FDB0 fails", {0x00, 0xFF}, false, [](auto& d) { return CheckMemoryFDB0(d); }, 0},
      {"chip info 02 00", {0xF4, 0xE7, 0, 0, 0, 0, 0x02, 0x00}, true, [](auto& d) { return IsChipInfoMode0200(d); }, 1},
      {"chip info 02 01", {0xF4, 0xE7, 0, 0, 0, 0, 0x02, 0x01}, true, [](auto& d) { return IsChipInfoMode0200(d); }, 0},
      {"last LBA", {0, 0, 0, 0x01, 0x23, 0x45, 0x67, 0x89, 0, 0, 2, 0}, true, [](auto& d) { return GetLastLba(d); }, 0x0123456789ULL},
      {"last LBA fails", {0, 0, 0, 0x01}, false, [](auto& d) { return GetLastLba(d); }, 0},
      {"28-bit count", Identify({{60, 0x5678}, {61, 0x0123}}), true, [](auto& d) { return GetDiskSectorCount(d); }, 0x01235678},
      {"48-bit count", Identify({{60, 0xFFFF}, {61, 0x0FFF}, {100, 0x1111}, {101, 0x2222}, {102, 0x0003}}), true,
       [](auto& d) { return GetDiskSectorCount(d); }, 0x000322221111ULL},
      {"count fails", Identify({{60, 1}}), false, [](auto& d) { return GetDiskSectorCount(d); }, 0},
      {"4K logical sectors 0x6000", Identify({{106, 0x6000}, {117, 0x0800}}), true, [](auto& d) { return GetLogicalSectorSize(d); }, 4096},
      {"4K logical sectors 0x5000", Identify({{106, 0x5000}, {117, 0x0000}, {118, 0x0001}}), true, [](auto& d) { return GetLogicalSectorSize(d); }, 0x20000},
      {"no long-sector words", Identify({{106, 0x4000}, {117, 0x0800}}), true, [](auto& d) { return GetLogicalSectorSize(d); }, 512},
      {"sector size fails", Identify({{106, 0x6000}, {117, 0x0800}}), false, [](auto& d) { return GetLogicalSectorSize(d); }, 512},
  };
  for (const ResultCase& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingPassThrough rec;
    rec.SetResponder([&](const testing::RecordedRequest&) {
      testing::Reply r = testing::Good(c.reply);
      if (!c.succeed) r.result.scsiStatus = 0x02;
      return r;
    });
    platform::NullDiagnostics diag;
    Transport t(rec, diag);
    Device dev(t, "p");
    EXPECT_EQ(c.call(dev), c.expected);
  }
}

}  // namespace
}  // namespace qvfw::device
