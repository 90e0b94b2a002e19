#include "frontend/Machines.h"

#include "platform/Files.h"
#include "platform/Native.h"
#include "platform/ProcessLock.h"
#include "sim/Scenario.h"

namespace qvfw::frontend {
namespace {

class NativeMachine final : public Machine {
 public:
  NativeMachine(platform::Diagnostics& diag, bool monitor) : native_(platform::MakeNativePlatform(diag, monitor)) {
    parts_ = {native_.passThrough.get(), native_.disks.get(), native_.monitor.get(), &clock_};
  }
  std::filesystem::path LockDirectory() const override { return "/run/lock"; }

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

}  // namespace

std::unique_ptr<Machine> Machine::Open(const std::optional<std::filesystem::path>& sim, platform::Diagnostics& diag,
                                       bool nativeMonitor) {
  if (sim) return std::make_unique<EmulatedMachine>(*sim);
  return std::make_unique<NativeMachine>(diag, nativeMonitor);
}

}  // namespace qvfw::frontend
