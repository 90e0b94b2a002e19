// The command line on the window platform's own terms (run under wine): processes side by side on
// one machine folder and one bridge, a console control event in the middle of a write, disks the
// user has no rights to, the console it draws on, and device events heard by every worker of
// `update --all`. The second process is this test program again, running one of the WinChild
// cases below (they run only when asked for by name).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "cli/CliRun.h"
#include "platform/windows/SptdPassThrough.h"
#include "platform/windows/WinStructures.h"
#include "support/TempDir.h"

namespace qvfw::cli {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class WinPlatform : public ::testing::Test {
 protected:
  CliOutcome Run(std::vector<std::string> args) { return RunCli(std::move(args), dir_.path()); }
  fs::path Folder() const { return dir_.path() / "m"; }
  std::string Sim() const { return "--sim=" + Folder().string(); }
  testing::TempDir dir_;
};

// Disks the system will not open for this user: no device, and the reason says what to do.
class RefusingDisks final : public platform::DiskEnumerator {
 public:
  explicit RefusingDisks(std::string path) : path_(std::move(path)) {}
  std::vector<platform::DiskInterface> EnumerateDisks() override { return {{path_, platform::Bus::Usb}}; }
  std::vector<platform::Volume> EnumerateVolumes() override { return {}; }
  std::optional<platform::StorageDeviceNumber> GetStorageDeviceNumber(std::string_view) override { return {}; }

 private:
  std::string path_;
};

TEST_F(WinPlatform, DisksThatRefuseTheUserSayToRunAsAdministrator) {
  // A folder opened as a device is refused with ERROR_ACCESS_DENIED, as a disk is to a user
  // without administrator rights.
  RefusingDisks disks(dir_.path().string());
  platform::NullDiagnostics quiet;
  platform::windows_os::SptdPassThrough backend(quiet);
  for (bool asJson : {false, true}) {
    std::ostringstream out, err;
    GlobalOptions options;
    options.workingDirectory = dir_.path();
    options.json = asJson;
    int code = -1;
    {
      Session session(options, PlatformParts{&backend, &disks, nullptr, nullptr}, out, err, false);
      session.Start();
      code = UpdateCommand(session, out, err);
    }
    EXPECT_EQ(code, kExitNoDevice);
    const std::string said = asJson ? json::parse(out.str())["error"]["message"].get<std::string>() : err.str();
    EXPECT_NE(said.find("No device found!! (1 disk(s) could not be opened (access denied)"), std::string::npos) << said;
    EXPECT_NE(said.find("run qvfw as administrator"), std::string::npos) << said;
    EXPECT_EQ(said.find("udev"), std::string::npos) << said;
    if (asJson) {
      EXPECT_EQ(json::parse(out.str())["error"]["kind"], "noDevice");
    }
  }
}

}  // namespace
}  // namespace qvfw::cli
