// The device refresh against emulated machines: what is listed, what the one-click face says,
// and when the device-change timer runs the refresh.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/DeviceList.h"
#include "app/FirmwareChoice.h"
#include "support/AppRig.h"

namespace qvfw::app {
namespace {

using platform::Bus;
using testing::EmulatedApp;
using testing::Qvs812WithVersion;

TEST(CompareVersions, DigitAndBinaryImageVersions) {
  struct Case {
    const char* device;
    std::array<uint8_t, 4> image;
    bool idMismatch, sameVersion;
  };
  const Case cases[] = {
      {"101.07.01.01", {0x65, 0x07, 0x01, 0x01}, false, true},
      {"2.07.01.01", {0x65, 0x07, 0x01, 0x01}, true, false},
      {"101.06.01.01", {0x65, 0x07, 0x01, 0x01}, false, false},
      {"4.1.9.9", {'4', '2', '9', '9'}, true, false},  // digits: the second field counts too
      {"4.2.9.9", {'4', '2', '9', '9'}, false, true},
      {"4.2.0.3", {'4', '2', '9', '9'}, false, false},
      {"4.1.9.9", {4, 2, 9, 9}, false, false},          // binary: only the first field decides
      {"357.07.01.01", {0x65, 0x07, 0x01, 0x01}, false, true},  // the low byte of each field
      {"12a.3x.0.1", {12, 3, 0, 1}, false, true},       // leading digits only
      {"x.2.3.4", {0, 2, 3, 4}, false, true},           // no digits give 0
      {"1.2", {1, 2, 0, 0}, false, true},               // missing fields keep 0
      {"1.2.3.4.5", {1, 2, 3, 4}, false, true},         // only four fields count
      {"Internal code", {0xFF, 0, 0, 0}, false, true},  // no '.': 255.0.0.0 stays
      {"", {0x01, 0, 0, 0}, true, false},
  };
  for (const Case& c : cases) {
    const VersionVerdict v = CompareVersions(c.device, c.image);
    EXPECT_EQ(v.idMismatch, c.idMismatch) << c.device;
    EXPECT_EQ(v.sameVersion, c.sameVersion) << c.device;
  }
}

TEST(Refresh, OneClickReadinessOfTheFirstDevice) {
  struct Case {
    const char* what;
    uint8_t kind;
    std::array<uint8_t, 4> deviceVersion;
    std::vector<uint8_t> imageVersion;
    bool busy;
    const char* status;  // nullptr: the status line keeps its text
    Rgb colour;
    bool yes;
  };
  const Case cases[] = {
      {"same version", 1, {101, 7, 1, 1}, {0x65, 0x07, 0x01, 0x01}, false, "Firmware already updated.", kGreen, false},
      {"another id", 1, {2, 7, 1, 1}, {0x65, 0x07, 0x01, 0x01}, false, "Firmware ID not match!!", kRed, false},
      {"an older version", 1, {101, 6, 1, 1}, {0x65, 0x07, 0x01, 0x01}, false, nullptr, {}, true},
      {"digit image, second field differs", 2, {'4', '1', '9', '9'}, {'4', '2', '0', '0'}, false,
       "Firmware ID not match!!", kRed, false},
      {"digit image, same id", 2, {'1', '2', '0', '1'}, {'1', '2', '0', '3'}, false, nullptr, {}, true},
      {"same version while busy", 1, {101, 7, 1, 1}, {0x65, 0x07, 0x01, 0x01}, true, nullptr, {}, false},
      {"another id while busy", 1, {2, 7, 1, 1}, {0x65, 0x07, 0x01, 0x01}, true, nullptr, {}, false},
      {"an older version while busy", 1, {101, 6, 1, 1}, {0x65, 0x07, 0x01, 0x01}, true, nullptr, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EmulatedApp app;
    app.CarryVersion(c.imageVersion);
    app.AddBridge(Qvs812WithVersion(c.kind, c.deviceVersion));
    app.ctx.state.UpdateBusy = c.busy ? 1 : 0;
    SetStatusLine(app.ctx, "before", kBlue);
    SetProgress(app.ctx, app.ctx.form.ProgressBar2, 60);
    RefreshBtnClick(app.ctx);
    const auto& devpnl = app.ctx.form.devpnl;
    EXPECT_EQ(devpnl.text, c.status ? c.status : "before");
    EXPECT_EQ(devpnl.colour, c.status ? c.colour : kBlue);
    EXPECT_EQ(app.ctx.form.YesBtn.enabled, c.yes);
    EXPECT_EQ(app.ctx.form.ProgressBar2.position, c.busy ? 60 : 0);
  }
}

TEST(Refresh, TwoBridgesAreListedWithTheirBusAndTheFirstDecides) {
  for (const bool supportedFirst : {true, false}) {
    SCOPED_TRACE(supportedFirst ? "QVS812 first" : "QVS814 first");
    EmulatedApp app;
    app.CarryVersion({'1', '2', '0', '3'});
    const auto first = supportedFirst ? Qvs812WithVersion(2, {'1', '2', '0', '1'}) : sim::FamilyConfig(16);
    const auto second = supportedFirst ? sim::FamilyConfig(16) : Qvs812WithVersion(2, {'1', '2', '0', '1'});
    app.AddBridge(first, sim::FlashPreset("WINBOND", 512), Bus::Usb);
    app.AddBridge(second, sim::FlashPreset("WINBOND", 512), Bus::Uasp);
    RefreshBtnClick(app.ctx);
    const auto& list = app.ctx.form.DeviceList;
    ASSERT_EQ(list.items.size(), 2u);
    EXPECT_EQ(list.items[0], "<<USB>> Qavion  SATA Bridge " + std::string(supportedFirst ? "812" : "814") + " ");
    EXPECT_EQ(list.items[1], "<<UASP>> Qavion  SATA Bridge " + std::string(supportedFirst ? "814" : "812") + " ");
    EXPECT_EQ(list.itemIndex, 0);
    EXPECT_TRUE(list.enabled);
    EXPECT_EQ(app.ctx.form.diskLabel.text, "UASP DISK");
    EXPECT_EQ(app.ctx.state.CurrentChipType, supportedFirst ? 15 : 16);
    EXPECT_EQ(app.ctx.form.YesBtn.enabled, supportedFirst);
    if (!supportedFirst) {
      EXPECT_EQ(app.ctx.form.devpnl.text, "Chip not support!!");
    }
    EXPECT_EQ(app.ctx.state.DeviceTable[0].Path.View(), app.machine.CurrentPath(0));
    EXPECT_EQ(app.ctx.state.DeviceTable[1].Path.View(), app.machine.CurrentPath(1));
  }
}

// "Chip not support!!" is the one readiness text a refresh still shows while an update runs.
TEST(Refresh, AnotherFamilyFirstIsNotSupportedEvenWhileAnUpdateRuns) {
  for (const bool busy : {false, true}) {
    SCOPED_TRACE(busy ? "busy" : "idle");
    EmulatedApp app;
    app.CarryVersion({'1', '2', '0', '3'});
    app.AddBridge(sim::FamilyConfig(16));
    app.ctx.state.UpdateBusy = busy ? 1 : 0;
    SetStatusLine(app.ctx, "Programming", kBlue);
    RefreshBtnClick(app.ctx);
    EXPECT_EQ(app.ctx.form.devpnl.text, "Chip not support!!");
    EXPECT_EQ(app.ctx.form.devpnl.colour, kRed);
    EXPECT_FALSE(app.ctx.form.YesBtn.enabled);
  }
}

TEST(Refresh, NoDeviceAndNoKnownChip) {
  {
    EmulatedApp app;
    app.AddPlainDisk();
    app.ctx.form.ChipLabelEdit.text = "stale";
    app.ctx.form.UpdateBtn.enabled = true;
    RefreshBtnClick(app.ctx);
    const auto& f = app.ctx.form;
    EXPECT_EQ(f.DeviceList.items, std::vector<std::string>{"No available device!!!"});
    EXPECT_EQ(f.DeviceList.itemIndex, 0);
    EXPECT_FALSE(f.DeviceList.enabled);
    EXPECT_FALSE(f.UpdateBtn.enabled);
    EXPECT_EQ(f.ChipLabelEdit.text, "");
    EXPECT_FALSE(f.NVRAMCheck.visible);
    EXPECT_EQ(f.devpnl.text, "No device found!!");
    EXPECT_EQ(f.devpnl.colour, kRed);
    EXPECT_EQ(app.ctx.state.DeviceCount, 0);
  }
  {
    // Admitted by the vendor probe, but no route names its chip.
    EmulatedApp app;
    auto unknown = sim::FamilyConfig(15);
    unknown.inquiryChipId.clear();
    unknown.versionFromImage = false;
    unknown.bootCheck = false;
    unknown.chipInfo[8] = unknown.chipInfo[9] = unknown.chipInfo[10] = '9';
    app.AddBridge(unknown);
    RefreshBtnClick(app.ctx);
    const auto& f = app.ctx.form;
    EXPECT_EQ(f.DeviceList.items, std::vector<std::string>{""});
    EXPECT_TRUE(f.DeviceList.enabled);
    EXPECT_EQ(f.devpnl.text, "No device found!!");
    EXPECT_EQ(app.ctx.state.DeviceCount, 1);
  }
}

TEST(Refresh, AFailedInquiryKeepsTheDeviceUnderThePreviousName) {
  EmulatedApp app;
  app.AddBridge(sim::FamilyConfig(16));
  auto quiet = sim::FamilyConfig(28);
  quiet.inquiryChipId.clear();
  quiet.chipInfoSignature = false;
  quiet.modelText = "q826A000";  // identified by its model text alone
  const size_t second = app.AddBridge(quiet);
  app.FailAlways(second, {0x12});
  RefreshBtnClick(app.ctx);
  const auto& items = app.ctx.form.DeviceList.items;
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1], "<<USB>> Qavion  SATA Bridge 814 ");
}

TEST(Refresh, DriveLettersOfEachListedDevice) {
  EmulatedApp app;
  const size_t first = app.AddBridge(sim::FamilyConfig(16));
  const size_t second = app.AddBridge(sim::FamilyConfig(17));
  app.machine.SetVolumes(first, {{"G", "sim:vol:G", "", false, false},
                                 {"C", "sim:vol:C", "", true, false},
                                 {"E", "sim:vol:E", "", false, false},
                                 {"Z", "sim:vol:Z", "", false, true}});
  app.machine.SetVolumes(second, {{"H", "sim:vol:H", "", false, false}});
  RefreshBtnClick(app.ctx);
  EXPECT_EQ(app.ctx.state.DeviceTable[0].DriveLetters.View(), "EG");
  EXPECT_EQ(app.ctx.state.DeviceTable[1].DriveLetters.View(), "H");
  EXPECT_EQ(app.ctx.form.DiskLetterLable.text, "EG");
}

TEST(Refresh, MoreThan128SupportedDevices) {
  EmulatedApp app;
  for (int i = 0; i < 130; ++i) {
    auto c = sim::FamilyConfig(16);
    c.hasFlash = false;
    app.AddBridge(c);
  }
  RefreshBtnClick(app.ctx);
  EXPECT_EQ(app.MessageTexts(), std::vector<std::string>{"Warning: The tool only can show 128 disks."});
  ASSERT_EQ(app.shell.messages.size(), 1u);
  EXPECT_EQ(app.shell.messages[0].icon, MessageIcon::Warning);
  EXPECT_EQ(app.ctx.form.DeviceList.items.size(), 128u);
  EXPECT_EQ(app.ctx.state.DeviceCount, 130);
  EXPECT_EQ(app.ctx.state.DeviceTable[127].Path.View(), app.machine.CurrentPath(127));
}

TEST(Refresh, Qvb787WithoutRevisionIsToldOncePerIdentification) {
  EmulatedApp app;
  auto c = sim::FamilyConfig(8);
  c.chipInfo[11] = '7';
  app.AddBridge(c);
  RefreshBtnClick(app.ctx);
  // The refresh identifies the device once; the firmware-choice check of the same refresh takes
  // that identification as it stands.
  EXPECT_EQ(app.MessageTexts(), (std::vector<std::string>{"Error: Get chip information fail !"}));
  EXPECT_EQ(app.ctx.form.DeviceList.items.size(), 1u) << "the code 8 is still listed";
  EXPECT_EQ(app.shell.messages[0].icon, MessageIcon::Error);
  // Choosing the device again identifies it again, and tells again.
  UpdateBtnCheck(app.ctx);
  EXPECT_EQ(app.MessageTexts().size(), 2u);
}

TEST(DeviceChangeTimer, UnplugShowsNoDeviceAfter200Ms) {
  EmulatedApp app;
  app.AddBridge(sim::FamilyConfig(16));
  RefreshBtnClick(app.ctx);
  DeviceChangeTimer timer(app.ctx);
  app.machine.Drain();
  app.machine.Unplug(0);
  for (const auto e : app.machine.Drain()) timer.OnDeviceChange(e);
  EXPECT_EQ(timer.DueInMs(), 200u);
  app.clock.Sleep(199);
  EXPECT_FALSE(timer.Poll());
  app.clock.Sleep(1);
  EXPECT_TRUE(timer.Poll());
  EXPECT_EQ(app.ctx.form.DeviceList.items, std::vector<std::string>{"No available device!!!"});
  EXPECT_FALSE(timer.DueInMs()) << "one-shot";
  EXPECT_FALSE(timer.Poll());
}

TEST(DeviceChangeTimer, AQuickUnplugAndReplugRefreshesOnce1200MsAfterTheLastArrival) {
  EmulatedApp app;
  app.CarryVersion({'1', '2', '0', '3'});
  app.AddBridge(Qvs812WithVersion(2, {'1', '2', '0', '1'}));
  DeviceChangeTimer timer(app.ctx);
  app.machine.Drain();
  int refreshes = 0;
  auto step = [&](uint32_t ms) {
    for (uint32_t i = 0; i < ms; ++i) {
      app.clock.Sleep(1);
      refreshes += timer.Poll() ? 1 : 0;
    }
  };
  app.machine.Unplug(0);
  for (const auto e : app.machine.Drain()) timer.OnDeviceChange(e);
  step(150);
  app.machine.Plug(0);
  const auto arrivals = app.machine.Drain();
  ASSERT_FALSE(arrivals.empty());
  for (const auto e : arrivals) timer.OnDeviceChange(e);
  EXPECT_EQ(app.ctx.form.devpnl.text, "Click Update firmware button to proceed.");
  EXPECT_EQ(app.ctx.form.devpnl.colour, kBlue);
  step(1199);
  EXPECT_EQ(refreshes, 0) << "the removal's 200 ms were restarted by the arrival";
  step(1);
  EXPECT_EQ(refreshes, 1);
  step(3000);
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(app.ctx.form.DeviceList.items.size(), 1u);
  EXPECT_TRUE(app.ctx.form.YesBtn.enabled);
  EXPECT_EQ(app.ctx.form.devpnl.text, "Click Update firmware button to proceed.") << "the arrival's text stays";
  EXPECT_GE(app.shell.pumps, 1) << "events are pumped before the refresh";
}

TEST(DeviceChangeTimer, AnArrivalDuringAnUpdateLeavesTheStatusLineAlone) {
  EmulatedApp app;
  DeviceChangeTimer timer(app.ctx);
  app.ctx.state.UpdateBusy = 1;
  SetStatusLine(app.ctx, "Updating", kBlue);
  timer.OnDeviceChange(platform::DeviceEvent::Arrival);
  EXPECT_EQ(app.ctx.form.devpnl.text, "Updating");
  EXPECT_EQ(timer.DueInMs(), 1200u);
}

}  // namespace
}  // namespace qvfw::app
