#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/RecordingPassThrough.h"
#include "support/RecordingShell.h"
#include "support/TempDir.h"
#include "app/MainPresenter.h"
#include "app/ProgramVersion.h"

namespace qvfw::app {
namespace {

namespace fs = std::filesystem;

// An application context over recording fakes, working in a fresh directory.
struct Fixture {
  Fixture() : ctx(PlatformServices{passThrough, clock, diag}, shell, images) { ctx.workingDirectory = dir.path(); }

  testing::TempDir dir;
  testing::RecordingPassThrough passThrough;
  platform::VirtualClock clock;
  platform::CapturingDiagnostics diag;
  testing::RecordingShell shell;
  MemoryImageStore images;
  AppContext ctx;
};

std::vector<uint8_t> ImageWithVersion(std::vector<uint8_t> version) {
  std::vector<uint8_t> image(4096, 0x11);
  std::copy(version.begin(), version.end(), image.begin() + 25);
  return image;
}

TEST(Caption, FromTheProgramVersion) {
  struct Case {
    ProgramVersion version;
    const char* caption;
  };
  const Case cases[] = {
      {std::array<uint16_t, 4>{1, 0, 0, 5}, "Orvo DLN7420KT5 firmware update tools_v1.0.0.5"},
      {std::array<uint16_t, 4>{12, 34, 56, 65535}, "Orvo DLN7420KT5 firmware update tools_v12.34.56.65535"},
      {std::nullopt, "Orvo DLN7420KT5 firmware update tools_v0.0.0.0"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatCaption(c.version), c.caption);
}

TEST(UpdateButton, TextFromTheCarriedImage) {
  struct Case {
    const char* what;
    std::optional<std::vector<uint8_t>> version;  // bytes 25..28; none = image missing
    const char* text;
  };
  const Case cases[] = {
      {"ASCII digits", std::vector<uint8_t>{'4', '0', '1', '2'}, "Update firmware to version 04.00.01.02"},
      {"the carried version", std::vector<uint8_t>{'1', '2', '0', '3'}, "Update firmware to version 01.02.00.03"},
      {"binary numbers", std::vector<uint8_t>{0x65, 0x07, 0x01, 0x01}, "Update firmware to version 101.07.01.01"},
      {"binary, byte 25 below '0'", std::vector<uint8_t>{0x2F, 0x39, 0x00, 0xFF}, "Update firmware to version 47.57.00.255"},
      {"binary, byte 25 above '9'", std::vector<uint8_t>{0x3A, 0x31, 0x32, 0x33}, "Update firmware to version 58.49.50.51"},
      {"missing image", std::nullopt, "Update firmware to version 00.00.00.00"},
  };
  for (const Case& c : cases) {
    Fixture f;
    if (c.version) f.images.Put(std::string(kUpdateImageName), ImageWithVersion(*c.version));
    f.ctx.state.UpdateBusy = 1;
    FormCreate(f.ctx);
    EXPECT_EQ(f.ctx.form.YesBtn.text, c.text) << c.what;
    EXPECT_FALSE(f.ctx.form.YesBtn.enabled) << c.what;  // only the device list enables it
    EXPECT_EQ(f.ctx.state.UpdateBusy, 0) << c.what;
  }
}

TEST(StartUp, RunsItsStepsInOrder) {
  Fixture f;
  f.dir.Write("Brantwell.ini", "ChipReset=1");
  f.images.Put(std::string(kUpdateImageName), ImageWithVersion({'1', '2', '0', '3'}));
  f.ctx.programVersion = std::array<uint16_t, 4>{1, 0, 0, 5};
  f.ctx.form.EraseOnlyCheck.checked = true;  // the state copies the box as it stands

  std::vector<std::string> steps;
  f.ctx.hooks.RefreshBtnClick = [&](AppContext& ctx) {
    // Configuration and the first state are in place before the first refresh.
    EXPECT_EQ(ctx.state.ChipResetMode, 1);
    EXPECT_EQ(ctx.state.KeepNvram, 1u);
    EXPECT_EQ(ctx.state.EraseOnly, 1u);
    EXPECT_TRUE(ctx.form.window.caption.empty());
    steps.push_back("refresh");
  };
  f.ctx.hooks.RdCheckBoxClick = [&](AppContext&) { steps.push_back("rd"); };
  f.ctx.hooks.RegisterDeviceArrival = [&](AppContext& ctx) {
    EXPECT_EQ(ctx.form.YesBtn.text, "Update firmware to version");  // FormCreate's first step
    ctx.state.DeviceNotifyHandle = 42;
    steps.push_back("register");
  };
  f.ctx.hooks.UnregisterDeviceArrival = [&](AppContext& ctx) {
    EXPECT_EQ(ctx.state.DeviceNotifyHandle, 42u);
    steps.push_back("unregister");
  };

  ConstructMainWindow(f.ctx);
  EXPECT_EQ(steps, (std::vector<std::string>{"refresh", "rd", "register"}));
  EXPECT_EQ(f.ctx.form.window.caption, "Orvo DLN7420KT5 firmware update tools_v1.0.0.5");
  EXPECT_EQ(f.ctx.form.YesBtn.text, "Update firmware to version 01.02.00.03");
  EXPECT_TRUE(f.ctx.form.window.acceptsDroppedFiles);
  EXPECT_EQ(f.ctx.state.DeviceNotifyHandle, 42u);

  DestroyMainWindow(f.ctx);
  EXPECT_EQ(steps.back(), "unregister");
  EXPECT_EQ(f.ctx.state.DeviceNotifyHandle, 0u);
}

TEST(StartUp, WithoutHooksOrFilesGivesTheDefaults) {
  Fixture f;
  ConstructMainWindow(f.ctx);
  EXPECT_EQ(f.ctx.state.ChipResetMode, 0);
  EXPECT_EQ(f.ctx.state.KeepNvram, 1u);
  EXPECT_EQ(f.ctx.state.EraseOnly, 0u);
  EXPECT_EQ(f.ctx.form.window.caption, FormatCaption(kBuildVersion));
  EXPECT_EQ(f.ctx.form.YesBtn.text, "Update firmware to version 00.00.00.00");
  EXPECT_TRUE(f.shell.messages.empty());
  EXPECT_TRUE(f.passThrough.requests.empty());  // start-up itself sends nothing
}

TEST(StartUp, BuildVersionIsTheProjectVersion) {
  const auto v = kBuildVersion;
  EXPECT_EQ(std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
                std::to_string(v[3]),
            kBuildVersionText);
}

// The exchange file this run made, as the update makes it.
void SaveExchange(Fixture& f) {
  f.ctx.exchange = OwnExchangeFile::Create({f.dir.path()}, "ExChangeData.tmp", ExchangeBlock{}, f.ctx.diagnostics, nullptr);
  ASSERT_TRUE(f.ctx.exchange);
}

TEST(FormClose, DeletesTheRunsOwnExchangeFileOnly) {
  Fixture f;
  SaveExchange(f);
  const auto own = f.ctx.exchange->path();
  const auto other = f.dir.Write("oldFlash.bak", "keep");
  const auto similar = f.dir.Write("ExChangeData.tmp.bak", "keep");
  FormClose(f.ctx);
  EXPECT_FALSE(fs::exists(fs::symlink_status(own)));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_TRUE(fs::exists(similar));
  EXPECT_TRUE(f.shell.messages.empty());
  FormClose(f.ctx);  // twice is harmless
}

// What stands at the name without this run having made it (an earlier run's file, another user's,
// a link, a folder) is not the run's to remove.
TEST(FormClose, LeavesWhatTheRunDidNotMake) {
  Fixture f;
  testing::TempDir elsewhere;
  const auto target = elsewhere.Write("precious", "data");
  const fs::path name = f.dir.path() / "ExChangeData.tmp";
  for (const char* planted : {"file", "link", "dangling link", "folder"}) {
    SCOPED_TRACE(planted);
    fs::remove_all(name);
    const std::string what = planted;
    std::error_code ec;
    if (what == "file") f.dir.Write("ExChangeData.tmp", std::string(4096, 'x'));
    if (what == "link") fs::create_symlink(target, name, ec);
    if (what == "dangling link") fs::create_symlink(elsewhere.path() / "nothing-there", name, ec);
    if (what == "folder") fs::create_directory(name);
    // Symbolic links need a privilege on the window platform (and wine has none).
    if (ec) continue;
    FormClose(f.ctx);
    EXPECT_TRUE(fs::exists(fs::symlink_status(name)));
  }
  std::ifstream in(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "data");
}

TEST(ExitBtnClick, ClosesTheWindowAndRemovesTheExchangeFile) {
  Fixture f;
  SaveExchange(f);
  ExitBtnClick(f.ctx);
  EXPECT_TRUE(f.ctx.form.window.closed);
  EXPECT_FALSE(fs::exists(f.dir.path() / "ExChangeData.tmp"));
}

TEST(StatusTexts, ChangesReachTheShellAsTheyHappen) {
  Fixture f;
  SetStatusLine(f.ctx, "Updating firmware. Please wait...", kBlue);
  SetStatusText(f.ctx, "Programming Flash...");
  AppendStatusText(f.ctx, ".");
  AppendStatusText(f.ctx, ".");
  SetProgress(f.ctx, f.ctx.form.ProgressBar2, 0);
  StepProgress(f.ctx, f.ctx.form.ProgressBar2);
  StepProgress(f.ctx, f.ctx.form.ProgressBar2);
  SetProgress(f.ctx, f.ctx.form.ProgressBar2, 130);

  EXPECT_EQ(f.ctx.form.StatusEdit.text, "Programming Flash.....");
  EXPECT_EQ(f.ctx.form.devpnl.colour, kBlue);
  ASSERT_EQ(f.shell.notices.size(), 4u);
  EXPECT_EQ(f.shell.notices[0].control, "devpnl");
  EXPECT_EQ(f.shell.notices[0].colour, kBlue);
  EXPECT_EQ(f.shell.notices[1].control, "StatusEdit");
  EXPECT_EQ(f.shell.notices[1].appended, "");
  EXPECT_EQ(f.shell.notices[3].text, "Programming Flash.....");
  EXPECT_EQ(f.shell.notices[3].appended, ".");
  const std::vector<std::pair<std::string, int>> progress = {
      {"ProgressBar2", 0}, {"ProgressBar2", 30}, {"ProgressBar2", 60}, {"ProgressBar2", 100}};
  EXPECT_EQ(f.shell.progress, progress);
}

TEST(MainWindowState, FixedWidthFieldsKeepTheirTerminator) {
  DeviceRecord record;
  record.Path.Set(std::string(300, 'p'));
  record.DriveLetters.Set("EFGHIJKLMNOPQRSTUVWXYZ");
  EXPECT_EQ(record.Path.View().size(), 256u);
  EXPECT_EQ(record.Path.bytes[256], '\0');
  EXPECT_EQ(record.DriveLetters.View(), "EFGHIJKLMNOPQRSTUV");
  record.DriveLetters.Set("E");
  EXPECT_EQ(record.DriveLetters.View(), "E");  // no stale letters after a shorter text

  MainWindowState state;
  state.SetChipIdentity(0x030F);
  EXPECT_EQ(state.CurrentChipType, 15);
  EXPECT_EQ(state.ChipRevision, 3);
}

TEST(AppContext, TransportPumpsTheShellAndDevicesUseTheTablePath) {
  Fixture f;
  f.ctx.state.DeviceTable[1].Path.Set("/dev/sg3");
  const device::Device dev = f.ctx.DeviceAt(1);
  EXPECT_EQ(dev.path(), "/dev/sg3");
  f.ctx.transport.PumpEvents();
  EXPECT_EQ(f.shell.pumps, 1);
  EXPECT_THROW(f.ctx.DeviceAt(kDeviceTableSize), std::out_of_range);
}

}  // namespace
}  // namespace qvfw::app
