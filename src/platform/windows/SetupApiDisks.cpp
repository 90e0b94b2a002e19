#include "platform/windows/SetupApiDisks.h"

#include <array>
#include <cstring>
#include <utility>

#include "platform/windows/WinStructures.h"

namespace qvfw::platform::windows_os {
namespace {

// The storage property query's bus type for a disk path; nullopt when it cannot be asked.
std::optional<uint32_t> QueryBusType(const std::string& path) {
  UniqueHandle disk(::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
  if (!disk.valid()) return std::nullopt;
  const auto query = StoragePropertyQuery(kStorageDeviceProperty);
  // The descriptor is followed by its vendor, product and serial strings.
  alignas(8) std::array<uint8_t, 1024> reply{};
  DWORD returned = 0;
  if (!::DeviceIoControl(disk.get(), IOCTL_STORAGE_QUERY_PROPERTY, const_cast<uint8_t*>(query.data()),
                         static_cast<DWORD>(query.size()), reply.data(), static_cast<DWORD>(reply.size()), &returned,
                         nullptr))
    return std::nullopt;
  return ParseDeviceDescriptorBusType({reply.data(), returned});
}

// A dynamic volume has no storage device number; its extents say which disks it lies on.
std::optional<StorageDeviceNumber> NumberFromExtents(HANDLE volume) {
  alignas(8) std::array<uint8_t, kDiskExtentsOffset + 16 * kDiskExtentSize> reply{};
  DWORD returned = 0;
  if (!::DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, reply.data(),
                         static_cast<DWORD>(reply.size()), &returned, nullptr))
    return std::nullopt;
  const auto disks = ParseVolumeDiskExtents({reply.data(), returned});
  if (!disks || disks->size() != 1) return std::nullopt;
  return StorageDeviceNumber{kFileDeviceDisk, disks->front(), 0};
}

}  // namespace

std::vector<DiskInterface> SetupApiDiskEnumerator::EnumerateDisks() {
  const GUID diskClass = ToGuid(kDiskInterfaceClass);
  HDEVINFO set = ::SetupDiGetClassDevsA(&diskClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    diag_.Line("disks: SetupDiGetClassDevs failed: " + WindowsErrorText(::GetLastError()));
    return {};
  }
  std::vector<DiskInterface> disks;
  alignas(8) std::array<uint8_t, kInterfaceDetailBufferSize> detail;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!::SetupDiEnumDeviceInterfaces(set, nullptr, &diskClass, index, &data)) break;
    detail.fill(0);
    const DWORD detailSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    std::memcpy(detail.data(), &detailSize, sizeof detailSize);
    if (!::SetupDiGetDeviceInterfaceDetailA(set, &data, reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail.data()),
                                            static_cast<DWORD>(detail.size()), nullptr, nullptr)) {
      // A path that does not fit ends the enumeration (it is not skipped).
      diag_.Line("disks: the interface detail of disk " + std::to_string(index) +
                 " cannot be read: " + WindowsErrorText(::GetLastError()));
      break;
    }
    std::optional<std::string> path = ParseInterfaceDetail(detail);
    if (!path) continue;
    const Bus bus = BusOfDisk(*path, QueryBusType(*path));
    disks.push_back({std::move(*path), bus});
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return disks;
}

std::vector<Volume> SetupApiDiskEnumerator::EnumerateVolumes() {
  char windowsDirectory[512] = {};
  const UINT n = ::GetWindowsDirectoryA(windowsDirectory, sizeof windowsDirectory);
  if (n == 0 || n >= sizeof windowsDirectory) {
    diag_.Line("disks: the Windows directory is unknown: " + WindowsErrorText(::GetLastError()));
    windowsDirectory[0] = '\0';
  }
  return VolumesOfDrives(::GetLogicalDrives(), windowsDirectory, [](char letter) -> uint32_t {
    const char root[] = {letter, ':', '\\', '\0'};
    return ::GetDriveTypeA(root);
  });
}

