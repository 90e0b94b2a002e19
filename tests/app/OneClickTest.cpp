// The one-click update end to end against the emulated machine: the identity it keeps, the new
// flash content, the wait for the restarted bridge, and what every failure leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>

#include "support/AppRig.h"
#include "app/DeviceList.h"
#include "app/FirmwareChoice.h"
#include "app/ExchangeFile.h"
#include "app/OneClick.h"
#include "codec/ImageCodec.h"
#include "sim/Machine.h"

namespace qvfw::app {
namespace {

using testing::AppRig;
using testing::OneBridge;
using V = std::vector<uint8_t>;

constexpr const char* kPass = "Update    Pass!!";
constexpr const char* kFail = "Update    Fail!!";

uint32_t Be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

V FlashOf(AppRig& rig, std::string_view name = "bridge0") { return rig.BridgeOf(name).flash()->data(); }

// The identity write the flow sent: CDB C3 30 00 00 vidH vidL pidH pidL 00 48 with its record.
const testing::TappedRequest* IdentityWrite(const AppRig& rig) {
  for (const auto& r : rig.tap.requests)
    if (r.StartsWith({0xC3, 0x30})) return &r;
  return nullptr;
}
const testing::TappedRequest* PowerConditionWrite(const AppRig& rig) {
  for (const auto& r : rig.tap.requests)
    if (r.StartsWith({0x55, 0x01})) return &r;
  return nullptr;
}

TEST(OneClickUpdate, DefaultBridgeTakesTheCarriedImageAndKeepsItsIdentity) {
  AppRig rig(sim::PresetScenarioJson("default"));
  rig.Start();
  ASSERT_TRUE(rig.ctx.form.YesBtn.enabled) << rig.ctx.form.devpnl.text;
  const V before = FlashOf(rig);
  rig.shell.notices.clear();
  rig.shell.progress.clear();

  YesBtnClick(rig.ctx);

  const auto lines = rig.StatusLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Updating firmware. Please wait...");
  EXPECT_EQ(rig.ctx.form.devpnl.text, kPass);
  EXPECT_EQ(rig.ctx.form.devpnl.colour, kGreen);
  EXPECT_EQ(rig.Progress(), (std::vector<int>{0, 30, 60, 100}));
  EXPECT_EQ(rig.ctx.state.UpdateBusy, 0);
  EXPECT_TRUE(rig.ctx.form.ExitBtn.enabled);
  EXPECT_FALSE(rig.ctx.form.YesBtn.enabled);

  // The carried image with the device's own configuration area and valid check values.
  const V after = FlashOf(rig);
  V carried(0x40000);
  ASSERT_EQ(LoadUpdateImage(app::EmbeddedImageStore{}, carried, 0, 0), carried.size());
  // The area's last word is where the check value over 0x400..0x7FB goes.
  EXPECT_TRUE(std::equal(after.begin() + 0x600, after.begin() + 0x7FC, before.begin() + 0x600));
  EXPECT_TRUE(std::equal(after.begin() + 0x800, after.begin() + 0x1FFFC, carried.begin() + 0x800));
  EXPECT_EQ(Be32(&after[0x7FC]), codec::ImageCrc({after.data() + 0x400, 0x3FC}));
  EXPECT_EQ(Be32(&after[0x1FFFC]), codec::ImageCrc({after.data(), 0x1FFFC}));

  // The record now holds the path the bridge came back under; the saved identity stays in the
  // exchange file until the window closes.
  EXPECT_EQ(rig.ctx.state.DeviceTable[0].Path.View(), rig.machine.CurrentPath(rig.Disk()));
  const auto saved = ReadExchangeFile(rig.dir.path());
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->Vid(), 0x284D);
  EXPECT_EQ(saved->Pid(), 0x0812);
  EXPECT_EQ(saved->Serial(), "QV812A0001234");
  EXPECT_TRUE(std::equal(saved->bytes.begin(), saved->bytes.begin() + 512, before.begin() + 0x600));

