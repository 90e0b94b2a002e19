#include "app/OneClick.h"

#if !defined(_WIN32)
#include <poll.h>
#endif

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
#include "app/DeviceList.h"
#include "app/DeviceLock.h"
#include "app/KeptIdentity.h"
#include "device/ChipIdentify.h"
#include "device/Discovery.h"
#include "firmware/VersionDisplay.h"
#include "platform/Writing.h"

namespace qvfw::app {
namespace {

constexpr uint32_t kStagingSize = 512 * 1024;
constexpr uint32_t kCompareLength = 0x20000;
// The outer limit of the wait for a restarted bridge: a first pause and 60 rounds of looking.
constexpr uint32_t kReattachRounds = 60;
constexpr uint32_t kFirstPauseMs = 2000;
constexpr uint32_t kRoundMs = 500;

// Marks the stretch from the first write to the flash until the identity is restored: signals
// wait and the machine does not sleep or shut down.
struct CriticalSection {
  explicit CriticalSection(AppContext& ctx) : ctx_(ctx) {
    ++ctx_.criticalDepth;
    platform::BeginWrite(ctx_.diagnostics);
  }
  ~CriticalSection() {
    platform::EndWrite();
    --ctx_.criticalDepth;
  }
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

std::string Reason(const AppContext& ctx, std::string_view step) {
  std::string text(step);
  if (const auto& failure = ctx.transport.LastFailure()) text += ": " + failure->Describe();
  return text;
}

std::filesystem::path WorkDir(const AppContext& ctx) {
  return ctx.workingDirectory.empty() ? std::filesystem::path(".") : ctx.workingDirectory;
}

// Where this run's exchange file may go: the working directory, else the state directory.
std::vector<std::filesystem::path> ExchangeFolders(const AppContext& ctx) {
  const std::filesystem::path state = StateDirectory(ctx);
  std::error_code ec;
  if (std::filesystem::create_directories(state, ec)) std::filesystem::permissions(state, std::filesystem::perms::owner_all, ec);
  return {WorkDir(ctx), state};
}

// The carried image's chip model digits (bytes 21..23) and version (bytes 25..28).
struct CarriedHeader {
  std::array<uint8_t, 32> bytes{};
};

CarriedHeader Carried(const AppContext& ctx) {
  CarriedHeader h;
  LoadUpdateImage(ctx.images, h.bytes, 0, h.bytes.size());
  return h;
}

}  // namespace

bool BackupIdentity(AppContext& ctx, const device::Device& dev, std::string* why) {
  auto fail = [&](std::string_view step) {
    if (why) *why = Reason(ctx, step);
    return false;
  };
  ExchangeBlock block;
  std::array<uint8_t, 4096> source{}, again{};
  if (!device::QV_ReadBuffer(dev, 0x01, 0x01, 0, source.data(), source.size()))
    return fail("could not read the bridge's configuration area; nothing was written");
  // What is kept is read twice, and the reads must agree: a bit turned on the way would be
  // written back as the bridge's own.
  if (!device::QV_ReadBuffer(dev, 0x01, 0x01, 0, again.data(), again.size()) || again != source)
    return fail("two reads of the bridge's configuration area differ; nothing was written");
  std::copy_n(source.begin() + 1536, 512, block.bytes.begin());
  // The identity must be whole before anything is written: a bridge programmed with ids or a
  // serial number that could not be read would lose them.
  // A reply cut short leaves zeros, which would be taken for ids or a shorter serial number.
  uint8_t ids[96] = {}, idsAgain[96] = {};
  uint32_t got = 0;
  if (!device::InquiryVpd(dev, 0xC3, ids, &got) || got < 12)
    return fail("could not read the bridge's USB ids; nothing was written");
  if (!device::InquiryVpd(dev, 0xC3, idsAgain) || !std::equal(ids, ids + 12, idsAgain))
    return fail("two reads of the bridge's USB ids differ; nothing was written");
  std::copy_n(ids + 8, 4, block.bytes.begin() + 512);
  uint8_t serial[50] = {}, serialAgain[50] = {};
  if (!device::InquiryVpd(dev, 0x80, serial, &got) || got < 4 || got < 4u + std::min<uint32_t>(serial[3], 46))
    return fail("could not read the bridge's serial number; nothing was written");
  if (!device::InquiryVpd(dev, 0x80, serialAgain) || !std::equal(serial, serial + got, serialAgain))
    return fail("two reads of the bridge's serial number differ; nothing was written");
  const size_t n = strnlen(reinterpret_cast<const char*>(serial + 4), 46);
  std::copy_n(serial + 4, n, block.bytes.begin() + 516);
  // This run's earlier file (an update before this one) goes first: its name is free again.
  ctx.exchange.reset();
  std::string notCreated;
  ctx.exchange = OwnExchangeFile::Create(ExchangeFolders(ctx), ctx.exchangeFileName, block, ctx.diagnostics, &notCreated);
  if (!ctx.exchange) {
    if (why) *why = notCreated + "; nothing was written";
    return false;
  }
  return true;
}

bool ProgramCarriedImage(AppContext& ctx, const device::Device& dev, const ExchangeBlock& saved, bool ramDownload,
                         uint32_t flashKiB, std::string* why) {
  MainWindowState& s = ctx.state;
  auto fail = [&](std::string_view step) {
    if (why) *why = Reason(ctx, step);
    return false;
  };
  s.ExpectedVid = 0;
  s.ExpectedPid = 0;
  // The staging area holds the whole image, however long, and zeros beyond it.
  const uint32_t imageLength = LoadUpdateImage(ctx.images, {}, 0, 0);
  std::vector<uint8_t> staging(std::max(imageLength, kStagingSize), 0);
  LoadUpdateImage(ctx.images, staging, 0, 0);
  const uint32_t programLength = RoundUp(imageLength, 256);
  if (imageLength == 0) return fail("the program carries no firmware image");
  if (programLength / 1024 > flashKiB) return fail("the carried image is larger than the bridge's flash");

  // The content covers the flash, and at least the first bank that carries the check values.
  const uint32_t flashLength = std::max(RoundUp(flashKiB * 1024, 8192), kCompareLength);
  device::AlignedBuffer content, readBack;
  try {
    content = device::AlignedBuffer(flashLength);
    readBack = device::AlignedBuffer(flashLength);
  } catch (const std::bad_alloc&) {
    return fail("out of memory for the flash content");
  }
  std::copy_n(staging.begin(), std::min<size_t>(flashLength, staging.size()), content.data());
  SpliceConfiguration(content.span(), saved);

  static constexpr std::array<uint8_t, kPieceSize> kZeroBlock{};
  if (!ProgramFlashImage(ctx, dev, 0, content.span(), programLength, ramDownload, kZeroBlock))
    return fail("programming the carried image failed");
  if (!ReadBackFlash(ctx, dev, 0, readBack.span())) return fail("reading the flash back failed");
  for (uint32_t i = 0; i < kCompareLength; ++i) {
    if (i >= 0x200 && i <= 0x3FF) continue;
    if (readBack[i] != content[i]) {
      char text[96];
      std::snprintf(text, sizeof text, "the flash read back differs from what was programmed at 0x%05X", i);
      return fail(text);
    }
  }
  const UsbIds ids = IdsToWrite(saved);
  const auto record = BuildIdentityRecord(saved.Serial());
  if (!device::SetBridgeIdentity(dev, ids.vid, ids.pid, record)) return fail("writing the identity back failed");
  s.ExpectedVid = ids.vid;
  s.ExpectedPid = ids.pid;
  return true;
}

bool ProgramEmbeddedImage(AppContext& ctx, const device::Device& dev, std::string* why) {
  // The block in memory is what this run saved; the file must still say the same.
  if (!ctx.exchange || !ctx.exchange->ReadsBack()) {
    if (why) {
      *why = ctx.exchange ? "the exchange file " + ctx.exchange->path().string() +
                                " no longer holds what this run wrote there; nothing was written"
                          : "no identity was saved for this run; nothing was written";
    }
    return false;
  }
  return ProgramCarriedImage(ctx, dev, ctx.exchange->block(), false,
                             static_cast<uint32_t>(std::max(ctx.state.FlashSizeKiB, 0)), why);
}

namespace {

std::optional<std::string> CheckRunningVersion(AppContext& ctx, const device::Device& back, bool carriedOnly);

// Blocks until the descriptor has something to read or `ms` have passed.
void WaitReadable(int fd, uint32_t ms) {
#if defined(_WIN32)
  (void)fd;
  (void)ms;
#else
  pollfd p{fd, POLLIN, 0};
  ::poll(&p, 1, static_cast<int>(ms));
#endif
}

// Waits up to `ms` for device events; true when any came. A monitor that has a descriptor is
// waited on; one without (the emulated machine) is looked at every 10 ms of the clock.
std::vector<platform::DeviceEvent> WaitForEvents(AppContext& ctx, uint32_t ms) {
  if (!ctx.monitor) {
    ctx.clock.Sleep(ms);
    return {};
  }
  const uint64_t until = ctx.clock.NowMs() + ms;
  for (;;) {
    std::vector<platform::DeviceEvent> events = ctx.monitor->Drain();
    if (ctx.deviceEventSink)
      for (platform::DeviceEvent e : events) ctx.deviceEventSink(e);
    if (!events.empty()) return events;
    const uint64_t now = ctx.clock.NowMs();
    if (now >= until) return {};
    const auto left = static_cast<uint32_t>(until - now);
    if (ctx.monitor->PollFd() >= 0) {
      WaitReadable(ctx.monitor->PollFd(), left);
    } else {
      ctx.clock.Sleep(std::min<uint32_t>(left, 10));
    }
  }
}

}  // namespace

bool WaitForReattach(AppContext& ctx, const device::Device& dev, const std::vector<std::string>& others,
                     const ReturnExpected& expected, std::string* backPath, std::string* why, bool* verified) {
  auto fail = [&](std::string text) {
    if (why) *why = std::move(text);
    return false;
  };
  const std::string serial = SerialAsWritten(expected.serial);
  const chips::ChipType family = chips::ChipTypeOf(ctx.state.CurrentChipType);
  if (ctx.monitor) {  // what happened before the restart is not its news, but the window's
    for (platform::DeviceEvent e : ctx.monitor->Drain())
      if (ctx.deviceEventSink) ctx.deviceEventSink(e);
  }
  ctx.transport.ClearFailure();
  ctx.progress.Enter(Phase::Restart);
  const bool accepted = device::ResetChip(dev);
  // A bridge that answers the restart with CHECK CONDITION refused it. One whose answer was lost
  // (the bridge drops off the bus right after its status) may well be restarting: whether it left
  // and came back decides.
  const auto& failure = ctx.transport.LastFailure();
  const bool refused = !accepted && failure && failure->result.opened && failure->result.ioctlOk &&
                       failure->result.osError == 0 && failure->result.scsiStatus != 0;
  const std::string refusal = refused ? failure->Describe() : std::string();

  ctx.progress.Enter(Phase::Wait, kReattachRounds);
  const uint64_t deadline = ctx.clock.NowMs() + kFirstPauseMs + uint64_t{kReattachRounds} * kRoundMs;
  bool left = false, announced = false;
  std::optional<std::string> back, fallback;
  if (verified) *verified = false;
  uint64_t nextLook = ctx.clock.NowMs();
  while (!back) {
    const uint64_t now = ctx.clock.NowMs();
    if (now >= deadline) break;
    bool look = now >= nextLook;
    if (!look) {
      for (platform::DeviceEvent e : WaitForEvents(ctx, static_cast<uint32_t>(std::min(nextLook, deadline) - now))) {
        if (e == platform::DeviceEvent::Removal) left = true;
        announced = true;
      }
      look = announced || ctx.clock.NowMs() >= nextLook;
    }
    if (!look) continue;
    announced = false;
    nextLook = ctx.clock.NowMs() + kRoundMs;
    ctx.progress.Step();
    std::vector<device::AdmittedDisk> found;
    if (ctx.disks) found = device::EnumerateBridgeDevices(*ctx.disks, ctx.transport, true);
    ctx.shell.PumpEvents();
    const bool stillThere = std::any_of(found.begin(), found.end(), [&](const device::AdmittedDisk& d) {
      return d.disk.path == dev.path();
    });
    if (!stillThere) left = true;
    if (!left) {
      if (refused) return fail("the bridge refused the restart and stays as it was: " + refusal);
      continue;
    }
    // Candidates: bridges of the updated family that are not the other listed bridges.
    std::vector<std::string> candidates;
    for (const auto& d : found) {
      if (std::find(others.begin(), others.end(), d.disk.path) != others.end()) continue;
      if (device::IdentifyChip(device::Device(ctx.transport, d.disk.path), &d.answers).id.type != family) continue;
      candidates.push_back(d.disk.path);
    }
    // The one that reports the serial number just written (a serial longer than the 20
    // characters the identity holds comes back cut; another bridge's full serial never matches).
    if (!serial.empty()) {
      std::erase_if(candidates, [&](const std::string& p) {
        return ReadSerialNumber(device::Device(ctx.transport, p)).value_or("\n") != serial;
      });
    }
    // Looking as soon as devices come, a stranger may come first: the updated bridge is the one
    // that runs the firmware just programmed. One that runs something else is taken only when
    // nothing better comes by the end of the wait (and then fails the version check).
    std::vector<std::string> running;
    for (const std::string& p : candidates)
      if (!CheckRunningVersion(ctx, device::Device(ctx.transport, p), expected.carriedFirmware)) running.push_back(p);
    if (running.size() == 1) {
      back = running.front();
      if (verified) *verified = true;
    } else if (candidates.size() == 1) {
      fallback = candidates.front();
    }
  }
  if (!back && fallback) back = fallback;
  if (!back) {
    if (refused) return fail("the bridge refused the restart and stays as it was: " + refusal);
    return fail(left ? "the bridge left for its restart and did not come back"
                     : "the bridge did not restart: it never left the bus");
  }
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

Outcome Failure(AppContext& ctx, Phase phase, std::string reason) {
  Outcome o;
  o.code = OutcomeCode::Failed;
  o.phase = phase;
  o.statusText = "Update    Fail!!";
  o.colour = kRed;
  o.reason = std::move(reason);
  ctx.progress.Finish();
  SetStatusLine(ctx, o.statusText, o.colour);
  return o;
}

// The returned bridge: the ids the identity write put there, and the carried firmware running.
std::optional<std::string> CheckReturned(AppContext& ctx, const device::Device& back) {
  MainWindowState& s = ctx.state;
  uint8_t page[96] = {};
  if (device::InquiryVpd(back, 0xC3, page)) {
    const auto vid = static_cast<uint16_t>(page[8] << 8 | page[9]);
    const auto pid = static_cast<uint16_t>(page[10] << 8 | page[11]);
    if (vid != s.ExpectedVid || pid != s.ExpectedPid) {
      ctx.diagnostics.Line("Fail : VID or PID not equal.");
      char text[96];
      std::snprintf(text, sizeof text, "the bridge came back as %04X:%04X instead of %04X:%04X", vid, pid,
                    s.ExpectedVid, s.ExpectedPid);
      return text;
    }
  }
  return std::nullopt;
}

// Nothing when the bridge runs the carried firmware (`carriedOnly`), or any firmware at all.
std::optional<std::string> CheckRunningVersion(AppContext& ctx, const device::Device& back, bool carriedOnly) {
  const firmware::VersionRead running = firmware::ReadVersionText(back, chips::ChipType::QVS812);
  if (!carriedOnly) {
    if (running.kind == firmware::VersionRead::Kind::Ok && !running.text.empty()) return std::nullopt;
    return Reason(ctx, "the returned bridge does not run firmware (its version could not be read)");
  }
  const CarriedHeader carried = Carried(ctx);
  const std::span<const uint8_t, 4> version(carried.bytes.data() + 25, 4);
  if (running.kind == firmware::VersionRead::Kind::Ok && CompareVersions(running.text, version).sameVersion)
    return std::nullopt;
  if (running.kind != firmware::VersionRead::Kind::Ok)
    return Reason(ctx, "the returned bridge's firmware version could not be read");
  return "the returned bridge runs " + running.text + ", not the programmed " + CarriedVersionText(ctx);
}

// The second half of the flow, shared with the recovery: restart, wait, check, timer.
// On success the kept identity `kept` goes: the bridge carries it again.
Outcome RestartAndCheck(AppContext& ctx, const device::Device& dev, const std::vector<std::string>& others,
                        const std::optional<PowerCondition>& power, const ReturnExpected& expected,
                        const std::optional<std::filesystem::path>& kept, const std::string& keptNote) {
  MainForm& f = ctx.form;
  std::string why, backPath;
  bool verified = false;
  if (!WaitForReattach(ctx, dev, others, expected, &backPath, &why, &verified))
    return Failure(ctx, Phase::Wait, why + keptNote);
  ctx.progress.Enter(Phase::Check);
  const device::Device back(ctx.transport, backPath);
  if (const auto bad = CheckReturned(ctx, back)) return Failure(ctx, Phase::Check, *bad + keptNote);
  if (power && !device::ModeSelectPowerCondition(back, power->standby ? static_cast<uint32_t>(power->minutes) : 0))
    return Failure(ctx, Phase::Check, Reason(ctx, "restoring the standby timer failed") + keptNote);
  if (!verified) {
    if (const auto bad = CheckRunningVersion(ctx, back, expected.carriedFirmware))
      return Failure(ctx, Phase::Check, *bad + keptNote);
  }
  ctx.progress.Step();
  ctx.progress.Finish();
  if (kept) platform::RemoveFile(*kept);
  SetProgress(ctx, f.ProgressBar2, 100);
  const Outcome result{OutcomeCode::Success, Phase::Check, "Update    Pass!!", kGreen, {}};
  SetStatusLine(ctx, result.statusText, result.colour);
  return result;
}

std::string KeptNote(const std::filesystem::path& kept) { return "; the bridge's identity is kept in " + kept.string(); }

// Why a serial number is too long for the identity record ("" when it fits).
std::string SerialTooLong(const std::string& serial) {
  if (SerialFitsRecord(serial)) return {};
  const bool ascii = std::all_of(serial.begin(), serial.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  return "the serial number \"" + serial + "\" " + (ascii ? "has " : "takes ") + std::to_string(serial.size()) +
         (ascii ? " characters" : " bytes") + "; the bridge can keep " + std::to_string(kSerialLength) +
         "; nothing was written (--force writes it cut to \"" + SerialAsWritten(serial) + "\")";
}

}  // namespace

Outcome RunOneClick(AppContext& ctx, size_t selected, const OneClickOptions& options) {
  MainForm& f = ctx.form;
  MainWindowState& s = ctx.state;
  if (chips::ChipTypeOf(s.CurrentChipType) != chips::ChipType::QVS812) {
    SetStatusLine(ctx, "Chip not support!!", kRed);
    return Outcome{OutcomeCode::NotOffered, Phase::Identity, "Chip not support!!", kRed,
                   "the one-click update is for QVS812 bridges only"};
  }
  ctx.transport.ClearFailure();
  ctx.progress.Plan({{Phase::Identity, 2}, {Phase::Program, 40}, {Phase::ReadBack, 4}, {Phase::Restart, 1},
                     {Phase::Wait, 30}, {Phase::Check, 2}});
  ctx.progress.Enter(Phase::Identity);
  // The other listed bridges, as the last refresh found them, less those restarting with this one.
  std::vector<std::string> others;
  for (size_t i = 0; i < f.DeviceList.items.size() && i < s.DeviceTable.size(); ++i) {
    const std::string_view path = s.DeviceTable[i].Path.View();
    if (i == selected || path.empty()) continue;
    if (std::find(ctx.restartingTogether.begin(), ctx.restartingTogether.end(), path) != ctx.restartingTogether.end())
      continue;
    others.emplace_back(path);
  }
  const device::Device dev = ctx.DeviceAt(selected);
  const DeviceLockResult lock = LockDevice(ctx, dev.path());
  if (!lock.granted) return Failure(ctx, Phase::Identity, lock.refusal + "; nothing was written");
  RemoveStaleFiles(ctx, WorkDir(ctx));

  std::string why;
  const bool saved = BackupIdentity(ctx, dev, &why);
  std::optional<PowerCondition> power;
  if (saved) power = ReadPowerCondition(dev);
  StepProgress(ctx, f.ProgressBar2);
  if (!saved) return Failure(ctx, Phase::Identity, why);
  const ExchangeBlock block = ctx.exchange->block();
  if (const std::string tooLong = SerialTooLong(block.Serial()); !tooLong.empty() && !options.force)
    return Failure(ctx, Phase::Identity, tooLong);
  if (!ctx.exchange->ReadsBack()) {
    return Failure(ctx, Phase::Identity,
                   "the exchange file " + ctx.exchange->path().string() +
                       " does not read back what this run wrote there; nothing was written");
  }
  // Kept before the first write: whatever happens next, the identity survives the program. A run
  // that cannot keep it writes nothing.
  std::string notKept;
  const auto kept = KeepIdentity(ctx, block, dev.path(), &notKept);
  if (!kept) {
    return Failure(ctx, Phase::Identity,
                   "the bridge's identity could not be kept (" + notKept + "); nothing was written");
  }
  const std::string keptNote = KeptNote(*kept);

  CriticalSection critical(ctx);
  const bool programmed = ProgramEmbeddedImage(ctx, dev, &why);
  StepProgress(ctx, f.ProgressBar2);
  if (!programmed) return Failure(ctx, ctx.progress.View().phase, why + keptNote);
  return RestartAndCheck(ctx, dev, others, power, ReturnExpected{block.Serial()}, kept, keptNote);
}

namespace {

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec);
}

}  // namespace

Outcome RunRecover(AppContext& ctx, size_t selected, const RecoverOptions& options) {
  MainWindowState& s = ctx.state;
  auto refuse = [&](OutcomeCode code, std::string reason) {
    return Outcome{code, Phase::Identity, {}, kRed, std::move(reason)};
  };
  if (selected >= ctx.scan.devices.size()) return refuse(OutcomeCode::NoDevice, "no such device");
  const DeviceFacts facts = InspectDevice(ctx, ctx.scan.devices[selected], false);
  if (!chips::InGroup(facts.device.chip.type, chips::kBufferFamily))
    return refuse(OutcomeCode::NotOffered, "recover is for the QVS812/814/817/818 family");
  const bool runsFirmware = facts.firmware == FirmwareState::Version;
  const std::string onFirmware = "the bridge runs firmware " + facts.version +
                                 "; recover is for a bridge left running its boot code, or running without the "
                                 "identity kept for it";
  const device::Device dev(ctx.transport, facts.device.path);
  const DeviceLockResult lock = LockDevice(ctx, dev.path());
  if (!lock.granted) return refuse(OutcomeCode::Failed, lock.refusal + "; nothing was written");
  RemoveStaleFiles(ctx, WorkDir(ctx));
  const std::string bridgeSerial = ReadSerialNumber(dev).value_or("");
  // The identity: the file given, or the one kept for this bridge by its serial or its path. A
  // file is checked before it is believed: one that fails is refused, never skipped for another.
  std::optional<ExchangeBlock> block;
  std::filesystem::path from;
  if (options.identityFile) {
    from = *options.identityFile;
    const IdentityFile read = ReadIdentityFile(from);
    if (!read.block) return refuse(OutcomeCode::BadInput, from.string() + " " + read.problem + "; nothing was written");
    block = read.block;
  } else {
    for (const auto& candidate : {KeptIdentityPath(ctx, bridgeSerial, {}), KeptIdentityPath(ctx, {}, facts.device.path)}) {
      if (bridgeSerial.empty() && candidate == KeptIdentityPath(ctx, bridgeSerial, {})) continue;
      // A bridge that runs firmware is matched by its serial only: a path names no bridge for long.
      if (runsFirmware && candidate != KeptIdentityPath(ctx, bridgeSerial, {})) continue;
      std::error_code ec;
      if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, ec))) continue;
      const IdentityFile read = ReadIdentityFile(candidate);
      if (!read.block) return refuse(OutcomeCode::BadInput, candidate.string() + " " + read.problem + "; nothing was written");
      block = read.block;
      from = candidate;
      break;
    }
    if (!block && runsFirmware) return refuse(OutcomeCode::NotOffered, onFirmware);
    if (!block)
      return refuse(OutcomeCode::BadInput, "no identity is kept for this bridge in " + StateDirectory(ctx).string() +
                                               "; pass the file a failed update left (--identity FILE)");
  }
  const std::string serial = SerialAsWritten(block->Serial());
  // Another bridge's identity would make this one its twin: only on purpose.
  if (!bridgeSerial.empty() && SerialAsWritten(bridgeSerial) != serial && !options.force) {
    return refuse(OutcomeCode::BadInput, from.string() + " holds the identity of serial number \"" + serial +
                                             "\", but this bridge reports \"" + bridgeSerial +
                                             "\"; nothing was written (--force writes it all the same)");
  }
  if (const std::string tooLong = SerialTooLong(block->Serial()); !tooLong.empty() && !options.force)
    return refuse(OutcomeCode::BadInput, from.string() + ": " + tooLong);
  // An update that stopped after programming but before the identity was written back leaves a
  // bridge that boots the new firmware with the image's ids: that one is recovered too, through
  // its running firmware. One that already carries the kept identity has nothing to recover.
  if (runsFirmware) {
    const UsbIds want = IdsToWrite(*block);
    const bool idsKept = facts.usbIds && facts.usbIds->vid == want.vid && facts.usbIds->pid == want.pid;
    if (idsKept && SerialAsWritten(bridgeSerial) == serial) return refuse(OutcomeCode::NotOffered, onFirmware);
  }
  // The identity is kept in the state directory before anything is written, whatever file it
  // came from; a file the user named stays as it is.
  std::optional<std::filesystem::path> kept;
  const std::filesystem::path keptPath = KeptIdentityPath(ctx, block->Serial(), facts.device.path);
  if (options.identityFile && !SameFile(from, keptPath)) {
    std::string notKept;
    kept = KeepIdentity(ctx, *block, facts.device.path, &notKept);
    if (!kept) return refuse(OutcomeCode::Failed, "the identity could not be kept (" + notKept + "); nothing was written");
  } else if (!options.identityFile) {
    kept = from;
  }
  const std::string keptNote = "; the bridge's identity stays kept in " + (kept ? *kept : from).string();

  s.UpdateBusy = 1;
  ctx.transport.ClearFailure();
  ctx.progress.Plan({{Phase::Program, 40}, {Phase::ReadBack, 4}, {Phase::Restart, 1}, {Phase::Wait, 30},
                     {Phase::Check, 2}});
  std::vector<std::string> others;
  for (const auto& d : ctx.scan.devices)
    if (d.index != selected) others.push_back(d.path);
  Outcome result;
  {
    CriticalSection critical(ctx);
    std::string why;
    // A bridge on its boot code takes the manufacturing firmware into RAM first. Its flash does not
    // answer there, so its size reads as the 64 KiB of a flash that cannot be classified: the
    // family's largest (512 KiB) bounds the buffers instead, and the download buffer's capacity
    // decides how much is programmed.
    const uint32_t flashKiB = facts.flash && facts.flash->vendor != chips::FlashVendor::Unknown && facts.flash->sizeKiB
                                  ? *facts.flash->sizeKiB
                                  : 512;
    if (!ProgramCarriedImage(ctx, dev, *block, !runsFirmware, flashKiB, &why)) {
      result = Failure(ctx, ctx.progress.View().phase, why + keptNote);
    } else {
      // The copy kept for this run goes once the bridge carries the identity again; a file the
      // user named never does.
      const bool forget = kept && !(options.identityFile && SameFile(*kept, *options.identityFile));
      result = RestartAndCheck(ctx, dev, others, std::nullopt, ReturnExpected{block->Serial()},
                               forget ? kept : std::nullopt, keptNote);
    }
  }
  s.UpdateBusy = 0;
  return result;
}

