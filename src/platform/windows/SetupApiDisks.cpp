#include "platform/windows/SetupApiDisks.h"

#include <array>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
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

constexpr UINT kStop = WM_APP + 1;

LRESULT CALLBACK MonitorWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

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
  std::mutex mutex;                  // guards `pending`
  std::vector<DeviceEvent> pending;  // what the window heard and no Drain() has taken yet
  HWND window = nullptr;
  std::thread thread;  // owns the window and runs its message loop
};

namespace {

LRESULT CALLBACK MonitorWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<WindowsDeviceMonitor::State*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (message == WM_DEVICECHANGE) {
    if (state) {
      if (auto event = EventOfDeviceChange(wParam, lParam)) {
        std::lock_guard guard(state->mutex);
        state->pending.push_back(*event);
      }
    }
    return TRUE;
  }
  if (message == kStop) {
    ::PostQuitMessage(0);
    return 0;
  }
  return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace

WindowsDeviceMonitor::WindowsDeviceMonitor(Diagnostics& diag) : state_(std::make_unique<State>()) {
  // The window is made, registered and pumped by a thread of the monitor's own: the system sends
  // its device broadcasts to that thread, whatever the other threads are doing, and Drain() may be
  // called from any thread (the workers of a parallel update each wait for their own bridge).
  std::mutex m;
  std::condition_variable made;
  bool done = false;
  State& s = *state_;
  s.thread = std::thread([&s, &diag, &m, &made, &done] {
    HWND window = nullptr;
    std::unique_ptr<DeviceNotifications> notifications;
    if (!RegisterMonitorClass()) {
      diag.Line("disks: cannot register the device monitor's window class: " + WindowsErrorText(::GetLastError()));
    } else {
      window = ::CreateWindowExA(0, kMonitorClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 ::GetModuleHandleA(nullptr), nullptr);
      if (!window) {
        diag.Line("disks: cannot create the device monitor's window: " + WindowsErrorText(::GetLastError()));
      } else {
        ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&s));
        notifications = std::make_unique<DeviceNotifications>(window, diag);
      }
    }
    {
      // Told under the lock: the constructor's locals are gone once it is let go.
      std::lock_guard lock(m);
      s.window = window;
      done = true;
      made.notify_one();
    }
    if (!window) return;
    MSG message;
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&message);
      ::DispatchMessageA(&message);
    }
    notifications.reset();
    ::DestroyWindow(window);
  });
  std::unique_lock lock(m);
  made.wait(lock, [&] { return done; });
}

WindowsDeviceMonitor::~WindowsDeviceMonitor() {
  if (state_->window) ::PostMessageA(state_->window, kStop, 0, 0);
  if (state_->thread.joinable()) state_->thread.join();
}

void* WindowsDeviceMonitor::Window() const { return state_->window; }

std::vector<DeviceEvent> WindowsDeviceMonitor::Drain() {
  std::lock_guard guard(state_->mutex);
  return std::exchange(state_->pending, {});
}

}  // namespace qvfw::platform::windows_os