  RefreshBtnClick(rig.ctx);
  EXPECT_EQ(rig.ctx.form.devpnl.text, "Firmware already updated.");
  EXPECT_FALSE(rig.ctx.form.YesBtn.enabled);
  CloseMainWindow(rig.ctx);
  EXPECT_FALSE(std::filesystem::exists(rig.ExchangeFile()));
}

TEST(OneClickUpdate, IdentityAndStandbyTimerAreWrittenBackByTheirRules) {
  struct Case {
    const char* name;
    std::string extra;
    uint16_t vid, pid;     // sent with the identity write and expected after the restart
    std::string serial;    // record bytes 52..71
    bool standby;          // the restored power condition page
    uint32_t timer;
  };
  const Case cases[] = {
      {"vendor 0x1058", R"("usb": { "vid": "0x1058", "pid": "0x1234" })", 0x284D, 0x0814, "QV0000000001        ", true, 3000},
      {"exact ids", R"("usb": { "vid": "0x1234", "pid": "0x0A05" })", 0x1234, 0x0A05, "QV0000000001        ", true, 3000},
      {"long serial", R"("serial": "ABCDEFGHIJKLMNOPQRSTUVWXY")", 0x284D, 0x0812, "ABCDEFGHIJKLMNOPQRST", true, 3000},
      {"short serial", R"("serial": "AB123")", 0x284D, 0x0812, "AB123               ", true, 3000},
      {"under a minute", R"("standby": true, "standbyTimer": 500)", 0x284D, 0x0812, "QV0000000001        ", false, 0},
      {"standby off", R"("standby": false, "standbyTimer": 3000)", 0x284D, 0x0812, "QV0000000001        ", false, 0},
      {"odd minutes", R"("standby": true, "standbyTimer": 4321)", 0x284D, 0x0812, "QV0000000001        ", true, 4200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AppRig rig(OneBridge(c.extra));
    rig.Start();
    ASSERT_TRUE(rig.ctx.form.YesBtn.enabled) << rig.ctx.form.devpnl.text;
    YesBtnClick(rig.ctx);
    EXPECT_EQ(rig.ctx.form.devpnl.text, kPass);

    const auto* id = IdentityWrite(rig);
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(id->cdb[4] << 8 | id->cdb[5], c.vid);
    EXPECT_EQ(id->cdb[6] << 8 | id->cdb[7], c.pid);
    ASSERT_EQ(id->dataOut.size(), 72u);
    EXPECT_EQ(id->dataOut[0], 0x42);
    EXPECT_TRUE(std::all_of(id->dataOut.begin() + 1, id->dataOut.begin() + 52, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(std::string(id->dataOut.begin() + 52, id->dataOut.end()), c.serial);
    EXPECT_EQ(rig.ctx.state.ExpectedVid, c.vid);
    EXPECT_EQ(rig.ctx.state.ExpectedPid, c.pid);

    const sim::BridgeConfig& now = rig.BridgeOf().config();
    EXPECT_EQ(now.vid, c.vid);
    EXPECT_EQ(now.pid, c.pid);
    EXPECT_EQ(now.standby, c.standby);
    EXPECT_EQ(now.standbyTimer, c.timer);
    // The power condition goes to the device under the path it came back with.
    const auto* power = PowerConditionWrite(rig);
    ASSERT_NE(power, nullptr);
    EXPECT_EQ(power->path, rig.machine.CurrentPath(rig.Disk()));
  }
}

TEST(OneClickUpdate, UnreadableIdPageSavesZeroIdsAndSkipsTheFinalCheck) {
  AppRig rig(OneBridge(R"("faults": [ { "kind": "fail", "cdbPrefix": "12 01 C3", "times": 0 } ])"));
  rig.Start();
  ASSERT_TRUE(rig.ctx.form.YesBtn.enabled) << rig.ctx.form.devpnl.text;
  YesBtnClick(rig.ctx);
  EXPECT_EQ(rig.ctx.form.devpnl.text, kPass);
  const auto* id = IdentityWrite(rig);
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(V(id->cdb.begin() + 4, id->cdb.begin() + 8), V(4, 0));
  EXPECT_EQ(ReadExchangeFile(rig.dir.path())->Vid(), 0);
  EXPECT_EQ(rig.BridgeOf().config().vid, 0);
}

TEST(OneClickUpdate, ExchangeFileNeverWritesThroughWhatIsPlantedAtItsName) {
  enum class Planted { Symlink, HardLink, Directory };
  for (const Planted planted : {Planted::Symlink, Planted::HardLink, Planted::Directory}) {
    SCOPED_TRACE(static_cast<int>(planted));
    AppRig rig(sim::PresetScenarioJson("default"));
    const auto victim = rig.dir.Write("victim", std::string(4096, 'v'));
    if (planted == Planted::Symlink) std::filesystem::create_symlink(victim, rig.ExchangeFile());
    if (planted == Planted::HardLink) std::filesystem::create_hard_link(victim, rig.ExchangeFile());
    if (planted == Planted::Directory) std::filesystem::create_directory(rig.ExchangeFile());
    rig.Start();
    YesBtnClick(rig.ctx);
    std::ifstream in(victim, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), std::string(4096, 'v'));
    if (planted == Planted::Directory) {
      // Nothing to keep the identity in: the run stops before the flash is touched.
      EXPECT_EQ(rig.ctx.form.devpnl.text, kFail);
      EXPECT_EQ(rig.tap.Count({0x3B}) + rig.tap.Count({0xDF}), 0u);
      continue;
    }
    EXPECT_EQ(rig.ctx.form.devpnl.text, kPass);
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(rig.ExchangeFile())));
    EXPECT_EQ(ReadExchangeFile(rig.dir.path())->Serial(), "QV812A0001234");
    CloseMainWindow(rig.ctx);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(rig.ExchangeFile())));
    EXPECT_TRUE(std::filesystem::exists(victim));
  }
}

