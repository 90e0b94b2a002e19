#include "app/DeviceFacts.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/AppContext.h"
#include "app/DeviceList.h"
#include "app/Engineering.h"
#include "app/FirmwareChoice.h"
#include "app/ImageStore.h"
#include "app/ProgramVersion.h"
#include "device/ChipIdentify.h"
#include "device/Commands.h"
#include "device/FlashOps.h"
#include "firmware/FlashSize.h"
#include "firmware/VersionDisplay.h"

namespace qvfw::app {
namespace {

using chips::ChipType;
using chips::FlashVendor;

bool IsMxicWideId(const uint8_t* id) {
  return id[0] == 0xC2 && id[1] == 0x22 && (id[2] == 0x10 || id[2] == 0x11 || id[2] == 0x13);
}

// The opcodes go to the bridge as a set, sector erase included: a descriptor that no
// identification filled would otherwise hand the bridge a sector-erase opcode of 0.
void SetDefaultMxicOpcodes(device::FlashDescriptor& d) {
  d.chipErase = 0xC7;
  d.blockErase = 0xD8;
  d.program = 0x02;
  d.sectorErase = 0x20;
}

device::FlashDescriptor ZeroedDescriptor() {
  device::FlashDescriptor d{};
  d.chipErase = d.blockErase = d.program = d.sectorErase = 0;
  return d;
}

// "the flash maker: flash command (FF 04 23 …) was refused: …": a fact and why it is missing.
std::string Unread(const device::Device& dev, std::string_view fact) {
  const auto& failure = dev.transport().LastFailure();
  return std::string(fact) + ": " + (failure ? failure->Describe() : std::string("no answer"));
}

std::string Hex(const std::array<uint8_t, 4>& id, size_t n = 3) {
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    char b[4];
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", id[i]);
    text += b;
  }
  return text;
}

// Everything the flash identification learns of one device. The vendor starts unknown for each
// device: a value left from another device never stands in for this one's.
class FlashProbe {
 public:
  FlashProbe(AppContext& ctx, const device::Device& dev) : ctx_(ctx), dev_(dev) {}

  // A vendor code becomes the device's: its name is shown and its erase units loaded.
  void Take(uint8_t code) {
    f.vendor = chips::FlashVendorOf(code);
    f.label = std::string(chips::FlashVendorName(f.vendor));
    const chips::EraseUnits units = chips::FlashVendorEraseUnits(f.vendor);
    ctx_.flash.BlockEraseUnit = units.block;
    ctx_.flash.SectorEraseUnit = units.sector;
  }
  bool VendorOpen() const { return f.vendor == FlashVendor::Unknown || f.vendor == FlashVendor::StEonMxic; }

  // The size as the table gave it, and the id it was read from; an id that did not answer leaves
  // the size unknown rather than the 64 KiB of an unclassified part.
  void TakeSize(const device::FlashDescriptor& d, const std::array<uint8_t, 4>& id, const firmware::FlashSizeDetail& detail) {
    if (!detail.idRead) {
      f.sizeKiB.reset();
      f.sizeClassified = false;
      jedec.reset();
      sizeUnread = Unread(dev_, "the flash size");
      return;
    }
    sizeUnread.clear();
    f.sizeKiB = d.sizeKiB;
    f.sizeClassified = detail.classified;
    jedec = id;
  }

