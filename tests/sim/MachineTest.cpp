// The machine as the host's platform: enumeration, volumes, device numbers, events, the timing
// model, and every kind of injected fault.
#include <gtest/gtest.h>

#include <cctype>

#include "SimRig.h"

namespace qvfw::sim {
namespace {

using V = std::vector<uint8_t>;
using namespace qvfw::device;
using platform::Bus;
using platform::DeviceEvent;

TEST(Machine, DisksInOrderWithBusPathsVolumesAndDeviceNumbers) {
  SimRig rig(PresetScenarioJson("mixed"));
  const auto disks = rig.machine->EnumerateDisks();
  ASSERT_EQ(disks.size(), 4u);
  EXPECT_EQ(disks[0].bus, Bus::Other);
  EXPECT_EQ(disks[1].bus, Bus::Usb);
  EXPECT_EQ(disks[3].bus, Bus::Ieee1394);
  EXPECT_NE(disks[1].path.find("usbstor"), std::string::npos);
  EXPECT_NE(disks[3].path.find("sbp2"), std::string::npos);
  const auto volumes = rig.machine->EnumerateVolumes();
  ASSERT_EQ(volumes.size(), 4u);
  EXPECT_EQ(volumes[0].name, "C");
  EXPECT_TRUE(volumes[0].system);
  const auto disk = rig.machine->GetStorageDeviceNumber(disks[1].path);
  const auto e = rig.machine->GetStorageDeviceNumber(volumes[1].path);  // "E" on bridge0
  const auto f = rig.machine->GetStorageDeviceNumber(volumes[2].path);  // "F" on plain0
  ASSERT_TRUE(disk && e && f);
  EXPECT_EQ(e->deviceType, disk->deviceType);
  EXPECT_EQ(e->deviceNumber, disk->deviceNumber);
  EXPECT_NE(f->deviceNumber, disk->deviceNumber);
  EXPECT_FALSE(rig.machine->GetStorageDeviceNumber("sim:nothing"));
  std::string upper = disks[1].path;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  EXPECT_TRUE(rig.RunAt(upper, Cdb12({0x00}), true, 0).Good()) << "paths name a device whatever their case";
  EXPECT_FALSE(rig.RunAt("sim:nothing", Cdb12({0x00}), true, 0).opened);
  // A request no OS would send: opened, refused by the OS, the device never sees it.
  const Outcome tiny = rig.RunAt(disks[1].path, {0x12}, true, 40);
  EXPECT_TRUE(tiny.opened);
  EXPECT_FALSE(tiny.Good());
  platform::ScsiRequest noBuffer;
  const V cdb = Cdb12({0x12, 0, 0, 0, 40});
  noBuffer.cdb = cdb;
  noBuffer.length = 40;
  const auto r = rig.machine->Execute(disks[1].path, noBuffer);
  EXPECT_FALSE(platform::Succeeded(r));
}

TEST(Machine, UnpluggedDisksVanishWithTheirVolumesAndComeBackOnPlug) {
  SimRig rig(PresetScenarioJson("two-bridges"));
  const std::string path = rig.machine->CurrentPath(1);
  rig.machine->Unplug(1);
  EXPECT_EQ(rig.machine->EnumerateDisks().size(), 1u);
  EXPECT_EQ(rig.machine->EnumerateVolumes().size(), 1u);
  EXPECT_FALSE(rig.RunAt(path, Cdb12({0x00}), true, 0).opened);
  rig.machine->Plug(1);
  EXPECT_EQ(rig.machine->Drain(), (std::vector<DeviceEvent>{DeviceEvent::Removal, DeviceEvent::Arrival}));
  EXPECT_TRUE(rig.Run(Cdb12({0x00}), true, 0, {}, 1).Good());
}

TEST(Machine, TimingModelChargesOverheadBandwidthAndFlashTimes) {
  struct Case {
    const char* bus;
    uint64_t lowMs, highMs;  // reading 1 MiB in 8 KiB commands
  };
  for (const Case& c : {Case{"usb", 85, 100}, Case{"uasp", 15, 22}}) {
    SCOPED_TRACE(c.bus);
    SimRig rig(std::string(R"({"disks": [{"chipType": 15, "bus": ")") + c.bus +
               R"(", "flash": {"part": "MXIC", "sizeKiB": 1024}}]})");
    const Device dev = rig.Dev();
    const uint64_t t0 = rig.clock.NowMs();
    V piece(8192);
    for (uint32_t a = 0; a < 0x100000; a += 8192) ASSERT_TRUE(ReadFlashLong(dev, a, piece));
    const uint64_t took = rig.clock.NowMs() - t0;
    EXPECT_GE(took, c.lowMs);
    EXPECT_LE(took, c.highMs);
  }
  SimRig rig(OneBridge(13, 0, "WINBOND", 512));
  const uint64_t t0 = rig.clock.NowMs();
  ASSERT_TRUE(WriteFlashLong(rig.Dev(), 0x00, 0, V(8192, 0x00)));  // 32 pages
  V one(1);
  ASSERT_TRUE(ReadFlashLong(rig.Dev(), 0, one));                   // waits for the last page
  EXPECT_GE(rig.clock.NowMs() - t0, 32 * 800 / 1000u);
}

