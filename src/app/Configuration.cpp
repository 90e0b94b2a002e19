#include "app/Configuration.h"

#include <cerrno>
#include <limits>

#include "platform/Files.h"

namespace qvfw::app {
namespace {

bool IsDelimiter(char c) { return c == ' ' || c == '=' || c == ',' || c == '\t' || c == '\n' || c == '\r'; }

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsUpper(std::string_view token, std::string_view upperKey) {
  if (token.size() != upperKey.size()) return false;
  for (size_t i = 0; i < token.size(); ++i) {
    if (Upper(token[i]) != upperKey[i]) return false;
  }
  return true;
}

struct Key {
  std::string_view name;
  std::string_view defaultValue;
  size_t capacity;  // bytes, including the terminating zero
};

constexpr Key kChipReset{"ChipReset", "0", 8};

}  // namespace

std::vector<std::string_view> Tokenize(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  std::vector<std::string_view> tokens;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsDelimiter(text[i])) ++i;
    const size_t start = i;
    while (i < text.size() && !IsDelimiter(text[i])) ++i;
    if (i > start) tokens.push_back(text.substr(start, i - start));
  }
  return tokens;
}

std::string LookupKey(std::string_view text, std::string_view key, std::string_view defaultValue, size_t capacity) {
  std::string upperKey(key);
  for (char& c : upperKey) c = Upper(c);
  const auto tokens = Tokenize(text);
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (!EqualsUpper(tokens[i], upperKey)) continue;
    if (i + 1 == tokens.size() || tokens[i + 1].size() + 1 > capacity) return std::string(defaultValue);
    return std::string(tokens[i + 1]);
  }
  return std::string(defaultValue);
}

int32_t DecimalValue(std::string_view value) {
  size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || (value[i] >= '\t' && value[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  int64_t magnitude = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (value[i] - '0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  const int64_t signedValue = negative ? -magnitude : magnitude;
  if (signedValue > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(signedValue);
}

void ReadConfiguration(MainWindowState& state, const std::filesystem::path& file, platform::Diagnostics& diagnostics) {
  const platform::FileRead read = platform::ReadRegularFile(file, kConfigurationMaxSize);
  std::string_view text;
  if (read.ok()) {
    text = std::string_view(reinterpret_cast<const char*>(read.bytes.data()), read.bytes.size());
  } else if (!(read.failure == platform::FileRead::Failure::Missing && read.error == ENOENT)) {
    diagnostics.Line(file.string() + " " + read.Reason() + ": the defaults apply");
  }
  state.ChipResetMode = DecimalValue(LookupKey(text, kChipReset.name, kChipReset.defaultValue, kChipReset.capacity));
}

}  // namespace qvfw::app