  void Storage(ChipType t, uint8_t revision, OfferedOptions& options) {
    const chips::ChipFamily& family = chips::Family(t);
    uint8_t vendor[4] = {};
    std::string vendorUnread;
    if (device::ReadFlashVendorCode(dev_, vendor)) Take(vendor[0]);
    else vendorUnread = Unread(dev_, "the flash maker");

    if (family.size == chips::SizeRoute::ById4) {
      options.nvram = false;
      bool buffer = device::SupportsReadBuffer(dev_);
      options.readWriteBuffer = buffer;
      options.productSn = buffer;
      device::FlashDescriptor d = ZeroedDescriptor();
      std::array<uint8_t, 4> id{};
      auto identifyAndSize = [&] {
        if (VendorOpen() && device::IdentifyFlashById4(dev_, d)) Take(d.vendor);
        d.vendor = chips::Code(f.vendor);
        firmware::FlashSizeDetail detail;
        id = firmware::DetectFlashSize(dev_, d, firmware::FlashIdRoute::ById4, &detail);
        TakeSize(d, id, detail);
      };
      identifyAndSize();
      if (f.vendor == FlashVendor::Unknown && device::PrepareFlashRetry(dev_)) identifyAndSize();
      if (!buffer) {
        if (f.vendor == FlashVendor::Mxic) {
          SetDefaultMxicOpcodes(d);
          if (IsMxicWideId(id.data())) device::SetFlashOpcodesWide(dev_, d, 32);
        } else if (f.vendor == FlashVendor::Sst && id[0] == 0xBF && id[1] == 0x25) {
          f.sst25 = true;
        }
      }
    }

    const bool spiRoute = family.size == chips::SizeRoute::Spi;
    if (spiRoute || (t == ChipType::QVS882 && revision >= 5)) {
      device::FlashDescriptor d = ZeroedDescriptor();
      if (VendorOpen() && device::IdentifyFlash(dev_, d)) Take(d.vendor);
      if (spiRoute) {
        d.vendor = chips::Code(f.vendor);
        firmware::FlashSizeDetail detail;
        const std::array<uint8_t, 4> id = firmware::DetectFlashSize(dev_, d, firmware::FlashIdRoute::Spi, &detail);
        TakeSize(d, id, detail);
        sizedForRecovery = detail.idRead;
      }
      if (f.vendor == FlashVendor::Mxic || f.vendor == FlashVendor::Sst) {
        uint8_t id[4] = {};
        if (device::SpiReadId(dev_, 0x9F, id)) {
          if (f.vendor == FlashVendor::Mxic) {
            SetDefaultMxicOpcodes(d);
            if (IsMxicWideId(id)) {
              if (spiRoute) device::SetFlashOpcodesWide(dev_, d, 32);
              else device::SetFlashOpcodes(dev_, d, 32);
            }
          } else if (id[0] == 0xBF && id[1] == 0x25) {
            f.sst25 = true;
          }
        }
      }
    }
    // The flash's own id may still have told the maker the bridge did not.
    if (!vendorUnread.empty() && f.vendor == FlashVendor::Unknown) missing.push_back(vendorUnread);
    if (!sizeUnread.empty()) missing.push_back(sizeUnread);
    // The maker the bridge reports and the flash's own id must tell the same maker.
    if (jedec && f.vendor != FlashVendor::Unknown && !firmware::JedecMakerAgrees(chips::Code(f.vendor), *jedec))
      missing.push_back("the flash maker: the bridge reports " + std::string(chips::FlashVendorName(f.vendor)) +
                        ", the flash's id begins " + Hex(*jedec, 2));
  }

  // The bridge route shows the maker only: it loads no erase units and finds no size.
  void Bridge() {
    f.amicClass = device::DetectAmicFlash(dev_);
    f.atmelClass = device::DetectAtmelFlash(dev_);
    if (f.amicClass != -1) {
      f.label = "AMIC";
      return;
    }
    if (f.atmelClass != -1) {
      f.label = "ATMEL";
      return;
    }
    uint8_t vendor[4] = {};
    device::FlashDescriptor d = ZeroedDescriptor();
    const bool answered = device::ReadFlashVendorCode(dev_, vendor);
    const std::string unanswered = answered ? std::string() : Unread(dev_, "the flash maker");
    if (answered && vendor[0] != 0) {
      f.vendor = chips::FlashVendorOf(vendor[0]);
    } else if (vendor[0] == 0 && device::IdentifyFlash(dev_, d)) {
      f.vendor = chips::FlashVendorOf(d.vendor);
    } else {
      // Without the bridge's answer, "no maker" cannot be told from "no flash" (a QV40776 that
      // keeps its firmware on the disk).
      if (!answered) missing.push_back(unanswered);
      return;
    }
    f.label = std::string(chips::FlashVendorName(f.vendor));
  }

  // The capacity code of the flash's JEDEC id: 0x10 is 64 KiB, each step doubles, up to 16 MiB.
  void JedecCapacity() {
    uint8_t id[4] = {};
    if (!device::SpiReadId(dev_, 0x9F, id)) {
      missing.push_back(Unread(dev_, "the flash size"));
      return;
    }
    jedec = std::array<uint8_t, 4>{id[0], id[1], id[2], id[3]};
    const bool blank = (id[0] == 0x00 && id[1] == 0x00) || (id[0] == 0xFF && id[1] == 0xFF);
    if (!blank && id[2] >= 0x10 && id[2] <= 0x18) {
      f.sizeKiB = 64u << (id[2] - 0x10);
      f.sizeClassified = true;
    }
  }

