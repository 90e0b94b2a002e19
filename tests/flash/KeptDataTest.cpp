// What a run keeps of a device when something goes wrong: facts that one refused or lost answer
// bent stop it before anything changes; the NVRAM it keeps is read twice and goes back after the
// erase whatever the check after it says; a blank NVRAM is not kept silently while an earlier
// recovery copy holds the real one; the recovery copy covers the whole flash; backups go only
// into regular files; the buffer path takes only an image its buffer holds.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/DeviceFacts.h"
#include "app/Engineering.h"
#include "app/OneClick.h"
#include "flash/FlashBench.h"

namespace qvfw::flash::bench {
namespace {

// A flash write (DF .. FB, long or short) that carries an erase request.
bool IsEraseRequest(const testing::TappedRequest& r) {
  return r.cdb.size() == 12 && r.cdb[0] == 0xDF && r.cdb[11] == 0xFB && (r.cdb[1] & 0x07) != 0;
}

bool Mentions(const std::vector<std::string>& missing, const std::string& fact) {
  for (const std::string& m : missing)
    if (m.rfind(fact, 0) == 0) return true;
  return false;
}

// The faults of the report, each at the inspection: what is missing, and that the run
// stops before anything changed.
TEST(IncompleteFacts, NoRunStartsOnFactsThatOneFaultBent) {
  struct Case {
    const char* what;
    uint8_t chip;
    const char* maker;
    uint32_t kib;
    uint8_t revision;
    sim::Fault::Kind kind;
    std::vector<uint8_t> prefix;  // the command the fault hits, its first time
    const char* fact;
  };
  const Case cases[] = {
      {"QVB788 flash maker refused", 9, "EON", 256, 0, sim::Fault::Kind::FailCommand, {0xFF, 0x04, 0x23}, "the flash maker"},
      {"QV40776E model text refused", 30, "MXIC", 64, 1, sim::Fault::Kind::FailCommand, {0xFF, 0x04, 0x30}, "the chip model"},
      {"QVS876 flash id lost", 13, "WINBOND", 128, 0, sim::Fault::Kind::TransportError, {0xFF, 0x04, 0x21}, "the flash size"},
      {"QVS812 flash id refused", 15, "MXIC", 512, 0, sim::Fault::Kind::FailCommand, {0xFF, 0x04, 0x15, 0x04, 0x9F}, "the flash size"},
  };
  for (const Case& c : cases) {
    for (const bool erase : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (erase ? ", erase" : ", program"));
      EmulatedApp b;
      sim::BridgeConfig config = sim::FamilyConfig(c.chip, c.revision);
      config.bootCheck = false;
      b.AddBridge(config, sim::FlashPreset(c.maker, c.kib));
      b.Flash().data() = Pattern(c.kib * 1024, 0x31);
      const std::vector<uint8_t> before = b.Flash().data();
      b.Start();
      // The device inspected again (as choosing it in the list does), the fault at its command.
      sim::Fault f;
      f.kind = c.kind;
      f.cdbPrefix = c.prefix;
      b.machine.AddFault(0, f);
      b.ctx.facts = app::InspectDevice(b.ctx, b.ctx.scan.devices.at(0), false);
      EXPECT_TRUE(Mentions(b.ctx.facts->missing, c.fact)) << ::testing::PrintToString(b.ctx.facts->missing);
      app::EngineeringOptions o;
      o.stateDirectory = b.ctx.stateDirectory;
      o.eraseOnly = erase;
      o.firmwareFile = (b.dir.path() / "image.bin").string();
      b.dir.Write("image.bin", std::string(0x8000, '\x5A'));
      const app::EngineeringOutcome out = app::RunEngineering(b.ctx, 0, o);
      EXPECT_EQ(out.code(), app::OutcomeCode::Failed);
      EXPECT_NE(out.outcome.reason.find("could not identify " + std::string(c.fact)), std::string::npos)
          << out.outcome.reason;
      EXPECT_NE(out.outcome.reason.find("nothing was written"), std::string::npos);
      EXPECT_EQ(b.Flash().data(), before);
      EXPECT_TRUE(out.recoveryFile.empty());
    }
  }
}

// The device answers otherwise just before the run than at the inspection (here one bit of the
// check's INQUIRY turns a QVB788's "q788" into a QVB789's "q789", or the flash id of a QVS876 now
// tells 512 KiB for 128): nothing changes.
TEST(IncompleteFacts, TheCheckBeforeTheRunStopsOnAnyDifference) {
  struct Case {
    const char* what;
    uint8_t chip;
    const char* maker;
    uint32_t kib;
    std::vector<uint8_t> prefix;
    uint32_t offset;
    uint8_t mask;
  };
  const Case cases[] = {{"chip id", 9, "EON", 256, {0x12}, 39, 0x01},
                        {"flash capacity", 13, "WINBOND", 128, {0xFF, 0x04, 0x21}, 2, 0x02}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bench b(c.chip, c.maker, c.kib);
    const std::vector<uint8_t> image = Pattern(0xC000, 0x44);
    sim::Fault f;
    f.kind = sim::Fault::Kind::FlipReply;
    f.cdbPrefix = c.prefix;
    f.address = c.offset;
    f.mask = c.mask;
    b.machine.AddFault(0, f);
    const app::EngineeringOutcome out = b.Run(b.Program(image));
    EXPECT_EQ(out.code(), app::OutcomeCode::Failed);
    EXPECT_NE(out.outcome.reason.find("did not answer as when it was identified"), std::string::npos)
        << out.outcome.reason;
    EXPECT_EQ(b.Flash().data(), b.before);
  }
}

// One turned bit in one read of the NVRAM: the run stops before anything changes, where before it
// wrote the bit back as the device's own.
TEST(KeptNvram, ReadTwiceAndTheReadsMustAgree) {
  struct Case {
    const char* what;
    uint8_t chip;
    bool erase;
    uint32_t nvram;      // the flash address of the NVRAM byte that turns
    uint32_t imageSize;
    platform::Bus bus = platform::Bus::Usb;
  };
  const Case cases[] = {
      {"QVB788 erase", 9, true, 0x0000, 0},
      {"QVB784 program", 7, false, 0x0000, 0x5000},
      {"QVS876 program", 13, false, 0xC000, 0xC000},
      {"QV40778 program, small image", 1, false, 0x8000, 0x5000},
      {"QVB787 over 1394, erase", 8, true, 0x8000, 0, platform::Bus::Ieee1394},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bench b(c.chip, "WINBOND", 64, c.bus, c.chip == 8 ? 1 : 0);
    sim::Fault flip;
    flip.kind = sim::Fault::Kind::FlipBits;
    flip.address = c.nvram;
    flip.times = 1;
    b.machine.AddFault(0, flip);
    const app::EngineeringOutcome out = b.Run(c.erase ? b.Erase() : b.Program(Pattern(c.imageSize, 0x21)));
    EXPECT_EQ(out.code(), app::OutcomeCode::Failed);
    EXPECT_EQ(b.ctx.form.StatusEdit.text, "Backup NVRAM command fail!");
    EXPECT_NE(out.outcome.reason.find("two reads of the NVRAM region differ"), std::string::npos) << out.outcome.reason;
    EXPECT_EQ(b.Flash().data(), b.before);
  }
}

// The erase was taken, but the blank check could not be read: the NVRAM still goes back.
TEST(KeptNvram, GoesBackWhenTheBlankCheckCannotBeRead) {
  struct Case {
    const char* what;
    uint8_t chip;
    uint32_t nvram, nvramSize;
    platform::Bus bus;
  };
  const Case cases[] = {
      {"QVB788", 9, 0, 4096, platform::Bus::Usb},
      {"QVS876", 13, 0xC000, 4096, platform::Bus::Usb},
      {"QVB787 over 1394", 8, 0x8000, 1024, platform::Bus::Ieee1394},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bench b(c.chip, "WINBOND", 64, c.bus, c.chip == 8 ? 1 : 0);
    // Once the erase was sent, every flash read (DF 10) is refused.
    bool erased = false;
    b.tap.after = [&](const testing::TappedRequest& r) {
      if (!erased && IsEraseRequest(r)) {
        erased = true;
        b.FailAlways(0, {0xDF, 0x10});
      }
    };
    const app::EngineeringOutcome out = b.Run(b.Erase());
    b.tap.after = nullptr;
    EXPECT_EQ(out.code(), app::OutcomeCode::Failed);
    EXPECT_EQ(b.ctx.form.StatusEdit.text, "Read command fail!");
    EXPECT_NE(out.outcome.reason.find("its NVRAM was written back"), std::string::npos) << out.outcome.reason;
    EXPECT_EQ(b.FlashRange(c.nvram, c.nvram + c.nvramSize), b.Before(c.nvram, c.nvram + c.nvramSize));
    EXPECT_EQ(ReadFile(out.recoveryFile), b.before);
  }
}

// An erase whose NVRAM did not go back leaves it blank; the next run says that the first copy
// holds it, and takes it from there when asked to.
TEST(KeptNvram, ABlankNvramIsTakenFromTheCopyThatHoldsIt) {
  Bench b(9, "EON", 256);
  const std::vector<uint8_t> nvram = b.Before(0, 4096);
  // The first erase: the NVRAM write after it is refused.
  bool erased = false;
  b.tap.after = [&](const testing::TappedRequest& r) {
    if (!erased && IsEraseRequest(r)) {
      erased = true;
      b.FailAlways(0, {0xDF, 0x00});
    }
  };
  const app::EngineeringOutcome first = b.Run(b.Erase());
  b.tap.after = nullptr;
  b.machine.ClearFaults(0);
  ASSERT_EQ(first.code(), app::OutcomeCode::Failed);
  ASSERT_EQ(b.ctx.form.StatusEdit.text, "Write NVRAM back command fail!");
  ASSERT_EQ(b.FlashRange(0, 4096), std::vector<uint8_t>(4096, 0xFF));
  ASSERT_EQ(ReadFile(first.recoveryFile), b.before);

  // The second: the blank NVRAM is not kept with a success; the copy is named.
  const std::vector<uint8_t> blank = b.Flash().data();
  const app::EngineeringOutcome second = b.Run(b.Erase());
  EXPECT_EQ(second.code(), app::OutcomeCode::BadInput);
  EXPECT_EQ(b.ctx.form.StatusEdit.text, "NVRAM blank, nothing written!");
  EXPECT_NE(second.outcome.reason.find("--nvram-from " + first.recoveryFile), std::string::npos) << second.outcome.reason;
  EXPECT_EQ(b.Flash().data(), blank);

  // The window's user agrees to take it.
  b.shell.answers.push_back(true);
  const app::EngineeringOutcome agreed = b.Run(b.Erase());
  ASSERT_TRUE(IsSuccess(agreed));
  EXPECT_EQ(b.FlashRange(0, 4096), nvram);

  // The copy named explicitly, on a device whose NVRAM is not blank: it is taken all the same.
  b.Flash().data()[5] ^= 0xFF;
  app::EngineeringOptions o = b.Erase();
  o.nvramFrom = first.recoveryFile;
  ASSERT_TRUE(IsSuccess(b.Run(o)));
  EXPECT_EQ(b.FlashRange(0, 4096), nvram);

  // A file that does not reach the NVRAM, or whose NVRAM is blank, is refused before anything.
  const std::vector<uint8_t> now = b.Flash().data();
  for (const std::string& bad : {b.dir.Write("short.bin", std::string(100, 'x')).string(),
                                 b.dir.Write("blank.bin", std::string(0x40000, '\xFF')).string()}) {
    o.nvramFrom = bad;
    const app::EngineeringOutcome refused = b.Run(o);
    EXPECT_EQ(refused.code(), app::OutcomeCode::BadInput);
    EXPECT_EQ(b.ctx.form.StatusEdit.text, "Open NVRAM File Error!!");
    EXPECT_EQ(b.Flash().data(), now);
  }
}

// The recovery copy is the whole flash for every family whose whole-chip erase clears it, sized
// from the facts or from the flash's JEDEC answer; without a size the run refuses unless told to
// keep no copy.
TEST(RecoveryCopy, CoversTheWholeFlash) {
  struct Case {
    const char* what;
    uint8_t chip;
    const char* maker;
    uint32_t kib;
    uint8_t revision;
  };
  const Case cases[] = {
      {"QVB788 on EON", 9, "EON", 256, 0},
      {"QVB784 on SST", 7, "SST", 2048, 2},
      {"QV40778 on PMC", 1, "PMC", 64, 2},
      {"QVS810 on GigaDevice", 26, "GIGADEVICE", 512, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bench b(c.chip, c.maker, c.kib, platform::Bus::Usb, c.revision);
    const app::EngineeringOutcome out = b.Run(b.Erase());
    ASSERT_TRUE(IsSuccess(out));
    EXPECT_EQ(ReadFile(out.recoveryFile), b.before);
  }
  {
    SCOPED_TRACE("a flash that does not tell its size");
    Bench b(9, "EON", 256);
    b.FailAlways(0, {0xFF, 0x04, 0x20});  // the raw SPI sequence that carries the id query
    const app::EngineeringOutcome out = b.Run(b.Erase());
    EXPECT_EQ(out.code(), app::OutcomeCode::Failed);
    EXPECT_EQ(b.ctx.form.StatusEdit.text, "Flash size unknown!!");
    EXPECT_NE(out.outcome.reason.find("--no-backup"), std::string::npos);
    EXPECT_EQ(b.Flash().data(), b.before);
    app::EngineeringOptions o = b.Erase();
    o.skipRecovery = true;
    EXPECT_TRUE(IsSuccess(b.Run(o)));
  }
}

// A backup goes into a regular file only: a device, a FIFO, a socket, a folder, or a link to one
// is refused and left as it was.
TEST(Backup, OnlyIntoARegularFile) {
  Bench b(13, "WINBOND", 64);
  const std::filesystem::path dir = b.dir.path();
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(dir / "folder");
  std::filesystem::create_symlink("/dev/null", dir / "null-link");
  std::filesystem::create_symlink(dir / "fifo", dir / "fifo-link");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (dir / "sock").string();
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  struct Case {
    const char* what;
    std::filesystem::path target;
    std::filesystem::file_type type;  // what it must still be afterwards
    bool link;
  };
  const Case cases[] = {
      {"a character device", "/dev/null", std::filesystem::file_type::character, false},
      {"a FIFO", dir / "fifo", std::filesystem::file_type::fifo, false},
      {"a folder", dir / "folder", std::filesystem::file_type::directory, false},
      {"a socket", dir / "sock", std::filesystem::file_type::socket, false},
      {"a link to a device", dir / "null-link", std::filesystem::file_type::character, true},
      {"a link to a FIFO", dir / "fifo-link", std::filesystem::file_type::fifo, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    app::EngineeringOptions o = b.Options();
    o.backupOnly = true;
    o.backupFile = c.target.string();
    const app::EngineeringOutcome out = b.Run(o);
    EXPECT_EQ(out.code(), app::OutcomeCode::BadInput);
    EXPECT_EQ(b.ctx.form.StatusEdit.text, "Open Backup File Error!!");
    EXPECT_NE(out.outcome.reason.find("not a regular file"), std::string::npos) << out.outcome.reason;
    EXPECT_EQ(std::filesystem::status(c.target).type(), c.type);
    EXPECT_EQ(std::filesystem::is_symlink(c.target), c.link);
  }
  ::close(sock);
  // A regular file (and a link to one) still takes the backup.
  b.dir.Write("old.bin", "old");
  app::EngineeringOptions o = b.Backup("old.bin");
  ASSERT_TRUE(IsSuccess(b.Run(o)));
  EXPECT_EQ(ReadFile(dir / "old.bin"), b.Before(0, 0xC000));
}

// The buffer path takes an image its download buffer holds whole, or nothing: a QVS812's own
// 512 KiB flash is refused before the erase, and so is a backup the buffer cannot read whole.
TEST(BufferPath, RefusesWhatTheBufferDoesNotHold) {
  Bench b(15, "MXIC", 512);
  app::EngineeringOptions program = b.Program(b.before);
  program.readWriteBuffer = true;
  const app::EngineeringOutcome out = b.Run(program);
  EXPECT_EQ(out.code(), app::OutcomeCode::BadInput);
  EXPECT_EQ(b.ctx.form.StatusEdit.text, "FW size > flash size!!");
  EXPECT_NE(out.outcome.reason.find("download buffer (256 KiB)"), std::string::npos) << out.outcome.reason;
  EXPECT_TRUE(out.recoveryFile.empty());
  EXPECT_EQ(b.Flash().data(), b.before);

  app::EngineeringOptions backup = b.Backup("buffer.bin");
  backup.readWriteBuffer = true;
  const app::EngineeringOutcome read = b.Run(backup);
  EXPECT_EQ(read.code(), app::OutcomeCode::BadInput);
  EXPECT_FALSE(std::filesystem::exists(b.dir.path() / "buffer.bin"));
}

// The identity the one-click update keeps (configuration area, USB ids, serial number) is read
// twice: one bit turned in one of the reads stops the update before anything is written, where
// before it was written back as the bridge's own.
TEST(KeptIdentity, ReadTwiceAndTheReadsMustAgree) {
  struct Case {
    const char* what;
    std::vector<uint8_t> prefix;
    uint32_t offset;  // a byte of the reply that the identity keeps
    const char* says;
  };
  const Case cases[] = {
      {"configuration area", {0x3C, 0x01, 0x01}, 1536 + 20, "two reads of the bridge's configuration area differ"},
      {"USB ids", {0x12, 0x01, 0xC3}, 9, "two reads of the bridge's USB ids differ"},
      {"serial number", {0x12, 0x01, 0x80}, 6, "two reads of the bridge's serial number differ"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::AppRig rig(testing::OneBridge());
    rig.Start();
    ASSERT_TRUE(rig.ctx.form.YesBtn.enabled);
    const size_t from = rig.tap.requests.size();
    sim::Fault flip;
    flip.kind = sim::Fault::Kind::FlipReply;
    flip.cdbPrefix = c.prefix;
    flip.address = c.offset;
    flip.mask = 0x08;
    rig.machine.AddFault(0, flip);
    const app::Outcome o = app::YesBtnClick(rig.ctx);
    EXPECT_EQ(o.code, app::OutcomeCode::Failed);
    EXPECT_NE(o.reason.find(c.says), std::string::npos) << o.reason;
    size_t writes = 0;
    for (size_t i = from; i < rig.tap.requests.size(); ++i) {
      const testing::TappedRequest& r = rig.tap.requests[i];
      writes += r.StartsWith({0x3B}) || r.StartsWith({0xC3}) || IsEraseRequest(r) ? 1 : 0;
    }
    EXPECT_EQ(writes, 0u) << "nothing is written";
  }
}

}  // namespace
}  // namespace qvfw::flash::bench
