#pragma once
// What makes a bridge itself, kept where it survives the program: before the one-click update
// writes anything, the device's exchange block is also stored in the tool's state directory
// ($XDG_STATE_HOME/qvfw, or /var/lib/qvfw as root), named by the bridge's serial number (or its
// path when it has none). A failed update leaves it there for `recover`; a passing one removes it.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "app/ExchangeFile.h"

namespace qvfw::app {

struct AppContext;

// The state directory the context names, or the default one for the user running the program.
std::filesystem::path StateDirectory(const AppContext& ctx);
// Where the identity of the bridge with `serial` (or, when it has none, at `path`) is kept.
std::filesystem::path KeptIdentityPath(const AppContext& ctx, std::string_view serial, std::string_view path);

// Writes the block there (the folder is made when missing); the path, or nothing when it could
// not be written.
std::optional<std::filesystem::path> KeepIdentity(const AppContext& ctx, const ExchangeBlock& block,
                                                  std::string_view path);
void ForgetIdentity(const AppContext& ctx, const ExchangeBlock& block, std::string_view path);

}  // namespace qvfw::app
