// The window platform's backend on the real system calls (run under wine in the cross build):
// what the pass-through does with paths that are no SCSI device, the share mode it opens with,
// the drive letters, and the device monitor's window.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "platform/Diagnostics.h"
#include "platform/windows/SetupApiDisks.h"
#include "platform/windows/SptdPassThrough.h"
#include "platform/windows/WinStructures.h"
#include "support/TempDir.h"

namespace qvfw::platform::windows_os {
namespace {

ScsiRequest Inquiry(uint8_t* data, uint32_t length, bool exclusive) {
  static const uint8_t cdb[6] = {0x12, 0, 0, 0, 40, 0};
  ScsiRequest r;
  r.cdb = cdb;
  r.data = data;
  r.length = length;
  r.exclusive = exclusive;
  return r;
}

TEST(SptdPassThrough, MissingDeviceIsNotOpenedAndSaysWhy) {
  CapturingDiagnostics diag;
  SptdPassThrough pt(diag);
  uint8_t data[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  const ScsiResult res = pt.Execute("\\\\?\\usbstor#disk&ven_none#0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
                                    Inquiry(data, 8, false));
  EXPECT_FALSE(res.opened);
  EXPECT_FALSE(Succeeded(res));
  EXPECT_EQ(data[0], 0xEE);
  ASSERT_EQ(diag.lines.size(), 1u);
  EXPECT_EQ(diag.lines[0].rfind("scsi: cannot open \\\\?\\usbstor#", 0), 0u) << diag.lines[0];
}

TEST(SptdPassThrough, AFileIsOpenedButRefusesTheRequest) {
  testing::TempDir dir;
  const std::string file = dir.Write("not-a-disk", std::string(64, 'x')).string();
  CapturingDiagnostics diag;
  SptdPassThrough pt(diag);
  uint8_t data[40];
  std::fill(std::begin(data), std::end(data), 0xEE);
  const ScsiResult res = pt.Execute(file, Inquiry(data, 40, false));
  EXPECT_TRUE(res.opened);
  EXPECT_FALSE(res.ioctlOk);
  EXPECT_NE(res.osError, 0u);
  EXPECT_FALSE(Succeeded(res));
  // Once open, a data-in area holds zeros, never stale bytes.
  EXPECT_TRUE(std::all_of(std::begin(data), std::end(data), [](uint8_t b) { return b == 0; }));
  ASSERT_FALSE(diag.lines.empty());
  EXPECT_NE(diag.lines.back().find("IOCTL_SCSI_PASS_THROUGH_DIRECT failed"), std::string::npos) << diag.lines.back();
}

TEST(SptdPassThrough, OnlyTheSharedOpenGetsPastAnotherOpener) {
  testing::TempDir dir;
  const std::string file = dir.Write("held", "x").string();
  // Someone else holds the device open, sharing read and write.
  UniqueHandle other(::CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(other.valid());
  CapturingDiagnostics diag;
  SptdPassThrough pt(diag);
  uint8_t data[40];
  EXPECT_TRUE(pt.Execute(file, Inquiry(data, 40, false)).opened);
  EXPECT_FALSE(pt.Execute(file, Inquiry(data, 40, true)).opened);  // share mode 0 is refused
}

TEST(SetupApiDisks, VolumesAreDriveLettersWithTheSystemDriveMarked) {
  CapturingDiagnostics diag;
  SetupApiDiskEnumerator disks(diag);
  const std::vector<Volume> volumes = disks.EnumerateVolumes();
  char windows[512] = {};
  ASSERT_NE(::GetWindowsDirectoryA(windows, sizeof windows), 0u);
  const char systemLetter = static_cast<char>(::toupper(static_cast<unsigned char>(windows[0])));
  ASSERT_FALSE(volumes.empty());
  EXPECT_TRUE(std::is_sorted(volumes.begin(), volumes.end(),
                             [](const Volume& a, const Volume& b) { return a.name < b.name; }));
  int systems = 0;
  for (const Volume& v : volumes) {
    ASSERT_EQ(v.name.size(), 1u);
    EXPECT_EQ(v.path, "\\\\.\\" + v.name + ":");
    EXPECT_EQ(v.system, v.name[0] == systemLetter) << v.name;
    systems += v.system;
  }
  EXPECT_EQ(systems, 1);
}

TEST(SetupApiDisks, EnumerationAndNumbersOfWhatIsNotThere) {
  CapturingDiagnostics diag;
  SetupApiDiskEnumerator disks(diag);
  // Whatever disks this machine has, every one comes with a path of the disk interface class.
  for (const DiskInterface& d : disks.EnumerateDisks()) {
    const auto parsed = ParseInterfacePath(d.path);
    ASSERT_TRUE(parsed) << d.path;
  }
  EXPECT_EQ(disks.GetStorageDeviceNumber("\\\\?\\usbstor#disk&ven_none#0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"),
            std::nullopt);
  EXPECT_EQ(disks.GetStorageDeviceNumber(""), std::nullopt);
}

DEV_BROADCAST_DEVICEINTERFACE_A Broadcast(const Guid& cls) {
  DEV_BROADCAST_DEVICEINTERFACE_A b{};
  b.dbcc_size = sizeof b;
  b.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  b.dbcc_classguid = ToGuid(cls);
  return b;
}

TEST(WindowsDeviceMonitor, DrainPumpsTheWindowAndReturnsItsEvents) {
  CapturingDiagnostics diag;
  WindowsDeviceMonitor monitor(diag);
  ASSERT_NE(monitor.Window(), nullptr) << (diag.lines.empty() ? "" : diag.lines[0]);
  EXPECT_EQ(monitor.PollFd(), -1);
  EXPECT_TRUE(monitor.Drain().empty());

  auto usb = Broadcast(kUsbDeviceInterfaceClass);
  auto disk = Broadcast(kDiskInterfaceClass);
  const auto hwnd = static_cast<HWND>(monitor.Window());
  // Sent on the window's own thread, the window procedure runs at once ...
  ::SendMessageA(hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&usb));
  ::SendMessageA(hwnd, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  EXPECT_EQ(monitor.Drain(), std::vector<DeviceEvent>{DeviceEvent::Arrival});
  // ... while one sent from another thread, as the system sends them, waits until Drain pumps.
  std::thread sender([&] {
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutA(hwnd, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&disk),
                          SMTO_NORMAL, 5000, &ignored);
  });
  std::vector<DeviceEvent> events;
  for (int i = 0; i < 500 && events.empty(); ++i) {
    events = monitor.Drain();
    if (events.empty()) ::Sleep(10);
  }
  sender.join();
  EXPECT_EQ(events, std::vector<DeviceEvent>{DeviceEvent::Removal});
  EXPECT_TRUE(monitor.Drain().empty());
}

TEST(WindowsDeviceMonitor, TwoMonitorsKeepTheirOwnEvents) {
  CapturingDiagnostics diag;
  WindowsDeviceMonitor first(diag);
  WindowsDeviceMonitor second(diag);
  auto usb = Broadcast(kUsbDeviceInterfaceClass);
  ::SendMessageA(static_cast<HWND>(second.Window()), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&usb));
  EXPECT_TRUE(first.Drain().empty());
  EXPECT_EQ(second.Drain(), std::vector<DeviceEvent>{DeviceEvent::Arrival});
}

}  // namespace
}  // namespace qvfw::platform::windows_os
