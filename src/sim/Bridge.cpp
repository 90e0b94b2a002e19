#include "sim/Bridge.h"

#include <algorithm>
#include <cstring>

#include "chips/ChipFamilies.h"
#include "codec/ImageChecksum.h"
#include "codec/ImageCodec.h"

namespace qvfw::sim {
namespace {

Response FlashTimeout() { return Check(0x04, 0x44, 0x00); }

bool IsBufferFamily(uint8_t t) { return chips::InGroup(chips::ChipTypeOf(t), chips::kBufferFamily); }
bool IsStorageLine(uint8_t t) { return chips::InGroup(chips::ChipTypeOf(t), chips::kStorageLine); }

// The bytes [from, to) of the CDB are 0, as every byte the command set does not list is.
bool Zero(std::span<const uint8_t> b, size_t from, size_t to) {
  for (size_t i = from; i < to && i < b.size(); ++i)
    if (b[i] != 0) return false;
  return true;
}

// A length field agrees with its data phase: equal, or 1 against the 2 bytes a one-byte transfer
// travels as.
bool SameLength(uint32_t field, uint32_t phase) { return field == phase || (field == 1 && phase == 2); }

}  // namespace

std::string ModelKey(uint8_t chipType) {
  return chipType < chips::kChipTypeCount ? std::string(chips::ChipModelKey(chips::ChipType(chipType))) : std::string();
}

BridgeConfig FamilyConfig(uint8_t t, uint8_t rev) {
  BridgeConfig c;
  c.chipType = t;
  c.revision = rev;
  const std::string key = ModelKey(t);
  c.productText = "SATA Bridge " + key;
  c.pid = key.empty() ? 0 : static_cast<uint16_t>(std::stoul(key, nullptr, 16));
  const auto digit = [](int v) { return static_cast<char>(v); };
  // How the family reveals itself.
  switch (t) {
    case 1: c.inquiryChipId = "q778"; c.modelText = std::string("q778C") + digit(rev + 47) + "00"; break;
    case 4: c.inquiryChipId = "q779"; c.modelText = "q779A300"; break;
    case 5: c.inquiryChipId = "q776"; c.modelText = std::string("q776C") + digit(rev + 47) + "00"; break;
    case 7:
      c.inquiryChipId = "q784";
      c.modelText = rev <= 1 ? std::string("q784\0\0\0\0", 8) : std::string("q784A") + digit(rev + 47) + "00";
      break;
    case 9: c.inquiryChipId = "q788"; break;
    case 11: c.inquiryChipId = "q789"; c.modelText = std::string("q4789") + digit(rev + 47) + "00"; break;
    case 26: c.inquiryChipId = "q882"; c.loader = true; break;
    case 28: c.inquiryChipId = "q826"; c.modelText = std::string("q826A") + digit(rev + 47) + "00"; break;
    case 30: c.inquiryChipId = "q776"; c.modelText = std::string("q776E") + digit(rev - 1) + "00"; break;
    case 31: case 32: case 33: case 34:
      c.chipInfoSignature = false;
      c.probeByte0 = static_cast<uint8_t>((t - 31) << 5);
      break;
    case 35: c.vid = 0x284D; c.pid = 0x4771; break;
    default:
      if (!key.empty()) c.inquiryChipId = "q" + key;
      break;
  }
  // Chip information bytes 6..15: kind, sub-kind, model digits, revision digit, version.
  auto& ci = c.chipInfo;
  ci[6] = 1;
  ci[7] = 5;
  for (size_t i = 0; i < 3 && i < key.size(); ++i) ci[8 + i] = static_cast<uint8_t>(key[i]);
  ci[11] = static_cast<uint8_t>('0' + rev % 10);
  ci[12] = 1;
  ci[13] = 7;
  ci[14] = 3;
  ci[15] = 0;
  if (t == 8) ci[11] = static_cast<uint8_t>('0' + (rev == 0 ? 1 : rev));
  if (IsBufferFamily(t)) {
    ci[6] = 2;                               // version shown as characters
    ci[7] = (t == 15 || t == 16) ? 0 : 1;    // ROM generation
    c.versionFromImage = true;
    c.bufferCommands = true;
    c.bootCheck = true;
  }
  c.bankBoot = t == 13 || t == 14 || t == 27;
  c.needsPrepareFlashWrite = t == 12;
  c.parameters.assign(32, 0);
  c.parameters[8] = (t == 6 || t == 29) ? 0xD5 : 0x01;
  c.parameters[18] = 0xD2;
  c.parameters[19] = 0x01;
  if (t == 30) {
    c.parameters[16] = 0x01;  // firmware area on the disk
    c.parameters[17] = 0x00;
  }
  // Internal memory: the feature flags the version display reads, the probe registers.
  c.memory[0x7038] = {0x00, 0x00, 0x15, 0x00};
  c.memory[0x70F0] = {0x00, 0x00, 0x00, 0x01};
  c.memory[0xFDB0] = {0x00, static_cast<uint8_t>(t == 12 && rev >= 5 ? 0xB4 : 0x10), 0x00, 0x00};
  if (t == 5 || t == 7) {
    std::vector<uint8_t> block = {0x55, 0xAA, 0xAA, 0x55};
    for (char ch : key) block.push_back(static_cast<uint8_t>(ch));
    block.resize(10, 0);
    c.memory[0xC000] = block;
  }
  return c;
}

Bridge::Bridge(BridgeConfig config, std::unique_ptr<SpiFlash> flash)
    : config_(std::move(config)), flash_(std::move(flash)), disk_(config_.disk), memory_(0x10000, 0) {
  if (!config_.hasFlash) flash_.reset();
  if (!config_.reservedArea.empty()) {
    const uint32_t ss = disk_.config().logicalSectorSize;
    std::vector<uint8_t> block(((config_.reservedArea.size() + ss - 1) / ss) * ss, 0);
    std::copy(config_.reservedArea.begin(), config_.reservedArea.end(), block.begin());
    disk_.WriteSectors(disk_.config().sectors, static_cast<uint32_t>(block.size() / ss), block.data());
  }
  PowerOn();
}

std::optional<uint32_t> Bridge::ValidBank() const {
  if (!flash_) return std::nullopt;
  const auto& d = flash_->data();
  const std::string key = ModelKey(config_.chipType);
  for (uint32_t base : {0u, 0x20000u}) {
    if (d.size() < base + 0x20000) continue;
    const uint8_t* b = d.data() + base;
    if (b[0xBFF0] != 0x55 || b[0xBFF1] != 0xAA) continue;
    if (std::memcmp(b + 0xBFF4, key.data(), 3) != 0) continue;
    // A bank programmed through the engineering path carries a RAM-download header stamped
    // after the image was sealed (marker 5A C3 69 E1 at 0x200, a copy of the bank's check value,
    // the header's own check value at 0x3FC). The bridge checks the header on its own and seals
    // the bank as it was before the stamp, with the header area blank.
    static constexpr uint8_t kHeaderMarker[4] = {0x5A, 0xC3, 0x69, 0xE1};
    if (std::memcmp(b + 0x200, kHeaderMarker, 4) == 0) {
      if (codec::LoadCheckValue(b + 0x3FC) != codec::ImageCrc({b, 0x3FC})) continue;
      if (std::memcmp(b + 0x208, b + codec::kBankSize - 4, 4) != 0) continue;
      std::vector<uint8_t> unstamped(b, b + codec::kBankSize);
      std::fill(unstamped.begin() + 0x200, unstamped.begin() + 0x400, 0);
      if (!codec::BankSealed(unstamped)) continue;
      return base;
    }
    if (!codec::BankSealed({b, codec::kBankSize})) continue;
    return base;
  }
  return std::nullopt;
}

std::optional<uint32_t> Bridge::BootableStorageBank() const {
  if (!flash_) return std::nullopt;
  const auto& d = flash_->data();
  const uint8_t t = config_.chipType;
  const bool dual = t == 13 || t == 27;
  // The bridge looks for its signature block just below its code area's end.
  const uint32_t codeEnd = t == 27 ? 0x8000 : 0xC000;
  for (uint32_t base : {0u, 0x10000u}) {
    if (base > 0 && !dual) break;
    if (d.size() < base + 0x10000) break;
    if (codec::StorageBankValid({d.data() + base, 0x10000}, ModelKey(t), codeEnd - 16, codeEnd)) return base;
  }
  return std::nullopt;
}

void Bridge::PowerOn() {
  if (flash_) flash_->PowerCycle();
  restart_ = false;
  prepared_ = false;
  spiPending_.reset();
  ramImage_.clear();
  std::fill(memory_.begin(), memory_.end(), 0);
  for (const auto& [address, bytes] : config_.memory)
    for (size_t i = 0; i < bytes.size() && address + i < memory_.size(); ++i) memory_[address + i] = bytes[i];
  if (flash_) {
    const FlashPart& p = flash_->part();
    ce_ = p.chipEraseOp;
    be_ = p.blockEraseOp;
    pp_ = p.programOp;
    se_ = p.sectorEraseOp;
    // The sector erase command of the bridge firmware clears a large sector: the part's
    // smallest erase of at least 32 KiB.
    sectorOp_ = be_;
    uint32_t best = 0xFFFFFFFF;
    for (const EraseOp& e : p.erases)
      if (e.unit >= 0x8000 && e.unit < best) {
        best = e.unit;
        sectorOp_ = e.opcode;
      }
  }
  vendor_ = config_.reportedVendor >= 0 ? config_.reportedVendor : (flash_ ? flash_->part().vendorCode : 0);
  if (pendingIds_) {
    config_.vid = pendingIds_->first;
    config_.pid = pendingIds_->second;
    pendingIds_.reset();
  }
  if (pendingSerial_) {
    config_.serial = *pendingSerial_;
    pendingSerial_.reset();
  }
  mode_ = BridgeMode::Firmware;
  const std::string key = ModelKey(config_.chipType);
  for (size_t i = 0; i < 3; ++i) runningModel_[i] = i < key.size() ? static_cast<uint8_t>(key[i]) : 0;
  runningVersion_ = {'0', '0', '0', '0'};
  bootedBank_.reset();
  if (config_.bankBoot) bootedBank_ = BootableStorageBank();
  if (config_.bootCheck) {
    const auto bank = ValidBank();
    if (!bank) {
      mode_ = BridgeMode::Rom;
    } else {
      const auto& d = flash_->data();
      for (size_t i = 0; i < 3; ++i) runningModel_[i] = d[*bank + 21 + i];
      for (size_t i = 0; i < 4; ++i) runningVersion_[i] = d[*bank + 25 + i];
    }
  }
}

bool Bridge::TakeRestartRequest() {
  const bool r = restart_;
  restart_ = false;
  return r;
}

// ---- the firmware's own flash access -------------------------------------------------------
//
// The bridge firmware polls the flash status itself only where the host cannot: between the
// steps of one command (the pages of one write, the erase and the unprotect ahead of a write, the
// sector updates of WRITE BUFFER) and where the host never polls around a command. Everything
// else goes to the flash at once, busy or not, and a busy flash drops it as the part does.

bool Bridge::WaitFlash(SimTime& t) {
  if (!flash_) return true;
  if (flash_->StuckBusy()) {
    t.us += 5'000'000;  // the firmware's own time-out
    return false;
  }
  if (flash_->Busy(t.us)) t.us = flash_->BusyUntilUs();
  return true;
}

void Bridge::FlashFrame(std::initializer_list<uint8_t> out, SimTime& t) {
  if (flash_) flash_->Frame(std::vector<uint8_t>(out), {}, t.us);
}

void Bridge::FlashFrame(const std::vector<uint8_t>& out, std::span<uint8_t> in, SimTime& t) {
  if (flash_) flash_->Frame(out, in, t.us);
  else std::fill(in.begin(), in.end(), 0xFF);
}

void Bridge::FlashRead(uint32_t a, uint8_t* out, uint32_t n, SimTime& t) {
  FlashFrame({0x03, uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)}, {out, n}, t);
}

