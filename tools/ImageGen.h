#pragma once
// Synthetic firmware images with the layout the tool relies on. The product's real images are
// data we do not ship; these carry the same header fields, signature block and check values, so
// every code path that looks at an image sees what it expects. Deterministic: the same arguments
// always give the same bytes.

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace qvfw::tools {

inline constexpr uint32_t kUpdateImageSize = 0x40000;  // two banks of 128 KiB
inline constexpr uint32_t kBankSize = 0x20000;
inline constexpr uint32_t kMfgImageSize = 0x10000;
inline constexpr uint32_t kSignatureOffset = 0xBFF0;

// Header fields: chip model digits at 21..23, version at 25..28.
inline constexpr uint32_t kModelOffset = 21;
inline constexpr uint32_t kVersionOffset = 25;

// The update image for the one-click chip: `model` (three ASCII digits) and `version` (four
// ASCII digits) in the header, the signature block "55 AA AA 55" + model + '0' at 0xBFF0, and
// the check values at 0x7FC (over 0x400..0x7FB) and 0x1FFFC (over 0..0x1FFFB), most significant
// byte first. Bank 1 is a copy of bank 0, so it carries its own check values at 0x207FC and
// 0x3FFFC. The bank header area 0x200..0x3FF is zero.
std::vector<uint8_t> MakeUpdateImage(std::string_view model, std::string_view version);

// A 64 KiB manufacturing image carrying `model` at 21..23; `name` seeds its contents so that the
// six images differ from each other.
std::vector<uint8_t> MakeMfgImage(std::string_view name, std::string_view model);

struct NamedImage {
  std::string_view name;
  std::string_view model;
};
// The manufacturing images the product carries, with the chip model each is built for.
inline constexpr std::array<NamedImage, 6> kMfgImages = {{
    {"QVS812_ROM0_MFG", "812"},
    {"QVS814_ROM0_MFG", "814"},
    {"QVS812_ROM1_MFG", "812"},
    {"QVS814_ROM1_MFG", "814"},
    {"QVS817_ROM1_MFG", "817"},
    {"QVS818_ROM1_MFG", "818"},
}};

inline constexpr std::string_view kUpdateImageName = "FW_FOR_UPDATE";
inline constexpr std::string_view kUpdateImageModel = "812";
inline constexpr std::string_view kUpdateImageVersion = "1203";

// Reads a check value stored most significant byte first.
uint32_t StoredCrc(const std::vector<uint8_t>& image, uint32_t offset);

}  // namespace qvfw::tools