// The exchange file cannot be written in a folder whose path leaves no room for the name the new
// file is first created under; an older file of an earlier run stands at the final name.
TEST(OneClickUpdate, UnwritableExchangeFileIsNeverReplacedByAnOlderOne) {
  AppRig rig(sim::PresetScenarioJson("default"));
  constexpr size_t kLength = 4074;  // the file's name still fits PATH_MAX, a longer one does not
  std::filesystem::path deep = rig.dir.path();
  while (kLength - deep.native().size() > 250) deep /= std::string(200, 'd');
  deep /= std::string(kLength - deep.native().size() - 1, 'e');
  ASSERT_EQ(deep.native().size(), kLength);
  std::filesystem::create_directories(deep);

  ExchangeBlock earlier;
  earlier.bytes[512] = 0x12, earlier.bytes[513] = 0x34, earlier.bytes[514] = 0x0A, earlier.bytes[515] = 0x05;
  std::memcpy(earlier.bytes.data() + 516, "ANOTHERDEVICE", 13);
  std::array<uint8_t, 4096> scrambled{};
  codec::ScrambleBlock(earlier.bytes.data(), scrambled.data(), scrambled.size());
  std::ofstream(deep / "ExChangeData.tmp", std::ios::binary)
      .write(reinterpret_cast<const char*>(scrambled.data()), static_cast<std::streamsize>(scrambled.size()));
  ASSERT_TRUE(ReadExchangeFile(deep));
  ASSERT_GE((deep / "ExChangeData.tmp.00000000").native().size(), size_t{PATH_MAX});

  rig.Start();
  rig.ctx.workingDirectory = deep;
  const V before = FlashOf(rig);
  YesBtnClick(rig.ctx);
  EXPECT_EQ(rig.ctx.form.devpnl.text, kFail);
  EXPECT_EQ(IdentityWrite(rig), nullptr) << "another device's identity was written";
  EXPECT_EQ(rig.tap.Count({0x3B}), 0u);
  EXPECT_EQ(FlashOf(rig), before);
  EXPECT_FALSE(std::filesystem::exists(deep / "ExChangeData.tmp"));
}

