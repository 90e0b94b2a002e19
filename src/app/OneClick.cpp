#include "app/OneClick.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>

#include "app/ExchangeFile.h"
#include "app/ImageStore.h"
#include "app/MainPresenter.h"
#include "app/RamDownload.h"
#include "app/UpdateImage.h"
#include "device/AlignedBuffer.h"
#include "device/Commands.h"
#include "device/Discovery.h"

namespace qvfw::app {
namespace {

constexpr uint32_t kStagingSize = 512 * 1024;
constexpr uint32_t kCompareLength = 0x20000;
constexpr int kReattachRounds = 60;

// Marks the stretch from the first write to the flash until the identity is restored.
struct CriticalSection {
  explicit CriticalSection(AppContext& ctx) : ctx_(ctx) { ++ctx_.criticalDepth; }
  ~CriticalSection() { --ctx_.criticalDepth; }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
  AppContext& ctx_;
};

uint32_t RoundUp(uint32_t v, uint32_t unit) { return (v + unit - 1) / unit * unit; }

struct PowerCondition {
  bool standby = false;
  int32_t minutes = 0;
};

std::optional<PowerCondition> ReadPowerCondition(const device::Device& dev) {
  uint8_t page[48] = {};
  if (!device::ModeSensePowerCondition(dev, page)) return std::nullopt;
  const auto timer = static_cast<int32_t>(static_cast<uint32_t>(page[16]) << 24 | page[17] << 16 | page[18] << 8 | page[19]);
  return PowerCondition{page[11] != 0, StandbyMinutes(timer)};
}

std::string SerialOf(const device::Device& dev) {
  uint8_t page[50] = {};
  if (!device::InquiryVpd(dev, 0x80, page)) return {};
  const char* text = reinterpret_cast<const char*>(page + 4);
  return std::string(text, strnlen(text, sizeof page - 4));
}

// What a serial number looks like once written back through the identity record: at most 20
// characters, trailing spaces not counting.
std::string WrittenSerial(std::string serial) {
  serial.resize(std::min(serial.size(), kSerialLength));
  while (!serial.empty() && (serial.back() == ' ' || serial.back() == '\0')) serial.pop_back();
  return serial;
}

}  // namespace

bool BackupIdentity(AppContext& ctx, const device::Device& dev) {
  ExchangeBlock block;
  std::array<uint8_t, 4096> source{};
  if (!device::QV_ReadBuffer(dev, 0x01, 0x01, 0, source.data(), source.size())) return false;
  std::copy_n(source.begin() + 1536, 512, block.bytes.begin());
  uint8_t ids[96] = {};
  if (device::InquiryVpd(dev, 0xC3, ids)) std::copy_n(ids + 8, 4, block.bytes.begin() + 512);
  uint8_t serial[50] = {};
  if (device::InquiryVpd(dev, 0x80, serial)) {
    const size_t n = strnlen(reinterpret_cast<const char*>(serial + 4), 46);
    std::copy_n(serial + 4, n, block.bytes.begin() + 516);
  }
  // A file that cannot be written shows when it is read back before programming.
  if (!WriteExchangeFile(ctx.workingDirectory.empty() ? std::filesystem::path(".") : ctx.workingDirectory, block))
    ctx.diagnostics.Line("the exchange file could not be written");
  return true;
}

bool ProgramEmbeddedImage(AppContext& ctx, const device::Device& dev) {
  MainWindowState& s = ctx.state;
  s.ExpectedVid = 0;
  s.ExpectedPid = 0;
  // The staging area holds the whole image, however long, and zeros beyond it.
  const uint32_t imageLength = LoadUpdateImage(ctx.images, {}, 0, 0);
  std::vector<uint8_t> staging(std::max(imageLength, kStagingSize), 0);
  LoadUpdateImage(ctx.images, staging, 0, 0);
  const uint32_t programLength = RoundUp(imageLength, 256);
  if (imageLength == 0 || static_cast<int64_t>(programLength / 1024) > s.FlashSizeKiB) return false;

  // The content covers the flash, and at least the first bank that carries the check values.
  const uint32_t flashLength = std::max(RoundUp(static_cast<uint32_t>(s.FlashSizeKiB) * 1024, 8192), kCompareLength);
  device::AlignedBuffer content, readBack;
  try {
    content = device::AlignedBuffer(flashLength);
    readBack = device::AlignedBuffer(flashLength);
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::copy_n(staging.begin(), std::min<size_t>(flashLength, staging.size()), content.data());

  const auto saved = ReadExchangeFile(ctx.workingDirectory.empty() ? std::filesystem::path(".") : ctx.workingDirectory);
  if (!saved) return false;
  SpliceConfiguration(content.span(), *saved);

  static constexpr std::array<uint8_t, kPieceSize> kZeroBlock{};
  if (!ProgramFlashImage(ctx, dev, 0, content.span(), programLength, false, kZeroBlock)) return false;
  if (!ReadBackFlash(ctx, dev, 0, readBack.span())) return false;
  for (uint32_t i = 0; i < kCompareLength; ++i) {
    if (i >= 0x200 && i <= 0x3FF) continue;
    if (readBack[i] != content[i]) return false;
  }
  const UsbIds ids = IdsToWrite(*saved);
  const auto record = BuildIdentityRecord(saved->Serial());
  if (!device::SetBridgeIdentity(dev, ids.vid, ids.pid, record)) return false;
  s.ExpectedVid = ids.vid;
  s.ExpectedPid = ids.pid;
  return true;
}

bool WaitForReattach(AppContext& ctx, const device::Device& dev, const std::vector<std::string>& others,
                     std::string* backPath) {
  const auto saved = ReadExchangeFile(ctx.workingDirectory.empty() ? std::filesystem::path(".") : ctx.workingDirectory);
  const std::string serial = saved ? WrittenSerial(saved->Serial()) : std::string();
  device::ResetChip(dev);
  ctx.clock.Sleep(2000);

  std::optional<std::string> back;
  for (int round = 0; round < kReattachRounds && !back; ++round) {
    std::vector<device::AdmittedDisk> found;
    if (ctx.disks) found = device::EnumerateBridgeDevices(*ctx.disks, ctx.transport, true);
    ctx.shell.PumpEvents();
    ctx.clock.Sleep(500);
    // The device being updated is never one of the other bridges; among new ones, its serial
    // number tells it when more than one turned up.
    std::vector<std::string> candidates;
    for (const auto& d : found)
      if (std::find(others.begin(), others.end(), d.disk.path) == others.end()) candidates.push_back(d.disk.path);
    if (candidates.size() > 1 && !serial.empty()) {
      std::erase_if(candidates, [&](const std::string& p) {
        return WrittenSerial(SerialOf(device::Device(ctx.transport, p))) != serial;
      });
    }
    if (candidates.size() == 1) back = candidates.front();
  }
  if (!back) return false;
  // The record that held the old path now holds the new one. A refresh that ran meanwhile
  // rebuilt the table from what it found; its records are left as they are.
  for (DeviceRecord& record : ctx.state.DeviceTable) {
    if (record.Path.View() == dev.path()) {
      record.Path.Set(*back);
      break;
    }
  }
  if (backPath) *backPath = *back;
  return true;
}

namespace {

// The reason of a failed step: what the step was doing and, where a command failed, that
// command and what the device said.
std::string Reason(const AppContext& ctx, std::string_view step) {
  std::string text(step);
  if (const auto& failure = ctx.transport.LastFailure()) text += ": " + failure->Describe();
  return text;
}

Outcome Failure(AppContext& ctx, Phase phase, std::string reason) {
  Outcome o;
  o.code = OutcomeCode::Failed;
  o.phase = phase;
  o.statusText = "Update    Fail!!";
  o.colour = kRed;
  o.reason = std::move(reason);
  SetStatusLine(ctx, o.statusText, o.colour);
  return o;
}

}  // namespace

Outcome RunOneClick(AppContext& ctx, size_t selected) {
  MainForm& f = ctx.form;
  MainWindowState& s = ctx.state;
  if (chips::ChipTypeOf(s.CurrentChipType) != chips::ChipType::QVS812) {
    SetStatusLine(ctx, "Chip not support!!", kRed);
    return Outcome{OutcomeCode::NotOffered, Phase::Identity, "Chip not support!!", kRed,
                   "the one-click update is for QVS812 bridges only"};
  }
  ctx.transport.ClearFailure();
  ctx.progress.Plan({{Phase::Identity, 2}, {Phase::Program, 40}, {Phase::ReadBack, 4}, {Phase::Restart, 2},
                     {Phase::Wait, 50}, {Phase::Check, 2}});
  ctx.progress.Enter(Phase::Identity);
  // The other listed bridges, as the last refresh found them.
  std::vector<std::string> others;
  for (size_t i = 0; i < f.DeviceList.items.size() && i < s.DeviceTable.size(); ++i)
    if (i != selected && !s.DeviceTable[i].Path.Empty()) others.emplace_back(s.DeviceTable[i].Path.View());
  const device::Device dev = ctx.DeviceAt(selected);

  const bool saved = BackupIdentity(ctx, dev);
  std::optional<PowerCondition> power;
  if (saved) power = ReadPowerCondition(dev);
  StepProgress(ctx, f.ProgressBar2);
  if (!saved) {
    ctx.progress.Finish();
    return Failure(ctx, Phase::Identity, Reason(ctx, "could not read the configuration area"));
  }

  Outcome result;
  {
    CriticalSection critical(ctx);
    const bool programmed = ProgramEmbeddedImage(ctx, dev);
    StepProgress(ctx, f.ProgressBar2);
    if (!programmed) {
      const Phase reached = ctx.progress.View().phase;
      ctx.progress.Finish();
      return Failure(ctx, reached, Reason(ctx, "programming the carried image failed"));
    }
    ctx.progress.Enter(Phase::Restart);
    std::string backPath;
    if (!WaitForReattach(ctx, dev, others, &backPath)) {
      ctx.progress.Finish();
      return Failure(ctx, Phase::Wait, "the bridge did not come back after its restart");
    }
    ctx.progress.Enter(Phase::Check);
    const device::Device back(ctx.transport, backPath);
    uint8_t page[96] = {};
    if (device::InquiryVpd(back, 0xC3, page)) {
      const auto vid = static_cast<uint16_t>(page[8] << 8 | page[9]);
      const auto pid = static_cast<uint16_t>(page[10] << 8 | page[11]);
      if (vid != s.ExpectedVid || pid != s.ExpectedPid) {
        ctx.diagnostics.Line("Fail : VID or PID not equal.");
        char text[96];
        std::snprintf(text, sizeof text, "the bridge came back as %04X:%04X instead of %04X:%04X", vid, pid,
                      s.ExpectedVid, s.ExpectedPid);
        ctx.progress.Finish();
        return Failure(ctx, Phase::Check, text);
      }
    }
    if (power && !device::ModeSelectPowerCondition(back, power->standby ? static_cast<uint32_t>(power->minutes) : 0)) {
      ctx.progress.Finish();
      return Failure(ctx, Phase::Check, Reason(ctx, "restoring the standby timer failed"));
    }
  }
  ctx.progress.Step();
  ctx.progress.Finish();
  SetProgress(ctx, f.ProgressBar2, 100);
  result = Outcome{OutcomeCode::Success, Phase::Check, "Update    Pass!!", kGreen, {}};
  SetStatusLine(ctx, result.statusText, result.colour);
  return result;
}

Outcome YesBtnClick(AppContext& ctx) {
  MainForm& f = ctx.form;
  MainWindowState& s = ctx.state;
  f.YesBtn.enabled = false;
  f.ExitBtn.enabled = false;
  SetProgress(ctx, f.ProgressBar2, 0);
  s.UpdateBusy = 1;
  SetStatusLine(ctx, "Updating firmware. Please wait...", kBlue);
  ctx.shell.PumpEvents();
  const Outcome outcome = RunOneClick(ctx, ctx.SelectedRecord());
  // The result stays on the line for at least a second.
  ctx.shell.PumpEvents();
  ctx.clock.Sleep(1000);
  s.UpdateBusy = 0;
  f.ExitBtn.enabled = true;
  return outcome;
}

}  // namespace qvfw::app
