#pragma once
// The exchange block: what makes a device itself (its configuration area, USB ids and serial
// number), saved scrambled in "ExChangeData.tmp" before its flash is reprogrammed.
//
// The block a run saves is the one it uses: it stays in memory, and the file is this run's alone.
// The file is created new (never over anything that stands at its name, never through a link),
// read back only to check that it still holds exactly what this run wrote, and removed only by
// the run that created it.

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/Files.h"

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

// The block as the exchange file holds it (scrambled), and back.
std::array<uint8_t, kExchangeBlockSize> Scrambled(const ExchangeBlock& plain);
ExchangeBlock Unscrambled(std::span<const uint8_t, kExchangeBlockSize> scrambled);

// Reads a file in the exchange file's format (4096 scrambled bytes); nothing when the name is
// missing, is not a regular file of exactly 4096 bytes, or is a link.
std::optional<ExchangeBlock> ReadExchangeBlock(const std::filesystem::path& file);

// The exchange file of one run.
class OwnExchangeFile {
 public:
  // Creates the file for `block` in the first of `folders` that can hold it: under `preferred`
  // when nothing stands at that name, else under a name of this run's own ("ExChangeData.tmp"
  // gives "ExChangeData.<pid>-<n>.tmp"), since another run (or what one left) holds it. A folder
  // that cannot hold the file (read-only, full, missing) passes to the next one; each step is
  // told on `diagnostics`. Nothing when no folder could; `why` then says what stood in the way.
  static std::unique_ptr<OwnExchangeFile> Create(const std::vector<std::filesystem::path>& folders,
                                                 std::string_view preferred, const ExchangeBlock& block,
                                                 platform::Diagnostics& diagnostics, std::string* why);
  // Removes the file, when its name still stands for the file this run created.
  ~OwnExchangeFile();
  OwnExchangeFile(const OwnExchangeFile&) = delete;
  OwnExchangeFile& operator=(const OwnExchangeFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  const ExchangeBlock& block() const { return block_; }
  // Whether the name still stands for the file this run created, holding exactly its block.
  bool ReadsBack() const;

 private:
  OwnExchangeFile(std::filesystem::path path, const ExchangeBlock& block, platform::FileIdentity identity)
      : path_(std::move(path)), block_(block), identity_(identity) {}

  std::filesystem::path path_;
  ExchangeBlock block_;
  platform::FileIdentity identity_;
};

}  // namespace qvfw::app
