// Programming through the buffer commands against a scripted bridge (descriptor, chip
// information, failing pieces) and against the emulated machine (a bridge in its boot ROM that
// takes a manufacturing firmware first).
#include <gtest/gtest.h>

#include <array>
#include <optional>

#include "support/AppRig.h"
#include "app/RamDownload.h"
#include "app/UpdateImage.h"
#include "codec/ImageCodec.h"
#include "sim/FirmwareImage.h"
#include "support/RecordingPassThrough.h"

namespace qvfw::app {
namespace {

using V = std::vector<uint8_t>;
using testing::Reply;

const V kIllegalRequest = {0x70, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x24, 0x00};

// A bridge that answers the buffer commands from a script.
struct ScriptedBridge {
  std::array<uint8_t, 4> descriptor{0x0C, 0x04, 0x00, 0x00};
  std::optional<std::array<uint8_t, 4>> descriptorAfterDownload;  // once the manufacturing firmware runs
  bool descriptorFails = false;
  std::array<uint8_t, 16> chipInfo{0xF4, 0xE7};
  bool eraseFails = false;
  bool downloadFails = false;
  int failingAttempts = 0;   // attempts (counted by erases) whose first piece is refused
  int failPieceAt = -1;      // READ BUFFER piece that fails

  int erases = 0;
  bool downloaded = false;

  Reply operator()(const testing::RecordedRequest& r) {
    const auto& c = r.cdb;
    if (c[0] == 0x3C && c[1] == 0x03) {
      if (descriptorFails) return testing::CheckCondition(kIllegalRequest);
      const auto& d = downloaded && descriptorAfterDownload ? *descriptorAfterDownload : descriptor;
      return testing::Good(V(d.begin(), d.end()));
    }
    if (c[0] == 0xE0 && c[1] == 0xF4) return testing::Good(V(chipInfo.begin(), chipInfo.end()));
    if (c[0] == 0xDF && c[1] == 0x03) {
      ++erases;
      return eraseFails ? testing::CheckCondition(kIllegalRequest) : testing::Good();
    }
    if (c[0] == 0x3B && c[1] == 0x06) {
      if (downloadFails) return testing::CheckCondition(kIllegalRequest);
      downloaded = true;
      return testing::Good();
    }
    if (c[0] == 0x3B && c[1] == 0x0E) {
      const uint32_t offset = uint32_t{c[3]} << 16 | uint32_t{c[4]} << 8 | c[5];
      if (offset == 0 && erases <= failingAttempts && erases > 0) return testing::CheckCondition(kIllegalRequest);
      return testing::Good();
    }
    if (c[0] == 0x3C && c[1] == 0x01) {
      const uint32_t offset = uint32_t{c[3]} << 16 | uint32_t{c[4]} << 8 | c[5];
      if (failPieceAt >= 0 && offset == static_cast<uint32_t>(failPieceAt) * kPieceSize)
        return testing::CheckCondition(kIllegalRequest);
      V piece(kPieceSize);
      for (uint32_t i = 0; i < kPieceSize; ++i) piece[i] = static_cast<uint8_t>((offset + i) / kPieceSize + 1);
      return testing::Good(piece);
    }
    return testing::CheckCondition(kIllegalRequest);
  }
};

struct ScriptedRig {
  explicit ScriptedRig(ScriptedBridge script) : bridge(std::move(script)) {
    backend.SetResponder([this](const testing::RecordedRequest& r) { return bridge(r); });
    ctx.transport.SetClock(clock);
    ctx.state.CurrentChipType = 15;
    images.Put("QVS812_ROM0_MFG", V(0x10000, 0xA5));
    images.Put("QVS812_ROM1_MFG", V(0x10000, 0x5A));
    images.Put("QVS814_ROM0_MFG", V(0x1000, 0x11));  // not a whole manufacturing image
  }
  device::Device Dev() { return device::Device(ctx.transport, "sim:scripted"); }
  // The mode 0x0E writes: device offset and first byte of each.
  std::vector<std::pair<uint32_t, V>> Pieces() const {
    std::vector<std::pair<uint32_t, V>> out;
    for (const auto& r : backend.requests)
      if (r.cdb[0] == 0x3B && r.cdb[1] == 0x0E)
        out.emplace_back(uint32_t{r.cdb[3]} << 16 | uint32_t{r.cdb[4]} << 8 | r.cdb[5], r.dataOut);
    return out;
  }
  size_t Count(uint8_t op, uint8_t mode) const {
    size_t n = 0;
    for (const auto& r : backend.requests) n += r.cdb[0] == op && r.cdb[1] == mode ? 1 : 0;
    return n;
  }

