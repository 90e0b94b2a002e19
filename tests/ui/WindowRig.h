#pragma once
// A Qt window over an emulated machine for tests and snapshots: the window's own shell with its
// event pump and modal bookkeeping, except that message boxes and the file dialog are recorded
// and answered from a queue instead of being shown.

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QTemporaryDir>

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/AppContext.h"
#include "app/Wiring.h"
#include "app/FirmwareChoice.h"
#include "app/ImageStore.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "sim/Machine.h"
#include "sim/Scenario.h"
#include "ui/qt/MainWindow.h"

namespace qvfw::ui::testing {

class RecordingQtShell final : public QtShell {
 public:
  struct Message {
    std::string caption, text;
    app::MessageIcon icon;
  };
  // What the window showed when a pump had run.
  struct Frame {
    int progress;
    QString status;
    QString firstListed;
    bool closed;
  };

  void ShowMessage(std::string_view caption, std::string_view text, app::MessageIcon icon) override {
    messages.push_back({std::string(caption), std::string(text), icon});
    if (onDialog) onDialog();
  }
  bool ShowQuestion(std::string_view caption, std::string_view text, bool safeAnswer) override {
    messages.push_back({std::string(caption), std::string(text), app::MessageIcon::None});
    if (onDialog) onDialog();
    return safeAnswer;
  }
  std::optional<std::string> ShowOpenDialog(std::string_view filter, std::string_view defaultExtension,
                                            std::string_view) override {
    dialogs.emplace_back(std::string(filter) + " / " + std::string(defaultExtension));
    if (onDialog) onDialog();
    if (answers.empty()) return std::nullopt;
    std::optional<std::string> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void PumpEvents() override {
    QtShell::PumpEvents();
    if (!window_) return;
    frames.push_back({static_cast<QProgressBar*>(window_->Widget("ProgressBar2"))->value(),
                      static_cast<QLabel*>(window_->Widget("devpnl"))->text(),
                      static_cast<QComboBox*>(window_->Widget("DeviceList"))->itemText(0), !window_->isVisible()});
    if (onPump) onPump();
  }
  void DiagnosticsLine(std::string_view) override {}

  std::vector<Message> messages;
  std::vector<std::string> dialogs;
  std::deque<std::optional<std::string>> answers;
  std::vector<Frame> frames;
  std::function<void()> onPump;
  std::function<void()> onDialog;  // runs while a dialog is "open"
};

// The emulator's disks, counting the enumerations: each refresh of the device list runs one.
class CountingDisks final : public platform::DiskEnumerator {
 public:
  explicit CountingDisks(platform::DiskEnumerator& inner) : inner_(inner) {}
  std::vector<platform::DiskInterface> EnumerateDisks() override {
    ++enumerations;
    return inner_.EnumerateDisks();
  }
  std::vector<platform::Volume> EnumerateVolumes() override { return inner_.EnumerateVolumes(); }
  std::optional<platform::StorageDeviceNumber> GetStorageDeviceNumber(std::string_view path) override {
    return inner_.GetStorageDeviceNumber(path);
  }
  int enumerations = 0;

 private:
  platform::DiskEnumerator& inner_;
};

// One window over the default emulated machine: a QVS812 on USB whose firmware is older than
// the carried image. The working directory is a fresh temporary one.
struct Rig {
  explicit Rig(std::string_view scenario = {})
      : machine(scenario.empty() ? sim::DefaultMachine(clock) : sim::LoadScenario(scenario, clock)),
        disks(*machine),
        application(app::PlatformParts{machine.get(), &disks, machine.get(), &clock}, shell, Wiring()),
        ctx(application.ctx()) {
    ctx.programVersion = std::array<uint16_t, 4>{1, 0, 0, 5};
    ctx.stateDirectory = std::filesystem::path(dir.path().toStdString()) / "state";
    window = std::make_unique<MainWindow>(ctx);
    shell.Attach(window.get());
  }
  ~Rig() { shell.Attach(nullptr); }

  void Start() {
    window->Start();
    window->show();
  }
  // Moves emulated time on and lets the window do its idle work.
  void Idle(uint64_t ms) {
    clock.Advance(ms);
    window->Tick();
  }
  template <typename W = QWidget>
  W* Get(std::string_view name) const {
    W* w = qobject_cast<W*>(window->Widget(name));
    if (!w) qFatal("no control %.*s", static_cast<int>(name.size()), name.data());
    return w;
  }
  std::filesystem::path ExchangeFile() const { return std::filesystem::path(dir.path().toStdString()) / "ExChangeData.tmp"; }

  QTemporaryDir dir;
  platform::VirtualClock clock;
  platform::NullDiagnostics diag;
  std::unique_ptr<sim::Machine> machine;
  CountingDisks disks;
  RecordingQtShell shell;
  app::Application application;
  app::AppContext& ctx;
  std::unique_ptr<MainWindow> window;

 private:
  app::WiringOptions Wiring() {
    app::WiringOptions w;
    w.diagnostics = &diag;
    w.workingDirectory = dir.path().toStdString();
    return w;
  }
};

}  // namespace qvfw::ui::testing