bool Bridge::FlashProgram(uint32_t a, const uint8_t* in, uint32_t n, SimTime& t, Finish finish) {
  if (n == 0 || !flash_) return true;
  auto header = [](uint8_t op, uint32_t addr) {
    return std::vector<uint8_t>{op, uint8_t(addr >> 16), uint8_t(addr >> 8), uint8_t(addr)};
  };
  if (pp_ == 0xAF || pp_ == 0xAD) {  // auto-address-increment: one byte or word per frame
    const uint32_t unit = pp_ == 0xAD ? 2 : 1;
    // Words start at even addresses: an odd start goes as a word whose first byte is 0xFF, which
    // leaves that byte as it was.
    const uint32_t lead = a % unit;
    auto byte = [&](uint32_t i) -> uint8_t { return i >= lead && i - lead < n ? in[i - lead] : 0xFF; };
    FlashFrame({0x06}, t);
    for (uint32_t i = 0; i < n + lead; i += unit) {
      if (i > 0 && !WaitFlash(t)) return false;
      std::vector<uint8_t> f = i == 0 ? header(pp_, a - lead) : std::vector<uint8_t>{pp_};
      for (uint32_t k = 0; k < unit; ++k) f.push_back(byte(i + k));
      flash_->Frame(f, {}, t.us);
    }
    if (!WaitFlash(t)) return false;  // the sequence ends only once its last word is in
    FlashFrame({0x04}, t);
    return true;
  }
  const uint32_t page = flash_->part().pageSize;
  uint32_t done = 0;
  while (done < n) {
    const uint32_t addr = a + done;
    const uint32_t chunk = std::min(n - done, page - (addr % page));
    if (done > 0 && !WaitFlash(t)) return false;
    FlashFrame({0x06}, t);
    std::vector<uint8_t> f = header(pp_, addr);
    f.insert(f.end(), in + done, in + done + chunk);
    flash_->Frame(f, {}, t.us);
    done += chunk;
  }
  return finish == Finish::Wait ? WaitFlash(t) : true;
}

