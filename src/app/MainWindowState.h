#pragma once
// The main window's long-lived state: the device table, the identity of the selected device,
// the user's options and the busy flag of the one-click update. One instance, owned by the
// application context; every handler and procedure reads and writes it there.

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "platform/Disks.h"

namespace qvfw::app {

// Fixed-width, zero-terminated text field. Writes are cut to fit, so the terminator always stays.
template <size_t N>
struct FixedText {
  std::array<char, N> bytes{};

  static constexpr size_t Capacity() { return N - 1; }  // characters, without the terminator
  void Set(std::string_view text) {
    bytes.fill(0);
    const size_t n = std::min(text.size(), Capacity());
    std::copy_n(text.data(), n, bytes.data());
  }
  std::string_view View() const {
    const auto end = std::find(bytes.begin(), bytes.end(), '\0');
    return {bytes.data(), static_cast<size_t>(end - bytes.begin())};
  }
  bool Empty() const { return bytes[0] == 0; }
};

// One supported device of the last refresh; record k belongs to item k of `DeviceList`.
struct DeviceRecord {
  FixedText<257> Path;          // the path every device command takes
  FixedText<19> DriveLetters;   // the disk's volume letters, at most 18
  uint32_t RecoveryDone = 0;    // the dual-bank recovery has run for this device
  platform::Bus Bus = platform::Bus::Usb;  // how the disk is attached (discovery tells)
  uint16_t ChipIdentity = 0;    // the refresh's identification: type low byte, revision high
};

inline constexpr size_t kDeviceTableSize = 128;

// The registration for device arrival and removal; which object it names is the window layer's
// business (a monitor on Linux, a notification handle on the window platform). 0 = none.
using DeviceNotifyHandleType = uint64_t;

struct MainWindowState {
  DeviceNotifyHandleType DeviceNotifyHandle = 0;
  std::array<DeviceRecord, kDeviceTableSize> DeviceTable{};
  int32_t DeviceCount = 0;       // paths the last enumeration returned, before identification
  uint16_t ExpectedVid = 0;      // ids the one-click flow wrote; checked after re-attach
  uint16_t ExpectedPid = 0;
  uint32_t EraseOnly = 0;        // mirrors `EraseOnlyCheck`; set from it at construction
  int32_t AmicClass = 0;         // -1 = not that maker
  int32_t AtmelClass = 0;
  int32_t FlashVendorCode = 0;   // a FlashVendor code
  uint32_t Sst25Flag = 0;
  int32_t FlashSizeKiB = 0;
  uint32_t KeepNvram = 0;        // set to 1 by construction of the main window
  int32_t ChipResetMode = 0;     // configuration key "ChipReset"
  uint32_t ImageHasNvram = 0;    // the image file starts with a 4 KiB NVRAM head
  uint8_t CurrentChipType = 0;   // ChipType of the device last identified
  uint8_t ChipRevision = 0;
  uint8_t UpdateBusy = 0;        // 1 while the one-click update runs

  // Chip identification answers with type in the low byte and revision in the high byte; the
  // two fields are always written together from it.
  void SetChipIdentity(uint16_t identity) {
    CurrentChipType = static_cast<uint8_t>(identity & 0xFF);
    ChipRevision = static_cast<uint8_t>(identity >> 8);
  }
};

}  // namespace qvfw::app
