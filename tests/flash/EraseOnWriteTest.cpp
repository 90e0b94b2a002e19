// Erase, backup and programming end to end: Run's core against emulated bridges, checked on the
// emulated flash itself and on the requests that went over the wire.

#include "flash/EraseOnWrite.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/Engineering.h"
#include "app/FirmwareChoice.h"
#include "flash/BankRecovery.h"
#include "codec/ImageChecksum.h"
#include "sim/FirmwareImage.h"
#include "sim/Scenario.h"
#include "support/AppRig.h"
#include "flash/FlashBench.h"

namespace qvfw::flash {
namespace {

using testing::EmulatedApp;
using namespace bench;

TEST(EraseOnWrite, ImageOf48KiBKeepsTheNvramOnAFlashWith64KiBBlocks) {
  // QVS876 over an MXIC part: the write's block erase at 0 clears 64 KiB, NVRAM at 0xC000 included.
  Bench b(13, "MXIC", 64);
  ASSERT_EQ(b.ctx.state.CurrentChipType, 13);
  const std::vector<uint8_t> image = Pattern(0xC000, 0x90);
  const app::EngineeringOutcome o = b.Run(b.Program(image));
  ASSERT_TRUE(IsSuccess(o));
  EXPECT_EQ(b.ctx.form.StatusEdit.text, "Programming Success!!");

  std::vector<uint8_t> want = image;
  codec::StoreImageChecksum(want, 0xC000);
  EXPECT_NE(want[0xBFFE] << 8 | want[0xBFFF], image[0xBFFE] << 8 | image[0xBFFF]);
  EXPECT_EQ(b.FlashRange(0, 0xC000), want);
  EXPECT_TRUE(codec::ImageChecksumHolds(b.Flash().data(), 0xC000));
  EXPECT_EQ(b.FlashRange(0xC000, 0xD000), b.Before(0xC000, 0xD000)) << "the device's NVRAM was lost";
  EXPECT_EQ(b.MessageTexts(), std::vector<std::string>{kPowerCycle});

  // The recovery copy is the flash as it was, and the outcome names it.
  ASSERT_FALSE(o.recoveryFile.empty());
  EXPECT_EQ(std::filesystem::path(o.recoveryFile).parent_path(), b.ctx.stateDirectory);
  EXPECT_EQ(ReadFile(o.recoveryFile), b.before);
}

TEST(EraseOnWrite, TwoBanksOnA128KiBFlash) {
  struct Case {
    uint32_t imageSize;
    bool secondHalfInBank1;
  };
  for (const Case c : {Case{0x10000, false}, Case{0x20000, true}}) {
    SCOPED_TRACE(c.imageSize);
    Bench b(13, "MXIC", 128);
    ASSERT_EQ(b.ctx.state.FlashSizeKiB, 128);
    const std::vector<uint8_t> image = Pattern(c.imageSize, 0x42);
    const app::EngineeringOutcome o = b.Run(b.Program(image));
    ASSERT_TRUE(IsSuccess(o));
    std::vector<uint8_t> bank0(image.begin(), image.begin() + 0x10000);
    std::copy_n(b.before.begin() + 0xC000, 0x1000, bank0.begin() + 0xC000);  // the kept NVRAM
    if (c.imageSize <= 0x10000) codec::StoreImageChecksum(bank0, 0xC000);
    EXPECT_EQ(b.FlashRange(0, 0x10000), bank0);
    std::vector<uint8_t> bank1 = bank0;
    if (c.secondHalfInBank1) bank1.assign(image.begin() + 0x10000, image.end());
    EXPECT_EQ(b.FlashRange(0x10000, 0x20000), bank1);
  }
}

TEST(EraseOnWrite, ShortImageIsProgrammedPaddedWithAValidChecksum) {
  Bench b(13, "MXIC", 64);
  const std::vector<uint8_t> image = Pattern(0x3000, 0x10);
  ASSERT_TRUE(IsSuccess(b.Run(b.Program(image))));
  std::vector<uint8_t> want(0xC000, 0);
  std::copy(image.begin(), image.end(), want.begin());
  codec::StoreImageChecksum(want, 0xC000);
  EXPECT_EQ(b.FlashRange(0, 0xC000), want);
  EXPECT_EQ(b.FlashRange(0xC000, 0xD000), b.Before(0xC000, 0xD000));
}

// Requests of the long flash write (DF .. FB): erase-mode byte, length, address.
struct LongWrite {
  uint8_t mode;
  uint32_t length, address;
};
std::vector<LongWrite> LongWrites(const testing::Tap& tap) {
  std::vector<LongWrite> out;
  for (const auto& r : tap.requests)
    if (r.cdb.size() >= 12 && r.cdb[0] == 0xDF && r.cdb[11] == 0xFB)
      out.push_back({r.cdb[1], uint32_t(r.cdb[2] << 16 | r.cdb[3] << 8 | r.cdb[4]),
                     uint32_t(r.cdb[8] << 16 | r.cdb[9] << 8 | r.cdb[10])});
  return out;
}

TEST(EraseOnWrite, RangeWriterPiecesAndEraseRequests) {
  // Sector unit 4 KiB, transfer unit 8 KiB, mode 1: pieces end on 4 KiB boundaries and every
  // sector gets exactly one erase request; the first piece at 0 is never above 4096 bytes.
  struct Case {
    uint8_t chip;
    const char* maker;
    uint8_t mode;
    bool separateErase;  // QVS812..818 send the erase as its own zero-length request
  };
  for (const Case c : {Case{13, "WINBOND", 1, false}, Case{15, "WINBOND", 1, true}, Case{13, "MXIC", 2, false}}) {
    SCOPED_TRACE(std::to_string(c.chip) + c.maker + std::to_string(c.mode));
    Bench b(c.chip, c.maker, 128);
    const size_t from = b.tap.requests.size();
    EngineeringOptions options;
    Target target{chips::ChipTypeOf(c.chip), 0, chips::FlashVendorOf(b.ctx.state.FlashVendorCode), 128, 0};
    struct NullHost final : Host {
      void SetStatus(std::string_view) override {}
      void AppendStatus(std::string_view) override {}
      void Message(std::string_view, std::string_view) override {}
      void Pump() override {}
      void EnterStage(Stage, uint32_t) override {}
      void Step() override {}
      void Critical(bool) override {}
      bool BufferProgram(const device::Device&, std::span<const uint8_t>) override { return false; }
      bool BufferRead(const device::Device&, std::span<uint8_t>) override { return false; }
      void StampRamDownloadHeader(std::span<uint8_t>) override {}
    } host;
    uint32_t hasNvram = 0;
    const device::Device dev = b.ctx.DeviceAt(0);
    Job job{dev, target, options, b.ctx.flash, host, hasNvram};
    job.settings.TransferUnit = 8192;
    job.settings.SectorCounter = job.settings.BlockCounter = 0;
    const std::vector<uint8_t> data = Pattern(0x20000, 3);
    ASSERT_TRUE(WriteFlashRange(job, 0, data, c.mode));
    EXPECT_EQ(b.FlashRange(0, 0x20000), data);

    testing::Tap tail(b.tap);
    tail.requests.assign(b.tap.requests.begin() + static_cast<long>(from), b.tap.requests.end());
    const auto writes = LongWrites(tail);
    ASSERT_FALSE(writes.empty());
    EXPECT_LE(writes.front().length, 4096u);
    EXPECT_EQ(writes.front().address, 0u);
    const uint32_t unit = c.mode == 1 ? job.settings.SectorEraseUnit : job.settings.BlockEraseUnit;
    std::vector<int> erases(0x20000 / unit, 0);
    for (const LongWrite& w : writes) {
      if (w.length > 0) {
        EXPECT_EQ(w.address / unit, (w.address + w.length - 1) / unit) << "crosses an erase unit";
      }
      const uint8_t m = w.mode & 0x7F;
      if (m != 0) {
        EXPECT_EQ(m, c.mode);
        ++erases[w.address / unit];
        EXPECT_EQ(w.address % unit, 0u);
        EXPECT_EQ(w.length == 0, c.separateErase);
      }
      EXPECT_EQ((w.mode & 0x80) != 0, w.address == 0 && m != 0 && target.vendor == chips::FlashVendor::Mxic);
    }
    for (size_t s = 0; s < erases.size(); ++s) EXPECT_EQ(erases[s], 1) << "unit " << s;
  }
}

TEST(EraseOnWrite, BackupFileNameAndLength) {
  struct Case {
    uint8_t chip;
    bool includeNvram;
    bool emptyName;
    size_t length;
    uint32_t firstByte;  // flash address of the file's first byte
  };
  for (const Case c : {Case{9, false, false, 0x10000 - 4096, 4096}, Case{9, true, false, 0x10000, 0},
                       Case{13, false, true, 0xC000, 0}, Case{13, true, false, 0x10000, 0}}) {
    SCOPED_TRACE(std::to_string(c.chip) + (c.includeNvram ? " nvram" : "") + (c.emptyName ? " default name" : ""));
    Bench b(c.chip, "WINBOND", 64);
    ASSERT_EQ(b.ctx.state.CurrentChipType, c.chip);
    app::EngineeringOptions o;
    o.backupOnly = true;
    o.includeNvram = c.includeNvram;
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(b.dir.path());
    if (!c.emptyName) o.backupFile = (b.dir.path() / "saved.bin").string();
    const app::EngineeringOutcome out = b.Run(o);
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(IsSuccess(out));
    EXPECT_EQ(b.ctx.form.StatusEdit.text, "Read flash and backup success!");
    const auto file = b.dir.path() / (c.emptyName ? "oldFlash.bak" : "saved.bin");
    const auto bytes = ReadFile(file);
    EXPECT_EQ(bytes.size(), c.length);
    EXPECT_EQ(bytes, b.Before(c.firstByte, c.firstByte + static_cast<uint32_t>(c.length)));
    EXPECT_EQ(b.MessageTexts(), c.emptyName ? std::vector<std::string>{"Message: Default backup firmware as OldFalsh.bak!"}
                                            : std::vector<std::string>{});
    EXPECT_TRUE(out.recoveryFile.empty()) << "a backup changes nothing";
  }
}

TEST(EraseOnWrite, BackupNeverWritesThroughALinkPlantedAtTheName) {
  Bench b(13, "WINBOND", 64);
  const auto victim = b.dir.path() / "victim";
  std::ofstream(victim) << "keep";
  const auto name = b.dir.path() / "backup.bin";
  std::filesystem::create_symlink(victim, name);
  app::EngineeringOptions o;
  o.backupOnly = true;
  o.backupFile = name.string();
  ASSERT_TRUE(IsSuccess(b.Run(o)));
  EXPECT_FALSE(std::filesystem::is_symlink(name));
  EXPECT_EQ(ReadFile(victim), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(ReadFile(name).size(), 0xC000u);
}

TEST(EraseOnWrite, EraseOnlyClearsTheFlashAndKeepsTheNvram) {
  struct Case {
    uint8_t chip;
    const char* maker;
    uint32_t nvram;
    const char* box;
  };
  for (const Case c : {Case{13, "MXIC", 0xC000, "Message: Chip Auto reset, Please wait device re-attached!"},
                       Case{9, "WINBOND", 0, "Message: Please Turn-Off the Power and Turn-On Again!"}}) {
    SCOPED_TRACE(c.chip);
    Bench b(c.chip, c.maker, 64);
    const app::EngineeringOutcome out = b.Run(b.Erase());
    ASSERT_TRUE(IsSuccess(out));
    b.ExpectPanel("Erase flash all success!", c.box);
    EXPECT_EQ(b.FlashRange(c.nvram, c.nvram + 0x1000), b.Before(c.nvram, c.nvram + 0x1000));
    for (uint32_t a = 0; a < 0x10000; ++a) {
      const bool nvram = a >= c.nvram && a < c.nvram + 0x1000;
      ASSERT_TRUE(nvram || b.Flash().data()[a] == 0xFF) << a;
    }
    EXPECT_EQ(ReadFile(out.recoveryFile), b.before);
  }
}

TEST(EraseOnWrite, FailuresAreNeverSuccess) {
  // A read-back that differs on every attempt: "Data compare fail !!" and no box.
  Bench b(13, "MXIC", 64);
  sim::Fault flip;
  flip.kind = sim::Fault::Kind::FlipBits;
  flip.address = 0x100;
  flip.times = 0;
  b.machine.AddFault(0, flip);
  const app::EngineeringOutcome o = b.Run(b.Program(Pattern(0x10000, 1)));
  EXPECT_EQ(o.code(), app::OutcomeCode::Failed);
  EXPECT_EQ(b.ctx.form.StatusEdit.text, "Data compare fail !!");
  EXPECT_NE(o.outcome.reason.find("0x100"), std::string::npos) << o.outcome.reason;
  EXPECT_TRUE(b.MessageTexts().empty());

  // A missing image changes nothing and keeps no copy.
  Bench c(13, "MXIC", 64);
  app::EngineeringOptions missing = c.Options();
  missing.firmwareFile = (c.dir.path() / "none.bin").string();
  const app::EngineeringOutcome m = c.Run(missing);
  EXPECT_EQ(m.code(), app::OutcomeCode::BadInput);
  EXPECT_EQ(c.ctx.form.StatusEdit.text, "Open File Error!!");
  EXPECT_EQ(c.Flash().data(), c.before);
  EXPECT_FALSE(std::filesystem::exists(c.ctx.stateDirectory));

  // An image longer than the flash is refused before anything is written, also when it is
  // longer by less than a KiB (the content buffer is the flash's size: it would not hold it).
  for (const uint32_t over : {4u, 1024u}) {
    Bench d(15, "MXIC", 512);
    const app::EngineeringOutcome big = d.Run(d.Program(Pattern(0x80000 + over, 1)));
    EXPECT_EQ(big.code(), app::OutcomeCode::BadInput) << over;
    EXPECT_EQ(d.ctx.form.StatusEdit.text, "FW size > flash size!!") << over;
    EXPECT_EQ(d.Flash().data(), d.before) << over;
  }
}

// The restart after programming or erasing: a bridge that restarts may drop off the bus before the
// host has its status, and the host then sees a transport error for a command that was carried
// out. Whether the bridge is still there tells a restart whose answer was lost from one that did
// not happen.
TEST(EraseOnWrite, TheRestartCountsWhenTheBridgeLeftEvenIfItsAnswerWasLost) {
  struct Case {
    const char* name;
    std::vector<const char*> faults;  // on FF 04 26
    bool erase;
    bool succeeds;
  };
  const Case cases[] = {
      {"answered", {}, false, true},
      {"answer lost, bridge restarted", {R"({"kind": "transportError", "cdbPrefix": "FF 04 26"})"}, false, true},
      {"answer lost, bridge restarted (erase)", {R"({"kind": "transportError", "cdbPrefix": "FF 04 26"})"}, true, true},
      {"refused", {R"({"kind": "fail", "cdbPrefix": "FF 04 26", "sense": "05 24 00"})"}, false, false},
      {"answer lost, bridge still there",
       {R"({"kind": "fail", "cdbPrefix": "FF 04 26"})", R"({"kind": "transportError", "cdbPrefix": "FF 04 26"})"},
       false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b(15, "MXIC", 512);
    const std::string before = b.machine.CurrentPath(0);
    for (const char* f : c.faults) b.machine.AddFault(0, sim::ParseFault(f));
    const app::EngineeringOutcome out = b.Run(c.erase ? b.Erase() : b.Program(Pattern(0x10000, 3)));
    EXPECT_EQ(out.outcome.Succeeded(), c.succeeds) << out.outcome.reason;
    const std::vector<std::string> messages = b.MessageTexts();
    b.clock.Sleep(5000);
    const bool restarted = b.machine.CurrentPath(0) != before;
    EXPECT_EQ(restarted, c.succeeds) << "a success means the bridge restarted into what was written";
    if (!c.succeeds) {
      EXPECT_NE(out.outcome.reason.find("did not take the reset command"), std::string::npos) << out.outcome.reason;
      ASSERT_FALSE(messages.empty());
      EXPECT_NE(messages.back().find("Turn-Off the Power"), std::string::npos) << messages.back();
    }
  }
}

// QVB787 over IEEE 1394: short writes of 256 bytes, the erase flag only on the pieces at 0 and
// 0x8000, one mark per 2 KiB, and the 1 KiB NVRAM at 0x8000 kept behind a 32 KiB image.
TEST(EraseOnWrite1394, ShortWritesAndTheNvramBehindA32KiBImage) {
  struct Case {
    uint32_t imageSize;
    std::vector<uint32_t> erasedAt;
  };
  for (const Case& c : {Case{0x6000, {0}}, Case{0x8000, {0}}, Case{0x10000, {0, 0x8000}}}) {
    SCOPED_TRACE(c.imageSize);
    Bench b(8, "WINBOND", 64, platform::Bus::Ieee1394);
    ASSERT_EQ(b.ctx.state.CurrentChipType, 8);
    const size_t from = b.tap.requests.size();
    const std::vector<uint8_t> image = Pattern(c.imageSize, 0x77);
    const app::EngineeringOutcome o = b.Run(b.Program(image));
    ASSERT_TRUE(IsSuccess(o));
    b.ExpectPanel("Programming Success!!", kPowerCycle);
    const uint32_t written = std::max<uint32_t>(c.imageSize, 0x8000);
    EXPECT_EQ(b.FlashRange(0, written), Padded(image, written));
    EXPECT_EQ(b.FlashRange(written, 0x10000), b.Before(written, 0x10000));
    std::vector<uint32_t> erasedAt;
    for (size_t i = from; i < b.tap.requests.size(); ++i) {
      const auto& cdb = b.tap.requests[i].cdb;
      if (cdb.size() < 12 || cdb[0] != 0xDF || cdb[11] != 0xFB) continue;
      EXPECT_LE(cdb[3] << 8 | cdb[4], 256);
      if (cdb[1] != 0) erasedAt.push_back(uint32_t(cdb[8] << 16 | cdb[9] << 8 | cdb[10]));
    }
    EXPECT_EQ(erasedAt, c.erasedAt);
    size_t marks = 0;
    for (const auto& n : b.shell.notices) marks += n.control == "StatusEdit" && n.appended == "." && n.text.rfind("Programming", 0) == 0;
    EXPECT_EQ(marks, written / 0x800);
  }
}

TEST(EraseOnWrite1394, EraseKeepsTheNvramAndOverUsbTheFamilyIsNotThisProcedure) {
  Bench b(8, "WINBOND", 64, platform::Bus::Ieee1394);
  const app::EngineeringOutcome out = b.Run(b.Erase());
  ASSERT_TRUE(IsSuccess(out));
  EXPECT_EQ(b.ctx.form.StatusEdit.text, "Erase flash all success!");
  EXPECT_EQ(b.FlashRange(0x8000, 0x8400), b.Before(0x8000, 0x8400));
  EXPECT_EQ(b.FlashRange(0, 0x8000), std::vector<uint8_t>(0x8000, 0xFF));
  EXPECT_EQ(b.FlashRange(0x8400, 0x10000), std::vector<uint8_t>(0x10000 - 0x8400, 0xFF));
  EXPECT_EQ(ReadFile(out.recoveryFile), b.before);

  // Over USB the family runs the whole-image procedure, whose erase keeps no NVRAM.
  Bench usb(8, "WINBOND", 64, platform::Bus::Usb);
  const app::EngineeringOutcome n = usb.Run(usb.Erase());
  ASSERT_TRUE(IsSuccess(n));
  EXPECT_EQ(usb.Flash().data(), std::vector<uint8_t>(0x10000, 0xFF));
  EXPECT_EQ(ReadFile(n.recoveryFile), usb.before);
}

// A QVS812's backup programmed back, by either path, leaves a bridge that boots the same firmware:
// the RAM-download header the programming stamps into each bank must not break the bank's seal.
TEST(EraseOnWrite, ABackupProgrammedBackBootsTheSameFirmware) {
  for (const bool buffer : {false, true}) {
    SCOPED_TRACE(buffer ? "buffer path" : "direct path");
    EmulatedApp rig;
    rig.AddBridge(sim::FamilyConfig(15), sim::FlashPreset("MXIC", 512));
    const std::vector<uint8_t> firmware = sim::GenerateFirmwareImage({15, 0, "1207", 0x40000, 4});
    std::copy(firmware.begin(), firmware.end(), rig.Flash().data().begin());
    rig.machine.BridgeAt(0)->PowerOn();
    rig.Start();
    ASSERT_EQ(rig.machine.BridgeAt(0)->mode(), sim::BridgeMode::Firmware);

    app::EngineeringOptions backup;
    backup.backupOnly = true;
    backup.backupFile = (rig.dir.path() / "backup.bin").string();
    backup.stateDirectory = rig.ctx.stateDirectory;
    ASSERT_TRUE(IsSuccess(app::RunEngineering(rig.ctx, 0, backup)));

    app::EngineeringOptions program;
    program.firmwareFile = backup.backupFile;
    if (buffer) {  // the bridge's buffer takes the two 128 KiB banks, not the whole flash
      const std::vector<uint8_t> whole = ReadFile(backup.backupFile);
      program.firmwareFile = (rig.dir.path() / "banks.bin").string();
      std::ofstream(program.firmwareFile, std::ios::binary).write(reinterpret_cast<const char*>(whole.data()), 0x40000);
    }
    program.readWriteBuffer = buffer;
    program.stateDirectory = rig.ctx.stateDirectory;
    const app::EngineeringOutcome o = app::RunEngineering(rig.ctx, 0, program);
    ASSERT_TRUE(IsSuccess(o));
    rig.machine.BridgeAt(0)->PowerOn();
    EXPECT_EQ(rig.machine.BridgeAt(0)->mode(), sim::BridgeMode::Firmware);
    const auto version = rig.machine.BridgeAt(0)->RunningVersion();
    EXPECT_EQ(std::string(version.begin(), version.end()), "1207");
  }
}

TEST(UnplugAtEveryCommand, ProgramQvs876) { UnplugAtEveryCommand({"program QVS876", 13, "MXIC", 64, false}); }
TEST(UnplugAtEveryCommand, EraseQvs876) { UnplugAtEveryCommand({"erase QVS876", 13, "MXIC", 64, true}); }
TEST(UnplugAtEveryCommand, ProgramQvs812) { UnplugAtEveryCommand({"program QVS812", 15, "WINBOND", 128, false}); }
TEST(UnplugAtEveryCommand, EraseQvb787Over1394) { UnplugAtEveryCommand({"erase QVB787 1394", 8, "WINBOND", 64, true}); }

// Long flash reads (DF .. FA) the tap saw.
size_t FlashReads(const testing::Tap& tap) {
  size_t n = 0;
  for (const auto& r : tap.requests) n += r.cdb.size() >= 12 && r.cdb[0] == 0xDF && r.cdb[11] == 0xFA ? 1 : 0;
  return n;
}

// A bank that passes the validity check: signature block at 0xBFF0 and the checksum.
std::vector<uint8_t> ValidBank(const char* key, uint8_t seed, uint32_t codeEnd = 0xC000) {
  std::vector<uint8_t> bank = Pattern(0x10000, seed);
  const uint8_t block[] = {0x55, 0xAA, 0xAA, 0x55, uint8_t(key[0]), uint8_t(key[1]), uint8_t(key[2]), 0, 0, 0};
  std::copy(std::begin(block), std::end(block), bank.begin() + 0xBFF0);
  codec::StoreImageChecksum(bank, codeEnd);
  return bank;
}

TEST(BankRecovery, BankImageValidity) {
  const std::vector<uint8_t> good = ValidBank("876", 1);
  EXPECT_TRUE(BankImageValid(good, chips::ChipType::QVS876));
  EXPECT_FALSE(BankImageValid(good, chips::ChipType::QVS879)) << "another family's key";
  EXPECT_FALSE(BankImageValid(good, chips::ChipType::QVB788)) << "not the storage line";
  EXPECT_TRUE(BankImageValid(ValidBank("879", 2, 0x8000), chips::ChipType::QVS879));
  std::vector<uint8_t> broken = good;
  broken[0x2000] ^= 0x40;
  EXPECT_FALSE(BankImageValid(broken, chips::ChipType::QVS876));
  broken = good;
  broken[0xBFF2] = 0;
  EXPECT_FALSE(BankImageValid(broken, chips::ChipType::QVS876));
}

// The check of a listed dual-bank device repairs it once: bank contents before, after, and what
// the status field showed.
TEST(BankRecovery, OneValidBankIsCopiedOverTheOther) {
  const std::vector<uint8_t> a = ValidBank("876", 3), b = ValidBank("876", 4), blank(0x10000, 0xFF);
  struct Case {
    const char* name;
    uint32_t kib;
    std::vector<uint8_t> bank0, bank1;
    std::vector<uint8_t> want0, want1;
    const char* status;  // nullptr: no recovery text
    // The bank the bridge boots before the check and after a power cycle (nothing: its boot ROM).
    std::optional<uint32_t> bootsBefore, bootsAfter;
  };
  const Case cases[] = {
      {"bank 1 blank", 128, a, blank, a, a, "FW Recovery successful!!", 0, 0},
      {"bank 0 blank", 128, blank, b, b, b, "FW Recovery successful!!", 0x10000, 0},
      {"both valid", 128, a, b, a, b, nullptr, 0, 0},
      {"both blank", 128, blank, blank, blank, blank, nullptr, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EmulatedApp rig;
    sim::BridgeConfig config = sim::FamilyConfig(13);
    config.bootCheck = false;
    rig.AddBridge(config, sim::FlashPreset("MXIC", c.kib));
    auto& d = rig.Flash().data();
    std::copy(c.bank0.begin(), c.bank0.end(), d.begin());
    std::copy(c.bank1.begin(), c.bank1.end(), d.begin() + 0x10000);
    const std::vector<uint8_t> before = d;
    rig.machine.BridgeAt(0)->PowerOn();
    EXPECT_EQ(rig.machine.BridgeAt(0)->BootedBank(), c.bootsBefore);
    rig.Start();
    rig.machine.BridgeAt(0)->PowerOn();
    EXPECT_EQ(rig.machine.BridgeAt(0)->BootedBank(), c.bootsAfter);
    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 0x10000), c.want0);
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 0x10000, d.begin() + 0x20000), c.want1);
    bool shown = false;
    for (const auto& n : rig.shell.notices) shown = shown || (n.control == "StatusEdit" && c.status && n.text == c.status);
    EXPECT_EQ(shown, c.status != nullptr);
    EXPECT_EQ(rig.ctx.state.DeviceTable[0].RecoveryDone, 1u);
    const bool copied = std::filesystem::exists(rig.ctx.stateDirectory);
    EXPECT_EQ(copied, c.status != nullptr) << "a recovery copy exactly when a bank is rewritten";
    if (copied) {
      const auto file = std::filesystem::directory_iterator(rig.ctx.stateDirectory)->path();
      EXPECT_EQ(ReadFile(file), before);
    }
    // A second check without a new scan reads nothing from the banks.
    const size_t reads = FlashReads(rig.tap);
    rig.Flash().data()[0x10000] ^= 0xFF;
    app::UpdateBtnCheck(rig.ctx);
    EXPECT_EQ(FlashReads(rig.tap), reads);
  }
}

TEST(BankRecovery, SingleBankFlashIsNotRead) {
  EmulatedApp rig;
  sim::BridgeConfig config = sim::FamilyConfig(13);
  config.bootCheck = false;
  rig.AddBridge(config, sim::FlashPreset("MXIC", 64));
  const std::vector<uint8_t> a = ValidBank("876", 3);
  std::copy(a.begin(), a.end(), rig.Flash().data().begin());
  rig.Start();
  EXPECT_EQ(FlashReads(rig.tap), 0u);
  EXPECT_EQ(rig.ctx.state.DeviceTable[0].RecoveryDone, 0u);
}

}  // namespace
}  // namespace qvfw::flash
