#pragma once
// The desktop window on the window platform, of the platform's own controls: draws the form model
// onto buttons, check boxes, edit fields, a drop-down list, static texts and the common controls'
// progress bars, and routes their notifications to the handlers. Like the Qt window it holds no
// behaviour of its own; the form model says what every control shows and where it sits.

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/AppContext.h"
#include "app/DeviceList.h"
#include "app/Shell.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "platform/Disks.h"

namespace qvfw::platform::windows_os {
class DeviceNotifications;
}

namespace qvfw::ui::win {

class NativeWindow;

// The window class of the main window, as the form names it; the test driver finds it by it.
inline constexpr char kMainWindowClass[] = "TQ77xFwTool";
// The control identifiers: 1000 + the control's index in MainForm::Controls(); the captions of
// the two file fields follow; the shortcut that reveals the "RD Version" box and the context
// menu's entry are commands of their own.
inline constexpr int kFirstControlId = 1000;
inline constexpr int kFwCaptionId = 1100;
inline constexpr int kBackupCaptionId = 1101;
inline constexpr int kRevealCommand = 1200;
inline constexpr int kRecoverCommand = 1201;
// Timers of the main window: the device-change timer and, on an emulated machine, the tick that
// moves its clock on with real time and looks at its device events.
inline constexpr UINT_PTR kDeviceChangeTimer = 101;
inline constexpr UINT_PTR kTickTimer = 1;
inline constexpr UINT kTickMs = 20;

// "BinaryFile|*.bin|All Files|*.*" as the file-open dialog takes it: pairs of zero-terminated
// strings ending with an empty one. A trailing name without a pattern is dropped.
std::string NativeFileFilter(std::string_view filter);

// The text a control shows: a literal '&' doubled, and with `mnemonic` a '&' before the first
// place of the control's letter.
std::string ShownText(const app::Control& c, std::string_view text, bool mnemonic);

// Message boxes, the file-open dialog and the event pump of the window; diagnostics go to the
// debugger output and, when given, to `diagnostics`.
class WinShell final : public app::Shell {
 public:
  explicit WinShell(platform::Diagnostics* diagnostics = nullptr) : diagnostics_(diagnostics) {}
  void Attach(NativeWindow* window) { window_ = window; }
  void MessageBox(std::string_view caption, std::string_view text, app::MessageIcon icon) override;
  bool Ask(std::string_view caption, std::string_view text, bool safeAnswer) override;
  std::optional<std::string> OpenFileDialog(std::string_view filter, std::string_view defaultExtension,
                                            std::string_view initialDir) override;
  void PumpEvents() override;
  void DiagnosticsLine(std::string_view text) override;
  void TextChanged(const app::TextChange&) override;
  void ProgressChanged(const app::ProgressBar&) override;

 private:
  HWND Owner() const;
  NativeWindow* window_ = nullptr;
  platform::Diagnostics* diagnostics_;
};

// Device arrivals and removals as the main window receives them (WM_DEVICECHANGE for the device
// and disk interface classes it registered for). An operation that waits for a device drains it
// as it would the backend's monitor.
class WindowDeviceEvents final : public platform::DeviceMonitor {
 public:
  std::vector<platform::DeviceEvent> Drain() override;
  void Push(platform::DeviceEvent e) { pending_.push_back(e); }

 private:
  std::vector<platform::DeviceEvent> pending_;
};

class NativeWindow {
 public:
  // `virtualClock`, when given, is moved on with real time while the window idles (the emulated
  // machine's time runs on it). `events`, when given, is fed by the window's own device
  // notifications (the real machine); otherwise the context's monitor is looked at on the tick.
  NativeWindow(app::AppContext& ctx, platform::VirtualClock* virtualClock, WindowDeviceEvents* events,
               platform::Diagnostics& diag);
  ~NativeWindow();
  NativeWindow(const NativeWindow&) = delete;
  NativeWindow& operator=(const NativeWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  // The start-up sequence (the first refresh runs here), then the window is drawn centred on the
  // screen and shown.
  void Start(int show);
  // Runs the message loop until the window is gone; the program's exit code.
  int Run();
  // Lets the pending messages run (the event pump of a long operation).
  void PumpPending();
  // Draws every control from the form model.
  void Render();
  // One round of idle work: device events, the device-change timer.
  void Tick();
  HWND Control(std::string_view name) const;
  app::DeviceChangeTimer& deviceTimer() { return deviceTimer_; }
  int modalDepth = 0;

 private:
  struct Item {
    const app::Control* control;
    HWND hwnd;
    enum Kind { Label, Status, Button, Check, Edit, ReadOnly, List, Progress, Panel } kind;
  };
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  HWND Create(const app::Control& c, Item::Kind kind);
  // The font of the form's face and height; `width`, when given, the average character width.
  HFONT FontFor(const std::optional<app::Font>& font, int width = 0);
  // The control's font, made smaller where its text would not fit `room` pixels (0: any room).
  HFONT Fitted(const std::optional<app::Font>& font, const std::string& text, int room);
  void OnCommand(int id, int code);
  void Handle(const std::function<void()>& handler);
  void DrainDeviceEvents();
  void ArmDeviceTimer();
  void ApplySize();
  bool InClient(HWND w) const;
  void CommitFileName();
  bool Dispatch(MSG& msg);

  app::AppContext& ctx_;
  platform::VirtualClock* virtualClock_;
  WindowDeviceEvents* events_;
  platform::Diagnostics& diag_;
  app::DeviceChangeTimer deviceTimer_;
  HWND hwnd_ = nullptr;
  HWND rdPanel_ = nullptr;
  HWND fwCaption_ = nullptr, backupCaption_ = nullptr;
  std::vector<Item> items_;
  std::map<std::string, HFONT> fonts_;
  HACCEL accelerators_ = nullptr;
  HBRUSH face_ = nullptr;
  // The registration for device notifications (the real machine's).
  std::unique_ptr<platform::windows_os::DeviceNotifications> notifications_;
  uint64_t lastTickMs_ = 0;
  app::Rgb shownColour_{1, 2, 3};
  bool rendering_ = false;
  bool inHandler_ = false;
  bool ticking_ = false;
  bool closeRequested_ = false;
  bool started_ = false;
};

}  // namespace qvfw::ui::win
