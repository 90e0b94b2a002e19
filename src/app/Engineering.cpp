#include "app/Engineering.h"

#include <filesystem>
#include <vector>

#include "app/DeviceLock.h"
#include "app/RamDownload.h"
#include "app/UpdateImage.h"
#include "codec/ImageCodec.h"
#include "device/Commands.h"
#include "firmware/ImageMatch.h"
#include "flash/BankRecovery.h"
#include "flash/DiskFirmware.h"
#include "flash/EraseOnWrite.h"
#include "flash/Loader.h"
#include "flash/Stepwise.h"
#include "flash/WholeImage.h"
#include "platform/Writing.h"

namespace qvfw::app {
namespace {

using chips::ChipType;
using chips::FlashVendor;

bool In(ChipType t, const std::vector<unsigned>& codes) {
  for (unsigned c : codes)
    if (chips::Code(t) == c) return true;
  return false;
}

struct Row {
  std::vector<unsigned> types;
  bool (*holds)(const DispatchInput&);
  Procedure procedure;
};

// The dispatch table: rows tried from the top.
const std::vector<Row> kRows = {
    {{11}, [](const DispatchInput& in) { return !in.options.eraseOnly && !in.options.backupOnly && !in.imageFitsFlash; },
     Procedure::SizeUnknown},
    {{11}, [](const DispatchInput& in) { return !in.options.eraseOnly && !in.options.backupOnly && !*in.imageFitsFlash; },
     Procedure::SizeRefusal},
    {{11}, [](const DispatchInput& in) { return in.vendor == FlashVendor::Sst; }, Procedure::StepwisePage},
    {{7, 11}, nullptr, Procedure::Stepwise},
    {{9, 10}, nullptr, Procedure::EraseOnWrite},
    {{26}, nullptr, Procedure::Loader},
    {{12}, [](const DispatchInput& in) { return !in.memoryFlag505E && in.revision <= 4; }, Procedure::Stepwise},
    {{12}, [](const DispatchInput& in) { return in.sst25; }, Procedure::StepwisePage},
    {{12}, nullptr, Procedure::EraseOnWrite},
    {{13, 14, 15, 16, 17, 18, 27}, nullptr, Procedure::EraseOnWrite},
    {{8}, [](const DispatchInput& in) { return in.pathHasSbp2; }, Procedure::EraseOnWrite1394},
    {{1, 3, 4, 5, 8, 28, 30}, [](const DispatchInput& in) { return in.sst25; }, Procedure::StepwisePage},
    {{1, 3, 4, 5, 8, 28, 30}, nullptr, Procedure::WholeImage},
};

// The procedures' view of the panel: StatusEdit, its marks, the boxes, the bar's phases.
class PanelHost final : public flash::Host {
 public:
  explicit PanelHost(AppContext& ctx) : ctx_(ctx) {}
  void SetStatus(std::string_view text) override { SetStatusText(ctx_, std::string(text)); }
  void AppendStatus(std::string_view more) override { AppendStatusText(ctx_, more); }
  void Message(std::string_view caption, std::string_view text) override {
    ctx_.shell.MessageBox(caption, text, MessageIcon::None);
  }
  void Pump() override { ctx_.shell.PumpEvents(); }
  void EnterStage(flash::Stage stage, uint32_t pieces) override {
    static constexpr Phase kPhase[] = {Phase::Save, Phase::Erase, Phase::Program, Phase::ReadBack};
    ctx_.progress.Enter(kPhase[static_cast<size_t>(stage)], pieces);
  }
  void Step() override { ctx_.progress.Step(); }
  void Critical(bool entering) override {
    ctx_.criticalDepth += entering ? 1 : -1;
    if (entering) platform::BeginWrite(ctx_.diagnostics);
    else platform::EndWrite();
  }
  bool Confirm(std::string_view caption, std::string_view text) override { return ctx_.shell.Ask(caption, text, false); }
  void Trace(std::string_view line) override { ctx_.diagnostics.Line(std::string(line)); }
  bool BufferProgram(const device::Device& dev, std::span<const uint8_t> image) override {
    return ProgramFlashImage(ctx_, dev, 0, image, static_cast<uint32_t>(image.size()), false, {});
  }
  std::optional<uint32_t> BufferCapacity(const device::Device& dev) override {
    uint8_t d[4] = {};
    if (!device::QV_ReadBuffer(dev, 0x03, 0x00, 0, d, sizeof d)) return std::nullopt;
    return static_cast<uint32_t>(d[1] << 16 | d[2] << 8 | d[3]);
  }
  bool BufferRead(const device::Device& dev, std::span<uint8_t> destination) override {
    return ReadBackFlash(ctx_, dev, 0, destination);
  }
  void StampRamDownloadHeader(std::span<uint8_t> image) override {
    if (image.size() >= 2 * codec::kBankSize) PrepareDualBankImage(image.first(2 * codec::kBankSize));
  }

