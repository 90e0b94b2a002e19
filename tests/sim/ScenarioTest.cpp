// Scenario files, the built-in machines and persistent machines across runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "codec/ImageCodec.h"
#include "sim/FirmwareImage.h"
#include "SimRig.h"
#include "support/SpecialFiles.h"
#include "support/TempDir.h"

namespace qvfw::sim {
namespace {

using V = std::vector<uint8_t>;
using namespace qvfw::device;
namespace fs = std::filesystem;

uint32_t StoredBe32(const V& v, size_t at) {
  return uint32_t{v[at]} << 24 | uint32_t{v[at + 1]} << 16 | uint32_t{v[at + 2]} << 8 | v[at + 3];
}

TEST(DefaultMachine, OneQvs812OnUsbRunningAnOlderFirmwareOfTheSameLine) {
  platform::VirtualClock clock;
  auto m = DefaultMachine(clock);
  ASSERT_EQ(m->DiskCount(), 1u);
  EXPECT_EQ(m->DiskBus(0), platform::Bus::Usb);
  const V& f = m->BridgeAt(0)->flash()->data();
  EXPECT_EQ(f.size(), 512u * 1024);
  EXPECT_EQ(std::string(f.begin() + 21, f.begin() + 24), "812");
  EXPECT_EQ(std::string(f.begin() + 25, f.begin() + 29), "1201");
  EXPECT_EQ(V(f.begin() + 0xBFF0, f.begin() + 0xBFF7), (V{0x55, 0xAA, 0xAA, 0x55, '8', '1', '2'}));
  EXPECT_EQ(StoredBe32(f, 0x7FC), codec::ImageCrc({f.data() + 0x400, 0x3FC}));
  EXPECT_EQ(StoredBe32(f, 0x1FFFC), codec::ImageCrc({f.data(), 0x1FFFC}));
  EXPECT_EQ(m->BridgeAt(0)->mode(), BridgeMode::Firmware);

  SimRig rig;  // and what the host sees of it
  V inq(40), info(16), j(4);
  ASSERT_TRUE(Inquiry(rig.Dev(), inq));
  EXPECT_EQ(std::string(inq.begin() + 36, inq.end()), "q812");
  ASSERT_TRUE(ReadChipInfo(rig.Dev(), info));
  EXPECT_EQ(info[6], 2);
  EXPECT_EQ(std::string(info.begin() + 8, info.begin() + 11), "812");
  EXPECT_EQ(std::string(info.begin() + 12, info.end()), "1201");
  ASSERT_TRUE(ReadFlashId4(rig.Dev(), 0x9F, false, j));
  EXPECT_EQ(j, (V{0xC2, 0x20, 0x13, 0x00})) << "MXIC 25L4005: 512 KiB by its capacity code";
  V params(20);
  ASSERT_TRUE(ReadBridgeParameters(rig.Dev(), params));
  EXPECT_NE(params[19], 0);
  EXPECT_EQ(GenerateFirmwareImage({15, 0, "1201", 0x40000, 1}), V(f.begin(), f.begin() + 0x40000))
      << "the default image is deterministic";
}

TEST(Scenarios, PresetsLoad) {
  for (const std::string& name : PresetNames()) {
    SCOPED_TRACE(name);
    platform::VirtualClock clock;
    auto m = LoadScenario(PresetScenarioJson(name), clock);
    EXPECT_GE(m->DiskCount(), 1u);
    EXPECT_EQ(m->EnumerateDisks().size(), m->DiskCount());
  }
  platform::VirtualClock clock;
  auto families = LoadScenario(PresetScenarioJson("families"), clock);
  for (size_t i = 0; i < families->DiskCount(); ++i) {
    Bridge* b = families->BridgeAt(i);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->mode(), BridgeMode::Firmware) << families->DiskName(i);
  }
  EXPECT_THROW(PresetScenarioJson("nosuch"), std::invalid_argument);
}

TEST(Scenarios, DescriptionsThatDoNotMakeAMachineAreRefusedWithAReason) {
  struct Case {
    const char* what;
    std::string json;
    const char* mentions;
  };
  const Case cases[] = {
      {"not JSON", "{disks", "not JSON"},
      {"no disk list", R"({"machines": []})", "disks"},
      {"bad bus", R"({"disks": [{"bus": "scsi-2"}]})", "bus"},
      {"chip type out of range", R"({"disks": [{"chipType": 36}]})", "chipType"},
      {"unknown flash", R"({"disks": [{"flash": {"part": "NOR9000"}}]})", "NOR9000"},
      {"size a maker does not make", R"({"disks": [{"flash": {"part": "SANYO", "sizeKiB": 1024}}]})", "SANYO"},
      {"bad hex", R"({"disks": [{"chipInfo": "F4 EZ"}]})", "hex"},
      {"duplicate names", R"({"disks": [{"name": "a"}, {"name": "a"}]})", "two disks"},
      {"name with a separator", R"({"disks": [{"name": "a:b"}]})", "plain word"},
      {"unknown fault", R"({"disks": [{"faults": [{"kind": "melt"}]}]})", "melt"},
      {"firmware larger than the flash",
       R"({"disks": [{"flash": {"part": "MXIC", "sizeKiB": 64}, "firmware": {"generate": {"size": 131072}}}]})", "256"},
      {"negative number", R"({"disks": [{"standbyTimer": -1}]})", "negative"},
      {"controller out of range", R"({"disks": [{"name": "b0", "controller": 16}]})", "b0.controller must lie in 0..15"},
      {"controller that is not a number", R"({"disks": [{"controller": "first"}]})", "controller must be a number"},
      {"controller of a disk not on USB", R"({"disks": [{"bus": "uasp", "controller": 1}]})", "only a USB disk"},
      {"paths neither named nor numbered", R"({"paths": "random", "disks": []})", "\"paths\" is \"named\" or \"numbered\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::VirtualClock clock;
    try {
      LoadScenario(c.json, clock);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.mentions), std::string::npos) << e.what();
    }
  }
}

