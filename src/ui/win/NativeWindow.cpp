#include "ui/win/NativeWindow.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "app/FirmwareChoice.h"
#include "app/MainPresenter.h"
#include "app/OneClick.h"
#include "platform/windows/SetupApiDisks.h"

namespace qvfw::ui::win {
namespace {

constexpr char kPanelClass[] = "QvfwPanel";
// The height a drop-down list opens to below its selection field.
constexpr int kDropDownHeight = 200;

std::string WindowText(HWND w) {
  const int n = ::GetWindowTextLengthA(w);
  std::string text(static_cast<size_t>(n) + 1, '\0');
  const int got = ::GetWindowTextA(w, text.data(), n + 1);
  text.resize(static_cast<size_t>(std::max(got, 0)));
  return text;
}

void SetText(HWND w, const std::string& text) {
  if (WindowText(w) != text) ::SetWindowTextA(w, text.c_str());
}

// A control's rectangle in its parent's client coordinates.
RECT PlacedRect(HWND w) {
  RECT r;
  ::GetWindowRect(w, &r);
  ::MapWindowPoints(nullptr, ::GetParent(w), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// The panels (`Panel1`, `RdPanel`): a frame, thin sunken or raised, around what lies on them. A
// panel that holds controls passes their notifications on to the main window.
LRESULT CALLBACK PanelProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
      return ::SendMessageA(::GetAncestor(hwnd, GA_ROOT), message, wParam, lParam);
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = ::BeginPaint(hwnd, &ps);
      RECT r;
      ::GetClientRect(hwnd, &r);
      const bool sunken = ::GetWindowLongPtrA(hwnd, GWLP_USERDATA) != 0;
      ::DrawEdge(dc, &r, sunken ? BDR_SUNKENOUTER : BDR_RAISEDINNER, BF_RECT);
      ::EndPaint(hwnd, &ps);
      return 0;
    }
    default:
      return ::DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

bool RegisterClasses(HINSTANCE instance, WNDPROC mainProc) {
  WNDCLASSEXA main{};
  main.cbSize = sizeof main;
  main.lpfnWndProc = mainProc;
  main.hInstance = instance;
  main.hIcon = static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(1), IMAGE_ICON, 32, 32, 0));
  main.hIconSm = static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(1), IMAGE_ICON, 16, 16, 0));
  main.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  main.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  main.lpszClassName = kMainWindowClass;
  WNDCLASSEXA panel = main;
  panel.lpfnWndProc = PanelProc;
  panel.hIcon = panel.hIconSm = nullptr;
  panel.lpszClassName = kPanelClass;
  auto ok = [](const WNDCLASSEXA& wc) {
    return ::RegisterClassExA(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  };
  return ok(main) && ok(panel);
}

UINT IconStyle(app::MessageIcon icon) {
  switch (icon) {
    case app::MessageIcon::Information: return MB_ICONINFORMATION;
    case app::MessageIcon::Warning: return MB_ICONWARNING;
    case app::MessageIcon::Error: return MB_ICONERROR;
    case app::MessageIcon::None: break;
  }
  return 0;
}

// Marks a flag for the life of one scope, also when what runs in it throws.
class Scope {
 public:
  explicit Scope(bool& flag) : flag_(flag) { flag_ = true; }
  ~Scope() { flag_ = false; }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  bool& flag_;
};

class ModalScope {
 public:
  explicit ModalScope(NativeWindow* w) : w_(w) {
    if (w_) ++w_->modalDepth;
  }
  ~ModalScope() {
    if (w_) --w_->modalDepth;
  }
  ModalScope(const ModalScope&) = delete;
  ModalScope& operator=(const ModalScope&) = delete;

 private:
  NativeWindow* w_;
};

}  // namespace

std::string NativeFileFilter(std::string_view filter) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    const size_t bar = filter.find('|', start);
    parts.push_back(filter.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  std::string out;
  for (size_t i = 0; i + 1 < parts.size(); i += 2) {
    out.append(parts[i]).push_back('\0');
    out.append(parts[i + 1]).push_back('\0');
  }
  out.push_back('\0');
  return out;
}