bool Bridge::FlashErase(uint8_t op, uint32_t a, SimTime& t, Finish finish) {
  FlashFrame({0x06}, t);
  FlashFrame({op, uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)}, t);
  return finish == Finish::Wait ? WaitFlash(t) : true;
}

bool Bridge::FlashUnprotect(SimTime& t) {
  FlashFrame({0x06}, t);
  FlashFrame({0x50}, t);
  FlashFrame({0x01, 0x00}, t);
  return WaitFlash(t);
}

bool Bridge::FlashUpdate(uint32_t a, const uint8_t* in, uint32_t n, SimTime& t) {
  if (!flash_) return true;
  uint32_t unit = 0;
  for (const EraseOp& e : flash_->part().erases)
    if (e.opcode == se_ && e.unit != 0) unit = e.unit;
  if (unit == 0) return FlashProgram(a, in, n, t, Finish::Wait);
  uint32_t done = 0;
  while (done < n) {
    const uint32_t addr = a + done;
    const uint32_t start = addr - addr % unit;
    const uint32_t chunk = std::min(n - done, start + unit - addr);
    std::vector<uint8_t> old(unit);
    if (!WaitFlash(t)) return false;
    FlashRead(start, old.data(), unit, t);
    bool fits = true;
    for (uint32_t i = 0; i < chunk && fits; ++i) fits = (old[addr - start + i] & in[done + i]) == in[done + i];
    if (fits) {
      if (!FlashProgram(addr, in + done, chunk, t, Finish::Wait)) return false;
    } else {
      std::copy(in + done, in + done + chunk, old.begin() + (addr - start));
      if (!FlashErase(se_, start, t, Finish::Wait) || !FlashProgram(start, old.data(), unit, t, Finish::Wait)) return false;
    }
    done += chunk;
  }
  return true;
}

