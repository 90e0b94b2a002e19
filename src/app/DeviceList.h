#pragma once
// The device table and its list: a refresh finds the admitted disks, identifies each bridge,
// lists the supported ones and tells whether the one-click update is offered. Arrival and
// removal of devices restart a one-shot timer whose expiry runs the refresh.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "app/AppContext.h"
#include "device/ChipIdentify.h"

namespace qvfw::app {

inline constexpr size_t kMaxListedDevices = 128;
inline constexpr uint32_t kArrivalDelayMs = 1200;
inline constexpr uint32_t kRemovalDelayMs = 200;

// Identifies the chip behind `dev`; a QVB787 without a usable revision is told to the user.
device::ChipIdentification IdentifyChip(AppContext& ctx, const device::Device& dev,
                                        const device::ProbeAnswers* known = nullptr);

void RefreshBtnClick(AppContext& ctx);

// The one-click face's verdict for the selected device (what a refresh ends with), drawn on the
// status line and `YesBtn`.
void TellReadiness(AppContext& ctx);

struct VersionVerdict {
  bool idMismatch = false;
  bool sameVersion = false;
  bool deviceNewer = false;  // the device's four fields are later than the image's
};
// Compares the device's version text with the carried image's version bytes 25..28.
VersionVerdict CompareVersions(std::string_view deviceVersion, std::span<const uint8_t, 4> imageVersion);

// The one-shot device-change timer, on the context's clock. The front end feeds it the device
// events and calls Poll from its event loop (or waits DueInMs first).
class DeviceChangeTimer {
 public:
  explicit DeviceChangeTimer(AppContext& ctx) : ctx_(ctx) {}
  // `OnDeviceChange`: an arrival also puts the ready text on the status line unless an update
  // runs; both restart the timer (1200 ms after an arrival, 200 ms after a removal).
  void OnDeviceChange(platform::DeviceEvent event);
  // `OnTimer` when the timer is due: pumps events, stops the timer and refreshes. True when a
  // refresh ran.
  bool Poll();
  // Milliseconds until the timer is due (0 when overdue); nothing when it is stopped.
  std::optional<uint64_t> DueInMs() const;

 private:
  AppContext& ctx_;
  std::optional<uint64_t> dueAt_;
};

}  // namespace qvfw::app
