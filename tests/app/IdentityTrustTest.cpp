// What makes a bridge itself belongs to the run that read it: the exchange file is the run's own,
// a file somebody else put in its way is never read or removed, nothing is written unless the
// identity is kept in the state folder, identity files are checked and never consumed, serial
// numbers are written whole or not at all, and the recovery copy of an erased bridge can be
// written back into it from its boot code.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "app/DeviceList.h"
#include "app/Engineering.h"
#include "app/ExchangeFile.h"
#include "app/KeptIdentity.h"
#include "app/MainPresenter.h"
#include "app/OneClick.h"
#include "app/UpdateAll.h"
#include "support/AppRig.h"
#include "support/PrivateMounts.h"

namespace qvfw::app {
namespace {

namespace fs = std::filesystem;
using testing::AppRig;
using V = std::vector<uint8_t>;

// One QVS812 running firmware 1201 (or on its boot code, with "blank" firmware).
std::string Qvs812(std::string_view serial, std::string_view pid = "0x0812", bool blank = false) {
  return std::string(R"({ "disks": [ { "name": "bridge0", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 },)") +
         R"( "firmware": )" + (blank ? R"("blank")" : R"({ "generate": { "version": "1201" } })") +
         R"(, "usb": { "vid": "0x284D", "pid": ")" + std::string(pid) + R"(" }, "serial": ")" + std::string(serial) +
         R"(", "volumes": [ "E" ] } ] })";
}

