#include "app/Engineering.h"

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

void RecoverFirmwareBank(AppContext& ctx, const device::Device& dev, size_t record, const FlashFacts& flash) {
  const ChipType t = chips::ChipTypeOf(ctx.state.CurrentChipType);
  const uint32_t kib = flash.sizeKiB.value_or(0);
  if (record >= kDeviceTableSize) return;
  DeviceRecord& r = ctx.state.DeviceTable[record];
  if (kib < 128 || r.RecoveryDone == 1 || (t != ChipType::QVS876 && t != ChipType::QVS879)) return;
  const DeviceLockResult lock = LockDevice(ctx, dev.path());
  if (!lock.granted) {
    ctx.diagnostics.Line("The firmware bank is not looked at: " + lock.refusal);
    return;
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
}

EngineeringOutcome RunEngineering(AppContext& ctx, size_t record, const EngineeringOptions& options) {
  MainWindowState& s = ctx.state;
  const ChipType t = chips::ChipTypeOf(s.CurrentChipType);
  const device::Device dev = ctx.DeviceAt(record);
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
  const DeviceLockResult lock = LockDevice(ctx, dev.path());
  if (!lock.granted) return Early(OutcomeCode::Failed, "", lock.refusal + "; nothing was written");
  RemoveStaleFiles(ctx, {});
  PanelHost host(ctx);
  flash::Target target;
  target.chip = t;
  target.revision = s.ChipRevision;
  target.vendor = in.vendor;
  target.flashSizeKiB = s.FlashSizeKiB > 0 ? static_cast<uint32_t>(s.FlashSizeKiB) : 0;
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
