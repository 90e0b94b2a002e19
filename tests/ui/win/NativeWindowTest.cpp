// qvfw-gui.exe driven from outside through its window messages, on the built-in emulated machine
// (--sim), beside the same steps run in-process on the form model: after each step every
// control's text, state and rectangle read back from the window must be the model's. Needs a
// display (a virtual X server under wine); saves screenshots of the one-click face and of the
// engineering panel as PNG files.
//
// The program is found beside this one (..\src\ui\win\qvfw-gui.exe) unless QVFW_GUI names it;
// the pictures go to QVFW_SCREENSHOTS (default: ..\screenshots).
#include <windows.h>

#include <commctrl.h>
#include <dbt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Png.h"
#include "app/DeviceList.h"
#include "app/FirmwareChoice.h"
#include "app/MainPresenter.h"
#include "app/OneClick.h"
#include "app/ProgramVersion.h"
#include "app/Wiring.h"
#include "frontend/Machines.h"
#include "platform/Diagnostics.h"
#include "sim/Scenario.h"
#include "ui/win/NativeWindow.h"

namespace qvfw::ui::win {
namespace {

using Clock = std::chrono::steady_clock;

std::filesystem::path Beside(const char* relative) {
  char self[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  return std::filesystem::path(self).parent_path() / relative;
}

std::string Env(const char* name, const std::filesystem::path& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : fallback.string();
}

std::string Text(HWND w) {
  char buffer[1024] = {};
  DWORD_PTR got = 0;
  ::SendMessageTimeoutA(w, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer), SMTO_BLOCK, 5000, &got);
  return buffer;
}

// A control's text as drawn: without the mnemonic's marker, a doubled '&' as one.
std::string Drawn(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    out.push_back(text[i]);
  }
  return out;
}

// Waits until `done` holds, looking every 20 ms; false after `seconds`.
bool WaitUntil(const std::function<bool()>& done, int seconds = 60) {
  const auto until = Clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The reference: the same machine and the same handlers, in-process, with no window.
// Each box is noted as "caption: text [the panel's status field then]".
class ModelShell final : public app::Shell {
 public:
  void MessageBox(std::string_view caption, std::string_view text, app::MessageIcon) override {
    messages.push_back(std::string(caption) + ": " + std::string(text) + " [" + Status() + "]");
  }
  bool Ask(std::string_view caption, std::string_view text, bool) override {
    messages.push_back(std::string(caption) + ": " + std::string(text) + " [" + Status() + "]");
    return true;
  }
  std::string Status() const { return form ? form->StatusEdit.text : std::string(); }
  const app::MainForm* form = nullptr;
  std::optional<std::string> OpenFileDialog(std::string_view, std::string_view, std::string_view) override {
    return std::nullopt;
  }
  void PumpEvents() override {}
  void DiagnosticsLine(std::string_view) override {}
  std::vector<std::string> messages;
};

struct Model {
  Model()
      : machine(frontend::Machine::Open(std::filesystem::path(), diag)),
        application(machine->parts(), shell, Options()),
        ctx(application.ctx()),
        timer(ctx) {
    ctx.deviceEventSink = [this](platform::DeviceEvent e) { timer.OnDeviceChange(e); };
    shell.form = &ctx.form;
    app::ConstructMainWindow(ctx);
  }
  // What the window's idle rounds do for the next ten seconds: device events into the timer,
  // the timer's refresh, a bridge that restarts coming back.
  void Settle() {
    for (int round = 0; round < 500; ++round) {
      for (platform::DeviceEvent e : ctx.monitor->Drain()) timer.OnDeviceChange(e);
      if (timer.DueInMs() == std::optional<uint64_t>(0)) timer.Poll();
      machine->virtualClock()->Advance(20);
    }
  }
  app::WiringOptions Options() {
    std::filesystem::create_directories(dir);
    app::WiringOptions o;
    o.workingDirectory = dir;
    return o;
  }

  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("qvfw-model-" + std::to_string(::GetCurrentProcessId()));
  platform::NullDiagnostics diag;
  ModelShell shell;
  std::unique_ptr<frontend::Machine> machine;
  app::Application application;
  app::AppContext& ctx;
  app::DeviceChangeTimer timer;
};

// qvfw-gui.exe --sim in a folder of its own, and what can be asked of its window from outside.
class Gui {
 public:
  explicit Gui(const std::filesystem::path& dir) {
    std::filesystem::create_directories(dir);
    std::string command = "\"" + Env("QVFW_GUI", Beside("..\\src\\ui\\win\\qvfw-gui.exe")) + "\" --sim";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    const auto started = Clock::now();
    if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.string().c_str(), &si, &info_))
      return;
    ::WaitForInputIdle(info_.hProcess, 30000);
    WaitUntil([&] {
      main_ = Find(kMainWindowClass);
      return main_ && ::IsWindowVisible(main_);
    });
    // The window answers once its start-up, which ends with its first paint, is over.
    if (main_) Sync();
    startMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  }
  ~Gui() {
    if (!info_.hProcess) return;
    if (::WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
      if (main_) ::PostMessageA(main_, WM_CLOSE, 0, 0);
      if (::WaitForSingleObject(info_.hProcess, 10000) == WAIT_TIMEOUT) ::TerminateProcess(info_.hProcess, 1);
    }
    ::CloseHandle(info_.hThread);
    ::CloseHandle(info_.hProcess);
  }
  HWND main() const { return main_; }
  DWORD ExitCode() const {
    DWORD code = STILL_ACTIVE;
    ::WaitForSingleObject(info_.hProcess, 10000);
    ::GetExitCodeProcess(info_.hProcess, &code);
    return code;
  }

