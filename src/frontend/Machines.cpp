#include "frontend/Machines.h"

#include "platform/linux/SgPassThrough.h"
#include "platform/linux/UdevDisks.h"
#include "sim/Scenario.h"

namespace qvfw::frontend {
namespace {

class NativeMachine final : public Machine {
 public:
  explicit NativeMachine(platform::Diagnostics& diag)
      : passThrough_(diag), disks_(diag), monitor_(diag) {
    parts_ = {&passThrough_, &disks_, &monitor_, &clock_};
  }

 private:
  platform::SteadyClock clock_;
  platform::linux_os::SgPassThrough passThrough_;
  platform::linux_os::UdevDiskEnumerator disks_;
  platform::linux_os::UdevDeviceMonitor monitor_;
};

class EmulatedMachine final : public Machine {
 public:
  explicit EmulatedMachine(const std::filesystem::path& dir)
      : dir_(dir), machine_(sim::EmulatedMachine::Open(dir, clock_)) {
    sim::Machine& m = machine_->machine();
    parts_ = {&m, &m, &m, &clock_};
  }
  platform::VirtualClock* virtualClock() override { return &clock_; }
  void Save() override { machine_->Save(); }
  std::filesystem::path StateDirectory() const override { return dir_.empty() ? dir_ : dir_ / "state"; }

 private:
  std::filesystem::path dir_;
  platform::VirtualClock clock_;
  std::unique_ptr<sim::EmulatedMachine> machine_;
};

}  // namespace

std::unique_ptr<Machine> Machine::Open(const std::optional<std::filesystem::path>& sim, platform::Diagnostics& diag) {
  if (sim) return std::make_unique<EmulatedMachine>(*sim);
  return std::make_unique<NativeMachine>(diag);
}

}  // namespace qvfw::frontend