  FlashFacts f;
  std::optional<std::array<uint8_t, 4>> jedec;
  std::vector<std::string> missing;
  bool sizedForRecovery = false;

 private:
  AppContext& ctx_;
  const device::Device& dev_;
  std::string sizeUnread;
};

// The flash identification of the firmware-choice check, by the family's route.
void ProbeFlash(FlashProbe& probe, chips::ChipId id, platform::Bus bus, OfferedOptions& options) {
  const chips::ChipFamily& family = chips::Family(id.type);
  const bool storage = family.flash == chips::FlashRoute::Storage ||
                       (family.flash == chips::FlashRoute::StorageOver1394 && bus == platform::Bus::Ieee1394);
  if (storage) {
    probe.Storage(id.type, id.revision, options);
  } else {
    probe.Bridge();
    if (family.size == chips::SizeRoute::JedecCapacity) probe.JedecCapacity();
  }
}

// The fact a failed identification command was to give, by its CDB.
std::string_view FactOf(const std::vector<uint8_t>& cdb) {
  const uint8_t op = cdb.empty() ? 0 : cdb[0];
  const uint8_t sub = cdb.size() > 2 ? cdb[2] : 0;
  if (op == 0x12) return "the chip id";
  if (op == 0xE0 || op == 0xFE) return "the chip information";
  if (op == 0xFF && sub == 0x30) return "the chip model";
  if (op == 0xFF && sub == 0x23) return "the flash maker";
  if (op == 0x3C) return "the bridge's READ BUFFER";
  if (op == 0xFF) return "the flash id";
  return "an identification answer";
}

// Adds the facts whose commands did not complete (the device or the system never answered; a
// refusal is the family's own answer, judged where the fact is read) unless already missing.
void AddUncompleted(const device::FailureLog& log, std::vector<std::string>& missing) {
  for (const device::CommandFailure& failure : log.failures()) {
    if (failure.Refused()) continue;
    const std::string_view fact = FactOf(failure.cdb);
    const bool listed = std::any_of(missing.begin(), missing.end(),
                                    [&](const std::string& m) { return std::string_view(m).starts_with(fact); });
    if (!listed) missing.push_back(std::string(fact) + ": " + failure.Describe());
  }
}

std::string ChipWords(chips::ChipId id) {
  std::string text(chips::ChipName(id.type));
  if (id.revision) text += " rev " + std::to_string(id.revision);
  return text;
}

std::string FlashWords(const std::optional<FlashFacts>& f) {
  if (!f) return "none";
  std::string text = f->label.empty() ? std::string(chips::FlashVendorName(f->vendor)) : f->label;
  text += f->sizeKiB ? ", " + std::to_string(*f->sizeKiB) + " KiB" : std::string(", size unknown");
  if (f->amicClass != -1) text += ", AMIC class " + std::to_string(f->amicClass);
  if (f->atmelClass != -1) text += ", ATMEL class " + std::to_string(f->atmelClass);
  if (f->sst25) text += ", SST-25";
  return text;
}

// What one identification could not read: the model text of a family that always answers
// with it, and every identification command that did not complete.
void MissingOfIdentification(const device::ChipIdentification& identified, const device::FailureLog& log,
                             std::vector<std::string>& missing) {
  if (identified.modelTextMissing) {
    std::string why = "no answer";
    for (const device::CommandFailure& f : log.failures())
      if (f.cdb.size() > 2 && f.cdb[0] == 0xFF && f.cdb[2] == 0x30) why = f.Describe();
    missing.push_back("the chip model: " + why);
  }
  AddUncompleted(log, missing);
}

}  // namespace

std::optional<std::string> ReadSerialNumber(const device::Device& dev) {
  uint8_t page[50] = {};
  if (!device::InquiryVpd(dev, 0x80, page)) return std::nullopt;
  const char* text = reinterpret_cast<const char*>(page + 4);
  std::string serial(text, strnlen(text, sizeof page - 4));
  while (!serial.empty() && serial.back() == ' ') serial.pop_back();
  return serial;
}

