#include "flash/Recovery.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

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

std::string NotARegularFile(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status link = fs::symlink_status(path, ec);
  if (ec || !fs::exists(link)) return {};
  const fs::file_status target = fs::status(path, ec);
  if (!ec && fs::is_regular_file(target)) return {};
  const char* kind = "not a regular file";
  if (ec || !fs::exists(target)) kind = "a link that leads nowhere";
  else if (fs::is_directory(target)) kind = "a folder";
  else if (fs::is_character_file(target)) kind = "a character device";
  else if (fs::is_block_file(target)) kind = "a block device";
  else if (fs::is_fifo(target)) kind = "a FIFO";
  else if (fs::is_socket(target)) kind = "a socket";
  return path.string() + " is " + kind + (fs::is_symlink(link) ? " (through a link)" : "") + ", not a regular file";
}

std::optional<std::filesystem::path> FindNvramCopy(const std::filesystem::path& directory, std::string_view devicePath,
                                                   uint32_t flashBytes, uint32_t address, uint32_t length) {
  namespace fs = std::filesystem;
  // "recovery-<device>-<time>-000000[-N].bin": the device's own copies of the whole flash.
  const std::string name = RecoveryFileName(devicePath, "", 0);
  const std::string prefix = name.substr(0, name.find("--"));
  struct Candidate {
    fs::file_time_type written;
    fs::path path;
  };
  std::vector<Candidate> copies;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(directory, ec)) {
    const std::string file = e.path().filename().string();
    // The device's name, a UTC time of 16 characters, the address 000000, and a suffix or not.
    const size_t at = prefix.size() + 1 + 16;
    if (file.rfind(prefix + "-", 0) != 0 || file.size() < at + 11 || file.compare(at, 7, "-000000") != 0 ||
        (file.compare(at + 7, std::string::npos, ".bin") != 0 && file.compare(at + 7, 1, "-") != 0) ||
        !e.is_regular_file(ec))
      continue;
    copies.push_back({e.last_write_time(ec), e.path()});
  }
  std::sort(copies.begin(), copies.end(), [](const Candidate& a, const Candidate& b) {
    return a.written != b.written ? a.written > b.written : a.path.filename() > b.path.filename();
  });
  for (const Candidate& c : copies) {
    const uint64_t size = fs::file_size(c.path, ec);
    if (ec || (flashBytes != 0 && size != flashBytes) || size < uint64_t{address} + length) continue;
    const auto bytes = platform::ReadWholeFile(c.path, static_cast<size_t>(size));
    if (!bytes) continue;
    const auto region = std::span<const uint8_t>(*bytes).subspan(address, length);
    if (std::any_of(region.begin(), region.end(), [](uint8_t b) { return b != 0xFF; })) return c.path;
  }
  return std::nullopt;
}

}  // namespace qvfw::flash
