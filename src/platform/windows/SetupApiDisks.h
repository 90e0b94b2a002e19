#pragma once
// Disks, drive letters and device arrival on the window platform.
//
// Disk interfaces: the present interfaces of GUID_DEVINTERFACE_DISK from the setup API, in its
// order, each path exactly as SP_DEVICE_INTERFACE_DETAIL_DATA_A gives it (1024-byte detail buffer;
// a failing detail call ends the enumeration, as discovery has always done). The bus comes from the storage
// property query (IOCTL_STORAGE_QUERY_PROPERTY, StorageDeviceProperty -> BusType) on the path,
// opened without access rights; DiskParsing.h's BusOfDisk says how, UASP included. Every disk is
// reported; discovery decides which buses are candidates.
//
// Volumes: the drive letters of GetLogicalDrives, "\\.\E:" as path; the letter of the Windows
// directory is marked system, DRIVE_REMOTE letters remote (neither is ever opened here).
//
// Storage device numbers: IOCTL_STORAGE_GET_DEVICE_NUMBER on the path opened with access 0 and
// share 0; success needs the call to succeed and leave last-error 0. A drive letter's
// volume that has no number of its own (a dynamic volume) is matched by its disk extents
// (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS): a volume on exactly one disk takes that disk's number.

#include <memory>
#include <optional>

#include "platform/Diagnostics.h"
#include "platform/Disks.h"

namespace qvfw::platform::windows_os {

class SetupApiDiskEnumerator final : public DiskEnumerator {
 public:
  explicit SetupApiDiskEnumerator(Diagnostics& diag) : diag_(diag) {}
  std::vector<DiskInterface> EnumerateDisks() override;
  std::vector<Volume> EnumerateVolumes() override;
  std::optional<StorageDeviceNumber> GetStorageDeviceNumber(std::string_view path) override;

 private:
  Diagnostics& diag_;
};

// Arrival and removal of USB devices and disks, from WM_DEVICECHANGE on a message-only window
// registered (RegisterDeviceNotification) for the USB device interface class (the window's filter)
// and the disk interface class (so that IEEE 1394 disks are seen too). The window belongs to a
// thread of the monitor's own, which pumps it and queues the events it hears; Drain() hands them
// out from any thread. PollFd() stays -1 (look on a timer). A window of the GUI's own uses
// DeviceNotifications and EventOfDeviceChange the same way on its own thread.
class WindowsDeviceMonitor final : public DeviceMonitor {
 public:
  explicit WindowsDeviceMonitor(Diagnostics& diag);
  ~WindowsDeviceMonitor() override;
  WindowsDeviceMonitor(const WindowsDeviceMonitor&) = delete;
  WindowsDeviceMonitor& operator=(const WindowsDeviceMonitor&) = delete;

  std::vector<DeviceEvent> Drain() override;
  // The message-only window (an HWND), null when it could not be created.
  void* Window() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Registers `hwnd` for the USB device and disk interface broadcasts; unregisters on destruction.
class DeviceNotifications {
 public:
  DeviceNotifications(void* hwnd, Diagnostics& diag);
  ~DeviceNotifications();
  DeviceNotifications(const DeviceNotifications&) = delete;
  DeviceNotifications& operator=(const DeviceNotifications&) = delete;
  bool registered() const { return usb_ != nullptr; }

 private:
  void* usb_ = nullptr;
  void* disk_ = nullptr;
};

// The event a WM_DEVICECHANGE message carries (wParam, lParam as the window procedure got them).
std::optional<DeviceEvent> EventOfDeviceChange(uintptr_t wParam, intptr_t lParam);

}  // namespace qvfw::platform::windows_os