std::string DeviceFacts::FirmwareText() const {
  switch (firmware) {
    case FirmwareState::Version: return version;
    case FirmwareState::InternalCode: return "Internal code";
    default: return {};
  }
}

std::array<uint8_t, 4> CarriedVersionBytes(const ImageStore& images) {
  uint8_t header[32] = {};
  LoadUpdateImage(images, header, 0, sizeof header);
  return {header[25], header[26], header[27], header[28]};
}

std::array<uint8_t, 4> CarriedVersionBytes(const AppContext& ctx) { return CarriedVersionBytes(ctx.images); }

std::string CarriedVersionText(const ImageStore& images) {
  const auto v = CarriedVersionBytes(images);
  int n[4] = {v[0], v[1], v[2], v[3]};
  if (v[0] >= '0' && v[0] <= '9')
    for (int& x : n) x -= '0';
  char text[32];
  std::snprintf(text, sizeof text, "%02d.%02d.%02d.%02d", n[0], n[1], n[2], n[3]);
  return text;
}

std::string CarriedVersionText(const AppContext& ctx) { return CarriedVersionText(ctx.images); }

std::string VersionText(const ImageStore& images) {
  return std::string(kBuildVersionText) + " (carries firmware " + CarriedVersionText(images) + ")";
}

std::string VersionLine(std::string_view program, const ImageStore& images) {
  return std::string(program) + " " + VersionText(images);
}

ScanResult ScanDevices(AppContext& ctx) {
  MainWindowState& s = ctx.state;
  ScanResult scan;
  std::vector<device::AdmittedDisk> admitted;
  if (ctx.disks) admitted = device::EnumerateBridgeDevices(*ctx.disks, ctx.transport, true, &scan.access);
  scan.admitted = admitted.size();
  s.DeviceCount = static_cast<int32_t>(admitted.size());

  std::string name;
  for (const device::AdmittedDisk& a : admitted) {
    if (scan.devices.size() == kMaxListedDevices) {
      char text[64];
      std::snprintf(text, sizeof text, "The tool only can show %d disks.", static_cast<int>(kMaxListedDevices));
      ctx.shell.MessageBox("Warning", text, MessageIcon::Warning);
      break;
    }
    // A device whose INQUIRY failed keeps the name of the one before it.
    if (a.answers.inquiryOk) name.assign(reinterpret_cast<const char*>(a.answers.inquiry.data() + 8), 24);
    DeviceRecord& record = s.DeviceTable[scan.devices.size()];
    record.Path.Set(a.disk.path);
    record.RecoveryDone = 0;
    record.Bus = a.disk.bus;
    record.DriveLetters.Set("");  // a reused record never shows another disk's volumes
    const device::Device dev(ctx.transport, a.disk.path);
    std::vector<std::string> missing;
    device::ChipIdentification identified;
    {
      device::FailureLog log(ctx.transport);
      identified = IdentifyChip(ctx, dev, &a.answers);
      MissingOfIdentification(identified, log, missing);
    }
    const chips::ChipId id = identified.id;
    s.SetChipIdentity(id.Packed());
    record.ChipIdentity = id.Packed();
    if (id.type == ChipType::Unknown) continue;
    ListedDevice listed{scan.devices.size(), a.disk.path, a.disk.bus, name, id, {}, a.answers, std::move(missing)};
    if (auto volumes = device::FindDriveLetters(*ctx.disks, a.disk.path)) {
      listed.volumes = device::DriveLettersText(*volumes);
      record.DriveLetters.Set(listed.volumes);
    }
    scan.devices.push_back(std::move(listed));
  }
  return scan;
}

