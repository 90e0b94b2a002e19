#include "sim/Disk.h"

#include <algorithm>
#include <cstring>

namespace qvfw::sim {
namespace {

// ATA PASS-THROUGH: the protocols (byte 1, bits 4..1) a disk behind a bridge is driven with.
constexpr uint8_t kAtaPioIn = 4, kAtaDma = 6, kAtaUdmaIn = 10, kAtaUdmaOut = 11;

// Byte 2 of ATA PASS-THROUGH for a command that moves data: no off-line wait, no register check
// condition, the direction the protocol moves, and the length given (T_LENGTH not 0). PIO data-in
// moves in; the DMA protocol in either direction.
bool AtaFieldsHold(uint8_t protocol, uint8_t byte2, bool in) {
  const bool offLine = (byte2 & 0xC0) != 0, checkCondition = (byte2 & 0x20) != 0;
  const bool toHost = (byte2 & 0x08) != 0;
  if (offLine || checkCondition || (byte2 & 0x03) == 0 || toHost != in) return false;
  switch (protocol) {
    case kAtaPioIn: case kAtaUdmaIn: return in;
    case kAtaUdmaOut: return !in;
    case kAtaDma: return true;
    default: return false;
  }
}

}  // namespace

Sense MakeSense(uint8_t key, uint8_t asc, uint8_t ascq) {
  Sense s{};
  s[0] = 0x70;
  s[2] = key;
  s[7] = 10;  // additional length: bytes 8..17
  s[12] = asc;
  s[13] = ascq;
  return s;
}

Response Good(uint32_t transferred) {
  Response r;
  r.transferred = transferred;
  return r;
}

Response Check(uint8_t key, uint8_t asc, uint8_t ascq) {
  Response r;
  r.status = kCheckCondition;
  r.sense = MakeSense(key, asc, ascq);
  return r;
}

void PutBe(uint8_t* p, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

void FillInquiry(uint8_t* out, uint32_t length, const std::string& vendor, const std::string& product,
                 const std::string& revision, const std::string& chipId) {
  uint8_t d[96] = {};
  d[0] = 0x00;  // direct-access block device
  d[1] = 0x00;
  d[2] = 0x06;  // SPC-4
  d[3] = 0x02;  // response data format
  d[4] = static_cast<uint8_t>(sizeof d - 5);
  auto put = [&](size_t at, size_t width, const std::string& text) {
    for (size_t i = 0; i < width; ++i) d[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
  };
  put(8, 8, vendor);
  put(16, 16, product);
  put(32, 4, revision);
  for (size_t i = 0; i < 4 && i < chipId.size(); ++i) d[36 + i] = static_cast<uint8_t>(chipId[i]);
  std::memcpy(out, d, std::min<size_t>(length, sizeof d));
}

bool AttachedDisk::Handles(std::span<const uint8_t> cdb) const {
  switch (cdb[0]) {
    case 0x00: case 0x03: case 0x25: return true;
    case 0x08: case 0x28: case 0x88: case 0x1A: return true;
    case 0x9E: return cdb.size() >= 16 && (cdb[1] & 0x1F) == 0x10;
    case 0xA1: case 0x85: return true;
    default: return false;
  }
}

void AttachedDisk::ReadSectors(uint64_t lba, uint32_t count, uint8_t* out) const {
  const uint32_t ss = config_.logicalSectorSize;
  for (uint32_t i = 0; i < count; ++i) {
    auto it = store_.find(lba + i);
    if (it == store_.end()) std::memset(out + size_t{i} * ss, 0, ss);
    else std::memcpy(out + size_t{i} * ss, it->second.data(), ss);
  }
}

void AttachedDisk::WriteSectors(uint64_t lba, uint32_t count, const uint8_t* in) {
  const uint32_t ss = config_.logicalSectorSize;
  for (uint32_t i = 0; i < count; ++i) store_[lba + i].assign(in + size_t{i} * ss, in + size_t{i + 1} * ss);
}

Response AttachedDisk::Identify(const Command& c) const {
  if (c.length != 512 || !c.dataIn) return InvalidField();
  uint16_t w[256] = {};
  w[0] = 0x0040;                       // fixed device
  auto text = [&](int first, int words, const std::string& s) {
    for (int i = 0; i < words * 2; ++i) {
      const char ch = i < static_cast<int>(s.size()) ? s[i] : ' ';
      if (i % 2 == 0) w[first + i / 2] = static_cast<uint16_t>(static_cast<uint8_t>(ch) << 8);
      else w[first + i / 2] |= static_cast<uint8_t>(ch);
    }
  };
  text(10, 10, "QVSIM0000000001");
  text(23, 4, "1.0");
  text(27, 20, config_.model);
  w[49] = 0x0300;                      // DMA and LBA
  const uint64_t n = config_.sectors;
  const uint32_t n28 = n >= 0x0FFFFFFF ? 0x0FFFFFFF : static_cast<uint32_t>(n);
  w[60] = static_cast<uint16_t>(n28);
  w[61] = static_cast<uint16_t>(n28 >> 16);
  w[83] = 0x4400;                      // 48-bit addressing
  w[86] = 0x0400;
  for (int i = 0; i < 4; ++i) w[100 + i] = static_cast<uint16_t>(n >> (16 * i));
  if (config_.logicalSectorSize > 512) {
    w[106] = 0x5000;                   // logical sector longer than 256 words
    const uint32_t words = config_.logicalSectorSize / 2;
    w[117] = static_cast<uint16_t>(words);
    w[118] = static_cast<uint16_t>(words >> 16);
  } else {
    w[106] = 0x4000;
  }
  for (int i = 0; i < 256; ++i) {      // ATA words travel little-endian
    c.data[2 * i] = static_cast<uint8_t>(w[i]);
    c.data[2 * i + 1] = static_cast<uint8_t>(w[i] >> 8);
  }
  return Good(512);
}

Response AttachedDisk::Dma(const Command& c, bool write, SimTime& time) {
  const auto& b = c.cdb;
  if (b.size() < 16) return InvalidField();
  // The 48-bit LBA form of the device register: LBA mode, device 0, the low bits unused.
  if ((b[13] & 0x40) == 0 || (b[13] & 0x1F) != 0) return InvalidField();
  uint32_t count = (uint32_t{b[5]} << 8) | b[6];
  if (count == 0) count = 65536;
  const uint64_t lba = uint64_t{b[8]} | (uint64_t{b[10]} << 8) | (uint64_t{b[12]} << 16) | (uint64_t{b[7]} << 24) |
                       (uint64_t{b[9]} << 32) | (uint64_t{b[11]} << 40);
  const uint64_t bytes = uint64_t{count} * config_.logicalSectorSize;
  if (write == c.dataIn || c.length != bytes) return InvalidField();
  if (lba + count > config_.sectors + config_.reservedSectors) return LbaOutOfRange();
  time.us += config_.timing.accessUs + bytes * 1'000'000 / std::max<uint64_t>(1, config_.timing.mediaBytesPerSecond);
  if (write) {
    WriteSectors(lba, count, c.data);
    writeLog_.push_back({lba, count});
  } else {
    ReadSectors(lba, count, c.data);
  }
  return Good(static_cast<uint32_t>(bytes));
}

// READ(6), READ(10) and READ(16): the addressable sectors only; the reserved area past the
// capacity is reached through ATA pass-through alone.
Response AttachedDisk::Read(const Command& c) const {
  const auto& b = c.cdb;
  uint64_t lba = 0;
  uint32_t count = 0;
  switch (b[0]) {
    case 0x08:
      lba = ((uint64_t{b[1]} & 0x1F) << 16) | (uint64_t{b[2]} << 8) | b[3];
      count = b[4] == 0 ? 256 : b[4];
      break;
    case 0x28:
      if (b.size() < 10) return InvalidField();
      lba = Be32(b, 2);
      count = Be16(b, 7);
      break;
    default:
      if (b.size() < 16) return InvalidField();
      lba = (uint64_t{Be32(b, 2)} << 32) | Be32(b, 6);
      count = Be32(b, 10);
  }
  if (count == 0) return lba > config_.sectors - 1 ? LbaOutOfRange() : Good(0);
  const uint64_t bytes = uint64_t{count} * config_.logicalSectorSize;
  if (!c.dataIn || c.length < bytes) return InvalidField();
  if (lba >= config_.sectors || count > config_.sectors - lba) return LbaOutOfRange();
  ReadSectors(lba, count, c.data);
  return Good(static_cast<uint32_t>(bytes));
}

// MODE SENSE(6) of the caching page, alone or among all pages: a disk without a write cache (the
// kernel then never has to flush one), not write protected.
Response AttachedDisk::ModeSense6(const Command& c) const {
  const auto& b = c.cdb;
  const uint8_t page = b[2] & 0x3F;
  const uint8_t control = b[2] >> 6;  // 0 current, 1 changeable, 2 default, 3 saved
  if ((page != 0x08 && page != 0x3F) || b[3] != 0 || control == 3 || !c.dataIn) return InvalidField();
  uint8_t d[4 + 20] = {};
  d[0] = sizeof d - 1;  // mode data length, not counting itself
  d[1] = 0x00;          // medium type
  d[2] = 0x00;          // device-specific: not write protected
  d[3] = 0x00;          // no block descriptor
  d[4] = 0x08;          // caching page
  d[5] = 0x12;
  // Byte 2 of the page: WCE (bit 2) and RCD (bit 0) clear, also in the changeable mask.
  const uint32_t n = std::min<uint32_t>({c.length, b[4], sizeof d});
  std::memcpy(c.data, d, n);
  return Good(n);
}

Response AttachedDisk::Execute(const Command& c, SimTime& time) {
  const auto& b = c.cdb;
  switch (b[0]) {
    case 0x00: return Good(0);
    case 0x08: case 0x28: case 0x88: return Read(c);
    case 0x1A: return b.size() < 6 ? InvalidField() : ModeSense6(c);
    case 0x03: {  // REQUEST SENSE: nothing pending
      const Sense s = MakeSense(0, 0, 0);
      std::memcpy(c.data, s.data(), std::min<size_t>(c.length, s.size()));
      return Good(std::min<uint32_t>(c.length, 18));
    }
    case 0x25: {
      uint8_t d[8];
      const uint64_t last = config_.sectors - 1;
      PutBe(d, last > 0xFFFFFFFF ? 0xFFFFFFFF : last, 4);
      PutBe(d + 4, config_.logicalSectorSize, 4);
      std::memcpy(c.data, d, std::min<size_t>(c.length, 8));
      return Good(std::min<uint32_t>(c.length, 8));
    }
    case 0x9E: {
      uint8_t d[32] = {};
      PutBe(d, config_.sectors - 1, 8);
      PutBe(d + 8, config_.logicalSectorSize, 4);
      const uint32_t n = std::min<uint32_t>({c.length, Be32(b, 10), 32});
      std::memcpy(c.data, d, n);
      return Good(n);
    }
    case 0xA1:  // ATA PASS-THROUGH(12): IDENTIFY DEVICE only
      if (b.size() < 12 || b[9] != 0xEC || (b[1] >> 1 & 0x0F) != kAtaPioIn || !AtaFieldsHold(kAtaPioIn, b[2], true) ||
          (b[8] & 0x10) != 0)
        return InvalidField();
      return Identify(c);
    case 0x85: {  // ATA PASS-THROUGH(16)
      if (b.size() < 16) return InvalidField();
      const uint8_t protocol = b[1] >> 1 & 0x0F;
      const bool extend = (b[1] & 0x01) != 0;
      switch (b[14]) {
        case 0x25:  // READ DMA EXT: a DMA protocol in, the 48-bit registers
          if ((protocol != kAtaDma && protocol != kAtaUdmaIn) || !extend || !AtaFieldsHold(protocol, b[2], true))
            return InvalidField();
          return Dma(c, false, time);
        case 0x35:  // WRITE DMA EXT: a DMA protocol out
          if ((protocol != kAtaDma && protocol != kAtaUdmaOut) || !extend || !AtaFieldsHold(protocol, b[2], false))
            return InvalidField();
          return Dma(c, true, time);
        case 0xEC:
          if (protocol != kAtaPioIn || !AtaFieldsHold(protocol, b[2], true) || (b[13] & 0x10) != 0) return InvalidField();
          return Identify(c);
        default: return InvalidField();
      }
    }
    default: return IllegalOpcode();
  }
}

Response PlainDisk::Execute(const Command& c, SimTime& time) {
  if (c.cdb[0] == 0x12) {
    if ((c.cdb[1] & 0x01) != 0) return InvalidField();  // no vital product data pages here
    FillInquiry(c.data, c.length, vendor_, product_, "0001", "");
    return Good(std::min<uint32_t>(c.length, 96));
  }
  if (disk_.Handles(c.cdb)) return disk_.Execute(c, time);
  return IllegalOpcode();
}

}  // namespace qvfw::sim
