// The one-click update end to end against the emulated machine: the identity it keeps, the new
// flash content, the wait for the restarted bridge, and what every failure leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "support/AppRig.h"
#include "app/DeviceList.h"
#include "app/FirmwareChoice.h"
#include "app/ExchangeFile.h"
#include "app/KeptIdentity.h"
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
  const auto saved = ReadExchangeBlock(rig.ExchangeFile());
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
    bool force = false;    // a serial longer than the record carries is written cut only on purpose
  };
  const Case cases[] = {
      {"vendor 0x1058", R"("usb": { "vid": "0x1058", "pid": "0x1234" })", 0x284D, 0x0814, "QV0000000001        ", true, 3000},
      {"exact ids", R"("usb": { "vid": "0x1234", "pid": "0x0A05" })", 0x1234, 0x0A05, "QV0000000001        ", true, 3000},
      {"long serial, forced", R"("serial": "ABCDEFGHIJKLMNOPQRSTUVWXY")", 0x284D, 0x0812, "ABCDEFGHIJKLMNOPQRST", true, 3000,
       true},
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
    if (c.force) {
      RunOneClick(rig.ctx, 0, OneClickOptions{true});
    } else {
      YesBtnClick(rig.ctx);
    }
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

// Injected faults over the whole flow: a pass only where the bridge runs the carried firmware
// with its own identity; a failure before any write leaves the bridge untouched; a failure after
// one leaves the identity kept in the state directory.
TEST(OneClickFaults, NoFalsePassAndTheIdentityIsNeverLost) {
  struct Case {
    const char* name;
    std::string extra;  // scenario fields of the bridge
    bool passes;
    bool written;       // anything sent that changes the bridge
    std::string says;   // in the outcome's reason
  };
  const Case cases[] = {
      {"clean", "", true, true, ""},
      {"bridge without a serial number", R"("serial": "")", true, true, ""},
      {"id page refused", R"("faults": [ { "kind": "fail", "cdbPrefix": "12 01 C3", "times": 0 } ])", false, false,
       "could not read the bridge's USB ids"},
      {"serial page refused", R"("faults": [ { "kind": "fail", "cdbPrefix": "12 01 80", "times": 0 } ])", false, false,
       "could not read the bridge's serial number"},
      {"configuration refused", R"("faults": [ { "kind": "fail", "cdbPrefix": "3C 01 01", "times": 0 } ])", false,
       false, "configuration area"},
      {"restart refused", R"("faults": [ { "kind": "fail", "cdbPrefix": "FF 04 26", "times": 0 } ])", false, true,
       "refused the restart"},
      // The bridge restarts; only its answer was lost on the way.
      {"restart answered with a transport error", R"("faults": [ { "kind": "transportError", "cdbPrefix": "FF 04 26" } ])",
       true, true, ""},
      {"write buffer refused", R"("faults": [ { "kind": "fail", "cdbPrefix": "3B 0E", "times": 1 } ])", false, true,
       "programming the carried image failed"},
      {"identity write refused", R"("faults": [ { "kind": "fail", "cdbPrefix": "C3 30", "times": 1 } ])", false, true,
       "writing the identity back failed"},
      {"standby timer refused", R"("faults": [ { "kind": "fail", "cdbPrefix": "55 01", "times": 1 } ])", false, true,
       "standby timer"},
      {"unplugged for good after the restart", R"("faults": [ { "kind": "unplug", "cdbPrefix": "FF 04 26" } ])", false,
       true, "did not come back"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AppRig rig(OneBridge(c.extra));
    rig.Start();
    ASSERT_TRUE(rig.ctx.form.YesBtn.enabled) << rig.ctx.form.devpnl.text;
    const sim::Bridge& bridge = rig.BridgeOf();
    const uint16_t vid = bridge.NextVid(), pid = bridge.NextPid();
    const std::string serial = bridge.NextSerial();
    const Outcome o = YesBtnClick(rig.ctx);
    EXPECT_EQ(o.code == OutcomeCode::Success, c.passes) << o.reason;
    EXPECT_EQ(rig.ctx.form.devpnl.text, c.passes ? kPass : kFail);
    EXPECT_NE(o.reason.find(c.says), std::string::npos) << o.reason;
    const size_t writes = rig.tap.Count({0x3B}) + rig.tap.Count({0xC3}) + rig.tap.Count({0xDF, 0x03});
    EXPECT_EQ(writes > 0, c.written);
    // The identity: on the bridge, or kept where `recover` finds it.
    const auto kept = ReadIdentityFile(KeptIdentityPath(rig.ctx, serial, rig.ctx.state.DeviceTable[0].Path.View())).block;
    if (c.passes) {
      EXPECT_FALSE(kept) << "a passing update removes the kept identity";
      EXPECT_EQ(bridge.RunningVersion(), (std::array<uint8_t, 4>{'1', '2', '0', '3'}));
    } else if (c.written) {
      ASSERT_TRUE(kept);
      EXPECT_EQ(kept->Vid(), vid);
      EXPECT_EQ(kept->Pid(), pid);
      EXPECT_EQ(kept->Serial(), serial);
      EXPECT_NE(o.reason.find("identity is kept in"), std::string::npos) << o.reason;
    } else {
      EXPECT_FALSE(kept) << "nothing written, nothing to keep";
    }
    EXPECT_EQ(bridge.NextVid(), vid);
    EXPECT_EQ(bridge.NextPid(), pid);
    EXPECT_EQ(bridge.NextSerial(), serial);
  }
}

// Whatever stands at the exchange file's name is not the run's: nothing is written through it,
// it is not read, and it is still there after the window closed; the run keeps its exchange data
// under a name of its own, and removes that.
TEST(OneClickUpdate, ExchangeFileNeverWritesThroughWhatIsPlantedAtItsName) {
  enum class Planted { Symlink, HardLink, Directory };
  std::string noSymlinks;
  for (const Planted planted : {Planted::Symlink, Planted::HardLink, Planted::Directory}) {
    SCOPED_TRACE(static_cast<int>(planted));
    AppRig rig(sim::PresetScenarioJson("default"));
    const auto victim = rig.dir.Write("victim", std::string(4096, 'v'));
    if (planted == Planted::Symlink) {
      std::error_code ec;
      std::filesystem::create_symlink(victim, rig.ExchangeFile(), ec);
      // Symbolic links need a privilege on the window platform (and wine has none): the other
      // cases still run.
      if (ec) {
        noSymlinks = ec.message();
        continue;
      }
    }
    if (planted == Planted::HardLink) std::filesystem::create_hard_link(victim, rig.ExchangeFile());
    if (planted == Planted::Directory) std::filesystem::create_directory(rig.ExchangeFile());
    const auto status = std::filesystem::symlink_status(rig.ExchangeFile()).type();
    rig.Start();
    const Outcome o = YesBtnClick(rig.ctx);
    EXPECT_EQ(rig.ctx.form.devpnl.text, kPass) << o.reason;
    EXPECT_EQ(rig.BridgeOf().NextSerial(), "QV812A0001234");
    std::ifstream in(victim, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), std::string(4096, 'v'));
    CloseMainWindow(rig.ctx);
    EXPECT_EQ(std::filesystem::symlink_status(rig.ExchangeFile()).type(), status) << "left where it stood";
    size_t exchangeFiles = 0;
    for (const auto& e : std::filesystem::directory_iterator(rig.dir.path()))
      exchangeFiles += e.path().filename().string().rfind("ExChangeData", 0) == 0 ? 1 : 0;
    EXPECT_EQ(exchangeFiles, 1u) << "the run removed its own file";
  }
  if (!noSymlinks.empty()) GTEST_SKIP() << "no symbolic links here (the other cases ran): " << noSymlinks;
}

// The exchange file cannot be made in a folder whose path leaves no room for the name the new
// file is first created under, where an older file of an earlier run stands at the final name:
// the run keeps its exchange data in the state folder instead, and never takes the older file
// for its own.
TEST(OneClickUpdate, UnwritableExchangeFileIsNeverReplacedByAnOlderOne) {
#if defined(_WIN32)
  GTEST_SKIP() << "the window platform refuses to create a folder this deep (a path of 4074 characters)";
#endif
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
  ASSERT_TRUE(ReadExchangeBlock(deep / "ExChangeData.tmp"));
  ASSERT_GE((deep / "ExChangeData.tmp.00000000").native().size(), size_t{PATH_MAX});

  rig.Start();
  rig.ctx.workingDirectory = deep;
  const Outcome o = YesBtnClick(rig.ctx);
  EXPECT_EQ(rig.ctx.form.devpnl.text, kPass) << o.reason;
  const auto* identity = IdentityWrite(rig);
  ASSERT_NE(identity, nullptr);
  EXPECT_EQ(std::string(identity->dataOut.begin() + 52, identity->dataOut.begin() + 65), "QV812A0001234");
  EXPECT_EQ(rig.BridgeOf().NextVid(), 0x284D);
  EXPECT_EQ(ReadExchangeBlock(deep / "ExChangeData.tmp")->Serial(), "ANOTHERDEVICE") << "the older file stays";
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
    // The newcomer arrives first; the updated bridge is the one that runs what was programmed,
    // also when both report the same serial number.
    EXPECT_EQ(rig.ctx.form.devpnl.text, kPass);
    EXPECT_EQ(rig.ctx.state.DeviceTable[0].Path.View(), rig.machine.CurrentPath(rig.Disk()));
    EXPECT_NE(rig.ctx.state.DeviceTable[0].Path.View(), rig.machine.CurrentPath(late));
  }
}

