#include "sim/FirmwareImage.h"

#include <algorithm>
#include <cstring>

#include "codec/ImageChecksum.h"
#include "codec/ImageCodec.h"
#include "sim/Bridge.h"

namespace qvfw::sim {
namespace {

void Put(std::vector<uint8_t>& img, uint32_t at, std::initializer_list<uint8_t> bytes) {
  for (uint8_t b : bytes) {
    if (at < img.size()) img[at] = b;
    ++at;
  }
}

void PutText(std::vector<uint8_t>& img, uint32_t at, const std::string& text) {
  for (char ch : text) {
    if (at < img.size()) img[at] = static_cast<uint8_t>(ch);
    ++at;
  }
}

}  // namespace

void SealBank(std::vector<uint8_t>& image, uint32_t base) {
  if (image.size() < base + 0x20000) return;
  codec::SealBank({image.data() + base, codec::kBankSize});
}

std::vector<uint8_t> GenerateFirmwareImage(const ImageRecipe& recipe) {
  std::vector<uint8_t> img(recipe.size, 0xFF);
  uint32_t x = 0x9E3779B9u ^ recipe.seed ^ (uint32_t{recipe.chipType} << 8);
  const uint32_t code = std::min<uint32_t>(recipe.size, 0x20000);
  for (uint32_t i = 0; i < code; ++i) {  // xorshift32: plausible-looking code bytes
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    img[i] = static_cast<uint8_t>(x);
  }
  const uint8_t t = recipe.chipType;
  const std::string key = ModelKey(t);
  const char d = static_cast<char>('0' + (recipe.revision == 0 ? 0 : recipe.revision - 1));
  const std::string sig = key + d;
  const uint8_t full[4] = {0x55, 0xAA, 0xAA, 0x55};
  auto fullBlock = [&](uint32_t at, const std::string& s) {
    Put(img, at, {full[0], full[1], full[2], full[3]});
    PutText(img, at + 4, s);
    Put(img, at + 8, {static_cast<uint8_t>(d), 0});
  };
  switch (t) {
    case 1:
      if (recipe.revision == 1) Put(img, 4, {0x5A, 0xA5, 0x0F, 0xF0});
      else PutText(img, 4, sig);
      break;
    case 2: case 35: PutText(img, 4, "QV00"); break;
    case 5: case 6: PutText(img, 4, sig); break;
    case 8:
      Put(img, 0, {full[0], full[1], full[2], full[3]});
      PutText(img, 4, recipe.revision == 2 ? "7871" : "q787");
      break;
    case 7: case 9: case 10: case 12:
      Put(img, 0, {0x00, 0x00});
      fullBlock(0x1000, sig);
      break;
    case 11:
      Put(img, 0x80, {0xE9, 0xAC, 0x67, 0x00});
      PutText(img, 0x84, sig);
      break;
    case 28: case 30:
      Put(img, 0x4000, {0x55, 0xAA, 'Q', 'V'});
      PutText(img, 0x4004, t == 30 ? "776E" + std::string(1, d) : sig);
      break;
    case 27: fullBlock(0x7FF0, sig); break;
    case 13: case 14: case 15: case 16: case 17: case 18: fullBlock(0xBFF0, sig); break;
    default: break;
  }
  if (t == 13 || t == 14 || t == 27) {
    // A storage-line image carries its checksum at the code area's end; a second 64 KiB bank of
    // the same firmware where the image spans two.
    const uint32_t codeEnd = t == 27 ? 0x8000 : 0xC000;
    if (img.size() >= 0x20000) std::copy(img.begin(), img.begin() + 0x10000, img.begin() + 0x10000);
    for (uint32_t base : {0u, 0x10000u})
      if (img.size() >= base + 0x10000) codec::StoreImageChecksum({img.data() + base, 0x10000}, codeEnd);
  }
  if (t >= 15 && t <= 18) {
    // Header identity: model digits at 21..23, revision character at 24, version at 25..28.
    PutText(img, 21, key);
    Put(img, 24, {static_cast<uint8_t>(d)});
    std::string v = recipe.version;
    v.resize(4, '0');
    PutText(img, 25, v);
    std::fill(img.begin() + 0x200, img.begin() + 0x400, 0x00);  // RAM-download header area
    for (uint32_t i = 0x600; i < 0x800; ++i) img[i] = static_cast<uint8_t>(i * 7 ^ recipe.seed);  // configuration
    if (img.size() >= 0x40000) std::copy(img.begin(), img.begin() + 0x20000, img.begin() + 0x20000);
    SealBank(img, 0);
    SealBank(img, 0x20000);
  }
  return img;
}

}  // namespace qvfw::sim