void Bridge::FlushSpi(SimTime& t) {
  if (!spiPending_) return;
  FlashFrame(*spiPending_, {}, t);
  spiPending_.reset();
}

// ---- commands --------------------------------------------------------------------------------

Response Bridge::Execute(const Command& c, SimTime& t) {
  const auto& b = c.cdb;
  const bool spiData = b.size() >= 3 && b[0] == 0xFF && b[1] == 0x04 && (b[2] == 0x21 || b[2] == 0x22);
  if (!spiData) FlushSpi(t);
  switch (b[0]) {
    case 0x12: return Inquiry(c);
    case 0x5A: return ModeSense(c);
    case 0x55: return ModeSelect(c);
    case 0x3C: return config_.bufferCommands ? ReadBuffer(c, t) : IllegalOpcode();
    case 0x3B: return config_.bufferCommands ? WriteBuffer(c, t) : IllegalOpcode();
    case 0xC3: return SetIdentity(c);
    case 0xE0: return config_.answersChipInfo ? ChipInfo(c) : IllegalOpcode();
    case 0xFE: return config_.answersChipInfoAlt ? ChipInfo(c) : IllegalOpcode();
    default: break;
  }
  if (disk_.Handles(b)) return disk_.Execute(c, t);
  if (b.size() < 12) return IllegalOpcode();
  if (mode_ == BridgeMode::Rom) {
    // The boot ROM knows the identification probe and the restart, nothing of the flash.
    if (b[0] == 0xDF && b[11] == 0xFF) return Df(c, t);
    if (b[0] == 0xFF && b[1] == 0x04 && b[2] == 0x26) return Ff04(c, t);
    return IllegalOpcode();
  }
  switch (b[0]) {
    case 0xFF: return b[1] == 0x04 ? Ff04(c, t) : IllegalOpcode();
    case 0xDF: return Df(c, t);
    case 0xB2: case 0xB3: case 0xB4: case 0xB5: case 0xB6: return config_.loader ? Loader(c, t) : IllegalOpcode();
    default: return IllegalOpcode();
  }
}

Response Bridge::Inquiry(const Command& c) {
  const auto& b = c.cdb;
  if (!c.dataIn || (b[1] & 0xFE) != 0) return InvalidField();
  if ((b[1] & 0x01) == 0) {
    if (b[2] != 0) return InvalidField();
    FillInquiry(c.data, c.length, config_.vendorText, config_.productText, config_.revisionText,
                config_.inquiryChipId);
    return Good(std::min<uint32_t>(c.length, 96));
  }
  uint8_t d[96] = {};
  d[1] = b[2];
  size_t n = 4;
  switch (b[2]) {
    case 0x00: d[4] = 0x00; d[5] = 0x80; d[6] = 0xC3; n = 7; break;
    case 0x80:
      for (size_t i = 0; i < config_.serial.size() && i < 40; ++i) d[4 + i] = static_cast<uint8_t>(config_.serial[i]);
      n = 4 + std::min<size_t>(config_.serial.size(), 40);
      break;
    case 0xC3:
      PutBe(d + 8, config_.vid, 2);
      PutBe(d + 10, config_.pid, 2);
      n = 96;
      break;
    default: return InvalidField();
  }
  d[3] = static_cast<uint8_t>(n - 4);
  const uint32_t m = std::min<uint32_t>({c.length, static_cast<uint32_t>(n), Be16(b, 3) ? Be16(b, 3) : 0xFFFF});
  std::memcpy(c.data, d, m);
  return Good(m);
}

