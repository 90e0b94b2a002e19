#include "app/FirmwareChoice.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>
#include <string>

#include "app/DeviceList.h"
#include "device/Commands.h"
#include "device/FlashOps.h"
#include "firmware/ChipTables.h"
#include "firmware/FlashSize.h"
#include "firmware/ImageMatch.h"
#include "firmware/VersionDisplay.h"

namespace qvfw::app {
namespace {

using firmware::ChipType;
namespace chips = firmware::chips;

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

// A vendor code becomes the selected device's: its name is shown and its erase units loaded.
void TakeVendor(AppContext& ctx, int code) {
  ctx.state.FlashVendorCode = code;
  ctx.form.SFlashTypeLable.text = std::string(firmware::FlashVendorName(static_cast<uint8_t>(code)));
  const firmware::EraseUnits units = firmware::FlashVendorEraseUnits(static_cast<uint8_t>(code));
  ctx.flash.BlockEraseUnit = units.block;
  ctx.flash.SectorEraseUnit = units.sector;
}

bool IsMxicWideId(const uint8_t* id) { return id[0] == 0xC2 && id[1] == 0x22 && (id[2] == 0x10 || id[2] == 0x11 || id[2] == 0x13); }

// The opcodes go to the bridge as a set, sector erase included: a descriptor that no
// identification filled would otherwise hand the bridge a sector-erase opcode of 0.
void SetDefaultMxicOpcodes(device::FlashDescriptor& d) {
  d.chipErase = 0xC7;
  d.blockErase = 0xD8;
  d.program = 0x02;
  d.sectorErase = 0x20;
}

void StorageFlashPath(AppContext& ctx, const device::Device& dev) {
  MainForm& f = ctx.form;
  MainWindowState& s = ctx.state;
  const ChipType t = s.CurrentChipType;
  f.SFlashTypeLable.visible = true;
  uint8_t vendor[4] = {};
  if (device::ReadFlashVendorCode(dev, vendor)) TakeVendor(ctx, vendor[0]);

  if (chips::kBufferFamily.Contains(t)) {
    f.NVRAMCheck.visible = false;
    if (device::SupportsReadBuffer(dev)) {
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
    device::FlashDescriptor d{};
    d.chipErase = d.blockErase = d.program = d.sectorErase = 0;
    std::array<uint8_t, 4> id{};
    auto identifyAndSize = [&] {
      if ((s.FlashVendorCode == 0 || s.FlashVendorCode == 3) && device::IdentifyFlashById4(dev, d))
        TakeVendor(ctx, d.vendor);
      d.vendor = static_cast<uint8_t>(s.FlashVendorCode);
      id = firmware::DetectFlashSize(dev, d, firmware::FlashIdRoute::ById4);
      s.FlashSizeKiB = static_cast<int32_t>(d.sizeKiB);
    };
    identifyAndSize();
    if (s.FlashVendorCode == 0 && device::PrepareFlashRetry(dev)) identifyAndSize();
    if (!f.ReadWriteBufferChk.checked) {
      if (s.FlashVendorCode == 5) {
        SetDefaultMxicOpcodes(d);
        if (IsMxicWideId(id.data())) device::SetFlashOpcodesWide(dev, d, 32);
      } else if (s.FlashVendorCode == 2 && id[0] == 0xBF && id[1] == 0x25) {
        s.Sst25Flag = 1;
      }
    }
  }

  if (t == 13 || t == 14 || t == 27 || (t == 12 && s.ChipRevision >= 5)) {
    device::FlashDescriptor d{};
    d.chipErase = d.blockErase = d.program = d.sectorErase = 0;
    if ((s.FlashVendorCode == 0 || s.FlashVendorCode == 3) && device::IdentifyFlash(dev, d)) TakeVendor(ctx, d.vendor);
    if (t != 12) {
      d.vendor = static_cast<uint8_t>(s.FlashVendorCode);
      firmware::DetectFlashSize(dev, d, firmware::FlashIdRoute::Spi);
      s.FlashSizeKiB = static_cast<int32_t>(d.sizeKiB);
      if (t == 13 || t == 27) RecoverFirmwareBank(ctx, dev);
    }
    if (s.FlashVendorCode == 5 || s.FlashVendorCode == 2) {
      uint8_t id[4] = {};
      if (device::SpiReadId(dev, 0x9F, id)) {
        if (s.FlashVendorCode == 5) {
          SetDefaultMxicOpcodes(d);
          if (IsMxicWideId(id)) {
            if (t == 12) device::SetFlashOpcodes(dev, d, 32);
            else device::SetFlashOpcodesWide(dev, d, 32);
          }
        } else if (id[0] == 0xBF && id[1] == 0x25) {
          s.Sst25Flag = 1;
        }
      }
    }
  }
}

void BridgeFlashPath(AppContext& ctx, const device::Device& dev) {
  MainWindowState& s = ctx.state;
  s.AmicClass = device::DetectAmicFlash(dev);
  s.AtmelClass = device::DetectAtmelFlash(dev);
  if (s.AmicClass != -1) {
    ctx.form.SFlashTypeLable.text = "AMIC";
  } else if (s.AtmelClass != -1) {
    ctx.form.SFlashTypeLable.text = "ATMEL";
  } else {
    // This path shows the maker only: it loads no erase units and finds no size.
    uint8_t vendor[4] = {};
    device::FlashDescriptor d{};
    d.chipErase = d.blockErase = d.program = d.sectorErase = 0;
    if (device::ReadFlashVendorCode(dev, vendor) && vendor[0] != 0) {
      s.FlashVendorCode = vendor[0];
    } else if (vendor[0] == 0 && device::IdentifyFlash(dev, d)) {
      s.FlashVendorCode = d.vendor;
    } else {
      return;
    }
    ctx.form.SFlashTypeLable.text = std::string(firmware::FlashVendorName(static_cast<uint8_t>(s.FlashVendorCode)));
  }
}

}  // namespace

void RecoverFirmwareBank(AppContext&, const device::Device&) {}

void InstallHandlers(AppContext& ctx) {
  ctx.hooks.RefreshBtnClick = RefreshBtnClick;
  ctx.hooks.RdCheckBoxClick = RdCheckBoxClick;
}

void UpdateBtnCheck(AppContext& ctx) {
  MainForm& f = ctx.form;
  MainWindowState& s = ctx.state;
  f.NVRAMCheck.visible = false;
  f.ReadWriteBufferChk.visible = false;
  f.SetPrdSNchk.visible = false;
  if (s.DeviceCount == 0) return;

  const size_t selected = ctx.SelectedRecord();
  const DeviceRecord& record = s.DeviceTable[selected];
  const device::Device dev = ctx.DeviceAt(selected);
  s.SetChipIdentity(IdentifyChip(ctx, dev).Packed());
  const ChipType t = s.CurrentChipType;

  // Run.
  if (!f.DeviceList.enabled || f.FwFilenameEdit.text.empty()) {
    if (f.DeviceList.enabled && (f.EraseOnlyCheck.checked || f.BackupFWCheckBox.checked)) f.UpdateBtn.enabled = true;
  } else if (SignatureFits(ctx, f.FwFilenameEdit.text, t, s.ChipRevision)) {
    f.UpdateBtn.enabled = true;
  } else if (!(t == 0 || chips::kBufferFamily.Contains(t) || t == 26)) {
    ctx.shell.MessageBox("Message", "The firmware file seems not match this chip!", MessageIcon::None);
    f.UpdateBtn.enabled = false;
  }

  SetStatusText(ctx, "");
  f.SFlashTypeLable.text.clear();
  f.FwVerLableEdit.text.clear();
  f.ChipLabelEdit.text = std::string(firmware::ChipName(t));

  if (t == 14) {
    uint8_t params[32] = {};
    if (device::ReadBridgeParameters(dev, params))
      f.ChipLabelEdit.text = params[8] == 1 ? "QVS819/813 Series" : "QVS811 Series";
    uint8_t alt[16] = {};
    if (device::ReadChipInfoAlt(dev, alt)) f.ChipLabelEdit.text = "QVS816 Series";
  }

  if (chips::kProgrammable.Contains(t)) {
    f.SFlashTypeLable.visible = true;
    f.FwVerLableEdit.visible = true;
    s.AmicClass = -1;
    s.AtmelClass = -1;
    s.Sst25Flag = 0;
    if (chips::kNvramOption.Contains(t) || chips::kBufferFamily.Contains(t)) {
      f.NVRAMCheck.visible = true;
      f.NVRAMCheck.checked = s.KeepNvram != 0;
    }
    const bool over1394 = record.Bus == platform::Bus::Ieee1394;
    static constexpr firmware::ChipSet kStoragePath{9, 10, 12, 13, 14, 15, 16, 17, 18, 27};
    if (kStoragePath.Contains(t) || (t == 8 && over1394)) StorageFlashPath(ctx, dev);
    else BridgeFlashPath(ctx, dev);
  } else if (chips::kGatedVersion.Contains(t)) {
    uint8_t params[20] = {};
    if (device::ReadBridgeParameters(dev, params) && params[8] != 0) {
      const uint8_t level = params[8] == 0xAB && params[18] > 0xD1 ? params[18] : params[8];
      if (level < 0xD0) {
        f.SFlashTypeLable.visible = false;
        f.FwVerLableEdit.visible = false;
        SetStatusText(ctx, "The chip not support Firmware Update!");
      } else {
        f.SFlashTypeLable.visible = false;
        f.FwVerLableEdit.visible = true;
      }
    }
  } else if (chips::kVersionOnly.Contains(t)) {
    f.SFlashTypeLable.visible = false;
    f.FwVerLableEdit.visible = true;
  } else {
    f.SFlashTypeLable.visible = false;
    f.FwVerLableEdit.visible = false;
    SetStatusText(ctx, "The chip not support Firmware Update!");
  }

  const firmware::VersionRead version = firmware::ReadVersionText(dev, t);
  if (version.kind == firmware::VersionRead::Kind::NotQavion) {
    SetStatusText(ctx, "Not Qavion Chip!!");
  } else if (version.kind == firmware::VersionRead::Kind::Ok) {
    f.FwVerLableEdit.text = firmware::InternalCodeRule(dev, t, version.text, s.FlashVendorCode) ? version.text
                                                                                                 : "Internal code";
  }
  f.DiskLetterLable.text = std::string(record.DriveLetters.View());
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

  const ChipType t = ctx.state.CurrentChipType;
  if (!chips::kBufferFamily.Contains(t)) {
    f.UpdateBtn.enabled = true;
    return;
  }
  std::ifstream in(*chosen, std::ios::binary);
  std::error_code ec;
  if (!in || !std::filesystem::is_regular_file(*chosen, ec)) {
    SetStatusText(ctx, "Open FW File Error!!");
    return;
  }
  std::vector<uint8_t> image;
  try {
    image.assign(std::istreambuf_iterator<char>(in), {});
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
  const ChipType t = s.CurrentChipType;
  if (tag == 0) {
    if (t == 7) f.NVRAMCheck.visible = true;
    if (f.EraseOnlyCheck.checked) f.BackupFWCheckBox.checked = false;
  } else if (f.BackupFWCheckBox.checked) {
    f.EraseOnlyCheck.checked = false;
  }
  s.EraseOnly = f.EraseOnlyCheck.checked ? 1 : 0;
  const bool device = s.DeviceCount != 0 && t != 0;
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
  if (firmware::chips::kProgrammable.Contains(ctx.state.CurrentChipType) ||
      (ctx.state.FlashVendorCode == 0 && ctx.state.CurrentChipType == 30)) {
    // The per-family programming procedures are not part of this program yet: say so, never
    // pretend that anything was programmed.
    SetStatusText(ctx, "The programming procedure for this chip is not available in this version.");
  }
  f.UpdateBtn.enabled = true;
  SetProgress(ctx, f.ProgressBar1, 0);
}

}  // namespace qvfw::app
