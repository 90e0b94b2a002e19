#include "app/UpdateImage.h"

#include <algorithm>
#include <cstring>

#include "codec/ImageCodec.h"
#include "platform/Assert.h"

namespace qvfw::app {
namespace {

using codec::kBankSize;

}  // namespace

void SpliceConfiguration(std::span<uint8_t> content, const ExchangeBlock& saved) {
  QV_ASSERT(content.size() >= kBankSize, "UpdateImage");
  const auto area = saved.ConfigurationArea();
  std::copy(area.begin(), area.end(), content.begin() + 0x600);
  codec::SealBank(content.first(kBankSize));
}

namespace {

std::string_view UpToZero(std::string_view serial) { return serial.substr(0, std::min(serial.find('\0'), serial.size())); }

std::string_view WithoutTrailingSpaces(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

}  // namespace

std::string SerialAsWritten(std::string_view serial) {
  serial = UpToZero(serial);
  if (serial.size() > kSerialLength) {
    size_t cut = kSerialLength;
    // The byte after the cut continues a character (10xxxxxx): that character goes whole.
    while (cut > 0 && (static_cast<uint8_t>(serial[cut]) & 0xC0) == 0x80) --cut;
    serial = serial.substr(0, cut);
  }
  return std::string(WithoutTrailingSpaces(serial));
}

bool SerialFitsRecord(std::string_view serial) { return WithoutTrailingSpaces(UpToZero(serial)).size() <= kSerialLength; }

std::array<uint8_t, kIdentityRecordSize> BuildIdentityRecord(std::string_view serial) {
  std::array<uint8_t, kIdentityRecordSize> record{};
  record[0] = 0x42;
  const std::string written = SerialAsWritten(serial);
  std::fill(record.begin() + 52, record.end(), ' ');
  std::copy(written.begin(), written.end(), record.begin() + 52);
  return record;
}

UsbIds IdsToWrite(const ExchangeBlock& saved) {
  if (saved.Vid() == 0x1058) return {0x284D, 0x0814};
  return {saved.Vid(), saved.Pid()};
}

int32_t StandbyMinutes(int32_t timer100ms) { return timer100ms / 10 / 60; }

void PrepareDualBankImage(std::span<uint8_t> image) {
  QV_ASSERT(image.size() >= 2 * kBankSize, "UpdateImage");
  for (size_t base : {size_t{0}, kBankSize}) {
    uint8_t* bank = image.data() + base;
    static constexpr uint8_t kMarker[4] = {0x5A, 0xC3, 0x69, 0xE1};
    std::memcpy(bank + 0x200, kMarker, 4);
    std::memset(bank + 0x204, 0, 4);
    std::memcpy(bank + 0x208, bank + 0x1FFFC, 4);
    codec::StoreCheckValue(bank + 0x3FC, codec::ImageCrc({bank, 0x3FC}));
  }
}

}  // namespace qvfw::app