Response Bridge::ChipInfo(const Command& c) {
  const auto& b = c.cdb;
  if (b.size() < 3 || b[1] != 0xF4 || b[2] != 0xE7 || !Zero(b, 3, b.size()) || !c.dataIn) return InvalidField();
  std::array<uint8_t, 16> d = config_.chipInfo;
  if (config_.chipInfoSignature) {
    d[0] = 0xF4;
    d[1] = 0xE7;
    PutBe(d.data() + 2, config_.vid, 2);
    PutBe(d.data() + 4, config_.pid, 2);
  } else {
    std::fill(d.begin(), d.begin() + 6, 0);
  }
  if (config_.versionFromImage) {
    for (size_t i = 0; i < 3; ++i) d[8 + i] = runningModel_[i];
    for (size_t i = 0; i < 4; ++i) d[12 + i] = runningVersion_[i];
  }
  if (config_.bankBoot && !bootedBank_) std::fill(d.begin() + 12, d.end(), 0);
  const uint32_t n = std::min<uint32_t>({c.length, config_.chipInfoLength, 16});
  std::memcpy(c.data, d.data(), n);
  return Good(n);
}

Response Bridge::Ff04(const Command& c, SimTime& t) {
  const auto& b = c.cdb;
  const uint32_t a = Be24(b, 3);
  // The QVS882 takes flash changes only once they were announced since its power-on.
  const bool refused = config_.needsPrepareFlashWrite && !prepared_;
  switch (b[2]) {
    case 0x10: {
      if (!Zero(b, 6, 12) || !c.dataIn || c.length == 0) return InvalidField();
      FlashRead(a, c.data, c.length, t);
      Response r = Good(c.length);
      r.flashAddress = a;
      return r;
    }
    case 0x11:  // the whole-image procedure sends its steps back to back: each ends programmed
      if (!Zero(b, 6, 12) || c.dataIn || c.length == 0) return InvalidField();
      if (refused) return SequenceError();
      return FlashProgram(a, c.data, c.length, t, Finish::Wait) ? Good(c.length) : FlashTimeout();
    case 0x12:
      if (!Zero(b, 3, 12) || !c.dataIn || c.length == 0 || c.length > 2) return InvalidField();
      c.data[0] = flash_ ? flash_->Status(t.us) : 0;
      return Good(c.length);
    case 0x13:  // the whole chip, within the command's 100-second time-out
      if (!Zero(b, 3, 12) || c.length != 0) return InvalidField();
      if (refused) return SequenceError();
      return FlashErase(ce_, 0, t, Finish::Wait) ? Good(0) : FlashTimeout();
    case 0x14:  // returns at once: the host pauses and polls the status after it
      if (!Zero(b, 6, 12) || c.length != 0) return InvalidField();
      if (refused) return SequenceError();
      FlashErase(sectorOp_, a, t, Finish::Return);
      return Good(0);
    case 0x15: {
      const uint8_t n = b[3];
      if ((n != 3 && n != 4) || (b[5] != 0 && b[5] != 3) || !Zero(b, 6, 12) || !c.dataIn || c.length != n)
        return InvalidField();
      std::vector<uint8_t> out(1 + b[5], 0);
      out[0] = b[4];
      FlashFrame(out, {c.data, n}, t);
      return Good(n);
    }
    case 0x0F: {
      // The storage line takes the parameter as a 16-bit number, the others as one byte (a
      // quarter of it); either is a page length of at most 256 bytes.
      const uint32_t parameter = IsStorageLine(config_.chipType) ? Be16(b, 7) : b[7] * 4u;
      const size_t end = IsStorageLine(config_.chipType) ? 9 : 8;
      if (parameter == 0 || parameter > 256 || !Zero(b, end, 12) || c.length != 0) return InvalidField();
      ce_ = b[3];
      be_ = b[4];
      pp_ = b[5];
      se_ = b[6];
      return Good(0);
    }
    case 0x20: {
      const uint8_t count = b[3];
      if (count == 0 || count > 7 || b[4] > 1 || !Zero(b, 5 + count, 12) || (c.dataIn && c.length != 0))
        return InvalidField();
      std::vector<uint8_t> seq(b.begin() + 5, b.begin() + 5 + count);
      if (b[4] == 1) spiPending_ = std::move(seq);
      else FlashFrame(seq, {}, t);
      return Good(c.length);
    }
    case 0x21: {
      if (!spiPending_) return SequenceError();
      const uint32_t field = Be16(b, 7);
      // The AMIC and ATMEL probes leave the length 0 and read 4 bytes.
      if (!Zero(b, 3, 7) || !Zero(b, 9, 12) || !c.dataIn || c.length == 0 || (field != 0 && !SameLength(field, c.length))) {
        spiPending_.reset();
        return InvalidField();
      }
      const uint32_t n = field != 0 ? field : c.length;
      FlashFrame(*spiPending_, {c.data, n}, t);
      spiPending_.reset();
      return Good(n);
    }
    case 0x22: {
      if (!spiPending_) return SequenceError();
      const uint32_t n = Be16(b, 7);
      if (!Zero(b, 3, 7) || !Zero(b, 9, 12) || c.dataIn || n == 0 || !SameLength(n, c.length)) {
        spiPending_.reset();
        return InvalidField();
      }
      std::vector<uint8_t> frame = *spiPending_;
      frame.insert(frame.end(), c.data, c.data + n);
      spiPending_.reset();
      FlashFrame(frame, {}, t);
      return Good(c.length);
    }
    case 0x23:
      if (b[3] != 4 || !Zero(b, 4, 12) || !c.dataIn || c.length != 4) return InvalidField();
      c.data[0] = static_cast<uint8_t>(vendor_);
      return Good(4);
    case 0x25:
      if (!config_.needsPrepareFlashWrite || !Zero(b, 3, 12) || c.length != 0) return InvalidField();
      prepared_ = true;
      return Good(0);
    case 0x26:
      if (b[3] != 'Q' || b[4] != 'V' || !Zero(b, 5, 12) || c.length != 0) return InvalidField();
      restart_ = true;
      return Good(0);
    case 0x30: {
      if (b[3] != 0x08 || !Zero(b, 4, 12) || config_.modelText.empty() || !c.dataIn || c.length < 8)
        return InvalidField();
      std::memcpy(c.data, config_.modelText.data(), std::min<size_t>(8, config_.modelText.size()));
      return Good(8);
    }
    case 0xA0: {
      if (b[3] == 0 || !Zero(b, 4, 12) || !c.dataIn || c.length != b[3]) return InvalidField();
      const uint32_t n = std::min<uint32_t>(c.length, static_cast<uint32_t>(config_.parameters.size()));
      std::memcpy(c.data, config_.parameters.data(), n);
      return Good(n);
    }
    default: return InvalidField();
  }
}