TEST(Scenarios, FirmwareFromAFileRelativeToTheScenario) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("qvsim-file-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  V image = GenerateFirmwareImage({15, 0, "0999", 0x40000, 5});
  {
    std::ofstream(dir / "fw.bin", std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    std::ofstream(dir / "m.json") << R"({"disks": [{"chipType": 15, "flash": {"part": "MXIC", "sizeKiB": 256},
                                       "firmware": {"file": "fw.bin"}}]})";
  }
  platform::VirtualClock clock;
  auto m = LoadScenarioFile(dir / "m.json", clock);
  EXPECT_EQ(m->BridgeAt(0)->flash()->data(), image);
  EXPECT_EQ(m->BridgeAt(0)->RunningVersion(), (std::array<uint8_t, 4>{'0', '9', '9', '9'}));
  fs::remove_all(dir);
}

// Every file a machine description names, and the description itself, is read only when it is a
// regular file no larger than what it is for; whatever else stands under the name is an error
// that names the file, at once (a FIFO never blocks, /dev/zero is never read).
TEST(Scenarios, SpecialFilesUnderEachNameAreClearErrors) {
  struct Reader {
    const char* what;
    const char* name;  // the file the special one stands in for
    uint64_t limit;
    bool json;
    std::function<void(const fs::path& dir, platform::Clock&)> load;
  };
  const auto withDescription = [](const char* description) {
    return [description](const fs::path& dir, platform::Clock& clock) {
      std::ofstream(dir / "m.json") << description;
      LoadScenarioFile(dir / "m.json", clock);
    };
  };
  const Reader readers[] = {
      {"scenario file", "m.json", kMaxScenarioFileSize, true,
       [](const fs::path& dir, platform::Clock& clock) { LoadScenarioFile(dir / "m.json", clock); }},
      {"persistent machine's description", "machine.json", kMaxScenarioFileSize, true,
       [](const fs::path& dir, platform::Clock& clock) { PersistentMachine::Open(dir, clock); }},
      {"flashFile", "b.flash", kMaxFlashFileSize, false,
       withDescription(R"({"disks": [{"chipType": 15, "flashFile": "b.flash"}]})")},
      {"firmware file", "fw.bin", kMaxFlashFileSize, false,
       withDescription(R"({"disks": [{"chipType": 15, "firmware": {"file": "fw.bin"}}]})")},
      {"diskFile", "b.disk", kMaxDiskFileSize, false,
       withDescription(R"({"disks": [{"chipType": 15, "diskFile": "b.disk"}]})")},
  };
  for (const Reader& reader : readers) {
    for (const testing::SpecialFile& f : testing::SpecialFiles(reader.json)) {
      testing::TempDir dir;
      testing::MakeSpecialFile(f, dir.path() / reader.name, reader.limit);
      platform::VirtualClock clock;
      std::string message;
      try {
        reader.load(dir.path(), clock);
      } catch (const std::exception& e) {
        message = e.what();
      }
      const std::string expected = f.kind == testing::SpecialKind::DeepJson   ? "nested deeper than 64 levels"
                                   : f.kind == testing::SpecialKind::OverSize ? "is larger than " + std::to_string(reader.limit) + " bytes"
                                                                              : "is not a regular file";
      EXPECT_NE(message.find(expected), std::string::npos) << reader.what << ", " << f.what << ": " << message;
      if (f.kind != testing::SpecialKind::DeepJson) {
        EXPECT_NE(message.find(reader.name), std::string::npos) << reader.what << ", " << f.what << ": " << message;
      }
    }
  }
}

