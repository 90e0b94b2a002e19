#include "platform/OsError.h"

#include <cerrno>
#include <cstring>

// POSIX systems: errno values and the C library's table.
namespace qvfw::platform {

std::string OsErrorText(uint32_t error) {
  const char* text = std::strerror(static_cast<int>(error));
  return text && *text ? std::string(text) : "error " + std::to_string(error);
}

bool AccessDenied(uint32_t error) { return error == EACCES || error == EPERM; }

std::string_view AccessRemedy() {
  return "could not be opened (permission denied): run as root, or install the udev rule that gives the logged-in "
         "user access to the bridges";
}

}  // namespace qvfw::platform