Response Bridge::Df(const Command& c, SimTime& t) {
  const auto& b = c.cdb;
  switch (b[11]) {
    case 0xFF: {  // the identification probe
      if (b[1] != 0x10 || !Zero(b, 5, 11) || !c.dataIn || !SameLength(Be24(b, 2), c.length)) return InvalidField();
      const uint8_t reply[2] = {config_.probeByte0, 0x00};
      const uint32_t n = std::min<uint32_t>(c.length, 2);
      std::memcpy(c.data, reply, n);
      return Good(n);
    }
    case 0xFA: {
      const uint32_t n = Be24(b, 2), a = Be24(b, 8);
      if (b[1] != 0x10 || !Zero(b, 5, 8) || !c.dataIn || n == 0 || !SameLength(n, c.length)) return InvalidField();
      if (config_.chipType == 8 && b[2] != 0) return InvalidField();  // 16-bit lengths only
      FlashRead(a, c.data, n, t);
      Response r = Good(n);
      r.flashAddress = a;
      return r;
    }
    case 0xFB: {
      const uint8_t m = b[1];
      const uint32_t n = Be24(b, 2), a = Be24(b, 8);
      if ((m & 0x78) != 0 || !Zero(b, 5, 8) || (c.dataIn && c.length != 0) || !SameLength(n, c.length))
        return InvalidField();
      // The QVB787 knows the short form only: a 16-bit length and an erase flag for the mode.
      if (config_.chipType == 8 && ((m != 0 && m != 1) || b[2] != 0)) return InvalidField();
      // The QVS812 line takes an erase of 1..3 as a request of its own, never on a data write.
      if (IsBufferFamily(config_.chipType) && n > 0 && m >= 1 && m <= 3) return InvalidField();
      if (config_.needsPrepareFlashWrite && !prepared_) return SequenceError();
      if ((m & 0x80) != 0 && !FlashUnprotect(t)) return FlashTimeout();
      // The erase ends before the data goes and before the command does: the QVS812 line sends
      // its data right after a request of its own.
      bool ok = true;
      switch (m & 0x07) {
        // The QVB787 firmware takes this write with a 16-bit length and an erase flag in place of
        // the mode: the flag clears the 32 KiB (or larger) block at the address.
        case 1: case 4: ok = FlashErase(config_.chipType == 8 ? sectorOp_ : se_, a, t, Finish::Wait); break;
        case 2: case 5: ok = FlashErase(be_, a, t, Finish::Wait); break;
        case 3: case 6: case 7: ok = FlashErase(ce_, 0, t, Finish::Wait); break;
        default: break;
      }
      // The host waits for the flash before each of these commands; the last page is left busy.
      if (ok && n > 0) ok = FlashProgram(a, c.data, n, t, Finish::Return);
      return ok ? Good(c.length) : FlashTimeout();
    }
    case 0xFC:
      if (b[1] != 0x01 || !Zero(b, 2, 11) || c.length != 0) return InvalidField();
      vendor_ = flash_ ? flash_->part().vendorCode : 0;  // detect the flash again
      return Good(0);
    case 0xFD: case 0xFE: {
      const bool read = b[11] == 0xFD;
      const uint32_t n = Be16(b, 3), a = Be16(b, 6);
      if (a + n > memory_.size() || read != c.dataIn || n == 0 || !SameLength(n, c.length) ||
          b[1] != (read ? 0x10 : 0x00) || b[2] != 0 || b[5] != 0 || !Zero(b, 8, 11))
        return InvalidField();
      if (read) {
        std::memcpy(c.data, memory_.data() + a, n);
        for (uint32_t i = 0; i < n; ++i) {
          auto it = config_.memoryForceSet.find(static_cast<uint16_t>(a + i));
          if (it != config_.memoryForceSet.end()) c.data[i] |= it->second;
        }
      } else {
        std::memcpy(memory_.data() + a, c.data, n);
      }
      return Good(n);
    }
    default: return InvalidField();
  }
}

