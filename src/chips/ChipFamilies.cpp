#include "chips/ChipFamilies.h"

// Each row names only the fields where its family differs from the defaults; the rest take their
// default member initialisers on purpose, which is what this warning would flag.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace qvfw::chips {
namespace {

using enum ChipType;

constexpr uint16_t kProgrammableStorage = kProgrammable | kStorageLine;
constexpr SignaturePlace kAtStart{0, false};
constexpr SignaturePlace kBeforeC000{0xBFF0, true};
constexpr SignaturePlace kBefore8000{0x7FF0, true};
constexpr SignaturePlace kAt4000{0x4000, true};

// Rows of the families nothing identifies any more: every code keeps its texts.
constexpr ChipFamily Reserved(ChipType type, std::string_view name, std::string_view key) {
  return ChipFamily{.type = type, .name = name, .modelKey = key};
}

constexpr ChipFamily Legacy(ChipType type, std::string_view name, std::string_view key) {
  return ChipFamily{.type = type, .name = name, .modelKey = key, .groups = kNotSupported,
                    .signature = {.place = kAtStart, .fit = FitRule::Always}};
}

constexpr ChipFamily BufferFamily(ChipType type, std::string_view name, std::string_view key, MfgImages mfg) {
  return ChipFamily{.type = type, .name = name, .modelKey = key,
                    .groups = kProgrammableStorage | kBufferFamily,
                    .signature = {.place = kBeforeC000, .secondLook = SecondLook::FlashBlock, .fit = FitRule::Key3},
                    .silentMismatch = true,
                    .flash = FlashRoute::Storage, .size = SizeRoute::ById4,
                    .version = VersionFormat::KindChars, .mfg = mfg, .codeAreaEnd = 0xC000};
}

constexpr std::array<ChipFamily, kChipTypeCount> kFamilies = {{
    {.type = Unknown, .name = "Unknown Chip", .modelKey = "", .groups = kNotSupported,
     .silentMismatch = true, .refineByModelText = true},
    {.type = QV40778, .name = "QV40778 Series", .modelKey = "778", .groups = kProgrammable,
     .signature = {.place = kAtStart, .fit = FitRule::KeyRevision}, .refineByModelText = true,
     .flash = FlashRoute::Bridge},
    {.type = QV40771, .name = "QV40771 Series", .modelKey = "771", .groups = kVersionOnly,
     .signature = {.place = kAtStart, .fit = FitRule::NotStartsWith77}},
    {.type = QV40779, .name = "QV40779 Series", .modelKey = "779", .groups = kProgrammable,
     .signature = {.place = kAtStart, .fit = FitRule::Always}, .refineByModelText = true,
     .flash = FlashRoute::Bridge},
    {.type = QV40779A3, .name = "QV40779A3 Series", .modelKey = "779", .groups = kProgrammable,
     .signature = {.place = kAtStart, .fit = FitRule::Always}, .flash = FlashRoute::Bridge},
    {.type = QV40776, .name = "QV40776 Series", .modelKey = "776", .groups = kProgrammable,
     .signature = {.place = kAtStart, .fit = FitRule::KeyRevision}, .refineByModelText = true,
     .flash = FlashRoute::Bridge},
    {.type = QV40746, .name = "QV40746 Series", .modelKey = "746", .groups = kGatedVersion,
     .signature = {.place = kAtStart, .fit = FitRule::Key3}},
    {.type = QVB784, .name = "QVB784 Series", .modelKey = "784", .groups = kProgrammable | kNvramOption,
     .signature = {.place = kAtStart, .secondLook = SecondLook::FlashBlock, .fit = FitRule::RevisionByte},
     .refineByModelText = true, .flash = FlashRoute::Bridge},
    {.type = QVB787, .name = "QVB787 Series", .modelKey = "787", .groups = kProgrammable,
     .signature = {.place = kAtStart, .fit = FitRule::Qvb787}, .flash = FlashRoute::StorageOver1394},
    {.type = QVB788, .name = "QVB788/781 Series", .modelKey = "781", .groups = kProgrammable | kNvramOption,
     .signature = {.place = kAtStart, .secondLook = SecondLook::FlashBlock, .fit = FitRule::Key3},
     .flash = FlashRoute::Storage, .version = VersionFormat::Five},
    {.type = QVB788Alias, .name = "QVB788/781 Series", .modelKey = "781", .groups = kProgrammable | kNvramOption,
     .signature = {.place = kAtStart, .secondLook = SecondLook::FlashBlock, .fit = FitRule::Key3},
     .flash = FlashRoute::Storage, .version = VersionFormat::Five},
    {.type = QVB789, .name = "QVB789 Series", .modelKey = "789", .groups = kProgrammable | kNvramOption,
     .signature = {.place = kAtStart, .secondLook = SecondLook::Model80, .fit = FitRule::Key3},
     .refineByModelText = true, .flash = FlashRoute::Bridge, .size = SizeRoute::JedecCapacity,
     .version = VersionFormat::FiveWide},
    {.type = QVS882, .name = "QVS882/876 Series", .modelKey = "882", .groups = kProgrammable | kNvramOption,
     .signature = {.place = kAtStart, .secondLook = SecondLook::FlashBlock, .fit = FitRule::Key3},
     .flash = FlashRoute::Storage, .version = VersionFormat::FiveProbed},
    {.type = QVS876, .name = "QVS876 Series", .modelKey = "876", .groups = kProgrammableStorage | kNvramOption,
     .signature = {.place = kBeforeC000, .secondLook = SecondLook::FlashBlock, .fit = FitRule::Key3},
     .flash = FlashRoute::Storage, .size = SizeRoute::Spi, .codeAreaEnd = 0xC000, .nvramAddress = 0xC000},
    {.type = QVS813, .name = "QVS813/819/811 Series", .modelKey = "816", .groups = kProgrammableStorage | kNvramOption,
     .signature = {.place = kBeforeC000, .secondLook = SecondLook::FlashBlock, .fit = FitRule::Key3},
     .flash = FlashRoute::Storage, .size = SizeRoute::Spi, .version = VersionFormat::AltChars,
     .codeAreaEnd = 0xC000, .nvramAddress = 0xC000},
    BufferFamily(QVS812, "QVS812 Series", "812", {"QVS812_ROM0_MFG", "QVS812_ROM1_MFG"}),
    BufferFamily(QVS814, "QVS814 Series", "814", {"QVS814_ROM0_MFG", "QVS814_ROM1_MFG"}),
    BufferFamily(QVS817, "QVS817 Series", "817", {"", "QVS817_ROM1_MFG"}),
    BufferFamily(QVS818, "QVS818 Series", "818", {"", "QVS818_ROM1_MFG"}),
    Reserved(Reserved19, "QVS876/789 Series", "789"),
    Reserved(Reserved20, "QVS876/784 Series", "784"),
    Reserved(Reserved21, "QVS876/788 Series", "781"),
    Reserved(Reserved22, "QVS876/781 Series", "781"),
    Reserved(Reserved23, "QVS876/784 Series", "784"),
    Reserved(Reserved24, "QVS876/788 Series", "781"),
    Reserved(Reserved25, "QVS876/781 Series", "781"),
    {.type = QVS810, .name = "QVS876A->QVS810 Series", .modelKey = "810", .groups = kProgrammable,
     .signature = {.place = kAtStart, .fit = FitRule::Never}, .silentMismatch = true,
     .flash = FlashRoute::Bridge, .version = VersionFormat::FiveProbed},
    {.type = QVS879, .name = "QVS879 Series", .modelKey = "879", .groups = kProgrammableStorage | kNvramOption,
     .signature = {.place = kBefore8000, .secondLook = SecondLook::FlashBlock, .fit = FitRule::Key3},
     .flash = FlashRoute::Storage, .size = SizeRoute::Spi, .codeAreaEnd = 0x8000, .nvramAddress = 0x8000},
    {.type = QVB826, .name = "QVB826 Series", .modelKey = "826", .groups = kProgrammable,
     .signature = {.place = kAt4000, .fit = FitRule::Key3}, .refineByModelText = true,
     .flash = FlashRoute::Bridge},
    {.type = QVB806, .name = "QVB806 Series", .modelKey = "806", .groups = kGatedVersion,
     .signature = {.place = kAtStart, .fit = FitRule::Never}},
    {.type = QV40776E, .name = "QV40776 Series", .modelKey = "776", .groups = kProgrammable,
     .signature = {.place = kAt4000, .fit = FitRule::Key4, .key = "776E"}, .flash = FlashRoute::Bridge},
    Legacy(QV40779Legacy, "QV40779", "779"),
    Legacy(QV40773, "QV40773", "773"),
    Legacy(QV40776Legacy, "QV40776", "776"),
    Legacy(QV40778Legacy, "QV40778", "778"),
    {.type = QV40771Usb, .name = "QV40771", .modelKey = "771", .groups = kVersionOnly,
     .signature = {.place = kAtStart, .fit = FitRule::NotStartsWith77}},
}};

constexpr std::array<FlashVendorRow, kFlashVendorCount> kVendors = {{
    {FlashVendor::Unknown, "Unknown", {0x8000, 0x1000}},
    {FlashVendor::Pmc, "PMC", {0x8000, 0x1000}},
    {FlashVendor::Sst, "SST", {0x8000, 0x1000}},
    {FlashVendor::StEonMxic, "ST/EON/MXIC", {0x10000, 0x8000}},
    {FlashVendor::Atmel, "ATMEL", {0x10000, 0x8000}},
    {FlashVendor::Mxic, "MXIC", {0x10000, 0x1000}},
    {FlashVendor::Winbond, "WINBOND", {0x10000, 0x1000}},
    {FlashVendor::Amic, "AMIC", {0x10000, 0x1000}},
    {FlashVendor::Eon, "EON", {0x10000, 0x8000}},
    {FlashVendor::Esmt, "ESMT", {0x10000, 0x1000}},
    {FlashVendor::Sanyo, "SANYO", {0x10000, 0x1000}},
    {FlashVendor::GigaDevice, "GIGADEVICE", {0x10000, 0x1000}},
    {FlashVendor::VPowerWins, "VPOWERWINS", {0x10000, 0x1000}},
}};

// Each row sits at its own code, so a lookup is an index.
constexpr bool RowsInPlace() {
  for (size_t i = 0; i < kFamilies.size(); ++i)
    if (Code(kFamilies[i].type) != i) return false;
  for (size_t i = 0; i < kVendors.size(); ++i)
    if (Code(kVendors[i].vendor) != i) return false;
  return true;
}
static_assert(RowsInPlace(), "every chip family and flash vendor row stands at its own code");

}  // namespace

const ChipFamily& Family(ChipType type) { return kFamilies[Code(ChipTypeOf(Code(type)))]; }
std::span<const ChipFamily> Families() { return kFamilies; }

ChipType FindChipByModelKey(std::string_view key) {
  for (size_t c = 1; c < kFamilies.size(); ++c)
    if (kFamilies[c].modelKey == key) return kFamilies[c].type;
  return ChipType::Unknown;
}

const FlashVendorRow& Vendor(FlashVendor v) { return kVendors[Code(FlashVendorOf(Code(v)))]; }
std::span<const FlashVendorRow> Vendors() { return kVendors; }

}  // namespace qvfw::chips
