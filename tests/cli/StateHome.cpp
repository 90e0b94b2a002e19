// The command line's tests keep what a failed update leaves in a state directory of their own,
// never in the user's (or, as root, in /var/lib/qvfw; on the window platform, under
// %LOCALAPPDATA%).
#include <gtest/gtest.h>

#include <filesystem>

#include "support/TempDir.h"

namespace {

class StateHome final : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = qvfw::testing::TempDir::MakeUnique(std::filesystem::temp_directory_path() / "qvfw-state");
#if defined(_WIN32)
    qvfw::testing::SetEnv("LOCALAPPDATA", dir_.string().c_str());
#else
    qvfw::testing::SetEnv("XDG_STATE_HOME", dir_.c_str());
#endif
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

 private:
  std::filesystem::path dir_;
};

const auto* const kStateHome = ::testing::AddGlobalTestEnvironment(new StateHome);

}  // namespace
