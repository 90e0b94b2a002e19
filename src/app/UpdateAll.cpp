#include "app/UpdateAll.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>

#include "app/DeviceFacts.h"
#include "app/MainPresenter.h"
#include "app/OneClick.h"
#include "app/UpdateImage.h"

namespace qvfw::app {
namespace {

// What the workers share: the machine's disks and device events, the bridges in a worker's hands,
// and the program's front end. One mutex guards it all; nothing under it waits on the clock.
class Fleet {
 public:
  Fleet(AppContext& ctx, size_t workers) : ctx_(ctx), queues_(workers), held_(workers) {}

  // The machine's disks, less the bridges other workers are programming: a worker waiting for its
  // own bridge never sends a command into another's update.
  std::vector<platform::DiskInterface> Disks(size_t me) {
    std::lock_guard guard(mutex_);
    std::vector<platform::DiskInterface> disks = ctx_.disks->EnumerateDisks();
    std::erase_if(disks, [&](const platform::DiskInterface& d) {
      for (size_t k = 0; k < held_.size(); ++k)
        if (k != me && !held_[k].empty() && held_[k] == d.path) return true;
      return false;
    });
    return disks;
  }
  std::vector<platform::Volume> Volumes() {
    std::lock_guard guard(mutex_);
    return ctx_.disks->EnumerateVolumes();
  }
  std::optional<platform::StorageDeviceNumber> Number(std::string_view path) {
    std::lock_guard guard(mutex_);
    return ctx_.disks->GetStorageDeviceNumber(path);
  }
  size_t WithoutPassThrough() {
    std::lock_guard guard(mutex_);
    return ctx_.disks->DisksWithoutPassThrough();
  }
  // Every worker hears of every arrival and removal: several bridges restart at once, and each
  // worker looks for its own among them.
  std::vector<platform::DeviceEvent> Events(size_t me) {
    std::lock_guard guard(mutex_);
    for (platform::DeviceEvent e : ctx_.monitor->Drain())
      for (auto& q : queues_) q.push_back(e);
    std::vector<platform::DeviceEvent> mine(queues_[me].begin(), queues_[me].end());
    queues_[me].clear();
    return mine;
  }
  void Hold(size_t me, std::string path) {
    std::lock_guard guard(mutex_);
    held_[me] = std::move(path);
  }
  template <class F>
  void Serialized(F&& f) {
    std::lock_guard guard(mutex_);
    f();
  }
  AppContext& main() { return ctx_; }

 private:
  AppContext& ctx_;
  std::mutex mutex_;
  std::vector<std::deque<platform::DeviceEvent>> queues_;
  std::vector<std::string> held_;
};

class WorkerDisks final : public platform::DiskEnumerator {
 public:
  WorkerDisks(Fleet& fleet, size_t me) : fleet_(fleet), me_(me) {}
  std::vector<platform::DiskInterface> EnumerateDisks() override { return fleet_.Disks(me_); }
  std::vector<platform::Volume> EnumerateVolumes() override { return fleet_.Volumes(); }
  std::optional<platform::StorageDeviceNumber> GetStorageDeviceNumber(std::string_view path) override {
    return fleet_.Number(path);
  }
  size_t DisksWithoutPassThrough() const override { return fleet_.WithoutPassThrough(); }

 private:
  Fleet& fleet_;
  size_t me_;
};

class WorkerMonitor final : public platform::DeviceMonitor {
 public:
  WorkerMonitor(Fleet& fleet, size_t me) : fleet_(fleet), me_(me) {}
  std::vector<platform::DeviceEvent> Drain() override { return fleet_.Events(me_); }

 private:
  Fleet& fleet_;
  size_t me_;
};

// A worker's diagnostics reach the program's, each line marked with the bridge's list number.
class WorkerDiagnostics final : public platform::Diagnostics {
 public:
  WorkerDiagnostics(Fleet& fleet, size_t index) : fleet_(fleet), mark_("[" + std::to_string(index) + "] ") {}
  void Line(std::string_view text) override {
    fleet_.Serialized([&] { fleet_.main().diagnostics.Line(mark_ + std::string(text)); });
  }

