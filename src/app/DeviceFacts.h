#pragma once
// What the program knows of a device, as values: one scan of the machine lists the bridges
// (`ListedDevice`), one inspection of a listed bridge gives its facts (`DeviceFacts`), and the
// one-click readiness follows from those facts and the carried image. The window renders them
// onto its controls, the command line prints them; neither decides anything from a control.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/ImageStore.h"
#include "app/MainForm.h"
#include "app/UpdateImage.h"
#include "chips/ChipFamilies.h"
#include "device/Discovery.h"
#include "platform/Disks.h"

namespace qvfw::app {

struct AppContext;

// A supported device of the last scan, in list order.
struct ListedDevice {
  size_t index = 0;
  std::string path;
  platform::Bus bus = platform::Bus::Usb;
  std::string name;     // INQUIRY vendor and product (bytes 8..31), as the device pads them
  chips::ChipId chip;
  std::string volumes;  // the drive-letters text
  device::ProbeAnswers answers;  // what discovery heard; the same scan's inspection reuses it
  // What the scan's identification could not read of this device (see DeviceFacts::missing).
  std::vector<std::string> missing;
};

struct ScanResult {
  std::vector<ListedDevice> devices;
  size_t admitted = 0;              // disks that answered as bridges, before identification
  device::AccessReport access;      // disks that could not be asked at all
};

struct FlashFacts {
  chips::FlashVendor vendor = chips::FlashVendor::Unknown;
  std::string label;                // what the flash field shows ("MXIC", "AMIC", or nothing)
  std::optional<uint32_t> sizeKiB;  // known only where this device's flash was sized
  int amicClass = -1;
  int atmelClass = -1;
  bool sst25 = false;
  // The size came from a row of the size table (or the JEDEC capacity code), not the 64 KiB that
  // stands where nothing classifies the flash.
  bool sizeClassified = false;

  friend bool operator==(const FlashFacts&, const FlashFacts&) = default;
};

enum class FirmwareState {
  Unread,        // the chip information did not answer
  NotQavion,     // it answered without the maker's signature
  Version,       // the running firmware's version
  InternalCode,  // the bridge runs code whose version is not shown
};

struct OfferedOptions {
  bool nvram = false;            // "Include 4K NVRAM"
  bool readWriteBuffer = false;  // "Read/Write Buffer" (shown checked and fixed)
  bool productSn = false;        // "Setting ProductSN(In-Code)"
};

// The dual-bank repair the inspection ran on a device with one broken bank.
struct BankRepairReport {
  bool succeeded = false;
  std::string statusText;    // "FW Recovery successful!!", "FW Recovery Fail!!", or "" when not tried
  std::string reason;        // why it failed or was not tried
  std::string recoveryFile;  // the copy of the flash kept before the bank was rewritten
};

struct DeviceFacts {
  ListedDevice device;
  std::string chipText;      // the chip field: the family's name or a finer one the bridge tells
  bool chipInfoFailed = false;  // a QVB787 that gave no usable revision
  bool flashShown = false;   // the flash field is shown for this family
  bool versionShown = false;
  std::optional<FlashFacts> flash;
  FirmwareState firmware = FirmwareState::Unread;
  std::string version;       // the version text V when the chip information answered
  std::string statusText;    // what the panel's status field says of the device
  OfferedOptions options;
  std::optional<std::string> serial;  // vital product data page 0x80, where the bridge has it
  std::optional<UsbIds> usbIds;       // from the chip information block
  // The flash's JEDEC id as its size was read from it (the families whose size is read so).
  std::optional<std::array<uint8_t, 4>> jedec;
  // What identification could not read, or read in answers that do not agree ("the chip model",
  // "the flash maker", "the flash size", ...), each with how it failed. Nothing is written to a
  // device while any fact is missing.
  std::vector<std::string> missing;
  // The dual-bank repair this inspection ran, when the device needed one.
  std::optional<BankRepairReport> repair;

  bool Complete() const { return missing.empty(); }

  // What the version field shows: the version, "Internal code", or nothing.
  std::string FirmwareText() const;
};

// Whether the one-click update is offered for a device, and why not.
enum class Readiness {
  Offered,
  NoDevice,
  ChipNotSupported,    // another family than the one-click target
  IdMismatch,          // the device runs another firmware line
  AlreadyCurrent,      // it runs the carried version
};

struct OneClickVerdict {
  Readiness readiness = Readiness::NoDevice;
  std::string statusText;   // the status line's text for it ("" where the line keeps its text)
  Rgb colour = kBlue;
  bool deviceNewer = false; // offered, but the device reports a later version than the carried one
};

// Whether the one-click update is offered for bridges of this family at all: the carried
// firmware is built for it.
bool OneClickFamily(chips::ChipType type);

// The carried image's version bytes 25..28 as the one-click face compares them.
std::array<uint8_t, 4> CarriedVersionBytes(const AppContext& ctx);
std::string CarriedVersionText(const AppContext& ctx);
// The same from an image store alone, for callers with no device context (--version).
std::array<uint8_t, 4> CarriedVersionBytes(const ImageStore& images);
std::string CarriedVersionText(const ImageStore& images);
// The program's version and the carried firmware's: "0.1.0.0 (carries firmware 01.02.00.03)".
std::string VersionText(const ImageStore& images);
// What --version prints: "qvfw 0.1.0.0 (carries firmware 01.02.00.03)".
std::string VersionLine(std::string_view program, const ImageStore& images);

// Lists the machine's supported bridges: discovery, INQUIRY name, chip identification and
// volumes, at most the table's 128 (with the window's warning beyond). Also fills the device
// table of the main window state.
ScanResult ScanDevices(AppContext& ctx);

// The firmware-choice check's work on one device: chip text, flash maker and size, firmware
// version, the options that fit, serial and USB ids. `sameScan` says that the device was listed
// by the scan just before, whose identification is then taken as it stands. Leaves the
// selected device's fields of the main window state (chip, flash facts, erase units) set for the
// procedures that follow.
DeviceFacts InspectDevice(AppContext& ctx, const ListedDevice& device, bool sameScan);

// Identifies the device behind `facts` again (chip family and revision, flash maker, flash
// probes and size, the flash's JEDEC id) and compares the answers with the facts. Empty when the
// device answers as it did; else what differs or could not be read, in words. The procedures run
// it just before they first change a device.
std::string ConfirmIdentity(AppContext& ctx, const DeviceFacts& facts);

// The size of the whole flash in KiB for a run that may change all of it: the facts' size where a
// row of the size table gave it; else the flash's JEDEC answer, read twice for this purpose (the
// two must agree); nothing when neither tells. `why` receives the reason for nothing.
std::optional<uint32_t> WholeFlashKiB(AppContext& ctx, const DeviceFacts& facts, std::string* why = nullptr);

// The unit serial number as the bridge reports it (vital product data page 0x80); nothing when
// the page cannot be read. A bridge without a serial number answers with an empty text.
std::optional<std::string> ReadSerialNumber(const device::Device& dev);

// Adds what the command line shows beside the facts: the serial number (vital product data page
// 0x80), where the bridge has one.
void ReadIdentityFacts(AppContext& ctx, DeviceFacts& facts);

OneClickVerdict AssessOneClick(const AppContext& ctx, const DeviceFacts& facts);
// Why the one-click update is not run for a device, in words ("" when it is); `carried` is the
// carried version's text.
std::string NotOfferedReason(const OneClickVerdict& v, const std::string& carried);

}  // namespace qvfw::app
