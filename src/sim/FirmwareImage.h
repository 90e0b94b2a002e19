#pragma once
// Deterministic firmware images for emulated bridges: code bytes from a fixed generator, the
// family's signature block where firmware matching looks for it, and for the buffer family the
// header identity bytes and the check values the bridge verifies before it boots an image.

#include <cstdint>
#include <string>
#include <vector>

namespace qvfw::sim {

struct ImageRecipe {
  uint8_t chipType = 15;
  uint8_t revision = 0;
  std::string version = "1201";  // buffer family: bytes 25..28 (four characters)
  uint32_t size = 0x40000;       // two banks of 128 KiB for the buffer family
  uint32_t seed = 1;
};

std::vector<uint8_t> GenerateFirmwareImage(const ImageRecipe& recipe);
// Recomputes the header (0x7FC, over 0x400..0x7FB) and body (0x1FFFC, over 0..0x1FFFB) check
// values of the 128 KiB bank at `base`, stored most significant byte first.
void SealBank(std::vector<uint8_t>& image, uint32_t base);

}  // namespace qvfw::sim
