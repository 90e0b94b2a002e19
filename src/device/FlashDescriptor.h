#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/Files.h"

namespace qvfw::device {

// The largest serial flash beside a bridge holds 16 MiB: no image file is read beyond that.
inline constexpr uint64_t kMaxImageFileSize = 16 * 1024 * 1024;

// An image file, whole: a regular file (or a link to one) of at most kMaxImageFileSize bytes.
inline platform::FileRead ReadImage(const std::filesystem::path& path) {
  return platform::ReadRegularFile(path, kMaxImageFileSize);
}
// The same, for procedures that only need the bytes or nothing.
inline std::optional<std::vector<uint8_t>> ReadImageBytes(const std::filesystem::path& path) {
  if (path.empty()) return std::nullopt;
  platform::FileRead r = ReadImage(path);
  if (!r.ok()) return std::nullopt;
  return std::move(r.bytes);
}

// What flash identification finds out about the serial flash beside a bridge.
struct FlashDescriptor {
  uint8_t chipErase = 0xC7;
  uint8_t blockErase = 0xD8;
  uint8_t program = 0x02;
  uint8_t vendor = 0;  // FlashVendor code
  uint8_t sectorErase = 0x20;
  uint32_t sizeKiB = 0;
};

}  // namespace qvfw::device
