#include "app/KeptIdentity.h"

#include "app/AppContext.h"
#include "flash/Recovery.h"

namespace qvfw::app {
namespace {

// A file name from a serial number or a device path: letters, digits, '.', '-' and '_' stay,
// anything else (a path's separators among them) becomes '_'.
std::string FileNameOf(std::string_view text) {
  std::string name;
  for (char c : text) {
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                      c == '-' || c == '_';
    name += keep ? c : '_';
  }
  if (name.empty() || name[0] == '.') name.insert(name.begin(), '_');
  return name;
}

}  // namespace

std::filesystem::path StateDirectory(const AppContext& ctx) {
  return ctx.stateDirectory.empty() ? flash::DefaultStateDirectory() : ctx.stateDirectory;
}

std::filesystem::path KeptIdentityPath(const AppContext& ctx, std::string_view serial, std::string_view path) {
  const std::string name = serial.empty() ? "path-" + FileNameOf(path) : "serial-" + FileNameOf(serial);
  return StateDirectory(ctx) / (name + ".identity");
}

std::optional<std::filesystem::path> KeepIdentity(const AppContext& ctx, const ExchangeBlock& block,
                                                  std::string_view path) {
  const std::filesystem::path file = KeptIdentityPath(ctx, block.Serial(), path);
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  if (!WriteExchangeBlock(file, block)) return std::nullopt;
  return file;
}

void ForgetIdentity(const AppContext& ctx, const ExchangeBlock& block, std::string_view path) {
  std::error_code ec;
  std::filesystem::remove(KeptIdentityPath(ctx, block.Serial(), path), ec);
}

}  // namespace qvfw::app