std::string ShownText(const app::Control& c, std::string_view text, bool mnemonic) {
  std::string shown;
  bool marked = !mnemonic || c.mnemonic == 0;
  for (char ch : text) {
    if (ch == '&') {
      shown += "&&";
      continue;
    }
    if (!marked && std::toupper(static_cast<unsigned char>(ch)) == std::toupper(static_cast<unsigned char>(c.mnemonic))) {
      shown.push_back('&');
      marked = true;
    }
    shown.push_back(ch);
  }
  return shown;
}

// --- the shell ---

HWND WinShell::Owner() const { return window_ ? window_->hwnd() : nullptr; }

void WinShell::MessageBox(std::string_view caption, std::string_view text, app::MessageIcon icon) {
  const ModalScope modal(window_);
  ::MessageBoxA(Owner(), std::string(text).c_str(), std::string(caption).c_str(), MB_OK | IconStyle(icon));
}

bool WinShell::Ask(std::string_view caption, std::string_view text, bool safeAnswer) {
  const ModalScope modal(window_);
  const int answer = ::MessageBoxA(Owner(), std::string(text).c_str(), std::string(caption).c_str(),
                                   MB_YESNO | MB_ICONQUESTION | (safeAnswer ? MB_DEFBUTTON1 : MB_DEFBUTTON2));
  return answer == IDYES;
}

std::optional<std::string> WinShell::OpenFileDialog(std::string_view filter, std::string_view defaultExtension,
                                                    std::string_view initialDir) {
  const ModalScope modal(window_);
  const std::string filters = NativeFileFilter(filter);
  const std::string extension(defaultExtension), dir(initialDir);
  std::array<char, 4096> file{};
  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = Owner();
  ofn.lpstrFilter = filters.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = dir.empty() ? nullptr : dir.c_str();
  ofn.lpstrTitle = "Open";
  ofn.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
  ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!::GetOpenFileNameA(&ofn)) return std::nullopt;
  return std::string(file.data());
}

void WinShell::PumpEvents() {
  if (!window_) return;
  // Draw what the handler changed first, so that the paint the pump runs shows it.
  window_->Render();
  window_->PumpPending();
  window_->Tick();
}

void WinShell::DiagnosticsLine(std::string_view text) {
  std::string line(text);
  line.push_back('\n');
  ::OutputDebugStringA(line.c_str());
  if (diagnostics_) diagnostics_->Line(text);
}

void WinShell::TextChanged(const app::TextChange&) {
  if (window_) window_->Render();
}

void WinShell::ProgressChanged(const app::ProgressBar&) {
  if (window_) window_->Render();
}

std::vector<platform::DeviceEvent> WindowDeviceEvents::Drain() {
  // The notifications are sent to the window; looking at its queue delivers them.
  MSG message;
  while (::PeekMessageA(&message, nullptr, WM_DEVICECHANGE, WM_DEVICECHANGE, PM_REMOVE)) ::DispatchMessageA(&message);
  return std::exchange(pending_, {});
}

// --- the window ---

NativeWindow::NativeWindow(app::AppContext& ctx, platform::VirtualClock* virtualClock, WindowDeviceEvents* events,
                           platform::Diagnostics& diag)
    : ctx_(ctx), virtualClock_(virtualClock), events_(events), diag_(diag), deviceTimer_(ctx) {
  ctx_.deviceEventSink = [this](platform::DeviceEvent e) { deviceTimer_.OnDeviceChange(e); };
  const HINSTANCE instance = ::GetModuleHandleA(nullptr);
  INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&icc);
  if (!RegisterClasses(instance, &NativeWindow::Proc)) {
    diag_.Line("window: cannot register the window classes");
    return;
  }
  face_ = ::GetSysColorBrush(COLOR_BTNFACE);
  // A fixed single border with the system menu and a minimize box only.
  hwnd_ = ::CreateWindowExA(WS_EX_CONTROLPARENT, kMainWindowClass, "", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN,
                            CW_USEDEFAULT, CW_USEDEFAULT, 400, 200, nullptr, nullptr, instance, this);
  if (!hwnd_) {
    diag_.Line("window: cannot create the main window");
    return;
  }
  ::SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(ctx_.form.window.font)), FALSE);
  CreateControls();
  ACCEL reveal{FVIRTKEY | FCONTROL | FSHIFT, 'R', kRevealCommand};
  accelerators_ = ::CreateAcceleratorTableA(&reveal, 1);
  // The registration for device notifications is part of the start-up sequence; the window
  // carries it out with the backend's notification code.
  if (events_) {
    ctx_.hooks.RegisterDeviceArrival = [this](app::AppContext& c) {
      auto registration = std::make_unique<platform::windows_os::DeviceNotifications>(hwnd_, diag_);
      if (registration->registered()) c.state.DeviceNotifyHandle = reinterpret_cast<uintptr_t>(registration.get());
      notifications_ = std::move(registration);
    };
    ctx_.hooks.UnregisterDeviceArrival = [this](app::AppContext&) { notifications_.reset(); };
  }
}

