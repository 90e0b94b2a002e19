#include "flash/Recovery.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/Files.h"

namespace qvfw::flash {

std::filesystem::path DefaultStateDirectory() {
#if defined(_WIN32)
  if (const char* local = std::getenv("LOCALAPPDATA"); local && *local) return std::filesystem::path(local) / "qvfw";
  return std::filesystem::path("qvfw-state");
#else
  if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x == '/') return std::filesystem::path(x) / "qvfw";
  if (geteuid() == 0) return "/var/lib/qvfw";
  if (const char* home = std::getenv("HOME"); home && *home == '/') return std::filesystem::path(home) / ".local/state/qvfw";
  return "/var/lib/qvfw";
#endif
}

std::string RecoveryFileName(std::string_view devicePath, std::string_view utcTime, uint64_t address) {
  std::string dev;
  for (char c : devicePath) {
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                      c == '-' || c == '_';
    dev += keep ? c : '_';
  }
  while (!dev.empty() && dev.front() == '_') dev.erase(dev.begin());
  char at[24];
  std::snprintf(at, sizeof at, "%06llX", static_cast<unsigned long long>(address));
  return "recovery-" + dev + "-" + std::string(utcTime) + "-" + at + ".bin";
}

std::optional<std::filesystem::path> SaveRecoveryFile(const std::filesystem::path& directory,
                                                      std::string_view devicePath, uint64_t address,
                                                      std::span<const uint8_t> bytes) {
  std::error_code ec;
  if (std::filesystem::create_directories(directory, ec))
    std::filesystem::permissions(directory, std::filesystem::perms::owner_all, ec);
  if (!std::filesystem::is_directory(directory, ec)) return std::nullopt;
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm tm{};
#if defined(_WIN32)
  gmtime_s(&tm, &now);
#else
  gmtime_r(&now, &tm);
#endif
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
  const std::string base = RecoveryFileName(devicePath, stamp, address);
  for (int n = 0; n < 1000; ++n) {
    std::filesystem::path p = directory / base;
    if (n > 0) p.replace_filename(base.substr(0, base.size() - 4) + "-" + std::to_string(n) + ".bin");
    if (std::filesystem::exists(std::filesystem::symlink_status(p, ec))) continue;  // taken (or a planted link)
    if (platform::ReplaceFile(p, bytes, 0600) == 0) return p;
    return std::nullopt;
  }
  return std::nullopt;
}

int WriteWholeFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  return platform::ReplaceFile(path, bytes, 0644);
}

}  // namespace qvfw::flash
