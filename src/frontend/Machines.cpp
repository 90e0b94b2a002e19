#include "frontend/Machines.h"

#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>

#include "platform/Anonymise.h"
#include "platform/Files.h"
#include "platform/Native.h"
#include "platform/ProcessLock.h"
#include "platform/SessionRecorder.h"
#include "sim/Scenario.h"

namespace qvfw::frontend {
namespace {

class NativeMachine final : public Machine {
 public:
  NativeMachine(platform::Diagnostics& diag, bool monitor) : native_(platform::MakeNativePlatform(diag, monitor)) {
    parts_ = {native_.passThrough.get(), native_.disks.get(), native_.monitor.get(), &clock_};
  }
  std::filesystem::path LockDirectory() const override { return native_.lockDirectory; }
  const char* Kind() const override { return "native"; }

 private:
  platform::SteadyClock clock_;
  platform::NativePlatform native_;
};

class EmulatedMachine final : public Machine {
 public:
  explicit EmulatedMachine(const std::filesystem::path& dir)
      : dir_(dir), lock_(LockFolder(dir, clock_)), machine_(sim::EmulatedMachine::Open(dir, clock_)) {
    sim::Machine& m = machine_->machine();
    parts_ = {&m, &m, &m, &clock_};
  }
  platform::VirtualClock* virtualClock() override { return &clock_; }
  void Save() override { machine_->Save(); }
  std::filesystem::path StateDirectory() const override { return dir_.empty() ? dir_ : dir_ / "state"; }
  std::filesystem::path LockDirectory() const override { return dir_; }
  const char* Kind() const override { return "emulated"; }

 private:
  static std::unique_ptr<platform::ProcessLock> LockFolder(const std::filesystem::path& dir, platform::Clock& clock) {
    if (dir.empty()) return nullptr;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    platform::ProcessLock::Refusal refusal;
    auto lock = platform::ProcessLock::Acquire(dir / "machine.lock", "the machine in " + dir.string(), clock,
                                               platform::kLockWaitMs, &refusal);
    if (!lock) {
      if (refusal.busy) throw MachineBusy(refusal.message);
      throw std::runtime_error(refusal.message);
    }
    platform::RemoveStaleTemporaries(dir, "");
    return lock;
  }

  std::filesystem::path dir_;
  platform::VirtualClock clock_;
  std::unique_ptr<platform::ProcessLock> lock_;
  std::unique_ptr<sim::EmulatedMachine> machine_;
};

// Another machine, with everything said to it and answered by it kept, written to the file when
// the run ends (or, without an exit code, when the machine is dropped before that).
class RecordingMachine final : public Machine {
 public:
  static constexpr uint64_t kMaxInputBytes = uint64_t{64} << 20;

  RecordingMachine(std::unique_ptr<Machine> inner, const MachineChoice& choice)
      : inner_(std::move(inner)),
        choice_(choice),
        lanes_(*inner_->parts().clock),
        recorder_(*inner_->parts().passThrough, inner_->parts().disks, inner_->parts().monitor, lanes_) {
    const app::PlatformParts& p = inner_->parts();
    parts_ = {&recorder_, p.disks ? &recorder_ : nullptr, p.monitor ? &recorder_ : nullptr, &lanes_};
    for (const MachineChoice::Input& input : choice.inputs) {
      platform::FileRead read = platform::ReadRegularFile(input.file, kMaxInputBytes);
      if (read.ok()) inputs_.push_back({input.path, std::move(read.bytes)});
    }
  }
  ~RecordingMachine() override {
    if (finished_) return;
    try {
      Write(std::nullopt);
    } catch (...) {  // a program ending on an exception ends without its recording
    }
  }
  platform::VirtualClock* virtualClock() override { return inner_->virtualClock(); }
  void Save() override { inner_->Save(); }
  std::filesystem::path StateDirectory() const override { return inner_->StateDirectory(); }
  std::filesystem::path LockDirectory() const override { return inner_->LockDirectory(); }
  const char* Kind() const override { return inner_->Kind(); }
  std::optional<std::string> Finish(int exitCode) override {
    finished_ = true;
    return Write(exitCode);
  }