NativeWindow::~NativeWindow() {
  ctx_.deviceEventSink = nullptr;
  app::DestroyMainWindow(ctx_);
  if (hwnd_ && ::IsWindow(hwnd_)) {
    ::SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
    ::DestroyWindow(hwnd_);
  }
  if (accelerators_) ::DestroyAcceleratorTable(accelerators_);
  for (auto& [key, font] : fonts_) ::DeleteObject(font);
}

HFONT NativeWindow::FontFor(const std::optional<app::Font>& font, int width) {
  const app::Font f = font.value_or(ctx_.form.window.font);
  const std::string key = std::string(f.name) + "/" + std::to_string(f.height) + "/" + std::to_string(width);
  auto it = fonts_.find(key);
  if (it != fonts_.end()) return it->second;
  HFONT h = ::CreateFontA(f.height, width, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                          CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, std::string(f.name).c_str());
  fonts_.emplace(key, h);
  return h;
}

HFONT NativeWindow::Fitted(const std::optional<app::Font>& font, const std::string& text, int room) {
  app::Font f = font.value_or(ctx_.form.window.font);
  HFONT h = FontFor(f);
  if (text.empty() || room <= 0) return h;
  HDC dc = ::GetDC(hwnd_);
  auto width = [&](HFONT candidate) {
    HGDIOBJ old = ::SelectObject(dc, candidate);
    SIZE size{};
    ::GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    ::SelectObject(dc, old);
    return static_cast<int>(size.cx);
  };
  // Where the face drawn is wider than the form's own, a text that would not fit its control is
  // drawn narrower (condensed; in a face that can be condensed where the form's cannot), or
  // smaller where condensing is not enough, never cut off.
  if (width(h) > room) {
    for (std::string_view face : {f.name, std::string_view("Tahoma")}) {
      app::Font candidate{face, f.height};
      HGDIOBJ old = ::SelectObject(dc, FontFor(candidate));
      TEXTMETRICA tm{};
      ::GetTextMetricsA(dc, &tm);
      ::SelectObject(dc, old);
      for (int percent = 95; percent >= 60 && tm.tmAveCharWidth > 0; percent -= 5) {
        HFONT narrower = FontFor(candidate, std::max(1, static_cast<int>(tm.tmAveCharWidth) * percent / 100));
        if (width(narrower) <= room) {
          ::ReleaseDC(hwnd_, dc);
          return narrower;
        }
      }
    }
    const int sign = f.height < 0 ? -1 : 1;
    while (width(h) > room && f.height * sign > 8) {
      f.height -= sign;
      h = FontFor(f);
    }
  }
  ::ReleaseDC(hwnd_, dc);
  return h;
}

HWND NativeWindow::Create(const app::Control& c, Item::Kind kind) {
  const std::vector<const app::Control*> all = ctx_.form.Controls();
  const auto index = static_cast<int>(std::find(all.begin(), all.end(), &c) - all.begin());
  const char* cls = "STATIC";
  DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
  DWORD ex = 0;
  switch (kind) {
    case Item::Label: style |= SS_LEFTNOWORDWRAP | SS_NOPREFIX; break;
    case Item::Status: style |= SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX; break;
    case Item::Button: cls = "BUTTON"; style |= BS_PUSHBUTTON; break;
    case Item::Check: cls = "BUTTON"; style |= BS_AUTOCHECKBOX; break;
    case Item::Edit: cls = "EDIT"; style |= ES_AUTOHSCROLL; ex = WS_EX_CLIENTEDGE; break;
    case Item::ReadOnly: cls = "EDIT"; style |= ES_AUTOHSCROLL | ES_READONLY; ex = WS_EX_CLIENTEDGE; break;
    case Item::List: cls = "COMBOBOX"; style |= CBS_DROPDOWNLIST | WS_VSCROLL; break;
    case Item::Progress: cls = PROGRESS_CLASSA; break;
    case Item::Panel: cls = kPanelClass; ex = WS_EX_CONTROLPARENT; break;
  }
  HWND parent = c.container == "RdPanel" ? rdPanel_ : hwnd_;
  HWND w = ::CreateWindowExA(ex, cls, "", style, 0, 0, 0, 0, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + index)),
                             ::GetModuleHandleA(nullptr), nullptr);
  if (!w) {
    diag_.Line("window: cannot create the control " + std::string(c.name));
    return nullptr;
  }
  ::SendMessageA(w, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(c.font)), FALSE);
  if (kind == Item::Panel && &c == &ctx_.form.Panel1) ::SetWindowLongPtrA(w, GWLP_USERDATA, 1);
  if (kind == Item::List && c.place) ::SendMessageA(w, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), c.place->height - 6);
  items_.push_back({&c, w, kind});
  return w;
}