 private:
  AppContext& ctx_;
};

EngineeringOutcome FromResult(const flash::Result& r) {
  static constexpr Phase kPhase[] = {Phase::Save, Phase::Erase, Phase::Program, Phase::ReadBack};
  Outcome o;
  o.code = r.Done() ? OutcomeCode::Success
           : r.code == flash::Result::Code::BadInput ? OutcomeCode::BadInput
                                                     : OutcomeCode::Failed;
  o.phase = kPhase[static_cast<size_t>(r.stage)];
  o.statusText = r.statusText;
  o.colour = r.Done() ? kGreen : kRed;
  o.reason = r.reason;
  EngineeringOutcome e{o, {}, {}};
  if (r.recoveryFile) e.recoveryFile = r.recoveryFile->string();
  if (r.backupFile) e.backupFile = r.backupFile->string();
  return e;
}

EngineeringOutcome Early(OutcomeCode code, std::string status, std::string reason) {
  Outcome o;
  o.code = code;
  o.phase = Phase::Identity;
  o.statusText = std::move(status);
  o.colour = kRed;
  o.reason = std::move(reason);
  return EngineeringOutcome{o, {}, {}};
}

}  // namespace

std::string_view ProcedureName(Procedure p) {
  switch (p) {
    case Procedure::None: return "none";
    case Procedure::SizeRefusal: return "sizeRefusal";
    case Procedure::SizeUnknown: return "sizeUnknown";
    case Procedure::DiskFirmware: return "diskFirmware";
    case Procedure::StepwisePage: return "stepwisePage";
    case Procedure::Stepwise: return "stepwise";
    case Procedure::EraseOnWrite: return "eraseOnWrite";
    case Procedure::Loader: return "loader";
    case Procedure::EraseOnWrite1394: return "eraseOnWrite1394";
    case Procedure::WholeImage: return "wholeImage";
  }
  return "?";
}

Procedure ChooseProcedure(const DispatchInput& in) {
  if (in.vendor == FlashVendor::Unknown && in.chip == ChipType::QV40776E) return Procedure::DiskFirmware;
  if (!chips::InGroup(in.chip, chips::kProgrammable)) return Procedure::None;
  for (const Row& row : kRows)
    if (In(in.chip, row.types) && (!row.holds || row.holds(in))) return row.procedure;
  return Procedure::None;
}

EngineeringOptions OptionsFromForm(const AppContext& ctx) {
  const MainForm& f = ctx.form;
  EngineeringOptions o;
  o.eraseOnly = f.RdCheckBox.checked && f.EraseOnlyCheck.checked;
  o.backupOnly = f.RdCheckBox.checked && f.BackupFWCheckBox.checked;
  o.includeNvram = f.NVRAMCheck.checked;
  o.readWriteBuffer = f.ReadWriteBufferChk.checked;
  o.productSnInCode = f.SetPrdSNchk.checked;
  o.backupFile = f.BackupFileEdit.text;
  o.firmwareFile = f.FwFilenameEdit.text;
  o.stateDirectory = ctx.stateDirectory;
  return o;
}

std::optional<BankRepairReport> RecoverFirmwareBank(AppContext& ctx, const device::Device& dev, size_t record,
                                                    const FlashFacts& flash) {
  const ChipType t = chips::ChipTypeOf(ctx.state.CurrentChipType);
  const uint32_t kib = flash.sizeKiB.value_or(0);
  if (record >= kDeviceTableSize) return std::nullopt;
  DeviceRecord& r = ctx.state.DeviceTable[record];
  if (kib < 128 || r.RecoveryDone == 1 || (t != ChipType::QVS876 && t != ChipType::QVS879)) return std::nullopt;
  const DeviceLockResult lock = LockDevice(ctx, dev.path());
  if (!lock.granted) {
    ctx.diagnostics.Line("The firmware bank is not looked at: " + lock.refusal);
    return std::nullopt;
  }
  const bool runEnabled = ctx.form.UpdateBtn.enabled;
  ctx.form.UpdateBtn.enabled = false;
  PanelHost host(ctx);
  flash::Target target;
  target.chip = t;
  target.revision = ctx.state.ChipRevision;
  target.vendor = flash.vendor;
  target.flashSizeKiB = kib;
  EngineeringOptions options;
  options.stateDirectory = ctx.stateDirectory;
  flash::Job job{dev, target, options, ctx.flash, host, ctx.state.ImageHasNvram};
  const flash::BankRecovery done = flash::RecoverFirmwareBank(job);
  if (done.looked) r.RecoveryDone = 1;
  if (done.result.recoveryFile) ctx.diagnostics.Line("Recovery copy of the flash: " + done.result.recoveryFile->string());
  ctx.form.UpdateBtn.enabled = runEnabled;
  // Banks alike need nothing; banks that could not be read were not looked at.
  if (!done.looked || (!done.wrote && done.result.Done())) return std::nullopt;
  BankRepairReport report;
  report.succeeded = done.result.Done();
  report.statusText = done.result.statusText;
  report.reason = done.result.reason;
  if (done.result.recoveryFile) report.recoveryFile = done.result.recoveryFile->string();
  return report;
}

namespace {

// The facts of device `record` as the last check found them; inspected now when the last check
// looked at another device.
const DeviceFacts& FactsFor(AppContext& ctx, size_t record) {
  const device::Device dev = ctx.DeviceAt(record);
  if (ctx.facts && ctx.facts->device.path == dev.path()) return *ctx.facts;
  ListedDevice listed;
  if (record < ctx.scan.devices.size() && ctx.scan.devices[record].path == dev.path()) {
    listed = ctx.scan.devices[record];
  } else {
    listed.index = record;
    listed.path = dev.path();
    if (record < kDeviceTableSize) listed.bus = ctx.state.DeviceTable[record].Bus;
  }
  ctx.facts = InspectDevice(ctx, listed, false);
  return *ctx.facts;
}

DispatchInput DispatchFor(AppContext& ctx, const device::Device& dev, const EngineeringOptions& options) {
  const MainWindowState& s = ctx.state;
  const ChipType t = chips::ChipTypeOf(s.CurrentChipType);
  DispatchInput in;
  in.chip = t;
  in.revision = s.ChipRevision;
  in.vendor = chips::FlashVendorOf(static_cast<unsigned>(s.FlashVendorCode));
  in.sst25 = s.Sst25Flag != 0;
  in.pathHasSbp2 = dev.path().find("sbp2") != std::string::npos;
  in.options = options;
  if (t == ChipType::QVS882) in.memoryFlag505E = device::CheckMemoryFlag505E(dev);
  if (t == ChipType::QVB789 && s.FlashSizeKiB > 0)
    in.imageFitsFlash = firmware::ImageFitsFlash(options.firmwareFile, static_cast<uint32_t>(s.FlashSizeKiB)) ==
                        firmware::ImageCheck::Fits;
  return in;
}

// What a run that cannot start on these facts says: the facts that are missing.
std::string Unidentified(const DeviceFacts& facts) {
  std::string text;
  for (const std::string& m : facts.missing) text += (text.empty() ? "" : "; ") + m;
  return text;
}

}  // namespace

ImageVerdict CheckImage(AppContext& ctx, const DeviceFacts& facts, const std::string& image) {
  ImageVerdict v;
  const chips::ChipId chip = facts.device.chip;
  switch (firmware::MatchFirmwareSignature(image, chip.type, chip.revision)) {
    case firmware::ImageCheck::CannotOpen:
      v.kind = ImageVerdict::Kind::CannotOpen;
      v.text = "Open Firmware File Error!!";
      return v;
    case firmware::ImageCheck::DoesNotFit:
      v.kind = ImageVerdict::Kind::NotForChip;
      v.text = "The firmware file seems not match this chip!";
      return v;
    case firmware::ImageCheck::Fits: break;
  }
  std::error_code ec;
  v.imageBytes = std::filesystem::file_size(image, ec);
  const bool onDisk = chip.type == ChipType::QV40776E && (!facts.flash || facts.flash->vendor == FlashVendor::Unknown);
  if (onDisk) return v;
  v.flashKiB = WholeFlashKiB(ctx, facts);
  if (!v.flashKiB) {
    v.kind = ImageVerdict::Kind::UnknownFlashSize;
    v.text = "The flash size of this chip is not known: the image cannot be checked against it.";
  } else if (firmware::ImageFitsFlash(image, *v.flashKiB) != firmware::ImageCheck::Fits) {
    v.kind = ImageVerdict::Kind::TooLarge;
    v.text = "The firmware file size is bigger than the flash size!";
  }
  return v;
}

Procedure PlannedProcedure(AppContext& ctx, size_t record, const EngineeringOptions& options) {
  FactsFor(ctx, record);
  return ChooseProcedure(DispatchFor(ctx, ctx.DeviceAt(record), options));
}

bool WritesOverNvram(AppContext& ctx, size_t record, const EngineeringOptions& options) {
  if (options.eraseOnly || options.backupOnly) return false;
  if (PlannedProcedure(ctx, record, options) != Procedure::StepwisePage) return false;
  return !flash::ImageHasNvramHead(options.firmwareFile, chips::ChipTypeOf(ctx.state.CurrentChipType));
}

EngineeringOutcome RunEngineering(AppContext& ctx, size_t record, const EngineeringOptions& options) {
  MainWindowState& s = ctx.state;
  const DeviceFacts& facts = FactsFor(ctx, record);
  const ChipType t = chips::ChipTypeOf(s.CurrentChipType);
  const device::Device dev = ctx.DeviceAt(record);
  const DispatchInput in = DispatchFor(ctx, dev, options);
  const Procedure p = ChooseProcedure(in);

  switch (p) {
    case Procedure::None:
      return Early(OutcomeCode::NotOffered, "", "the chip is not one that can be programmed");
    case Procedure::SizeRefusal:
      ctx.shell.MessageBox("Message", "The firmware file size is bigger than the flash size!", MessageIcon::None);
    {
      EngineeringOutcome refused = Early(OutcomeCode::BadInput, "", "the image is larger than the flash");
      refused.refusedImageSize = true;
      return refused;
    }
    case Procedure::SizeUnknown:
      SetStatusText(ctx, "The flash size of this chip is not known: the image cannot be checked against it.");
      return Early(OutcomeCode::BadInput, ctx.form.StatusEdit.text, "the flash size is not known, so the image size cannot be checked");
    default: break;
  }
  // Nothing is changed, or backed up, on facts that one refused or lost answer may have bent.
  const std::string nothing = options.backupOnly ? "; nothing was read" : "; nothing was written";
  if (!facts.Complete()) {
    SetStatusText(ctx, "Identify device fail, nothing written!");
    return Early(OutcomeCode::Failed, ctx.form.StatusEdit.text, "could not identify " + Unidentified(facts) + nothing);
  }
  const DeviceLockResult lock = LockDevice(ctx, dev.path());
  if (!lock.granted) return Early(OutcomeCode::Failed, "", lock.refusal + "; nothing was written");
  // The device must still be the one the facts describe, just before anything starts.
  if (const std::string changed = ConfirmIdentity(ctx, facts); !changed.empty()) {
    SetStatusText(ctx, "Identify device fail, nothing written!");
    return Early(OutcomeCode::Failed, ctx.form.StatusEdit.text,
                 "the device did not answer as when it was identified: " + changed + nothing);
  }
  // The recovery copy covers the whole flash: its size from the facts, else from the flash's id.
  uint32_t flashBytes = 0;
  if (p != Procedure::DiskFirmware && !options.backupOnly) {
    std::string why;
    if (const auto kib = WholeFlashKiB(ctx, facts, &why)) {
      flashBytes = *kib * 1024;
    } else if (!options.skipRecovery) {
      SetStatusText(ctx, "Flash size unknown!!");
      return Early(OutcomeCode::Failed, ctx.form.StatusEdit.text,
                   why + ", so no recovery copy of the whole flash can be kept; nothing was written (--no-backup runs "
                         "without one)");
    }
  }
  RemoveStaleFiles(ctx, {});
  PanelHost host(ctx);
  flash::Target target;
  target.chip = t;
  target.revision = s.ChipRevision;
  target.vendor = in.vendor;
  target.flashSizeKiB = s.FlashSizeKiB > 0 ? static_cast<uint32_t>(s.FlashSizeKiB) : 0;
  target.flashBytes = flashBytes;
  target.chipResetMode = s.ChipResetMode;
  target.amicClass = s.AmicClass;
  target.atmelClass = s.AtmelClass;
  target.sst25 = s.Sst25Flag != 0;
  flash::Job job{dev, target, options, ctx.flash, host, s.ImageHasNvram};
  ctx.progress.Plan({{Phase::Save, 2}, {Phase::Erase, 1}, {Phase::Program, 4}, {Phase::ReadBack, 3}});
  flash::Result r;
  switch (p) {
    case Procedure::EraseOnWrite1394: r = flash::EraseOnWrite1394Procedure(job); break;
    case Procedure::Loader: r = flash::LoaderProcedure(job); break;
    case Procedure::DiskFirmware: r = flash::DiskFirmwareProcedure(job); break;
    case Procedure::WholeImage: r = flash::WholeImageProcedure(job); break;
    case Procedure::Stepwise: r = flash::StepwiseProcedure(job); break;
    case Procedure::StepwisePage:
      // The page-program procedure always writes the image's first 4 KiB: "Include 4K NVRAM" is
      // ticked and stays so.
      ctx.form.NVRAMCheck.checked = true;
      s.KeepNvram = 1;
      r = flash::StepwisePageProcedure(job);
      break;
    default: r = flash::EraseOnWriteProcedure(job); break;
  }
  ctx.progress.Finish();
  return FromResult(r);
}

}  // namespace qvfw::app
