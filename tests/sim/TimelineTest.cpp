// Several bridges worked on at once, each by a job of its own on the virtual clock: a bridge's
// own work overlaps the others', the data phases queue on the bus the disks share (one per USB
// host controller, one for IEEE 1394, none shared for UASP), and a bridge that restarts keeps
// nobody else waiting.
#include <gtest/gtest.h>

#include <functional>

#include "SimRig.h"
#include "device/FlashOps.h"

namespace qvfw::sim {
namespace {

using V = std::vector<uint8_t>;
using namespace qvfw::device;
using platform::DeviceEvent;

// Two QVS812 bridges, "a" and "b", on `bus`; `bExtra` adds fields to the second (a controller).
std::string TwoBridges(const std::string& bus, const std::string& bExtra = "") {
  const std::string disk = R"("bus": ")" + bus + R"(", "chipType": 15, "flash": {"part": "MXIC", "sizeKiB": 512})";
  return R"({"disks": [{"name": "a", )" + disk + R"(}, {"name": "b", )" + disk + bExtra + "}]}";
}

using Work = std::function<void(SimRig&, size_t disk)>;

// How long `work` takes on the emulated machine when it is done on each of `disks` at once, each
// disk by a job of its own.
uint64_t Together(SimRig& rig, const std::vector<size_t>& disks, const Work& work) {
  const uint64_t t0 = rig.machine->ElapsedUs();
  std::vector<std::function<void()>> jobs;
  for (size_t d : disks) jobs.push_back([&rig, &work, d] { work(rig, d); });
  rig.clock.RunParallel(jobs);
  return rig.machine->ElapsedUs() - t0;
}

void EraseAndPoll(SimRig& rig, size_t disk) {
  const Device dev = rig.Dev(disk);
  ASSERT_TRUE(EraseFlashChip(dev));
  uint8_t status = 0x01;
  for (int i = 0; i < 1000 && (status & 0x01) != 0; ++i) {
    ASSERT_TRUE(ReadFlashStatus(dev, status));
    rig.Wait(10);
  }
  EXPECT_EQ(status & 0x01, 0) << "the erase ends";
}

void LongWrite(SimRig& rig, size_t disk) {
  const Device dev = rig.Dev(disk);
  ASSERT_TRUE(WriteFlashLong(dev, 0x02, 0, {}));                  // erase a 64 KiB block
  ASSERT_TRUE(WriteFlashLong(dev, 0x00, 0, V(0x10000, 0x5A)));  // program it
  ASSERT_TRUE(WaitFlashReady(dev));                               // the last page
  V back(16);
  ASSERT_TRUE(ReadFlashLong(dev, 0xFFF0, back));
  EXPECT_EQ(back, V(16, 0x5A));
}

void BigReads(SimRig& rig, size_t disk) {
  const Device dev = rig.Dev(disk);
  V piece(0x40000);
  for (int round = 0; round < 4; ++round)
    for (uint32_t a = 0; a < 0x80000; a += 0x40000) ASSERT_TRUE(ReadFlashLong(dev, a, piece));
}

TEST(Timelines, FlashWorkOnTwoBridgesAtOnceTakesAboutTheTimeOfOne) {
  struct Case {
    const char* what;
    std::string scenario;
    Work work;
  };
  const Case cases[] = {
      {"chip erase on one USB controller", TwoBridges("usb"), EraseAndPoll},
      {"chip erase on the 1394 bus", TwoBridges("1394"), EraseAndPoll},
      {"long write on one USB controller", TwoBridges("usb"), LongWrite},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimRig alone(c.scenario), both(c.scenario);
    const uint64_t one = Together(alone, {0}, c.work);
    const uint64_t two = Together(both, {0, 1}, c.work);
    EXPECT_GE(two, one);
    EXPECT_LT(two, one * 5 / 4) << "one bridge " << one << " us, two " << two << " us";
  }
}

// Reading 2 MiB in 256 KiB commands: the data phase is nearly all of it.
TEST(Timelines, DataPhasesQueueOnTheBusTheDisksShare) {
  struct Case {
    const char* what;
    std::string scenario;
    bool shared;
  };
  const Case cases[] = {
      {"USB 2.0, one controller", TwoBridges("usb"), true},
      {"USB 2.0, two controllers", TwoBridges("usb", R"(, "controller": 1)"), false},
      {"UASP, a port each", TwoBridges("uasp"), false},
      {"IEEE 1394, one bus", TwoBridges("1394"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimRig alone(c.scenario), both(c.scenario);
    const uint64_t one = Together(alone, {0}, BigReads);
    const uint64_t two = Together(both, {0, 1}, BigReads);
    if (c.shared) {
      EXPECT_GT(two, one * 17 / 10) << "one bridge " << one << " us, two " << two << " us";
      EXPECT_LE(two, one * 2);
    } else {
      EXPECT_GE(two, one);
      EXPECT_LT(two, one * 11 / 10) << "one bridge " << one << " us, two " << two << " us";
    }
  }
}

// Bridge "a" restarts and its job waits for it to come back; the job of bridge "b" goes on with
// its own reads and watches the machine's events.
TEST(Timelines, ARestartKeepsOtherBridgesGoingAndItsArrivalComesInItsTime) {
  const std::string scenario = TwoBridges("usb", R"(, "controller": 1)");
  const Work reads = [](SimRig& rig, size_t disk) {
    const Device dev = rig.Dev(disk);
    V piece(0x10000);
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(ReadFlashLong(dev, 0, piece));
  };
  SimRig alone(scenario);
  const uint64_t readsAlone = Together(alone, {1}, reads);

  SimRig rig(scenario);
  const uint64_t t0 = rig.machine->ElapsedUs();
  uint64_t restartedAt = 0, backAt = 0, readsEnd = 0;
  std::vector<std::pair<uint64_t, std::vector<DeviceEvent>>> seen;  // b's view of the machine
  std::vector<std::function<void()>> jobs{
      [&] {
        ASSERT_TRUE(ResetChip(rig.Dev(0)));
        restartedAt = rig.machine->ElapsedUs();
        while (!rig.machine->Attached(0)) rig.Wait(100);
        backAt = rig.machine->ElapsedUs();
      },
      [&] {
        const Device dev = rig.Dev(1);
        V piece(0x10000);
        for (int i = 0; i < 200; ++i) {
          ASSERT_TRUE(ReadFlashLong(dev, 0, piece));
          if (i % 10 == 0) seen.emplace_back(rig.machine->ElapsedUs(), rig.machine->Drain());
        }
        readsEnd = rig.machine->ElapsedUs();
        for (int i = 0; i < 40; ++i) {
          rig.Wait(100);
          seen.emplace_back(rig.machine->ElapsedUs(), rig.machine->Drain());
        }
      }};
  rig.clock.RunParallel(jobs);

  EXPECT_EQ(readsEnd - t0, readsAlone) << "b's reads take what they take alone";
  ASSERT_GT(restartedAt, t0);
  EXPECT_GE(backAt, restartedAt + 1'500'000) << "the restart delay";
  EXPECT_LT(readsEnd, restartedAt + 1'500'000) << "b's reads end while a is away";
  std::vector<DeviceEvent> all;
  for (const auto& [at, events] : seen) {
    for (DeviceEvent e : events) {
      if (e == DeviceEvent::Removal) {
        EXPECT_GE(at, restartedAt);
      } else {
        EXPECT_GE(at, restartedAt + 1'500'000) << "an arrival before its time";
      }
      all.push_back(e);
    }
  }
  EXPECT_EQ(all, (std::vector<DeviceEvent>{DeviceEvent::Removal, DeviceEvent::Arrival}));
}

}  // namespace
}  // namespace qvfw::sim