DeviceFacts InspectDevice(AppContext& ctx, const ListedDevice& listed, bool sameScan) {
  MainWindowState& s = ctx.state;
  DeviceFacts facts;
  facts.device = listed;
  const device::Device dev(ctx.transport, listed.path);
  // The scan that listed the device identified it moments ago; otherwise the selected device is
  // identified again, so that the facts describe it as it is now.
  if (sameScan) {
    facts.missing = listed.missing;
  } else {
    device::FailureLog log(ctx.transport);
    const device::ChipIdentification identified = IdentifyChip(ctx, dev);
    facts.device.chip = identified.id;
    facts.device.missing.clear();
    MissingOfIdentification(identified, log, facts.missing);
  }
  const chips::ChipId id = facts.device.chip;
  s.SetChipIdentity(id.Packed());
  const ChipType t = id.type;
  const chips::ChipFamily& family = chips::Family(t);

  facts.chipText = std::string(family.name);
  if (t == ChipType::QVS813) {
    uint8_t params[32] = {};
    if (device::ReadBridgeParameters(dev, params)) facts.chipText = params[8] == 1 ? "QVS819/813 Series" : "QVS811 Series";
    uint8_t alt[16] = {};
    if (device::ReadChipInfoAlt(dev, alt)) facts.chipText = "QVS816 Series";
  }

  std::optional<bool> flashShown, versionShown;
  if (family.Is(chips::kProgrammable)) {
    flashShown = versionShown = true;
    facts.options.nvram = family.Is(chips::kNvramOption);
    FlashProbe probe(ctx, dev);
    {
      device::FailureLog log(ctx.transport);
      ProbeFlash(probe, id, listed.bus, facts.options);
      facts.missing.insert(facts.missing.end(), probe.missing.begin(), probe.missing.end());
      AddUncompleted(log, facts.missing);
    }
    facts.flash = probe.f;
    facts.jedec = probe.jedec;
    // The dual-bank repair runs once the flash is sized, as part of the check; never on facts
    // that are not whole.
    if (probe.sizedForRecovery && (t == ChipType::QVS876 || t == ChipType::QVS879) && facts.Complete())
      facts.repair = RecoverFirmwareBank(ctx, dev, listed.index, probe.f);
  } else if (family.Is(chips::kGatedVersion)) {
    uint8_t params[20] = {};
    if (device::ReadBridgeParameters(dev, params) && params[8] != 0) {
      const uint8_t level = params[8] == 0xAB && params[18] > 0xD1 ? params[18] : params[8];
      flashShown = false;
      versionShown = level >= 0xD0;
      if (level < 0xD0) facts.statusText = "The chip not support Firmware Update!";
    }
  } else if (family.Is(chips::kVersionOnly)) {
    flashShown = false;
    versionShown = true;
  } else {
    flashShown = versionShown = false;
    facts.statusText = "The chip not support Firmware Update!";
  }
  // Where the family leaves the fields as they were, they stay as the last device left them.
  facts.flashShown = flashShown.value_or(ctx.form.SFlashTypeLable.visible);
  facts.versionShown = versionShown.value_or(ctx.form.FwVerLableEdit.visible);

  // The procedures read the selected device's flash facts from the main window state.
  const FlashFacts flash = facts.flash.value_or(FlashFacts{});
  s.FlashVendorCode = chips::Code(flash.vendor);
  s.FlashSizeKiB = static_cast<int32_t>(flash.sizeKiB.value_or(0));
  if (facts.flash) {
    s.AmicClass = flash.amicClass;
    s.AtmelClass = flash.atmelClass;
    s.Sst25Flag = flash.sst25 ? 1 : 0;
  }

  const firmware::VersionRead version = firmware::ReadVersionText(dev, t);
  if (version.kind == firmware::VersionRead::Kind::NotQavion) {
    facts.firmware = FirmwareState::NotQavion;
    facts.statusText = "Not Qavion Chip!!";
  } else if (version.kind == firmware::VersionRead::Kind::Ok) {
    facts.version = version.text;
    facts.firmware = firmware::InternalCodeRule(dev, t, version.text, flash.vendor) ? FirmwareState::Version
                                                                                    : FirmwareState::InternalCode;
    const auto& b = version.info;
    facts.usbIds = UsbIds{static_cast<uint16_t>(b[2] << 8 | b[3]), static_cast<uint16_t>(b[4] << 8 | b[5])};
  }
  return facts;
}

