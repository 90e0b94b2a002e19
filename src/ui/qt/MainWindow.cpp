#include "ui/qt/MainWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <cstdio>

#include "app/FirmwareChoice.h"
#include "app/MainPresenter.h"
#include "app/OneClick.h"

namespace qvfw::ui {
namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
std::string S(const QString& s) { return s.toStdString(); }

// "BinaryFile|*.bin|All Files|*.*" as Qt writes filters: "BinaryFile (*.bin);;All Files (*.*)".
QString QtFilter(std::string_view filter) {
  const QStringList parts = Q(filter).split('|');
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) out << parts[i] + " (" + parts[i + 1] + ")";
  return out.join(";;");
}

QFont FontOf(const app::Font& f) {
  QFont font(Q(f.name));
  font.setPixelSize(f.height < 0 ? -f.height : f.height);
  return font;
}

// Where the engineering controls sit: below the one-click face, inside the strip the "RD
// Version" box reveals when it grows the window.
struct Layout {
  std::string_view name;
  app::Place place;
};
constexpr Layout kPanelLayout[] = {
    {"DeviceList", {16, 150, 361, 22}},     {"FwFilenameEdit", {96, 178, 200, 22}},
    {"LoadBtn", {304, 176, 73, 25}},        {"ChipLabelEdit", {16, 206, 170, 22}},
    {"SFlashTypeLable", {192, 206, 90, 22}}, {"FwVerLableEdit", {288, 206, 89, 22}},
    {"StatusEdit", {16, 234, 361, 22}},     {"DiskLetterLable", {16, 262, 180, 22}},
    {"UpdateBtn", {208, 260, 80, 25}},      {"RefreshBtn", {296, 260, 81, 25}},
    {"ProgressBar1", {16, 292, 361, 17}},   {"RdPanel", {8, 316, 382, 124}},
    {"RdCheckBox", {296, 120, 90, 20}},
    // inside RdPanel
    {"EraseOnlyCheck", {8, 8, 180, 20}},    {"BackupFWCheckBox", {8, 30, 180, 20}},
    {"NVRAMCheck", {200, 30, 170, 20}},     {"ReadWriteBufferChk", {200, 52, 170, 20}},
    {"SetPrdSNchk", {200, 74, 170, 20}},    {"BackupFileEdit", {100, 96, 190, 22}},
    {"BackupBtn", {298, 94, 73, 25}},
};

std::optional<app::Place> PanelPlace(std::string_view name) {
  for (const Layout& l : kPanelLayout)
    if (l.name == name) return l.place;
  return std::nullopt;
}

}  // namespace

void QtShell::MessageBox(std::string_view caption, std::string_view text, app::MessageIcon icon) {
  QMessageBox::Icon qicon = QMessageBox::NoIcon;
  switch (icon) {
    case app::MessageIcon::Information: qicon = QMessageBox::Information; break;
    case app::MessageIcon::Warning: qicon = QMessageBox::Warning; break;
    case app::MessageIcon::Error: qicon = QMessageBox::Critical; break;
    case app::MessageIcon::None: break;
  }
  QMessageBox box(qicon, Q(caption), Q(text), QMessageBox::Ok, window_);
  box.exec();
}

