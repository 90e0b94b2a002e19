#include "sim/Flash.h"

#include <algorithm>
#include <stdexcept>

namespace qvfw::sim {
namespace {

// Capacity code of the JEDEC reply for 64 KiB << n.
uint8_t CapacityCode(uint32_t sizeKiB) {
  uint8_t code = 0x10;
  for (uint32_t s = 64; s < sizeKiB; s *= 2) ++code;
  return code;
}

bool PowerOfTwoKiB(uint32_t sizeKiB, uint32_t lo, uint32_t hi) {
  if (sizeKiB < lo || sizeKiB > hi) return false;
  return (sizeKiB & (sizeKiB - 1)) == 0;
}

// The size part of common 25-series part names: 64 KiB "05", 512 KiB "40", 2 MiB "16".
std::string Mbit(uint32_t kiB) {
  switch (kiB) {
    case 64: return "05";
    case 128: return "10";
    case 256: return "20";
    case 512: return "40";
    case 1024: return "80";
    default: return std::to_string(kiB / 128);
  }
}

std::vector<EraseOp> Ops(std::initializer_list<EraseOp> ops) { return ops; }

FlashPart Make(std::string name, uint8_t vendor, uint32_t sizeKiB) {
  FlashPart p;
  p.name = std::move(name);
  p.vendorCode = vendor;
  p.sizeBytes = sizeKiB * 1024;
  // Whole-chip erase time grows with the part: about 1 s per 512 KiB, at least 1 s.
  p.timing.chipEraseUs = std::max<uint32_t>(1'000'000, sizeKiB * 2'000);
  return p;
}

[[noreturn]] void BadSize(std::string_view who, uint32_t kiB) {
  throw std::invalid_argument(std::string(who) + " parts do not come in " + std::to_string(kiB) + " KiB");
}

// One realistic line of parts per maker; `sizeKiB` 0 picks the line's usual size.
FlashPart ByVendor(std::string_view v, uint32_t kiB) {
  if (v == "PMC") {  // Pm25LV family: 4 KiB sectors, 32 KiB blocks
    if (kiB == 0) kiB = 512;
    uint8_t code;
    switch (kiB) {
      case 64: code = 0x20; break;
      case 128: code = 0x21; break;
      case 256: code = 0x22; break;
      case 512: code = 0x7E; break;
      default: BadSize(v, kiB);
    }
    FlashPart p = Make("Pm25LV" + std::to_string(kiB) + "K", 1, kiB);
    p.jedec = {0x7F, 0x9D, code, 0x00};
    p.res = {0x9D, 0x7B};
    p.rems = {0x9D, 0x7B};
    p.erases = Ops({{0x20, 0x1000}, {0xD7, 0x1000}, {0xD8, 0x8000}, {0xC7, 0}, {0x60, 0}});
    return p;
  }
  if (v == "SST") {  // SST25VF: the small ones program by bytes, the large ones by words
    if (kiB == 0) kiB = 2048;
    FlashPart p = Make("", 2, kiB);
    p.pageProgram = false;
    p.ewsr = true;
    // BP1..BP0 on the small parts (the top quarter, half, all); the large ones count 1/32 up.
    p.protectBits = kiB <= 128 ? 2 : 3;
    p.protectAllFrom = kiB <= 128 ? 3 : 6;
    p.erases = Ops({{0x20, 0x1000}, {0x52, 0x8000}, {0xD8, 0x10000}, {0x60, 0}, {0xC7, 0}});
    p.chipEraseOp = 0x60;
    p.blockEraseOp = 0x52;
    switch (kiB) {
      case 64: p.name = "SST25VF512"; p.rems = p.res = {0xBF, 0x48}; p.aaiByte = true; p.programOp = 0xAF; break;
      case 128: p.name = "SST25VF010"; p.rems = p.res = {0xBF, 0x49}; p.aaiByte = true; p.programOp = 0xAF; break;
      case 2048: p.name = "SST25VF016B"; p.jedec = {0xBF, 0x25, 0x41, 0x00}; p.rems = p.res = {0xBF, 0x41};
        p.aaiWord = true; p.programOp = 0xAD; break;
      case 4096: p.name = "SST25VF032B"; p.jedec = {0xBF, 0x25, 0x4A, 0x00}; p.rems = p.res = {0xBF, 0x4A};
        p.aaiWord = true; p.programOp = 0xAD; break;
      default: BadSize(v, kiB);
    }
    p.timing.byteProgramUs = 10;
    return p;
  }
  if (v == "ST/EON/MXIC" || v == "ST") {  // M25P family: 64 KiB sectors, 32 KiB sub-blocks
    if (kiB == 0) kiB = 512;
    if (!PowerOfTwoKiB(kiB, 64, 4096)) BadSize(v, kiB);
    FlashPart p = Make("M25P" + Mbit(kiB), 3, kiB);
    p.jedec = {0x20, 0x20, CapacityCode(kiB), 0x00};
    p.res = {0x05};
    p.erases = Ops({{0x52, 0x8000}, {0xD8, 0x10000}, {0xC7, 0}});
    p.sectorEraseOp = 0x52;
    p.timing.sectorEraseUs = 300'000;
    p.timing.blockEraseUs = 600'000;
    return p;
  }
  if (v == "ATMEL") {
    if (kiB == 0) kiB = 512;
    FlashPart p = Make("", 4, kiB);
    p.erases = Ops({{0x20, 0x1000}, {0x52, 0x8000}, {0xD8, 0x10000}, {0x60, 0}, {0xC7, 0}, {0x62, 0}});
    p.sectorEraseOp = 0x52;
    switch (kiB) {
      case 64: p.name = "AT25F512B"; p.jedec = {0x1F, 0x65, 0x01, 0x00}; break;
      case 128: p.name = "AT25FS010"; p.jedec = {0x1F, 0x66, 0x01, 0x00}; break;
      case 512: p.name = "AT25DF041A"; p.jedec = {0x1F, 0x44, 0x01, 0x00}; break;
      default: BadSize(v, kiB);
    }
    p.id15 = {0x1F, p.jedec[1]};
    p.protectBits = 2;  // global protection: either bit protects every sector
    p.protectAllFrom = 1;
    return p;
  }
  if (v == "ATMEL-AT25F1024") {  // an older part that answers only 0x15
    FlashPart p = Make("AT25F1024", 4, 128);
    p.id15 = {0x1F, 0x60};
    p.protectBits = 2;
    p.protectAllFrom = 3;
    p.erases = Ops({{0x52, 0x8000}, {0x62, 0}});
    p.chipEraseOp = 0x62;
    p.blockEraseOp = 0x52;
    p.sectorEraseOp = 0x52;
    return p;
  }
  if (v == "MXIC") {  // MX25L: 4 KiB sectors, 64 KiB blocks
    if (kiB == 0) kiB = 512;
    if (!PowerOfTwoKiB(kiB, 64, 8192)) BadSize(v, kiB);
    FlashPart p = Make(kiB == 64 ? "MX25L512" : "MX25L" + Mbit(kiB) + "05", 5, kiB);
    p.jedec = {0xC2, 0x20, CapacityCode(kiB), 0x00};
    p.rems = {0xC2, static_cast<uint8_t>(CapacityCode(kiB) - 1)};
    p.res = {static_cast<uint8_t>(CapacityCode(kiB) - 0x01)};
    p.erases = Ops({{0x20, 0x1000}, {0x52, 0x10000}, {0xD8, 0x10000}, {0x60, 0}, {0xC7, 0}});
    return p;
  }
  if (v == "WINBOND") {  // W25X: 4 KiB sectors, 64 KiB blocks
    if (kiB == 0) kiB = 512;
    if (!PowerOfTwoKiB(kiB, 64, 1024) && kiB != 16384) BadSize(v, kiB);
    FlashPart p = Make(kiB == 16384 ? "W25Q128" : "W25X" + Mbit(kiB), 6, kiB);
    p.jedec = {0xEF, static_cast<uint8_t>(kiB == 16384 ? 0x40 : 0x30),
               static_cast<uint8_t>(kiB == 16384 ? 0x18 : CapacityCode(kiB)), 0x00};
    p.rems = {0xEF, static_cast<uint8_t>(p.jedec[2] - 1)};
    p.res = {static_cast<uint8_t>(p.jedec[2] - 1)};
    p.erases = Ops({{0x20, 0x1000}, {0x52, 0x8000}, {0xD8, 0x10000}, {0x60, 0}, {0xC7, 0}});
    return p;
  }
  if (v == "AMIC") {  // A25L: 4 KiB sectors, 64 KiB blocks
    if (kiB == 0) kiB = 512;
    if (!PowerOfTwoKiB(kiB, 64, 4096)) BadSize(v, kiB);
    FlashPart p = Make(kiB == 64 ? "A25L512" : "A25L0" + Mbit(kiB), 7, kiB);
    p.jedec = {0x37, 0x30, CapacityCode(kiB), 0x00};
    p.rems = {0x37, static_cast<uint8_t>(CapacityCode(kiB) - 1)};
    p.erases = Ops({{0x20, 0x1000}, {0xD8, 0x10000}, {0xC7, 0}, {0x60, 0}});
    return p;
  }
  if (v == "AMIC-A25P") {  // older AMIC parts: 7F 37 20, the size in the fourth byte
    if (kiB == 0) kiB = 64;
    uint8_t code;
    switch (kiB) {
      case 64: code = 0x20; break;
      case 128: code = 0x21; break;
      case 256: code = 0x22; break;
      case 1024: code = 0x14; break;
      default: BadSize(v, kiB);
    }
    FlashPart p = Make("A25P" + Mbit(kiB), 7, kiB);
    p.jedec = {0x7F, 0x37, 0x20, code};
    p.erases = Ops({{0x20, 0x1000}, {0xD8, 0x10000}, {0xC7, 0}, {0x60, 0}});
    return p;
  }
  if (v == "AMIC-A25P05B") {  // 64 KiB with small boot sectors: 4, 8, 16, 32 and 4 KiB
    if (kiB == 0) kiB = 64;
    if (kiB != 64) BadSize(v, kiB);
    FlashPart p = Make("A25P05B", 7, kiB);
    p.jedec = {0x7F, 0x37, 0x20, 0x12};
    p.erases = {EraseOp{0xD8, 0x8000, {0x0000, 0x1000, 0x3000, 0x7000, 0xF000}}, EraseOp{0xC7, 0}, EraseOp{0x60, 0}};
    return p;
  }
  if (v == "EON") {  // EN25F: 4 KiB sectors, 32 and 64 KiB blocks
    if (kiB == 0) kiB = 512;
    if (!PowerOfTwoKiB(kiB, 64, 8192)) BadSize(v, kiB);
    FlashPart p = Make("EN25F" + Mbit(kiB), 8, kiB);
    p.jedec = {0x1C, 0x31, CapacityCode(kiB), 0x00};
    p.rems = {0x1C, static_cast<uint8_t>(CapacityCode(kiB) - 1)};
    p.erases = Ops({{0x20, 0x1000}, {0x52, 0x8000}, {0xD8, 0x10000}, {0xC7, 0}, {0x60, 0}});
    p.sectorEraseOp = 0x52;
    return p;
  }
  if (v == "ESMT") {  // F25L
    if (kiB == 0) kiB = 512;
    FlashPart p = Make("F25L" + Mbit(kiB), 9, kiB);
    if (kiB >= 128 && kiB <= 1024 && PowerOfTwoKiB(kiB, 128, 1024)) p.jedec = {0x8C, 0x30, CapacityCode(kiB), 0x00};
    else if (kiB == 2048) p.jedec = {0x8C, 0x21, 0x15, 0x00};
    else if (kiB == 4096) p.jedec = {0x8C, 0x20, 0x16, 0x00};
    else BadSize(v, kiB);
    p.erases = Ops({{0x20, 0x1000}, {0x52, 0x8000}, {0xD8, 0x10000}, {0x60, 0}, {0xC7, 0}});
    return p;
  }
  if (v == "SANYO") {  // LE25FW: sectors erased by 0xD7
    if (kiB == 0) kiB = 256;
    if (kiB != 256) BadSize(v, kiB);
    FlashPart p = Make("LE25FW203", 10, kiB);
    p.jedec = {0x62, 0x16, 0x12, 0x00};
    p.res = {0x44};
    p.erases = Ops({{0xD7, 0x1000}, {0xD8, 0x10000}, {0xC7, 0}});
    p.sectorEraseOp = 0xD7;
    return p;
  }
  if (v == "GIGADEVICE") {  // GD25D: blocks erased by 0x52
    if (kiB == 0) kiB = 512;
    if (!PowerOfTwoKiB(kiB, 64, 512)) BadSize(v, kiB);
    FlashPart p = Make("GD25D" + Mbit(kiB), 11, kiB);
    p.jedec = {0xC8, 0x40, CapacityCode(kiB), 0x00};
    p.erases = Ops({{0x20, 0x1000}, {0x52, 0x10000}, {0xD8, 0x10000}, {0xC7, 0}, {0x60, 0}});
    p.blockEraseOp = 0x52;
    return p;
  }
  if (v == "VPOWERWINS") {
    if (kiB == 0) kiB = 512;
    if (kiB != 256 && kiB != 512) BadSize(v, kiB);
    FlashPart p = Make("VP25F" + Mbit(kiB), 12, kiB);
    p.jedec = {0xA1, 0x31, CapacityCode(kiB), 0x00};
    p.erases = Ops({{0x20, 0x1000}, {0xD8, 0x10000}, {0xC7, 0}, {0x60, 0}});
    return p;
  }
  throw std::invalid_argument("no flash preset \"" + std::string(v) + "\"");
}

const char* const kMakers[] = {"PMC", "SST", "ST/EON/MXIC", "ATMEL", "ATMEL-AT25F1024", "MXIC", "WINBOND",
                               "AMIC", "AMIC-A25P", "AMIC-A25P05B", "EON", "ESMT", "SANYO", "GIGADEVICE", "VPOWERWINS"};
const uint32_t kSizes[] = {64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384};

}  // namespace

FlashPart FlashPreset(std::string_view name, uint32_t sizeKiB) {
  for (const char* m : kMakers)
    if (name == m) return ByVendor(name, sizeKiB);
  // A part name: search the makers' lines.
  for (const char* m : kMakers)
    for (uint32_t s : kSizes) {
      try {
        FlashPart p = ByVendor(m, s);
        if (p.name == name && (sizeKiB == 0 || sizeKiB == s)) return p;
      } catch (const std::invalid_argument&) {
      }
    }
  throw std::invalid_argument("no flash preset \"" + std::string(name) + "\"");
}

std::vector<std::string> FlashPresetNames() {
  std::vector<std::string> names;
  for (const char* m : kMakers)
    for (uint32_t s : kSizes) {
      try {
        names.push_back(ByVendor(m, s).name);
      } catch (const std::invalid_argument&) {
      }
    }
  return names;
}

SpiFlash::SpiFlash(FlashPart part) : part_(std::move(part)), data_(part_.sizeBytes, 0xFF) {}

bool SpiFlash::Busy(uint64_t nowUs) const { return stuckBusy_ || nowUs < busyUntilUs_; }

uint8_t SpiFlash::Status(uint64_t nowUs) const {
  uint8_t s = status_;
  if (Busy(nowUs)) {
    s |= 0x01;
    if (busyShowsWel_ || stuckBusy_) s |= 0x02;
  }
  if (wel_) s |= 0x02;
  if (aaiOpcode_ != 0) s |= 0x40;
  return s;
}

void SpiFlash::PowerCycle() {
  wel_ = false;
  ewsr_ = false;
  aaiOpcode_ = 0;
  busyUntilUs_ = 0;
  busyShowsWel_ = false;
}

void SpiFlash::StartBusy(uint64_t nowUs, uint64_t durationUs) {
  busyUntilUs_ = nowUs + durationUs;
  busyShowsWel_ = true;  // the latch reads set until the operation completes, then clears
  wel_ = false;
}

uint32_t SpiFlash::ProtectedFrom() const {
  const uint8_t p = static_cast<uint8_t>((status_ & WritableStatus() & 0x1C) >> 2);
  if (p == 0) return size();
  if (p >= part_.protectAllFrom) return 0;
  return size() - (size() >> (part_.protectAllFrom - p));
}

bool SpiFlash::Protected(uint32_t first, uint32_t count) const {
  return count > 0 && uint64_t{first} + count > ProtectedFrom();
}

void SpiFlash::Program(uint32_t address, std::span<const uint8_t> bytes, bool wrapInPage) {
  const uint32_t size = this->size();
  for (size_t i = 0; i < bytes.size(); ++i) {
    uint32_t a;
    if (wrapInPage) {
      const uint32_t page = address & ~(part_.pageSize - 1);
      a = page + ((address + static_cast<uint32_t>(i)) & (part_.pageSize - 1));
    } else {
      a = address + static_cast<uint32_t>(i);
    }
    data_[a % size] &= bytes[i];  // NOR: programming only clears bits
  }
}

std::pair<uint32_t, uint32_t> SpiFlash::EraseRange(const EraseOp& e, uint32_t address) const {
  const uint32_t a = address % size();
  if (!e.starts.empty()) {
    auto next = std::upper_bound(e.starts.begin(), e.starts.end(), a);
    const uint32_t begin = next == e.starts.begin() ? 0 : *(next - 1);
    const uint32_t end = next == e.starts.end() ? size() : *next;
    return {begin, end - begin};
  }
  if (e.unit == 0 || e.unit >= size()) return {0, size()};
  return {a & ~(e.unit - 1), e.unit};
}

uint8_t SpiFlash::IdByte(uint8_t opcode, size_t p) const {
  auto cyclic = [](const std::vector<uint8_t>& v, size_t i) -> uint8_t { return v.empty() ? 0xFF : v[i % v.size()]; };
  switch (opcode) {
    case 0x9F: return p < part_.jedec.size() ? part_.jedec[p] : 0xFF;
    case 0x90: return p < 3 ? 0xFF : cyclic(part_.rems, p - 3);
    case 0xAB: return p < 3 ? 0xFF : cyclic(part_.res, p - 3);
    case 0x15: return cyclic(part_.id15, p);
    default: return 0xFF;
  }
}

void SpiFlash::Frame(std::span<const uint8_t> out, std::span<uint8_t> in, uint64_t nowUs) {
  std::fill(in.begin(), in.end(), 0xFF);
  if (out.empty()) return;
  const uint8_t op = out[0];
  const auto addr = [&]() -> uint32_t {
    uint32_t a = 0;
    for (size_t i = 1; i < 4; ++i) a = (a << 8) | (i < out.size() ? out[i] : 0);
    return a;
  };
  if (op == 0x05) {  // read status, repeated for as long as the master clocks
    std::fill(in.begin(), in.end(), Status(nowUs));
    return;
  }
  if (Busy(nowUs)) return;  // a busy part ignores everything but the status read
  switch (op) {
    case 0x9F: case 0x90: case 0xAB: case 0x15:
      if (aaiOpcode_ != 0) return;
      for (size_t i = 0; i < in.size(); ++i) in[i] = IdByte(op, out.size() - 1 + i);
      return;
    case 0x03: case 0x0B: {
      if (aaiOpcode_ != 0) return;
      const size_t dummy = op == 0x0B ? 1 : 0;
      // Bytes of the frame beyond address (and dummy) are already read cycles.
      const size_t skip = out.size() > 4 + dummy ? out.size() - 4 - dummy : 0;
      const uint32_t a = addr();
      for (size_t i = 0; i < in.size(); ++i) in[i] = data_[(a + skip + i) % size()];
      return;
    }
    case 0x06:
      if (aaiOpcode_ == 0) wel_ = true;
      return;
    case 0x04:  // write disable; also ends an auto-address-increment sequence
      wel_ = false;
      aaiOpcode_ = 0;
      return;
    case 0x50:
      if (aaiOpcode_ == 0 && part_.ewsr) ewsr_ = true;
      return;
    case 0x01: {  // write status: the protection bits and bit 7
      if (aaiOpcode_ != 0 || (!wel_ && !ewsr_)) return;
      const uint8_t value = out.size() > 1 ? out[1] : 0;
      status_ = value & WritableStatus();
      ewsr_ = false;
      StartBusy(nowUs, part_.timing.statusWriteUs);
      return;
    }
    case 0x02: {
      if (!part_.pageProgram || !wel_ || aaiOpcode_ != 0 || out.size() < 5) return;
      if (Protected(addr() & ~(part_.pageSize - 1), part_.pageSize)) {  // refused: the latch clears
        wel_ = false;
        return;
      }
      std::span<const uint8_t> bytes = out.subspan(4);
      // More than one page: only the last page's worth of bytes stays in the page buffer.
      uint32_t a = addr();
      if (bytes.size() > part_.pageSize) {
        const size_t extra = bytes.size() - part_.pageSize;
        a = (a & ~(part_.pageSize - 1)) | ((a + static_cast<uint32_t>(extra)) & (part_.pageSize - 1));
        bytes = bytes.subspan(extra);
      }
      Program(a, bytes, true);
      StartBusy(nowUs, part_.timing.pageProgramUs);
      return;
    }
    case 0xAF: case 0xAD: {
      const bool word = op == 0xAD;
      if ((word && !part_.aaiWord) || (!word && !part_.aaiByte)) return;
      const size_t unit = word ? 2 : 1;
      std::span<const uint8_t> bytes;
      if (aaiOpcode_ == op && out.size() < 4 + unit) {
        bytes = out.subspan(1);  // continuation: data only, address auto-incremented
      } else if (out.size() >= 4 + unit && (aaiOpcode_ == op || wel_)) {
        // Words go to even addresses: the part ignores the lowest address bit.
        const uint32_t start = word ? addr() & ~1u : addr();
        if (Protected(start, static_cast<uint32_t>(unit))) {
          wel_ = false;
          aaiOpcode_ = 0;
          return;
        }
        aaiAddress_ = start;
        aaiOpcode_ = op;
        wel_ = true;
        bytes = out.subspan(4);
      } else {
        return;
      }
      if (bytes.size() < unit) return;
      if (Protected(aaiAddress_, static_cast<uint32_t>(unit))) {  // the sequence runs into protection
        wel_ = false;
        aaiOpcode_ = 0;
        return;
      }
      Program(aaiAddress_, bytes.first(unit), false);
      aaiAddress_ = (aaiAddress_ + static_cast<uint32_t>(unit)) % size();
      busyUntilUs_ = nowUs + part_.timing.byteProgramUs;
      busyShowsWel_ = true;
      return;
    }
    default:
      break;
  }
  for (const EraseOp& e : part_.erases) {
    if (e.opcode != op) continue;
    if (!wel_ || aaiOpcode_ != 0) return;
    if (e.unit != 0 && out.size() < 4) return;  // an address is required
    const auto [first, count] = EraseRange(e, addr());
    if (Protected(first, count)) {
      wel_ = false;
      return;
    }
    std::fill(data_.begin() + first, data_.begin() + first + count, 0xFF);
    const uint64_t t = e.unit == 0 ? part_.timing.chipEraseUs
                       : e.unit >= 0x8000 ? part_.timing.blockEraseUs
                                          : part_.timing.sectorEraseUs;
    StartBusy(nowUs, t);
    return;
  }
}

}  // namespace qvfw::sim
