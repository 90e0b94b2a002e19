#include "ui/win/ProgramFile.h"

#include <windows.h>

#include <vector>

namespace qvfw::ui::win {

app::ProgramVersion ProgramFileVersion() {
  std::vector<char> path(32768);
  const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return std::nullopt;
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(path.data(), &handle);
  if (size == 0) return std::nullopt;
  std::vector<char> info(size);
  if (!::GetFileVersionInfoA(path.data(), 0, size, info.data())) return std::nullopt;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!::VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
      length < sizeof(VS_FIXEDFILEINFO))
    return std::nullopt;
  return std::array<uint16_t, 4>{HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                                 HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
}

bool RunsElevated() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const BOOL ok = ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  ::CloseHandle(token);
  return !ok || elevation.TokenIsElevated != 0;
}

}  // namespace qvfw::ui::win
