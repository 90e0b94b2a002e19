#pragma once
// The two bit-level codes of firmware handling: the check value firmware images carry, and the
// keystream scrambler of the exchange file. Pure functions, used by host, emulator and tools.

#include <cstddef>
#include <cstdint>
#include <span>

namespace qvfw::codec {

// The image check value: register 0xFFFFFFFF, polynomial 0x04C11DB7, bytes in groups of four
// fed fourth byte first, each byte least significant bit first, no final inversion. A trailing
// partial group is ignored. Stored in images most significant byte first.
uint32_t ImageCrc(std::span<const uint8_t> bytes);
// The same value, one bit at a time; the reference the fast version is held to.
uint32_t ImageCrcBitwise(std::span<const uint8_t> bytes);
// The same value, one byte at a time through one table (the benchmark's comparison).
uint32_t ImageCrcBytewise(std::span<const uint8_t> bytes);

// Check values are stored most significant byte first.
void StoreCheckValue(uint8_t* at, uint32_t value);
uint32_t LoadCheckValue(const uint8_t* at);

// A firmware bank of 128 KiB carries two check values: over 0x400..0x7FB at 0x7FC and over
// 0..0x1FFFB at 0x1FFFC. SealBank computes and stores both; BankSealed tells whether they hold.
inline constexpr size_t kBankSize = 0x20000;
void SealBank(std::span<uint8_t> bank);
bool BankSealed(std::span<const uint8_t> bank);

// Scrambles (and, being its own inverse, unscrambles) `count / 4` little-endian 32-bit words of
// `in` into `out`; a trailing partial word is left alone. `in` and `out` may be the same buffer.
void ScrambleBlock(const uint8_t* in, uint8_t* out, size_t count);
void ScrambleBlockBitwise(const uint8_t* in, uint8_t* out, size_t count);

}  // namespace qvfw::codec
