#include "app/ExchangeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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
  // it goes, so that nothing reads it for this one. unlink() takes a link itself, never a folder.
  ::unlink(target.c_str());
  return false;
}

std::optional<ExchangeBlock> ReadExchangeBlock(const std::filesystem::path& target) {
  platform::UniqueFd fd(::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(kExchangeBlockSize))
    return std::nullopt;
  std::array<uint8_t, kExchangeBlockSize> scrambled;
  if (!platform::ReadAll(fd.get(), scrambled.data(), scrambled.size())) return std::nullopt;
  ExchangeBlock block;
  codec::ScrambleBlock(scrambled.data(), block.bytes.data(), scrambled.size());
  return block;
}

}  // namespace qvfw::app