std::optional<StorageDeviceNumber> SetupApiDiskEnumerator::GetStorageDeviceNumber(std::string_view path) {
  if (path.empty()) return std::nullopt;
  const std::string name(path);
  UniqueHandle device(::CreateFileA(name.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!device.valid()) return std::nullopt;
  alignas(8) std::array<uint8_t, kStorageDeviceNumberSize> reply{};
  DWORD returned = 0;
  const BOOL ok = ::DeviceIoControl(device.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, reply.data(),
                                    static_cast<DWORD>(reply.size()), &returned, nullptr);
  const DWORD lastError = ::GetLastError();
  if (ok && lastError == 0) return ParseStorageDeviceNumber({reply.data(), returned});
  if (DriveLetterOfVolumePath(name) != 0) return NumberFromExtents(device.get());
  return std::nullopt;
}

// --- device-change notifications ---

DeviceNotifications::DeviceNotifications(void* hwnd, Diagnostics& diag) {
  auto registerClass = [&](const Guid& cls) -> void* {
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = ToGuid(cls);
    HDEVNOTIFY handle = ::RegisterDeviceNotificationA(static_cast<HWND>(hwnd), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!handle) diag.Line("disks: RegisterDeviceNotification failed: " + WindowsErrorText(::GetLastError()));
    return handle;
  };
  usb_ = registerClass(kUsbDeviceInterfaceClass);
  disk_ = registerClass(kDiskInterfaceClass);
}

DeviceNotifications::~DeviceNotifications() {
  if (usb_) ::UnregisterDeviceNotification(usb_);
  if (disk_) ::UnregisterDeviceNotification(disk_);
}

std::optional<DeviceEvent> EventOfDeviceChange(uintptr_t wParam, intptr_t lParam) {
  if (lParam == 0) return std::nullopt;
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
  if (header->dbch_size < sizeof(DEV_BROADCAST_HDR)) return std::nullopt;
  return DeviceEventOf(wParam, {reinterpret_cast<const uint8_t*>(lParam), header->dbch_size});
}

namespace {

struct EventQueue {
  std::vector<DeviceEvent> pending;
};

LRESULT CALLBACK MonitorWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE) {
    if (auto* queue = reinterpret_cast<EventQueue*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA))) {
      if (auto event = EventOfDeviceChange(wParam, lParam)) queue->pending.push_back(*event);
    }
    return TRUE;
  }
  return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

constexpr char kMonitorClass[] = "qvfw.DeviceMonitor";

bool RegisterMonitorClass() {
  static const bool registered = [] {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = MonitorWindowProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = kMonitorClass;
    return ::RegisterClassExA(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  return registered;
}

}  // namespace

struct WindowsDeviceMonitor::State {
  HWND window = nullptr;
  EventQueue queue;
  std::unique_ptr<DeviceNotifications> notifications;
};

WindowsDeviceMonitor::WindowsDeviceMonitor(Diagnostics& diag) : state_(std::make_unique<State>()) {
  if (!RegisterMonitorClass()) {
    diag.Line("disks: cannot register the device monitor's window class: " + WindowsErrorText(::GetLastError()));
    return;
  }
  state_->window = ::CreateWindowExA(0, kMonitorClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     ::GetModuleHandleA(nullptr), nullptr);
  if (!state_->window) {
    diag.Line("disks: cannot create the device monitor's window: " + WindowsErrorText(::GetLastError()));
    return;
  }
  ::SetWindowLongPtrA(state_->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state_->queue));
  state_->notifications = std::make_unique<DeviceNotifications>(state_->window, diag);
}

WindowsDeviceMonitor::~WindowsDeviceMonitor() {
  state_->notifications.reset();
  if (state_->window) ::DestroyWindow(state_->window);
}

void* WindowsDeviceMonitor::Window() const { return state_->window; }

std::vector<DeviceEvent> WindowsDeviceMonitor::Drain() {
  if (!state_->window) return {};
  MSG message;
  while (::PeekMessageA(&message, state_->window, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
  return std::exchange(state_->queue.pending, {});
}

}  // namespace qvfw::platform::windows_os