TEST(Scenarios, NestingIsLimitedWhereverItHappens) {
  platform::VirtualClock clock;
  const std::string deepInString = R"({"disks": [{"chipType": 15, "serial": ")" + std::string(200, '[') + R"("}]})";
  EXPECT_EQ(LoadScenario(deepInString, clock)->BridgeAt(0)->config().serial, std::string(200, '['));
  // An escaped quote does not end the string: the brackets after it are text, not nesting.
  const std::string escapedQuote = R"({"disks": [{"chipType": 15, "serial": "\")" + std::string(100, '[') + R"("}]})";
  EXPECT_EQ(LoadScenario(escapedQuote, clock)->BridgeAt(0)->config().serial, "\"" + std::string(100, '['));
  std::string atLimit = R"({"disks": [{"chipType": 15, "x": )" + std::string(kMaxJsonDepth - 3, '[') +
                        std::string(kMaxJsonDepth - 3, ']') + "}]}";
  EXPECT_NO_THROW(LoadScenario(atLimit, clock));
  const std::string overLimit = R"({"disks": [{"chipType": 15, "x": )" + std::string(kMaxJsonDepth - 2, '[') +
                                std::string(kMaxJsonDepth - 2, ']') + "}]}";
  EXPECT_THROW(LoadScenario(overLimit, clock), std::invalid_argument);
  EXPECT_THROW(ParseFault(std::string(100000, '[')), std::invalid_argument);
}

class Persistent : public ::testing::Test {
 protected:
  fs::path dir = fs::path(::testing::TempDir()) / ("qvsim-dir-" + std::to_string(::getpid()));
  void SetUp() override { fs::remove_all(dir); }
  void TearDown() override { fs::remove_all(dir); }
};

