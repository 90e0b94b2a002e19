#pragma once
// What makes a bridge itself, kept where it survives the program: before the one-click update
// (or a recovery) writes anything, the device's exchange block is stored in the tool's state
// directory ($XDG_STATE_HOME/qvfw, or /var/lib/qvfw as root), named by the bridge's serial number
// (or its path when it has none). A run that cannot keep it writes nothing. A failed update
// leaves it there for `recover`; a passing one removes it.
//
// A kept identity file carries a format marker, a version and a check value:
//
//   bytes 0..7        "qvfw-id\n"
//   bytes 8..9        format version, 1 (most significant byte first, as every number here)
//   bytes 10..11      0
//   bytes 12..15      the length of the block that follows, 4096
//   bytes 16..4111    the exchange block, plain
//   bytes 4112..4115  the image check value over bytes 0..4111
//
// Files in the exchange file's own format (4096 scrambled bytes: identities kept by earlier
// versions, the window's working file) are read too, but only when their fields are plausible.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/ExchangeFile.h"

namespace qvfw::app {

struct AppContext;

inline constexpr std::string_view kKeptIdentityMarker = "qvfw-id\n";
inline constexpr uint16_t kKeptIdentityVersion = 1;
inline constexpr size_t kKeptIdentitySize = 16 + kExchangeBlockSize + 4;

std::vector<uint8_t> EncodeKeptIdentity(const ExchangeBlock& block);

// A file read as an identity: the block, or why it is not taken.
struct IdentityFile {
  enum class Format { Kept, Exchange };
  std::optional<ExchangeBlock> block;
  Format format = Format::Kept;
  std::string problem;  // a phrase that follows the file's name: "is damaged (its check value does not match)"
};
// A kept identity whose marker, version, length and check value hold; or a 4096-byte file in the
// exchange format whose fields are plausible: both USB ids not zero, the serial number at most
// 46 printable ASCII characters, and every byte after it zero (what the update writes there).
IdentityFile ReadIdentityFile(const std::filesystem::path& file);
IdentityFile DecodeIdentity(const std::vector<uint8_t>& bytes);

// The state directory the context names, or the default one for the user running the program.
std::filesystem::path StateDirectory(const AppContext& ctx);
// Where the identity of the bridge with `serial` (or, when it has none, at `path`) is kept.
std::filesystem::path KeptIdentityPath(const AppContext& ctx, std::string_view serial, std::string_view path);

// Writes the block there (the folder is made, mode 0700, when missing); the path, or nothing
// when it could not be written completely (`why` then says what stood in the way).
std::optional<std::filesystem::path> KeepIdentity(const AppContext& ctx, const ExchangeBlock& block,
                                                  std::string_view path, std::string* why = nullptr);
void ForgetIdentity(const AppContext& ctx, const ExchangeBlock& block, std::string_view path);

}  // namespace qvfw::app
