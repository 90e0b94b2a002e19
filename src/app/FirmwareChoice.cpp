#include "app/FirmwareChoice.h"

#include <filesystem>
#include <vector>
#include <string>

#include "app/DeviceList.h"
#include "app/Engineering.h"
#include "device/Commands.h"
#include "device/FlashDescriptor.h"
#include "device/FlashOps.h"
#include "firmware/ImageMatch.h"

namespace qvfw::app {
namespace {

using chips::ChipType;

constexpr std::string_view kOpenError = "Open Firmware File Error!!";

// Where the open dialog starts when nobody chose a folder yet: the program's own folder.
std::filesystem::path ProgramDirectory() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::current_path(ec) : exe.parent_path();
}

// Runs the signature check; an image that cannot be opened is told in a box and never fits.
bool SignatureFits(AppContext& ctx, const std::string& file, ChipType type, uint8_t revision) {
  switch (firmware::MatchFirmwareSignature(file, type, revision)) {
    case firmware::ImageCheck::Fits: return true;
    case firmware::ImageCheck::CannotOpen: ctx.shell.MessageBox("Error", kOpenError, MessageIcon::Error); return false;
    case firmware::ImageCheck::DoesNotFit: return false;
  }
  return false;
}

}  // namespace

void InstallHandlers(AppContext& ctx) {
  ctx.hooks.RefreshBtnClick = RefreshBtnClick;
  ctx.hooks.RdCheckBoxClick = RdCheckBoxClick;
}

// The facts of the selected device onto the panel: chip, flash, version, status, drive fields
// and the options that fit.
void RenderFacts(AppContext& ctx, const DeviceFacts& facts) {
  MainForm& f = ctx.form;
  SetStatusText(ctx, "");
  f.SFlashTypeLable.text.clear();
  f.FwVerLableEdit.text.clear();
  f.ChipLabelEdit.text = facts.chipText;
  f.SFlashTypeLable.visible = facts.flashShown;
  f.FwVerLableEdit.visible = facts.versionShown;
  if (facts.options.nvram) {
    f.NVRAMCheck.visible = true;
    f.NVRAMCheck.checked = ctx.state.KeepNvram != 0;
  }
  if (chips::InGroup(facts.device.chip.type, chips::kBufferFamily)) {
    if (facts.options.readWriteBuffer) {
      if (f.ReadWriteBufferChk.place) f.ReadWriteBufferChk.place->top = 8;
      else f.ReadWriteBufferChk.place = Place{0, 8, 0, 0};
      f.ReadWriteBufferChk.visible = true;
      f.ReadWriteBufferChk.checked = true;
      f.ReadWriteBufferChk.enabled = false;
      f.SetPrdSNchk.visible = true;
    } else {
      f.ReadWriteBufferChk.checked = false;
      f.SetPrdSNchk.checked = false;
    }
  }
  if (facts.flash) f.SFlashTypeLable.text = facts.flash->label;
  if (!facts.statusText.empty()) SetStatusText(ctx, facts.statusText);
  f.FwVerLableEdit.text = facts.FirmwareText();
  f.DiskLetterLable.text = facts.device.volumes;
}

void UpdateBtnCheck(AppContext& ctx) {
  MainForm& f = ctx.form;
  MainWindowState& s = ctx.state;
  f.NVRAMCheck.visible = false;
  f.ReadWriteBufferChk.visible = false;
  f.SetPrdSNchk.visible = false;
  if (s.DeviceCount == 0) return;

  const size_t selected = ctx.SelectedRecord();
  ListedDevice device;
  bool sameScan = ctx.scanFresh;
  if (selected < ctx.scan.devices.size()) {
    device = ctx.scan.devices[selected];
  } else {
    // Nothing of the last scan is selected: the table's record is all there is to go by.
    const DeviceRecord& record = s.DeviceTable[selected];
    device.index = selected;
    device.path = std::string(record.Path.View());
    device.bus = record.Bus;
    device.volumes = std::string(record.DriveLetters.View());
    sameScan = false;
  }
  ctx.facts = InspectDevice(ctx, device, sameScan);
  // The facts are taken before Run is decided: the signature check needs this device's chip.
  const ChipType t = ctx.facts->device.chip.type;

  // Run.
  if (!f.DeviceList.enabled || f.FwFilenameEdit.text.empty()) {
    if (f.DeviceList.enabled && (f.EraseOnlyCheck.checked || f.BackupFWCheckBox.checked)) f.UpdateBtn.enabled = true;
  } else if (SignatureFits(ctx, f.FwFilenameEdit.text, t, s.ChipRevision)) {
    f.UpdateBtn.enabled = true;
  } else if (!chips::Family(t).silentMismatch) {
    ctx.shell.MessageBox("Message", "The firmware file seems not match this chip!", MessageIcon::None);
    f.UpdateBtn.enabled = false;
  }
  RenderFacts(ctx, *ctx.facts);
}