void NativeWindow::CreateControls() {
  app::MainForm& f = ctx_.form;
  auto caption = [&](int id, const app::Edit& edit) {
    HWND parent = edit.container == "RdPanel" ? rdPanel_ : hwnd_;
    HWND w = ::CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SS_LEFTNOWORDWRAP, 0, 0, 0, 0, parent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleA(nullptr), nullptr);
    ::SendMessageA(w, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(std::nullopt)), FALSE);
    if (edit.captionPlace) {
      const app::Place& p = *edit.captionPlace;
      ::SetWindowPos(w, nullptr, p.left, p.top, p.width, p.height, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return w;
  };
  // Children are stacked in the order they are made, which is also the Tab order; the frames go
  // beneath everything once all are made.
  HWND panel1 = Create(f.Panel1, Item::Panel);
  rdPanel_ = Create(f.RdPanel, Item::Panel);
  Create(f.devpnl, Item::Status);
  Create(f.YesBtn, Item::Button);
  Create(f.ExitBtn, Item::Button);
  Create(f.ProgressBar2, Item::Progress);
  Create(f.replugLable, Item::Label);
  Create(f.diskLabel, Item::Label);
  Create(f.RdCheckBox, Item::Check);
  fwCaption_ = caption(kFwCaptionId, f.FwFilenameEdit);
  Create(f.FwFilenameEdit, Item::Edit);
  Create(f.LoadBtn, Item::Button);
  Create(f.DeviceList, Item::List);
  Create(f.ChipLabelEdit, Item::ReadOnly);
  Create(f.SFlashTypeLable, Item::ReadOnly);
  Create(f.FwVerLableEdit, Item::ReadOnly);
  Create(f.StatusEdit, Item::ReadOnly);
  Create(f.DiskLetterLable, Item::ReadOnly);
  Create(f.RefreshBtn, Item::Button);
  Create(f.UpdateBtn, Item::Button);
  Create(f.ProgressBar1, Item::Progress);
  Create(f.EraseOnlyCheck, Item::Check);
  Create(f.BackupFWCheckBox, Item::Check);
  Create(f.NVRAMCheck, Item::Check);
  Create(f.ReadWriteBufferChk, Item::Check);
  Create(f.SetPrdSNchk, Item::Check);
  backupCaption_ = caption(kBackupCaptionId, f.BackupFileEdit);
  Create(f.BackupFileEdit, Item::ReadOnly);
  Create(f.BackupBtn, Item::Button);
  const UINT keep = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
  if (rdPanel_) ::SetWindowPos(rdPanel_, HWND_BOTTOM, 0, 0, 0, 0, keep);
  if (panel1) ::SetWindowPos(panel1, HWND_BOTTOM, 0, 0, 0, 0, keep);
}

HWND NativeWindow::Control(std::string_view name) const {
  for (const Item& i : items_)
    if (i.control->name == name) return i.hwnd;
  return nullptr;
}

