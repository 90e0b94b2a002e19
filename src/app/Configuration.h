#pragma once
// The site configuration file: a forgiving token lookup, read once while the main window is
// built. No sections, comments or quoting; absent, empty or too long values fall back to their
// defaults. Nothing is ever written back.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/MainWindowState.h"
#include "platform/Diagnostics.h"

namespace qvfw::app {

// Opened relative to the working directory.
inline constexpr std::string_view kConfigurationFileName = "Brantwell.ini";

// Tokens are maximal runs of bytes other than space, '=', ',', tab, line feed and carriage
// return. The text ends at its first zero byte, if it has one.
std::vector<std::string_view> Tokenize(std::string_view text);

// The token after the first token equal to `key` (letter case ignored, any token can be the
// key), as written; `defaultValue` when the key is absent, has no token after it, or the value
// needs more than `capacity` bytes including a terminating zero.
std::string LookupKey(std::string_view text, std::string_view key, std::string_view defaultValue, size_t capacity);

// Decimal conversion of a value: leading white space, an optional sign, then digits up to the
// first other character; no digits give 0. Values beyond 32 bits are held at the nearest limit.
int32_t DecimalValue(std::string_view value);

// The most the file is read to: its few keys fit many times over.
inline constexpr uint64_t kConfigurationMaxSize = 64 * 1024;

// Fills the configured fields of the state. A missing file leaves every value at its default.
// So does one that is not a regular file (a FIFO, a device, a folder), is larger than
// kConfigurationMaxSize or cannot be read; that is said in one diagnostics line.
void ReadConfiguration(MainWindowState& state, const std::filesystem::path& file, platform::Diagnostics& diagnostics);

}  // namespace qvfw::app