TEST(OneClickUpdate, OtherChipTypeTouchesNoDevice) {
  AppRig rig(sim::PresetScenarioJson("default"));
  rig.Start();
  rig.ctx.state.CurrentChipType = 16;
  const size_t sent = rig.tap.requests.size();
  YesBtnClick(rig.ctx);
  EXPECT_EQ(rig.ctx.form.devpnl.text, "Chip not support!!");
  EXPECT_EQ(rig.ctx.form.devpnl.colour, kRed);
  EXPECT_EQ(rig.tap.requests.size(), sent);
  EXPECT_EQ(rig.ctx.state.UpdateBusy, 0);
  EXPECT_TRUE(rig.ctx.form.ExitBtn.enabled);
  EXPECT_FALSE(std::filesystem::exists(rig.ExchangeFile()));
}

TEST(OneClickUpdate, ImageLargerThanTheFlashFailsBeforeAnythingIsWritten) {
  AppRig rig(OneBridge({}, R"({ "part": "MXIC", "sizeKiB": 128 })"));
  rig.Start();
  ASSERT_TRUE(rig.ctx.form.YesBtn.enabled) << rig.ctx.form.devpnl.text;
  ASSERT_EQ(rig.ctx.state.FlashSizeKiB, 128);
  const V before = FlashOf(rig);
  YesBtnClick(rig.ctx);
  EXPECT_EQ(rig.ctx.form.devpnl.text, kFail);
  EXPECT_EQ(rig.tap.Count({0x3B}) + rig.tap.Count({0xDF}) + rig.tap.Count({0xC3}) + rig.tap.Count({0x55}), 0u);
  EXPECT_EQ(FlashOf(rig), before);
}

TEST(OneClickUpdate, ImageLongerThanTheStagingAreaIsProgrammedWhole) {
  // 600 KiB: the carried image's first 256 KiB, then a pattern that must reach the flash too.
  V image(600 * 1024);
  V carried(0x40000);
  ASSERT_EQ(LoadUpdateImage(EmbeddedImageStore(), carried, 0, 0), carried.size());
  std::copy(carried.begin(), carried.end(), image.begin());
  for (size_t i = carried.size(); i < image.size(); ++i) image[i] = static_cast<uint8_t>(i % 251 + 1);
  MemoryImageStore images;
  images.Put(std::string(kUpdateImageName), image);
  AppRig rig(OneBridge(R"("bufferCapacity": 1048576)", R"({ "part": "MXIC", "sizeKiB": 1024 })"), &images);
  rig.Start();
  ASSERT_TRUE(rig.ctx.form.YesBtn.enabled) << rig.ctx.form.devpnl.text;
  ASSERT_EQ(rig.ctx.state.FlashSizeKiB, 1024);
  YesBtnClick(rig.ctx);
  EXPECT_EQ(rig.ctx.form.devpnl.text, kPass);
  const V flash = FlashOf(rig);
  EXPECT_TRUE(std::equal(image.begin() + 0x80000, image.end(), flash.begin() + 0x80000));
  EXPECT_TRUE(std::all_of(flash.begin() + static_cast<std::ptrdiff_t>(image.size()), flash.end(),
                          [](uint8_t b) { return b == 0; }));
}

// Cuts the cable of `disk` while it restarts, before it is back on the bus.
void UnplugDuringTheWait(AppRig& rig, size_t disk) {
  rig.tap.after = [&rig, disk](const testing::TappedRequest& r) {
    if (r.StartsWith({0xFF, 0x04, 0x26})) rig.machine.Unplug(disk);
  };
}

