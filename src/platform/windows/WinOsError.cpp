#include "platform/OsError.h"

#include "platform/windows/WinStructures.h"

// The window platform: system error codes (GetLastError) and the system's message table.
namespace qvfw::platform {

std::string OsErrorText(uint32_t error) {
  char buffer[512] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                   buffer, sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(error) : text;
}

bool AccessDenied(uint32_t error) { return error == ERROR_ACCESS_DENIED || error == ERROR_PRIVILEGE_NOT_HELD; }

std::string_view AccessRemedy() {
  return "could not be opened (access denied): the bridges' SCSI pass-through needs administrator rights; run qvfw "
         "as administrator";
}

}  // namespace qvfw::platform
