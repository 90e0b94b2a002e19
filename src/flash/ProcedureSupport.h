#pragma once
// Small pieces the loader and disk-area procedures share: ending a run with its status text,
// reading the image file whole, and marking the stretch in which the device is being changed.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "flash/EraseOnWrite.h"
#include "flash/Recovery.h"

namespace qvfw::flash::support {

// Shows `status` (when not empty) and returns the result that carries it.
inline Result Finish(Host& host, Result::Code code, Stage stage, std::string_view status, std::string reason = {}) {
  if (!status.empty()) host.SetStatus(status);
  Result r;
  r.code = code;
  r.stage = stage;
  r.statusText = std::string(status);
  r.reason = std::move(reason);
  return r;
}

// The image file, whole; nothing when it cannot be opened as a regular file.
inline std::optional<std::vector<uint8_t>> ReadImageFile(const std::string& path) {
  std::error_code ec;
  if (path.empty() || !std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (!bytes.empty() && !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
    return std::nullopt;
  return bytes;
}

// While alive, a front end asked to stop waits for the device's change to finish.
class CriticalSection {
 public:
  explicit CriticalSection(Host& host) : host_(host) { host_.Critical(true); }
  ~CriticalSection() { host_.Critical(false); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
  Host& host_;
};

inline std::filesystem::path StateDirectory(const EngineeringOptions& o) {
  return o.stateDirectory.empty() ? DefaultStateDirectory() : o.stateDirectory;
}

}  // namespace qvfw::flash::support
