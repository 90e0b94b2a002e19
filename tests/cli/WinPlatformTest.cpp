// The command line on the window platform's own terms (run under wine): processes side by side on
// one machine folder and one bridge, a console control event in the middle of a write, disks the
// user has no rights to, the console it draws on, and device events heard by every worker of
// `update --all`. The second process is this test program again, running one of the WinChild
// cases below (they run only when asked for by name).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <io.h>
#include <fcntl.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/Cli.h"
#include "cli/CliRun.h"
#include "cli/Console.h"
#include "frontend/Machines.h"
#include "platform/Clock.h"
#include "platform/ProcessLock.h"
#include "platform/Writing.h"
#include "platform/windows/SetupApiDisks.h"
#include "platform/windows/SptdPassThrough.h"
#include "platform/windows/WinStructures.h"
#include "platform/windows/WinWriting.h"
#include "sim/Scenario.h"
#include "support/TempDir.h"

namespace qvfw::cli {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using platform::windows_os::UniqueHandle;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// A named event shared with the child.
struct Event {
  explicit Event(const std::string& role)
      : name("Local\\qvfw-test-" + std::to_string(::GetCurrentProcessId()) + "-" + role),
        handle(::CreateEventA(nullptr, TRUE, FALSE, name.c_str())) {}
  std::string name;
  UniqueHandle handle;
};

// This test program again, running WinChild.DISABLED_<role> with `env` set for it; its output goes
// to `log`.
struct Child {
  HANDLE process = nullptr;
  DWORD pid = 0;
  fs::path log;