struct FaultRig : SimRig {
  explicit FaultRig(const std::string& fault) : SimRig(OneBridge(13, 0, "WINBOND", 512)) {
    machine->AddFault(0, ParseFault(fault));
  }
};

TEST(Faults, FailACommandByPrefixOrByIndex) {
  {
    FaultRig rig(R"({"kind": "fail", "cdbPrefix": "DF 10", "times": 2, "sense": "03 11 00"})");
    const V read = Cdb12({0xDF, 0x10, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0xFA});
    for (int i = 0; i < 2; ++i) {
      const Outcome o = rig.Run(read, true, 16);
      EXPECT_EQ(o.status, 0x02);
      EXPECT_EQ(o.key, 0x03);
      EXPECT_EQ(o.asc, 0x11);
    }
    EXPECT_TRUE(rig.Run(read, true, 16).Good());
    EXPECT_TRUE(rig.Run(Cdb12({0xE0, 0xF4, 0xE7}), true, 16).Good()) << "other commands are not hit";
  }
  {
    FaultRig rig(R"({"kind": "fail", "atCommand": 2})");
    std::vector<bool> ok;
    for (int i = 0; i < 4; ++i) ok.push_back(rig.Run(Cdb12({0x00}), true, 0).Good());
    EXPECT_EQ(ok, (std::vector<bool>{true, true, false, true}));
  }
}