void NativeWindow::Start(int show) {
  if (!hwnd_) return;
  {
    Scope busy(inHandler_);
    app::ConstructMainWindow(ctx_);
  }
  started_ = true;
  Render();
  if (ctx_.form.window.centred) {
    RECT work, r;
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    ::GetWindowRect(hwnd_, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    ::SetWindowPos(hwnd_, nullptr, work.left + (work.right - work.left - w) / 2,
                   work.top + (work.bottom - work.top - h) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  }
  ::ShowWindow(hwnd_, show);
  ::UpdateWindow(hwnd_);
  lastTickMs_ = ::GetTickCount64();
  if (!events_) ::SetTimer(hwnd_, kTickTimer, kTickMs, nullptr);
  ArmDeviceTimer();
}

bool NativeWindow::Dispatch(MSG& msg) {
  if (accelerators_ && ::TranslateAcceleratorA(hwnd_, accelerators_, &msg)) return true;
  if (::IsDialogMessageA(hwnd_, &msg)) return true;
  ::TranslateMessage(&msg);
  ::DispatchMessageA(&msg);
  return true;
}

int NativeWindow::Run() {
  MSG msg{};
  while (::GetMessageA(&msg, nullptr, 0, 0) > 0) Dispatch(msg);
  return static_cast<int>(msg.wParam);
}

void NativeWindow::PumpPending() {
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      ::PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    Dispatch(msg);
  }
}

void NativeWindow::DrainDeviceEvents() {
  platform::DeviceMonitor* source = events_ ? static_cast<platform::DeviceMonitor*>(events_) : ctx_.monitor;
  if (!source) return;
  for (platform::DeviceEvent e : source->Drain()) deviceTimer_.OnDeviceChange(e);
}

void NativeWindow::ArmDeviceTimer() {
  if (!hwnd_) return;
  const auto due = deviceTimer_.DueInMs();
  if (!due) {
    ::KillTimer(hwnd_, kDeviceChangeTimer);
    return;
  }
  // Kill and start again: a burst of events restarts the wait each time.
  ::KillTimer(hwnd_, kDeviceChangeTimer);
  ::SetTimer(hwnd_, kDeviceChangeTimer, static_cast<UINT>(std::clamp<uint64_t>(*due, 1, 0x7FFFFFFF)), nullptr);
}

void NativeWindow::Tick() {
  if (ticking_ || !started_ || ctx_.form.window.closed) return;
  bool ran = false;
  {
    Scope ticking(ticking_);
    const uint64_t now = ::GetTickCount64();
    if (virtualClock_ && now > lastTickMs_) virtualClock_->Advance(now - lastTickMs_);
    lastTickMs_ = now;
    DrainDeviceEvents();
    if (modalDepth > 0) {
      // A dialog is open in the middle of a handler: the refresh waits for both to end.
    } else if (inHandler_) {
      // Inside a handler's event pump: the refresh a re-attaching device causes runs in the
      // middle of the operation, which keeps its status line and progress to itself.
      ran = deviceTimer_.Poll();
    } else if (deviceTimer_.DueInMs() == std::optional<uint64_t>(0)) {
      Scope busy(inHandler_);
      ran = deviceTimer_.Poll();
    }
  }
  ArmDeviceTimer();
  if (ran) Render();
  if (closeRequested_ && !inHandler_) ::PostMessageA(hwnd_, WM_CLOSE, 0, 0);
}

void NativeWindow::Handle(const std::function<void()>& handler) {
  if (inHandler_ || !started_ || ctx_.form.window.closed) return;
  {
    Scope busy(inHandler_);
    handler();
  }
  Render();
  ArmDeviceTimer();
  if (ctx_.form.window.closed || closeRequested_) ::PostMessageA(hwnd_, WM_CLOSE, 0, 0);
}

void NativeWindow::CommitFileName() {
  const std::string text = WindowText(Control("FwFilenameEdit"));
  if (text == ctx_.form.FwFilenameEdit.text) return;
  Handle([this, text] {
    ctx_.form.FwFilenameEdit.text = text;
    app::UpdateBtnCheck(ctx_);
  });
}

void NativeWindow::OnCommand(int id, int code) {
  app::MainForm& f = ctx_.form;
  if (id == kRevealCommand) {
    // Engineers reveal the hidden "RD Version" box; checking it then opens the options.
    Handle([&f] { f.RdCheckBox.visible = true; });
    return;
  }
  if (id == kRecoverCommand) {
    Handle([this] { app::RecoverClick(ctx_); });
    return;
  }
  if (id == IDOK) {
    // Return in the firmware file field ends the typing.
    if (::GetFocus() == Control("FwFilenameEdit")) CommitFileName();
    return;
  }
  const std::vector<const app::Control*> all = f.Controls();
  const int index = id - kFirstControlId;
  if (index < 0 || index >= static_cast<int>(all.size())) return;
  const app::Control* c = all[static_cast<size_t>(index)];
  HWND w = Control(c->name);
  const bool checked = ::SendMessageA(w, BM_GETCHECK, 0, 0) == BST_CHECKED;
  if (code == BN_CLICKED) {
    if (c == &f.YesBtn) Handle([this] { app::YesBtnClick(ctx_); });
    else if (c == &f.ExitBtn) Handle([this] { app::ExitBtnClick(ctx_); });
    else if (c == &f.LoadBtn) Handle([this] { app::LoadBtnClick(ctx_); });
    else if (c == &f.UpdateBtn) Handle([this] { app::UpdateBtnClick(ctx_); });
    else if (c == &f.RefreshBtn) Handle([this] { app::RefreshBtnClick(ctx_); });
    else if (c == &f.BackupBtn) Handle([this] { app::BackupBtnClick(ctx_); });
    else if (c == &f.RdCheckBox)
      Handle([this, checked] {
        ctx_.form.RdCheckBox.checked = checked;
        app::RdCheckBoxClick(ctx_);
      });
    else if (c == &f.EraseOnlyCheck || c == &f.BackupFWCheckBox) {
      const int tag = static_cast<const app::CheckBox*>(c)->tag;
      Handle([this, c, tag, checked] {
        (c == &ctx_.form.EraseOnlyCheck ? ctx_.form.EraseOnlyCheck : ctx_.form.BackupFWCheckBox).checked = checked;
        app::EraseOnlyCheckClick(ctx_, tag);
      });
    } else if (c == &f.NVRAMCheck)
      Handle([this, checked] {
        ctx_.form.NVRAMCheck.checked = checked;
        app::NVRAMCheckClick(ctx_);
      });
    else if (c == &f.SetPrdSNchk)
      // The procedures read this box when they run.
      Handle([this, checked] { ctx_.form.SetPrdSNchk.checked = checked; });
    else if (c == &f.ReadWriteBufferChk)
      Handle([this, checked] { ctx_.form.ReadWriteBufferChk.checked = checked; });
  } else if (c == &f.DeviceList && code == CBN_SELCHANGE) {
    const int index2 = static_cast<int>(::SendMessageA(w, CB_GETCURSEL, 0, 0));
    Handle([this, index2] {
      ctx_.form.DeviceList.Select(index2);
      app::UpdateBtnCheck(ctx_);
    });
  } else if (c == &f.FwFilenameEdit && code == EN_KILLFOCUS) {
    // A typed path is checked once it is complete, not at every key.
    CommitFileName();
  }
}

LRESULT CALLBACK NativeWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<NativeWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->hwnd_ = hwnd;
  }
  auto* self = reinterpret_cast<NativeWindow*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!self) return ::DefWindowProcA(hwnd, message, wParam, lParam);
  return self->OnMessage(message, wParam, lParam);
}

