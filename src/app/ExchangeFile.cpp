#include "app/ExchangeFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "codec/ImageCodec.h"

namespace qvfw::app {
namespace {

// Names of a run's own: the process id and a counter, unique among live processes.
std::atomic<unsigned> g_ownNames{0};

std::string OwnName(std::string_view preferred) {
  std::string stem(preferred), suffix;
  if (const size_t dot = stem.rfind('.'); dot != std::string::npos && dot > 0) {
    suffix = stem.substr(dot);
    stem.resize(dot);
  }
  return stem + "." + std::to_string(platform::CurrentProcessId()) + "-" + std::to_string(g_ownNames++) + suffix;
}

}  // namespace

std::string ExchangeBlock::Serial() const {
  const auto* begin = reinterpret_cast<const char*>(bytes.data() + 516);
  const auto* end = reinterpret_cast<const char*>(bytes.data() + bytes.size());
  return std::string(begin, std::find(begin, end, '\0'));
}

std::array<uint8_t, kExchangeBlockSize> Scrambled(const ExchangeBlock& plain) {
  std::array<uint8_t, kExchangeBlockSize> scrambled;
  codec::ScrambleBlock(plain.bytes.data(), scrambled.data(), scrambled.size());
  return scrambled;
}

ExchangeBlock Unscrambled(std::span<const uint8_t, kExchangeBlockSize> scrambled) {
  ExchangeBlock block;
  codec::ScrambleBlock(scrambled.data(), block.bytes.data(), block.bytes.size());
  return block;
}

std::optional<ExchangeBlock> ReadExchangeBlock(const std::filesystem::path& target) {
  // Only a regular file of exactly one block, never read through a link.
  const std::optional<std::vector<uint8_t>> scrambled = platform::ReadWholeFile(target, kExchangeBlockSize);
  if (!scrambled) return std::nullopt;
  return Unscrambled(std::span<const uint8_t, kExchangeBlockSize>(scrambled->data(), kExchangeBlockSize));
}

std::unique_ptr<OwnExchangeFile> OwnExchangeFile::Create(const std::vector<std::filesystem::path>& folders,
                                                         std::string_view preferred, const ExchangeBlock& block,
                                                         platform::Diagnostics& diagnostics, std::string* why) {
  const auto scrambled = Scrambled(block);
  std::string reasons;
  for (const std::filesystem::path& folder : folders) {
    std::filesystem::path path = folder / preferred;
    int error = platform::CreateNewFile(path, scrambled);
    for (int attempt = 0; error == EEXIST && attempt < 16; ++attempt) {
      const std::filesystem::path own = folder / OwnName(preferred);
      error = platform::CreateNewFile(own, scrambled);
      if (error == 0) {
        diagnostics.Line(path.string() + " is another run's (or was left by one); this run keeps its exchange data in " +
                         own.string());
        path = own;
      }
    }
    if (error == 0) {
      if (const auto identity = platform::IdentityOf(path))
        return std::unique_ptr<OwnExchangeFile>(new OwnExchangeFile(path, block, *identity));
      platform::RemoveFile(path);
      error = EIO;
    }
    const std::string reason = folder.string() + " (" + std::strerror(error) + ")";
    reasons += (reasons.empty() ? "" : ", nor in ") + reason;
    diagnostics.Line("the exchange file cannot be written in " + reason);
  }
  if (why) *why = "the exchange file could not be written in " + (reasons.empty() ? std::string("any folder") : reasons);
  return nullptr;
}

OwnExchangeFile::~OwnExchangeFile() {
  // Another name may stand here by now (a user's, another run's): only this run's file goes.
  if (platform::IdentityOf(path_) == identity_ && ReadsBack()) platform::RemoveFile(path_);
}

bool OwnExchangeFile::ReadsBack() const {
  if (platform::IdentityOf(path_) != identity_) return false;
  const auto back = ReadExchangeBlock(path_);
  return back && back->bytes == block_.bytes;
}

}  // namespace qvfw::app