TEST(OneClickUpdate, WaitForTheRestartedBridge) {
  struct Case {
    const char* name;
    std::string scenario;
    bool removed;       // the updated bridge is pulled during the wait
    bool passes;
    bool allRounds;     // the wait ran its 60 rounds
  };
  const Case cases[] = {
      {"alone", OneBridge(), false, true, false},
      {"alone, removed", OneBridge(), true, false, true},
      {"beside a second bridge", sim::PresetScenarioJson("two-bridges"), false, true, false},
      {"beside a second bridge, removed", sim::PresetScenarioJson("two-bridges"), true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AppRig rig(c.scenario);
    rig.Start();
    ASSERT_TRUE(rig.ctx.form.YesBtn.enabled) << rig.ctx.form.devpnl.text;
    const std::string oldPath(rig.ctx.state.DeviceTable[0].Path.View());
    uint64_t resetAt = 0;
    rig.tap.before = [&](const testing::TappedRequest& r) {
      if (r.StartsWith({0xFF, 0x04, 0x26})) resetAt = rig.clock.NowMs();
    };
    if (c.removed) UnplugDuringTheWait(rig, rig.Disk());
    YesBtnClick(rig.ctx);
    EXPECT_EQ(rig.ctx.form.devpnl.text, c.passes ? kPass : kFail);
    ASSERT_NE(resetAt, 0u);
    // 2000 ms after the restart, then 500 ms per round, then the 1000 ms the result is shown.
    const uint64_t waited = rig.clock.NowMs() - resetAt;
    if (c.allRounds)
      EXPECT_GE(waited, 2000u + 60 * 500 + 1000);
    else
      EXPECT_LT(waited, 2000u + 10 * 500 + 1000 + 1000);
    if (c.passes) {
      EXPECT_EQ(rig.ctx.state.DeviceTable[0].Path.View(), rig.machine.CurrentPath(rig.Disk()));
      EXPECT_NE(rig.ctx.state.DeviceTable[0].Path.View(), oldPath);
    } else {
      // No other device's path is taken for it, and no id check or timer write went anywhere.
      EXPECT_EQ(rig.ctx.state.DeviceTable[0].Path.View(), oldPath);
      EXPECT_EQ(PowerConditionWrite(rig), nullptr);
    }
    if (auto second = rig.machine.FindDisk("bridge1")) {
      const std::string secondPath = rig.machine.CurrentPath(*second);
      for (const auto& r : rig.tap.requests)
        if (r.path == secondPath) {
          EXPECT_FALSE(r.StartsWith({0x3B}) || r.StartsWith({0xC3}) || r.StartsWith({0x55}));
        }
    }
  }
}

TEST(OneClickUpdate, SerialNumberTellsTheUpdatedBridgeAmongNewArrivals) {
  // A second bridge of the same family arrives while the first restarts.
  const std::string scenario = R"({ "disks": [
    { "name": "bridge0", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 }, "serial": "QV812A0001234" },
    { "name": "bridge2", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 }, "serial": "QV812B0009999" } ] })";
  for (const bool sameSerial : {false, true}) {
    SCOPED_TRACE(sameSerial ? "both report the saved serial" : "distinct serials");
    AppRig rig(sameSerial ? [&] {
      std::string s = scenario;
      s.replace(s.find("QV812B0009999"), 13, "QV812A0001234");
      return s;
    }()
                               : scenario);
    const size_t late = rig.Disk("bridge2");
    rig.machine.Unplug(late);
    rig.Start();
    ASSERT_TRUE(rig.ctx.form.YesBtn.enabled) << rig.ctx.form.devpnl.text;
    rig.tap.before = [&](const testing::TappedRequest& r) {
      if (r.StartsWith({0xFF, 0x04, 0x26})) rig.machine.Plug(late);
    };
    YesBtnClick(rig.ctx);
    if (sameSerial) {
      // Nothing tells the two apart: the run does not guess.
      EXPECT_EQ(rig.ctx.form.devpnl.text, kFail);
    } else {
      EXPECT_EQ(rig.ctx.form.devpnl.text, kPass);
      EXPECT_EQ(rig.ctx.state.DeviceTable[0].Path.View(), rig.machine.CurrentPath(rig.Disk()));
    }
    EXPECT_NE(rig.ctx.state.DeviceTable[0].Path.View(), rig.machine.CurrentPath(late));
  }
}