// A bridge without a serial number beside a disk that answers as a bridge but is not listed (its
// chip is unknown): the disk is no candidate, so the lone bridge of the family is taken.
TEST(OneClickWait, NoSerialBesideAnAdmittedDiskThatIsNotListed) {
  AppRig rig(R"({ "disks": [
    { "name": "bridge0", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 }, "serial": "" },
    { "name": "odd", "chipType": 13, "inquiryChipId": "q7zz",
      "chipInfo": "00 00 00 00 00 00 01 05 7A 7A 7A 30 01 07 03 00" } ] })");
  rig.Start();
  ASSERT_EQ(rig.ctx.scan.admitted, 2u);
  ASSERT_EQ(rig.ctx.scan.devices.size(), 1u);
  const Outcome o = YesBtnClick(rig.ctx);
  EXPECT_EQ(o.code, OutcomeCode::Success) << o.reason;
}

// Two bridges whose serial numbers differ only after the 20th character: the updated one (cut on
// purpose) comes back with the 20 characters written; the other, arriving meanwhile with the
// carried firmware already on it, keeps its whole serial and is never taken for it.
TEST(OneClickWait, SerialsLongerThanTheIdentityHolds) {
  AppRig rig(R"({ "disks": [
    { "name": "bridge0", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 },
      "serial": "ABCDEFGHIJKLMNOPQRST-A" },
    { "name": "bridge2", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 },
      "firmware": { "generate": { "version": "1203" } }, "serial": "ABCDEFGHIJKLMNOPQRST-B" } ] })");
  const size_t late = rig.Disk("bridge2");
  rig.machine.Unplug(late);
  rig.Start();
  rig.tap.before = [&](const testing::TappedRequest& r) {
    if (r.StartsWith({0xFF, 0x04, 0x26})) rig.machine.Plug(late);
  };
  const Outcome o = RunOneClick(rig.ctx, 0, OneClickOptions{true});
  ASSERT_EQ(o.code, OutcomeCode::Success) << o.reason;
  EXPECT_EQ(rig.ctx.state.DeviceTable[0].Path.View(), rig.machine.CurrentPath(rig.Disk()));
  EXPECT_EQ(rig.BridgeOf().config().serial, "ABCDEFGHIJKLMNOPQRST");
  EXPECT_EQ(rig.BridgeOf("bridge2").config().serial, "ABCDEFGHIJKLMNOPQRST-B");
  EXPECT_EQ(PowerConditionWrite(rig)->path, rig.machine.CurrentPath(rig.Disk())) << "the timer goes to the updated one";
}

