#include "device/Commands.h"

#include <algorithm>
#include <array>

#include "device/HostMistakes.h"
#include "platform/Assert.h"

namespace qvfw::device {
namespace {

using Cdb12 = std::array<uint8_t, 12>;
using Cdb16 = std::array<uint8_t, 16>;

constexpr uint8_t B(uint32_t v, int shift) { return static_cast<uint8_t>(v >> shift); }

uint32_t Len(std::span<const uint8_t> s) {
  QV_ASSERT(s.size() <= 0xFFFFFFFFu, "IDEAccess");
  return static_cast<uint32_t>(s.size());
}

template <size_t N>
bool In(const Device& dev, const std::array<uint8_t, N>& cdb, Bytes out, uint32_t* transferred = nullptr) {
  return dev.transport().PassThroughIn(dev.path(), cdb, out.data(), Len(out), transferred);
}

// A read of stored content (flash, RAM buffer, disk sectors) counts only when every byte came: a
// short transfer leaves zeros in the rest, which would otherwise be kept as the device's content
// (in a recovery copy, an NVRAM backup or a verify).
template <size_t N>
bool InWhole(const Device& dev, const std::array<uint8_t, N>& cdb, Bytes out) {
  uint32_t transferred = 0;
  return In(dev, cdb, out, &transferred) && transferred == Len(out);
}

template <size_t N>
bool Out(const Device& dev, const std::array<uint8_t, N>& cdb, ConstBytes in = {}) {
  return dev.transport().PassThroughOut(dev.path(), cdb, in.data(), Len(in), nullptr);
}

Cdb12 Ff04(uint8_t op) { return {0xFF, 0x04, op}; }

Cdb12 Ff04Addr(uint8_t op, uint32_t a) { return {0xFF, 0x04, op, B(a, 16), B(a, 8), B(a, 0)}; }

Cdb16 AtaDmaExt(uint8_t protocol, uint8_t flags, uint8_t command, uint64_t lba, uint32_t bytes, uint32_t sectorSize) {
  QV_ASSERT(sectorSize != 0, "IDEAccess");
  const uint32_t count = bytes / sectorSize;
  auto l = [&](int i) { return static_cast<uint8_t>(lba >> (8 * i)); };
  return {0x85, protocol, flags, 0x00, 0x00, B(count, 8), B(count, 0), l(3), l(0), l(4), l(1), l(5), l(2), 0x60,
          command, 0x00};
}

uint16_t Word(const uint8_t* identify, int index) {
  return static_cast<uint16_t>(identify[2 * index] | identify[2 * index + 1] << 8);
}

}  // namespace

bool Inquiry(const Device& dev, Bytes out) {
  return In(dev, Cdb12{0x12, 0x00, 0x00, 0x00, static_cast<uint8_t>(out.size())}, out);
}

bool ReadChipInfo(const Device& dev, Bytes out, uint32_t* transferred) {
  return In(dev, Cdb12{0xE0, 0xF4, 0xE7}, out, transferred);
}

bool ReadChipInfoAlt(const Device& dev, Bytes out, uint32_t* transferred) {
  return In(dev, Cdb12{0xFE, 0xF4, 0xE7}, out, transferred);
}

bool ReadChipModel(const Device& dev, Bytes out) {
  const size_t length = out.size();
  QV_ASSERT(length >= 0x08, "IDEAccess");
  return In(dev, Cdb12{0xFF, 0x04, 0x30, 0x08}, out);
}

bool ReadCapacity16(const Device& dev, Bytes out) {
  Cdb16 cdb{0x9E, 0x10};
  cdb[13] = static_cast<uint8_t>(out.size());
  return In(dev, cdb, out);
}

bool AtaIdentify(const Device& dev, Bytes out) {
  return In(dev, Cdb12{0xA1, 0x08, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0xEC}, out);
}

bool AtaReadDmaExt(const Device& dev, uint64_t lba, Bytes out, uint32_t sectorSize) {
  return InWhole(dev, AtaDmaExt(0x15, 0x0B, 0x25, lba, Len(out), sectorSize), out);
}

bool AtaWriteDmaExt(const Device& dev, uint64_t lba, ConstBytes in, uint32_t sectorSize) {
  return Out(dev, AtaDmaExt(0x17, 0x03, 0x35, lba, Len(in), sectorSize), in);
}

bool ReadFlash(const Device& dev, uint32_t address, Bytes out) { return InWhole(dev, Ff04Addr(0x10, address), out); }

bool WriteFlash(const Device& dev, uint32_t address, ConstBytes in) { return Out(dev, Ff04Addr(0x11, address), in); }

bool ReadFlashStatus(const Device& dev, uint8_t& status) { return In(dev, Ff04(0x12), {&status, 1}); }

bool EraseFlashChip(const Device& dev) { return Out(dev, Ff04(0x13)); }

bool EraseFlashSector(const Device& dev, uint32_t address) { return Out(dev, Ff04Addr(0x14, address)); }

bool ReadFlashId3(const Device& dev, uint8_t opcode, bool flag, Bytes out) {
  return In(dev, Cdb12{0xFF, 0x04, 0x15, 0x03, opcode, static_cast<uint8_t>(flag ? 0x03 : 0x00)}, out);
}

bool ReadFlashId4(const Device& dev, uint8_t opcode, bool flag, Bytes out) {
  return In(dev, Cdb12{0xFF, 0x04, 0x15, 0x04, opcode, static_cast<uint8_t>(flag ? 0x03 : 0x00)}, out);
}

bool SetFlashOpcodes(const Device& dev, const FlashDescriptor& f, uint32_t parameter) {
  return Out(dev, Cdb12{0xFF, 0x04, 0x0F, f.chipErase, f.blockErase, f.program, f.sectorErase,
                        static_cast<uint8_t>(parameter / 4)});
}

bool SetFlashOpcodesWide(const Device& dev, const FlashDescriptor& f, uint16_t parameter) {
  return Out(dev, Cdb12{0xFF, 0x04, 0x0F, f.chipErase, f.blockErase, f.program, f.sectorErase, B(parameter, 8),
                        B(parameter, 0)});
}

bool SpiCommand(const Device& dev, ConstBytes sequence, ConstBytes data) {
  QV_ASSERT(sequence.size() <= 9, "IDEAccess");
  Cdb12 cdb = Ff04(0x20);
  std::copy(sequence.begin(), sequence.end(), cdb.begin() + 3);
  return Out(dev, cdb, data);
}

bool SpiReadData(const Device& dev, Bytes out, uint16_t lengthField) {
  return In(dev, Cdb12{0xFF, 0x04, 0x21, 0, 0, 0, 0, B(lengthField, 8), B(lengthField, 0)}, out);
}

bool SpiReadData(const Device& dev, Bytes out) { return SpiReadData(dev, out, static_cast<uint16_t>(out.size())); }

bool SpiWriteData(const Device& dev, ConstBytes in) {
  const auto n = static_cast<uint16_t>(in.size());
  return Out(dev, Cdb12{0xFF, 0x04, 0x22, 0, 0, 0, 0, B(n, 8), B(n, 0)}, in);
}

bool ReadFlashVendorCode(const Device& dev, Bytes out) { return In(dev, Cdb12{0xFF, 0x04, 0x23, 0x04}, out); }

bool PrepareFlashWrite(const Device& dev) {
  if (Makes(HostMistake::NoPrepareFlashWrite)) return true;
  return Out(dev, Ff04(0x25));
}

bool ResetChip(const Device& dev) { return In(dev, Cdb12{0xFF, 0x04, 0x26, 'Q', 'V'}, {}); }

bool ReadBridgeParameters(const Device& dev, Bytes out) {
  return In(dev, Cdb12{0xFF, 0x04, 0xA0, static_cast<uint8_t>(out.size())}, out);
}

bool ReadFlashLong(const Device& dev, uint32_t address, Bytes out) {
  const uint32_t n = Len(out);
  return InWhole(dev, Cdb12{0xDF, 0x10, B(n, 16), B(n, 8), B(n, 0), 0, 0, 0, B(address, 16), B(address, 8), B(address, 0), 0xFA},
                 out);
}

bool WriteFlashLong(const Device& dev, uint8_t eraseMode, uint32_t address, ConstBytes in) {
  const uint32_t n = Len(in) - (Makes(HostMistake::WrongLengthField) && !in.empty() ? 1 : 0);
  const auto mode = static_cast<uint8_t>(eraseMode & 0x87);
  return Out(dev, Cdb12{0xDF, mode, B(n, 16), B(n, 8), B(n, 0), 0, 0, 0, B(address, 16), B(address, 8), B(address, 0), 0xFB},
             in);
}

bool WriteFlashShort(const Device& dev, bool erase, uint32_t address, ConstBytes in) {
  const uint32_t n = Len(in) - (Makes(HostMistake::WrongLengthField) && !in.empty() ? 1 : 0);
  QV_ASSERT(n <= 0xFFFF, "IDEAccess");
  return Out(dev,
             Cdb12{0xDF, static_cast<uint8_t>(erase ? 0x01 : 0x00), 0, B(n, 8), B(n, 0), 0, 0, 0, B(address, 16),
                   B(address, 8), B(address, 0), 0xFB},
             in);
}

bool PrepareFlashRetry(const Device& dev) {
  Cdb12 cdb{0xDF, 0x01};
  cdb[11] = 0xFC;
  return In(dev, cdb, {});
}

bool ReadMemory(const Device& dev, uint16_t address, Bytes out) {
  const uint32_t n = Len(out);
  return In(dev, Cdb12{0xDF, 0x10, 0x00, B(n, 8), B(n, 0), 0x00, B(address, 8), B(address, 0), 0, 0, 0, 0xFD}, out);
}

bool WriteMemory(const Device& dev, uint16_t address, ConstBytes in) {
  const uint32_t n = Len(in);
  return Out(dev, Cdb12{0xDF, 0x00, 0x00, B(n, 8), B(n, 0), 0x00, B(address, 8), B(address, 0), 0, 0, 0, 0xFE}, in);
}

bool WriteRamBuffer(const Device& dev, uint8_t buffer, uint8_t select, ConstBytes in) {
  return Out(dev, Cdb12{0xB2, 0, 0, 0, 0, buffer, 0, 0, select}, in);
}

bool ProgramFlashFromRam(const Device& dev, uint8_t v, uint32_t a, uint16_t length, uint16_t ram) {
  return In(dev,
            Cdb12{0xB3, v, B(a, 24), B(a, 16), B(a, 8), B(a, 0), B(length, 8), B(length, 0), B(ram, 8), B(ram, 0), 0xE5,
                  0x02},
            {});
}

bool EraseFlashRam(const Device& dev, uint8_t v, uint32_t a, int mode) {
  const bool two = mode == 2;
  return In(dev,
            Cdb12{0xB4, v, B(a, 24), B(a, 16), B(a, 8), B(a, 0), 0, 0, 0, 0x31, static_cast<uint8_t>(two ? 0x21 : 0x00),
                  static_cast<uint8_t>(two ? 0x52 : 0x60)},
            {});
}

bool ReadRamBuffer(const Device& dev, uint8_t buffer, uint8_t select, Bytes out) {
  return InWhole(dev, Cdb12{0xB5, 0, 0, 0, 0, buffer, 0, 0, select}, out);
}

bool ReadFlashToRam(const Device& dev, uint8_t v, uint32_t a, uint16_t length, uint16_t ram) {
  return In(dev,
            Cdb12{0xB6, v, B(a, 24), B(a, 16), B(a, 8), B(a, 0), B(length, 8), B(length, 0), B(ram, 8), B(ram, 0)},
            {});
}

bool InquiryVpd(const Device& dev, uint8_t page, Bytes out, uint32_t* transferred) {
  return In(dev, std::array<uint8_t, 6>{0x12, 0x01, page, 0x00, static_cast<uint8_t>(out.size()), 0x00}, out, transferred);
}

bool ModeSensePowerCondition(const Device& dev, Bytes out) {
  return In(dev, std::array<uint8_t, 10>{0x5A, 0x08, 0x1A, 0, 0, 0, 0, 0, 0x30, 0}, out);
}

bool ModeSelectPowerCondition(const Device& dev, uint32_t minutes) {
  // An 8-byte header of zeros, then the power condition page with the standby timer in 100 ms.
  std::array<uint8_t, 48> data{};
  data[8] = 0x1A;
  data[9] = 0x26;
  data[11] = minutes != 0 ? 1 : 0;
  const uint32_t timer = minutes * 600;
  data[16] = B(timer, 24);
  data[17] = B(timer, 16);
  data[18] = B(timer, 8);
  data[19] = B(timer, 0);
  return Out(dev, std::array<uint8_t, 10>{0x55, 0x01, 0, 0, 0, 0, 0, 0, 0x30, 0}, data);
}

bool SetBridgeIdentity(const Device& dev, uint16_t vid, uint16_t pid, ConstBytes record) {
  return Out(dev, Cdb12{0xC3, 0x30, 0x00, 0x00, B(vid, 8), B(vid, 0), B(pid, 8), B(pid, 0), 0x00, 0x48}, record);
}

uint8_t ReadBridgeParameterByte8(const Device& dev, uint8_t length) {
  QV_ASSERT(length > 8, "IDEAccess");
  uint8_t reply[256] = {};
  return ReadBridgeParameters(dev, {reply, length}) ? reply[8] : 0;
}

uint8_t ReadBridgeParameterByte19(const Device& dev, uint8_t length) {
  QV_ASSERT(length > 19, "IDEAccess");
  uint8_t reply[256] = {};
  return ReadBridgeParameters(dev, {reply, length}) ? reply[19] : 0;
}

bool ReservedAreaFlag(const Device& dev) {
  uint8_t reply[18] = {};
  return ReadBridgeParameters(dev, reply) && reply[8] != 0 && reply[17] == 1;
}

bool CheckMemoryFlag505E(const Device& dev) {
  uint8_t reply[4] = {};
  return ReadMemory(dev, 0x505E, reply) && reply[1] == 0x00 && reply[2] == 0x01;
}

bool CheckMemoryFDB0(const Device& dev) {
  uint8_t reply[4] = {};
  return ReadMemory(dev, 0xFDB0, reply) && reply[1] >= 0xB4;
}

bool IsChipInfoMode0200(const Device& dev) {
  uint8_t reply[16] = {};
  return ReadChipInfo(dev, reply) && reply[6] == 0x02 && reply[7] == 0x00;
}

bool SupportsReadBuffer(const Device& dev) {
  uint8_t reply[4] = {};
  return QV_ReadBuffer(dev, 0x03, 0x00, 0, reply, sizeof reply);
}

uint64_t GetLastLba(const Device& dev) {
  uint8_t reply[16] = {};
  if (!ReadCapacity16(dev, reply)) return 0;
  uint64_t lba = 0;
  for (int i = 0; i < 8; ++i) lba = lba << 8 | reply[i];
  return lba;
}

uint64_t GetDiskSectorCount(const Device& dev) {
  uint8_t id[512] = {};
  if (!AtaIdentify(dev, id)) return 0;
  const uint32_t count28 = static_cast<uint32_t>(Word(id, 60)) | static_cast<uint32_t>(Word(id, 61)) << 16;
  if (count28 != 0x0FFFFFFF) return count28;
  uint64_t count48 = 0;
  for (int w = 103; w >= 100; --w) count48 = count48 << 16 | Word(id, w);
  return count48;
}

uint32_t GetLogicalSectorSize(const Device& dev) {
  uint8_t id[512] = {};
  if (!AtaIdentify(dev, id)) return 512;
  const uint16_t w106 = Word(id, 106);
  if (w106 != 0x5000 && w106 != 0x6000) return 512;
  const uint32_t words = static_cast<uint32_t>(Word(id, 117)) | static_cast<uint32_t>(Word(id, 118)) << 16;
  return 2 * words;
}

}  // namespace qvfw::device
