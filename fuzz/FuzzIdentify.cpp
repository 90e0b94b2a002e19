// Device replies into chip, flash and size identification and the version display: a scripted
// transport answers every request from the input (status, then the data bytes), and ends the
// conversation (the device is gone) once the input is used up.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "FuzzAbort.h"
#include "chips/ChipFamilies.h"
#include "device/ChipIdentify.h"
#include "device/FlashDescriptor.h"
#include "device/FlashOps.h"
#include "device/Transport.h"
#include "firmware/FlashSize.h"
#include "firmware/VersionDisplay.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "platform/PassThrough.h"

using namespace qvfw;

namespace {

class ScriptedReplies final : public platform::PassThrough {
 public:
  explicit ScriptedReplies(std::span<const uint8_t> script) : script_(script) {}

  platform::ScsiResult Execute(std::string_view, const platform::ScsiRequest& request) override {
    platform::ScsiResult r;
    FUZZ_CHECK(request.cdb.size() >= 6 && request.cdb.size() <= 16);
    FUZZ_CHECK((request.data == nullptr) == (request.length == 0));
    if (++requests_ > 4096 || script_.empty()) return r;  // unplugged: not opened
    const uint8_t control = Take();
    r.opened = true;
    r.ioctlOk = (control & 0x80) == 0;
    switch (control & 0x03) {
      case 0: break;                        // GOOD
      case 1: r.scsiStatus = 0x02; break;   // CHECK CONDITION
      case 2: r.scsiStatus = 0x08; break;   // BUSY
      case 3: r.osError = 5; break;         // an I/O error
    }
    if (request.data != nullptr && request.dataIn) {
      std::memset(request.data, 0, request.length);
      uint32_t n = request.length;
      if (control & 0x40) n = std::min<uint32_t>(n, Take());  // a short transfer
      n = std::min<uint32_t>(n, static_cast<uint32_t>(script_.size()));
      std::memcpy(request.data, script_.data(), n);
      script_ = script_.subspan(n);
      r.transferred = n;
    } else {
      r.transferred = request.length;
    }
    if (r.scsiStatus == 0x02 && request.sense != nullptr && request.senseLength >= 3) {
      std::memset(request.sense, 0, request.senseLength);
      request.sense[0] = 0x70;
      request.sense[2] = Take() & 0x0F;
      request.sense[12] = Take();
      r.senseValid = 18;
    }
    return r;
  }

 private:
  uint8_t Take() {
    if (script_.empty()) return 0;
    const uint8_t b = script_[0];
    script_ = script_.subspan(1);
    return b;
  }
  std::span<const uint8_t> script_;
  uint32_t requests_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  platform::NullDiagnostics diagnostics;
  platform::VirtualClock clock;
  ScriptedReplies replies({data + 1, size - 1});
  device::Transport transport(replies, diagnostics);
  transport.SetClock(clock);
  const device::Device dev(transport, "fuzz0");

  const device::ChipIdentification chip = device::IdentifyChip(dev);
  FUZZ_CHECK(chips::Code(chip.id.type) < chips::kChipTypeCount || chip.id.type == chips::ChipType::Unknown);
  device::FlashDescriptor flash;
  device::IdentifyFlash(dev, flash);
  const auto route = data[0] & 1 ? firmware::FlashIdRoute::Spi : firmware::FlashIdRoute::ById4;
  firmware::DetectFlashSize(dev, flash, route);
  FUZZ_CHECK(flash.sizeKiB > 0);
  const chips::ChipType type = chips::ChipTypeOf(data[0] >> 2 & 0x3F);
  const firmware::VersionRead version = firmware::ReadVersionText(dev, type);
  if (version.kind == firmware::VersionRead::Kind::Ok)
    (void)firmware::InternalCodeRule(dev, type, version.text, chips::FlashVendorOf(flash.vendor));
  uint8_t info[16] = {};
  std::memcpy(info, data + 1, std::min<size_t>(16, size - 1));
  for (size_t code = 0; code < chips::kChipTypeCount; ++code) {
    const std::string text = firmware::FormatVersionText(chips::ChipTypeOf(static_cast<unsigned>(code)), info,
                                                         data[0] & 0x1F, data[0] & 0x20, data[0] & 0x40);
    FUZZ_CHECK(text.size() < 256);
  }
  return 0;
}