// The window refreshes its list when the restarted bridge leaves and returns, in the middle of
// the update. The update still checks and configures the bridge it updated, and the table keeps
// matching the list the refresh made.
TEST(OneClickUpdate, RefreshDuringTheWaitDoesNotRedirectTheUpdate) {
  const std::string scenario = R"({ "disks": [
    { "name": "bridge0", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 }, "serial": "QV812A0001234" },
    { "name": "bridge2", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 }, "serial": "QV812B0009999" } ] })";
  struct Case {
    const char* name;
    int item;          // the list item updated
    bool whileAway;    // the refresh runs while the bridge is off the bus (else once it is back)
  };
  for (const Case c : {Case{"first, refreshed while away", 0, true}, Case{"first, refreshed when back", 0, false},
                       Case{"second, refreshed while away", 1, true}, Case{"second, refreshed when back", 1, false}}) {
    SCOPED_TRACE(c.name);
    AppRig rig(scenario);
    rig.Start();
    if (c.item != 0) {
      rig.ctx.form.DeviceList.Select(c.item);
      UpdateBtnCheck(rig.ctx);
      TellReadiness(rig.ctx);
    }
    ASSERT_TRUE(rig.ctx.form.YesBtn.enabled) << rig.ctx.form.devpnl.text;
    const char* updated = c.item == 0 ? "bridge0" : "bridge2";
    const char* other = c.item == 0 ? "bridge2" : "bridge0";
    bool restarted = false, refreshed = false;
    rig.tap.after = [&](const testing::TappedRequest& r) {
      if (!r.StartsWith({0xFF, 0x04, 0x26})) return;
      restarted = true;
      if (c.whileAway) {
        refreshed = true;
        RefreshBtnClick(rig.ctx);
      }
    };
    rig.shell.onPump = [&] {
      if (restarted && !refreshed) {
        refreshed = true;
        RefreshBtnClick(rig.ctx);
      }
    };
    const std::string otherPath = rig.machine.CurrentPath(rig.Disk(other));
    YesBtnClick(rig.ctx);
    ASSERT_TRUE(refreshed);
    EXPECT_EQ(rig.ctx.form.devpnl.text, kPass);
    const auto* power = PowerConditionWrite(rig);
    ASSERT_NE(power, nullptr);
    EXPECT_EQ(power->path, rig.machine.CurrentPath(rig.Disk(updated)));
    for (const auto& r : rig.tap.requests) {
      if (r.path == otherPath) {
        EXPECT_FALSE(r.StartsWith({0x3B}) || r.StartsWith({0xC3}) || r.StartsWith({0x55}));
      }
    }
    // Each listed record still holds the path of the bridge its list item names.
    const size_t listed = rig.ctx.form.DeviceList.items.size();
    for (size_t k = 0; k < listed; ++k) {
      const std::string item = rig.ctx.form.DeviceList.items[k];
      const std::string path(rig.ctx.state.DeviceTable[k].Path.View());
      EXPECT_TRUE(path == rig.machine.CurrentPath(rig.Disk("bridge0")) ||
                  path == rig.machine.CurrentPath(rig.Disk("bridge2")))
          << k << ": " << path;
    }
    if (c.whileAway) {
      // Only the other bridge was listed by that refresh.
      ASSERT_EQ(listed, 1u);
      EXPECT_EQ(rig.ctx.state.DeviceTable[0].Path.View(), otherPath);
    }
  }
}

