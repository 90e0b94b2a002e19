#include "app/ExchangeFile.h"

#include <algorithm>

#include "codec/ImageCodec.h"
#include "platform/Files.h"

namespace qvfw::app {
std::string ExchangeBlock::Serial() const {
  const auto* begin = reinterpret_cast<const char*>(bytes.data() + 516);
  const auto* end = reinterpret_cast<const char*>(bytes.data() + bytes.size());
  return std::string(begin, std::find(begin, end, '\0'));
}

bool WriteExchangeFile(const std::filesystem::path& dir, const ExchangeBlock& plain) {
  return WriteExchangeBlock(dir / kExchangeFileName, plain);
}

std::optional<ExchangeBlock> ReadExchangeFile(const std::filesystem::path& dir) {
  return ReadExchangeBlock(dir / kExchangeFileName);
}

bool WriteExchangeBlock(const std::filesystem::path& target, const ExchangeBlock& plain) {
  std::array<uint8_t, kExchangeBlockSize> scrambled;
  codec::ScrambleBlock(plain.bytes.data(), scrambled.data(), scrambled.size());
  if (platform::ReplaceFile(target, scrambled) == 0) return true;
  // A file left under the name by an earlier run holds another moment's (or device's) identity:
  // it goes, so that nothing reads it for this one: a file or a link itself, never a folder.
  platform::RemoveFile(target);
  return false;
}

std::optional<ExchangeBlock> ReadExchangeBlock(const std::filesystem::path& target) {
  // Only a regular file of exactly one block, never read through a link.
  const std::optional<std::vector<uint8_t>> scrambled = platform::ReadWholeFile(target, kExchangeBlockSize);
  if (!scrambled) return std::nullopt;
  ExchangeBlock block;
  codec::ScrambleBlock(scrambled->data(), block.bytes.data(), scrambled->size());
  return block;
}

}  // namespace qvfw::app