Response Bridge::Loader(const Command& c, SimTime& t) {
  const auto& b = c.cdb;
  constexpr uint32_t kRam = 0xC800, kRamSize = 512;
  // The loader's host never reads the flash status: it pauses after the erase, which B4 only
  // starts, and reads back right after its last program step, which B3 therefore finishes.
  switch (b[0]) {
    case 0xB2: case 0xB5: {
      const bool read = b[0] == 0xB5;
      if (!Zero(b, 1, 5) || b[5] != 0x64 || !Zero(b, 6, 8) || b[8] != 0x01 || !Zero(b, 9, 12) || read != c.dataIn ||
          c.length != kRamSize)
        return InvalidField();
      if (!read) {
        std::memcpy(memory_.data() + kRam, c.data, kRamSize);
        ramFrom_.reset();
        return Good(kRamSize);
      }
      std::memcpy(c.data, memory_.data() + kRam, kRamSize);
      Response r = Good(kRamSize);
      if (ramFrom_) r.flashAddress = *ramFrom_;  // read-back faults apply to what came from the flash
      return r;
    }
    case 0xB3: case 0xB6: {
      // Between the RAM buffer and the flash: B3 programs at most one page, B6 reads at most the
      // buffer; both within the buffer's RAM.
      const uint32_t a = Be32(b, 2), n = Be16(b, 6), r = Be16(b, 8);
      const bool program = b[0] == 0xB3;
      const bool inRam = r >= kRam && r + n <= kRam + kRamSize;
      if (n == 0 || !inRam || c.length != 0) return InvalidField();
      if (program) {
        if (n > 256 || a % 256 + n > 256 || b[10] != 0xE5 || b[11] != 0x02) return InvalidField();
        return FlashProgram(a, memory_.data() + r, n, t, Finish::Wait) ? Good(0) : FlashTimeout();
      }
      if (!Zero(b, 10, 12)) return InvalidField();
      FlashRead(a, memory_.data() + r, n, t);
      if (r == kRam) ramFrom_ = a;
      else ramFrom_.reset();
      return Good(0);
    }
    case 0xB4: {
      // E1 E0: 21 52 erases the 32 KiB block at the address, 00 60 the whole chip.
      const bool block = b[10] == 0x21 && b[11] == 0x52, chip = b[10] == 0x00 && b[11] == 0x60;
      if (!Zero(b, 6, 9) || b[9] != 0x31 || !(block || chip) || c.length != 0) return InvalidField();
      FlashErase(chip ? ce_ : 0x52, Be32(b, 2), t, Finish::Return);
      return Good(0);
    }
    default: return IllegalOpcode();
  }
}

uint32_t Bridge::Capacity() const {
  return std::min<uint32_t>(config_.bufferCapacity, flash_ ? flash_->size() : 0);
}