  // A top-level window of the program's own with the class given, visible.
  HWND Find(const char* cls) const {
    struct Search {
      DWORD pid;
      const char* cls;
      HWND found;
    } s{info_.dwProcessId, cls, nullptr};
    ::EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
          auto* s = reinterpret_cast<Search*>(p);
          DWORD pid = 0;
          ::GetWindowThreadProcessId(w, &pid);
          char name[64] = {};
          ::GetClassNameA(w, name, sizeof name);
          if (pid == s->pid && std::string(name) == s->cls && ::IsWindowVisible(w)) {
            s->found = w;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
  }
  HWND Control(const app::Control& c) const {
    const auto all = app::MainForm().Controls();
    int index = 0;
    while (index < static_cast<int>(all.size()) && all[static_cast<size_t>(index)]->name != c.name) ++index;
    struct Search {
      int id;
      HWND found;
    } s{kFirstControlId + index, nullptr};
    ::EnumChildWindows(
        main_,
        [](HWND w, LPARAM p) -> BOOL {
          auto* s = reinterpret_cast<Search*>(p);
          if (::GetDlgCtrlID(w) == s->id) {
            s->found = w;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
  }
  // Waits until the window has taken every message sent before.
  void Sync() const {
    DWORD_PTR r = 0;
    ::SendMessageTimeoutA(main_, WM_NULL, 0, 0, SMTO_BLOCK, 30000, &r);
  }
  // A click as the button gets it from the mouse; returns at once (the handler may open dialogs).
  void Click(HWND w) const { ::PostMessageA(w, BM_CLICK, 0, 0); }

  long long startMs = -1;

 private:
  PROCESS_INFORMATION info_{};
  HWND main_ = nullptr;
};

// The window's picture as the screen shows it, title bar and frame included.
struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  // Pixels of exactly `c` within `r` (window coordinates).
  int Count(RECT r, app::Rgb c) const {
    int n = 0;
    for (int y = std::max<LONG>(r.top, 0); y < std::min<LONG>(r.bottom, height); ++y)
      for (int x = std::max<LONG>(r.left, 0); x < std::min<LONG>(r.right, width); ++x) {
        const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
        n += p[0] == c.r && p[1] == c.g && p[2] == c.b;
      }
    return n;
  }
};

Picture Capture(HWND window) {
  ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  RECT r;
  ::GetWindowRect(window, &r);
  Picture p;
  p.width = r.right - r.left;
  p.height = r.bottom - r.top;
  HDC screen = ::GetDC(nullptr);
  HDC mem = ::CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = p.width;
  bi.bmiHeader.biHeight = -p.height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib = ::CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = ::SelectObject(mem, dib);
  ::BitBlt(mem, 0, 0, p.width, p.height, screen, r.left, r.top, SRCCOPY);
  ::GdiFlush();
  p.rgb.resize(static_cast<size_t>(p.width) * p.height * 3);
  const auto* bgra = static_cast<const uint8_t*>(bits);
  for (size_t i = 0; i < static_cast<size_t>(p.width) * p.height; ++i) {
    p.rgb[i * 3] = bgra[i * 4 + 2];
    p.rgb[i * 3 + 1] = bgra[i * 4 + 1];
    p.rgb[i * 3 + 2] = bgra[i * 4];
  }
  ::SelectObject(mem, old);
  ::DeleteObject(dib);
  ::DeleteDC(mem);
  ::ReleaseDC(nullptr, screen);
  return p;
}

// A control's rectangle within the window's picture.
RECT InPicture(HWND window, HWND control) {
  RECT w, c;
  ::GetWindowRect(window, &w);
  ::GetWindowRect(control, &c);
  return {c.left - w.left, c.top - w.top, c.right - w.left, c.bottom - w.top};
}

const app::CheckBox* AsCheck(const app::MainForm& f, const app::Control* c) {
  for (const app::CheckBox* b : {&f.RdCheckBox, &f.EraseOnlyCheck, &f.BackupFWCheckBox, &f.NVRAMCheck,
                                 &f.ReadWriteBufferChk, &f.SetPrdSNchk})
    if (b == c) return b;
  return nullptr;
}

// Every control as the window shows it against the form model: text, enabled, shown, checked,
// position, list items and bar position.
void ExpectWindowShowsModel(const Gui& gui, const app::MainForm& f, const std::string& step) {
  SCOPED_TRACE(step);
  EXPECT_EQ(Text(gui.main()), f.window.caption);
  RECT client;
  ::GetClientRect(gui.main(), &client);
  EXPECT_EQ(client.right, f.window.clientWidth);
  EXPECT_EQ(client.bottom, f.window.clientHeight);
  for (const app::Control* c : f.Controls()) {
    SCOPED_TRACE(std::string(c->name));
    HWND w = gui.Control(*c);
    ASSERT_NE(w, nullptr);
    const bool list = c == &f.DeviceList;
    const bool bar = c == &f.ProgressBar1 || c == &f.ProgressBar2;
    const bool panel = c == &f.Panel1 || c == &f.RdPanel;
    if (!list && !bar && !panel) {
      EXPECT_EQ(Drawn(Text(w)), c->text);
    }
    EXPECT_EQ(::IsWindowEnabled(w) != FALSE, c->enabled);
    EXPECT_EQ((::GetWindowLongPtrA(w, GWL_STYLE) & WS_VISIBLE) != 0, c->visible);
    // The container and the place within it.
    char parentClass[64] = {};
    ::GetClassNameA(::GetParent(w), parentClass, sizeof parentClass);
    EXPECT_EQ(std::string(parentClass), c->container.empty() ? std::string(kMainWindowClass) : std::string("QvfwPanel"));
    RECT r;
    ::GetWindowRect(w, &r);
    ::MapWindowPoints(nullptr, ::GetParent(w), reinterpret_cast<POINT*>(&r), 2);
    ASSERT_TRUE(c->place);
    EXPECT_EQ(r.left, c->place->left);
    EXPECT_EQ(r.top, c->place->top);
    if (c->place->width != 0) {
      EXPECT_EQ(r.right - r.left, c->place->width);
      EXPECT_EQ(r.bottom - r.top, c->place->height);
    }
    if (const auto* box = AsCheck(f, c)) {
      EXPECT_EQ(::SendMessageA(w, BM_GETCHECK, 0, 0) == BST_CHECKED, box->checked);
    }
    if (list) {
      const auto& l = static_cast<const app::ListBox&>(*c);
      ASSERT_EQ(static_cast<size_t>(::SendMessageA(w, CB_GETCOUNT, 0, 0)), l.items.size());
      for (size_t i = 0; i < l.items.size(); ++i) {
        // Asked for in UTF-16: wine hands another process's ANSI list text over cut short.
        wchar_t item[512] = {};
        ::SendMessageW(w, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
        std::string narrow;
        for (const wchar_t* p = item; *p; ++p) narrow.push_back(static_cast<char>(*p));
        EXPECT_EQ(narrow, l.items[i]);
      }
      EXPECT_EQ(::SendMessageA(w, CB_GETCURSEL, 0, 0), l.itemIndex);
    }
    if (bar) {
      EXPECT_EQ(::SendMessageA(w, PBM_GETPOS, 0, 0), static_cast<const app::ProgressBar&>(*c).position);
    }
  }
}

// True when the window shows the model's texts, states and bar positions (what the handlers
// change; the places are compared by ExpectWindowShowsModel).
bool Converged(const Gui& gui, const app::MainForm& f) {
  for (const app::Control* c : f.Controls()) {
    HWND w = gui.Control(*c);
    if (!w) return false;
    const bool list = c == &f.DeviceList;
    const bool bar = c == &f.ProgressBar1 || c == &f.ProgressBar2;
    const bool panel = c == &f.Panel1 || c == &f.RdPanel;
    if (!list && !bar && !panel && Drawn(Text(w)) != c->text) return false;
    if ((::IsWindowEnabled(w) != FALSE) != c->enabled) return false;
    if (((::GetWindowLongPtrA(w, GWL_STYLE) & WS_VISIBLE) != 0) != c->visible) return false;
    if (bar && ::SendMessageA(w, PBM_GETPOS, 0, 0) != static_cast<const app::ProgressBar&>(*c).position) return false;
  }
  return true;
}

// Answers every message box the window opens until `done` holds: OK, or Yes to a question.
// Returns "caption: text" of each box in order.
// Each is noted as the model notes it, with the panel's status field at the time.
std::vector<std::string> AnswerDialogs(const Gui& gui, HWND status, const std::function<bool()>& done,
                                       int seconds = 120) {
  std::vector<std::string> seen;
  WaitUntil(
      [&] {
        if (HWND box = gui.Find("#32770")) {
          const std::string caption = Text(box);
          HWND text = ::GetDlgItem(box, 0xFFFF);
          seen.push_back(caption + ": " + (text ? Text(text) : std::string()) + " [" + Text(status) + "]");
          HWND answer = ::GetDlgItem(box, IDYES);
          if (!answer) answer = ::GetDlgItem(box, IDOK);
          ::PostMessageA(answer, BM_CLICK, 0, 0);
          WaitUntil([&] { return !::IsWindow(box) || !::IsWindowVisible(box); }, 10);
          return false;
        }
        return done();
      },
      seconds);
  return seen;
}

void Keys(std::initializer_list<WORD> keys) {
  std::vector<INPUT> in;
  for (WORD k : keys) {
    INPUT i{};
    i.type = INPUT_KEYBOARD;
    i.ki.wVk = k;
    in.push_back(i);
  }
  for (auto it = keys.end(); it != keys.begin();) {
    INPUT i{};
    i.type = INPUT_KEYBOARD;
    i.ki.wVk = *--it;
    i.ki.dwFlags = KEYEVENTF_KEYUP;
    in.push_back(i);
  }
  ::SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
}

std::filesystem::path Shots() {
  const std::filesystem::path dir = Env("QVFW_SCREENSHOTS", Beside("..\\screenshots"));
  std::filesystem::create_directories(dir);
  return dir;
}

TEST(NativeWindow, DrivenThroughItsMessagesShowsWhatTheFormModelSays) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("qvfw-gui-" + std::to_string(::GetCurrentProcessId()));
  Model model;
  Gui gui(dir);
  ASSERT_NE(gui.main(), nullptr) << "qvfw-gui.exe did not show its window";
  std::printf("qvfw-gui.exe: window drawn %lld ms after start\n", gui.startMs);
  const app::MainForm& f = model.ctx.form;

  // Start-up: the one-click face, the caption from the program file's version resource.
  ASSERT_TRUE(WaitUntil([&] { return Text(gui.Control(f.devpnl)) == f.devpnl.text; }));
  gui.Sync();
  EXPECT_EQ(f.window.caption, app::FormatCaption(app::kBuildVersion));
  ExpectWindowShowsModel(gui, f, "start-up");
  {
    const Picture face = Capture(gui.main());
    EXPECT_GT(face.Count(InPicture(gui.main(), gui.Control(f.devpnl)), app::kBlue), 50);
    EXPECT_EQ(face.Count(InPicture(gui.main(), gui.Control(f.devpnl)), app::kRed), 0);
    EXPECT_TRUE(testing::WritePng((Shots() / "qvfw-gui-win-face.png").string(), face.width, face.height, face.rgb));
  }

  // The steps, each done to the window and to the model, then compared; the table's texts are
  // what a user sees at that point whatever the model says.
  struct Step {
    const char* what;
    std::function<void()> window;  // to the window (returns once the window is done)
    std::function<void()> onModel;
    std::vector<std::pair<const app::Control*, std::string>> texts;
    std::vector<std::pair<const app::Control*, bool>> enabled;
    std::vector<std::string> messages;  // the boxes the window opened, "caption: text"
  };
  std::vector<std::string> shown;
  int barAtPass = -1;
  Picture passPicture;
  app::AppContext& ctx = model.ctx;
  const std::vector<Step> steps = {
      {"refresh",
       [&] {
         DWORD_PTR r = 0;
         HWND button = gui.Control(f.RefreshBtn);
         ::SendMessageTimeoutA(gui.main(), WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(button), BN_CLICKED),
                               reinterpret_cast<LPARAM>(button), SMTO_BLOCK, 30000, &r);
       },
       [&] { app::RefreshBtnClick(ctx); },
       {{&f.devpnl, "Click Update firmware button to proceed."}, {&f.FwVerLableEdit, "1.2.0.1"}},
       {{&f.YesBtn, true}, {&f.UpdateBtn, false}},
       {}},
      {"one-click update",
       [&] {
         gui.Click(gui.Control(f.YesBtn));
         shown = AnswerDialogs(gui, gui.Control(f.StatusEdit), [&] {
           if (Text(gui.Control(f.devpnl)) != "Update    Pass!!") return false;
           barAtPass = static_cast<int>(::SendMessageA(gui.Control(f.ProgressBar2), PBM_GETPOS, 0, 0));
           return true;
         });
         passPicture = Capture(gui.main());
         // The re-attached bridge's refresh follows on the device-change timer.
         WaitUntil([&] { return Text(gui.Control(f.devpnl)) == "Firmware already updated."; });
         gui.Sync();
       },
       [&] {
         app::YesBtnClick(ctx);
         model.Settle();
       },
       {{&f.devpnl, "Firmware already updated."}, {&f.FwVerLableEdit, "1.2.0.3"}},
       {{&f.YesBtn, false}, {&f.ExitBtn, true}},
       {}},
      {"the shortcut reveals the RD Version box",
       [&] {
         ::SetForegroundWindow(gui.main());
         gui.Sync();
         Keys({VK_CONTROL, VK_SHIFT, 'R'});
         WaitUntil([&] { return ::IsWindowVisible(gui.Control(f.RdCheckBox)) != FALSE; }, 10);
         gui.Sync();
       },
       [&] { ctx.form.RdCheckBox.visible = true; },
       {{&f.RdCheckBox, "RD Version"}},
       {{&f.RdCheckBox, true}},
       {}},
      {"RD Version checked opens the panel",
       [&] {
         gui.Click(gui.Control(f.RdCheckBox));
         WaitUntil([&] { return ::IsWindowVisible(gui.Control(f.RdPanel)) != FALSE; }, 10);
         gui.Sync();
       },
       [&] {
         ctx.form.RdCheckBox.checked = true;
         app::RdCheckBoxClick(ctx);
       },
       {{&f.EraseOnlyCheck, "Erase All Flash Only "}, {&f.BackupFWCheckBox, "Backup Old Firmware Only"},
        {&f.BackupBtn, "Browse"}, {&f.UpdateBtn, "Run"}},
       {{&f.UpdateBtn, false}, {&f.LoadBtn, true}},
       {}},
      {"erase only checked",
       [&] {
         gui.Click(gui.Control(f.EraseOnlyCheck));
         WaitUntil([&] { return ::IsWindowEnabled(gui.Control(f.UpdateBtn)) != FALSE; }, 10);
         gui.Sync();
       },
       [&] {
         ctx.form.EraseOnlyCheck.checked = true;
         app::EraseOnlyCheckClick(ctx, 0);
       },
       {},
       {{&f.UpdateBtn, true}, {&f.FwFilenameEdit, false}},
       {}},
      {"Run erases, its question answered",
       [&] {
         gui.Click(gui.Control(f.UpdateBtn));
         shown = AnswerDialogs(gui, gui.Control(f.StatusEdit), [&] { return Converged(gui, f); });
         gui.Sync();
       },
       [&] {
         app::UpdateBtnClick(ctx);
         model.Settle();
       },
       // The erased bridge comes back on its boot code, with no firmware version of the carried one's.
       {{&f.devpnl, "Firmware ID not match!!"}},
       {},
       {"Message: Chip Auto reset, Please wait device re-attached! [Erase flash all success!]"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    shown.clear();
    model.shell.messages.clear();
    step.onModel();
    step.window();
    EXPECT_TRUE(WaitUntil([&] { return Converged(gui, f); }, 60)) << "the window never showed what the model shows";
    for (const auto& [c, text] : step.texts) {
      EXPECT_EQ(Drawn(Text(gui.Control(*c))), text) << c->name;
      EXPECT_EQ(c->text, text) << c->name;
    }
    for (const auto& [c, on] : step.enabled) EXPECT_EQ(::IsWindowEnabled(gui.Control(*c)) != FALSE, on) << c->name;
    EXPECT_EQ(shown, model.shell.messages);
    EXPECT_EQ(shown, step.messages);
    ExpectWindowShowsModel(gui, f, step.what);
    if (std::string(step.what) == "one-click update") {
      // At the pass the bar was full and the status line green.
      EXPECT_GT(passPicture.Count(InPicture(gui.main(), gui.Control(f.devpnl)), app::kGreen), 50);
      EXPECT_EQ(passPicture.Count(InPicture(gui.main(), gui.Control(f.devpnl)), app::kBlue), 0);
      EXPECT_EQ(barAtPass, 100);
    }
    if (std::string(step.what) == "RD Version checked opens the panel") {
      const Picture panel = Capture(gui.main());
      EXPECT_TRUE(testing::WritePng((Shots() / "qvfw-gui-win-panel.png").string(), panel.width, panel.height, panel.rgb));
    }
  }
  std::printf("erase: %s; boxes:", Text(gui.Control(f.StatusEdit)).c_str());
  for (const std::string& m : model.shell.messages) std::printf(" [%s]", m.c_str());
  std::printf("\n");

  // Exit closes the window and ends the program with 0.
  gui.Click(gui.Control(f.ExitBtn));
  EXPECT_EQ(gui.ExitCode(), 0u);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::remove_all(model.dir, ec);
}

// The emulator's disks, counting the enumerations: each refresh of the device list runs one.
class CountingDisks final : public platform::DiskEnumerator {
 public:
  explicit CountingDisks(platform::DiskEnumerator& inner) : inner_(inner) {}
  std::vector<platform::DiskInterface> EnumerateDisks() override {
    ++enumerations;
    return inner_.EnumerateDisks();
  }
  std::vector<platform::Volume> EnumerateVolumes() override { return inner_.EnumerateVolumes(); }
  std::optional<platform::StorageDeviceNumber> GetStorageDeviceNumber(std::string_view path) override {
    return inner_.GetStorageDeviceNumber(path);
  }
  int enumerations = 0;

 private:
  platform::DiskEnumerator& inner_;
};

// The real machine's path, in-process: the window takes WM_DEVICECHANGE for the disk and USB
// device interface classes itself and restarts timer 101, 1200 ms after an arrival and 200 ms
// after a removal; when it is due, one refresh runs. Other classes and events are ignored.
TEST(NativeWindow, DeviceChangeMessagesRestartTheTimer) {
  constexpr GUID kDisk = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
  constexpr GUID kUsb = {0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};
  constexpr GUID kVolume = {0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
  struct Event {
    WPARAM what;
    GUID cls;
  };
  struct Case {
    const char* name;
    bool pluggedAtStart;
    std::vector<Event> events;  // sent in order; the bridge is unplugged at a removal, plugged at an arrival
    std::optional<uint64_t> delayMs;
    const char* listedAfter;
    const char* statusBefore;
  };
  const Case cases[] = {
      {"removal", true, {{DBT_DEVICEREMOVECOMPLETE, kDisk}}, 200, "No available device!!!",
       "Click Update firmware button to proceed."},
      {"arrival", false, {{DBT_DEVICEARRIVAL, kUsb}}, 1200, "<<USB>> ", "Click Update firmware button to proceed."},
      {"quick unplug and replug", true, {{DBT_DEVICEREMOVECOMPLETE, kDisk}, {DBT_DEVICEARRIVAL, kDisk}}, 1200,
       "<<USB>> ", "Click Update firmware button to proceed."},
      {"a volume's arrival", false, {{DBT_DEVICEARRIVAL, kVolume}}, std::nullopt, "No available device!!!",
       "No device found!!"},
      {"another event", true, {{DBT_DEVICEQUERYREMOVE, kDisk}}, std::nullopt, "<<USB>> ",
       "Click Update firmware button to proceed."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("qvfw-events-" + std::to_string(::GetCurrentProcessId()));
    std::filesystem::create_directories(dir);
    platform::VirtualClock clock;
    auto machine = sim::DefaultMachine(clock);
    if (!c.pluggedAtStart) machine->Unplug(0);
    CountingDisks disks(*machine);
    WindowDeviceEvents events;
    platform::NullDiagnostics diag;
    WinShell shell;
    app::WiringOptions options;
    options.workingDirectory = dir;
    app::Application application(app::PlatformParts{machine.get(), &disks, &events, &clock}, shell, options);
    app::AppContext& ctx = application.ctx();
    NativeWindow window(ctx, nullptr, &events, diag);
    ASSERT_NE(window.hwnd(), nullptr);
    shell.Attach(&window);
    window.Start(SW_HIDE);
    const int before = disks.enumerations;
    for (const Event& e : c.events) {
      if (e.what == DBT_DEVICEREMOVECOMPLETE) machine->Unplug(0);
      if (e.what == DBT_DEVICEARRIVAL && e.cls != kVolume) machine->Plug(0);
      DEV_BROADCAST_DEVICEINTERFACE_A broadcast{};
      broadcast.dbcc_size = sizeof broadcast;
      broadcast.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      broadcast.dbcc_classguid = e.cls;
      EXPECT_EQ(::SendMessageA(window.hwnd(), WM_DEVICECHANGE, e.what, reinterpret_cast<LPARAM>(&broadcast)), TRUE);
    }
    EXPECT_EQ(window.deviceTimer().DueInMs(), c.delayMs);
    EXPECT_EQ(Text(window.Control("devpnl")), c.statusBefore);
    if (c.delayMs) {
      clock.Advance(*c.delayMs - 1);
      window.Tick();
      EXPECT_EQ(disks.enumerations, before);
      clock.Advance(1);
    } else {
      clock.Advance(5000);
    }
    ::SendMessageA(window.hwnd(), WM_TIMER, kDeviceChangeTimer, 0);
    EXPECT_EQ(disks.enumerations, before + (c.delayMs ? 1 : 0));
    char item[256] = {};
    ::SendMessageA(window.Control("DeviceList"), CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(item));
    EXPECT_EQ(std::string(item).rfind(c.listedAfter, 0), 0u) << item;
    clock.Advance(5000);
    window.Tick();
    EXPECT_EQ(disks.enumerations, before + (c.delayMs ? 1 : 0));
    shell.Attach(nullptr);
  }
}

TEST(NativeWindow, FileFiltersInTheDialogsForm) {
  using namespace std::string_literals;
  EXPECT_EQ(NativeFileFilter("BinaryFile|*.bin|All Files|*.*|QVT Files|*.qvt"),
            "BinaryFile\0*.bin\0All Files\0*.*\0QVT Files\0*.qvt\0\0"s);
  EXPECT_EQ(NativeFileFilter("BinaryFile|*.bin|Odd"), "BinaryFile\0*.bin\0\0"s);
  EXPECT_EQ(NativeFileFilter(""), "\0"s);
}

TEST(NativeWindow, MnemonicsMarkTheFirstPlaceOfTheLetter) {
  app::MainForm f;
  EXPECT_EQ(ShownText(f.ExitBtn, "Exit", true), "E&xit");
  EXPECT_EQ(ShownText(f.ExitBtn, "Exit", false), "Exit");
  EXPECT_EQ(ShownText(f.BackupBtn, "Browse", true), "Br&owse");
  EXPECT_EQ(ShownText(f.YesBtn, "A & B Update", true), "A && B &Update");
  EXPECT_EQ(ShownText(f.devpnl, "a & b", true), "a && b");
}

}  // namespace
}  // namespace qvfw::ui::win
