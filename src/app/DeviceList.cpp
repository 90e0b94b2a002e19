#include "app/DeviceList.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "app/FirmwareChoice.h"
#include "app/OneClick.h"
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

void TellReadiness(AppContext& ctx) {
  const bool busy = ctx.state.UpdateBusy != 0;
  ctx.form.RecoverMenu.visible = ctx.facts && !ctx.scan.devices.empty() && RecoverOffered(*ctx.facts);
  if (ctx.scan.devices.empty() || !ctx.facts) {
    if (!busy) SetStatusLine(ctx, "No device found!!", kRed);
    return;
  }
  const OneClickVerdict v = AssessOneClick(ctx, *ctx.facts);
  if (v.readiness == Readiness::ChipNotSupported) {
    SetStatusLine(ctx, v.statusText, v.colour);
    return;
  }
  // While an update runs, the status line belongs to it.
  if (busy) return;
  if (v.readiness == Readiness::Offered) ctx.form.YesBtn.enabled = true;
  else SetStatusLine(ctx, v.statusText, v.colour);
}

device::ChipIdentification IdentifyChip(AppContext& ctx, const device::Device& dev, const device::ProbeAnswers* known) {
  const device::ChipIdentification id = device::IdentifyChip(dev, known);
  if (id.chipInfoFailed) ctx.shell.MessageBox("Error", "Get chip information fail !", MessageIcon::Error);
  return id;
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
  v.deviceNewer = std::lexicographical_compare(i, i + 4, d, d + 4);
  return v;
}

void RefreshBtnClick(AppContext& ctx) {
  MainForm& f = ctx.form;
  MainWindowState& s = ctx.state;
  f.devpnl.visible = true;
  f.replugLable.visible = false;
  f.YesBtn.enabled = false;
  if (!s.UpdateBusy) SetProgress(ctx, f.ProgressBar2, 0);

  ctx.scan = ScanDevices(ctx);
  ctx.facts.reset();
  f.DeviceList.Clear();
  if (ctx.scan.admitted == 0) {
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
    for (const ListedDevice& d : ctx.scan.devices) {
      const BusTexts texts = TextsOf(d.bus);
      f.diskLabel.text = std::string(texts.label);
      f.DeviceList.Add(std::string(texts.prefix) + d.name);
    }
    f.DeviceList.enabled = true;
    if (ctx.scan.devices.empty()) f.DeviceList.Add("");
    f.DeviceList.Select(0);
    ctx.scanFresh = true;
    UpdateBtnCheck(ctx);
    ctx.scanFresh = false;
  }
  TellReadiness(ctx);
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
