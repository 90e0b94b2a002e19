// The firmware-choice check and the Load File action against emulated bridges: the version
// text of each family and when it gives way to "Internal code", the chip and flash fields, the
// options shown, and when Run may be pressed.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/DeviceList.h"
#include "app/FirmwareChoice.h"
#include "sim/FirmwareImage.h"
#include "support/AppRig.h"

namespace qvfw::app {
namespace {

using Bytes = std::vector<uint8_t>;
using platform::Bus;
using sim::BridgeConfig;
using sim::FamilyConfig;
using testing::EmulatedApp;

// A key block: the full marker and three characters.
Bytes KeyBlock(const char* key) { return {0x55, 0xAA, 0xAA, 0x55, uint8_t(key[0]), uint8_t(key[1]), uint8_t(key[2])}; }

void Put(std::vector<uint8_t>& flash, size_t at, const Bytes& bytes) { std::copy(bytes.begin(), bytes.end(), flash.begin() + at); }

void Version(BridgeConfig& c, std::initializer_list<uint8_t> bytes12) {
  size_t i = 12;
  for (uint8_t b : bytes12) c.chipInfo[i++] = b;
}

// A storage-line bridge reports the version of the firmware it booted; with no bootable bank in
// its flash its boot ROM runs and reports none. This puts a bootable image of `chip` in the flash.
std::function<void(EmulatedApp&)> Booting(uint8_t chip) {
  return [chip](EmulatedApp& a) {
    const Bytes image = sim::GenerateFirmwareImage({chip, 0, "", 0x10000, 1});
    std::copy(image.begin(), image.end(), a.Flash().data().begin());
    a.machine.BridgeAt(0)->PowerOn();
  };
}

struct VersionRow {
  const char* what;
  std::function<BridgeConfig()> config;
  std::function<void(EmulatedApp&)> setup;  // flash contents, faults; may be empty
  const char* version;
  const char* status = "";
};

TEST(FirmwareChoice, VersionTextOfEveryFamilyAndTheInternalCodeRule) {
  const VersionRow rows[] = {
      {"default, 16 bytes", [] { return FamilyConfig(3); }, {}, "1.07.03"},
      {"default, 12 bytes", [] { auto c = FamilyConfig(3); c.chipInfoLength = 12; return c; }, {}, "1.05"},
      {"version only", [] { return FamilyConfig(2); }, {}, "1.07.03"},
      {"gated version at level D5", [] { return FamilyConfig(6); }, {}, "1.07.03"},
      {"9 with its key at flash 0x1000", [] { return FamilyConfig(9); },
       [](EmulatedApp& a) { Put(a.Flash().data(), 0x1000, KeyBlock("781")); }, "1.05.01.07.03"},
      {"9 with key 788", [] { return FamilyConfig(9); },
       [](EmulatedApp& a) { Put(a.Flash().data(), 0x1000, KeyBlock("788")); }, "1.05.01.07.03"},
      {"9 without key", [] { return FamilyConfig(9); }, {}, "Internal code"},
      {"9 with a listed internal version",
       [] { auto c = FamilyConfig(9); c.chipInfo[6] = 7; c.chipInfo[7] = 7; Version(c, {0, 16, 0}); return c; },
       [](EmulatedApp& a) { Put(a.Flash().data(), 0x1000, KeyBlock("781")); }, "Internal code"},
      {"9 without flag bit 2", [] { auto c = FamilyConfig(9); c.memory[0x7038] = {0, 0, 0x11, 0}; return c; },
       [](EmulatedApp& a) { Put(a.Flash().data(), 0x1000, KeyBlock("781")); }, "Internal code"},
      {"11: two digits everywhere", [] { auto c = FamilyConfig(11); c.chipInfo[10] = 4; c.chipInfo[11] = 2; return c; }, {},
       "04.02.01.07.03"},
      {"26 without the memory probe", [] { return FamilyConfig(26); }, {}, "1.05.01.07.03"},
      {"26 with the memory probe", [] { auto c = FamilyConfig(26); c.memoryForceSet[0x506A] = 1; return c; }, {},
       "1.05.01.07.02"},
      {"12 with its key", [] { return FamilyConfig(12); },
       [](EmulatedApp& a) { Put(a.Flash().data(), 0x1000, KeyBlock("882")); }, "1.05.01.07.03"},
      {"12 without flag bit 4", [] { auto c = FamilyConfig(12); c.memory[0x7038] = {0, 0, 0x05, 0}; return c; },
       [](EmulatedApp& a) { Put(a.Flash().data(), 0x1000, KeyBlock("882")); }, "Internal code"},
      {"14 with the alternate block: characters",
       [] { auto c = FamilyConfig(14); Version(c, {'0', '1', '0', '2'}); return c; }, Booting(14), "0.1.0.2"},
      {"14 without it: numbers", [] { auto c = FamilyConfig(14); c.answersChipInfoAlt = false; return c; }, Booting(14),
       "01.07.03.00"},
      {"14 at 00.00.00.01 with parameter byte 19 clear",
       [] { auto c = FamilyConfig(14); c.answersChipInfoAlt = false; c.parameters[19] = 0; Version(c, {0, 0, 0, 1});
            return c; }, Booting(14), "Internal code"},
      {"14 at another version with parameter byte 19 clear",
       [] { auto c = FamilyConfig(14); c.answersChipInfoAlt = false; c.parameters[19] = 0; return c; }, Booting(14),
       "01.07.03.00"},
      {"14 running its boot ROM (blank flash)",
       [] { auto c = FamilyConfig(14); c.answersChipInfoAlt = false; return c; }, {}, "00.00.00.00"},
      {"15 characters", [] { return testing::Qvs812WithVersion(2, {'1', '2', '0', '1'}); }, {}, "1.2.0.1"},
      {"15 numbers", [] { return testing::Qvs812WithVersion(1, {1, 2, 0, 1}); }, {}, "01.02.00.01"},
      {"15 with parameter byte 19 clear",
       [] { auto c = testing::Qvs812WithVersion(2, {'1', '2', '0', '1'}); c.parameters[19] = 0; return c; }, {},
       "Internal code"},
      {"13 with parameter byte 19 set", [] { return FamilyConfig(13); }, Booting(13), "1.07.03"},
      {"13 with parameter byte 19 clear", [] { auto c = FamilyConfig(13); c.parameters[19] = 0; return c; },
       Booting(13), "Internal code"},
      {"13 without parameters: key at flash 0xBFF0", [] { auto c = FamilyConfig(13); c.parameters[8] = 0; return c; },
       Booting(13), "1.07.03"},
      {"13 without parameters or key", [] { auto c = FamilyConfig(13); c.parameters[8] = 0; return c; }, {},
       "Internal code"},
      {"27 without parameters: key at flash 0x7FF0", [] { auto c = FamilyConfig(27); c.parameters[8] = 0; return c; },
       Booting(27), "1.07.03"},
      {"13 without bit 0 at 0x70F0", [] { auto c = FamilyConfig(13); c.memory[0x70F0] = {0, 0, 0, 0}; return c; }, {},
       "Internal code"},
      {"5 with its memory key", [] { return FamilyConfig(5); }, {}, "1.07.03"},
      {"5 without flag bit 0", [] { auto c = FamilyConfig(5); c.memory[0x7038] = {0, 0, 0x14, 0}; return c; }, {},
       "Internal code"},
      {"7 with its memory key", [] { return FamilyConfig(7, 1); }, {}, "1.07.03"},
      {"7 without it", [] { auto c = FamilyConfig(7, 1); c.memory.erase(0xC000); return c; }, {}, "Internal code"},
      {"28 with its block at flash 0x4000", [] { return FamilyConfig(28); },
       [](EmulatedApp& a) { Put(a.Flash().data(), 0x4000, {0x55, 0xAA, 'Q', 'V', '8', '2', '6'}); }, "1.07.03"},
      {"28 without it", [] { return FamilyConfig(28); }, {}, "Internal code"},
      {"28 at 2.00.00", [] { auto c = FamilyConfig(28); Version(c, {2, 0, 0}); return c; },
       [](EmulatedApp& a) { Put(a.Flash().data(), 0x4000, {0x55, 0xAA, 'Q', 'V', '8', '2', '6'}); }, "Internal code"},
      {"not a Qavion chip information block", [] { auto c = FamilyConfig(3); c.chipInfoSignature = false; return c; },
       {}, "", "Not Qavion Chip!!"},
      {"chip information that fails", [] { return FamilyConfig(3); },
       [](EmulatedApp& a) { a.FailAlways(0, {0xE0, 0xF4, 0xE7}); }, ""},
  };
  for (const VersionRow& row : rows) {
    SCOPED_TRACE(row.what);
    EmulatedApp app;
    app.AddBridge(row.config());
    if (row.setup) row.setup(app);
    RefreshBtnClick(app.ctx);
    ASSERT_EQ(app.ctx.form.DeviceList.items.size(), 1u);
    EXPECT_EQ(app.ctx.form.FwVerLableEdit.text, row.version);
    EXPECT_EQ(app.ctx.form.StatusEdit.text, row.status);
  }
}

TEST(FirmwareChoice, TheMemoryProbeRestoresWhatItRead) {
  for (const bool forced : {false, true}) {
    SCOPED_TRACE(forced ? "bit 0 reads back as 1" : "plain register");
    EmulatedApp app;
    auto c = FamilyConfig(26);
    c.memory[0x506A] = {0x40};
    if (forced) c.memoryForceSet[0x506A] = 1;
    app.AddBridge(c);
    RefreshBtnClick(app.ctx);
    // Forced: 0x41 was read and is written back with bit 0 flipped; otherwise 0x40 as read.
    EXPECT_EQ(app.machine.BridgeAt(0)->memory()[0x506A], 0x40);
  }
}

struct FieldRow {
  const char* what;
  std::function<BridgeConfig()> config;
  const char* chip;
  bool flashVisible, versionVisible, nvram;
  const char* status = "";
};

TEST(FirmwareChoice, ChipFieldAndWhatIsShownByGroup) {
  const FieldRow rows[] = {
      {"programmable", [] { return FamilyConfig(3); }, "QV40779 Series", true, true, false},
      {"programmable with the NVRAM option", [] { return FamilyConfig(9); }, "QVB788/781 Series", true, true, true},
      {"buffer family hides the NVRAM option again", [] { return testing::Qvs812WithVersion(2, {'1', '2', '0', '1'}); },
       "QVS812 Series", true, true, false},
      {"version only", [] { return FamilyConfig(35); }, "QV40771", false, true, false},
      {"gated at D5", [] { return FamilyConfig(6); }, "QV40746 Series", false, true, false},
      {"gated at CF", [] { auto c = FamilyConfig(29); c.parameters[8] = 0xCF; return c; }, "QVB806 Series", false, false,
       false, "The chip not support Firmware Update!"},
      {"gated AB with byte 18 above D1", [] { auto c = FamilyConfig(6); c.parameters[8] = 0xAB; c.parameters[18] = 0xD2;
         return c; }, "QV40746 Series", false, true, false},
      {"gated AB with byte 18 at D1", [] { auto c = FamilyConfig(6); c.parameters[8] = 0xAB; c.parameters[18] = 0xD1;
         return c; }, "QV40746 Series", false, false, false, "The chip not support Firmware Update!"},
      {"not supported", [] { auto c = FamilyConfig(32); c.inquiryChipId = "q773"; c.chipInfoSignature = true; return c; },
       "QV40773", false, false, false,
       "The chip not support Firmware Update!"},
      {"14 with byte 8 at 1, no alternate block",
       [] { auto c = FamilyConfig(14); c.answersChipInfoAlt = false; return c; }, "QVS819/813 Series", true, true, true},
      {"14 with byte 8 at 2, no alternate block",
       [] { auto c = FamilyConfig(14); c.answersChipInfoAlt = false; c.parameters[8] = 2; return c; }, "QVS811 Series",
       true, true, true},
      {"14 with the alternate block", [] { return FamilyConfig(14); }, "QVS816 Series", true, true, true},
  };
  for (const FieldRow& row : rows) {
    SCOPED_TRACE(row.what);
    EmulatedApp app;
    app.AddBridge(row.config());
    RefreshBtnClick(app.ctx);
    const MainForm& f = app.ctx.form;
    EXPECT_EQ(f.ChipLabelEdit.text, row.chip);
    EXPECT_EQ(f.SFlashTypeLable.visible, row.flashVisible);
    EXPECT_EQ(f.FwVerLableEdit.visible, row.versionVisible);
    EXPECT_EQ(f.NVRAMCheck.visible, row.nvram);
    if (row.nvram) {
      EXPECT_TRUE(f.NVRAMCheck.checked) << "taken from KeepNvram";
    }
    EXPECT_EQ(f.StatusEdit.text, row.status);
  }
}

TEST(FirmwareChoice, AGatedChipWithoutALevelKeepsTheFieldsAsTheyWere) {
  EmulatedApp app;
  auto c = FamilyConfig(6);
  c.parameters[8] = 0;
  app.AddBridge(c);
  app.ctx.form.SFlashTypeLable.visible = true;
  app.ctx.form.FwVerLableEdit.visible = false;
  RefreshBtnClick(app.ctx);
  EXPECT_TRUE(app.ctx.form.SFlashTypeLable.visible);
  EXPECT_FALSE(app.ctx.form.FwVerLableEdit.visible);
}

struct FlashRow {
  const char* what;
  std::function<BridgeConfig()> config;
  std::function<sim::FlashPart()> part;
  Bus bus;
  const char* flashText;
  int vendor;
  int sizeKiB;         // -1: left as it was
  bool unitsLoaded;    // the vendor's erase units are in the flash settings
  int amic = -1, atmel = -1, sst25 = 0;
};

sim::FlashPart WithJedec(Bytes jedec) {
  auto p = sim::FlashPreset("WINBOND", 512);
  p.jedec = std::move(jedec);
  return p;
}

TEST(FirmwareChoice, FlashIdentificationByPath) {
  auto rom15 = [] {
    auto c = testing::Qvs812WithVersion(2, {'1', '2', '0', '1'});
    return c;
  };
  const FlashRow rows[] = {
      {"buffer family, MXIC", rom15, [] { return sim::FlashPreset("MXIC", 512); }, Bus::Usb, "MXIC", 5, 512, true},
      {"buffer family without buffer commands, SST25",
       [rom15] { auto c = rom15(); c.bufferCommands = false; return c; }, [] { return sim::FlashPreset("SST", 2048); },
       Bus::Usb, "SST", 2, 2048, true, -1, -1, 1},
      {"buffer family with buffer commands leaves the SST25 flag clear", rom15,
       [] { return sim::FlashPreset("SST", 2048); }, Bus::Usb, "SST", 2, 2048, true},
      {"buffer family, vendor reported as 3, identified", [rom15] { auto c = rom15(); c.reportedVendor = 3; return c; },
       [] { return sim::FlashPreset("GIGADEVICE"); }, Bus::Usb, "GIGADEVICE", 11, 512, true},
      {"storage line, SST25", [] { return FamilyConfig(13); }, [] { return sim::FlashPreset("SST", 2048); }, Bus::Usb,
       "SST", 2, 2048, true, -1, -1, 1},
      {"storage line, WINBOND 0x18 by the SPI route", [] { return FamilyConfig(27); },
       [] { return WithJedec({0xEF, 0x40, 0x18, 0x00}); }, Bus::Usb, "WINBOND", 6, 16384, true},
      {"storage line, vendor 0 identified", [] { auto c = FamilyConfig(14); c.reportedVendor = 0; return c; },
       [] { return sim::FlashPreset("EON"); }, Bus::Usb, "EON", 8, 512, true},
      {"12 at revision 5 identifies but does not size", [] { auto c = FamilyConfig(12, 5); c.reportedVendor = 3; return c; },
       [] { return sim::FlashPreset("MXIC", 512); }, Bus::Usb, "MXIC", 5, -1, true},
      {"8 over 1394 takes the storage path", [] { return FamilyConfig(8, 1); },
       [] { return sim::FlashPreset("WINBOND", 512); }, Bus::Ieee1394, "WINBOND", 6, -1, true},
      {"8 over USB takes the bridge path", [] { return FamilyConfig(8, 1); },
       [] { return sim::FlashPreset("WINBOND", 512); }, Bus::Usb, "WINBOND", 6, -1, false},
      {"bridge path, AMIC", [] { return FamilyConfig(1); }, [] { return WithJedec({0x7F, 0x37, 0x20, 0x12}); }, Bus::Usb,
       "AMIC", 0, -1, false, 1, -1},
      {"bridge path, ATMEL", [] { return FamilyConfig(1); }, [] { return WithJedec({0x1F, 0x66, 0x01, 0x00}); },
       Bus::Usb, "ATMEL", 0, -1, false, -1, 2},
      {"bridge path, reported vendor", [] { return FamilyConfig(5); }, [] { return sim::FlashPreset("PMC", 512); },
       Bus::Usb, "PMC", 1, -1, false},
      {"bridge path, vendor 0 identified", [] { auto c = FamilyConfig(28); c.reportedVendor = 0; return c; },
       [] { return sim::FlashPreset("ESMT"); }, Bus::Usb, "ESMT", 9, -1, false},
      // The QVB789's images are checked against its flash: the size comes from the JEDEC capacity.
      {"QVB789, size from the JEDEC capacity", [] { return FamilyConfig(11); },
       [] { return sim::FlashPreset("WINBOND", 256); }, Bus::Usb, "WINBOND", 6, 256, false},
      {"QVB789, a flash without a JEDEC id stays unsized", [] { return FamilyConfig(11); },
       [] { return WithJedec({}); }, Bus::Usb, "WINBOND", 6, -1, false},
  };
  for (const FlashRow& row : rows) {
    SCOPED_TRACE(row.what);
    EmulatedApp app;
    app.AddBridge(row.config(), row.part(), row.bus);
    app.ctx.state.FlashSizeKiB = 77;
    app.ctx.flash.BlockEraseUnit = 1;
    app.ctx.flash.SectorEraseUnit = 2;
    RefreshBtnClick(app.ctx);
    const MainWindowState& s = app.ctx.state;
    EXPECT_EQ(app.ctx.form.SFlashTypeLable.text, row.flashText);
    EXPECT_EQ(s.FlashVendorCode, row.vendor);
    // A family whose flash is not sized leaves the size unknown (0), never the last device's.
    EXPECT_EQ(s.FlashSizeKiB, row.sizeKiB < 0 ? 0 : row.sizeKiB);
    const auto units = chips::FlashVendorEraseUnits(chips::FlashVendorOf(static_cast<unsigned>(row.vendor)));
    EXPECT_EQ(app.ctx.flash.BlockEraseUnit, row.unitsLoaded ? units.block : 1u);
    EXPECT_EQ(app.ctx.flash.SectorEraseUnit, row.unitsLoaded ? units.sector : 2u);
    EXPECT_EQ(s.AmicClass, row.amic);
    EXPECT_EQ(s.AtmelClass, row.atmel);
    EXPECT_EQ(s.Sst25Flag, static_cast<uint32_t>(row.sst25));
  }
}

TEST(FirmwareChoice, BufferOptionsFollowTheBuffersSupport) {
  for (const bool buffers : {true, false}) {
    SCOPED_TRACE(buffers ? "buffer commands" : "no buffer commands");
    EmulatedApp app;
    auto c = testing::Qvs812WithVersion(2, {'1', '2', '0', '1'});
    c.bufferCommands = buffers;
    app.AddBridge(c);
    app.ctx.form.SetPrdSNchk.checked = true;
    app.ctx.form.ReadWriteBufferChk.checked = true;
    RefreshBtnClick(app.ctx);
    const MainForm& f = app.ctx.form;
    EXPECT_EQ(f.ReadWriteBufferChk.visible, buffers);
    EXPECT_EQ(f.ReadWriteBufferChk.checked, buffers);
    EXPECT_EQ(f.SetPrdSNchk.visible, buffers);
    EXPECT_EQ(f.SetPrdSNchk.checked, buffers);
    if (buffers) {
      EXPECT_FALSE(f.ReadWriteBufferChk.enabled);
      ASSERT_TRUE(f.ReadWriteBufferChk.place);
      EXPECT_EQ(f.ReadWriteBufferChk.place->top, 8);
    }
  }
}

TEST(FirmwareChoice, MxicOpcodesAreSentForTheWideIdsOnly) {
  struct Case {
    const char* what;
    std::function<BridgeConfig()> config;
    Bytes jedec;
    std::vector<Bytes> sent;  // FF 04 0F requests
  };
  auto noBuffers = [] {
    auto c = testing::Qvs812WithVersion(2, {'1', '2', '0', '1'});
    c.bufferCommands = false;
    return c;
  };
  const Bytes wide = {0xFF, 0x04, 0x0F, 0xC7, 0xD8, 0x02, 0x20, 0x00, 0x20, 0, 0, 0};
  const Bytes narrow = {0xFF, 0x04, 0x0F, 0xC7, 0xD8, 0x02, 0x20, 0x08, 0, 0, 0, 0};
  const Case cases[] = {
      {"buffer family, C2 22 10", noBuffers, {0xC2, 0x22, 0x10, 0}, {wide}},
      {"buffer family, C2 22 13", noBuffers, {0xC2, 0x22, 0x13, 0}, {wide}},
      {"buffer family, C2 22 12", noBuffers, {0xC2, 0x22, 0x12, 0}, {}},
      {"buffer family, C2 20 13", noBuffers, {0xC2, 0x20, 0x13, 0}, {}},
      {"buffer family with buffer commands", [] { return testing::Qvs812WithVersion(2, {'1', '2', '0', '1'}); },
       {0xC2, 0x22, 0x10, 0}, {}},
      {"13, C2 22 11", [] { return FamilyConfig(13); }, {0xC2, 0x22, 0x11, 0}, {wide}},
      {"27, C2 22 10", [] { return FamilyConfig(27); }, {0xC2, 0x22, 0x10, 0}, {wide}},
      {"12 at revision 5, C2 22 13", [] { return FamilyConfig(12, 5); }, {0xC2, 0x22, 0x13, 0}, {narrow}},
      {"12 below revision 5", [] { return FamilyConfig(12); }, {0xC2, 0x22, 0x13, 0}, {}},
      {"9 never", [] { return FamilyConfig(9); }, {0xC2, 0x22, 0x13, 0}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EmulatedApp app;
    auto part = sim::FlashPreset("MXIC", 512);
    part.jedec = c.jedec;
    app.AddBridge(c.config(), part);
    RefreshBtnClick(app.ctx);
    EXPECT_EQ(app.ctx.state.FlashVendorCode, 5);
    EXPECT_EQ(app.tap.Starting({0xFF, 0x04, 0x0F}), c.sent);
  }
}

// An image of `size` bytes of 0xFF with `block` at `at`.
std::string WriteImage(EmulatedApp& app, const char* name, size_t size, size_t at, Bytes block) {
  std::string bytes(size, '\xFF');
  for (size_t i = 0; i < block.size() && at + i < size; ++i) bytes[at + i] = static_cast<char>(block[i]);
  return app.dir.Write(name, bytes).string();
}

TEST(FirmwareChoice, RunButtonRules) {
  struct Case {
    const char* what;
    uint8_t type;
    const char* file;  // "match", "other", "missing" or ""
    bool eraseOnly, backupOnly, runBefore, runAfter;
    std::vector<std::string> messages;
  };
  const std::string mismatch = "Message: The firmware file seems not match this chip!";
  const Case cases[] = {
      {"no file leaves Run as it was", 9, "", false, false, true, true, {}},
      {"no file leaves Run as it was (off)", 9, "", false, false, false, false, {}},
      {"no file, erase only", 9, "", true, false, false, true, {}},
      {"no file, backup only", 9, "", false, true, false, true, {}},
      {"a matching file", 9, "match", false, false, false, true, {}},
      {"another family's file", 9, "other", false, false, true, false, {mismatch}},
      {"a missing file", 9, "missing", false, false, true, false, {"Error: Open Firmware File Error!!", mismatch}},
      {"buffer family: no message, Run as it was", 15, "other", false, false, true, true, {}},
      {"buffer family: no message, Run as it was (off)", 15, "other", false, false, false, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EmulatedApp app;
    app.AddBridge(c.type == 15 ? testing::Qvs812WithVersion(2, {'1', '2', '0', '1'}) : FamilyConfig(c.type));
    RefreshBtnClick(app.ctx);
    app.shell.messages.clear();
    MainForm& f = app.ctx.form;
    const std::string file = c.file;
    if (file == "match") f.FwFilenameEdit.text = WriteImage(app, "m.bin", 0x2000, 0, KeyBlock("781"));
    if (file == "other") f.FwFilenameEdit.text = WriteImage(app, "o.bin", 0x10000, 0, KeyBlock("882"));
    if (file == "missing") f.FwFilenameEdit.text = (app.dir.path() / "none.bin").string();
    f.EraseOnlyCheck.checked = c.eraseOnly;
    f.BackupFWCheckBox.checked = c.backupOnly;
    f.UpdateBtn.enabled = c.runBefore;
    UpdateBtnCheck(app.ctx);
    EXPECT_EQ(f.UpdateBtn.enabled, c.runAfter);
    EXPECT_EQ(app.MessageTexts(), c.messages);
  }
}

TEST(FirmwareChoice, WithNoDeviceOnlyTheOptionBoxesAreHidden) {
  EmulatedApp app;
  RefreshBtnClick(app.ctx);
  MainForm& f = app.ctx.form;
  f.NVRAMCheck.visible = f.ReadWriteBufferChk.visible = f.SetPrdSNchk.visible = true;
  f.ChipLabelEdit.text = "kept";
  f.UpdateBtn.enabled = true;
  UpdateBtnCheck(app.ctx);
  EXPECT_FALSE(f.NVRAMCheck.visible || f.ReadWriteBufferChk.visible || f.SetPrdSNchk.visible);
  EXPECT_EQ(f.ChipLabelEdit.text, "kept");
  EXPECT_TRUE(f.UpdateBtn.enabled);
}

TEST(LoadFile, BufferFamilyIdentityCheck) {
  struct Case {
    const char* what;
    uint8_t kind, subKind;
    std::array<uint8_t, 3> device;  // chip information bytes 8..10
    std::array<uint8_t, 3> image;   // image bytes 21..23
    enum { Fits, NotMatch, Stops } outcome;
  };
  const Case cases[] = {
      {"01 00, digit 1: image digit 3 fits", 1, 0, {'8', '1', '1'}, {'8', '1', '3'}, Case::Fits},
      {"01 00, digit 1: image digit 5 fits", 1, 0, {'8', '1', '1'}, {'8', '1', '5'}, Case::Fits},
      {"01 00, digit 1: image digit 2 does not", 1, 0, {'8', '1', '1'}, {'8', '1', '2'}, Case::NotMatch},
      {"01 00, digit 1: other model digits", 1, 0, {'8', '1', '1'}, {'8', '2', '1'}, Case::NotMatch},
      {"01 00, digit 2: equal", 1, 0, {'8', '1', '2'}, {'8', '1', '2'}, Case::Fits},
      {"01 00, digit 2: image digit 3 does not", 1, 0, {'8', '1', '2'}, {'8', '1', '3'}, Case::NotMatch},
      {"01 01: equal", 1, 1, {'8', '1', '4'}, {'8', '1', '4'}, Case::Fits},
      {"01 01: different", 1, 1, {'8', '1', '4'}, {'8', '1', '5'}, Case::NotMatch},
      {"01 02 stops", 1, 2, {'8', '1', '4'}, {'8', '1', '4'}, Case::Stops},
      {"02: equal", 2, 5, {'8', '1', '7'}, {'8', '1', '7'}, Case::Fits},
      {"03: different", 3, 0, {'8', '1', '7'}, {'8', '1', '8'}, Case::NotMatch},
      {"04 stops", 4, 0, {'8', '1', '7'}, {'8', '1', '7'}, Case::Stops},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EmulatedApp app;
    auto config = testing::Qvs812WithVersion(2, {'1', '2', '0', '1'});
    config.chipInfo[6] = c.kind;
    config.chipInfo[7] = c.subKind;
    for (size_t i = 0; i < 3; ++i) config.chipInfo[8 + i] = c.device[i];
    app.AddBridge(config);
    RefreshBtnClick(app.ctx);
    // Its signature does not match, so the firmware-choice check leaves Run off without a word.
    std::string image(0x400, '\0');
    for (size_t i = 0; i < 3; ++i) image[21 + i] = static_cast<char>(c.image[i]);
    app.shell.dialogAnswers.push_back(app.dir.Write("fw.bin", image).string());
    SetStatusText(app.ctx, "old");
    LoadBtnClick(app.ctx);
    const MainForm& f = app.ctx.form;
    EXPECT_EQ(f.UpdateBtn.enabled, c.outcome == Case::Fits);
    EXPECT_EQ(f.YesBtn.enabled, c.outcome == Case::Fits);
    EXPECT_EQ(f.StatusEdit.text, c.outcome == Case::NotMatch ? "FW file not Match." : "");
    EXPECT_TRUE(app.shell.messages.empty());
  }
}

TEST(LoadFile, CancelledDialogAndOtherFamilies) {
  {
    EmulatedApp app;
    app.AddBridge(FamilyConfig(9));
    RefreshBtnClick(app.ctx);
    app.ctx.form.UpdateBtn.enabled = app.ctx.form.YesBtn.enabled = true;
    app.ctx.form.FwFilenameEdit.text = "before.bin";
    LoadBtnClick(app.ctx);
    EXPECT_FALSE(app.ctx.form.UpdateBtn.enabled);
    EXPECT_FALSE(app.ctx.form.YesBtn.enabled);
    EXPECT_EQ(app.ctx.form.FwFilenameEdit.text, "before.bin");
    EXPECT_EQ(app.shell.dialogFilters, std::vector<std::string>{"BinaryFile|*.bin|All Files|*.*|QVT Files|*.qvt"});
  }
  {
    // Outside the buffer family Load File enables Run once the file is in its field.
    EmulatedApp app;
    app.AddBridge(FamilyConfig(9));
    RefreshBtnClick(app.ctx);
    app.shell.dialogAnswers.push_back(WriteImage(app, "m.bin", 0x2000, 0, KeyBlock("781")));
    LoadBtnClick(app.ctx);
    EXPECT_TRUE(app.ctx.form.UpdateBtn.enabled);
    EXPECT_FALSE(app.ctx.form.YesBtn.enabled);
    EXPECT_TRUE(app.shell.messages.empty());
  }
}

}  // namespace
}  // namespace qvfw::app

namespace qvfw::app {
namespace {

// A bridge that discovery admits but no identification route names: chip type 0.
BridgeConfig UnknownChip() {
  auto c = FamilyConfig(15);
  c.inquiryChipId.clear();
  c.versionFromImage = false;
  c.bootCheck = false;
  c.chipInfo[8] = c.chipInfo[9] = c.chipInfo[10] = '9';
  return c;
}

TEST(Options, EraseOnlyAndBackupOnly) {
  struct Click {
    int tag;
    bool checked;
  };
  struct Case {
    const char* what;
    std::function<BridgeConfig()> device;
    const char* file;  // "match", "other" or ""
    std::vector<Click> clicks;
    bool eraseOnly, backupOnly, fileEnabled, run, nvramShown;
  };
  const Case cases[] = {
      {"backup only needs neither file nor chip", UnknownChip, "", {{1, true}}, false, true, true, true, false},
      {"erase only needs a known chip", UnknownChip, "", {{0, true}}, true, false, false, false, false},
      {"erase only without a file", [] { return FamilyConfig(3); }, "", {{0, true}}, true, false, false, true, false},
      {"erase only shows the NVRAM box for 7", [] { return FamilyConfig(7, 1); }, "", {{0, true}}, true, false, false, true,
       true},
      {"erase, then backup", [] { return FamilyConfig(3); }, "", {{0, true}, {1, true}}, false, true, true, true, false},
      {"backup, then erase", [] { return FamilyConfig(3); }, "", {{1, true}, {0, true}}, true, false, false, true, false},
      {"erase cleared with a matching file", [] { return FamilyConfig(9); }, "match", {{0, true}, {0, false}}, false,
       false, true, true, false},
      {"erase cleared with another family's file", [] { return FamilyConfig(9); }, "other", {{0, true}, {0, false}},
       false, false, true, false, false},
      {"erase cleared without a file", [] { return FamilyConfig(3); }, "", {{0, true}, {0, false}}, false, false, true,
       false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EmulatedApp app;
    app.AddBridge(c.device());
    RefreshBtnClick(app.ctx);
    MainForm& f = app.ctx.form;
    const std::string file = c.file;
    if (file == "match") f.FwFilenameEdit.text = WriteImage(app, "m.bin", 0x2000, 0, KeyBlock("781"));
    if (file == "other") f.FwFilenameEdit.text = WriteImage(app, "o.bin", 0x2000, 0, KeyBlock("882"));
    f.NVRAMCheck.visible = false;
    for (const Click& click : c.clicks) {
      (click.tag == 0 ? f.EraseOnlyCheck : f.BackupFWCheckBox).checked = click.checked;
      EraseOnlyCheckClick(app.ctx, click.tag);
    }
    EXPECT_EQ(f.EraseOnlyCheck.checked, c.eraseOnly);
    EXPECT_EQ(app.ctx.state.EraseOnly, c.eraseOnly ? 1u : 0u);
    EXPECT_EQ(f.BackupFWCheckBox.checked, c.backupOnly);
    EXPECT_EQ(f.FwFilenameEdit.enabled, c.fileEnabled);
    EXPECT_EQ(f.UpdateBtn.enabled, c.run);
    EXPECT_EQ(f.NVRAMCheck.visible, c.nvramShown);
    EXPECT_TRUE(app.shell.messages.empty());
  }
}

TEST(Options, RdVersionBoxAndTheNvramChoice) {
  EmulatedApp app;
  app.AddBridge(FamilyConfig(9));
  RefreshBtnClick(app.ctx);
  MainForm& f = app.ctx.form;
  const int height = f.window.clientHeight;
  f.RdCheckBox.checked = true;
  RdCheckBoxClick(app.ctx);
  EXPECT_TRUE(f.RdPanel.visible);
  EXPECT_EQ(f.window.clientHeight, height + kRdPanelHeight);

  // The NVRAM choice survives the next check.
  f.NVRAMCheck.checked = false;
  NVRAMCheckClick(app.ctx);
  EXPECT_EQ(app.ctx.state.KeepNvram, 0u);

  f.EraseOnlyCheck.checked = true;
  f.FwFilenameEdit.enabled = false;
  f.UpdateBtn.enabled = false;
  f.RdCheckBox.checked = false;
  RdCheckBoxClick(app.ctx);
  EXPECT_FALSE(f.RdPanel.visible);
  EXPECT_EQ(f.window.clientHeight, height + kRdPanelHeight) << "the window keeps its height";
  EXPECT_TRUE(f.FwFilenameEdit.enabled);
  EXPECT_TRUE(f.UpdateBtn.enabled) << "the firmware-choice check ran: erase only with a listed device";
  EXPECT_TRUE(f.NVRAMCheck.visible);
  EXPECT_FALSE(f.NVRAMCheck.checked);
}

}  // namespace
}  // namespace qvfw::app