std::string ConfirmIdentity(AppContext& ctx, const DeviceFacts& facts) {
  const device::Device dev(ctx.transport, facts.device.path);
  std::vector<std::string> differences;
  device::FailureLog log(ctx.transport);
  const device::ChipIdentification again = device::IdentifyChip(dev);
  if (again.id != facts.device.chip)
    differences.push_back("the chip (" + ChipWords(facts.device.chip) + ", now " + ChipWords(again.id) + ")");
  std::vector<std::string> unread;
  MissingOfIdentification(again, log, unread);
  if (facts.flash && again.id == facts.device.chip) {
    FlashProbe probe(ctx, dev);
    OfferedOptions options;
    options.nvram = chips::Family(again.id.type).Is(chips::kNvramOption);
    ProbeFlash(probe, again.id, facts.device.bus, options);
    unread.insert(unread.end(), probe.missing.begin(), probe.missing.end());
    if (probe.f != *facts.flash)
      differences.push_back("the flash (" + FlashWords(facts.flash) + ", now " + FlashWords(probe.f) + ")");
    if (probe.jedec != facts.jedec)
      differences.push_back("the flash's id (" + (facts.jedec ? Hex(*facts.jedec) : std::string("none")) + ", now " +
                            (probe.jedec ? Hex(*probe.jedec) : std::string("none")) + ")");
    if (options.readWriteBuffer != facts.options.readWriteBuffer)
      differences.push_back(std::string("the bridge's READ BUFFER (") + (facts.options.readWriteBuffer ? "answered" : "refused") +
                            ", now " + (options.readWriteBuffer ? "answered" : "refused") + ")");
  }
  AddUncompleted(log, unread);
  for (const std::string& u : unread) differences.push_back(u);
  std::string text;
  for (const std::string& d : differences) text += (text.empty() ? "" : "; ") + d;
  return text;
}

std::optional<uint32_t> WholeFlashKiB(AppContext& ctx, const DeviceFacts& facts, std::string* why) {
  const FlashFacts flash = facts.flash.value_or(FlashFacts{});
  if (flash.sizeKiB && flash.sizeClassified) return flash.sizeKiB;
  const uint8_t vendor = chips::Code(flash.vendor);
  // The id the inspection sized the flash from; the check before the run read it again.
  if (facts.jedec) {
    if (auto kib = firmware::SizeFromJedec(vendor, *facts.jedec)) return kib;
    if (why) *why = "the flash's id (" + Hex(*facts.jedec) + ") does not tell its size";
    return std::nullopt;
  }
  const device::Device dev(ctx.transport, facts.device.path);
  std::array<uint8_t, 4> first{}, second{};
  if (!device::SpiReadId(dev, 0x9F, first) || !device::SpiReadId(dev, 0x9F, second)) {
    if (why) *why = Unread(dev, "the flash did not tell its size");
    return std::nullopt;
  }
  if (first != second) {
    if (why) *why = "two reads of the flash's id differ (" + Hex(first) + ", then " + Hex(second) + ")";
    return std::nullopt;
  }
  const auto kib = firmware::SizeFromJedec(vendor, first);
  if (!kib && why) *why = "the flash's id (" + Hex(first) + ") does not tell its size";
  return kib;
}

void ReadIdentityFacts(AppContext& ctx, DeviceFacts& facts) {
  facts.serial = ReadSerialNumber(device::Device(ctx.transport, facts.device.path));
}

bool OneClickFamily(ChipType type) { return type == ChipType::QVS812; }

OneClickVerdict AssessOneClick(const AppContext& ctx, const DeviceFacts& facts) {
  OneClickVerdict v;
  if (!OneClickFamily(facts.device.chip.type)) {
    v.readiness = Readiness::ChipNotSupported;
    v.statusText = "Chip not support!!";
    v.colour = kRed;
    return v;
  }
  const auto carried = CarriedVersionBytes(ctx);
  const VersionVerdict c = CompareVersions(facts.FirmwareText(), carried);
  if (c.idMismatch) {
    v.readiness = Readiness::IdMismatch;
    v.statusText = "Firmware ID not match!!";
    v.colour = kRed;
  } else if (c.sameVersion) {
    v.readiness = Readiness::AlreadyCurrent;
    v.statusText = "Firmware already updated.";
    v.colour = kGreen;
  } else {
    v.readiness = Readiness::Offered;
    v.deviceNewer = c.deviceNewer;
  }
  return v;
}

std::string NotOfferedReason(const OneClickVerdict& v, const std::string& carried) {
  switch (v.readiness) {
    case Readiness::Offered:
      return v.deviceNewer ? "the device runs newer firmware than the carried " + carried : std::string();
    case Readiness::NoDevice: return "no device";
    case Readiness::ChipNotSupported: return "the one-click update is for QVS812 bridges only";
    case Readiness::IdMismatch: return "the device runs another firmware line than the carried " + carried;
    case Readiness::AlreadyCurrent: return "the device already runs the carried " + carried;
  }
  return {};
}

}  // namespace qvfw::app