TEST(OneClickFaults, UnplugAtEveryCommandOfTheFlowNeverPasses) {
  uint64_t first = 0, count = 0;
  V config;
  {
    AppRig rig(sim::PresetScenarioJson("default"));
    rig.Start();
    first = rig.machine.CommandCount(rig.Disk());
    const V flash = FlashOf(rig);
    config = V(flash.begin() + 0x600, flash.begin() + 0x800);
    YesBtnClick(rig.ctx);
    ASSERT_EQ(rig.ctx.form.devpnl.text, kPass);
    count = rig.machine.CommandCount(rig.Disk()) - first;
  }
  ASSERT_GT(count, 100u);
  for (uint64_t i = 0; i < count; ++i) {
    SCOPED_TRACE("unplugged at command " + std::to_string(i) + " of " + std::to_string(count));
    AppRig rig(sim::PresetScenarioJson("default"));
    rig.Start();
    ASSERT_EQ(rig.machine.CommandCount(rig.Disk()), first);
    sim::Fault unplug;
    unplug.kind = sim::Fault::Kind::Unplug;
    unplug.atCommand = first + i;
    rig.machine.AddFault(rig.Disk(), unplug);
    YesBtnClick(rig.ctx);
    EXPECT_EQ(rig.ctx.form.devpnl.text, kFail);
    EXPECT_EQ(rig.ctx.form.devpnl.colour, kRed);
    EXPECT_EQ(rig.ctx.state.UpdateBusy, 0);
    EXPECT_TRUE(rig.ctx.form.ExitBtn.enabled);
    const auto saved = ReadExchangeFile(rig.dir.path());
    if (i == 0) {
      EXPECT_FALSE(saved) << "nothing was read, nothing is saved";
      continue;
    }
    ASSERT_TRUE(saved);
    EXPECT_TRUE(std::equal(config.begin(), config.end(), saved->bytes.begin())) << "the configuration area as read";
    if (i >= 3) {  // the id and serial pages were read before the cable went
      EXPECT_EQ(saved->Vid(), 0x284D);
      EXPECT_EQ(saved->Pid(), 0x0812);
      EXPECT_EQ(saved->Serial(), "QV812A0001234");
    }
  }
}

TEST(OneClickFaults, ReadBackCompareCoversTheFirstBankButTheHeaderArea) {
  struct Case {
    uint32_t address;
    bool passes;
  };
  for (const Case c : {Case{0x0000, false}, Case{0x1FF, false}, Case{0x200, true}, Case{0x3FF, true}, Case{0x400, false},
                       Case{0x700, false}, Case{0x1FFFF, false}, Case{0x20000, true}}) {
    SCOPED_TRACE(c.address);
    AppRig rig(sim::PresetScenarioJson("default"));
    rig.Start();
    sim::Fault flip;
    flip.kind = sim::Fault::Kind::FlipBits;
    flip.address = c.address;
    flip.mask = 0x10;
    flip.times = 0;
    rig.machine.AddFault(rig.Disk(), flip);
    YesBtnClick(rig.ctx);
    EXPECT_EQ(rig.ctx.form.devpnl.text, c.passes ? kPass : kFail);
    EXPECT_EQ(IdentityWrite(rig) != nullptr, c.passes) << "the identity is written only after a good compare";
    if (!c.passes) {
      EXPECT_EQ(rig.Progress().back(), 60);
    }
  }
}

TEST(OneClickFaults, RefusedIdentityWriteFails) {
  AppRig rig(OneBridge(R"("faults": [ { "kind": "fail", "cdbPrefix": "C3 30", "times": 1 } ])"));
  rig.Start();
  YesBtnClick(rig.ctx);
  EXPECT_EQ(rig.ctx.form.devpnl.text, kFail);
  EXPECT_EQ(rig.ctx.state.ExpectedVid, 0);
  EXPECT_EQ(rig.ctx.state.ExpectedPid, 0);
  EXPECT_EQ(rig.tap.Count({0xFF, 0x04, 0x26}), 0u) << "no restart after a failed identity write";
  EXPECT_EQ(rig.Progress().back(), 60);
}

}  // namespace
}  // namespace qvfw::app
