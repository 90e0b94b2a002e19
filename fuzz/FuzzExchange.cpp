// The reader of identity files (`recover --identity FILE`): any bytes are either an identity or
// refused with a reason, never both; an identity the tool kept reads back as the same block, and
// a file in the exchange file's own format is taken only when its fields are plausible.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzAbort.h"
#include "app/ExchangeFile.h"
#include "app/KeptIdentity.h"

using namespace qvfw;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  const app::IdentityFile read = app::DecodeIdentity(bytes);
  FUZZ_CHECK(read.block.has_value() != !read.problem.empty());
  if (!read.block) return 0;
  const app::ExchangeBlock& block = *read.block;
  if (read.format == app::IdentityFile::Format::Exchange) {
    FUZZ_CHECK(size == app::kExchangeBlockSize);
    FUZZ_CHECK(block.Vid() != 0 && block.Pid() != 0);
    const std::string serial = block.Serial();
    FUZZ_CHECK(serial.size() <= 46);
    for (char c : serial) FUZZ_CHECK(c >= 0x20 && c <= 0x7E);
    // The same block in the exchange format is the same file (scrambling is its own inverse).
    const auto again = app::Scrambled(block);
    FUZZ_CHECK(std::vector<uint8_t>(again.begin(), again.end()) == bytes);
  } else {
    FUZZ_CHECK(size == app::kKeptIdentitySize);
    FUZZ_CHECK(app::EncodeKeptIdentity(block) == bytes);
  }
  // What the tool keeps, it reads back unchanged.
  const app::IdentityFile kept = app::DecodeIdentity(app::EncodeKeptIdentity(block));
  FUZZ_CHECK(kept.block && kept.block->bytes == block.bytes && kept.format == app::IdentityFile::Format::Kept);
  return 0;
}
