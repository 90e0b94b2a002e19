#include "app/ExchangeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>

#include "codec/ImageCodec.h"

namespace qvfw::app {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
  while (n) {
    const ssize_t r = ::read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

std::string ExchangeBlock::Serial() const {
  const auto* begin = reinterpret_cast<const char*>(bytes.data() + 516);
  const auto* end = reinterpret_cast<const char*>(bytes.data() + bytes.size());
  return std::string(begin, std::find(begin, end, '\0'));
}

namespace {

bool WriteFresh(const std::filesystem::path& target, const std::array<uint8_t, kExchangeBlockSize>& scrambled) {
  std::random_device entropy;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x", entropy());
    std::filesystem::path temp = target;
    temp += suffix;
    // O_EXCL refuses any name that exists, a planted link included.
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    const bool written = WriteAll(fd.get(), scrambled.data(), scrambled.size()) && ::fsync(fd.get()) == 0;
    // rename replaces whatever stands under the name (a link itself, never its target).
    if (!fd.Close() || !written || ::rename(temp.c_str(), target.c_str()) != 0) {
      ::unlink(temp.c_str());
      return false;
    }
    return true;
  }
  return false;
}

}  // namespace

bool WriteExchangeFile(const std::filesystem::path& dir, const ExchangeBlock& plain) {
  std::array<uint8_t, kExchangeBlockSize> scrambled;
  codec::ScrambleBlock(plain.bytes.data(), scrambled.data(), scrambled.size());
  const std::filesystem::path target = dir / kExchangeFileName;
  if (WriteFresh(target, scrambled)) return true;
  // A file left under the name by an earlier run holds another moment's (or device's) identity:
  // it goes, so that nothing reads it for this one. unlink() takes a link itself, never a folder.
  ::unlink(target.c_str());
  return false;
}

std::optional<ExchangeBlock> ReadExchangeFile(const std::filesystem::path& dir) {
  const std::filesystem::path target = dir / kExchangeFileName;
  Fd fd(::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(kExchangeBlockSize))
    return std::nullopt;
  std::array<uint8_t, kExchangeBlockSize> scrambled;
  if (!ReadAll(fd.get(), scrambled.data(), scrambled.size())) return std::nullopt;
  ExchangeBlock block;
  codec::ScrambleBlock(scrambled.data(), block.bytes.data(), scrambled.size());
  return block;
}

}  // namespace qvfw::app
