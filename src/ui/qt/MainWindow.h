#pragma once
// The desktop window: draws the form model onto widgets and routes widget events to the
// handlers. It holds no behaviour of its own.

#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <string_view>

#include "app/AppContext.h"
#include "app/DeviceList.h"
#include "app/Shell.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QTimer;
class QSocketNotifier;

namespace qvfw::ui {

class MainWindow;

// "BinaryFile|*.bin|All Files|*.*" in the form a Qt file dialog takes:
// "BinaryFile (*.bin);;All Files (*.*)". A trailing name without a pattern is dropped.
QString QtFileFilter(std::string_view filter);

// Message boxes and the file dialog as modal Qt dialogs; the event pump draws the model, lets Qt
// run and serves device events and the device-change timer, so a long operation keeps the
// window alive and its progress on the screen.
class QtShell : public app::Shell {
 public:
  // Diagnostic lines go to `diagnostics` when given, and nowhere otherwise.
  explicit QtShell(platform::Diagnostics* diagnostics = nullptr) : diagnostics_(diagnostics) {}
  void Attach(MainWindow* window) { window_ = window; }
  // While a dialog is open the window is modal: device events are taken in, but the refresh
  // they lead to waits until the dialog has closed and the handler that opened it goes on.
  void MessageBox(std::string_view caption, std::string_view text, app::MessageIcon icon) final;
  bool Ask(std::string_view caption, std::string_view text, bool safeAnswer) final;
  std::optional<std::string> OpenFileDialog(std::string_view filter, std::string_view defaultExtension,
                                            std::string_view initialDir) final;
  void PumpEvents() override;
  void DiagnosticsLine(std::string_view text) override;
  void TextChanged(const app::TextChange&) override;
  void ProgressChanged(const app::ProgressBar&) override;

 protected:
  // The dialogs themselves.
  virtual void ShowMessage(std::string_view caption, std::string_view text, app::MessageIcon icon);
  virtual bool ShowQuestion(std::string_view caption, std::string_view text, bool safeAnswer);
  virtual std::optional<std::string> ShowOpenDialog(std::string_view filter, std::string_view defaultExtension,
                                                    std::string_view initialDir);

  MainWindow* window_ = nullptr;

 private:
  platform::Diagnostics* diagnostics_;
};

class MainWindow final : public QWidget {
 public:
  // `virtualClock`, when given, is moved on with real time while the window idles (the
  // emulated machine's time runs on it).
  explicit MainWindow(app::AppContext& ctx, platform::VirtualClock* virtualClock = nullptr);
  ~MainWindow() override;

  // Draws every control from the form model.
  void Render();
  // The start-up sequence (the first refresh runs here), then the window is drawn, centred on
  // its screen, and the idle tick starts.
  void Start();

  // For tests: the widget of a named control.
  QWidget* Widget(std::string_view name) const;
  app::DeviceChangeTimer& deviceTimer() { return deviceTimer_; }
  // One round of the idle work: device events, the device-change timer. A round asked for while
  // one runs (the refresh pumps events) does nothing.
  void Tick();
  // True while a handler runs; user events that arrive meanwhile are dropped.
  bool Busy() const { return inHandler_; }
  // Counts the dialogs open on the window (QtShell keeps it).
  int modalDepth = 0;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  template <typename W>
  W* Make(const app::Control& c);
  // Runs a handler for a user event, then draws the result. Events that come in through the
  // handler's own event pumps find it busy and are dropped, so no second operation starts in
  // the middle of one; a close asked for meanwhile is carried out when the handler has ended.
  void Handle(const std::function<void()>& handler);
  void DrainDeviceEvents();
  // The window takes the form's client size where its screen has room for it; on a screen
  // too short (or too narrow) for it, the window stops at the screen's edge and its content
  // scrolls inside.
  void ApplySize();
  // Only controls that lie within the form's client area take focus: the engineering controls
  // below the window's edge are left out of the Tab order until the window grows over them.
  void ApplyFocus();

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
  QLabel *replug_ = nullptr, *disk_ = nullptr, *fwCaption_ = nullptr, *backupCaption_ = nullptr;
  QAction* recover_ = nullptr;  // the context menu's "Recover firmware..."
  QWidget *rdPanel_ = nullptr, *panel1_ = nullptr;
  // Every control lies on the canvas, which has the form's client size, inside a frameless
  // scroll area that fills the window.
  QScrollArea* scroll_ = nullptr;
  QWidget* canvas_ = nullptr;
  std::map<QWidget*, Qt::FocusPolicy> focusPolicy_;
  QTimer* tick_ = nullptr;
  std::unique_ptr<QSocketNotifier> notifier_;
  qint64 lastTickMs_ = 0;
  app::Rgb shownColour_{1, 2, 3};
  bool rendering_ = false;
  bool inHandler_ = false;
  bool ticking_ = false;
  bool closeRequested_ = false;
  bool started_ = false;
};

}  // namespace qvfw::ui
