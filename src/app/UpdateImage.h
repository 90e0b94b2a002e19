#pragma once
// Building the flash content of an update: the device's own configuration area spliced into
// the carried image with its check values recomputed, the identity record written back after
// programming, and the bank headers of a dual-bank image.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "app/ExchangeFile.h"

namespace qvfw::app {

inline constexpr size_t kIdentityRecordSize = 72;
inline constexpr size_t kSerialLength = 20;

// Copies the saved configuration area to 0x600..0x7FF and stores the check values over
// 0x400..0x7FB at 0x7FC and over 0..0x1FFFB at 0x1FFFC (most significant byte first).
// `content` holds at least 0x20000 bytes.
void SpliceConfiguration(std::span<uint8_t> content, const ExchangeBlock& saved);

// A serial number as the identity record carries it, and as the bridge reports it afterwards:
// up to its first zero byte, at most 20 bytes, never cut inside a character (the bytes of a UTF-8
// character that the 20th byte would split are left out), trailing spaces not counting.
std::string SerialAsWritten(std::string_view serial);
// Whether the record carries `serial` whole: at most 20 bytes once trailing spaces are gone.
bool SerialFitsRecord(std::string_view serial);

// Byte 0 = 0x42, bytes 52..71 the serial number as written (above), padded with spaces.
std::array<uint8_t, kIdentityRecordSize> BuildIdentityRecord(std::string_view serial);

struct UsbIds {
  uint16_t vid = 0;
  uint16_t pid = 0;
};
// The ids written back: the saved ones, except that vendor 0x1058 becomes 0x284D / 0x0814.
UsbIds IdsToWrite(const ExchangeBlock& saved);

// The standby timer (in 100 ms units) in whole minutes, each division truncating.
int32_t StandbyMinutes(int32_t timer100ms);

// Fills the header area of both 128 KiB banks of a 256 KiB image: marker 5A C3 69 E1, a zero
// word, a copy of the bank's check value (bank bytes 0x1FFFC..), then the header's own check
// value over bank bytes 0..0x3FB at 0x3FC.
void PrepareDualBankImage(std::span<uint8_t> image);

}  // namespace qvfw::app
