#include "app/KeptIdentity.h"

#include <algorithm>
#include <cstring>

#include "app/AppContext.h"
#include "codec/ImageCodec.h"
#include "flash/Recovery.h"
#include "platform/Files.h"

namespace qvfw::app {
namespace {

// A file name from a serial number or a device path: letters, digits, '.', '-' and '_' stay,
// anything else (a path's separators among them) becomes '_'.
std::string FileNameOf(std::string_view text) {
  std::string name;
  for (char c : text) {
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                      c == '-' || c == '_';
    name += keep ? c : '_';
  }
  if (name.empty() || name[0] == '.') name.insert(name.begin(), '_');
  return name;
}

void PutBe(uint8_t* at, uint32_t value, size_t n) {
  for (size_t i = 0; i < n; ++i) at[i] = static_cast<uint8_t>(value >> (8 * (n - 1 - i)));
}

uint32_t GetBe(const uint8_t* at, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v = v << 8 | at[i];
  return v;
}

// Why a block in the exchange format is not taken for an identity ("" when it is).
std::string Implausible(const ExchangeBlock& block) {
  if (block.Vid() == 0 || block.Pid() == 0) {
    char text[96];
    std::snprintf(text, sizeof text, "USB ids %04X:%04X", block.Vid(), block.Pid());
    return text;
  }
  const std::string serial = block.Serial();
  if (serial.size() > 46) return "a serial number longer than 46 characters";
  if (!std::all_of(serial.begin(), serial.end(), [](char c) { return c >= 0x20 && c <= 0x7E; }))
    return "a serial number that is not printable text";
  if (!std::all_of(block.bytes.begin() + 516 + static_cast<long>(serial.size()), block.bytes.end(),
                   [](uint8_t b) { return b == 0; }))
    return "data after the serial number";
  return {};
}

}  // namespace

std::vector<uint8_t> EncodeKeptIdentity(const ExchangeBlock& block) {
  std::vector<uint8_t> bytes(kKeptIdentitySize, 0);
  std::memcpy(bytes.data(), kKeptIdentityMarker.data(), kKeptIdentityMarker.size());
  PutBe(bytes.data() + 8, kKeptIdentityVersion, 2);
  PutBe(bytes.data() + 12, kExchangeBlockSize, 4);
  std::copy(block.bytes.begin(), block.bytes.end(), bytes.begin() + 16);
  codec::StoreCheckValue(bytes.data() + 16 + kExchangeBlockSize,
                         codec::ImageCrc({bytes.data(), 16 + kExchangeBlockSize}));
  return bytes;
}

IdentityFile DecodeIdentity(const std::vector<uint8_t>& bytes) {
  IdentityFile r;
  const bool marked = bytes.size() >= kKeptIdentityMarker.size() &&
                      std::equal(kKeptIdentityMarker.begin(), kKeptIdentityMarker.end(), bytes.begin());
  if (marked) {
    if (bytes.size() < 16) {
      r.problem = "is cut short (" + std::to_string(bytes.size()) + " bytes)";
      return r;
    }
    const uint32_t version = GetBe(bytes.data() + 8, 2);
    if (version != kKeptIdentityVersion) {
      r.problem = "is of identity format version " + std::to_string(version) + ", which this qvfw does not know";
      return r;
    }
    if (GetBe(bytes.data() + 12, 4) != kExchangeBlockSize || bytes.size() != kKeptIdentitySize) {
      r.problem = "is cut short or has bytes added (" + std::to_string(bytes.size()) + " bytes, not " +
                  std::to_string(kKeptIdentitySize) + ")";
      return r;
    }
    if (codec::LoadCheckValue(bytes.data() + 16 + kExchangeBlockSize) !=
        codec::ImageCrc({bytes.data(), 16 + kExchangeBlockSize})) {
      r.problem = "is damaged (its check value does not match)";
      return r;
    }
    ExchangeBlock block;
    std::copy_n(bytes.begin() + 16, kExchangeBlockSize, block.bytes.begin());
    r.block = block;
    return r;
  }
  if (bytes.size() != kExchangeBlockSize) {
    r.problem = "is not an identity qvfw kept (it has no format marker and is not a 4096-byte exchange file)";
    return r;
  }
  r.format = IdentityFile::Format::Exchange;
  const ExchangeBlock block = Unscrambled(std::span<const uint8_t, kExchangeBlockSize>(bytes.data(), kExchangeBlockSize));
  if (const std::string bad = Implausible(block); !bad.empty()) {
    r.problem = "is not a plausible identity in the exchange file's format (" + bad + ")";
    return r;
  }
  r.block = block;
  return r;
}

IdentityFile ReadIdentityFile(const std::filesystem::path& file) {
  const platform::FileRead read = platform::ReadRegularFile(file, 64 * 1024);
  if (!read.ok()) {
    IdentityFile r;
    r.problem = read.Reason();
    return r;
  }
  return DecodeIdentity(read.bytes);
}

std::filesystem::path StateDirectory(const AppContext& ctx) {
  return ctx.stateDirectory.empty() ? flash::DefaultStateDirectory() : ctx.stateDirectory;
}

std::filesystem::path KeptIdentityPath(const AppContext& ctx, std::string_view serial, std::string_view path) {
  const std::string name = serial.empty() ? "path-" + FileNameOf(path) : "serial-" + FileNameOf(serial);
  return StateDirectory(ctx) / (name + ".identity");
}

std::optional<std::filesystem::path> KeepIdentity(const AppContext& ctx, const ExchangeBlock& block,
                                                  std::string_view path, std::string* why) {
  const std::filesystem::path file = KeptIdentityPath(ctx, block.Serial(), path);
  std::error_code ec;
  if (std::filesystem::create_directories(file.parent_path(), ec))
    std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all, ec);
  const int error = platform::ReplaceFile(file, EncodeKeptIdentity(block), 0600);
  if (error == 0) return file;
  if (why) *why = file.string() + ": " + std::strerror(error);
  return std::nullopt;
}

void ForgetIdentity(const AppContext& ctx, const ExchangeBlock& block, std::string_view path) {
  platform::RemoveFile(KeptIdentityPath(ctx, block.Serial(), path));
}

}  // namespace qvfw::app