  ScriptedBridge bridge;
  testing::RecordingPassThrough backend;
  platform::VirtualClock clock;
  platform::CapturingDiagnostics diagnostics;
  testing::RecordingShell shell;
  MemoryImageStore images;
  AppContext ctx{PlatformServices{backend, clock, diagnostics}, shell, images};
};

std::array<uint8_t, 4> D(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return {a, b, c, d}; }

TEST(ProgramFlashImage, DescriptorDecidesWhetherAndHowMuchIsProgrammed) {
  struct Case {
    const char* name;
    std::array<uint8_t, 4> descriptor;
    bool ramDownload;
    bool descriptorFails;
    std::string status;  // StatusEdit at the end ("" when not checked)
    bool ok;
    size_t pieces;
  };
  const Case cases[] = {
      {"64 pieces", D(0x0C, 0x04, 0x00, 0x00), false, false, "Programming Flash..." + std::string(64, '.'), true, 64},
      {"capacity rounded to 512", D(0x0C, 0x00, 0x10, 0x01), false, false, "", true, 2},
      {"unreadable descriptor", D(0x0C, 0x04, 0x00, 0x00), false, true, "Read Buffer Descriptor error...", false, 0},
      {"any boundary without download", D(0xFF, 0x01, 0x00, 0x00), false, false, "Offset Boundary error...", false, 0},
      {"other boundary", D(0x0B, 0x04, 0x00, 0x00), false, false, "Offset Boundary error...", false, 0},
      {"4 KiB boundary with download", D(0x0C, 0x01, 0x00, 0x00), true, false, "Offset Boundary error...", false, 0},
      {"wrong capacity with download", D(0xFF, 0x02, 0x00, 0x00), true, false, "Buffer Capacity error...", false, 0},
      {"download", D(0xFF, 0x01, 0x00, 0x00), true, false, "", true, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedBridge script;
    script.descriptor = c.descriptor;
    script.descriptorFails = c.descriptorFails;
    script.descriptorAfterDownload = D(0x0C, 0x04, 0x00, 0x00);
    ScriptedRig rig(script);
    const V image(0x40000, 0x3C);
    EXPECT_EQ(ProgramFlashImage(rig.ctx, rig.Dev(), 0, image, static_cast<uint32_t>(image.size()), c.ramDownload, {}),
              c.ok);
    if (!c.status.empty()) {
      EXPECT_EQ(rig.ctx.form.StatusEdit.text, c.status);
    }
    const auto pieces = rig.Pieces();
    ASSERT_EQ(pieces.size(), c.pieces);
    for (size_t i = 0; i < pieces.size(); ++i) {
      EXPECT_EQ(pieces[i].first, i * kPieceSize);
      EXPECT_EQ(pieces[i].second.size(), kPieceSize);
    }
    EXPECT_EQ(rig.Count(0x3B, 0x06), c.ramDownload && c.ok ? 1u : 0u);
  }
}

TEST(ProgramFlashImage, ShortImageIsPaddedWithZerosAndNeverReadPast) {
  ScriptedRig rig(ScriptedBridge{});
  // The caller's image ends inside the second piece; the span ends there too.
  const V image(kPieceSize + 100, 0x77);
  ASSERT_TRUE(ProgramFlashImage(rig.ctx, rig.Dev(), 0x1000, image, 0x40000, false, {}));
  const auto pieces = rig.Pieces();
  ASSERT_EQ(pieces.size(), 64u);
  EXPECT_EQ(pieces[0].first, 0x1000u);
  EXPECT_EQ(pieces[0].second, V(kPieceSize, 0x77));
  V second(kPieceSize, 0);
  std::fill_n(second.begin(), 100, 0x77);
  EXPECT_EQ(pieces[1].second, second);
  for (size_t i = 2; i < pieces.size(); ++i) EXPECT_EQ(pieces[i].second, V(kPieceSize, 0)) << i;
}

TEST(ProgramFlashImage, ModeTwoZeroZeroErasesFirstAndCarriesTheExtraBlock) {
  for (const bool eraseFails : {false, true}) {
    SCOPED_TRACE(eraseFails ? "erase refused" : "erase works");
    ScriptedBridge script;
    script.descriptor = D(0x0C, 0x08, 0x00, 0x00);  // 512 KiB: the pieces reach 0x45000
    script.chipInfo[6] = 0x02;
    script.chipInfo[7] = 0x00;
    script.eraseFails = eraseFails;
    ScriptedRig rig(script);
    const V image(0x40000, 0x11);
    const V extra(kPieceSize, 0xEE);
    EXPECT_EQ(ProgramFlashImage(rig.ctx, rig.Dev(), 0, image, 0x40000, false, extra), !eraseFails);
    ASSERT_EQ(rig.Count(0xDF, 0x03), 1u);
    // The erase comes before the first piece.
    size_t eraseAt = 0, firstPiece = rig.backend.requests.size();
    for (size_t i = 0; i < rig.backend.requests.size(); ++i) {
      const auto& cdb = rig.backend.requests[i].cdb;
      if (cdb[0] == 0xDF) eraseAt = i;
      if (cdb[0] == 0x3B && firstPiece == rig.backend.requests.size()) firstPiece = i;
    }
    const auto pieces = rig.Pieces();
    if (eraseFails) {
      EXPECT_EQ(rig.ctx.form.StatusEdit.text, "Chip erase fail...");
      EXPECT_TRUE(pieces.empty());
      continue;
    }
    EXPECT_LT(eraseAt, firstPiece);
    ASSERT_EQ(pieces.size(), 128u);
    EXPECT_EQ(pieces[0x45000 / kPieceSize].second, extra);
    EXPECT_EQ(pieces[0x44000 / kPieceSize].second, V(kPieceSize, 0));
  }
}

TEST(ProgramFlashImage, DownloadAttemptsAndManufacturingImageChoice) {
  struct Case {
    const char* name;
    uint8_t chipType, byte6, byte7;
    int failingAttempts;
    bool ok;
    uint8_t firstLoaderByte;  // of the 64 KiB download; 0 when none is sent
    size_t erases;
  };
  const Case cases[] = {
      {"ROM 0", 15, 0, 0, 0, true, 0xA5, 1},
      {"ROM 1", 15, 0, 1, 0, true, 0x5A, 1},
      {"two failures, then success", 15, 0, 0, 2, true, 0xA5, 3},
      {"three failures", 15, 0, 0, 3, false, 0xA5, 3},
      {"byte 7 of 2 has no image", 15, 0, 2, 0, false, 0, 0},
      {"an image of the wrong size", 16, 0, 0, 0, false, 0, 0},
      {"a missing image", 17, 0, 0, 0, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedBridge script;
    script.descriptor = D(0xFF, 0x01, 0x00, 0x00);
    script.descriptorAfterDownload = D(0x0C, 0x04, 0x00, 0x00);
    script.chipInfo[6] = c.byte6;
    script.chipInfo[7] = c.byte7;
    script.failingAttempts = c.failingAttempts;
    ScriptedRig rig(script);
    rig.ctx.state.CurrentChipType = c.chipType;
    const V image(0x40000, 0x42);
    EXPECT_EQ(ProgramFlashImage(rig.ctx, rig.Dev(), 0, image, 0x40000, true, {}), c.ok);
    EXPECT_EQ(rig.bridge.erases, static_cast<int>(c.erases));
    uint8_t sentLoader = 0;
    for (const auto& r : rig.backend.requests)
      if (r.cdb[0] == 0x3B && r.cdb[1] == 0x06) {
        ASSERT_EQ(r.dataOut.size(), 0x10000u);
        sentLoader = r.dataOut[0];
      }
    EXPECT_EQ(sentLoader, c.firstLoaderByte);
    if (c.firstLoaderByte == 0) {
      EXPECT_EQ(rig.ctx.form.StatusEdit.text, "Download to RAM...") << "silently";
    }
    if (c.ok) {
      EXPECT_EQ(rig.Pieces().size(), 64u + static_cast<size_t>(c.failingAttempts));
    }
  }
}

TEST(ProgramFlashImage, DownloadStopsOnEachRefusal) {
  struct Case {
    const char* name;
    bool downloadFails, eraseFails;
    std::optional<std::array<uint8_t, 4>> after;
    std::array<uint8_t, 3> chipModel;  // chip information bytes 8..10, with byte 6 = 2
    std::string status;
    bool mismatchLine;
  };
  const Case cases[] = {
      {"download refused", true, false, D(0x0C, 0x04, 0, 0), {'8', '1', '2'}, "Download to RAM fail...", false},
      {"erase refused", false, true, D(0x0C, 0x04, 0, 0), {'8', '1', '2'}, "Chip erase fail...", false},
      {"still any boundary", false, false, std::nullopt, {'8', '1', '2'}, "Offset Boundary error...", false},
      {"another chip", false, false, D(0x0C, 0x04, 0, 0), {'8', '1', '4'}, "Download to RAM...", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedBridge script;
    script.descriptor = D(0xFF, 0x01, 0x00, 0x00);
    script.descriptorAfterDownload = c.after;
    script.downloadFails = c.downloadFails;
    script.eraseFails = c.eraseFails;
    script.chipInfo[6] = 0x02;
    script.chipInfo[7] = 0x00;
    std::copy(c.chipModel.begin(), c.chipModel.end(), script.chipInfo.begin() + 8);
    ScriptedRig rig(script);
    rig.images.Put("QVS812_ROM0_MFG", V(0x10000, 0xA5));
    V image(0x40000, 0);
    image[21] = '8', image[22] = '1', image[23] = '2';
    EXPECT_FALSE(ProgramFlashImage(rig.ctx, rig.Dev(), 0, image, 0x40000, true, {}));
    EXPECT_EQ(rig.ctx.form.StatusEdit.text, c.status);
    EXPECT_TRUE(rig.Pieces().empty());
    const bool said = std::find(rig.diagnostics.lines.begin(), rig.diagnostics.lines.end(), "FW and Chip not match.") !=
                      rig.diagnostics.lines.end();
    EXPECT_EQ(said, c.mismatchLine);
  }
}

TEST(ReadBackFlash, ReadsTheCapacityOrTheWholeBanksAndStopsAtAFailingPiece) {
  struct Case {
    const char* name;
    std::array<uint8_t, 4> descriptor;
    bool mode0200;
    int failPieceAt;
    size_t destination;
    bool ok;
    size_t pieces;  // READ BUFFER mode 1 requests
  };
  const Case cases[] = {
      {"capacity", D(0x0C, 0x01, 0x00, 0x00), false, -1, 0x20000, true, 16},
      {"mode 02 00 reads 256 KiB", D(0x0C, 0x01, 0x00, 0x00), true, -1, 0x20000, true, 64},
      {"shorter destination", D(0x0C, 0x04, 0x00, 0x00), false, -1, 0x1800, true, 64},
      {"failing piece", D(0x0C, 0x04, 0x00, 0x00), false, 5, 0x40000, false, 6},
      {"any boundary", D(0xFF, 0x01, 0x00, 0x00), false, -1, 0x10000, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedBridge script;
    script.descriptor = c.descriptor;
    script.failPieceAt = c.failPieceAt;
    if (c.mode0200) script.chipInfo[6] = 0x02;
    ScriptedRig rig(script);
    V destination(c.destination, 0xCC);
    // A guard beyond the destination that the read must never reach.
    V memory(c.destination + 64, 0xCC);
    EXPECT_EQ(ReadBackFlash(rig.ctx, rig.Dev(), 0, std::span(memory).first(c.destination)), c.ok);
    EXPECT_EQ(rig.Count(0x3C, 0x01), c.pieces);
    EXPECT_TRUE(std::all_of(memory.end() - 64, memory.end(), [](uint8_t b) { return b == 0xCC; }));
    if (c.pieces > 0) {
      // Piece k holds k + 1 in every byte; what was read lands at its offset.
      const size_t read = std::min(c.destination, (c.failPieceAt >= 0 ? size_t(c.failPieceAt) : c.pieces) * kPieceSize);
      for (size_t i = 0; i < read; i += 997) EXPECT_EQ(memory[i], i / kPieceSize + 1) << i;
    }
    EXPECT_EQ(rig.ctx.form.StatusEdit.text.rfind("ReadFlash...", 0), 0u);
  }
}

TEST(PrepareDualBankImage, BothBankHeadersCarryMarkerCopyAndCheckValue) {
  V image(0x40000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 251);
  PrepareDualBankImage(image);
  for (size_t base : {size_t{0}, size_t{0x20000}}) {
    SCOPED_TRACE(base);
    const uint8_t* bank = image.data() + base;
    EXPECT_EQ(V(bank + 0x200, bank + 0x204), (V{0x5A, 0xC3, 0x69, 0xE1}));
    EXPECT_EQ(V(bank + 0x204, bank + 0x208), V(4, 0));
    EXPECT_EQ(V(bank + 0x208, bank + 0x20C), V(bank + 0x1FFFC, bank + 0x20000));
    const uint32_t crc = codec::ImageCrc({bank, 0x3FC});
    EXPECT_EQ(V(bank + 0x3FC, bank + 0x400), (V{uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)}));
  }
}

// A bridge with no bootable bank runs its boot ROM and takes a manufacturing firmware first.
TEST(ProgramFlashImage, BlankBridgeIsProgrammedThroughItsRamAndBootsTheImage) {
  MemoryImageStore images;
  images.Put("QVS812_ROM0_MFG", V(0x10000, 0xA5));
  testing::AppRig rig(testing::OneBridge(R"("firmware": "blank")"), &images);
  rig.ctx.state.CurrentChipType = 15;
  const std::string path = rig.machine.CurrentPath(rig.Disk());
  const device::Device dev(rig.ctx.transport, path);
  V image = sim::GenerateFirmwareImage({15, 0, "1203", 0x40000, 77});
  ASSERT_TRUE(ProgramFlashImage(rig.ctx, dev, 0, image, static_cast<uint32_t>(image.size()), true, {}))
      << rig.ctx.form.StatusEdit.text;
  const V& flash = rig.BridgeOf().flash()->data();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  V back(0x40000);
  ASSERT_TRUE(ReadBackFlash(rig.ctx, dev, 0, back));
  EXPECT_EQ(back, image);
}

}  // namespace
}  // namespace qvfw::app
