#pragma once
// The bridge chip families and the serial-flash makers as data: one row per chip type and one
// per flash vendor. Every decision that differs by family (which image fits, how the flash is
// found and sized, how the version reads, which manufacturing image a bridge boots) reads the
// row instead of switching on a number. The host and the emulator share these tables.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace qvfw::chips {

// The family code a bridge identifies as (0..35); the revision travels beside it.
enum class ChipType : uint8_t {
  Unknown = 0,
  QV40778 = 1,
  QV40771 = 2,
  QV40779 = 3,
  QV40779A3 = 4,
  QV40776 = 5,
  QV40746 = 6,
  QVB784 = 7,
  QVB787 = 8,
  QVB788 = 9,
  QVB788Alias = 10,    // never assigned: the key search stops at QVB788 first
  QVB789 = 11,
  QVS882 = 12,
  QVS876 = 13,
  QVS813 = 14,         // QVS813/819/811, model key "816"
  QVS812 = 15,
  QVS814 = 16,
  QVS817 = 17,
  QVS818 = 18,
  Reserved19 = 19,
  Reserved20 = 20,
  Reserved21 = 21,
  Reserved22 = 22,
  Reserved23 = 23,
  Reserved24 = 24,
  Reserved25 = 25,
  QVS810 = 26,         // a QVS882 that answers the RAM-buffer probe
  QVS879 = 27,
  QVB826 = 28,
  QVB806 = 29,
  QV40776E = 30,
  QV40779Legacy = 31,  // chip information without its signature: bits 5..6 of the probe decide
  QV40773 = 32,
  QV40776Legacy = 33,
  QV40778Legacy = 34,
  QV40771Usb = 35,     // told by the USB ids in the chip information
};
inline constexpr size_t kChipTypeCount = 36;

constexpr uint8_t Code(ChipType t) { return static_cast<uint8_t>(t); }
// Codes above 35 have no row; they read as Unknown.
constexpr ChipType ChipTypeOf(unsigned code) { return code < kChipTypeCount ? ChipType(code) : ChipType::Unknown; }

enum class FlashVendor : uint8_t {
  Unknown = 0,
  Pmc = 1,
  Sst = 2,
  StEonMxic = 3,  // the bridge does not tell ST, EON and MXIC apart
  Atmel = 4,
  Mxic = 5,
  Winbond = 6,
  Amic = 7,
  Eon = 8,
  Esmt = 9,
  Sanyo = 10,
  GigaDevice = 11,
  VPowerWins = 12,
};
inline constexpr size_t kFlashVendorCount = 13;

constexpr uint8_t Code(FlashVendor v) { return static_cast<uint8_t>(v); }
constexpr FlashVendor FlashVendorOf(unsigned code) {
  return code < kFlashVendorCount ? FlashVendor(code) : FlashVendor::Unknown;
}

// Families that several parts of the program treat alike.
enum Group : uint16_t {
  kProgrammable = 1 << 0,  // flash type and version shown; Run starts a procedure
  kVersionOnly = 1 << 1,   // only the version is shown
  kGatedVersion = 1 << 2,  // the version is shown from code level 0xD0 on
  kNotSupported = 1 << 3,  // "The chip not support Firmware Update!"
  kStorageLine = 1 << 4,   // signature block before the code-area end; the erase-on-write procedure
  kBufferFamily = 1 << 5,  // READ/WRITE BUFFER transfers, product serial option, identity bytes on load
  kNvramOption = 1 << 6,   // "Include 4K NVRAM" is offered
};

// Where an image carries the signature block that firmware matching reads first.
struct SignaturePlace {
  uint32_t offset = 0;
  bool marker = false;  // the block must start 0x55 0xAA there
};

// The second look some families take when the first block does not settle the signature.
enum class SecondLook {
  None,
  FlashBlock,  // a full marker at the first place, else the block at 0x1000
  Model80,     // the block at 0x80 that starts 0xE9 0xAC 0x67
};

// How the signature S (and the revision) decide whether an image fits.
enum class FitRule {
  Never,
  Always,
  NotStartsWith77,  // the first two characters are not "77"
  Key3,             // the first three characters are the model key
  KeyRevision,      // the key followed by the revision's digit (revision 1 of QV40778: 5A A5 0F F0)
  Key4,             // the first four characters are the key text given in the row
  RevisionByte,     // byte 8 of the last block read carries the revision
  Qvb787,           // a full marker and "q787" (revision 1) or "7871" (revision 2) at offset 0
};

