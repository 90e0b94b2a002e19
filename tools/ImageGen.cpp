#include "ImageGen.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>

#include "codec/ImageCodec.h"

namespace qvfw::tools {
namespace {

// A fixed pseudo-random stream (xorshift32), so images look like code without depending on a
// library's generator.
class Stream {
 public:
  explicit Stream(uint32_t seed) : state_(seed == 0 ? 0x9E3779B9u : seed) {}
  uint8_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return static_cast<uint8_t>(state_ >> 24);
  }

 private:
  uint32_t state_;
};

uint32_t Seed(std::string_view text) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (char c : text) {
    h ^= static_cast<uint8_t>(c);
    h *= 16777619u;
  }
  return h;
}

void Fill(std::vector<uint8_t>& image, uint32_t from, uint32_t to, Stream& stream) {
  for (uint32_t i = from; i < to; ++i) image[i] = stream.Next();
}

void Put(std::vector<uint8_t>& image, uint32_t offset, std::string_view text) {
  std::memcpy(image.data() + offset, text.data(), text.size());
}

void CheckDigits(std::string_view text, size_t count, const char* what) {
  if (text.size() != count || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    throw std::invalid_argument(std::string(what) + " must be " + std::to_string(count) + " ASCII digits");
}

void PutHeader(std::vector<uint8_t>& image, std::string_view model, std::string_view version) {
  Put(image, 16, "QVFW");
  Put(image, kModelOffset, model);
  image[24] = '-';
  Put(image, kVersionOffset, version);
}

void PutSignature(std::vector<uint8_t>& image, std::string_view model) {
  const uint8_t marker[] = {0x55, 0xAA, 0xAA, 0x55};
  std::memcpy(image.data() + kSignatureOffset, marker, sizeof marker);
  Put(image, kSignatureOffset + 4, model);
  image[kSignatureOffset + 7] = '0';
  image[kSignatureOffset + 8] = '0';  // revision character
  image[kSignatureOffset + 9] = 0;
}

}  // namespace

uint32_t StoredCrc(const std::vector<uint8_t>& image, uint32_t offset) { return codec::LoadCheckValue(&image[offset]); }

std::vector<uint8_t> MakeUpdateImage(std::string_view model, std::string_view version) {
  CheckDigits(model, 3, "model");
  CheckDigits(version, 4, "version");
  std::vector<uint8_t> image(kUpdateImageSize, 0xFF);
  Stream stream(Seed(model) ^ Seed(version));

  // Bank 0: vectors and header, the bank header area (left zero: the RAM-download path fills
  // it, and the one-click flow neither writes nor compares it), the configuration area, code,
  // then erased flash.
  std::fill(image.begin(), image.begin() + 0x200, 0);
  Fill(image, 0, 16, stream);
  PutHeader(image, model, version);
  std::fill(image.begin() + 0x200, image.begin() + 0x400, 0);
  Fill(image, 0x400, 0x7FC, stream);
  Fill(image, 0x800, kSignatureOffset, stream);
  PutSignature(image, model);
  Fill(image, 0xC000, 0x18000, stream);

  codec::SealBank({image.data(), kBankSize});

  std::copy(image.begin(), image.begin() + kBankSize, image.begin() + kBankSize);
  return image;
}

std::vector<uint8_t> MakeMfgImage(std::string_view name, std::string_view model) {
  CheckDigits(model, 3, "model");
  std::vector<uint8_t> image(kMfgImageSize, 0xFF);
  Stream stream(Seed(name));
  std::fill(image.begin(), image.begin() + 0x200, 0);
  Fill(image, 0, 16, stream);
  PutHeader(image, model, "0001");
  Fill(image, 0x200, kSignatureOffset, stream);
  PutSignature(image, model);
  Fill(image, 0xC000, kMfgImageSize - 4, stream);
  codec::StoreCheckValue(&image[kMfgImageSize - 4], codec::ImageCrc({image.data(), kMfgImageSize - 4}));
  return image;
}

}  // namespace qvfw::tools
