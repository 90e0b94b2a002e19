#pragma once
// What the benchmarks that run the application on the emulated machine share: a shell that shows
// nothing and asks nothing, and the host's clock that counts its own sleeps.

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "app/Shell.h"
#include "platform/Clock.h"

namespace qvfw::bench {

class QuietShell final : public app::Shell {
 public:
  void MessageBox(std::string_view, std::string_view, app::MessageIcon) override {}
  bool Ask(std::string_view, std::string_view, bool safe) override { return safe; }
  std::optional<std::string> OpenFileDialog(std::string_view, std::string_view, std::string_view) override {
    return std::nullopt;
  }
  void PumpEvents() override {}
  void DiagnosticsLine(std::string_view) override {}
};

// Forwards to the virtual clock the emulator shares; `slept` sums the host's own waits, `polled`
// the 10 ms pauses of status polling among them, `byLength` the waits by their length.
class HostClock final : public platform::Clock {
 public:
  explicit HostClock(platform::VirtualClock& inner) : inner_(inner) {}
  void Sleep(uint32_t ms) override {
    slept += ms;
    if (ms == 10) polled += ms;
    byLength[ms] += ms;
    inner_.Sleep(ms);
  }
  uint64_t NowMs() const override { return inner_.NowMs(); }
  uint64_t NowUs() const override { return inner_.NowUs(); }
  void RunParallel(std::span<const std::function<void()>> jobs) override { inner_.RunParallel(jobs); }
  uint64_t slept = 0, polled = 0;
  std::map<uint32_t, uint64_t> byLength;  // sleep length in ms -> total ms slept in sleeps of it

 private:
  platform::VirtualClock& inner_;
};

// A scratch folder of its own, gone with the value; `ok` false when none could be made.
class ScratchDir {
 public:
  ScratchDir() {
    std::string name = (std::filesystem::temp_directory_path() / "qvfw-bench-XXXXXX").string();
    if (::mkdtemp(name.data()) != nullptr) path_ = name;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::filesystem::path& path() const { return path_; }

  // Writes a synthetic image of `bytes` bytes as `name` in the folder.
  void WriteImage(const std::string& name, size_t bytes) const {
    std::vector<char> image(bytes);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 13 + (i >> 9));
    std::ofstream(path_ / name, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
  }

 private:
  std::filesystem::path path_;
};

}  // namespace qvfw::bench