void LoadBtnClick(AppContext& ctx) {
  MainForm& f = ctx.form;
  SetStatusText(ctx, "");
  f.UpdateBtn.enabled = false;
  f.YesBtn.enabled = false;
  if (f.OpenDialog1.initialDir.empty()) f.OpenDialog1.initialDir = ProgramDirectory().string();
  const auto chosen = ctx.shell.OpenFileDialog(f.OpenDialog1.filter, f.OpenDialog1.defaultExtension, f.OpenDialog1.initialDir);
  if (!chosen) return;
  f.FwFilenameEdit.text = *chosen;
  UpdateBtnCheck(ctx);

  const ChipType t = chips::ChipTypeOf(ctx.state.CurrentChipType);
  if (!chips::InGroup(t, chips::kBufferFamily)) {
    f.UpdateBtn.enabled = true;
    return;
  }
  // Only a regular file up to the largest flash's size: a FIFO, a device or a folder is no image.
  platform::FileRead file = device::ReadImage(*chosen);
  if (!file.ok()) {
    SetStatusText(ctx, "Open FW File Error!!");
    return;
  }
  std::vector<uint8_t> image = std::move(file.bytes);
  try {
    image.resize(std::max<size_t>(image.size(), 24), 0);  // identity bytes past the end read as zeros
  } catch (const std::bad_alloc&) {
    SetStatusText(ctx, "Allocate FW file buffers Error!!");
    return;
  }
  uint8_t a[40] = {};
  if (!device::ReadChipInfo(ctx.DeviceAt(ctx.SelectedRecord()), a)) return;
  const bool same = image[21] == a[8] && image[22] == a[9] && image[23] == a[10];
  bool fits;
  if (a[6] == 1 && a[7] == 0) {
    fits = image[21] == a[8] && image[22] == a[9] && a[10] == '1'
               ? (image[23] == '1' || image[23] == '3' || image[23] == '5')
               : same;
  } else if (a[6] == 1 && a[7] == 1) {
    fits = same;
  } else if (a[6] == 2 || a[6] == 3) {
    fits = same;
  } else {
    return;
  }
  if (fits) {
    f.UpdateBtn.enabled = true;
    f.YesBtn.enabled = true;
  } else {
    SetStatusText(ctx, "FW file not Match.");
  }
}

void RdCheckBoxClick(AppContext& ctx) {
  MainForm& f = ctx.form;
  if (f.RdCheckBox.checked) {
    if (!f.RdPanel.visible) f.window.clientHeight += kRdPanelHeight;
    f.RdPanel.visible = true;
    return;
  }
  f.RdPanel.visible = false;
  f.FwFilenameEdit.enabled = true;
  f.UpdateBtn.enabled = false;
  UpdateBtnCheck(ctx);
}

void EraseOnlyCheckClick(AppContext& ctx, int tag) {
  MainForm& f = ctx.form;
  MainWindowState& s = ctx.state;
  const ChipType t = chips::ChipTypeOf(s.CurrentChipType);
  if (tag == 0) {
    if (t == ChipType::QVB784) f.NVRAMCheck.visible = true;
    if (f.EraseOnlyCheck.checked) f.BackupFWCheckBox.checked = false;
  } else if (f.BackupFWCheckBox.checked) {
    f.EraseOnlyCheck.checked = false;
  }
  s.EraseOnly = f.EraseOnlyCheck.checked ? 1 : 0;
  const bool device = s.DeviceCount != 0 && t != ChipType::Unknown;
  if (f.EraseOnlyCheck.checked) {
    f.FwFilenameEdit.enabled = false;
    f.UpdateBtn.enabled = device;
  } else {
    f.FwFilenameEdit.enabled = true;
    f.UpdateBtn.enabled = device && !f.FwFilenameEdit.text.empty() &&
                          SignatureFits(ctx, f.FwFilenameEdit.text, t, s.ChipRevision);
  }
  if (!f.UpdateBtn.enabled && f.BackupFWCheckBox.checked) f.UpdateBtn.enabled = true;
}

void NVRAMCheckClick(AppContext& ctx) { ctx.state.KeepNvram = ctx.form.NVRAMCheck.checked ? 1 : 0; }

void BackupBtnClick(AppContext& ctx) {
  MainForm& f = ctx.form;
  SetStatusText(ctx, "");
  if (f.OpenDialog1.initialDir.empty()) f.OpenDialog1.initialDir = ProgramDirectory().string();
  const auto chosen = ctx.shell.OpenFileDialog(f.OpenDialog1.filter, f.OpenDialog1.defaultExtension, f.OpenDialog1.initialDir);
  if (!chosen) return;
  f.BackupFileEdit.text = *chosen;
  f.UpdateBtn.enabled = true;
}

void UpdateBtnClick(AppContext& ctx) {
  MainForm& f = ctx.form;
  f.UpdateBtn.enabled = false;
  ctx.diagnostics.Line("Update Btn Press");
  SetStatusText(ctx, "");
  const EngineeringOptions options = OptionsFromForm(ctx);
  // The page-program procedure writes an image without an NVRAM head over the device's NVRAM.
  if (WritesOverNvram(ctx, ctx.SelectedRecord(), options) &&
      !ctx.shell.Ask("Warning",
                     "The firmware file has no NVRAM head: it is written from address 0 over the device's 4 KiB "
                     "NVRAM, which is not kept. Program it?",
                     false)) {
    f.UpdateBtn.enabled = true;
    return;
  }
  const EngineeringOutcome run = RunEngineering(ctx, ctx.SelectedRecord(), options);
  // After the image-size refusal Run stays disabled until the check or an option enables it.
  if (run.refusedImageSize) return;
  f.UpdateBtn.enabled = true;
  SetProgress(ctx, f.ProgressBar1, 0);
}

}  // namespace qvfw::app
