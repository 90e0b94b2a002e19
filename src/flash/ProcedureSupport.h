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

#include "device/FlashDescriptor.h"
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
