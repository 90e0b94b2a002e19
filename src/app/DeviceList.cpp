#include "app/DeviceList.h"

#include <cstdio>
#include <string>

#include "app/FirmwareChoice.h"
#include "device/Commands.h"
#include "device/Discovery.h"

namespace qvfw::app {
namespace {

struct BusTexts {
  std::string_view label;
  std::string_view prefix;
};

BusTexts TextsOf(platform::Bus bus) {
  switch (bus) {
    case platform::Bus::Ieee1394: return {"1394 DISK", "<<1394>> "};
    case platform::Bus::Uasp: return {"UASP DISK", "<<UASP>> "};
    default: return {"USB DISK", "<<USB>> "};
  }
}

// Decimal value of the leading digits; none give 0.
int LeadingNumber(std::string_view field) {
  int value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

void TellReadiness(AppContext& ctx, size_t listed) {
  MainWindowState& s = ctx.state;
  const bool busy = s.UpdateBusy != 0;
  if (listed == 0) {
    if (!busy) SetStatusLine(ctx, "No device found!!", kRed);
    return;
  }
  if (s.CurrentChipType != 15) {
    SetStatusLine(ctx, "Chip not support!!", kRed);
    return;
  }
  uint8_t header[32] = {};
  LoadUpdateImage(ctx.images, header, 0, sizeof header);
  const VersionVerdict v = CompareVersions(ctx.form.FwVerLableEdit.text, std::span<const uint8_t, 4>(header + 25, 4));
  // While an update runs, the status line belongs to it.
  if (busy) return;
  if (v.idMismatch) SetStatusLine(ctx, "Firmware ID not match!!", kRed);
  else if (v.sameVersion) SetStatusLine(ctx, "Firmware already updated.", kGreen);
  else ctx.form.YesBtn.enabled = true;
}

void TellOneClickReadiness(AppContext& ctx) {
  ctx.form.YesBtn.enabled = false;
  size_t listed = 0;
  if (ctx.form.DeviceList.enabled)
    for (const std::string& item : ctx.form.DeviceList.items) listed += item.empty() ? 0 : 1;
  TellReadiness(ctx, listed);
}

firmware::ChipId IdentifyChip(AppContext& ctx, const device::Device& dev) {
  const device::ChipIdentification id = device::IdentifyChip(dev);
  if (id.chipInfoFailed) ctx.shell.MessageBox("Error", "Get chip information fail !", MessageIcon::Error);
  return id.id;
}

VersionVerdict CompareVersions(std::string_view text, std::span<const uint8_t, 4> image) {
  uint8_t d[4] = {255, 0, 0, 0};
  if (text.find('.') != std::string_view::npos) {
    size_t start = 0;
    for (int k = 0; k < 4 && start <= text.size(); ++k) {
      const size_t dot = text.find('.', start);
      d[k] = static_cast<uint8_t>(LeadingNumber(text.substr(start, dot == std::string_view::npos ? dot : dot - start)));
      if (dot == std::string_view::npos) break;
      start = dot + 1;
    }
  }
  const bool digits = image[0] >= '0' && image[0] <= '9';
  uint8_t i[4];
  for (int k = 0; k < 4; ++k) i[k] = digits ? static_cast<uint8_t>(image[k] - '0') : image[k];
  VersionVerdict v;
  v.idMismatch = d[0] != i[0] || (digits && d[1] != i[1]);
  v.sameVersion = d[0] == i[0] && d[1] == i[1] && d[2] == i[2] && d[3] == i[3];
  return v;
}

void RefreshBtnClick(AppContext& ctx) {
  MainForm& f = ctx.form;
  MainWindowState& s = ctx.state;
  f.devpnl.visible = true;
  f.replugLable.visible = false;
  f.YesBtn.enabled = false;
  if (!s.UpdateBusy) SetProgress(ctx, f.ProgressBar2, 0);

  std::vector<platform::DiskInterface> admitted;
  if (ctx.disks) admitted = device::EnumerateBridgeDevices(*ctx.disks, ctx.transport, true);
  s.DeviceCount = static_cast<int32_t>(admitted.size());

  size_t listed = 0;
  if (admitted.empty()) {
    f.DeviceList.Clear();
    f.DeviceList.Add("No available device!!!");
    f.DeviceList.Select(0);
    f.DeviceList.enabled = false;
    f.UpdateBtn.enabled = false;
    f.ChipLabelEdit.text.clear();
    f.DiskLetterLable.text.clear();
    f.FwVerLableEdit.text.clear();
    f.SFlashTypeLable.text.clear();
    SetStatusText(ctx, "");
    f.NVRAMCheck.visible = false;
  } else {
    f.DeviceList.Clear();
    std::string name;
    for (const platform::DiskInterface& disk : admitted) {
      if (listed == kMaxListedDevices) {
        char text[64];
        std::snprintf(text, sizeof text, "The tool only can show %d disks.", static_cast<int>(kMaxListedDevices));
        ctx.shell.MessageBox("Warning", text, MessageIcon::Warning);
        break;
      }
      const device::Device dev(ctx.transport, disk.path);
      uint8_t inquiry[40] = {};
      if (device::Inquiry(dev, inquiry)) name.assign(reinterpret_cast<const char*>(inquiry + 8), 24);

      DeviceRecord& record = s.DeviceTable[listed];
      record.Path.Set(disk.path);
      record.RecoveryDone = 0;
      record.Bus = disk.bus;
      // A record is reused from the previous refresh: never show another disk's volumes.
      record.DriveLetters.Set("");
      const firmware::ChipId id = IdentifyChip(ctx, dev);
      s.SetChipIdentity(id.Packed());
      record.ChipIdentity = id.Packed();
      if (id.type == 0) continue;
      if (auto volumes = device::FindDriveLetters(*ctx.disks, disk.path))
        record.DriveLetters.Set(device::DriveLettersText(*volumes));
      const BusTexts texts = TextsOf(disk.bus);
      f.diskLabel.text = std::string(texts.label);
      f.DeviceList.Add(std::string(texts.prefix) + name);
      ++listed;
    }
    f.DeviceList.enabled = true;
    if (listed == 0) f.DeviceList.Add("");
    f.DeviceList.Select(0);
    UpdateBtnCheck(ctx);
  }
  TellReadiness(ctx, listed);
}

void DeviceChangeTimer::OnDeviceChange(platform::DeviceEvent event) {
  if (event == platform::DeviceEvent::Arrival && !ctx_.state.UpdateBusy)
    SetStatusLine(ctx_, "Click Update firmware button to proceed.", kBlue);
  dueAt_ = ctx_.clock.NowMs() + (event == platform::DeviceEvent::Arrival ? kArrivalDelayMs : kRemovalDelayMs);
}

bool DeviceChangeTimer::Poll() {
  if (!dueAt_ || ctx_.clock.NowMs() < *dueAt_) return false;
  ctx_.shell.PumpEvents();
  dueAt_.reset();
  RefreshBtnClick(ctx_);
  return true;
}

std::optional<uint64_t> DeviceChangeTimer::DueInMs() const {
  if (!dueAt_) return std::nullopt;
  const uint64_t now = ctx_.clock.NowMs();
  return *dueAt_ > now ? *dueAt_ - now : 0;
}

}  // namespace qvfw::app