// The wait follows the device events: it ends as soon as the bridge is back and answers, not
// after fixed pauses; the restart delay of the emulated bridge is the floor.
TEST(OneClickWait, EndsWhenTheBridgeIsBack) {
  for (const uint32_t delayMs : {150u, 1500u, 6000u}) {
    SCOPED_TRACE(delayMs);
    AppRig rig(sim::PresetScenarioJson("default"));
    sim::TimingModel timing = sim::TimingModel::UsbBulkOnly();
    timing.restartDelayMs = delayMs;
    rig.machine.SetTiming(rig.Disk(), timing);
    rig.Start();
    uint64_t restartAt = 0, backAt = 0;
    rig.tap.before = [&](const testing::TappedRequest& r) {
      if (r.StartsWith({0xFF, 0x04, 0x26})) restartAt = rig.clock.NowMs();
      if (r.StartsWith({0x12, 0x01, 0xC3}) && restartAt && !backAt) backAt = rig.clock.NowMs();
    };
    ASSERT_EQ(RunOneClick(rig.ctx, 0).code, OutcomeCode::Success);
    ASSERT_GT(backAt, restartAt);
    EXPECT_GE(backAt - restartAt, delayMs);
    EXPECT_LE(backAt - restartAt, delayMs + 50) << "looked again as soon as the bridge arrived";
  }
}