EngineeringOutcome RunRecoverImage(AppContext& ctx, size_t selected, const std::filesystem::path& image) {
  MainWindowState& s = ctx.state;
  auto refuse = [&](OutcomeCode code, std::string reason) {
    return EngineeringOutcome{Outcome{code, Phase::Identity, {}, kRed, std::move(reason)}, {}, {}};
  };
  if (selected >= ctx.scan.devices.size()) return refuse(OutcomeCode::NoDevice, "no such device");
  const ListedDevice& listed = ctx.scan.devices[selected];
  const DeviceFacts facts = InspectDevice(ctx, listed, false);
  if (!chips::InGroup(facts.device.chip.type, chips::kBufferFamily))
    return refuse(OutcomeCode::NotOffered, "recover --image is for the QVS812/814/817/818 family");
  if (facts.firmware == FirmwareState::Version) {
    return refuse(OutcomeCode::NotOffered, "the bridge runs firmware " + facts.version +
                                               "; recover --image is for a bridge left on its boot code (program "
                                               "writes an image into a bridge that runs firmware)");
  }
  const platform::FileRead read = platform::ReadRegularFile(image, 64u << 20);
  if (!read.ok()) return refuse(OutcomeCode::BadInput, image.string() + " " + read.Reason());
  if (read.bytes.empty()) return refuse(OutcomeCode::BadInput, image.string() + " is empty");
  const device::Device dev(ctx.transport, facts.device.path);
  const DeviceLockResult lock = LockDevice(ctx, dev.path());
  if (!lock.granted) return refuse(OutcomeCode::Failed, lock.refusal + "; nothing was written");
  // The bridge must come back as itself: the ids and serial number it reports now.
  uint8_t ids[96] = {};
  uint32_t got = 0;
  if (!device::InquiryVpd(dev, 0xC3, ids, &got) || got < 12)
    return refuse(OutcomeCode::Failed, Reason(ctx, "could not read the bridge's USB ids; nothing was written"));
  const std::string serial = ReadSerialNumber(dev).value_or("");

  ctx.transport.ClearFailure();
  if (!RunFromRam(ctx, dev)) {
    return refuse(OutcomeCode::Failed,
                  Reason(ctx, "the manufacturing firmware could not be put into the bridge's RAM (" +
                                  ctx.form.StatusEdit.text + "); nothing was written"));
  }
  // From RAM its flash answers: the facts anew, the flash's size from its own identification.
  const DeviceFacts fromRam = InspectDevice(ctx, listed, false);
  ctx.facts = fromRam;
  if (!fromRam.flash || fromRam.flash->vendor == chips::FlashVendor::Unknown || !fromRam.flash->sizeKiB) {
    return refuse(OutcomeCode::Failed,
                  "the bridge's flash did not identify itself from RAM either, so its size is not known; nothing was "
                  "written (the bridge returns to its boot code when it is powered off and on)");
  }
  const uint64_t flashBytes = uint64_t{*fromRam.flash->sizeKiB} * 1024;
  if (read.bytes.size() > flashBytes) {
    return refuse(OutcomeCode::BadInput, image.string() + " holds " + std::to_string(read.bytes.size()) +
                                             " bytes, more than the bridge's " + std::to_string(*fromRam.flash->sizeKiB) +
                                             " KiB flash; nothing was written");
  }
  EngineeringOptions options;
  options.firmwareFile = image.string();
  options.includeNvram = true;
  options.writeAsIs = true;
  options.stateDirectory = ctx.stateDirectory;
  EngineeringOutcome run = RunEngineering(ctx, selected, options);
  if (!run.outcome.Succeeded()) return run;

  s.ExpectedVid = static_cast<uint16_t>(ids[8] << 8 | ids[9]);
  s.ExpectedPid = static_cast<uint16_t>(ids[10] << 8 | ids[11]);
  std::vector<std::string> others;
  for (const auto& d : ctx.scan.devices)
    if (d.index != selected) others.push_back(d.path);
  const std::string programmed = run.outcome.statusText;
  ctx.progress.Plan({{Phase::Restart, 1}, {Phase::Wait, 30}, {Phase::Check, 2}});
  run.outcome = RestartAndCheck(ctx, dev, others, std::nullopt, ReturnExpected{serial, false}, std::nullopt,
                                run.recoveryFile.empty() ? std::string() : "; the flash as it was is kept in " + run.recoveryFile);
  if (run.outcome.Succeeded()) run.outcome.statusText = programmed;
  return run;
}

bool RecoverOffered(const DeviceFacts& facts) {
  return chips::InGroup(facts.device.chip.type, chips::kBufferFamily) && facts.firmware != FirmwareState::Version;
}

Outcome RecoverClick(AppContext& ctx) {
  MainForm& f = ctx.form;
  f.YesBtn.enabled = false;
  f.ExitBtn.enabled = false;
  f.RecoverMenu.enabled = false;
  SetProgress(ctx, f.ProgressBar2, 0);
  SetStatusLine(ctx, "Updating firmware. Please wait...", kBlue);
  ctx.shell.PumpEvents();
  const Outcome outcome = RunRecover(ctx, ctx.SelectedRecord());
  if (outcome.statusText.empty()) {
    // Refused before anything was sent: the device is as it was.
    ctx.shell.MessageBox("Message", outcome.reason, MessageIcon::None);
    TellReadiness(ctx);
  } else {
    ctx.shell.PumpEvents();
    ctx.clock.Sleep(1000);
  }
  f.ExitBtn.enabled = true;
  f.RecoverMenu.enabled = true;
  return outcome;
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
