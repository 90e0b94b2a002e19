#pragma once
// The 16-bit check value of storage-line images: CRC-16 with polynomial 0x1021, initial value 0,
// no reflection, no final XOR, fed the image's bytes in the order 3, 2, 1, 0 of each 4-byte group
// (each group read as a little-endian word and consumed from its most significant nibble down).

#include <cstdint>
#include <span>
#include <string_view>

namespace qvfw::codec {

// The plain CRC over bytes in the order given, one table lookup per nibble.
uint16_t Crc16Xmodem(std::span<const uint8_t> bytes, uint16_t crc = 0);
// The same, bit by bit: the reference the table is checked against.
uint16_t Crc16XmodemBitwise(std::span<const uint8_t> bytes, uint16_t crc = 0);
// The image checksum over `bytes` (a multiple of 4 long; a tail is taken as zero-padded).
uint16_t ImageChecksum(std::span<const uint8_t> bytes);
// Reorders bytes as the image checksum feeds them: 3, 2, 1, 0 of every group of four.
void NibbleOrder(std::span<const uint8_t> in, std::span<uint8_t> out);

// Computes the checksum over 0 .. codeAreaEnd - 4 and stores it big-endian at codeAreaEnd - 2.
void StoreImageChecksum(std::span<uint8_t> image, uint32_t codeAreaEnd);
// Whether the stored checksum matches.
bool ImageChecksumHolds(std::span<const uint8_t> image, uint32_t codeAreaEnd);

// A storage-line firmware bank (64 KiB) that a bridge can boot: the signature block at
// `signatureAt` (55 AA AA 55, then the family's three-character model key) and the image
// checksum up to the code-area end.
bool StorageBankValid(std::span<const uint8_t> bank, std::string_view modelKey, uint32_t signatureAt,
                      uint32_t codeAreaEnd);

}  // namespace qvfw::codec
