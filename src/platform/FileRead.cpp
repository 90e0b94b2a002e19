#include <cerrno>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "platform/Files.h"

// Portable: the bounded read of an opened file and the words for one that failed, the same on
// every platform.
namespace qvfw::platform {

std::string FileRead::Reason() const {
  switch (failure) {
    case Failure::None: return {};
    case Failure::Missing: return "cannot be opened: " + std::string(std::strerror(error));
    case Failure::NotRegular: return "is not a regular file";
    case Failure::TooLarge: return "is larger than " + std::to_string(limit) + " bytes";
    case Failure::Unreadable: return "cannot be read: " + std::string(std::strerror(error ? error : EIO));
  }
  return {};
}

void ReadOpenedFile(FileRead& r, const std::function<int64_t(uint8_t* into, size_t room, int& error)>& readSome) {
  if (r.size > r.limit) {
    r.failure = FileRead::Failure::TooLarge;
    return;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(r.size) + 1);
  size_t done = 0;
  for (;;) {
    if (done == bytes.size()) {
      if (done > r.limit) break;
      bytes.resize(static_cast<size_t>(std::min<uint64_t>(r.limit + 1, done + 65536)));
    }
    const int64_t n = readSome(bytes.data() + done, bytes.size() - done, r.error);
    if (n < 0) {
      r.failure = FileRead::Failure::Unreadable;
      return;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  r.size = done;
  if (done > r.limit) {
    r.failure = FileRead::Failure::TooLarge;
    return;
  }
  bytes.resize(done);
  r.bytes = std::move(bytes);
}

}  // namespace qvfw::platform
