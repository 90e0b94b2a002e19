// The window platform's backend on the real system calls (run under wine in the cross build):
// what the pass-through does with paths that are no SCSI device or that the system will not open,
// the share mode it opens with, the words for system errors, the drive letters, the device
// monitor's window, the process lock and what holds a write together.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "device/Transport.h"
#include "platform/Diagnostics.h"
#include "platform/OsError.h"
#include "platform/ProcessLock.h"
#include "platform/Writing.h"
#include "platform/windows/LockFolder.h"
#include "platform/windows/SetupApiDisks.h"
#include "platform/windows/SptdPassThrough.h"
#include "platform/windows/WinStructures.h"
#include "platform/windows/WinWriting.h"
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
  EXPECT_TRUE(res.osError == ERROR_FILE_NOT_FOUND || res.osError == ERROR_PATH_NOT_FOUND) << res.osError;
  EXPECT_FALSE(AccessDenied(res.osError));
  EXPECT_EQ(data[0], 0xEE);
  ASSERT_EQ(diag.lines.size(), 1u);
  EXPECT_EQ(diag.lines[0].rfind("scsi: cannot open \\\\?\\usbstor#", 0), 0u) << diag.lines[0];
}

// A path the system refuses to open for this process (a folder opened as a file is refused with
// ERROR_ACCESS_DENIED, as a disk is to a user without administrator rights): the error reaches the
// result, the device layer takes it for a matter of rights and says it in the system's words.
TEST(SptdPassThrough, AccessDeniedReachesTheResultAndTheReason) {
  testing::TempDir dir;
  const std::string folder = dir.path().string();
  CapturingDiagnostics diag;
  SptdPassThrough pt(diag);
  uint8_t data[40];
  const ScsiResult res = pt.Execute(folder, Inquiry(data, 40, true));
  EXPECT_FALSE(res.opened);
  EXPECT_EQ(res.osError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(AccessDenied(res.osError));
  ASSERT_EQ(diag.lines.size(), 1u);
  EXPECT_NE(diag.lines[0].find("administrator"), std::string::npos) << diag.lines[0];

  const device::Transport transport(pt, diag);
  const uint8_t inquiry[6] = {0x12, 0, 0, 0, 40, 0};
  EXPECT_FALSE(transport.PassThroughIn(folder, inquiry, data, 40, nullptr));
  ASSERT_TRUE(transport.LastFailure());
  EXPECT_TRUE(transport.LastFailure()->PermissionDenied());
  const std::string said = transport.LastFailure()->Describe();
  EXPECT_NE(said.find("found no device at " + folder + ": " + OsErrorText(ERROR_ACCESS_DENIED)), std::string::npos)
      << said;
  EXPECT_EQ(said.find("Input/output error"), std::string::npos) << "not the C library's words for 5: " << said;
}

// The words for system error codes come from the system's message table, not from the C
// library's errno table, where the same numbers mean other things.
TEST(OsErrorText, SystemCodesReadAsTheSystemSaysThem) {
  const struct {
    uint32_t code;
    const char* says;        // a part of the system's words (its own and wine's agree on it), or null
    const char* errnoWords;  // what strerror says for the same number
  } cases[] = {
      {ERROR_ACCESS_DENIED, "denied", "Input/output error"},
      {ERROR_FILE_NOT_FOUND, "not found", "No such file or directory"},
      {ERROR_NOT_READY, "not ready", "Is a directory"},
      {ERROR_GEN_FAILURE, nullptr, "Too many links"},
      {ERROR_NOT_SUPPORTED, "not supported", "Unknown error"},
      {ERROR_SHARING_VIOLATION, nullptr, "Broken pipe"},
      {ERROR_IO_DEVICE, nullptr, "Unknown error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    std::string text = OsErrorText(c.code);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.back(), '.') << text;
    EXPECT_NE(text.back(), '\n') << text;
    EXPECT_EQ(text.find(c.errnoWords), std::string::npos) << text;
    EXPECT_NE(text, "error " + std::to_string(c.code)) << "the system has words for it";
    for (char& ch : text) ch = static_cast<char>(::tolower(static_cast<unsigned char>(ch)));
    if (c.says) {
      EXPECT_NE(text.find(c.says), std::string::npos) << text;
    }
  }
  EXPECT_EQ(OsErrorText(0xDEADBEEF), "error 3735928559");
  EXPECT_EQ(WindowsErrorText(ERROR_ACCESS_DENIED), "error 5 (" + OsErrorText(ERROR_ACCESS_DENIED) + ")");
  EXPECT_FALSE(AccessDenied(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(AccessDenied(ERROR_PRIVILEGE_NOT_HELD));
}

// The adapter's alignment is asked once per device, not before every transfer.
TEST(SptdPassThrough, TheAlignmentIsAskedOncePerDevice) {
  testing::TempDir dir;
  const std::string first = dir.Write("first", "x").string();
  const std::string second = dir.Write("second", "x").string();
  CapturingDiagnostics diag;
  SptdPassThrough pt(diag);
  uint8_t data[40];
  EXPECT_EQ(pt.AdapterQueries(), 0u);
  pt.Execute(first, Inquiry(data, 40, false));
  // A file answers neither the storage query nor the capabilities: both were asked.
  const uint64_t perDevice = pt.AdapterQueries();
  EXPECT_EQ(perDevice, 2u);
  for (int i = 0; i < 3; ++i) pt.Execute(first, Inquiry(data, 40, false));
  pt.Execute(first, Inquiry(nullptr, 0, false));  // no data: no alignment needed
  EXPECT_EQ(pt.AdapterQueries(), perDevice);
  pt.Execute(second, Inquiry(data, 40, false));
  EXPECT_EQ(pt.AdapterQueries(), 2 * perDevice);
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

TEST(WindowsDeviceMonitor, ItsOwnThreadHearsTheWindowAndAnyThreadDrains) {
  CapturingDiagnostics diag;
  WindowsDeviceMonitor monitor(diag);
  ASSERT_NE(monitor.Window(), nullptr) << (diag.lines.empty() ? "" : diag.lines[0]);
  EXPECT_EQ(monitor.PollFd(), -1);
  EXPECT_TRUE(monitor.Drain().empty());
  const auto hwnd = static_cast<HWND>(monitor.Window());
  EXPECT_NE(::GetWindowThreadProcessId(hwnd, nullptr), ::GetCurrentThreadId()) << "the window is the monitor's";

  auto usb = Broadcast(kUsbDeviceInterfaceClass);
  auto disk = Broadcast(kDiskInterfaceClass);
  // Sent from another thread, as the system sends them, while nobody drains: the monitor's thread
  // takes them in at once ...
  std::thread sender([&] {
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutA(hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&usb), SMTO_NORMAL, 5000,
                          &ignored);
    ::SendMessageTimeoutA(hwnd, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_NORMAL, 5000, &ignored);
    ::SendMessageTimeoutA(hwnd, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&disk),
                          SMTO_NORMAL, 5000, &ignored);
  });
  sender.join();
  // ... and a thread that is neither the sender nor the window's hands them out, in order.
  std::vector<DeviceEvent> events;
  std::thread([&] { events = monitor.Drain(); }).join();
  EXPECT_EQ(events, (std::vector<DeviceEvent>{DeviceEvent::Arrival, DeviceEvent::Removal}));
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

namespace qvfw::platform {
namespace {

using windows_os::UniqueHandle;

// The lock file, held: every other open that asks to write is refused, in this process as in any
// other; the holder is named from the file; the lock goes with the holder.
TEST(ProcessLock, AHeldLockKeepsOthersOutAndNamesItsHolder) {
  testing::TempDir dir;
  const std::filesystem::path file = dir.path() / "machine.lock";
  VirtualClock clock;
  ProcessLock::Refusal refusal;
  auto held = ProcessLock::Acquire(file, "the machine", clock, 0, &refusal);
  ASSERT_TRUE(held) << refusal.message;
  long written = 0;
  std::ifstream(file) >> written;
  EXPECT_EQ(written, static_cast<long>(::GetCurrentProcessId())) << "readers are let in";

  const uint64_t before = clock.NowMs();
  ProcessLock::Refusal busy;
  EXPECT_FALSE(ProcessLock::Acquire(file, "the machine", clock, 300, &busy));
  EXPECT_GE(clock.NowMs() - before, 300u) << "it waited on the clock";
  EXPECT_TRUE(busy.busy);
  EXPECT_EQ(busy.holder, static_cast<long>(::GetCurrentProcessId()));
  EXPECT_EQ(busy.message, "the machine is in use by process " + std::to_string(::GetCurrentProcessId()) +
                              "; try again once it has finished");
  UniqueHandle writer(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(writer.valid());
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  held.reset();
  EXPECT_TRUE(ProcessLock::Acquire(file, "the machine", clock, 0, &refusal)) << refusal.message;
}

// What stands at the lock file's name and is no file is not taken for one (nor written through).
TEST(ProcessLock, AFolderAtTheNameIsRefused) {
  testing::TempDir dir;
  std::filesystem::create_directory(dir.path() / "machine.lock");
  VirtualClock clock;
  ProcessLock::Refusal refusal;
  EXPECT_FALSE(ProcessLock::Acquire(dir.path() / "machine.lock", "the machine", clock, 1000, &refusal));
  EXPECT_FALSE(refusal.busy);
  EXPECT_EQ(refusal.message.rfind("cannot lock the machine: ", 0), 0u) << refusal.message;
  EXPECT_EQ(clock.NowMs(), 0u) << "nothing to wait for";
}

// The bridges' lock folder: made under %ProgramData% (this process runs with administrator rights
// under wine) and used; a file standing at its name, or no %ProgramData%, gives no folder and says
// why.
TEST(ProcessLock, TheLockFolderOfTheBridges) {
  const char* was = std::getenv("ProgramData");
  const std::string programData = was ? was : "";
  testing::TempDir dir;
  testing::SetEnv("ProgramData", dir.path().string().c_str());
  std::string why;
  EXPECT_EQ(windows_os::AdministratorsLockFolder(&why), dir.path() / "qvfw") << why;
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "qvfw"));
  EXPECT_EQ(windows_os::AdministratorsLockFolder(&why), dir.path() / "qvfw") << "made once, then used: " << why;

  testing::TempDir other;
  other.Write("qvfw", "not a folder");
  testing::SetEnv("ProgramData", other.path().string().c_str());
  why.clear();
  EXPECT_EQ(windows_os::AdministratorsLockFolder(&why), std::filesystem::path());
  EXPECT_FALSE(why.empty());

  testing::SetEnv("ProgramData", nullptr);
  why.clear();
  EXPECT_EQ(windows_os::AdministratorsLockFolder(&why), std::filesystem::path());
  EXPECT_EQ(why, "%ProgramData% is not set");
  testing::SetEnv("ProgramData", was ? programData.c_str() : nullptr);
}

// While a write runs the machine is asked to stay awake, from the thread that lives as long as the
// program, and the end of the session is refused; after the last write neither.
TEST(Writing, AWriteKeepsTheMachineAwakeAndRefusesTheEndOfTheSession) {
  CapturingDiagnostics diag;
  EXPECT_EQ(windows_os::SessionWindow(), nullptr);
  BeginWrite(diag);
  const auto window = static_cast<HWND>(windows_os::SessionWindow());
  ASSERT_NE(window, nullptr) << (diag.lines.empty() ? "" : diag.lines[0]);
  EXPECT_EQ(windows_os::RequestedExecutionState(), static_cast<uint32_t>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
  EXPECT_NE(::GetWindowThreadProcessId(window, nullptr), ::GetCurrentThreadId());
  auto askToEnd = [&] {
    DWORD_PTR answer = 99;
    EXPECT_TRUE(::SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 5000, &answer));
    return answer;
  };
  EXPECT_EQ(askToEnd(), static_cast<DWORD_PTR>(FALSE));
  // A write of a worker that ends first leaves the machine held for the other.
  std::thread([&] {
    BeginWrite(diag);
    EndWrite();
  }).join();
  EXPECT_EQ(windows_os::RequestedExecutionState(), static_cast<uint32_t>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
  EXPECT_EQ(askToEnd(), static_cast<DWORD_PTR>(FALSE));
  EndWrite();
  EXPECT_EQ(windows_os::RequestedExecutionState(), static_cast<uint32_t>(ES_CONTINUOUS));
  EXPECT_EQ(askToEnd(), static_cast<DWORD_PTR>(TRUE));
  EXPECT_EQ(windows_os::SessionWindow(), nullptr);
}

// Ctrl+C and Ctrl+Break are noted during a write only (the first one noted stays); outside a write
// the handler leaves them to the next one, which ends the program.
TEST(Writing, ConsoleEventsAreNotedDuringAWriteOnly) {
  CapturingDiagnostics diag;
  {
    SignalDeferral deferral(false);
    EXPECT_FALSE(windows_os::ConsoleControlHandler(CTRL_C_EVENT));
    EXPECT_FALSE(windows_os::ConsoleControlHandler(CTRL_CLOSE_EVENT)) << "not held: the system ends the program";
    EXPECT_EQ(PendingSignal(), 0);
    BeginWrite(diag);
    EXPECT_TRUE(windows_os::ConsoleControlHandler(CTRL_BREAK_EVENT));
    EXPECT_TRUE(windows_os::ConsoleControlHandler(CTRL_C_EVENT));
    EndWrite();
    EXPECT_EQ(PendingSignal(), windows_os::kPendingCtrlBreak);
    EXPECT_STREQ(SignalWord(PendingSignal()), "break");
  }
  SignalDeferral window(true);  // the window notes them at any time
  EXPECT_EQ(PendingSignal(), 0);
  EXPECT_TRUE(windows_os::ConsoleControlHandler(CTRL_C_EVENT));
  EXPECT_STREQ(SignalWord(PendingSignal()), "interrupted");
}

}  // namespace
}  // namespace qvfw::platform
