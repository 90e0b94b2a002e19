#pragma once
// The exchange block: what makes a device itself (its configuration area, USB ids and serial
// number), saved scrambled in "ExChangeData.tmp" before its flash is reprogrammed.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qvfw::app {

inline constexpr size_t kExchangeBlockSize = 4096;
inline constexpr std::string_view kExchangeFileName = "ExChangeData.tmp";
// What every exchange file's name begins with (a parallel update's are "ExChangeData.<n>.tmp").
inline constexpr std::string_view kExchangeFilePrefix = "ExChangeData";

struct ExchangeBlock {
  std::array<uint8_t, kExchangeBlockSize> bytes{};

  std::span<uint8_t, 512> ConfigurationArea() { return std::span(bytes).first<512>(); }
  std::span<const uint8_t, 512> ConfigurationArea() const { return std::span(bytes).first<512>(); }
  uint16_t Vid() const { return static_cast<uint16_t>(bytes[512] << 8 | bytes[513]); }
  uint16_t Pid() const { return static_cast<uint16_t>(bytes[514] << 8 | bytes[515]); }
  // The unit serial number: the text from byte 516 up to its first zero byte.
  std::string Serial() const;
};

// Scrambles the block and stores it as `dir`/"ExChangeData.tmp". The bytes go to a fresh file
// created beside it (never an existing one, never through a link) that replaces the old name
// only once it is complete, so a failed write leaves no half file under that name; nor does it
// leave an older file there, which would be taken for this block.
bool WriteExchangeFile(const std::filesystem::path& dir, const ExchangeBlock& plain);
// Reads and unscrambles the block; nothing when the file is missing, is not a regular file of
// exactly 4096 bytes, or is a link.
std::optional<ExchangeBlock> ReadExchangeFile(const std::filesystem::path& dir);

// The same for a file of any name (the identities kept in the state directory).
bool WriteExchangeBlock(const std::filesystem::path& file, const ExchangeBlock& plain);
std::optional<ExchangeBlock> ReadExchangeBlock(const std::filesystem::path& file);

}  // namespace qvfw::app
