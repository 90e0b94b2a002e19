#include "device/FlashOps.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>

#include "device/Commands.h"
#include "device/HostMistakes.h"

namespace qvfw::device {
namespace {

using Seq = std::initializer_list<uint8_t>;

bool Spi(const Device& dev, Seq seq, ConstBytes data = {}) {
  if (Makes(HostMistake::NoWriteEnable) && seq.size() == 3 && seq.begin()[2] == 0x06) return true;
  return SpiCommand(dev, {seq.begin(), seq.size()}, data);
}

void Pause(const Device& dev, uint32_t ms = kFlashPollMs) { dev.transport().Clock().Sleep(ms); }

constexpr uint8_t A2(uint32_t a) { return static_cast<uint8_t>(a >> 16); }
constexpr uint8_t A1(uint32_t a) { return static_cast<uint8_t>(a >> 8); }
constexpr uint8_t A0(uint32_t a) { return static_cast<uint8_t>(a); }

// Read the status once, then re-read every 10 ms until `met` holds or `limit` re-reads have
// passed. A read that fails after the device opened gives 0; one that cannot open keeps the
// previous value.
template <typename Condition>
bool WaitStatus(const Device& dev, int limit, Condition met, bool forReady = false) {
  if (Makes(HostMistake::NoStatusWait)) return true;
  uint8_t status = 0;
  ReadFlashStatus(dev, status);
  if (forReady && !met(status) && Makes(HostMistake::OneWaitTooFew) && !TestHooks().waitLeftOut) {
    TestHooks().waitLeftOut = true;
    return true;
  }
  for (int rereads = 0; !met(status); ++rereads) {
    if (rereads == limit) return false;
    Pause(dev);
    ReadFlashStatus(dev, status);
  }
  return true;
}

void SetDefaults(FlashDescriptor& f) {
  f.chipErase = 0xC7;
  f.blockErase = 0xD8;
  f.program = 0x02;
  f.vendor = 0;
  f.sectorErase = 0x20;
}

// The JEDEC classification: the first row that matches bytes 0 and 1 names the vendor.
bool ClassifyJedec(const uint8_t* id, FlashDescriptor& f) {
  const uint8_t m = id[0], t = id[1];
  if ((m == 0x7F && t == 0x37) || (m == 0x37 && t == 0x30)) f.vendor = 7;
  else if (m == 0x1F) f.vendor = 4;
  else if (m == 0xC2) f.vendor = 5;
  else if (m == 0xEF) f.vendor = 6;
  else if (m == 0x20) f.vendor = 3;
  else if (m == 0x1C) f.vendor = 8;
  else if (m == 0x8C) f.vendor = 9;
  else if (m == 0x7F && t == 0x9D) f.vendor = 1;
  else if (m == 0x62) {
    f.vendor = 10;
    f.sectorErase = 0xD7;
  } else if (m == 0xC8) {
    f.vendor = 11;
    f.blockErase = 0x52;
  } else if (m == 0xA1) f.vendor = 12;
  else return false;
  return true;
}

void SetSst(FlashDescriptor& f) {
  f.vendor = 2;
  f.chipErase = 0x60;
  f.blockErase = 0x52;
  f.program = 0xAF;
}

void SetAtmel(FlashDescriptor& f) {
  f.vendor = 4;
  f.chipErase = 0x62;
  f.blockErase = 0x52;
  f.program = 0x02;
}

}  // namespace

bool WaitFlashReady(const Device& dev) {
  return WaitStatus(dev, kFlashReadyRereads, [](uint8_t s) { return (s & 0x01) == 0; }, true);
}

bool WaitFlashStatusSet(const Device& dev, uint8_t mask) {
  return WaitStatus(dev, kFlashStatusRereads, [mask](uint8_t s) { return (s & mask) != 0; });
}

bool WaitFlashStatusClear(const Device& dev) {
  return WaitStatus(dev, kFlashStatusRereads, [](uint8_t s) { return (s & 0x06) == 0; });
}

bool SpiWriteEnable(const Device& dev) { return Spi(dev, {0x01, 0x00, 0x06}); }

bool SpiWriteStatusZero(const Device& dev) {
  static constexpr uint8_t kData[2] = {0x01, 0x00};
  return Spi(dev, {0x02, 0x00, 0x01, 0x00}, kData);
}

bool UnprotectFlash(const Device& dev) {
  const bool enabled = SpiWriteEnable(dev);
  const bool latched = WaitFlashStatusSet(dev, 0x02);
  const bool written = SpiWriteStatusZero(dev);
  const bool cleared = WaitFlashStatusClear(dev);
  return enabled && latched && written && cleared;
}

bool SpiReadId(const Device& dev, uint8_t opcode, std::span<uint8_t> out) {
  const bool sent = Spi(dev, {0x01, 0x01, opcode});
  const bool read = SpiReadData(dev, out);
  return sent && read;
}

namespace {
// The AMIC and ATMEL probes read 4 JEDEC bytes with a length field of 0.
bool ProbeJedec(const Device& dev, uint8_t* id) {
  const bool sent = Spi(dev, {0x01, 0x01, 0x9F});
  const bool read = SpiReadData(dev, {id, 4}, 0);
  return sent && read;
}
}  // namespace

int DetectAmicFlash(const Device& dev) {
  uint8_t id[4] = {};
  if (!ProbeJedec(dev, id)) return -1;
  if (id[0] != 0x7F || id[1] != 0x37 || id[2] != 0x20) return -1;
  switch (id[3]) {
    case 0x12: return 1;
    case 0x11: return 3;
    case 0x20: return 4;
    case 0x10: return 5;
    default: return -1;
  }
}

int DetectAtmelFlash(const Device& dev) {
  uint8_t id[4] = {};
  if (!ProbeJedec(dev, id)) return -1;
  if (id[0] != 0x1F) return -1;
  if (id[1] == 0x65) return 1;
  if (id[1] == 0x66) return 2;
  return 0;
}

namespace {

// The steps of the identification decision list; each route reads them its own way.
enum class IdStep { Jedec, Sst90, LegacyAB, Atmel15, Atmel15Short, LegacyABShort };

template <typename Read>
bool IdentifyBy(FlashDescriptor& f, Read read) {
  SetDefaults(f);
  uint8_t id[4] = {};
  if (!read(IdStep::Jedec, id)) return true;  // the vendor stays unknown (0)
  bool unknown = !ClassifyJedec(id, f);
  // Steps 2..4 start from a cleared reply, the two short reads do not.
  auto step = [&](IdStep s, bool clear) {
    if (clear) std::memset(id, 0, sizeof id);
    return read(s, id);
  };
  if (unknown && step(IdStep::Sst90, true) && id[3] == 0xBF) {
    SetSst(f);
    unknown = false;
  }
  if (unknown && step(IdStep::LegacyAB, true)) {
    if (id[3] == 0x9D) f.vendor = 1, unknown = false;
    else if (id[3] == 0x05) f.vendor = 3, unknown = false;
  }
  if (unknown && step(IdStep::Atmel15, true) && id[0] == 0x1F) {
    SetAtmel(f);
    unknown = false;
  }
  if (unknown && step(IdStep::Atmel15Short, false) && id[0] == 0x1F) {
    SetAtmel(f);
    unknown = false;
  }
  if (unknown && step(IdStep::LegacyABShort, false) && id[0] == 0x05) {
    f.vendor = 3;
    unknown = false;
  }
  return !unknown;
}

}  // namespace

bool IdentifyFlash(const Device& dev, FlashDescriptor& f) {
  return IdentifyBy(f, [&](IdStep s, uint8_t* id) {
    switch (s) {
      case IdStep::Jedec: return SpiReadId(dev, 0x9F, {id, 4});
      case IdStep::Sst90: return SpiReadId(dev, 0x90, {id, 4});
      case IdStep::LegacyAB: return SpiReadId(dev, 0xAB, {id, 4});
      case IdStep::Atmel15: return SpiReadId(dev, 0x15, {id, 4});
      case IdStep::Atmel15Short: return ReadFlashId3(dev, 0x15, false, {id, 3});
      case IdStep::LegacyABShort: return ReadFlashId3(dev, 0xAB, true, {id, 3});
    }
    return false;
  });
}

bool IdentifyFlashById4(const Device& dev, FlashDescriptor& f) {
  return IdentifyBy(f, [&](IdStep s, uint8_t* id) {
    switch (s) {
      case IdStep::Jedec: return ReadFlashId4(dev, 0x9F, false, {id, 4});
      case IdStep::Sst90: return ReadFlashId4(dev, 0x90, false, {id, 4});
      case IdStep::LegacyAB: return ReadFlashId4(dev, 0xAB, true, {id, 4});
      case IdStep::Atmel15: return ReadFlashId4(dev, 0x15, false, {id, 4});
      case IdStep::Atmel15Short: return false;  // this route has no short 0x15 read
      case IdStep::LegacyABShort: return ReadFlashId4(dev, 0xAB, true, {id, 4});
    }
    return false;
  });
}

bool SpiEnableWrites(const Device& dev) {
  static constexpr uint8_t kZeroStatus[2] = {0x00, 0x00};
  Spi(dev, {0x01, 0x00, 0x50});
  Spi(dev, {0x01, 0x01, 0x01});
  SpiWriteData(dev, kZeroStatus);
  Pause(dev);
  const bool ok = Spi(dev, {0x01, 0x00, 0x06});
  Pause(dev);
  return ok;
}

bool SpiWriteDisable(const Device& dev) {
  const bool ok = Spi(dev, {0x01, 0x00, 0x04});
  Pause(dev);
  return ok;
}

bool SpiChipErase(const Device& dev) {
  SpiEnableWrites(dev);
  const bool ok = Spi(dev, {0x01, 0x00, 0xC7});
  SpiWriteDisable(dev);
  return ok;
}

bool SpiPageProgram(const Device& dev, uint32_t address, const uint8_t* data, uint32_t length, uint32_t unit) {
  bool ok = false;
  for (uint32_t i = 0; i < length / unit; ++i) {
    Pause(dev);
    Spi(dev, {0x01, 0x00, 0x06});
    Pause(dev);
    ok = Spi(dev, {0x04, 0x01, 0x02, A2(address), A1(address), A0(address)});
    if (ok) ok = SpiWriteData(dev, {data, unit});
    if (!ok) break;
    address += unit;
    data += unit;
  }
  return ok;
}

bool SpiAaiByteProgram(const Device& dev, uint32_t address, const uint8_t* data, uint32_t length, uint32_t unit) {
  bool ok = false;
  for (uint32_t i = 0; i < length / unit; ++i) {
    SpiEnableWrites(dev);
    ok = Spi(dev, {0x04, 0x01, 0xAF, A2(address), A1(address), A0(address)});
    const uint8_t first[2] = {data[0], 0x00};
    if (ok) ok = SpiWriteData(dev, first);
    for (uint32_t k = 1; ok && k < unit; ++k) ok = Spi(dev, {0x02, 0x00, 0xAF, data[k]});
    if (!ok) break;
    address += unit;
    data += unit;
  }
  SpiWriteDisable(dev);
  return ok;
}

bool SpiAaiWordProgram(const Device& dev, uint32_t address, const uint8_t* data, uint32_t length, uint32_t unit) {
  bool ok = false;
  for (uint32_t i = 0; i < length / unit; ++i) {
    SpiEnableWrites(dev);
    ok = address % 0x4000 == 0 ? Spi(dev, {0x04, 0x01, 0xAD, A2(address), A1(address), A0(address)})
                               : Spi(dev, {0x01, 0x01, 0xAD});
    if (ok) ok = SpiWriteData(dev, {data, 2});
    for (uint32_t k = 2; ok && k + 2 <= unit; k += 2)
      ok = Spi(dev, {0x03, 0x00, 0xAD, data[k], data[k + 1]});
    if (!ok) break;
    address += unit;
    data += unit;
  }
  return ok;
}

bool SpiProgram(const Device& dev, uint32_t address, const uint8_t* data, uint32_t length, uint8_t vendor,
                bool wordProgram) {
  if (length == 0) return false;
  constexpr uint32_t kSlice = 8192;
  const bool sst = vendor == 2;
  for (uint32_t done = 0; done < length;) {
    const uint32_t slice = std::min(kSlice, length - done);
    WaitFlashReady(dev);
    bool ok;
    if (!sst) ok = SpiPageProgram(dev, address, data, slice, vendor == 5 ? 32 : 256);
    else if (wordProgram) ok = SpiAaiWordProgram(dev, address, data, slice, 512);
    else ok = SpiAaiByteProgram(dev, address, data, slice, 512);
    if (!ok) {
      // An auto-increment sequence is never left open, also when a slice failed.
      if (sst && wordProgram) SpiWriteDisable(dev);
      return false;
    }
    Pause(dev);
    address += slice;
    data += slice;
    done += slice;
  }
  return sst && wordProgram ? SpiWriteDisable(dev) : true;
}

}  // namespace qvfw::device