 private:
  std::optional<std::string> Write(std::optional<int> exitCode) {
    platform::SessionRecording rec;
    rec.program = choice_.program;
    rec.frontEnd = choice_.frontEnd;
    rec.args = choice_.args;
    rec.inputs = inputs_;
    rec.machine = inner_->Kind();
    rec.lockedDevices = !inner_->LockDirectory().empty();
    rec.calls = recorder_.Calls();
    rec.exitCode = exitCode;
    if (choice_.recordAnonymous) platform::AnonymiseRecording(rec);
    if (const int error = platform::SaveRecording(choice_.record, rec); error != 0)
      return "the recording could not be written to " + choice_.record.string() + ": " + std::strerror(error);
    return std::nullopt;
  }

  std::unique_ptr<Machine> inner_;
  MachineChoice choice_;
  platform::LaneClock lanes_;
  platform::SessionRecorder recorder_;
  std::vector<platform::RecordedInput> inputs_;
  bool finished_ = false;
};

// A folder of its own for what a replayed run keeps (identities, recovery copies, device locks),
// removed at the end: a replay never touches the user's state.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 16 && path_.empty(); ++attempt) {
      const std::filesystem::path candidate = base / ("qvfw-replay-" + std::to_string(random()));
      std::error_code ec;
      if (std::filesystem::create_directory(candidate, ec) && !ec) path_ = candidate;
    }
    if (path_.empty()) throw std::runtime_error("no folder could be made for the replayed run's state");
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A recording played back: it answers as recorded, on a virtual clock that follows the
// recording's time.
class ReplayMachine final : public Machine {
 public:
  explicit ReplayMachine(const MachineChoice& choice)
      : lanes_(clock_),
        replayer_(platform::LoadRecording(choice.replay), lanes_, platform::ReplayOptions{choice.replayRelaxed}),
        args_(choice.args) {
    parts_ = {&replayer_, &replayer_, &replayer_, &lanes_};
  }
  platform::VirtualClock* virtualClock() override { return &clock_; }
  std::filesystem::path StateDirectory() const override { return state_.path(); }
  // Devices are locked where the recorded run locked them (which asks for their numbers).
  std::filesystem::path LockDirectory() const override {
    return replayer_.recording().lockedDevices ? state_.path() : std::filesystem::path();
  }
  const char* Kind() const override { return "replay"; }
  std::optional<std::string> Difference() const override { return WithCommand(replayer_.Difference()); }
  std::optional<std::string> Finish(int exitCode) override { return WithCommand(replayer_.Finish(exitCode)); }

 private:
  // A replay of another command than the one recorded differs at once; the report says so.
  std::optional<std::string> WithCommand(std::optional<std::string> difference) const {
    const std::vector<std::string>& recorded = replayer_.recording().args;
    if (!difference || recorded == args_) return difference;
    auto words = [](const std::vector<std::string>& args) {
      std::string text;
      for (const std::string& a : args) text += (text.empty() ? "" : " ") + a;
      return text.empty() ? std::string("no command") : "\"" + text + "\"";
    };
    return *difference + "\n  (the recording was made by " + words(recorded) + "; this run is " + words(args_) + ")";
  }

  platform::VirtualClock clock_;
  platform::LaneClock lanes_;
  platform::SessionReplayer replayer_;
  std::vector<std::string> args_;
  ScratchFolder state_;
};

}  // namespace

std::unique_ptr<Machine> Machine::Open(const std::optional<std::filesystem::path>& sim, platform::Diagnostics& diag,
                                       bool nativeMonitor) {
  MachineChoice choice;
  choice.sim = sim;
  choice.nativeMonitor = nativeMonitor;
  return Open(choice, diag);
}

std::unique_ptr<Machine> Machine::Open(const MachineChoice& choice, platform::Diagnostics& diag) {
  std::unique_ptr<Machine> machine;
  if (!choice.replay.empty()) {
    if (choice.sim) throw std::invalid_argument("--replay plays a recording back as the machine; it takes no --sim");
    if (!choice.record.empty()) throw std::invalid_argument("a replay cannot be recorded again (--record with --replay)");
    machine = std::make_unique<ReplayMachine>(choice);
  } else if (choice.sim) {
    machine = std::make_unique<EmulatedMachine>(*choice.sim);
  } else {
    machine = std::make_unique<NativeMachine>(diag, choice.nativeMonitor);
  }
  if (!choice.record.empty()) machine = std::make_unique<RecordingMachine>(std::move(machine), choice);
  return machine;
}

}  // namespace qvfw::frontend