 private:
  Fleet& fleet_;
  std::string mark_;
};

// A worker has no window: what would be a box is a diagnostics line, a question gets its safe
// answer, and the front end's events are let run between commands as for a single update.
class WorkerShell final : public Shell {
 public:
  WorkerShell(Fleet& fleet, WorkerDiagnostics& diagnostics) : fleet_(fleet), diagnostics_(diagnostics) {}
  void MessageBox(std::string_view caption, std::string_view text, MessageIcon) override {
    diagnostics_.Line(std::string(caption) + ": " + std::string(text));
  }
  bool Ask(std::string_view caption, std::string_view text, bool safeAnswer) override {
    diagnostics_.Line(std::string(caption) + ": " + std::string(text));
    return safeAnswer;
  }
  std::optional<std::string> OpenFileDialog(std::string_view, std::string_view, std::string_view) override {
    return std::nullopt;
  }
  void PumpEvents() override {
    fleet_.Serialized([&] { fleet_.main().shell.PumpEvents(); });
  }
  void DiagnosticsLine(std::string_view text) override { diagnostics_.Line(text); }

 private:
  Fleet& fleet_;
  WorkerDiagnostics& diagnostics_;
};

// One bridge's worker: a context of its own over the shared machine.
struct Worker {
  Worker(AppContext& main, Fleet& fleet, size_t slot, const ListedDevice& listed)
      : diagnostics(fleet, listed.index),
        shell(fleet, diagnostics),
        disks(fleet, slot),
        monitor(fleet, slot),
        ctx(PlatformServices{main.passThrough, main.clock, diagnostics, main.disks ? &disks : nullptr,
                             main.monitor ? &monitor : nullptr},
            shell, main.images),
        listed(listed) {
    ctx.transport.SetClock(main.clock);
    ctx.state = main.state;
    ctx.form = main.form;
    ctx.flash = main.flash;
    ctx.scan = main.scan;
    ctx.workingDirectory = main.workingDirectory;
    ctx.stateDirectory = main.stateDirectory;
    ctx.lockDirectory = main.lockDirectory;
    ctx.programVersion = main.programVersion;
    ctx.exchangeFileName = "ExChangeData." + std::to_string(listed.index) + ".tmp";
    // The list as the scan found it: the other listed bridges are not this worker's.
    ctx.form.DeviceList.Clear();
    for (const auto& d : main.scan.devices) ctx.form.DeviceList.Add(d.name);
    ctx.form.DeviceList.Select(static_cast<int>(listed.index));
  }