TEST_F(Persistent, ASecondRunSeesWhatTheFirstProgrammed) {
  {  // first run: the directory is created from the default machine
    platform::VirtualClock clock;
    auto p = PersistentMachine::Open(dir / "m", clock);
    EXPECT_TRUE(fs::is_regular_file(dir / "m" / "machine.json"));
    EXPECT_TRUE(fs::is_regular_file(dir / "m" / "bridge0.flash"));
    platform::NullDiagnostics diag;
    Transport t(p->machine(), diag);
    const Device dev(t, p->machine().CurrentPath(0));
    ASSERT_TRUE(WriteFlashLong(dev, 0x03, 0, {}));
    const V update = GenerateFirmwareImage({15, 0, "1203", 0x40000, 2});
    for (uint32_t off = 0; off < update.size(); off += 4096)
      ASSERT_TRUE(QV_WriteBuffer(dev, 0, 0x0E, update.data() + off, off, 4096));
    V record(72, ' ');
    std::fill(record.begin(), record.begin() + 52, 0);
    record[0] = 0x42;
    record[52] = 'Z';
    const uint8_t cdb[12] = {0xC3, 0x30, 0, 0, 0xAB, 0xCD, 0x00, 0x01, 0, 0x48, 0, 0};
    ASSERT_TRUE(t.PassThroughOut(dev.path(), cdb, record.data(), 72, nullptr));
    p->Save();
  }
  {  // second run: powered up on what was programmed, with the identity written
    platform::VirtualClock clock;
    auto p = PersistentMachine::Open(dir / "m", clock);
    Bridge& b = *p->machine().BridgeAt(0);
    EXPECT_EQ(b.RunningVersion(), (std::array<uint8_t, 4>{'1', '2', '0', '3'}));
    EXPECT_EQ(b.config().vid, 0xABCD);
    EXPECT_EQ(b.config().pid, 0x0001);
    EXPECT_EQ(b.config().serial, "Z");
    for (const auto& entry : fs::directory_iterator(dir / "m"))
      EXPECT_EQ(entry.path().string().find(".new"), std::string::npos) << entry.path();
  }
}

TEST_F(Persistent, SavingReplacesPlantedLinksInsteadOfWritingThroughThem) {
  fs::create_directories(dir / "m");
  const fs::path victim = dir / "victim";
  std::ofstream(victim) << "keep me";
  std::error_code ec;
  fs::create_symlink(victim, dir / "m" / "bridge0.flash", ec);
  // Symbolic links need a privilege on the window platform (and wine has none).
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  fs::create_symlink(victim, dir / "m" / "machine.json.tmp");
  platform::VirtualClock clock;
  // No description yet: the default machine is made and saved over the planted names.
  auto p = PersistentMachine::Open(dir / "m", clock);
  std::ifstream in(victim);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "keep me");
  EXPECT_FALSE(fs::is_symlink(dir / "m" / "bridge0.flash"));
  EXPECT_EQ(fs::file_size(dir / "m" / "bridge0.flash"), 512u * 1024);
  // Saving writes to fresh names of its own and leaves none of them behind.
  for (const auto& entry : fs::directory_iterator(dir / "m"))
    EXPECT_EQ(entry.path().string().find(".new"), std::string::npos) << entry.path();
}

TEST_F(Persistent, DiskAreaOfTheDiskResidentFamilyIsKept) {
  fs::create_directories(dir / "m");
  std::ofstream(dir / "m" / "machine.json")
      << R"({"disks": [{"name": "d30", "chipType": 30, "revision": 1, "flash": "none", "disk": {"sectors": 2000000}}]})";
  const V data(512, 0x3C);
  {
    platform::VirtualClock clock;
    auto p = PersistentMachine::Open(dir / "m", clock);
    platform::NullDiagnostics diag;
    Transport t(p->machine(), diag);
    ASSERT_TRUE(AtaWriteDmaExt(Device(t, p->machine().CurrentPath(0)), 1999000, data, 512));
    p->Save();
  }
  platform::VirtualClock clock;
  auto p = PersistentMachine::Open(dir / "m", clock);
  platform::NullDiagnostics diag;
  Transport t(p->machine(), diag);
  V back(512);
  ASSERT_TRUE(AtaReadDmaExt(Device(t, p->machine().CurrentPath(0)), 1999000, back, 512));
  EXPECT_EQ(back, data);
}

}  // namespace
}  // namespace qvfw::sim