struct SignatureRule {
  SignaturePlace place;
  SecondLook secondLook = SecondLook::None;
  FitRule fit = FitRule::Never;
  std::string_view key;  // the text FitRule compares when it is not the model key
};

// How the firmware-choice check finds the serial flash behind the bridge.
enum class FlashRoute {
  None,     // no flash facts: the family is not programmable
  Bridge,   // the dedicated AMIC and ATMEL probes, then the bridge's vendor code or the SPI id
  Storage,  // the bridge's vendor code, then the flash's own id
  // QVB787: the storage route over IEEE 1394, the bridge route over USB.
  StorageOver1394,
};

// How the flash size is determined; None leaves it unknown for the device.
enum class SizeRoute {
  None,
  Spi,    // the JEDEC id read through raw SPI sequences (the bridge-line storage chips)
  ById4,  // the JEDEC id read through the bridge's 4-byte id command (the buffer family)
  // The JEDEC capacity code alone (64 KiB << (code - 0x10)), read through raw SPI: the QVB789,
  // whose images are checked against the flash size and whose bridge reports none.
  JedecCapacity,
};

// How the chip information block's bytes form the version text.
enum class VersionFormat {
  Default,     // "%d.%.2d" of bytes 6, 7 (short reply) or "%d.%.2d.%.2d" of bytes 12..14
  Five,        // "%d.%.2d.%.2d.%.2d.%.2d" of bytes 6, 7, 12, 13, 14
  FiveWide,    // "%.2d…" of bytes 10..14
  FiveProbed,  // as Five, byte 14's bit 0 flipped when the bridge-memory probe holds
  AltChars,    // characters of bytes 12..15 when the alternate query answers, else numbers
  KindChars,   // characters of bytes 12..15 when byte 6 is 2, else numbers
};

// The manufacturing images a bridge of the family can run from RAM, by chip information byte 7.
struct MfgImages {
  std::string_view rom0;
  std::string_view rom1;
};

struct ChipFamily {
  ChipType type = ChipType::Unknown;
  std::string_view name;      // the chip field's text
  std::string_view modelKey;  // three characters: identification and signature matching
  uint16_t groups = 0;
  SignatureRule signature;
  // A failing signature check of these families says nothing: the Load File action decides.
  bool silentMismatch = false;
  // Identification refines the family by its model text.
  bool refineByModelText = false;
  FlashRoute flash = FlashRoute::None;
  SizeRoute size = SizeRoute::None;
  VersionFormat version = VersionFormat::Default;
  MfgImages mfg;
  // Storage line: where the code area ends and where the device keeps its 4 KiB NVRAM.
  uint32_t codeAreaEnd = 0;
  uint32_t nvramAddress = 0;

  constexpr bool Is(Group g) const { return (groups & g) != 0; }
};

const ChipFamily& Family(ChipType type);
std::span<const ChipFamily> Families();

inline std::string_view ChipName(ChipType t) { return Family(t).name; }
inline std::string_view ChipModelKey(ChipType t) { return Family(t).modelKey; }
inline bool InGroup(ChipType t, Group g) { return Family(t).Is(g); }
// The first family 1..35 whose key equals `key` (three characters), or Unknown.
ChipType FindChipByModelKey(std::string_view key);

struct EraseUnits {
  uint32_t block;
  uint32_t sector;
};

struct FlashVendorRow {
  FlashVendor vendor = FlashVendor::Unknown;
  std::string_view name;
  EraseUnits units{};
};

const FlashVendorRow& Vendor(FlashVendor v);
std::span<const FlashVendorRow> Vendors();
inline std::string_view FlashVendorName(FlashVendor v) { return Vendor(v).name; }
inline EraseUnits FlashVendorEraseUnits(FlashVendor v) { return Vendor(v).units; }

// The 16-bit identification result: type in the low byte, revision in the high byte.
struct ChipId {
  ChipType type = ChipType::Unknown;
  uint8_t revision = 0;
  constexpr uint16_t Packed() const { return static_cast<uint16_t>(revision << 8 | Code(type)); }
  static constexpr ChipId Unpack(uint16_t v) { return {ChipTypeOf(v & 0xFF), static_cast<uint8_t>(v >> 8)}; }
  friend constexpr bool operator==(ChipId, ChipId) = default;
};

}  // namespace qvfw::chips
