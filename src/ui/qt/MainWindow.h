#pragma once
// The desktop window: draws the form model onto widgets and routes widget events to the
// handlers. It holds no behaviour of its own.

#include <QWidget>

#include <functional>
#include <map>
#include <memory>

#include "app/AppContext.h"
#include "app/DeviceList.h"
#include "app/Shell.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QSocketNotifier;

namespace qvfw::ui {

class MainWindow;

// Message boxes and the file dialog as modal Qt dialogs; the event pump lets Qt run and
// repaints the window.
class QtShell : public app::Shell {
 public:
  void Attach(MainWindow* window) { window_ = window; }
  void MessageBox(std::string_view caption, std::string_view text, app::MessageIcon icon) override;
  bool Ask(std::string_view caption, std::string_view text, bool safeAnswer) override;
  std::optional<std::string> OpenFileDialog(std::string_view filter, std::string_view defaultExtension,
                                            std::string_view initialDir) override;
  void PumpEvents() override;
  void DiagnosticsLine(std::string_view text) override;
  void TextChanged(const app::TextChange&) override;
  void ProgressChanged(const app::ProgressBar&) override;

 protected:
  MainWindow* window_ = nullptr;
};

class MainWindow final : public QWidget {
 public:
  // `virtualClock`, when given, is moved on with real time while the window idles (the
  // emulated machine's time runs on it).
  MainWindow(app::AppContext& ctx, platform::VirtualClock* virtualClock = nullptr);
  ~MainWindow() override;

  // Draws every control from the form model.
  void Render();
  // The start-up sequence; the first refresh runs here.
  void Start();

  // For tests: the widget of a named control.
  QWidget* Widget(std::string_view name) const;
  app::DeviceChangeTimer& deviceTimer() { return deviceTimer_; }
  // One round of the idle work: device events, the device-change timer.
  void Tick();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  template <typename W>
  W* Make(const app::Control& c);
  void Handle(const std::function<void()>& handler);
  void ApplySize();

  app::AppContext& ctx_;
  platform::VirtualClock* virtualClock_;
  app::DeviceChangeTimer deviceTimer_;
  std::map<std::string_view, QWidget*, std::less<>> widgets_;
  QLabel* devpnl_ = nullptr;
  QPushButton *yes_ = nullptr, *exit_ = nullptr, *load_ = nullptr, *run_ = nullptr, *refresh_ = nullptr,
              *browse_ = nullptr;
  QProgressBar *progress2_ = nullptr, *progress1_ = nullptr;
  QComboBox* deviceList_ = nullptr;
  QLineEdit *fwFile_ = nullptr, *chip_ = nullptr, *version_ = nullptr, *flash_ = nullptr, *status_ = nullptr,
            *letters_ = nullptr, *backupFile_ = nullptr;
  QCheckBox *rd_ = nullptr, *eraseOnly_ = nullptr, *backupOnly_ = nullptr, *nvram_ = nullptr, *rwBuffer_ = nullptr,
            *serial_ = nullptr;
  QLabel *replug_ = nullptr, *disk_ = nullptr;
  QWidget *rdPanel_ = nullptr, *panel1_ = nullptr;
  QTimer* tick_ = nullptr;
  std::unique_ptr<QSocketNotifier> notifier_;
  qint64 lastTickMs_ = 0;
  bool rendering_ = false;
  bool inHandler_ = false;
};

}  // namespace qvfw::ui
