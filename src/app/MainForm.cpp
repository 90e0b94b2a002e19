#include "app/MainForm.h"

namespace qvfw::app {
namespace {

template <typename T>
T Make(std::string_view name, std::string text, bool enabled = true, bool visible = true) {
  T c;
  c.name = name;
  c.text = std::move(text);
  c.enabled = enabled;
  c.visible = visible;
  return c;
}

CheckBox MakeCheck(std::string_view name, std::string text, bool checked, bool visible, int tag = 0) {
  CheckBox c = Make<CheckBox>(name, std::move(text), true, visible);
  c.checked = checked;
  c.tag = tag;
  return c;
}

Edit MakeEdit(std::string_view name, std::string_view caption = {}) {
  Edit e = Make<Edit>(name, "");
  e.caption = caption;
  return e;
}

void Put(Control& c, Place place, char mnemonic = 0, std::string_view container = {}) {
  c.place = place;
  c.mnemonic = mnemonic;
  c.container = container;
}

}  // namespace

MainForm::MainForm() {
  applicationTitle = "Qavion QV4077x Firmware Update Utility";

  devpnl = Make<StatusPanel>("devpnl", "Click Update firmware button to proceed.");
  devpnl.place = Place{24, 8, 345, 25};
  devpnl.font = Font{"MS Sans Serif", -19};
  devpnl.colour = kBlue;

  YesBtn = Make<Control>("YesBtn", "Update firmware to version", false);
  YesBtn.place = Place{24, 40, 201, 25};

  ExitBtn = Make<Control>("ExitBtn", "Exit");
  ExitBtn.place = Place{272, 40, 83, 25};

  ProgressBar2 = Make<ProgressBar>("ProgressBar2", "");
  ProgressBar2.place = Place{16, 80, 361, 17};
  ProgressBar2.min = 0;
  ProgressBar2.max = 100;
  ProgressBar2.step = 30;
  ProgressBar2.position = 0;

  replugLable = Make<Control>("replugLable", "replugLable");
  replugLable.place = Place{336, 192, 0, 0};
  replugLable.font = Font{"Arial", -19};

  diskLabel = Make<Control>("diskLabel", "USB Disk", true, false);
  diskLabel.place = Place{24, 428, 0, 0};

  RdCheckBox = MakeCheck("RdCheckBox", "RD Version", false, false);
  RdPanel = Make<Control>("RdPanel", "", true, false);
  Panel1 = Make<Control>("Panel1", "");
  DeviceList = Make<ListBox>("DeviceList", "");
  FwFilenameEdit = MakeEdit("FwFilenameEdit", "Firmware File ");
  LoadBtn = Make<Control>("LoadBtn", "Load File");
  UpdateBtn = Make<Control>("UpdateBtn", "Run", false);
  ChipLabelEdit = MakeEdit("ChipLabelEdit");
  FwVerLableEdit = MakeEdit("FwVerLableEdit");
  SFlashTypeLable = MakeEdit("SFlashTypeLable");
  StatusEdit = MakeEdit("StatusEdit");
  DiskLetterLable = MakeEdit("DiskLetterLable");
  RefreshBtn = Make<Control>("RefreshBtn", "Refresh Device", true, false);
  ProgressBar1 = Make<ProgressBar>("ProgressBar1", "");
  OpenDialog1 = OpenDialog{"OpenDialog1", "BinaryFile|*.bin|All Files|*.*|QVT Files|*.qvt", "bin", ""};

  EraseOnlyCheck = MakeCheck("EraseOnlyCheck", "Erase All Flash Only ", false, true, 0);
  BackupFWCheckBox = MakeCheck("BackupFWCheckBox", "Backup Old Firmware Only", false, true, 1);
  NVRAMCheck = MakeCheck("NVRAMCheck", "Include 4K NVRAM", true, false);
  ReadWriteBufferChk = MakeCheck("ReadWriteBufferChk", "Read/Write Buffer", false, false);
  SetPrdSNchk = MakeCheck("SetPrdSNchk", "Setting ProductSN(In-Code)", true, false);
  BackupFileEdit = MakeEdit("BackupFileEdit", "Backup FileName ");
  BackupBtn = Make<Control>("BackupBtn", "Browse");
  RecoverMenu = Make<Control>("RecoverMenu", "Recover firmware...", true, false);

  // The one-click face keeps the form's own places; the mnemonics give each labelled control one
  // letter, none twice in the window.
  YesBtn.mnemonic = 'U';
  ExitBtn.mnemonic = 'x';
  // The engineering controls lie below the visible client area, inside the strip that checking
  // "RD Version" adds to the window (kRdPanelHeight); the option boxes lie within `RdPanel`.
  Put(RdCheckBox, {288, 114, 100, 20}, 'V');
  Put(Panel1, {8, 146, 382, 172});
  Put(FwFilenameEdit, {96, 154, 200, 22}, 'F');
  FwFilenameEdit.captionPlace = Place{16, 156, 80, 18};
  Put(LoadBtn, {304, 152, 78, 25}, 'L');
  Put(DeviceList, {16, 182, 366, 22});
  Put(ChipLabelEdit, {16, 210, 170, 22});
  Put(SFlashTypeLable, {192, 210, 90, 22});
  Put(FwVerLableEdit, {288, 210, 94, 22});
  Put(StatusEdit, {16, 238, 366, 22});
  Put(DiskLetterLable, {16, 266, 100, 22});
  Put(RefreshBtn, {122, 264, 90, 25}, 'D');
  Put(UpdateBtn, {302, 264, 80, 25}, 'R');
  Put(ProgressBar1, {16, 294, 366, 17});
  Put(RdPanel, {8, 322, 382, 114});
  Put(EraseOnlyCheck, {8, 8, 180, 20}, 'E', "RdPanel");
  Put(BackupFWCheckBox, {8, 30, 180, 20}, 'B', "RdPanel");
  Put(NVRAMCheck, {200, 8, 170, 20}, 'I', "RdPanel");
  Put(ReadWriteBufferChk, {200, 30, 170, 20}, 'W', "RdPanel");
  Put(SetPrdSNchk, {200, 52, 170, 20}, 'S', "RdPanel");
  Put(BackupFileEdit, {100, 82, 190, 22}, 'N', "RdPanel");
  BackupFileEdit.captionPlace = Place{8, 84, 90, 18};
  Put(BackupBtn, {298, 80, 76, 25}, 'o', "RdPanel");
}

std::vector<const Control*> MainForm::Controls() const {
  return {&Panel1,         &RdPanel,         &devpnl,         &YesBtn,           &ExitBtn,            &ProgressBar2,
          &replugLable,    &diskLabel,       &RdCheckBox,     &FwFilenameEdit, &LoadBtn,          &DeviceList,         &ChipLabelEdit,
          &SFlashTypeLable, &FwVerLableEdit, &StatusEdit,     &DiskLetterLable,  &RefreshBtn,         &UpdateBtn,
          &ProgressBar1,   &EraseOnlyCheck, &BackupFWCheckBox, &NVRAMCheck,         &ReadWriteBufferChk,
          &SetPrdSNchk,    &BackupFileEdit,  &BackupBtn};
}


}  // namespace qvfw::app