TEST(Faults, UnplugAtACommand) {
  FaultRig rig(R"({"kind": "unplug", "atCommand": 3})");
  const std::string path = rig.machine->CurrentPath(0);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(rig.RunAt(path, Cdb12({0x00}), true, 0).Good());
  EXPECT_FALSE(rig.RunAt(path, Cdb12({0x00}), true, 0).opened);
  EXPECT_TRUE(rig.machine->EnumerateDisks().empty());
  EXPECT_EQ(rig.machine->Drain(), std::vector<DeviceEvent>{DeviceEvent::Removal});
  rig.Wait(60'000);
  EXPECT_TRUE(rig.machine->EnumerateDisks().empty()) << "an unplugged disk does not come back by itself";
}

TEST(Faults, FlipBitsOnReadBackOnly) {
  FaultRig rig(R"({"kind": "flipBits", "address": "0x1010", "mask": "0x80"})");
  const Device dev = rig.Dev();
  rig.Flash()[0x1010] = 0x12;
  for (int i = 0; i < 2; ++i) {  // every read-back, through each read command
    V long16(32), short16(16);
    ASSERT_TRUE(ReadFlashLong(dev, 0x1000, long16));
    ASSERT_TRUE(ReadFlash(dev, 0x1008, short16));
    EXPECT_EQ(long16[0x10], 0x92);
    EXPECT_EQ(short16[0x08], 0x92);
    EXPECT_EQ(long16[0x0F], rig.Flash()[0x100F]);
  }
  V away(16);
  ASSERT_TRUE(ReadFlashLong(dev, 0x2000, away));
  EXPECT_EQ(away, V(rig.Flash().begin() + 0x2000, rig.Flash().begin() + 0x2010));
  EXPECT_EQ(rig.Flash()[0x1010], 0x12) << "the flash itself is intact";
}

// Any command's reply, once: the chip id of an INQUIRY here, then the same INQUIRY intact.
TEST(Faults, FlipReplyTurnsOneBitOfOneAnswer) {
  FaultRig rig(R"({"kind": "flipReply", "atCommand": 1, "address": 37, "mask": "0x02"})");
  const Device dev = rig.Dev();
  std::array<uint8_t, 40> first{}, flipped{}, after{};
  ASSERT_TRUE(Inquiry(dev, first));
  ASSERT_TRUE(Inquiry(dev, flipped));
  ASSERT_TRUE(Inquiry(dev, after));
  EXPECT_EQ(first[37], '8');
  EXPECT_EQ(flipped[37], '8' ^ 0x02);
  flipped[37] = first[37];
  EXPECT_EQ(flipped, first) << "one byte only";
  EXPECT_EQ(after, first) << "once";
}

TEST(Faults, NeverReadyFlash) {
  FaultRig rig(R"({"kind": "neverReady"})");
  const Device dev = rig.Dev();
  uint8_t status = 0;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(ReadFlashStatus(dev, status));
    EXPECT_EQ(status & 0x01, 0x01);
    rig.Wait(1000);
  }
  // Where the bridge waits for the flash itself, it gives up after its own time-out; elsewhere
  // the busy part drops the command and a read gets nothing.
  EXPECT_FALSE(WriteFlash(dev, 0, V(16, 0x00))) << "the bridge gives up waiting itself";
  V data(16);
  ASSERT_TRUE(ReadFlashLong(dev, 0, data));
  EXPECT_EQ(data, V(16, 0xFF));
}

TEST(Faults, ShortTransferDeliversFewerBytes) {
  FaultRig rig(R"({"kind": "shortTransfer", "cdbPrefix": "E0", "bytes": 8})");
  V info(16, 0xEE);
  uint32_t got = 0;
  ASSERT_TRUE(ReadChipInfo(rig.Dev(), info, &got));
  EXPECT_EQ(got, 8u);
  EXPECT_EQ(info[0], 0xF4);
  EXPECT_EQ(V(info.begin() + 8, info.end()), V(8, 0x00));
}

TEST(Faults, BecomingReadyForNAttempts) {
  struct Case {
    uint32_t times;
    bool succeeds;
    uint64_t attempts;
  };
  for (const Case& c : {Case{3, true, 4}, Case{40, false, 31}}) {
    SCOPED_TRACE(c.times);
    SimRig rig;
    Fault f = ParseFault(R"({"kind": "becomingReady", "cdbPrefix": "3C"})");
    f.times = c.times;
    rig.machine->AddFault(0, f);
    V d(4);
    EXPECT_EQ(QV_ReadBuffer(rig.Dev(), 3, 0, 0, d.data(), 4), c.succeeds);
    EXPECT_EQ(rig.machine->CommandCount(0), c.attempts);
  }
}

TEST(Faults, StallAddsTimeAndScenarioFaultsAreRead) {
  FaultRig rig(R"({"kind": "stall", "cdbPrefix": "12", "stallMs": 250})");
  const uint64_t t0 = rig.clock.NowMs();
  V inq(40);
  ASSERT_TRUE(Inquiry(rig.Dev(), inq));
  EXPECT_GE(rig.clock.NowMs() - t0, 250u);
  SimRig fromFile(OneBridge(13, 0, "WINBOND", 512, R"(, "faults": [{"kind": "fail", "cdbPrefix": "12"}])"));
  EXPECT_FALSE(Inquiry(fromFile.Dev(), inq));
  EXPECT_TRUE(Inquiry(fromFile.Dev(), inq));
  EXPECT_THROW(ParseFault(R"({"kind": "explode"})"), std::invalid_argument);
  EXPECT_THROW(ParseFault(R"({"kind": "fail", "sense": "05 20"})"), std::invalid_argument);
}

}  // namespace
}  // namespace qvfw::sim
