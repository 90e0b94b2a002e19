#include "firmware/ImageMatch.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string_view>

#include "device/FlashDescriptor.h"

namespace qvfw::firmware {
namespace {

using Block = std::array<uint8_t, 10>;

// The 10 bytes at `offset`, zeros past the end of the file.
Block ReadBlock(std::span<const uint8_t> image, uint64_t offset) {
  Block b{};
  if (offset < image.size()) std::copy_n(image.begin() + static_cast<long>(offset), std::min<uint64_t>(b.size(), image.size() - offset), b.begin());
  return b;
}

bool HasFullMarker(const Block& b) { return b[0] == 0x55 && b[1] == 0xAA && b[2] == 0xAA && b[3] == 0x55; }
bool HasShortMarker(const Block& b) { return b[0] == 0x55 && b[1] == 0xAA; }

struct Signature {
  std::array<uint8_t, 4> s{};
  Block last{};
  bool rejected = false;

  bool Starts(std::string_view text) const {
    return text.size() <= s.size() && std::memcmp(s.data(), text.data(), text.size()) == 0;
  }
  void Take(const Block& b) {
    std::memcpy(s.data(), b.data() + 4, 4);
    last = b;
  }
};

Signature ReadSignature(std::span<const uint8_t> in, const chips::ChipFamily& family) {
  Signature sig;
  const chips::SignatureRule& rule = family.signature;
  const Block first = ReadBlock(in, rule.place.offset);
  if (rule.place.marker && !HasShortMarker(first)) {
    sig.rejected = true;
    return sig;
  }
  sig.Take(first);
  switch (rule.secondLook) {
    case chips::SecondLook::None: return sig;
    case chips::SecondLook::Model80: {
      const Block b = ReadBlock(in, 0x80);
      if (b[0] != 0xE9 || b[1] != 0xAC || b[2] != 0x67) sig.rejected = true;
      else sig.Take(b);
      return sig;
    }
    case chips::SecondLook::FlashBlock: break;
  }
  if (HasFullMarker(first)) {
    sig.rejected = !sig.Starts(family.modelKey);
    return sig;
  }
  const Block b = ReadBlock(in, 0x1000);
  sig.last = b;
  if (HasFullMarker(b)) {
    sig.Take(b);
    sig.rejected = !sig.Starts(family.modelKey);
  }
  return sig;
}

std::string WithDigit(std::string_view prefix, uint8_t revision) {
  std::string text(prefix);
  text += static_cast<char>(0x30 + revision - 1);
  return text;
}

bool Decide(const Signature& sig, const chips::ChipFamily& family, uint8_t revision) {
  switch (family.signature.fit) {
    case chips::FitRule::Never: return false;
    case chips::FitRule::Always: return true;
    case chips::FitRule::NotStartsWith77: return !sig.Starts("77");
    case chips::FitRule::Key3: return sig.Starts(family.modelKey);
    case chips::FitRule::KeyRevision:
      // The first revision of the QV40778 line carries a fixed pattern instead of its key.
      if (family.type == chips::ChipType::QV40778 && revision == 1)
        return sig.s == std::array<uint8_t, 4>{0x5A, 0xA5, 0x0F, 0xF0};
      return sig.Starts(WithDigit(family.modelKey, revision));
    // Only four characters are compared, so no revision digit after the key ever counts.
    case chips::FitRule::Key4: return sig.Starts(family.signature.key);
    case chips::FitRule::RevisionByte: {
      uint8_t v = sig.last[8];
      if (v != 0) v = static_cast<uint8_t>(v - 0x30);
      return revision != 0 && v == revision - 1;
    }
    case chips::FitRule::Qvb787: {
      if (!HasFullMarker(sig.last)) return false;
      const std::string_view id(reinterpret_cast<const char*>(sig.last.data() + 4), 4);
      return (revision == 1 && id == "q787") || (revision == 2 && id == "7871");
    }
  }
  return false;
}

}  // namespace

// Only a regular file (or a link to one) is an image: a folder, a FIFO or a device cannot be
// opened as one. A file larger than the largest flash fits none.
ImageCheck MatchFirmwareSignature(const std::filesystem::path& image, chips::ChipType type, uint8_t revision) {
  const platform::FileRead file = device::ReadImage(image);
  if (file.failure == platform::FileRead::Failure::TooLarge) return ImageCheck::DoesNotFit;
  if (!file.ok()) return ImageCheck::CannotOpen;
  return MatchFirmwareSignature(std::span<const uint8_t>(file.bytes), type, revision);
}

ImageCheck MatchFirmwareSignature(std::span<const uint8_t> image, chips::ChipType type, uint8_t revision) {
  const chips::ChipFamily& family = chips::Family(type);
  const Signature sig = ReadSignature(image, family);
  if (sig.rejected) return ImageCheck::DoesNotFit;
  return Decide(sig, family, revision) ? ImageCheck::Fits : ImageCheck::DoesNotFit;
}

ImageCheck ImageFitsFlash(const std::filesystem::path& image, uint32_t flashSizeKiB) {
  const platform::FileRead file = device::ReadImage(image);
  if (file.failure == platform::FileRead::Failure::TooLarge) return ImageCheck::DoesNotFit;
  if (!file.ok()) return ImageCheck::CannotOpen;
  return file.size <= uint64_t{flashSizeKiB & 0xFFFFFF} * 1024 ? ImageCheck::Fits : ImageCheck::DoesNotFit;
}

}  // namespace qvfw::firmware
