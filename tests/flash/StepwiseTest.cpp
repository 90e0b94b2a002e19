// The stepwise procedure and its page-program variant end to end: where the image and the
// device's NVRAM land on the emulated flash, and which steps went over the wire.

#include "flash/Stepwise.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/FirmwareChoice.h"
#include "flash/FlashBench.h"

namespace qvfw::flash {
namespace {

using namespace bench;
using chips::ChipType;

// An image of `size` bytes with a signature block (magic, then the model key) at `at`.
std::vector<uint8_t> WithBlock(size_t size, uint8_t seed, std::initializer_list<uint8_t> magic, const char* key,
                               size_t at) {
  std::vector<uint8_t> v = Pattern(size, seed);
  std::copy(magic.begin(), magic.end(), v.begin() + static_cast<long>(at));
  std::copy(key, key + 3, v.begin() + static_cast<long>(at + 4));
  return v;
}
const std::initializer_list<uint8_t> kMagic = {0x55, 0xAA, 0xAA, 0x55};
const std::initializer_list<uint8_t> kMagic789 = {0xE9, 0xAC, 0x67, 0x32};

// Short flash writes (FF 04 11) since request `from`: address and length.
std::vector<std::pair<uint32_t, size_t>> Writes(const testing::Tap& tap, size_t from) {
  std::vector<std::pair<uint32_t, size_t>> out;
  for (size_t i = from; i < tap.requests.size(); ++i) {
    const auto& r = tap.requests[i];
    if (r.StartsWith({0xFF, 0x04, 0x11})) out.emplace_back(uint32_t(r.cdb[3] << 16 | r.cdb[4] << 8 | r.cdb[5]), r.dataOut.size());
  }
  return out;
}

TEST(Stepwise, ImageHasNvramHead) {
  testing::TempDir dir;
  struct Case {
    const char* name;
    std::vector<uint8_t> image;
    ChipType chip;
    bool head;
  };
  std::vector<uint8_t> both = WithBlock(0x8000, 1, kMagic, "784", 0);
  std::copy_n(WithBlock(0x8000, 1, kMagic, "784", 0x1000).begin() + 0x1000, 10, both.begin() + 0x1000);
  const Case cases[] = {
      {"block at 4096", WithBlock(0x8000, 1, kMagic, "784", 0x1000), ChipType::QVB784, true},
      {"another model at 4096", WithBlock(0x8000, 1, kMagic, "776", 0x1000), ChipType::QVB784, false},
      {"block at 0 only", WithBlock(0x8000, 1, kMagic, "784", 0), ChipType::QVB784, false},
      {"block at 0 and at 4096", both, ChipType::QVB784, false},
      {"QVB789 block at 128", WithBlock(0x8000, 1, kMagic789, "789", 128), ChipType::QVB789, true},
      {"the 128 block is the QVB789's alone", WithBlock(0x8000, 1, kMagic789, "784", 128), ChipType::QVB784, false},
      {"no block", Pattern(0x8000, 1), ChipType::QVB789, false},
      {"shorter than a block at 4096", Pattern(0x1004, 1), ChipType::QVB784, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = dir.path() / "image.bin";
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(c.image.data()), static_cast<std::streamsize>(c.image.size()));
    EXPECT_EQ(ImageHasNvramHead(path.string(), c.chip), c.head);
  }
  EXPECT_FALSE(ImageHasNvramHead((dir.path() / "missing.bin").string(), ChipType::QVB784));
}

// Where the image and the NVRAM land: the device's 4 KiB at 0 and the image behind it, or the
// image's own head replaced by the device's, or the image as it is.
TEST(Stepwise, LayoutsOfTheQvb784) {
  struct Case {
    const char* name;
    std::vector<uint8_t> image;
    bool includeNvram;
    bool head;
    std::vector<std::pair<uint32_t, size_t>> writes;
  };
  const Case cases[] = {
      {"20 KiB without head", Pattern(0x5000, 2), false, false, {{0, 0x4000}, {0x4000, 0x4000}}},
      {"16 KiB without head: the carry alone", Pattern(0x4000, 3), false, false, {{0, 0x4000}, {0x4000, 0x1000}}},
      {"block at 0 is no head", WithBlock(0x5000, 4, kMagic, "784", 0), false, false, {{0, 0x4000}, {0x4000, 0x4000}}},
      {"head, NVRAM kept", WithBlock(0x9000, 5, kMagic, "784", 0x1000), false, true,
       {{0, 0x4000}, {0x4000, 0x4000}, {0x8000, 0x1000}}},
      {"head, NVRAM included", WithBlock(0x9000, 6, kMagic, "784", 0x1000), true, true,
       {{0, 0x4000}, {0x4000, 0x4000}, {0x8000, 0x4000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b(7, "WINBOND", 64);
    ASSERT_EQ(b.ctx.state.CurrentChipType, 7);
    const size_t from = b.tap.requests.size();
    app::EngineeringOptions o = b.Program(c.image);
    o.includeNvram = c.includeNvram;
    const app::EngineeringOutcome out = b.Run(o);
    ASSERT_TRUE(IsSuccess(out));
    EXPECT_EQ(b.ctx.form.StatusEdit.text.rfind("Programming Success!!", 0), 0u) << b.ctx.form.StatusEdit.text;
    EXPECT_EQ(b.MessageTexts(), std::vector<std::string>{kPowerCycle});
    EXPECT_EQ(b.ctx.state.ImageHasNvram, c.head ? 1u : 0u);
    EXPECT_EQ(Writes(b.tap, from), c.writes);

    std::vector<uint8_t> want;
    if (c.head && c.includeNvram) {
      want = c.image;
    } else {
      want = b.Before(0, 0x1000);
      want.insert(want.end(), c.image.begin() + (c.head ? 0x1000 : 0), c.image.end());
    }
    EXPECT_EQ(b.FlashRange(0, static_cast<uint32_t>(want.size())), want);
    // Behind the image: zeros up to the end of its last full step, blank after that.
    uint32_t end = 0;
    for (const auto& [a, n] : c.writes) end = std::max<uint32_t>(end, a + static_cast<uint32_t>(n));
    EXPECT_EQ(b.FlashRange(static_cast<uint32_t>(want.size()), end), std::vector<uint8_t>(end - want.size(), 0));
    const uint32_t erased = (end + 0x7FFF) / 0x8000 * 0x8000;
    EXPECT_EQ(b.FlashRange(end, erased), std::vector<uint8_t>(erased - end, 0xFF));
    EXPECT_EQ(b.FlashRange(erased, 0x10000), b.Before(erased, 0x10000));
    EXPECT_EQ(ReadFile(out.recoveryFile), b.before);
  }
}

TEST(Stepwise, Qvb789ImageWithHeadBringsBytes128To207OfTheNvram) {
  Bench b(11, "WINBOND", 512);
  ASSERT_EQ(b.ctx.state.CurrentChipType, 11);
  ASSERT_EQ(b.ctx.state.FlashSizeKiB, 512);
  const std::vector<uint8_t> image = WithBlock(0x8000, 7, kMagic789, "789", 128);
  const app::EngineeringOutcome out = b.Run(b.Program(image));
  ASSERT_TRUE(IsSuccess(out));
  std::vector<uint8_t> want = b.Before(0, 0x1000);
  std::copy(image.begin() + 128, image.begin() + 208, want.begin() + 128);
  want.insert(want.end(), image.begin() + 0x1000, image.end());
  EXPECT_EQ(b.FlashRange(0, 0x8000), want);
}

// The page-program variant writes the image from its first byte through raw SPI programming.
TEST(StepwisePage, WritesTheImageFromItsFirstByte) {
  // The QVS882 from revision 5 on an SST 25-series part: word programming, after the write
  // announcement the bridge wants; "Include 4K NVRAM" ends ticked.
  Bench b(12, "SST", 2048, platform::Bus::Usb, 5);
  ASSERT_EQ(b.ctx.state.CurrentChipType, 12);
  ASSERT_EQ(b.ctx.state.Sst25Flag, 1u);
  b.ctx.form.NVRAMCheck.checked = false;
  const size_t from = b.tap.requests.size();
  const std::vector<uint8_t> image = Pattern(0x5000, 8);
  const app::EngineeringOutcome out = b.Run(b.Program(image));
  ASSERT_TRUE(IsSuccess(out));
  EXPECT_EQ(b.FlashRange(0, 0x8000), Padded(image, 0x8000));
  EXPECT_TRUE(Writes(b.tap, from).empty()) << "no bridge flash writes";
  EXPECT_GT(b.tap.Count({0xFF, 0x04, 0x25}), 0u);
  EXPECT_TRUE(b.ctx.form.NVRAMCheck.checked);
  // The bridge tells no size; the part's JEDEC id does (2 MiB): the copy is the whole flash.
  EXPECT_EQ(ReadFile(out.recoveryFile), b.before);
}

TEST(StepwisePage, PagesPerVendor) {
  // QV40778 with the SST-25 flag: the variant, with the flash's own page size.
  struct Case {
    const char* maker;
    uint32_t page;
  };
  for (const Case c : {Case{"WINBOND", 256}, Case{"MXIC", 32}}) {
    SCOPED_TRACE(c.maker);
    Bench b(1, c.maker, 64);
    b.ctx.state.Sst25Flag = 1;
    const size_t from = b.tap.requests.size();
    const std::vector<uint8_t> image = Pattern(0x4000, 9);
    const app::EngineeringOutcome out = b.Run(b.Program(image));
    ASSERT_TRUE(IsSuccess(out));
    EXPECT_EQ(b.FlashRange(0, 0x4000), image);
    EXPECT_EQ(b.FlashRange(0x4000, 0x8000), std::vector<uint8_t>(0x4000, 0xFF)) << "erased, nothing written";
    size_t pages = 0;
    for (size_t i = from; i < b.tap.requests.size(); ++i) {
      const auto& r = b.tap.requests[i];
      if (r.StartsWith({0xFF, 0x04, 0x22})) {
        EXPECT_EQ(r.dataOut.size(), c.page);
        ++pages;
      }
    }
    EXPECT_EQ(pages, 0x4000 / c.page);
  }
}

TEST(Stepwise, FailuresAfterTheEraseAreFailures) {
  ExpectFailuresAfterTheErase({.chip = 7,
                               .imageSize = 0x8000,
                               .flipAt = 0x0321,
                               .refusedWrite = "Write command fail!",
                               .refusedErase = "Erase command fail!!",
                               .mismatch = "Data compare fail !!"});
}

// A 64 KiB image without head needs 80 KiB behind the NVRAM: on a 64 KiB flash its last steps
// would land on the first ones. The flash's JEDEC id tells its size; nothing is changed.
TEST(Stepwise, ImageBeyondTheFlashIsRefused) {
  Bench b(7, "WINBOND", 64);
  ASSERT_EQ(b.ctx.state.FlashSizeKiB, 0) << "the family tells no size";
  const app::EngineeringOutcome out = b.Run(b.Program(Pattern(0x10000, 5)));
  EXPECT_EQ(out.code(), app::OutcomeCode::BadInput);
  EXPECT_EQ(b.ctx.form.StatusEdit.text, "The firmware file size is bigger than the flash size!");
  EXPECT_EQ(b.Flash().data(), b.before);
  EXPECT_TRUE(out.recoveryFile.empty());
}

// The QVS882's images always start with their head; one that is nothing but the head would leave
// the code area blank.
TEST(Stepwise, ImageOfNothingButItsHeadIsRefused) {
  Bench b(12, "WINBOND", 64, platform::Bus::Usb, 2);
  ASSERT_EQ(b.ctx.state.CurrentChipType, 12);
  const app::EngineeringOutcome out = b.Run(b.Program(Pattern(0x1000, 5)));
  EXPECT_EQ(out.code(), app::OutcomeCode::BadInput);
  EXPECT_EQ(b.ctx.form.StatusEdit.text, "Open File Error!!");
  EXPECT_EQ(b.Flash().data(), b.before);
}

TEST(Stepwise, EraseOnlyWritesTheNvramBack) {
  Bench b(7, "WINBOND", 64);
  const app::EngineeringOutcome out = b.Run(b.Erase());
  ASSERT_TRUE(IsSuccess(out));
  EXPECT_EQ(b.FlashRange(0, 0x1000), b.Before(0, 0x1000));
  EXPECT_EQ(b.FlashRange(0x1000, 0x10000), std::vector<uint8_t>(0xF000, 0xFF));
  EXPECT_EQ(b.MessageTexts(), std::vector<std::string>{kPowerCycle});
}

TEST(UnplugAtEveryCommand, ProgramQvb784Stepwise) {
  UnplugAtEveryCommand({"program QVB784 (stepwise)", 7, "WINBOND", 64, false, 0x5000});
}
TEST(UnplugAtEveryCommand, ProgramQv40778PageVariant) {
  Campaign c{"program QV40778 (page-program variant)", 1, "WINBOND", 64, false, 0x5000};
  c.sst25 = true;
  UnplugAtEveryCommand(c);
}

}  // namespace
}  // namespace qvfw::flash
