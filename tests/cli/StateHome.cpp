// The command line's tests keep what a failed update leaves in a state directory of their own,
// never in the user's (or, as root, in /var/lib/qvfw).
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace {

class StateHome final : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string dir = (std::filesystem::temp_directory_path() / "qvfw-state-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) GTEST_FAIL() << "no temporary folder";
    dir_ = dir;
    ::setenv("XDG_STATE_HOME", dir.c_str(), 1);
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