  WorkerDiagnostics diagnostics;
  WorkerShell shell;
  WorkerDisks disks;
  WorkerMonitor monitor;
  AppContext ctx;
  ListedDevice listed;
  DeviceFacts facts;
  OneClickVerdict verdict;
  bool run = false;
  std::string error;  // what stopped the worker's inspection, when something did
};

Outcome Skipped(const Worker& w, const std::string& carried) {
  if (w.verdict.readiness == Readiness::AlreadyCurrent)
    return Outcome{OutcomeCode::AlreadyCurrent, Phase::Identity, w.verdict.statusText, kGreen, {}};
  return Outcome{OutcomeCode::NotOffered, Phase::Identity, w.verdict.statusText, kRed,
                 NotOfferedReason(w.verdict, carried)};
}

// Why the bridges to update cannot be told apart after their restart ("" when they can).
std::string Indistinct(const std::vector<Worker*>& running) {
  if (running.size() < 2) return {};
  std::map<std::string, const Worker*> seen;
  for (const Worker* w : running) {
    // As the bridge reports it once the identity record has carried it: two bridges that differ
    // only beyond that come back alike.
    const std::string serial = SerialAsWritten(w->facts.serial.value_or(""));
    if (serial.empty()) {
      return w->listed.path + " reports no serial number: after its restart it could not be told from the other "
                              "bridges; update it on its own";
    }
    const auto [at, fresh] = seen.emplace(serial, w);
    if (!fresh) {
      return at->second->listed.path + " and " + w->listed.path + " report the same serial number \"" + serial +
             "\": after their restart they could not be told apart; update them one at a time";
    }
  }
  return {};
}

}  // namespace

UpdateAllResult UpdateBridges(AppContext& ctx, std::span<const size_t> indices, const UpdateAllOptions& options) {
  UpdateAllResult result;
  const std::string carried = CarriedVersionText(ctx);
  Fleet fleet(ctx, indices.size());
  std::vector<std::unique_ptr<Worker>> workers;
  for (size_t slot = 0; slot < indices.size(); ++slot) {
    const ListedDevice& listed = ctx.scan.devices.at(indices[slot]);
    workers.push_back(std::make_unique<Worker>(ctx, fleet, slot, listed));
    fleet.Hold(slot, listed.path);
    BridgeUpdate b;
    b.index = listed.index;
    b.path = listed.path;
    b.to = carried;
    result.bridges.push_back(std::move(b));
  }

  // First every bridge is looked at: what it runs, whether it is offered the update, its serial
  // number. Bridges of other families are not the update's and are left alone.
  std::vector<std::function<void()>> jobs;
  for (auto& w : workers) {
    if (!OneClickFamily(w->listed.chip.type)) {
      w->verdict.readiness = Readiness::ChipNotSupported;
      w->verdict.statusText = "Chip not support!!";
      w->facts.device = w->listed;
      continue;
    }
    jobs.push_back([&w = *w] {
      try {
        w.facts = InspectDevice(w.ctx, w.listed, true);
        ReadIdentityFacts(w.ctx, w.facts);
        w.verdict = AssessOneClick(w.ctx, w.facts);
      } catch (const std::exception& e) {
        w.error = std::string("the bridge could not be inspected: ") + e.what() + "; nothing was written";
      }
    });
  }
  ctx.clock.RunParallel(jobs);

  std::vector<Worker*> running;
  for (size_t slot = 0; slot < workers.size(); ++slot) {
    Worker& w = *workers[slot];
    BridgeUpdate& b = result.bridges[slot];
    b.serial = w.facts.serial;
    b.from = w.facts.FirmwareText();
    b.readiness = w.verdict.readiness;
    w.run = w.verdict.readiness == Readiness::Offered && (!w.verdict.deviceNewer || options.allowDowngrade);
    if (w.run) running.push_back(&w);
  }
  result.refusal = Indistinct(running);
  for (size_t slot = 0; slot < workers.size(); ++slot) {
    Worker& w = *workers[slot];
    BridgeUpdate& b = result.bridges[slot];
    if (w.run && result.refusal.empty()) continue;
    b.outcome = w.run            ? Outcome{OutcomeCode::BadInput, Phase::Identity, {}, kRed, result.refusal}
                : w.error.empty() ? Skipped(w, carried)
                                  : Outcome{OutcomeCode::Failed, Phase::Identity, "Update    Fail!!", kRed, w.error};
    w.run = false;
    if (options.finished) options.finished(slot, b);
  }
  if (!result.refusal.empty()) return result;
  // The bridges that restart together may come back under each other's former paths: each worker
  // tells its own from theirs by serial number, not by path.
  for (Worker* w : running)
    for (const Worker* other : running)
      if (other != w) w->ctx.restartingTogether.push_back(other->listed.path);

  // Then every bridge offered the update is updated, all at once.
  jobs.clear();
  for (size_t slot = 0; slot < workers.size(); ++slot) {
    Worker& w = *workers[slot];
    if (!w.run) continue;
    jobs.push_back([&w, &b = result.bridges[slot], &fleet, &options, slot] {
      Phase shown = Phase::Identity;
      w.ctx.progress.SetListener([&](const ProgressView& v) {
        if (v.phase != shown) {
          // A bridge sent its restart is no longer in this worker's hands; once back it is again.
          if (v.phase == Phase::Restart) fleet.Hold(slot, {});
          if (v.phase == Phase::Check)
            fleet.Hold(slot, std::string(w.ctx.state.DeviceTable.at(w.listed.index).Path.View()));
          shown = v.phase;
        }
        if (options.progress) fleet.Serialized([&] { options.progress(slot, v); });
      });
      w.ctx.state.UpdateBusy = 1;
      SetStatusLine(w.ctx, "Updating firmware. Please wait...", kBlue);
      // Whatever stops this worker stops it alone: the others go on, and its bridge's identity was
      // kept before the first write.
      try {
        b.outcome = RunOneClick(w.ctx, w.listed.index, OneClickOptions{options.force});
      } catch (const std::exception& e) {
        b.outcome = Outcome{OutcomeCode::Failed, w.ctx.progress.View().phase, "Update    Fail!!", kRed,
                            std::string("the update stopped: ") + e.what()};
      }
      w.ctx.progress.SetListener({});
      w.ctx.state.UpdateBusy = 0;
      b.updated = true;
      const std::string now(w.ctx.state.DeviceTable.at(w.listed.index).Path.View());
      if (now != w.listed.path) b.backPath = now;
      FormClose(w.ctx);  // the worker's exchange file goes; a failed update's identity stays kept
      fleet.Hold(slot, {});
      if (options.finished) fleet.Serialized([&] { options.finished(slot, b); });
    });
  }
  ctx.clock.RunParallel(jobs);
  return result;
}

}  // namespace qvfw::app
