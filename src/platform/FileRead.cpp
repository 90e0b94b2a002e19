#include <cerrno>
#include <cstring>
#include <string>

#include "platform/Files.h"

// Portable: the words for a bounded read that failed, the same on every platform.
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

}  // namespace qvfw::platform
