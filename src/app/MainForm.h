#pragma once
// The main window as plain data: one record per named control, with the window layout's names.
// Handlers change these records; the window layer draws them, the command line prints what it
// needs, and tests assert on them. No widget toolkit is involved here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvfw::app {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};
// Status line colours: ready and in progress, failure, success.
inline constexpr Rgb kBlue{0, 0, 255};
inline constexpr Rgb kRed{255, 0, 0};
inline constexpr Rgb kGreen{0, 128, 0};

struct Font {
  std::string_view name;
  int height = 0;  // negative: character height in pixels
  friend bool operator==(const Font&, const Font&) = default;
};

// Position in pixels within the control's container (the window's client area, or `RdPanel` for
// the options inside it); a width and height of 0 mean "sized by its text".
struct Place {
  int left = 0, top = 0, width = 0, height = 0;
  friend bool operator==(const Place&, const Place&) = default;
};

struct Control {
  std::string_view name;
  std::string text;  // caption of buttons, labels and boxes; content of edits and panels
  bool enabled = true;
  bool visible = true;
  // Where the control sits. The form is the one description of the window's layout: every
  // front end that draws it places the controls here, so a control moved once moves everywhere.
  std::optional<Place> place;
  std::optional<Font> font;    // the window's font when absent
  std::string_view container;  // the panel the control lies in; empty: the window itself
  char mnemonic = 0;           // the Alt+letter that reaches it, 0 for none
};

struct CheckBox : Control {
  bool checked = false;
  int tag = 0;
};

// A text field; `caption` is the label shown beside it, at `captionPlace` in the same container.
struct Edit : Control {
  std::string_view caption;
  std::optional<Place> captionPlace;
};

struct ListBox : Control {
  std::vector<std::string> items;
  int itemIndex = -1;  // the selection, -1 for none

  void Clear() {
    items.clear();
    itemIndex = -1;
  }
  void Add(std::string item) { items.push_back(std::move(item)); }
  // Selecting outside the items selects nothing.
  void Select(int index) { itemIndex = (index >= 0 && index < static_cast<int>(items.size())) ? index : -1; }
};

struct ProgressBar : Control {
  int min = 0, max = 100, step = 10, position = 0;

  void SetPosition(int value) { position = value < min ? min : (value > max ? max : value); }
  void StepIt() { SetPosition(position + step); }
};

struct StatusPanel : Control {
  Rgb colour;
};

struct OpenDialog {
  std::string_view name;
  std::string filter;
  std::string defaultExtension;
  std::string initialDir;
};

struct Window {
  std::string caption;
  int clientWidth = 398;
  int clientHeight = 143;
  Font font{"MS Sans Serif", -11};
  // A fixed single border with the system menu and a minimize box only, centred on the screen.
  bool resizable = false;
  bool minimizeBox = true;
  bool maximizeBox = false;
  bool centred = true;
  bool acceptsDroppedFiles = false;
  bool closed = false;
};

struct MainForm {
  MainForm();  // every control in its initial state, at its place

  // The window's controls (the context menu's entry aside), frames before what lies on them.
  std::vector<const Control*> Controls() const;

  std::string applicationTitle;
  Window window;

  // The one-click face.
  StatusPanel devpnl;
  Control YesBtn;
  Control ExitBtn;
  ProgressBar ProgressBar2;
  Control replugLable;
  Control diskLabel;

  // The engineering panel, below the visible client area.
  CheckBox RdCheckBox;
  Control RdPanel;
  Control Panel1;
  ListBox DeviceList;
  Edit FwFilenameEdit;
  Control LoadBtn;
  Control UpdateBtn;
  Edit ChipLabelEdit;
  Edit FwVerLableEdit;
  Edit SFlashTypeLable;
  Edit StatusEdit;
  Edit DiskLetterLable;
  Control RefreshBtn;
  ProgressBar ProgressBar1;
  OpenDialog OpenDialog1;

  // The engineering options inside `RdPanel`.
  CheckBox EraseOnlyCheck;
  CheckBox BackupFWCheckBox;
  CheckBox NVRAMCheck;
  CheckBox ReadWriteBufferChk;
  CheckBox SetPrdSNchk;
  Edit BackupFileEdit;
  Control BackupBtn;

  // The window's context menu entry that brings back a bridge a failed update left on its boot
  // code; offered only while the selected bridge is in that state.
  Control RecoverMenu;
};

}  // namespace qvfw::app
