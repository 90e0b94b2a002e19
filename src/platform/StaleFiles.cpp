#include "platform/Files.h"

#include <cctype>
#include <cstdlib>
#include <string>

// Portable: the removal goes through RemoveFile (never through a link), the liveness test through
// ProcessAlive of each platform's file.
namespace qvfw::platform {
namespace {

// The temporary's token: "<pid>-<counter>" (this program's) or eight hex digits (the random
// names of earlier versions). Returns whether `token` is one; `pid` 0 for the older form.
bool TemporaryToken(std::string_view token, long& pid) {
  pid = 0;
  const size_t dash = token.find('-');
  if (dash == std::string_view::npos) {
    if (token.size() != 8) return false;
    for (char c : token)
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
  }
  if (dash == 0 || dash + 1 == token.size()) return false;
  for (size_t i = 0; i < token.size(); ++i)
    if (i != dash && !std::isdigit(static_cast<unsigned char>(token[i]))) return false;
  pid = std::strtol(std::string(token.substr(0, dash)).c_str(), nullptr, 10);
  return pid > 0;
}

}  // namespace

size_t RemoveStaleTemporaries(const std::filesystem::path& folder, std::string_view prefix) {
  std::error_code ec;
  size_t removed = 0;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - 4, 4, ".new") != 0)
      continue;
    const std::string_view stem = std::string_view(name).substr(0, name.size() - 4);
    const size_t dot = stem.rfind('.');
    long pid = 0;
    if (dot == std::string_view::npos || dot < prefix.size() || !TemporaryToken(stem.substr(dot + 1), pid)) continue;
    if (pid != 0 && ProcessAlive(pid)) continue;  // a live process's write in progress
    std::error_code kind;
    if (it->symlink_status(kind).type() == std::filesystem::file_type::directory) continue;
    if (RemoveFile(it->path())) ++removed;
  }
  return removed;
}

}  // namespace qvfw::platform
