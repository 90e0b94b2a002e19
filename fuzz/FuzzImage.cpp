// Image checks: the signature match of every chip family and revision, and the codes images
// carry, each held to its reference (the fast check values equal the bitwise ones; the
// scrambler is its own inverse).
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "FuzzAbort.h"
#include "chips/ChipFamilies.h"
#include "codec/ImageChecksum.h"
#include "codec/ImageCodec.h"
#include "firmware/ImageMatch.h"

using namespace qvfw;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> image(data, size);
  for (size_t code = 0; code < chips::kChipTypeCount; ++code)
    for (uint8_t revision : {0, 1, 2, 3}) {
      const auto check = firmware::MatchFirmwareSignature(image, chips::ChipTypeOf(static_cast<unsigned>(code)), revision);
      FUZZ_CHECK(check != firmware::ImageCheck::CannotOpen);
    }
  FUZZ_CHECK(codec::ImageCrc(image) == codec::ImageCrcBitwise(image));
  FUZZ_CHECK(codec::ImageCrc(image) == codec::ImageCrcBytewise(image));
  FUZZ_CHECK(codec::Crc16Xmodem(image) == codec::Crc16XmodemBitwise(image));
  std::vector<uint8_t> scrambled(image.begin(), image.end()), bitwise(image.size()), back(image.size());
  codec::ScrambleBlock(image.data(), scrambled.data(), image.size());
  codec::ScrambleBlockBitwise(image.data(), bitwise.data(), image.size());
  const size_t words = image.size() / 4 * 4;
  FUZZ_CHECK(std::equal(scrambled.begin(), scrambled.begin() + static_cast<long>(words), bitwise.begin()));
  codec::ScrambleBlock(scrambled.data(), back.data(), words);
  FUZZ_CHECK(std::equal(back.begin(), back.begin() + static_cast<long>(words), image.begin()));
  if (size >= 8) {
    std::vector<uint8_t> copy(image.begin(), image.end());
    const uint32_t end = static_cast<uint32_t>(copy.size() - 4) / 4 * 4;
    codec::StoreImageChecksum(copy, end);
    FUZZ_CHECK(codec::ImageChecksumHolds(copy, end));
    (void)codec::StorageBankValid(image, "QV8", data[0] % (size - 1), end);
  }
  if (size >= codec::kBankSize) {
    std::vector<uint8_t> bank(image.begin(), image.begin() + codec::kBankSize);
    codec::SealBank(bank);
    FUZZ_CHECK(codec::BankSealed(bank));
  }
  return 0;
}