LRESULT NativeWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (lParam != 0 || HIWORD(wParam) <= 1) OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lParam) == Control("devpnl")) {
        const app::Rgb c = ctx_.form.devpnl.colour;
        HDC dc = reinterpret_cast<HDC>(wParam);
        ::SetTextColor(dc, RGB(c.r, c.g, c.b));
        ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(face_);
      }
      break;
    case WM_CONTEXTMENU:
      if (ctx_.form.RecoverMenu.visible) {
        HMENU menu = ::CreatePopupMenu();
        ::AppendMenuA(menu, MF_STRING | (ctx_.form.RecoverMenu.enabled ? 0 : MF_GRAYED), kRecoverCommand,
                      ctx_.form.RecoverMenu.text.c_str());
        POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        if (lParam == -1) {
          at = {0, 0};
          ::ClientToScreen(hwnd_, &at);
        }
        ::TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, hwnd_, nullptr);
        ::DestroyMenu(menu);
        return 0;
      }
      break;
    case WM_DROPFILES:
      ::DragFinish(reinterpret_cast<HDROP>(wParam));
      app::DropFiles(ctx_);
      return 0;
    case WM_DEVICECHANGE:
      if (events_) {
        if (auto e = platform::windows_os::EventOfDeviceChange(wParam, lParam)) {
          events_->Push(*e);
          if (!inHandler_ && !ticking_) {
            DrainDeviceEvents();
            ArmDeviceTimer();
            Render();
          }
        }
      }
      return TRUE;
    case WM_TIMER:
      if (wParam == kDeviceChangeTimer) ::KillTimer(hwnd_, kDeviceChangeTimer);
      if (wParam == kDeviceChangeTimer || wParam == kTickTimer) Tick();
      return 0;
    case WM_CLOSE:
      if (inHandler_ || app::InCriticalSection(ctx_)) {
        // An operation is running (and may be writing the device): the window closes once it
        // has ended, never in its middle.
        closeRequested_ = true;
        return 0;
      }
      closeRequested_ = false;
      if (!ctx_.form.window.closed) app::CloseMainWindow(ctx_);
      ::DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      ::KillTimer(hwnd_, kTickTimer);
      ::KillTimer(hwnd_, kDeviceChangeTimer);
      ::PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcA(hwnd_, message, wParam, lParam);
}

