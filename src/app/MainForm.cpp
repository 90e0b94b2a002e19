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
}

}  // namespace qvfw::app
