#include "app/RamDownload.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "app/ImageStore.h"
#include "device/AlignedBuffer.h"
#include "device/Commands.h"

namespace qvfw::app {
namespace {

using device::AlignedBuffer;

void Say(AppContext& ctx, std::string_view text) {
  SetStatusText(ctx, std::string(text));
  ctx.shell.PumpEvents();
}

std::optional<BufferDescriptor> ReadDescriptor(const device::Device& dev) {
  uint8_t d[4] = {};
  if (!device::QV_ReadBuffer(dev, 0x03, 0x00, 0, d, sizeof d)) return std::nullopt;
  return BufferDescriptor{d[0], static_cast<uint32_t>(d[1] << 16 | d[2] << 8 | d[3])};
}

// The erase that precedes programming on bridges in mode 02 00: an erase-mode write of no data.
bool EraseWholeFlash(const device::Device& dev) { return device::WriteFlashLong(dev, 0x03, 0, {}); }

uint32_t RoundUp(uint32_t v, uint32_t unit) { return (v + unit - 1) / unit * unit; }

// Copies the image into a zeroed aligned buffer that holds whole pieces of the programming length.
AlignedBuffer Stage(std::span<const uint8_t> image, uint32_t imageLength, uint32_t programmingLength,
                    uint32_t minimumSize = 0) {
  AlignedBuffer buffer(std::max(RoundUp(programmingLength, kPieceSize), minimumSize));
  const size_t n = std::min<size_t>({image.size(), imageLength, programmingLength});
  std::copy_n(image.begin(), n, buffer.data());
  return buffer;
}

bool WritePieces(AppContext& ctx, const device::Device& dev, uint32_t baseOffset, const AlignedBuffer& buffer,
                 uint32_t programmingLength) {
  Say(ctx, "Programming Flash...");
  ctx.shell.ExpectMarks((programmingLength + kPieceSize - 1) / kPieceSize);
  ctx.progress.Enter(Phase::Program, (programmingLength + kPieceSize - 1) / kPieceSize);
  for (uint32_t offset = 0; offset < programmingLength; offset += kPieceSize) {
    if (!device::QV_WriteBuffer(dev, 0x00, 0x0E, buffer.data() + offset, baseOffset + offset, kPieceSize)) return false;
    AppendStatusText(ctx, ".");
    ctx.progress.Step();
    ctx.shell.PumpEvents();
  }
  return true;
}

bool ProgramDirect(AppContext& ctx, const device::Device& dev, uint32_t baseOffset, std::span<const uint8_t> image,
                   uint32_t imageLength, const BufferDescriptor& desc, std::span<const uint8_t> extraBlock) {
  const bool mode0200 = device::IsChipInfoMode0200(dev);
  if (mode0200 && !EraseWholeFlash(dev)) {
    Say(ctx, "Chip erase fail...");
    return false;
  }
  const uint32_t length = desc.ProgrammingLength();
  AlignedBuffer buffer;
  try {
    buffer = Stage(image, imageLength, length, mode0200 ? kExtraBlockOffset + kPieceSize : 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (mode0200) std::copy_n(extraBlock.begin(), std::min<size_t>(extraBlock.size(), kPieceSize), buffer.data() + kExtraBlockOffset);
  return WritePieces(ctx, dev, baseOffset, buffer, length);
}

// Puts the manufacturing firmware that fits the bridge into its RAM.
bool DownloadToRam(AppContext& ctx, const device::Device& dev, uint32_t baseOffset) {
  Say(ctx, "Download to RAM...");
  uint8_t info[16] = {};
  device::ReadChipInfo(dev, info);
  const std::string_view name = MfgImageFor(chips::ChipTypeOf(ctx.state.CurrentChipType), info[7]);
  const auto mfg = name.empty() ? std::nullopt : ctx.images.Find(name);
  if (!mfg || mfg->size() != 0x10000) return false;
  AlignedBuffer loader(0x10000);
  std::copy(mfg->begin(), mfg->end(), loader.data());
  if (!device::QV_WriteBuffer(dev, 0x00, 0x06, loader.data(), baseOffset, 0x10000)) {
    Say(ctx, "Download to RAM fail...");
    return false;
  }
  ctx.clock.Sleep(100);
  return true;
}

// The descriptor of a bridge that takes a download into RAM: any boundary, 64 KiB.
bool RamDescriptorHolds(AppContext& ctx, const BufferDescriptor& desc) {
  if (desc.offsetBoundary != 0xFF) {
    Say(ctx, "Offset Boundary error...");
    return false;
  }
  if (desc.capacity != 0x10000) {
    Say(ctx, "Buffer Capacity error...");
    return false;
  }
  return true;
}

bool ProgramThroughRam(AppContext& ctx, const device::Device& dev, uint32_t baseOffset, std::span<const uint8_t> image,
                       uint32_t imageLength) {
  if (!DownloadToRam(ctx, dev, baseOffset)) return false;

  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!EraseWholeFlash(dev)) {
      Say(ctx, "Chip erase fail...");
      return false;
    }
    ctx.clock.Sleep(500);
    const auto desc = ReadDescriptor(dev);
    if (!desc) {
      Say(ctx, "Read Buffer Descriptor error...");
      return false;
    }
    if (desc->offsetBoundary != 12) {
      Say(ctx, "Offset Boundary error...");
      return false;
    }
    uint8_t now[16] = {};
    if (device::ReadChipInfo(dev, now) && now[6] == 2 && imageLength >= 24 && image.size() >= 24 &&
        !std::equal(image.begin() + 21, image.begin() + 24, now + 8)) {
      ctx.diagnostics.Line("FW and Chip not match.");
      return false;
    }
    const uint32_t length = desc->ProgrammingLength();
    AlignedBuffer buffer;
    try {
      buffer = Stage(image, imageLength, length);
    } catch (const std::bad_alloc&) {
      return false;
    }
    if (WritePieces(ctx, dev, baseOffset, buffer, length)) return true;
  }
  return false;
}

}  // namespace

std::string_view MfgImageFor(chips::ChipType chipType, uint8_t byte7) {
  const chips::MfgImages& images = chips::Family(chipType).mfg;
  if (byte7 == 0) return images.rom0;
  if (byte7 == 1) return images.rom1;
  return {};
}

bool ProgramFlashImage(AppContext& ctx, const device::Device& dev, uint32_t baseOffset, std::span<const uint8_t> image,
                       uint32_t imageLength, bool ramDownload, std::span<const uint8_t> extraBlock) {
  const auto desc = ReadDescriptor(dev);
  if (!desc) {
    Say(ctx, "Read Buffer Descriptor error...");
    return false;
  }
  if (!ramDownload) {
    if (desc->offsetBoundary != 12) {
      Say(ctx, "Offset Boundary error...");
      return false;
    }
    return ProgramDirect(ctx, dev, baseOffset, image, imageLength, *desc, extraBlock);
  }
  if (!RamDescriptorHolds(ctx, *desc)) return false;
  return ProgramThroughRam(ctx, dev, baseOffset, image, imageLength);
}

bool RunFromRam(AppContext& ctx, const device::Device& dev) {
  const auto desc = ReadDescriptor(dev);
  if (!desc) {
    Say(ctx, "Read Buffer Descriptor error...");
    return false;
  }
  return RamDescriptorHolds(ctx, *desc) && DownloadToRam(ctx, dev, 0);
}

bool ReadBackFlash(AppContext& ctx, const device::Device& dev, uint32_t baseOffset, std::span<uint8_t> destination) {
  Say(ctx, "ReadFlash...");
  const auto desc = ReadDescriptor(dev);
  if (!desc || desc->offsetBoundary != 12) return false;
  const uint32_t length = device::IsChipInfoMode0200(dev) ? 0x40000 : desc->capacity;
  AlignedBuffer buffer;
  try {
    buffer = AlignedBuffer(RoundUp(length, kPieceSize));
  } catch (const std::bad_alloc&) {
    return false;
  }
  ctx.shell.ExpectMarks((length + kPieceSize - 1) / kPieceSize);
  ctx.progress.Enter(Phase::ReadBack, (length + kPieceSize - 1) / kPieceSize);
  bool ok = length == 0;
  uint32_t read = 0;
  for (uint32_t offset = 0; offset < length; offset += kPieceSize) {
    ok = device::QV_ReadBuffer(dev, 0x01, 0x00, baseOffset + offset, buffer.data() + offset, kPieceSize);
    AppendStatusText(ctx, ".");
    ctx.progress.Step();
    ctx.shell.PumpEvents();
    if (!ok) break;
    read = offset + kPieceSize;
  }
  std::copy_n(buffer.data(), std::min<size_t>(destination.size(), std::min(read, length)), destination.data());
  return ok;
}

}  // namespace qvfw::app