bool NativeWindow::InClient(HWND w) const {
  RECT r;
  ::GetWindowRect(w, &r);
  ::MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&r), 2);
  return r.left >= 0 && r.top >= 0 && r.right <= ctx_.form.window.clientWidth &&
         r.bottom <= ctx_.form.window.clientHeight;
}

void NativeWindow::ApplySize() {
  RECT client;
  ::GetClientRect(hwnd_, &client);
  const int w = ctx_.form.window.clientWidth, h = ctx_.form.window.clientHeight;
  if (client.right == w && client.bottom == h) return;
  RECT r{0, 0, w, h};
  ::AdjustWindowRectEx(&r, static_cast<DWORD>(::GetWindowLongPtrA(hwnd_, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(::GetWindowLongPtrA(hwnd_, GWL_EXSTYLE)));
  ::SetWindowPos(hwnd_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (!started_) return;
  // A window grown downwards past the bottom of its screen moves up to stay whole on it.
  RECT work, now;
  ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  ::GetWindowRect(hwnd_, &now);
  if (now.bottom > work.bottom)
    ::SetWindowPos(hwnd_, nullptr, now.left, std::max(work.top, now.top - (now.bottom - work.bottom)), 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void NativeWindow::Render() {
  if (rendering_ || !hwnd_) return;
  Scope rendering(rendering_);
  const app::MainForm& f = ctx_.form;
  SetText(hwnd_, f.window.caption);
  ::DragAcceptFiles(hwnd_, f.window.acceptsDroppedFiles ? TRUE : FALSE);
  ApplySize();

  for (const Item& item : items_) {
    const app::Control& c = *item.control;
    HWND w = item.hwnd;
    if (c.place) {
      app::Place p = *c.place;
      if (p.width == 0 || p.height == 0) {
        // Sized by its text.
        HDC dc = ::GetDC(w);
        HGDIOBJ old = ::SelectObject(dc, FontFor(c.font));
        SIZE size{};
        ::GetTextExtentPoint32A(dc, c.text.c_str(), static_cast<int>(c.text.size()), &size);
        ::SelectObject(dc, old);
        ::ReleaseDC(w, dc);
        if (p.width == 0) p.width = size.cx;
        if (p.height == 0) p.height = size.cy;
      }
      const RECT now = PlacedRect(w);
      const int height = item.kind == Item::List ? p.height + kDropDownHeight : p.height;
      if (now.left != p.left || now.top != p.top || now.right - now.left != p.width ||
          (item.kind != Item::List && now.bottom - now.top != p.height))
        ::SetWindowPos(w, nullptr, p.left, p.top, p.width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    // The room a control leaves for its text: the frame of a button, the indicator of a box.
    int room = 0;
    if (c.place && c.place->width > 0) {
      if (item.kind == Item::Button) room = c.place->width - 12;
      else if (item.kind == Item::Check) room = c.place->width - 24;
      else if (item.kind == Item::Label || item.kind == Item::Status) room = c.place->width;
    }
    const HFONT font = Fitted(c.font, c.text, room);
    if (reinterpret_cast<HFONT>(::SendMessageA(w, WM_GETFONT, 0, 0)) != font)
      ::SendMessageA(w, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    switch (item.kind) {
      case Item::Button:
      case Item::Check:
        SetText(w, ShownText(c, c.text, InClient(w)));
        break;
      case Item::Edit:
        // What the user is typing stays until the edit is finished.
        if (!(::GetFocus() == w && ::SendMessageA(w, EM_GETMODIFY, 0, 0))) SetText(w, c.text);
        break;
      case Item::Label:
      case Item::Status:
      case Item::ReadOnly:
        SetText(w, c.text);
        break;
      case Item::List: {
        const auto& list = static_cast<const app::ListBox&>(c);
        bool same = static_cast<size_t>(::SendMessageA(w, CB_GETCOUNT, 0, 0)) == list.items.size();
        for (size_t i = 0; same && i < list.items.size(); ++i) {
          std::array<char, 512> text{};
          const LRESULT n = ::SendMessageA(w, CB_GETLBTEXTLEN, i, 0);
          same = n >= 0 && static_cast<size_t>(n) < text.size() &&
                 ::SendMessageA(w, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data())) >= 0 &&
                 list.items[i] == text.data();
        }
        if (!same) {
          ::SendMessageA(w, CB_RESETCONTENT, 0, 0);
          for (const std::string& s : list.items) ::SendMessageA(w, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s.c_str()));
        }
        if (::SendMessageA(w, CB_GETCURSEL, 0, 0) != list.itemIndex) ::SendMessageA(w, CB_SETCURSEL, list.itemIndex, 0);
        break;
      }
      case Item::Progress: {
        const auto& bar = static_cast<const app::ProgressBar&>(c);
        PBRANGE range{};
        ::SendMessageA(w, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
        if (range.iLow != bar.min || range.iHigh != bar.max) ::SendMessageA(w, PBM_SETRANGE32, bar.min, bar.max);
        if (::SendMessageA(w, PBM_GETPOS, 0, 0) != bar.position) ::SendMessageA(w, PBM_SETPOS, bar.position, 0);
        break;
      }
      case Item::Panel:
        break;
    }
    if (item.kind == Item::Check) {
      const auto& box = static_cast<const app::CheckBox&>(c);
      const bool shown = ::SendMessageA(w, BM_GETCHECK, 0, 0) == BST_CHECKED;
      if (shown != box.checked) ::SendMessageA(w, BM_SETCHECK, box.checked ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    if ((::IsWindowEnabled(w) != FALSE) != c.enabled) ::EnableWindow(w, c.enabled ? TRUE : FALSE);
    const LONG_PTR style = ::GetWindowLongPtrA(w, GWL_STYLE);
    if (((style & WS_VISIBLE) != 0) != c.visible) ::ShowWindow(w, c.visible ? SW_SHOWNA : SW_HIDE);
    // Only controls within the client area take the focus with Tab: the engineering controls
    // below the window's edge join when the window grows over them.
    const bool focusable = item.kind == Item::Button || item.kind == Item::Check || item.kind == Item::Edit ||
                           item.kind == Item::ReadOnly || item.kind == Item::List;
    if (focusable) {
      const bool tab = InClient(w);
      if (((style & WS_TABSTOP) != 0) != tab)
        ::SetWindowLongPtrA(w, GWL_STYLE, tab ? (style | WS_TABSTOP) : (style & ~static_cast<LONG_PTR>(WS_TABSTOP)));
    }
  }
  for (auto [label, edit] : {std::pair{fwCaption_, &f.FwFilenameEdit}, {backupCaption_, &f.BackupFileEdit}}) {
    if (!label) continue;
    const HFONT font = Fitted(std::nullopt, std::string(edit->caption), edit->captionPlace ? edit->captionPlace->width : 0);
    if (reinterpret_cast<HFONT>(::SendMessageA(label, WM_GETFONT, 0, 0)) != font)
      ::SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SetText(label, ShownText(*edit, edit->caption, InClient(Control(edit->name))));
    if ((::IsWindowEnabled(label) != FALSE) != edit->enabled) ::EnableWindow(label, edit->enabled ? TRUE : FALSE);
  }
  if (!(f.devpnl.colour == shownColour_)) {
    shownColour_ = f.devpnl.colour;
    ::InvalidateRect(Control("devpnl"), nullptr, TRUE);
  }
}

}  // namespace qvfw::ui::win