// The window's "Recover firmware..." entry: offered only for a bridge on its boot code; with the
// identity a failed update kept it brings the bridge back, without one it says what is missing
// and sends nothing that writes.
TEST(Recover, TheWindowsEntryBringsBackABridgeOnItsBootCode) {
  for (const bool kept : {true, false}) {
    SCOPED_TRACE(kept ? "identity kept" : "nothing kept");
    AppRig rig(OneBridge(R"("serial": "QV812A0009876")").replace(
        OneBridge(R"("serial": "QV812A0009876")").find(R"({ "generate": { "version": "1201" } })"),
        std::string(R"({ "generate": { "version": "1201" } })").size(), R"("blank")"));
    rig.Start();
    ASSERT_EQ(rig.ctx.scan.devices.size(), 1u);
    ASSERT_EQ(rig.ctx.form.devpnl.text, "Firmware ID not match!!");
    ASSERT_TRUE(rig.ctx.form.RecoverMenu.visible) << "offered for a bridge on its boot code";
    ExchangeBlock block;
    for (size_t i = 0; i < 512; ++i) block.bytes[i] = static_cast<uint8_t>(i * 7);
    block.bytes[512] = 0x12, block.bytes[513] = 0x34, block.bytes[514] = 0x0A, block.bytes[515] = 0x05;
    const std::string serial = "QV812A0009876";
    std::copy(serial.begin(), serial.end(), block.bytes.begin() + 516);
    if (kept) {
      ASSERT_TRUE(KeepIdentity(rig.ctx, block, "unused"));
    }
    const Outcome o = RecoverClick(rig.ctx);
    if (kept) {
      ASSERT_EQ(o.code, OutcomeCode::Success) << o.reason;
      EXPECT_EQ(rig.ctx.form.devpnl.text, kPass);
      EXPECT_EQ(rig.BridgeOf().RunningVersion(), (std::array<uint8_t, 4>{'1', '2', '0', '3'}));
      EXPECT_EQ(rig.BridgeOf().NextVid(), 0x1234);
      EXPECT_EQ(rig.BridgeOf().NextPid(), 0x0A05);
      EXPECT_TRUE(std::equal(block.bytes.begin(), block.bytes.begin() + 0x1FC, FlashOf(rig).begin() + 0x600));
      RefreshBtnClick(rig.ctx);
      EXPECT_FALSE(rig.ctx.form.RecoverMenu.visible) << "not offered once the bridge runs its firmware";
    } else {
      EXPECT_EQ(o.code, OutcomeCode::BadInput);
      EXPECT_NE(o.reason.find("--identity FILE"), std::string::npos) << o.reason;
      ASSERT_EQ(rig.shell.messages.size(), 1u);
      EXPECT_EQ(rig.shell.messages[0].text, o.reason);
      const size_t flashWrites = std::count_if(rig.tap.requests.begin(), rig.tap.requests.end(), [](const auto& r) {
        return r.cdb.size() == 12 && r.cdb[0] == 0xDF && r.cdb[11] == 0xFB;
      });
      EXPECT_EQ(rig.tap.Count({0x3B}) + rig.tap.Count({0xC3}) + flashWrites, 0u);
      EXPECT_EQ(rig.ctx.form.devpnl.text, "Firmware ID not match!!");
    }
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

// The cable pulled at every command of the flow: never a pass; and every bridge that is left on
// its boot code is brought back by `recover` to the carried firmware with its ids and serial.
TEST(OneClickFaults, UnplugAtEveryCommandNeverPassesAndRecoverBringsEveryBridgeBack) {
  uint64_t first = 0, count = 0;
  V config;
  {
    AppRig rig(sim::PresetScenarioJson("default"));
    rig.Start();
    first = rig.machine.CommandCount(rig.Disk());
    const V flash = FlashOf(rig);
    config = V(flash.begin() + 0x600, flash.begin() + 0x800);
    ASSERT_EQ(YesBtnClick(rig.ctx).code, OutcomeCode::Success);
    count = rig.machine.CommandCount(rig.Disk()) - first;
  }
  ASSERT_GT(count, 100u);
  size_t recovered = 0;
  for (uint64_t i = 0; i < count; ++i) {
    SCOPED_TRACE("unplugged at command " + std::to_string(i) + " of " + std::to_string(count));
    AppRig rig(sim::PresetScenarioJson("default"));
    rig.Start();
    ASSERT_EQ(rig.machine.CommandCount(rig.Disk()), first);
    const std::string oldPath = rig.machine.CurrentPath(rig.Disk());
    sim::Fault unplug;
    unplug.kind = sim::Fault::Kind::Unplug;
    unplug.atCommand = first + i;
    rig.machine.AddFault(rig.Disk(), unplug);
    EXPECT_NE(YesBtnClick(rig.ctx).code, OutcomeCode::Success);
    EXPECT_EQ(rig.ctx.form.devpnl.text, kFail);
    EXPECT_EQ(rig.ctx.form.devpnl.colour, kRed);
    EXPECT_EQ(rig.ctx.state.UpdateBusy, 0);
    EXPECT_TRUE(rig.ctx.form.ExitBtn.enabled);
    const auto saved = ReadExchangeBlock(rig.ExchangeFile());
    const auto kept = ReadIdentityFile(KeptIdentityPath(rig.ctx, "QV812A0001234", oldPath)).block;
    if (i < 6) {  // the configuration area, the USB ids and the serial number, each read twice
      EXPECT_FALSE(saved) << "the identity was not whole: nothing is saved, nothing written";
      EXPECT_FALSE(kept);
    } else {
      ASSERT_TRUE(saved);
      EXPECT_TRUE(std::equal(config.begin(), config.end(), saved->bytes.begin())) << "the configuration area as read";
      ASSERT_TRUE(kept) << "kept before anything was written";
      EXPECT_EQ(kept->bytes, saved->bytes);
    }

    // The user plugs the bridge in again. One left on its boot code is brought back.
    rig.machine.ClearFaults(rig.Disk());
    rig.machine.Plug(rig.Disk());
    RefreshBtnClick(rig.ctx);
    ASSERT_EQ(rig.ctx.scan.devices.size(), 1u);
    const bool leftBehind = rig.ctx.facts->firmware != FirmwareState::Version;
    if (leftBehind) {
      ASSERT_TRUE(kept) << "a bridge left behind always has its identity kept";
      const Outcome o = RunRecover(rig.ctx, 0);
      ASSERT_EQ(o.code, OutcomeCode::Success) << o.reason;
      ++recovered;
    }
    const sim::Bridge& bridge = rig.BridgeOf();
    if (leftBehind || rig.machine.Attached(rig.Disk())) {
      EXPECT_EQ(bridge.NextVid(), 0x284D);
      EXPECT_EQ(bridge.NextPid(), 0x0812);
      EXPECT_EQ(bridge.NextSerial(), "QV812A0001234");
    }
    if (leftBehind) {
      EXPECT_EQ(bridge.RunningVersion(), (std::array<uint8_t, 4>{'1', '2', '0', '3'}));
      // Its configuration area (the check value at 0x7FC is the new image's).
      EXPECT_TRUE(std::equal(config.begin(), config.end() - 4, FlashOf(rig).begin() + 0x600));
    }
  }
  RecordProperty("runs", static_cast<int>(count));
  RecordProperty("recovered", static_cast<int>(recovered));
  std::printf("campaign: %llu runs, 0 passes, %zu bridges left on their boot code, %zu recovered\n",
              static_cast<unsigned long long>(count), recovered, recovered);
  EXPECT_GT(recovered, 0u) << "the campaign leaves bridges behind for recover to bring back";
}

// The same campaign with a state folder that cannot keep the identity (its path runs through a
// plain file): whatever command the bridge is unplugged at, the run stops before its first write,
// and the bridge, plugged in again, runs its old firmware with its identity.
TEST(OneClickFaults, UnplugAtEveryCommandWithoutAStateFolderWritesNothing) {
  uint64_t first = 0, count = 0;
  {
    AppRig rig(sim::PresetScenarioJson("default"));
    rig.Start();
    first = rig.machine.CommandCount(rig.Disk());
    ASSERT_EQ(YesBtnClick(rig.ctx).code, OutcomeCode::Success);
    count = rig.machine.CommandCount(rig.Disk()) - first;
  }
  uint64_t runs = 0, written = 0;
  for (uint64_t i = 0; i < count; ++i) {
    SCOPED_TRACE("unplugged at command " + std::to_string(i) + " of " + std::to_string(count));
    AppRig rig(sim::PresetScenarioJson("default"));
    rig.dir.Write("plain", "x");
    rig.ctx.stateDirectory = rig.dir.path() / "plain" / "state";
    rig.Start();
    const V before = FlashOf(rig);
    sim::Fault unplug;
    unplug.kind = sim::Fault::Kind::Unplug;
    unplug.atCommand = first + i;
    rig.machine.AddFault(rig.Disk(), unplug);
    ++runs;
    EXPECT_NE(YesBtnClick(rig.ctx).code, OutcomeCode::Success);
    const size_t writes = rig.tap.Count({0x3B}) + rig.tap.Count({0xC3}) + rig.tap.Count({0x55});
    written += writes ? 1 : 0;
    EXPECT_EQ(writes, 0u);
    rig.machine.ClearFaults(rig.Disk());
    rig.machine.Plug(rig.Disk());
    EXPECT_EQ(FlashOf(rig), before);
    EXPECT_EQ(rig.BridgeOf().RunningVersion(), (std::array<uint8_t, 4>{'1', '2', '0', '1'}));
    EXPECT_EQ(rig.BridgeOf().NextSerial(), "QV812A0001234");
  }
  std::printf("[ campaign ] update without a state folder: %llu runs, %llu with a write\n",
              static_cast<unsigned long long>(runs), static_cast<unsigned long long>(written));
}

// `recover` unplugged at every command: a success means the bridge runs the carried firmware
// with the kept ids; a failure leaves the kept identity as it was (the next attempt needs it);
// a bridge left on its boot code is brought back by the next `recover`. A bridge that comes
// back running the carried firmware with the image's own ids (the unplug fell after the bank
// was whole, before the identity was written) is counted and keeps its identity file: `recover`
// refuses a bridge that runs firmware, so that identity is not written back yet. In the suite
// every 4th command is taken (and every one of the first and last 16); with QVFW_CAMPAIGN_FULL=1
// every command.
TEST(OneClickFaults, UnplugAtEveryCommandOfRecoverKeepsTheIdentityForTheNextAttempt) {
  const std::string scenario = [] {
    std::string s = OneBridge(R"("serial": "QV812A0009876")");
    const std::string generated = R"({ "generate": { "version": "1201" } })";
    return s.replace(s.find(generated), generated.size(), R"("blank")");
  }();
  ExchangeBlock block;
  for (size_t i = 0; i < 512; ++i) block.bytes[i] = static_cast<uint8_t>(i * 7);
  block.bytes[512] = 0x12, block.bytes[513] = 0x34, block.bytes[514] = 0x0A, block.bytes[515] = 0x05;
  const std::string serial = "QV812A0009876";
  std::copy(serial.begin(), serial.end(), block.bytes.begin() + 516);
  uint64_t first = 0, count = 0;
  {
    AppRig rig(scenario);
    rig.Start();
    ASSERT_TRUE(KeepIdentity(rig.ctx, block, "unused"));
    first = rig.machine.CommandCount(rig.Disk());
    ASSERT_EQ(RunRecover(rig.ctx, 0).code, OutcomeCode::Success);
    count = rig.machine.CommandCount(rig.Disk()) - first;
  }
  ASSERT_GT(count, 20u);
  const char* full = std::getenv("QVFW_CAMPAIGN_FULL");
  const uint64_t stride = full && std::string(full) == "1" ? 1 : 4;
  uint64_t runs = 0, falseSuccesses = 0, identityLost = 0, leftBehind = 0, notBack = 0, withoutIds = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (i >= 16 && i + 16 < count && i % stride != 0) continue;
    SCOPED_TRACE("unplugged at command " + std::to_string(i) + " of " + std::to_string(count));
    AppRig rig(scenario);
    rig.Start();
    const auto keptAt = KeepIdentity(rig.ctx, block, "unused");
    ASSERT_TRUE(keptAt);
    ASSERT_EQ(rig.machine.CommandCount(rig.Disk()), first);
    sim::Fault unplug;
    unplug.kind = sim::Fault::Kind::Unplug;
    unplug.atCommand = first + i;
    rig.machine.AddFault(rig.Disk(), unplug);
    ++runs;
    const bool succeeded = RunRecover(rig.ctx, 0).code == OutcomeCode::Success;
    EXPECT_EQ(rig.ctx.criticalDepth, 0);
    const sim::Bridge& bridge = rig.BridgeOf();
    auto restored = [&] {
      return bridge.RunningVersion() == std::array<uint8_t, 4>{'1', '2', '0', '3'} && bridge.NextVid() == 0x1234 &&
             bridge.NextPid() == 0x0A05 && bridge.NextSerial() == serial;
    };
    if (succeeded && !restored()) {
      ++falseSuccesses;
      ADD_FAILURE() << "success, but the bridge does not run the carried firmware with its ids";
    }
    if (succeeded) continue;
    const auto still = ReadIdentityFile(*keptAt).block;
    if (!still || still->bytes != block.bytes) {
      ++identityLost;
      ADD_FAILURE() << "the kept identity is gone or changed";
    }
    rig.machine.ClearFaults(rig.Disk());
    rig.machine.Plug(rig.Disk());
    RefreshBtnClick(rig.ctx);
    ASSERT_EQ(rig.ctx.scan.devices.size(), 1u);
    if (rig.ctx.facts->firmware != FirmwareState::Version) {
      ++leftBehind;
      const Outcome again = RunRecover(rig.ctx, 0);
      if (again.code != OutcomeCode::Success || !restored()) {
        ++notBack;
        ADD_FAILURE() << "not brought back: " << again.reason;
      }
    } else if (!restored()) {
      // Programmed, but stopped before its identity was written back: the next recover finishes it.
      ++withoutIds;
      const Outcome again = RunRecover(rig.ctx, 0);
      if (again.code != OutcomeCode::Success || !restored()) {
        ++notBack;
        ADD_FAILURE() << "running the carried firmware without its ids, not brought back: " << again.reason;
      }
    }
  }
  std::printf("[ campaign ] recover %llu commands %llu runs: %llu false successes, 0 crashes, %llu identities lost; "
              "%llu left on the boot code and %llu running the carried firmware without their ids, %llu of them not "
              "brought back by the next recover\n",
              static_cast<unsigned long long>(count), static_cast<unsigned long long>(runs),
              static_cast<unsigned long long>(falseSuccesses), static_cast<unsigned long long>(identityLost),
              static_cast<unsigned long long>(leftBehind), static_cast<unsigned long long>(withoutIds),
              static_cast<unsigned long long>(notBack));
  EXPECT_GT(leftBehind, 0u);
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