bool QtShell::Ask(std::string_view caption, std::string_view text, bool safeAnswer) {
  QMessageBox box(QMessageBox::Question, Q(caption), Q(text), QMessageBox::Yes | QMessageBox::No, window_);
  box.setDefaultButton(safeAnswer ? QMessageBox::Yes : QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> QtShell::OpenFileDialog(std::string_view filter, std::string_view defaultExtension,
                                                   std::string_view initialDir) {
  QFileDialog dialog(window_, "Open", Q(initialDir), QtFilter(filter));
  dialog.setDefaultSuffix(Q(defaultExtension));
  dialog.setFileMode(QFileDialog::ExistingFile);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return S(dialog.selectedFiles().front());
}

void QtShell::PumpEvents() {
  QCoreApplication::processEvents();
  if (window_) window_->Render();
}

void QtShell::DiagnosticsLine(std::string_view text) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}

void QtShell::TextChanged(const app::TextChange&) {
  if (window_) window_->Render();
}

void QtShell::ProgressChanged(const app::ProgressBar&) {
  if (window_) window_->Render();
}

template <typename W>
W* MainWindow::Make(const app::Control& c) {
  QWidget* parent = this;
  if (c.name == "EraseOnlyCheck" || c.name == "BackupFWCheckBox" || c.name == "NVRAMCheck" ||
      c.name == "ReadWriteBufferChk" || c.name == "SetPrdSNchk" || c.name == "BackupFileEdit" ||
      c.name == "BackupBtn")
    parent = rdPanel_;
  W* w = new W(parent);
  w->setObjectName(Q(c.name));
  widgets_[c.name] = w;
  return w;
}

MainWindow::MainWindow(app::AppContext& ctx, platform::VirtualClock* virtualClock)
    : ctx_(ctx), virtualClock_(virtualClock), deviceTimer_(ctx) {
  app::MainForm& f = ctx_.form;
  setFont(FontOf(f.window.font));
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

  rdPanel_ = new QWidget(this);
  rdPanel_->setObjectName("RdPanel");
  widgets_["RdPanel"] = rdPanel_;

  devpnl_ = Make<QLabel>(f.devpnl);
  devpnl_->setAlignment(Qt::AlignCenter);
  yes_ = Make<QPushButton>(f.YesBtn);
  exit_ = Make<QPushButton>(f.ExitBtn);
  progress2_ = Make<QProgressBar>(f.ProgressBar2);
  progress2_->setTextVisible(false);
  replug_ = Make<QLabel>(f.replugLable);
  disk_ = Make<QLabel>(f.diskLabel);
  rd_ = Make<QCheckBox>(f.RdCheckBox);
  deviceList_ = Make<QComboBox>(f.DeviceList);
  fwFile_ = Make<QLineEdit>(f.FwFilenameEdit);
  load_ = Make<QPushButton>(f.LoadBtn);
  run_ = Make<QPushButton>(f.UpdateBtn);
  chip_ = Make<QLineEdit>(f.ChipLabelEdit);
  version_ = Make<QLineEdit>(f.FwVerLableEdit);
  flash_ = Make<QLineEdit>(f.SFlashTypeLable);
  status_ = Make<QLineEdit>(f.StatusEdit);
  letters_ = Make<QLineEdit>(f.DiskLetterLable);
  refresh_ = Make<QPushButton>(f.RefreshBtn);
  progress1_ = Make<QProgressBar>(f.ProgressBar1);
  progress1_->setTextVisible(false);
  eraseOnly_ = Make<QCheckBox>(f.EraseOnlyCheck);
  backupOnly_ = Make<QCheckBox>(f.BackupFWCheckBox);
  nvram_ = Make<QCheckBox>(f.NVRAMCheck);
  rwBuffer_ = Make<QCheckBox>(f.ReadWriteBufferChk);
  serial_ = Make<QCheckBox>(f.SetPrdSNchk);
  backupFile_ = Make<QLineEdit>(f.BackupFileEdit);
  browse_ = Make<QPushButton>(f.BackupBtn);
  for (QLineEdit* e : {chip_, version_, flash_, status_, letters_}) e->setReadOnly(true);
  auto* fwCaption = new QLabel(Q(f.FwFilenameEdit.caption), this);
  fwCaption->setGeometry(16, 180, 80, 18);
  auto* backupCaption = new QLabel(Q(f.BackupFileEdit.caption), rdPanel_);
  backupCaption->setGeometry(8, 98, 90, 18);

  connect(yes_, &QPushButton::clicked, this, [this] { Handle([this] { app::YesBtnClick(ctx_); }); });
  connect(exit_, &QPushButton::clicked, this, [this] { close(); });
  connect(load_, &QPushButton::clicked, this, [this] { Handle([this] { app::LoadBtnClick(ctx_); }); });
  connect(run_, &QPushButton::clicked, this, [this] { Handle([this] { app::UpdateBtnClick(ctx_); }); });
  connect(refresh_, &QPushButton::clicked, this, [this] { Handle([this] { app::RefreshBtnClick(ctx_); }); });
  connect(browse_, &QPushButton::clicked, this, [this] { Handle([this] { app::BackupBtnClick(ctx_); }); });
  connect(deviceList_, &QComboBox::activated, this, [this](int index) {
    Handle([this, index] {
      ctx_.form.DeviceList.Select(index);
      app::UpdateBtnCheck(ctx_);
    });
  });
  connect(fwFile_, &QLineEdit::textEdited, this, [this](const QString& text) {
    Handle([this, text] {
      ctx_.form.FwFilenameEdit.text = S(text);
      app::UpdateBtnCheck(ctx_);
    });
  });
  connect(rd_, &QCheckBox::clicked, this, [this](bool checked) {
    Handle([this, checked] {
      ctx_.form.RdCheckBox.checked = checked;
      app::RdCheckBoxClick(ctx_);
    });
  });
  for (auto [box, tag] : {std::pair{eraseOnly_, 0}, {backupOnly_, 1}}) {
    connect(box, &QCheckBox::clicked, this, [this, tag](bool checked) {
      Handle([this, tag, checked] {
        (tag == 0 ? ctx_.form.EraseOnlyCheck : ctx_.form.BackupFWCheckBox).checked = checked;
        app::EraseOnlyCheckClick(ctx_, tag);
      });
    });
  }
  connect(nvram_, &QCheckBox::clicked, this, [this](bool checked) {
    Handle([this, checked] {
      ctx_.form.NVRAMCheck.checked = checked;
      app::NVRAMCheckClick(ctx_);
    });
  });
  // Engineers reveal the hidden "RD Version" box and the panel behind it.
  auto* reveal = new QShortcut(QKeySequence("Ctrl+Shift+R"), this);
  connect(reveal, &QShortcut::activated, this, [this] {
    Handle([this] {
      ctx_.form.RdCheckBox.visible = true;
      ctx_.form.RdCheckBox.checked = !ctx_.form.RdCheckBox.checked;
      app::RdCheckBoxClick(ctx_);
    });
  });

  tick_ = new QTimer(this);
  tick_->setInterval(20);
  connect(tick_, &QTimer::timeout, this, [this] { Tick(); });
  if (ctx_.monitor && ctx_.monitor->PollFd() >= 0) {
    notifier_ = std::make_unique<QSocketNotifier>(ctx_.monitor->PollFd(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
      for (platform::DeviceEvent e : ctx_.monitor->Drain()) deviceTimer_.OnDeviceChange(e);
      Render();
    });
  }
}

MainWindow::~MainWindow() { app::DestroyMainWindow(ctx_); }

void MainWindow::Start() {
  app::ConstructMainWindow(ctx_);
  lastTickMs_ = QDateTime::currentMSecsSinceEpoch();
  tick_->start();
  Render();
}

void MainWindow::Tick() {
  const qint64 now = QDateTime::currentMSecsSinceEpoch();
  if (virtualClock_ && now > lastTickMs_) virtualClock_->Advance(static_cast<uint64_t>(now - lastTickMs_));
  lastTickMs_ = now;
  if (ctx_.monitor && !notifier_)
    for (platform::DeviceEvent e : ctx_.monitor->Drain()) deviceTimer_.OnDeviceChange(e);
  if (deviceTimer_.Poll()) Render();
}

void MainWindow::Handle(const std::function<void()>& handler) {
  handler();
  if (ctx_.form.window.closed) close();
  Render();
}

void MainWindow::ApplySize() { setFixedSize(ctx_.form.window.clientWidth, ctx_.form.window.clientHeight); }

QWidget* MainWindow::Widget(std::string_view name) const {
  const auto it = widgets_.find(name);
  return it == widgets_.end() ? nullptr : it->second;
}

void MainWindow::Render() {
  if (rendering_) return;
  rendering_ = true;
  const app::MainForm& f = ctx_.form;
  setWindowTitle(Q(f.window.caption));
  QApplication::setApplicationDisplayName(Q(f.applicationTitle));
  setAcceptDrops(f.window.acceptsDroppedFiles);
  ApplySize();

  auto common = [&](QWidget* w, const app::Control& c) {
    const auto place = c.place ? c.place : PanelPlace(c.name);
    if (place) {
      const int width = place->width ? place->width : w->sizeHint().width();
      const int height = place->height ? place->height : w->sizeHint().height();
      w->setGeometry(place->left, place->top, width, height);
    }
    if (c.font) w->setFont(FontOf(*c.font));
    w->setEnabled(c.enabled);
    w->setVisible(c.visible);
  };
  auto text = [&](auto* w, const app::Control& c) {
    if (w->text() != Q(c.text)) w->setText(Q(c.text));
    common(w, c);
  };
  auto check = [&](QCheckBox* w, const app::CheckBox& c) {
    text(w, c);
    w->setChecked(c.checked);
  };
  auto bar = [&](QProgressBar* w, const app::ProgressBar& c) {
    w->setRange(c.min, c.max);
    w->setValue(c.position);
    common(w, c);
  };

  text(devpnl_, f.devpnl);
  devpnl_->setStyleSheet(QString("color: rgb(%1,%2,%3);").arg(f.devpnl.colour.r).arg(f.devpnl.colour.g).arg(f.devpnl.colour.b));
  text(yes_, f.YesBtn);
  text(exit_, f.ExitBtn);
  bar(progress2_, f.ProgressBar2);
  text(replug_, f.replugLable);
  text(disk_, f.diskLabel);
  check(rd_, f.RdCheckBox);
  common(rdPanel_, f.RdPanel);

  QSignalBlocker block(deviceList_);
  QStringList items;
  for (const std::string& item : f.DeviceList.items) items << Q(item);
  QStringList current;
  for (int i = 0; i < deviceList_->count(); ++i) current << deviceList_->itemText(i);
  if (items != current) {
    deviceList_->clear();
    deviceList_->addItems(items);
  }
  deviceList_->setCurrentIndex(f.DeviceList.itemIndex);
  common(deviceList_, f.DeviceList);

  if (!fwFile_->hasFocus()) text(fwFile_, f.FwFilenameEdit);
  else common(fwFile_, f.FwFilenameEdit);
  text(load_, f.LoadBtn);
  text(run_, f.UpdateBtn);
  text(chip_, f.ChipLabelEdit);
  text(version_, f.FwVerLableEdit);
  text(flash_, f.SFlashTypeLable);
  text(status_, f.StatusEdit);
  text(letters_, f.DiskLetterLable);
  text(refresh_, f.RefreshBtn);
  bar(progress1_, f.ProgressBar1);
  check(eraseOnly_, f.EraseOnlyCheck);
  check(backupOnly_, f.BackupFWCheckBox);
  check(nvram_, f.NVRAMCheck);
  check(rwBuffer_, f.ReadWriteBufferChk);
  check(serial_, f.SetPrdSNchk);
  text(backupFile_, f.BackupFileEdit);
  text(browse_, f.BackupBtn);
  rendering_ = false;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (app::InCriticalSection(ctx_)) {
    // The device is being written: closing now would leave it half-done.
    event->ignore();
    return;
  }
  if (!ctx_.form.window.closed) app::CloseMainWindow(ctx_);
  event->accept();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  app::DropFiles(ctx_);
  event->acceptProposedAction();
}

}  // namespace qvfw::ui
