#include "firmware/ImageMatch.h"

#include <array>
#include <cstring>
#include <fstream>
#include <string_view>

namespace qvfw::firmware {
namespace {

using Block = std::array<uint8_t, 10>;

// Reads 10 bytes at `offset`, zeros past the end of the file.
Block ReadBlock(std::ifstream& in, uint64_t offset) {
  Block b{};
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  if (in) in.read(reinterpret_cast<char*>(b.data()), b.size());
  in.clear();
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

bool HasSecondLook(ChipType t) {
  static constexpr ChipSet kSecondLook{7, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 27};
  return kSecondLook.Contains(t);
}

Signature ReadSignature(std::ifstream& in, ChipType type) {
  Signature sig;
  uint64_t offset = 0;
  bool marker = false;
  if (type == 28 || type == 30) offset = 0x4000, marker = true;
  else if (type >= 13 && type <= 18) offset = 0xBFF0, marker = true;
  else if (type == 27) offset = 0x7FF0, marker = true;
  const Block first = ReadBlock(in, offset);
  if (marker && !HasShortMarker(first)) {
    sig.rejected = true;
    return sig;
  }
  sig.Take(first);
  if (!HasSecondLook(type)) return sig;

  if (type == 11) {
    const Block b = ReadBlock(in, 0x80);
    if (b[0] != 0xE9 || b[1] != 0xAC || b[2] != 0x67) sig.rejected = true;
    else sig.Take(b);
    return sig;
  }
  const std::string_view key = ChipModelKey(type);
  if (HasFullMarker(first)) {
    sig.rejected = !sig.Starts(key);
    return sig;
  }
  const Block b = ReadBlock(in, 0x1000);
  sig.last = b;
  if (HasFullMarker(b)) {
    sig.Take(b);
    sig.rejected = !sig.Starts(key);
  }
  return sig;
}

std::string WithDigit(std::string_view prefix, uint8_t revision) {
  std::string text(prefix);
  text += static_cast<char>(0x30 + revision - 1);
  return text;
}

bool Decide(const Signature& sig, ChipType type, uint8_t revision) {
  switch (type) {
    case 1:
      if (revision == 1) return sig.s == std::array<uint8_t, 4>{0x5A, 0xA5, 0x0F, 0xF0};
      return sig.Starts(WithDigit("778", revision));
    case 2:
    case 35: return !sig.Starts("77");
    case 3:
    case 4:
    case 31:
    case 32:
    case 33:
    case 34: return true;
    case 5: return sig.Starts(WithDigit("776", revision));
    case 6: return sig.Starts("746");
    case 7: {
      uint8_t v = sig.last[8];
      if (v != 0) v = static_cast<uint8_t>(v - 0x30);
      return revision != 0 && v == revision - 1;
    }
    case 8: {
      if (!HasFullMarker(sig.last)) return false;
      const std::string_view id(reinterpret_cast<const char*>(sig.last.data() + 4), 4);
      return (revision == 1 && id == "q787") || (revision == 2 && id == "7871");
    }
    // Only four characters are compared, so the revision digit after "776E" never counts.
    case 30: return sig.Starts(WithDigit("776E", revision).substr(0, 4));
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
    case 16:
    case 17:
    case 18:
    case 27:
    case 28: return sig.Starts(ChipModelKey(type));
    default: return false;
  }
}

// Only a regular file (or a link to one) is an image; a directory would open and read as zeros.
std::ifstream OpenImage(const std::filesystem::path& image, std::ios::openmode extra = {}) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(image, ec)) return {};
  return std::ifstream(image, std::ios::binary | extra);
}

}  // namespace

ImageCheck MatchFirmwareSignature(const std::filesystem::path& image, ChipType type, uint8_t revision) {
  std::ifstream in = OpenImage(image);
  if (!in.is_open()) return ImageCheck::CannotOpen;
  const Signature sig = ReadSignature(in, type);
  if (sig.rejected) return ImageCheck::DoesNotFit;
  return Decide(sig, type, revision) ? ImageCheck::Fits : ImageCheck::DoesNotFit;
}

ImageCheck ImageFitsFlash(const std::filesystem::path& image, uint32_t flashSizeKiB) {
  std::ifstream in = OpenImage(image, std::ios::ate);
  if (!in.is_open()) return ImageCheck::CannotOpen;
  const auto size = static_cast<uint64_t>(in.tellg());
  return size <= uint64_t{flashSizeKiB & 0xFFFFFF} * 1024 ? ImageCheck::Fits : ImageCheck::DoesNotFit;
}

}  // namespace qvfw::firmware
