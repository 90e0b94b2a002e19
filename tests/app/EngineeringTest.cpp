// Run's dispatch as one table, and the panel's Run handler on the form.

#include "app/Engineering.h"

#include <gtest/gtest.h>

#include <fstream>

#include "app/FirmwareChoice.h"
#include "support/AppRig.h"

namespace qvfw::app {
namespace {

using chips::ChipType;
using chips::FlashVendor;

TEST(RunDispatch, RowsTriedFromTheTop) {
  struct Case {
    unsigned chip;
    uint8_t revision;
    FlashVendor vendor;
    bool sst25, flag505E, sbp2;
    std::optional<bool> fits;
    bool eraseOnly;
    Procedure want;
  };
  const FlashVendor W = FlashVendor::Winbond, S = FlashVendor::Sst, U = FlashVendor::Unknown;
  const Case cases[] = {
      {11, 0, W, false, false, false, false, false, Procedure::SizeRefusal},
      {11, 0, W, false, false, false, std::nullopt, false, Procedure::SizeUnknown},
      {11, 0, S, false, false, false, false, true, Procedure::StepwisePage},  // erase-only skips the size check
      {11, 0, S, false, false, false, true, false, Procedure::StepwisePage},
      {11, 0, W, false, false, false, true, false, Procedure::Stepwise},
      {7, 0, S, true, false, false, std::nullopt, false, Procedure::Stepwise},
      {9, 0, W, true, false, false, std::nullopt, false, Procedure::EraseOnWrite},
      {26, 0, W, false, false, false, std::nullopt, false, Procedure::Loader},
      {12, 4, W, true, false, false, std::nullopt, false, Procedure::Stepwise},
      {12, 5, W, true, false, false, std::nullopt, false, Procedure::StepwisePage},
      {12, 2, W, true, true, false, std::nullopt, false, Procedure::StepwisePage},
      {12, 5, W, false, false, false, std::nullopt, false, Procedure::EraseOnWrite},
      {13, 0, W, true, false, false, std::nullopt, false, Procedure::EraseOnWrite},
      {15, 0, W, false, false, true, std::nullopt, false, Procedure::EraseOnWrite},
      {18, 0, W, false, false, false, std::nullopt, false, Procedure::EraseOnWrite},
      {27, 0, W, false, false, false, std::nullopt, false, Procedure::EraseOnWrite},
      {8, 0, W, true, false, true, std::nullopt, false, Procedure::EraseOnWrite1394},
      {8, 0, W, true, false, false, std::nullopt, false, Procedure::StepwisePage},
      {8, 0, W, false, false, false, std::nullopt, false, Procedure::WholeImage},
      {1, 0, W, false, false, false, std::nullopt, false, Procedure::WholeImage},
      {28, 0, S, true, false, false, std::nullopt, false, Procedure::StepwisePage},
      {30, 0, U, false, false, false, std::nullopt, false, Procedure::DiskFirmware},
      {30, 0, W, false, false, false, std::nullopt, false, Procedure::WholeImage},
      {2, 0, W, false, false, false, std::nullopt, false, Procedure::None},
      {0, 0, U, false, false, false, std::nullopt, false, Procedure::None},
  };
  for (const Case& c : cases) {
    DispatchInput in;
    in.chip = chips::ChipTypeOf(c.chip);
    in.revision = c.revision;
    in.vendor = c.vendor;
    in.sst25 = c.sst25;
    in.memoryFlag505E = c.flag505E;
    in.pathHasSbp2 = c.sbp2;
    in.imageFitsFlash = c.fits;
    in.options.eraseOnly = c.eraseOnly;
    EXPECT_EQ(ProcedureName(ChooseProcedure(in)), ProcedureName(c.want))
        << "chip " << c.chip << " rev " << int(c.revision);
  }
}

TEST(RunHandler, RunReadsThePanelAndShowsTheProcedureTexts) {
  testing::EmulatedApp rig;
  rig.AddBridge(sim::FamilyConfig(13), sim::FlashPreset("MXIC", 64));
  rig.Start();
  rig.ctx.stateDirectory = rig.dir.path() / "state";
  MainForm& f = rig.ctx.form;
  f.RdCheckBox.checked = true;
  f.BackupFWCheckBox.checked = true;
  f.BackupFileEdit.text = (rig.dir.path() / "panel.bak").string();
  // "Include 4K NVRAM" starts ticked (KeepNvram 1): the whole 64 KiB; cleared, the code area only.
  ASSERT_TRUE(f.NVRAMCheck.checked);
  for (const auto& [include, size] : {std::pair{true, 0x10000u}, std::pair{false, 0xC000u}}) {
    f.NVRAMCheck.checked = include;
    UpdateBtnClick(rig.ctx);
    EXPECT_EQ(f.StatusEdit.text, "Read flash and backup success!");
    EXPECT_TRUE(f.UpdateBtn.enabled);
    EXPECT_EQ(std::filesystem::file_size(f.BackupFileEdit.text), size);
  }
  // The status field showed the heading and one mark per piece on the way.
  bool marks = false;
  for (const auto& n : rig.shell.notices) marks = marks || (n.control == "StatusEdit" && n.text == "ReadFlash......");
  EXPECT_TRUE(marks);

  // The box only counts with "RD Version": without it Run programs the (missing) file.
  f.RdCheckBox.checked = false;
  f.FwFilenameEdit.text = (rig.dir.path() / "missing.bin").string();
  UpdateBtnClick(rig.ctx);
  EXPECT_EQ(f.StatusEdit.text, "Open File Error!!");
}

// The page-program procedure writes an image without an NVRAM head from address 0, over the
// device's NVRAM: Run asks first, and a no writes nothing. An image with a head is not asked for.
TEST(RunHandler, AsksBeforeWritingOverTheNvram) {
  testing::EmulatedApp rig;
  sim::BridgeConfig config = sim::FamilyConfig(12, 5);
  config.bootCheck = false;
  rig.AddBridge(config, sim::FlashPreset("SST", 2048));
  rig.Start();
  ASSERT_EQ(rig.ctx.state.Sst25Flag, 1);
  MainForm& f = rig.ctx.form;
  std::vector<uint8_t> noHead(0x8000, 0x3C);
  const uint8_t block[] = {0x55, 0xAA, 0xAA, 0x55, '8', '8', '2', 0, 0, 0};
  std::copy(std::begin(block), std::end(block), noHead.begin());
  std::vector<uint8_t> withHead(0x8000, 0x3C);
  std::copy(std::begin(block), std::end(block), withHead.begin() + 0x1000);
  auto file = [&](const char* name, const std::vector<uint8_t>& bytes) {
    return rig.dir.Write(name, std::string(bytes.begin(), bytes.end())).string();
  };
  const std::string bare = file("bare.bin", noHead), headed = file("headed.bin", withHead);
  const std::vector<uint8_t> before = rig.Flash().data();

  // The questions about the NVRAM asked so far.
  auto asked = [&] {
    size_t n = 0;
    for (const auto& m : rig.shell.messages)
      n += m.text.find("written from address 0 over the device's 4 KiB NVRAM") != std::string::npos ? 1 : 0;
    return n;
  };
  f.FwFilenameEdit.text = bare;
  UpdateBtnClick(rig.ctx);
  EXPECT_EQ(asked(), 1u);
  EXPECT_EQ(rig.Flash().data(), before) << "answered no";
  EXPECT_TRUE(f.UpdateBtn.enabled);

  rig.shell.answers.push_back(true);
  UpdateBtnClick(rig.ctx);
  EXPECT_EQ(asked(), 2u);
  EXPECT_EQ(f.StatusEdit.text, "Programming Success!!");
  EXPECT_TRUE(std::equal(noHead.begin(), noHead.end(), rig.Flash().data().begin()));

  f.FwFilenameEdit.text = headed;
  UpdateBtnClick(rig.ctx);
  EXPECT_EQ(asked(), 2u) << "an image with its own head is not asked for";
}

}  // namespace
}  // namespace qvfw::app