struct Identity {
  uint16_t vid = 0, pid = 0;
  std::string serial;
  bool operator==(const Identity&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Identity& i) {
  return os << std::hex << i.vid << ":" << i.pid << std::dec << " \"" << i.serial << "\"";
}
Identity IdentityOf(AppRig& rig) {
  const sim::Bridge& b = rig.BridgeOf();
  return {b.NextVid(), b.NextPid(), b.NextSerial()};
}

// Commands that change a QVS812: the flash (WRITE BUFFER), its identity and its standby timer.
size_t Writes(const AppRig& rig) { return rig.tap.Count({0x3B}) + rig.tap.Count({0xC3}) + rig.tap.Count({0x55}); }

ExchangeBlock BlockOf(uint16_t vid, uint16_t pid, std::string_view serial) {
  ExchangeBlock b;
  for (size_t i = 0; i < 512; ++i) b.bytes[i] = static_cast<uint8_t>(i * 5 + 1);
  b.bytes[512] = static_cast<uint8_t>(vid >> 8), b.bytes[513] = static_cast<uint8_t>(vid);
  b.bytes[514] = static_cast<uint8_t>(pid >> 8), b.bytes[515] = static_cast<uint8_t>(pid);
  std::copy(serial.begin(), serial.end(), b.bytes.begin() + 516);
  return b;
}

V Bytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return V(std::istreambuf_iterator<char>(in), {});
}
void Put(const fs::path& file, const V& bytes) {
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
template <size_t N>
V AsVector(const std::array<uint8_t, N>& a) {
  return V(a.begin(), a.end());
}

bool AnyLineHas(const AppRig& rig, std::string_view text) {
  return std::any_of(rig.diagnostics.lines.begin(), rig.diagnostics.lines.end(),
                     [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

std::vector<fs::path> ExchangeFilesIn(const fs::path& folder) {
  std::vector<fs::path> found;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().rfind("ExChangeData", 0) == 0) found.push_back(e.path());
  return found;
}

// Two updates started from one working folder, the second run whole while the first is between
// saving its identity and using it (the interleaving comes from the first run's own request,
// not from sleeps): each bridge keeps its own identity, each run removes its own file.
TEST(ExchangeData, TwoRunsInOneFolderEachKeepTheirOwnBridge) {
  AppRig a(Qvs812("QVAAAAAAAAAA01", "0x0812")), b(Qvs812("QVBBBBBBBBBB02", "0x0814"));
  b.ctx.workingDirectory = a.dir.path();
  a.Start();
  b.Start();
  Outcome second;
  bool interleaved = false;
  a.tap.before = [&](const testing::TappedRequest& r) {
    // A's power-condition read comes right after it saved its identity, before it reads it back.
    if (interleaved || !r.StartsWith({0x5A})) return;
    interleaved = true;
    ASSERT_EQ(ExchangeFilesIn(a.dir.path()).size(), 1u) << "A's file is there";
    second = YesBtnClick(b.ctx);
    CloseMainWindow(b.ctx);
    EXPECT_EQ(ExchangeFilesIn(a.dir.path()).size(), 1u) << "B removed its own file and only that";
  };
  const Outcome first = YesBtnClick(a.ctx);
  ASSERT_TRUE(interleaved);
  EXPECT_EQ(first.code, OutcomeCode::Success) << first.reason;
  EXPECT_EQ(second.code, OutcomeCode::Success) << second.reason;
  EXPECT_EQ(IdentityOf(a), (Identity{0x284D, 0x0812, "QVAAAAAAAAAA01"}));
  EXPECT_EQ(IdentityOf(b), (Identity{0x284D, 0x0814, "QVBBBBBBBBBB02"}));
  EXPECT_TRUE(AnyLineHas(b, "keeps its exchange data in")) << "B was told the name was taken";
  CloseMainWindow(a.ctx);
  EXPECT_TRUE(ExchangeFilesIn(a.dir.path()).empty());
}

// A file under the exchange file's name that this run did not make (another user's in a shared
// folder, a stale one, a link) is never read as the identity, never replaced and never removed.
TEST(ExchangeData, FilesInTheWayAreNeitherReadNorRemoved) {
  const auto other = AsVector(Scrambled(BlockOf(0x1111, 0x2222, "QVOTHER0000009")));
  V random(4096);
  std::mt19937 gen(26);
  for (auto& x : random) x = static_cast<uint8_t>(gen());
  struct Case {
    const char* what;
    V bytes;
    bool link;
  } cases[] = {
      {"another bridge's identity", other, false},
      {"random bytes", random, false},
      {"a link to another bridge's identity", other, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AppRig rig(Qvs812("QV812A0001234"));
    const fs::path name = rig.dir.path() / "ExChangeData.tmp";
    const fs::path elsewhere = rig.dir.path() / "elsewhere.bin";
    Put(c.link ? elsewhere : name, c.bytes);
    if (c.link) fs::create_symlink(elsewhere, name);
    // Made by another user where the test may say so.
    if (::geteuid() == 0) {
      ASSERT_EQ(::lchown(name.c_str(), 65534, 65534), 0);
    }
    rig.Start();
    const Outcome o = YesBtnClick(rig.ctx);
    ASSERT_EQ(o.code, OutcomeCode::Success) << o.reason;
    EXPECT_EQ(IdentityOf(rig), (Identity{0x284D, 0x0812, "QV812A0001234"}));
    CloseMainWindow(rig.ctx);
    EXPECT_EQ(fs::is_symlink(name), c.link);
    EXPECT_EQ(Bytes(name), c.bytes) << "left as it was found";
    EXPECT_EQ(ExchangeFilesIn(rig.dir.path()).size(), 1u) << "the run's own file is gone";
  }
}

// A working folder that cannot take the exchange file (read-only, with a stale file in it) sends
// it to the state folder, with a diagnostics line; the stale file is not read.
TEST(ExchangeData, AReadOnlyWorkingFolderSendsItToTheStateFolder) {
  if (!testing::PrivateMountNamespace()) GTEST_SKIP() << "needs root and a mount namespace of its own";
  AppRig rig(Qvs812("QV812A0001234"));
  const fs::path stale = rig.dir.path() / "work" / "ExChangeData.tmp";
  fs::create_directories(stale.parent_path());
  const auto other = AsVector(Scrambled(BlockOf(0x1111, 0x2222, "QVOTHER0000009")));
  Put(stale, other);
  rig.ctx.workingDirectory = stale.parent_path();
  const auto readOnly = testing::OverMount::ReadOnly(stale.parent_path());
  ASSERT_TRUE(readOnly.ok());
  rig.Start();
  const Outcome o = YesBtnClick(rig.ctx);
  ASSERT_EQ(o.code, OutcomeCode::Success) << o.reason;
  EXPECT_EQ(IdentityOf(rig), (Identity{0x284D, 0x0812, "QV812A0001234"}));
  EXPECT_TRUE(AnyLineHas(rig, "the exchange file cannot be written in " + stale.parent_path().string()));
  EXPECT_EQ(Bytes(stale), other);
}

// No identity kept, nothing written: a state folder that is read-only, full, or not a folder
// stops the update, every worker of an update of several bridges, and a recovery from a named
// identity file, before the first write, whatever would have come later (an unplug at any
// command of the run finds it stopped already).
TEST(KeptIdentityNeeded, NothingIsWrittenWhenTheStateFolderCannotKeepIt) {
  enum class Folder { NotAFolder, ReadOnly, Full };
  enum class Run { Update, UpdateAll, RecoverFromFile };
  for (const Folder folder : {Folder::NotAFolder, Folder::ReadOnly, Folder::Full}) {
    for (const Run run : {Run::Update, Run::UpdateAll, Run::RecoverFromFile}) {
      SCOPED_TRACE("folder " + std::to_string(static_cast<int>(folder)) + ", run " + std::to_string(static_cast<int>(run)));
      if (folder != Folder::NotAFolder && !testing::PrivateMountNamespace())
        GTEST_SKIP() << "the read-only and full folders need root and a mount namespace of its own";
      AppRig rig(Qvs812("QV812A0009876", "0x0812", run == Run::RecoverFromFile));
      const fs::path state = rig.dir.path() / "state";
      const fs::path identityFile = rig.dir.path() / "given.identity";
      Put(identityFile, EncodeKeptIdentity(BlockOf(0x1234, 0x0A05, "QV812A0009876")));
      std::optional<testing::OverMount> mount;
      fs::create_directories(state);
      if (folder == Folder::NotAFolder) {
        Put(rig.dir.path() / "file", {1});
        rig.ctx.stateDirectory = rig.dir.path() / "file" / "state";
      } else if (folder == Folder::ReadOnly) {
        mount.emplace(testing::OverMount::ReadOnly(state));
      } else {
        mount.emplace(testing::OverMount::Small(state, 64 * 1024));
        ASSERT_TRUE(mount->ok());
        std::ofstream fill(state / "filler", std::ios::binary);
        const std::string chunk(4096, 'x');
        for (int i = 0; i < 64 && fill.write(chunk.data(), chunk.size()); ++i) fill.flush();
      }
      if (mount) {
        ASSERT_TRUE(mount->ok());
      }
      rig.Start();
      const V flash = rig.BridgeOf().flash()->data();
      Outcome o;
      if (run == Run::Update) {
        o = YesBtnClick(rig.ctx);
      } else if (run == Run::UpdateAll) {
        const size_t all[] = {0};
        const UpdateAllResult r = UpdateBridges(rig.ctx, all, {});
        ASSERT_EQ(r.bridges.size(), 1u);
        o = r.bridges[0].outcome;
      } else {
        RecoverOptions options;
        options.identityFile = identityFile;
        o = RunRecover(rig.ctx, 0, options);
      }
      EXPECT_NE(o.code, OutcomeCode::Success);
      EXPECT_NE(o.reason.find("could not be kept"), std::string::npos) << o.reason;
      EXPECT_NE(o.reason.find("nothing was written"), std::string::npos) << o.reason;
      EXPECT_EQ(Writes(rig), 0u);
      EXPECT_EQ(rig.BridgeOf().flash()->data(), flash);
      EXPECT_EQ(IdentityOf(rig), (Identity{0x284D, 0x0812, "QV812A0009876"}));
    }
  }
}

// `recover --identity FILE` takes only what it can trust, writes another bridge's identity only
// on purpose, and leaves the file the user named as it was, whatever the outcome.
TEST(IdentityFiles, AreCheckedAndNeverConsumed) {
  const ExchangeBlock own = BlockOf(0x1234, 0x0A05, "QV812A0009876");
  const ExchangeBlock other = BlockOf(0x1111, 0x2222, "QVOTHER0000009");
  V random(4096);
  std::mt19937 gen(4096);
  for (auto& x : random) x = static_cast<uint8_t>(gen());
  V flipped = EncodeKeptIdentity(own);
  flipped[16 + 600] ^= 0x01;
  V cut = EncodeKeptIdentity(own);
  cut.resize(2000);
  ExchangeBlock noIds = own;
  noIds.bytes[512] = noIds.bytes[513] = noIds.bytes[514] = noIds.bytes[515] = 0;
  ExchangeBlock tail = own;
  tail.bytes[4000] = 0x7F;
  struct Case {
    const char* what;
    V file;
    bool force;
    OutcomeCode code;
    const char* says;     // in the reason of a refusal
    Identity after;       // what the bridge carries afterwards
  } cases[] = {
      {"random 4096 bytes", random, false, OutcomeCode::BadInput, "not a plausible identity", {}},
      {"a kept identity cut short", cut, false, OutcomeCode::BadInput, "cut short", {}},
      {"a kept identity with a bit flipped", flipped, false, OutcomeCode::BadInput, "damaged", {}},
      {"an exchange file with zero ids", AsVector(Scrambled(noIds)), false, OutcomeCode::BadInput, "USB ids 0000:0000", {}},
      {"an exchange file with data after the serial", AsVector(Scrambled(tail)), false, OutcomeCode::BadInput,
       "data after the serial", {}},
      {"another bridge's kept identity", EncodeKeptIdentity(other), false, OutcomeCode::BadInput,
       "this bridge reports \"QV812A0009876\"", {}},
      {"another bridge's kept identity, forced", EncodeKeptIdentity(other), true, OutcomeCode::Success, nullptr,
       {0x1111, 0x2222, "QVOTHER0000009"}},
      {"this bridge's identity in the exchange format", AsVector(Scrambled(own)), false, OutcomeCode::Success, nullptr,
       {0x1234, 0x0A05, "QV812A0009876"}},
      {"this bridge's kept identity", EncodeKeptIdentity(own), false, OutcomeCode::Success, nullptr,
       {0x1234, 0x0A05, "QV812A0009876"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AppRig rig(Qvs812("QV812A0009876", "0x0812", true));
    rig.Start();
    ASSERT_NE(rig.ctx.facts->firmware, FirmwareState::Version) << "on its boot code";
    const Identity before = IdentityOf(rig);
    const fs::path file = rig.dir.path() / "named.identity";
    Put(file, c.file);
    RecoverOptions options;
    options.identityFile = file;
    options.force = c.force;
    const Outcome o = RunRecover(rig.ctx, 0, options);
    EXPECT_EQ(o.code, c.code) << o.reason;
    EXPECT_EQ(Bytes(file), c.file) << "the named file is never changed or removed";
    if (c.code == OutcomeCode::Success) {
      EXPECT_EQ(IdentityOf(rig), c.after);
      EXPECT_EQ(rig.BridgeOf().RunningVersion(), (std::array<uint8_t, 4>{'1', '2', '0', '3'}));
      EXPECT_TRUE(fs::is_empty(rig.dir.path() / "state")) << "the copy kept for the run is gone after the pass";
    } else {
      EXPECT_NE(o.reason.find(c.says), std::string::npos) << o.reason;
      EXPECT_EQ(Writes(rig), 0u);
      EXPECT_EQ(IdentityOf(rig), before);
    }
  }
}

// A serial number longer than the 20 characters the identity record carries is refused before
// anything is written; --force writes it cut, never inside a character.
TEST(SerialNumbers, TooLongIsRefusedOrWrittenCutOnPurpose) {
  const std::string twoByte = "\xC3\xA9";  // é
  struct Case {
    const char* what;
    std::string serial;
    bool force;
    bool passes;
    std::string written;
  } cases[] = {
      {"25 characters", "QV812A0001234567890ABCDEF", false, false, ""},
      {"25 characters, forced", "QV812A0001234567890ABCDEF", true, true, "QV812A0001234567890A"},
      {"20 characters", "QV812A0001234567890A", false, true, "QV812A0001234567890A"},
      {"20 characters and trailing spaces", "QV812A0001234567890A   ", false, true, "QV812A0001234567890A"},
      {"a character across the 20th byte, forced", "QV812A0001234567890" + twoByte + "XY", true, true,
       "QV812A0001234567890"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AppRig rig(Qvs812(c.serial));
    rig.Start();
    MainWindowState& s = rig.ctx.state;
    s.UpdateBusy = 1;
    const Outcome o = RunOneClick(rig.ctx, 0, OneClickOptions{c.force});
    s.UpdateBusy = 0;
    if (!c.passes) {
      EXPECT_EQ(o.code, OutcomeCode::Failed);
      EXPECT_NE(o.reason.find("has 25 characters; the bridge can keep 20"), std::string::npos) << o.reason;
      EXPECT_EQ(Writes(rig), 0u);
      EXPECT_EQ(rig.BridgeOf().NextSerial(), c.serial);
      continue;
    }
    ASSERT_EQ(o.code, OutcomeCode::Success) << o.reason;
    EXPECT_EQ(rig.BridgeOf().NextSerial(), c.written);
  }
}

// The recovery copy an erase kept is written back into the bridge the erase left on its boot code:
// the flash is as it was, and the bridge runs its firmware again with the ids it had.
TEST(RecoverImage, TheErasedBridgeTakesItsRecoveryCopyBack) {
  AppRig rig(Qvs812("QV812A0001234"));
  rig.Start();
  const V before = rig.BridgeOf().flash()->data();
  EngineeringOptions erase;
  erase.eraseOnly = true;
  erase.includeNvram = true;
  erase.stateDirectory = rig.ctx.stateDirectory;
  const EngineeringOutcome erased = RunEngineering(rig.ctx, 0, erase);
  ASSERT_EQ(erased.code(), OutcomeCode::Success) << erased.outcome.reason;
  ASSERT_FALSE(erased.recoveryFile.empty());
  EXPECT_EQ(Bytes(erased.recoveryFile), before) << "the whole flash was kept";
  rig.machine.Unplug(rig.Disk());
  rig.machine.Plug(rig.Disk());
  RefreshBtnClick(rig.ctx);
  ASSERT_EQ(rig.ctx.scan.devices.size(), 1u);
  ASSERT_NE(rig.ctx.facts->firmware, FirmwareState::Version) << "the erased bridge runs its boot code";
  EXPECT_EQ(rig.BridgeOf().mode(), sim::BridgeMode::Rom);

  // A file larger than the flash that answers from RAM is refused before anything is written.
  const fs::path tooLarge = rig.dir.path() / "too-large.bin";
  Put(tooLarge, V(before.size() + 1, 0xFF));
  rig.tap.requests.clear();
  const EngineeringOutcome refused = RunRecoverImage(rig.ctx, 0, tooLarge);
  EXPECT_EQ(refused.code(), OutcomeCode::BadInput) << refused.outcome.reason;
  EXPECT_NE(refused.outcome.reason.find("more than the bridge's 512 KiB flash"), std::string::npos)
      << refused.outcome.reason;
  EXPECT_TRUE(std::all_of(rig.BridgeOf().flash()->data().begin(), rig.BridgeOf().flash()->data().end(),
                          [](uint8_t b) { return b == 0xFF; }));

  rig.machine.Unplug(rig.Disk());
  rig.machine.Plug(rig.Disk());
  RefreshBtnClick(rig.ctx);
  const EngineeringOutcome back = RunRecoverImage(rig.ctx, 0, erased.recoveryFile);
  ASSERT_EQ(back.code(), OutcomeCode::Success) << back.outcome.reason;
  const V& now = rig.BridgeOf().flash()->data();
  const auto diff = std::mismatch(now.begin(), now.end(), before.begin());
  EXPECT_EQ(diff.first, now.end()) << "first difference at 0x" << std::hex << (diff.first - now.begin());
  EXPECT_EQ(rig.BridgeOf().mode(), sim::BridgeMode::Firmware);
  EXPECT_EQ(rig.BridgeOf().RunningVersion(), (std::array<uint8_t, 4>{'1', '2', '0', '1'}));
  EXPECT_EQ(IdentityOf(rig), (Identity{0x284D, 0x0812, "QV812A0001234"}));
  EXPECT_TRUE(fs::exists(erased.recoveryFile)) << "the copy stays";

  // Once it runs firmware again, `program` is the way to write an image.
  RefreshBtnClick(rig.ctx);
  EXPECT_EQ(RunRecoverImage(rig.ctx, 0, erased.recoveryFile).code(), OutcomeCode::NotOffered);
}

}  // namespace
}  // namespace qvfw::app