Response Bridge::ReadBuffer(const Command& c, SimTime& t) {
  const auto& b = c.cdb;
  if (b.size() < 10 || !c.dataIn) return InvalidField();
  const uint8_t mode = b[1] & 0x1F, id = b[2];
  const uint32_t offset = Be24(b, 3), length = std::min(Be24(b, 6), c.length);
  if (mode == 0x03) {
    uint8_t d[4];
    if (id == 0) {
      d[0] = mode_ == BridgeMode::Rom ? 0xFF : 12;
      PutBe(d + 1, mode_ == BridgeMode::Rom ? 0x10000 : Capacity(), 3);
    } else if (id == 1) {
      d[0] = 0;
      PutBe(d + 1, 4096, 3);
    } else {
      return InvalidField();
    }
    const uint32_t n = std::min<uint32_t>(length, 4);
    std::memcpy(c.data, d, n);
    return Good(n);
  }
  if (mode != 0x01 && mode != 0x02) return InvalidField();
  const uint32_t limit = id == 1 ? 4096 : (flash_ ? flash_->size() : 0);
  if ((id != 0 && id != 1) || uint64_t{offset} + length > limit) return InvalidField();
  // The host never polls the status around the buffer commands: the bridge waits itself.
  if (!WaitFlash(t)) return FlashTimeout();
  FlashRead(offset, c.data, length, t);
  Response r = Good(length);
  r.flashAddress = offset;
  return r;
}

Response Bridge::WriteBuffer(const Command& c, SimTime& t) {
  const auto& b = c.cdb;
  if (b.size() < 10 || c.dataIn) return InvalidField();
  const uint8_t mode = b[1] & 0x1F, id = b[2];
  const uint32_t offset = Be24(b, 3), length = Be24(b, 6);
  switch (mode) {
    case 0x0E: {  // download microcode with offsets, save, defer activation
      if (mode_ == BridgeMode::Rom || id != 0 || offset % 4096 != 0 || length != c.length ||
          uint64_t{offset} + length > Capacity())
        return InvalidField();
      // A bridge that reports kind 02 00 expects the host to have erased the flash first;
      // the others erase what stands in the way themselves.
      const bool hostErases = mode_ == BridgeMode::RamLoaded || (config_.chipInfo[6] == 2 && config_.chipInfo[7] == 0);
      // The host never polls the status around the buffer commands: the segment is saved, and
      // the flash ready again, before the status.
      if (!WaitFlash(t)) return FlashTimeout();
      const bool ok = hostErases ? FlashProgram(offset, c.data, length, t, Finish::Wait) : FlashUpdate(offset, c.data, length, t);
      return ok ? Good(length) : FlashTimeout();
    }
    case 0x06: {  // download microcode with offsets into RAM: a manufacturing firmware
      if (id != 0 || length != c.length || uint64_t{offset} + length > 0x10000) return InvalidField();
      ramImage_.resize(0x10000, 0);
      std::memcpy(ramImage_.data() + offset, c.data, length);
      if (offset + length == 0x10000) mode_ = BridgeMode::RamLoaded;
      return Good(length);
    }
    case 0x0F:  // activate deferred microcode: restart into what the flash holds
      restart_ = true;
      return Good(c.length);
    default: return InvalidField();
  }
}

Response Bridge::ModeSense(const Command& c) {
  const auto& b = c.cdb;
  if (b.size() < 10 || (b[2] & 0x3F) != 0x1A || !c.dataIn) return InvalidField();
  uint8_t d[48] = {};
  PutBe(d, sizeof d - 2, 2);
  d[8] = 0x1A;
  d[9] = 0x26;
  d[11] = config_.standby ? 0x01 : 0x00;
  PutBe(d + 16, config_.standbyTimer, 4);
  const uint32_t n = std::min<uint32_t>({c.length, Be16(b, 7), 48});
  std::memcpy(c.data, d, n);
  return Good(n);
}

Response Bridge::ModeSelect(const Command& c) {
  const auto& b = c.cdb;
  const uint32_t n = b.size() >= 10 ? Be16(b, 7) : 0;
  if (b.size() < 10 || c.dataIn || n > c.length) return InvalidField();
  if (n < 20) return InvalidParameter();
  const std::span<const uint8_t> d(c.data, n);
  if (Be16(d, 6) != 0 || (d[8] & 0x3F) != 0x1A || d[9] != 0x26) return InvalidParameter();
  config_.standby = (d[11] & 0x01) != 0;
  config_.standbyTimer = Be32(d, 16);
  return Good(n);
}

Response Bridge::SetIdentity(const Command& c) {
  const auto& b = c.cdb;
  if (b.size() < 12 || b[1] != 0x30 || c.dataIn || b[9] != 0x48 || c.length < 72) return InvalidField();
  if (c.data[0] != 0x42) return InvalidParameter();
  pendingIds_ = std::make_pair(static_cast<uint16_t>(Be16(b, 4)), static_cast<uint16_t>(Be16(b, 6)));
  std::string serial(reinterpret_cast<const char*>(c.data + 52), 20);
  while (!serial.empty() && (serial.back() == ' ' || serial.back() == '\0')) serial.pop_back();
  pendingSerial_ = serial;
  return Good(72);
}

}  // namespace qvfw::sim