  Child(const std::string& role, const std::vector<std::pair<std::string, std::string>>& env, const fs::path& logFile)
      : log(logFile) {
    char exe[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string command = std::string("\"") + exe + "\" --gtest_filter=WinChild.DISABLED_" + role +
                          " --gtest_also_run_disabled_tests --gtest_brief=1";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle output(::CreateFileA(log.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                      CREATE_ALWAYS, 0, nullptr));
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = nullptr;
    start.hStdOutput = output.get();
    start.hStdError = output.get();
    for (const auto& [k, v] : env) ::SetEnvironmentVariableA(k.c_str(), v.c_str());
    PROCESS_INFORMATION info{};
    const BOOL made = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &info);
    for (const auto& [k, v] : env) ::SetEnvironmentVariableA(k.c_str(), nullptr);
    EXPECT_TRUE(made) << command;
    if (made) {
      ::CloseHandle(info.hThread);
      process = info.hProcess;
      pid = info.dwProcessId;
    }
  }
  ~Child() {
    if (process) {
      ::TerminateProcess(process, 1);  // one that is still there when the test ends
      ::CloseHandle(process);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Waits for `event` (true) or for the child to end first (false).
  bool AwaitSignal(Event& event) {
    HANDLE both[2] = {event.handle.get(), process};
    return ::WaitForMultipleObjects(2, both, FALSE, 120000) == WAIT_OBJECT_0;
  }
  DWORD Exit() {
    DWORD code = 0xFFFFFFFF;
    if (process && ::WaitForSingleObject(process, 120000) == WAIT_OBJECT_0) ::GetExitCodeProcess(process, &code);
    return code;
  }
  std::string Output() const {
    std::ifstream in(log, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

class WinPlatform : public ::testing::Test {
 protected:
  CliOutcome Run(std::vector<std::string> args) { return RunCli(std::move(args), dir_.path()); }
  fs::path Folder() const { return dir_.path() / "m"; }
  std::string Sim() const { return "--sim=" + Folder().string(); }
  testing::TempDir dir_;
};

// --- the child's parts ---

// Holds the machine folder QVFW_CHILD_FOLDER, says so, and lets it go when told.
TEST(WinChild, DISABLED_HoldTheMachine) {
  platform::NullDiagnostics quiet;
  auto machine = frontend::Machine::Open(fs::path(Env("QVFW_CHILD_FOLDER")), quiet);
  UniqueHandle ready(::OpenEventA(EVENT_MODIFY_STATE, FALSE, Env("QVFW_CHILD_READY").c_str()));
  UniqueHandle go(::OpenEventA(SYNCHRONIZE, FALSE, Env("QVFW_CHILD_GO").c_str()));
  ASSERT_TRUE(ready.valid() && go.valid());
  ::SetEvent(ready.get());
  ::WaitForSingleObject(go.get(), 120000);
}

// Holds the lock file QVFW_CHILD_LOCK the same way.
TEST(WinChild, DISABLED_HoldTheLock) {
  platform::VirtualClock clock;
  platform::ProcessLock::Refusal refusal;
  auto held = platform::ProcessLock::Acquire(Env("QVFW_CHILD_LOCK"), "the device", clock, 0, &refusal);
  ASSERT_TRUE(held) << refusal.message;
  UniqueHandle ready(::OpenEventA(EVENT_MODIFY_STATE, FALSE, Env("QVFW_CHILD_READY").c_str()));
  UniqueHandle go(::OpenEventA(SYNCHRONIZE, FALSE, Env("QVFW_CHILD_GO").c_str()));
  ASSERT_TRUE(ready.valid() && go.valid());
  ::SetEvent(ready.get());
  ::WaitForSingleObject(go.get(), 120000);
}

// A pass-through that, at the chosen WRITE BUFFER piece (or at the first INQUIRY, before anything
// is written, when `atPiece` is negative), delivers a console control event the way the system
// does, or ends the session at the hidden window: on a thread of its own, and once the handler
// has returned the process ends, as the system ends it (unless Ctrl+C or Ctrl+Break was
// answered as handled).
class EventPassThrough final : public platform::PassThrough {
 public:
  EventPassThrough(platform::PassThrough& inner, int event, int atPiece) : inner_(inner), event_(event), atPiece_(atPiece) {}
  platform::ScsiResult Execute(std::string_view path, const platform::ScsiRequest& r) override {
    const bool now = atPiece_ < 0 ? !sent_ && !r.cdb.empty() && r.cdb[0] == 0x12
                                  : r.cdb.size() >= 2 && r.cdb[0] == 0x3B && r.cdb[1] == 0x0E && pieces_ == atPiece_;
    if (r.cdb.size() >= 2 && r.cdb[0] == 0x3B && r.cdb[1] == 0x0E) ++pieces_;
    if (now) {
      sent_ = true;
      if (event_ >= 0) {
        std::thread([e = static_cast<unsigned long>(event_)] {
          const bool handled = platform::windows_os::ConsoleControlHandler(e);
          if (!handled || (e != CTRL_C_EVENT && e != CTRL_BREAK_EVENT)) ::ExitProcess(STATUS_CONTROL_C_EXIT);
        }).detach();
      } else {
        const auto window = static_cast<HWND>(platform::windows_os::SessionWindow());
        std::thread([window] {
          DWORD_PTR ignored = 0;
          ::SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 120000, &ignored);
          ::ExitProcess(STATUS_CONTROL_C_EXIT);
        }).detach();
      }
      // On once the event is noted (or the process has ended).
      for (int i = 0; i < 10000 && platform::PendingSignal() == 0; ++i) ::Sleep(1);
    }
    return inner_.Execute(path, r);
  }
  int pieces() const { return pieces_; }

 private:
  platform::PassThrough& inner_;
  int event_;  // a CTRL_* event, or -1 for the end of the session
  int atPiece_;
  int pieces_ = 0;
  bool sent_ = false;
};

// `qvfw update` on the built-in machine with QVFW_CHILD_EVENT delivered at QVFW_CHILD_PIECE;
// writes "<exit code> <pieces>" and what it printed to QVFW_CHILD_REPORT, then ends the way the
// program's main does.
TEST(WinChild, DISABLED_UpdateWithAnEvent) {
  platform::VirtualClock clock;
  auto machine = sim::DefaultMachine(clock);
  EventPassThrough events(*machine, std::stoi(Env("QVFW_CHILD_EVENT")), std::stoi(Env("QVFW_CHILD_PIECE")));
  std::ostringstream out, err;
  GlobalOptions options;
  options.workingDirectory = Env("QVFW_CHILD_WORK");
  int code = -1;
  {
    Session session(options, PlatformParts{&events, machine.get(), machine.get(), &clock}, out, err, false);
    session.Start();
    code = UpdateCommand(session, out, err);
  }
  std::ofstream(Env("QVFW_CHILD_REPORT"), std::ios::binary)
      << code << " " << events.pieces() << "\n"
      << out.str() << err.str();
  platform::RaisePendingSignal();
}

// --- the tests ---

// A second process holds the machine's folder: an update is refused with the holder's process id
// (exit 1; in JSON the error kind "busy"), and nothing is written; once it has ended the update
// runs.
TEST_F(WinPlatform, TwoProcessesOnOneMachineFolder) {
  ASSERT_EQ(Run({Sim(), "list"}).code, 0);
  Event ready("ready"), go("go");
  Child child("HoldTheMachine",
              {{"QVFW_CHILD_FOLDER", Folder().string()}, {"QVFW_CHILD_READY", ready.name}, {"QVFW_CHILD_GO", go.name}},
              dir_.path() / "child.log");
  ASSERT_TRUE(child.AwaitSignal(ready)) << child.Output();
  const std::string holder = "is in use by process " + std::to_string(child.pid);
  const CliOutcome refused = Run({Sim(), "update"});
  EXPECT_EQ(refused.code, kExitDeviceFailed) << refused.out << refused.err;
  EXPECT_NE(refused.err.find(holder), std::string::npos) << refused.err;
  EXPECT_EQ(refused.out.find("Update"), std::string::npos) << refused.out;
  const CliOutcome asJson = Run({Sim(), "--json", "update"});
  EXPECT_EQ(asJson.code, kExitDeviceFailed);
  const json doc = json::parse(asJson.out);
  EXPECT_EQ(doc["error"]["kind"], "busy");
  EXPECT_EQ(doc["error"]["exitCode"], kExitDeviceFailed);
  EXPECT_NE(doc["error"]["message"].get<std::string>().find(holder), std::string::npos) << asJson.out;
  ::SetEvent(go.handle.get());
  EXPECT_EQ(child.Exit(), 0u) << child.Output();

  const CliOutcome update = Run({Sim(), "update"});
  EXPECT_EQ(update.code, 0) << update.out << update.err;
  EXPECT_NE(update.out.find("Update    Pass!!"), std::string::npos) << update.out;
}

// A second process holds a bridge's lock: every command that would change the bridge is refused
// with the holder's process id.
TEST_F(WinPlatform, ABridgeHeldByAnotherProcessIsLeftAlone) {
  ASSERT_EQ(Run({Sim(), "backup", (dir_.path() / "b.bin").string()}).code, 0);
  fs::path lockFile;
  for (const auto& e : fs::directory_iterator(Folder()))
    if (e.path().filename().string().rfind("qvfw-", 0) == 0) lockFile = e.path();
  ASSERT_FALSE(lockFile.empty()) << "the backup locked the bridge";
  Event ready("ready"), go("go");
  Child child("HoldTheLock",
              {{"QVFW_CHILD_LOCK", lockFile.string()}, {"QVFW_CHILD_READY", ready.name}, {"QVFW_CHILD_GO", go.name}},
              dir_.path() / "child.log");
  ASSERT_TRUE(child.AwaitSignal(ready)) << child.Output();
  const std::string holder = "is in use by process " + std::to_string(child.pid);
  for (std::vector<std::string> command : {std::vector<std::string>{"update"}, {"erase", "--yes"}}) {
    command.insert(command.begin(), Sim());
    const CliOutcome o = Run(command);
    EXPECT_EQ(o.code, kExitDeviceFailed) << command[1] << ": " << o.out << o.err;
    EXPECT_NE(o.err.find(holder), std::string::npos) << command[1] << ": " << o.err;
  }
  ::SetEvent(go.handle.get());
  EXPECT_EQ(child.Exit(), 0u) << child.Output();
  EXPECT_EQ(Run({Sim(), "update"}).code, 0);
}

// A console control event or the end of the session in the middle of the write: the write is
// finished, the outcome reported, and then the program ends as the event would have ended it.
TEST_F(WinPlatform, AConsoleEventDuringAWriteFinishesTheWriteThenEnds) {
  const struct {
    int event;
    const char* word;
  } cases[] = {{CTRL_CLOSE_EVENT, "console closed"},
               {CTRL_BREAK_EVENT, "break"},
               {CTRL_C_EVENT, "interrupted"},
               {CTRL_SHUTDOWN_EVENT, "shutting down"},
               {-1, "logging off"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    const fs::path report = dir_.path() / "report.txt";
    fs::remove(report);
    Child child("UpdateWithAnEvent",
                {{"QVFW_CHILD_EVENT", std::to_string(c.event)},
                 {"QVFW_CHILD_PIECE", "10"},
                 {"QVFW_CHILD_REPORT", report.string()},
                 {"QVFW_CHILD_WORK", dir_.path().string()}},
                dir_.path() / "child.log");
    EXPECT_EQ(child.Exit(), static_cast<DWORD>(STATUS_CONTROL_C_EXIT)) << "it ends by the event once done: "
                                                                      << child.Output();
    std::ifstream in(report, std::ios::binary);
    const std::string said((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(said.rfind("0 64\n", 0), 0u) << "success, every piece written: " << said;
    EXPECT_NE(said.find("Update    Pass!!"), std::string::npos) << said;
    EXPECT_NE(said.find(std::string("qvfw: ") + c.word + ": the update is finishing, please wait"), std::string::npos)
        << said;
  }
  // Before the first write nothing needs finishing: the console closing ends the program at once.
  const fs::path report = dir_.path() / "report.txt";
  fs::remove(report);
  Child early("UpdateWithAnEvent",
              {{"QVFW_CHILD_EVENT", std::to_string(CTRL_CLOSE_EVENT)},
               {"QVFW_CHILD_PIECE", "-1"},
               {"QVFW_CHILD_REPORT", report.string()},
               {"QVFW_CHILD_WORK", dir_.path().string()}},
              dir_.path() / "child.log");
  EXPECT_EQ(early.Exit(), static_cast<DWORD>(STATUS_CONTROL_C_EXIT)) << early.Output();
  EXPECT_FALSE(fs::exists(report)) << "it ended before it could report";
}

// Disks the system will not open for this user: no device, and the reason says what to do.
class RefusingDisks final : public platform::DiskEnumerator {
 public:
  explicit RefusingDisks(std::string path) : path_(std::move(path)) {}
  std::vector<platform::DiskInterface> EnumerateDisks() override { return {{path_, platform::Bus::Usb}}; }
  std::vector<platform::Volume> EnumerateVolumes() override { return {}; }
  std::optional<platform::StorageDeviceNumber> GetStorageDeviceNumber(std::string_view) override { return {}; }

 private:
  std::string path_;
};

TEST_F(WinPlatform, DisksThatRefuseTheUserSayToRunAsAdministrator) {
  // A folder opened as a device is refused with ERROR_ACCESS_DENIED, as a disk is to a user
  // without administrator rights.
  RefusingDisks disks(dir_.path().string());
  platform::NullDiagnostics quiet;
  platform::windows_os::SptdPassThrough backend(quiet);
  for (bool asJson : {false, true}) {
    std::ostringstream out, err;
    GlobalOptions options;
    options.workingDirectory = dir_.path();
    options.json = asJson;
    int code = -1;
    {
      Session session(options, PlatformParts{&backend, &disks, nullptr, nullptr}, out, err, false);
      session.Start();
      code = UpdateCommand(session, out, err);
    }
    EXPECT_EQ(code, kExitNoDevice);
    const std::string said = asJson ? json::parse(out.str())["error"]["message"].get<std::string>() : err.str();
    EXPECT_NE(said.find("No device found!! (1 disk(s) could not be opened (access denied)"), std::string::npos) << said;
    EXPECT_NE(said.find("run qvfw as administrator"), std::string::npos) << said;
    EXPECT_EQ(said.find("udev"), std::string::npos) << said;
    if (asJson) {
      EXPECT_EQ(json::parse(out.str())["error"]["kind"], "noDevice");
    }
  }
}

// --- device events in every worker ---

// The emulated machine's arrivals and removals as the system would announce them: after every
// sleep on the clock, what has happened on the machine meanwhile is sent to the device monitor's
// window as WM_DEVICECHANGE, from the sleeping thread (the system sends from threads of its own).
class AnnouncingClock final : public platform::Clock {
 public:
  AnnouncingClock(platform::VirtualClock& inner, sim::Machine& machine, HWND window)
      : inner_(inner), machine_(machine), window_(window) {}
  void Sleep(uint32_t ms) override {
    inner_.Sleep(ms);
    Announce();
  }
  void SleepUs(uint64_t us) override {
    inner_.SleepUs(us);
    Announce();
  }
  uint64_t NowMs() const override { return inner_.NowMs(); }
  uint64_t NowUs() const override { return inner_.NowUs(); }
  void RunParallel(std::span<const std::function<void()>> jobs) override { inner_.RunParallel(jobs); }

 private:
  void Announce() {
    for (platform::DeviceEvent e : machine_.Drain()) {
      if (!window_) continue;  // a system that says nothing
      DEV_BROADCAST_DEVICEINTERFACE_A b{};
      b.dbcc_size = sizeof b;
      b.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      b.dbcc_classguid = platform::windows_os::ToGuid(platform::windows_os::kDiskInterfaceClass);
      DWORD_PTR ignored = 0;
      ::SendMessageTimeoutA(window_, WM_DEVICECHANGE,
                            e == platform::DeviceEvent::Arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                            reinterpret_cast<LPARAM>(&b), SMTO_NORMAL, 5000, &ignored);
    }
  }
  platform::VirtualClock& inner_;
  sim::Machine& machine_;
  HWND window_;
};

// Counts the looks at the machine's disks.
class CountingDisks final : public platform::DiskEnumerator {
 public:
  explicit CountingDisks(platform::DiskEnumerator& inner) : inner_(inner) {}
  std::vector<platform::DiskInterface> EnumerateDisks() override {
    ++looks;
    return inner_.EnumerateDisks();
  }
  std::vector<platform::Volume> EnumerateVolumes() override { return inner_.EnumerateVolumes(); }
  std::optional<platform::StorageDeviceNumber> GetStorageDeviceNumber(std::string_view path) override {
    return inner_.GetStorageDeviceNumber(path);
  }
  std::atomic<int> looks{0};

 private:
  platform::DiskEnumerator& inner_;
};

// `update --all` of two bridges that come back 6.25 s after their restart, with the platform's
// device monitor: each worker finds its bridge when the monitor hears it come back. Beside it the
// same run where the system announces nothing, as for workers that cannot hear the monitor's
// window: they find their bridges only at their next look of the 500 ms rounds, 0.25 s later.
TEST_F(WinPlatform, UpdateAllWorkersHearTheDeviceEvents) {
  auto bridge = [](const std::string& name, const std::string& serial) {
    return json{{"name", name},
                {"bus", "usb"},
                {"chipType", 15},
                {"flash", {{"part", "MXIC"}, {"sizeKiB", 512}}},
                {"firmware", {{"generate", {{"version", "1201"}}}}},
                {"usb", {{"vid", "0x1234"}, {"pid", "0x5678"}}},
                {"serial", serial},
                {"timing", {{"restartDelayMs", 6250}}}};
  };
  const std::string machineJson = json{{"disks", json::array({bridge("a", "QVW0"), bridge("b", "QVW1")})}}.dump();
  struct Run {
    uint64_t ms;  // the run's time on the emulated hardware
    int looks;    // looks at the machine's disks
  };
  auto run = [&](bool announced) {
    platform::VirtualClock clock;
    auto machine = sim::LoadScenario(machineJson, clock);
    platform::CapturingDiagnostics diag;
    platform::windows_os::WindowsDeviceMonitor monitor(diag);
    EXPECT_NE(monitor.Window(), nullptr);
    AnnouncingClock announcing(clock, *machine, announced ? static_cast<HWND>(monitor.Window()) : nullptr);
    CountingDisks disks(*machine);
    std::ostringstream out, err;
    GlobalOptions options;
    options.workingDirectory = dir_.path();
    options.stateDirectory = dir_.path() / "state";
    int code = -1;
    uint64_t start = 0;
    {
      Session session(options, PlatformParts{machine.get(), &disks, &monitor, &announcing}, out, err, false);
      session.Start();
      disks.looks = 0;
      start = clock.NowMs();
      code = UpdateAllCommand(session, out, err, true);
    }
    EXPECT_EQ(code, 0) << out.str() << err.str();
    EXPECT_NE(out.str().find("2 bridge(s): 2 passed"), std::string::npos) << out.str();
    return Run{clock.NowMs() - start, disks.looks.load()};
  };
  const Run heard = run(true);
  const Run deaf = run(false);
  EXPECT_GE(deaf.ms, heard.ms + 200) << "heard: " << heard.ms << " ms, " << heard.looks << " looks; deaf: " << deaf.ms
                                     << " ms, " << deaf.looks << " looks";
}

// The adapter's alignment, asked by the window platform's pass-through, over a whole `qvfw update`:
// every request of the run (to the emulated bridge, which answers it) is also sent through the
// platform's pass-through to a file standing for the device's path (which takes the request to its
// adapter queries and refuses it). Asked once per device: twice for the path the bridge has before
// its restart and twice for the one after (a file answers neither query).
class AlsoThroughTheSystem final : public platform::PassThrough {
 public:
  AlsoThroughTheSystem(platform::PassThrough& inner, platform::windows_os::SptdPassThrough& system, fs::path folder)
      : inner_(inner), system_(system), folder_(std::move(folder)) {}
  platform::ScsiResult Execute(std::string_view path, const platform::ScsiRequest& r) override {
    std::string name(path);
    for (char& c : name)
      if (c == ':') c = '_';
    const fs::path file = folder_ / name;
    if (!fs::exists(file)) std::ofstream(file) << "x";
    std::vector<uint8_t> data(r.length);
    platform::ScsiRequest copy = r;
    copy.data = r.length ? data.data() : nullptr;
    copy.sense = nullptr;
    copy.senseLength = 0;
    system_.Execute(file.string(), copy);
    if (r.length) ++withData;
    return inner_.Execute(path, r);
  }
  int withData = 0;

 private:
  platform::PassThrough& inner_;
  platform::windows_os::SptdPassThrough& system_;
  fs::path folder_;
};

TEST_F(WinPlatform, AnUpdateAsksEachAdapterForItsAlignmentOnce) {
  platform::VirtualClock clock;
  auto machine = sim::DefaultMachine(clock);
  platform::NullDiagnostics quiet;
  platform::windows_os::SptdPassThrough system(quiet);
  AlsoThroughTheSystem both(*machine, system, dir_.path());
  std::ostringstream out, err;
  GlobalOptions options;
  options.workingDirectory = dir_.path();
  int code = -1;
  {
    Session session(options, PlatformParts{&both, machine.get(), machine.get(), &clock}, out, err, false);
    session.Start();
    code = UpdateCommand(session, out, err);
  }
  EXPECT_EQ(code, 0) << out.str() << err.str();
  EXPECT_GT(both.withData, 100) << "requests with a data phase";
  EXPECT_EQ(system.AdapterQueries(), 4u) << both.withData << " requests with a data phase";
}

// A terminal is a console: NUL, which the C runtime takes for a terminal, a file and a pipe are not.
TEST(WinConsole, OnlyAConsoleIsATerminal) {
  testing::TempDir dir;
  const int nul = ::_open("NUL", _O_WRONLY);
  ASSERT_GE(nul, 0);
  EXPECT_NE(::_isatty(nul), 0) << "the C runtime's answer, which the program does not use";
  EXPECT_FALSE(IsTerminal(nul));
  EXPECT_FALSE(TerminalOutput(nul).terminal());
  ::_close(nul);
  const int file = ::_open((dir.path() / "f").string().c_str(), _O_WRONLY | _O_CREAT, 0600);
  ASSERT_GE(file, 0);
  EXPECT_FALSE(IsTerminal(file));
  ::_close(file);
  int pipe[2];
  ASSERT_EQ(::_pipe(pipe, 256, _O_BINARY), 0);
  EXPECT_FALSE(IsTerminal(pipe[1]));
  ::_close(pipe[0]);
  ::_close(pipe[1]);
}

// On a console the escape codes are switched on while the program runs and the mode it had is put
// back at the end. Needs a console: scripts/win-test runs this case on a terminal of its own.
TEST(WinConsole, EscapeCodesAreSwitchedOnAndTheModePutBack) {
  UniqueHandle console(::CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
  DWORD found = 0;
  if (!console.valid() || !::GetConsoleMode(console.get(), &found)) GTEST_SKIP() << "no console here";
  ASSERT_TRUE(::SetConsoleMode(console.get(), found & ~DWORD{ENABLE_VIRTUAL_TERMINAL_PROCESSING}));
  const DWORD plain = found & ~DWORD{ENABLE_VIRTUAL_TERMINAL_PROCESSING};
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(console.Release()), _O_WRONLY);
  ASSERT_GE(fd, 0);
  const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  EXPECT_TRUE(IsTerminal(fd));
  {
    const TerminalOutput terminal(fd);
    EXPECT_TRUE(terminal.terminal());
    EXPECT_TRUE(terminal.escapes());
    DWORD during = 0;
    ASSERT_TRUE(::GetConsoleMode(h, &during));
    EXPECT_EQ(during, plain | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
  DWORD after = 0;
  ASSERT_TRUE(::GetConsoleMode(h, &after));
  EXPECT_EQ(after, plain) << "the mode it found is back";
  ::SetConsoleMode(h, found);
  ::_close(fd);
}

}  // namespace
}  // namespace qvfw::cli
