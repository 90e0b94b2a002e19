#include "ui/qt/MainWindow.h"

#include <QApplication>
#include <QAbstractButton>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFontMetrics>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QAction>
#include <QShortcut>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <type_traits>

#include "app/FirmwareChoice.h"
#include "app/MainPresenter.h"
#include "app/OneClick.h"

namespace qvfw::ui {
namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
std::string S(const QString& s) { return s.toStdString(); }

QFont FontOf(const app::Font& f) {
  QFont font(Q(f.name));
  // Where the named face is missing, a plain sans-serif face of the same pixel height stands in.
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(f.height < 0 ? -f.height : f.height);
  return font;
}

QColor ColourOf(app::Rgb c) { return QColor(c.r, c.g, c.b); }

// The faces standing in for the window's own are wider than it: a text that would not fit the
// width its control has is drawn narrower (condensed, or a smaller size where the face cannot be
// condensed), never cut off.
QFont Fitted(QFont font, const QString& text, int width) {
  if (text.isEmpty() || width <= 0) return font;
  auto fits = [&] { return QFontMetrics(font).horizontalAdvance(text) <= width; };
  if (fits()) return font;
  for (int stretch = 95; stretch >= 60; stretch -= 5) {
    font.setStretch(stretch);
    if (fits()) return font;
  }
  while (!fits() && font.pixelSize() > 8) font.setPixelSize(font.pixelSize() - 1);
  return font;
}

// Room a control leaves for its text: the frame of a button, the indicator of a check box.
int TextRoom(const QWidget* w, int width) {
  if (qobject_cast<const QPushButton*>(w)) return width - 12;
  if (qobject_cast<const QCheckBox*>(w)) return width - 24;
  if (qobject_cast<const QLabel*>(w)) return width;
  return 0;
}

// What a screen reader calls the controls that carry no text of their own (buttons, boxes and
// labels are called by their text).
struct AccessibleName {
  std::string_view name;
  const char* text;
};
constexpr AccessibleName kAccessibleNames[] = {
    {"ProgressBar2", "Update progress"},    {"DeviceList", "Device"},         {"FwFilenameEdit", "Firmware file"},
    {"ChipLabelEdit", "Chip"},              {"SFlashTypeLable", "Flash type"}, {"FwVerLableEdit", "Firmware version"},
    {"StatusEdit", "Status"},               {"DiskLetterLable", "Drive letters"}, {"ProgressBar1", "Progress"},
    {"BackupFileEdit", "Backup file"},
};

// The text as a control shows it: a literal '&' doubled, and with `mnemonic` the '&' before the
// first place of the control's letter.
QString LabelText(const app::Control& c, std::string_view text, bool mnemonic) {
  QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  shown.replace('&', "&&");
  if (!mnemonic || c.mnemonic == 0) return shown;
  for (qsizetype i = 0; i < shown.size(); ++i) {
    if (shown[i] == '&') {
      ++i;  // skip the doubled ampersand
      continue;
    }
    if (shown[i].toUpper() == QChar(c.mnemonic).toUpper()) {
      shown.insert(i, '&');
      break;
    }
  }
  return shown;
}

void SetGeometry(QWidget* w, const app::Place& p) {
  const QRect r(p.left, p.top, p.width ? p.width : w->sizeHint().width(), p.height ? p.height : w->sizeHint().height());
  if (w->geometry() != r) w->setGeometry(r);
}

// Marks the window busy for the life of one handler, also when the handler throws.
class BusyScope {
 public:
  explicit BusyScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~BusyScope() { flag_ = false; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace

QString QtFileFilter(std::string_view filter) {
  const QStringList parts = Q(filter).split('|');
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) out << parts[i] + " (" + parts[i + 1] + ")";
  return out.join(";;");
}

namespace {

// Marks the window modal for the life of one dialog.
class ModalScope {
 public:
  explicit ModalScope(MainWindow* window) : window_(window) {
    if (window_) ++window_->modalDepth;
  }
  ~ModalScope() {
    if (window_) --window_->modalDepth;
  }
  ModalScope(const ModalScope&) = delete;
  ModalScope& operator=(const ModalScope&) = delete;

 private:
  MainWindow* window_;
};

}  // namespace

void QtShell::MessageBox(std::string_view caption, std::string_view text, app::MessageIcon icon) {
  const ModalScope modal(window_);
  ShowMessage(caption, text, icon);
}

bool QtShell::Ask(std::string_view caption, std::string_view text, bool safeAnswer) {
  const ModalScope modal(window_);
  return ShowQuestion(caption, text, safeAnswer);
}

std::optional<std::string> QtShell::OpenFileDialog(std::string_view filter, std::string_view defaultExtension,
                                                   std::string_view initialDir) {
  const ModalScope modal(window_);
  return ShowOpenDialog(filter, defaultExtension, initialDir);
}

void QtShell::ShowMessage(std::string_view caption, std::string_view text, app::MessageIcon icon) {
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

bool QtShell::ShowQuestion(std::string_view caption, std::string_view text, bool safeAnswer) {
  QMessageBox box(QMessageBox::Question, Q(caption), Q(text), QMessageBox::Yes | QMessageBox::No, window_);
  box.setDefaultButton(safeAnswer ? QMessageBox::Yes : QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> QtShell::ShowOpenDialog(std::string_view filter, std::string_view defaultExtension,
                                                   std::string_view initialDir) {
  QFileDialog dialog(window_, "Open", Q(initialDir), QtFileFilter(filter));
  dialog.setDefaultSuffix(Q(defaultExtension));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return S(dialog.selectedFiles().front());
}

void QtShell::PumpEvents() {
  // Draw what the handler changed first, so the paint that the pump runs shows it.
  if (window_) window_->Render();
  QCoreApplication::processEvents();
  if (window_) window_->Tick();
}

void QtShell::DiagnosticsLine(std::string_view text) {
  if (diagnostics_) diagnostics_->Line(text);
}

void QtShell::TextChanged(const app::TextChange&) {
  if (window_) window_->Render();
}

void QtShell::ProgressChanged(const app::ProgressBar&) {
  if (window_) window_->Render();
}

template <typename W>
W* MainWindow::Make(const app::Control& c) {
  W* w = new W(c.container == "RdPanel" ? rdPanel_ : canvas_);
  w->setObjectName(Q(c.name));
  for (const AccessibleName& a : kAccessibleNames)
    if (a.name == c.name) w->setAccessibleName(a.text);
  widgets_[c.name] = w;
  return w;
}

MainWindow::MainWindow(app::AppContext& ctx, platform::VirtualClock* virtualClock)
    : ctx_(ctx), virtualClock_(virtualClock), deviceTimer_(ctx) {
  ctx_.deviceEventSink = [this](platform::DeviceEvent e) { deviceTimer_.OnDeviceChange(e); };
  app::MainForm& f = ctx_.form;
  setFont(FontOf(f.window.font));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

  QIcon icon;
  for (int size : {32, 64, 256}) icon.addFile(QString(":/icons/qvfw-gui-%1.png").arg(size), QSize(size, size));
  setWindowIcon(icon);
  scroll_ = new QScrollArea(this);
  scroll_->setObjectName("Scroll");
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setFocusPolicy(Qt::NoFocus);
  scroll_->setWidgetResizable(false);
  canvas_ = new QWidget;
  canvas_->setObjectName("Canvas");
  scroll_->setWidget(canvas_);
  // The window's own background shows through, as it did before the controls moved onto a
  // canvas.
  canvas_->setAutoFillBackground(false);
  scroll_->viewport()->setAutoFillBackground(false);

  // The engineering strip's frame first, so that every control lies above it.
  auto* panel1 = new QFrame(canvas_);
  panel1->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  panel1_ = panel1;
  panel1_->setObjectName("Panel1");
  widgets_["Panel1"] = panel1_;
  auto* rdPanel = new QFrame(canvas_);
  rdPanel->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
  rdPanel_ = rdPanel;
  rdPanel_->setObjectName("RdPanel");
  widgets_["RdPanel"] = rdPanel_;
  panel1_->setAccessibleName("Engineering panel");
  rdPanel_->setAccessibleName("Options");

  devpnl_ = Make<QLabel>(f.devpnl);
  devpnl_->setAlignment(Qt::AlignCenter);
  yes_ = Make<QPushButton>(f.YesBtn);
  exit_ = Make<QPushButton>(f.ExitBtn);
  progress2_ = Make<QProgressBar>(f.ProgressBar2);
  progress2_->setTextVisible(false);
  replug_ = Make<QLabel>(f.replugLable);
  disk_ = Make<QLabel>(f.diskLabel);
  rd_ = Make<QCheckBox>(f.RdCheckBox);
  fwCaption_ = new QLabel(canvas_);
  fwFile_ = Make<QLineEdit>(f.FwFilenameEdit);
  load_ = Make<QPushButton>(f.LoadBtn);
  deviceList_ = Make<QComboBox>(f.DeviceList);
  chip_ = Make<QLineEdit>(f.ChipLabelEdit);
  flash_ = Make<QLineEdit>(f.SFlashTypeLable);
  version_ = Make<QLineEdit>(f.FwVerLableEdit);
  status_ = Make<QLineEdit>(f.StatusEdit);
  letters_ = Make<QLineEdit>(f.DiskLetterLable);
  refresh_ = Make<QPushButton>(f.RefreshBtn);
  run_ = Make<QPushButton>(f.UpdateBtn);
  progress1_ = Make<QProgressBar>(f.ProgressBar1);
  progress1_->setTextVisible(false);
  eraseOnly_ = Make<QCheckBox>(f.EraseOnlyCheck);
  backupOnly_ = Make<QCheckBox>(f.BackupFWCheckBox);
  nvram_ = Make<QCheckBox>(f.NVRAMCheck);
  rwBuffer_ = Make<QCheckBox>(f.ReadWriteBufferChk);
  serial_ = Make<QCheckBox>(f.SetPrdSNchk);
  backupCaption_ = new QLabel(rdPanel_);
  backupFile_ = Make<QLineEdit>(f.BackupFileEdit);
  browse_ = Make<QPushButton>(f.BackupBtn);
  for (QLineEdit* e : {chip_, version_, flash_, status_, letters_}) e->setReadOnly(true);
  // The backup file is chosen with Browse; the procedures read the field as it stands.
  backupFile_->setReadOnly(true);
  // The captions name their fields, and their mnemonics move the focus there.
  struct Caption {
    QLabel* label;
    const app::Edit& edit;
    QLineEdit* field;
  };
  for (const Caption& c : {Caption{fwCaption_, f.FwFilenameEdit, fwFile_}, Caption{backupCaption_, f.BackupFileEdit, backupFile_}}) {
    SetGeometry(c.label, *c.edit.captionPlace);
    c.label->setFont(Fitted(FontOf(f.window.font), Q(c.edit.caption), c.edit.captionPlace->width));
    c.label->setText(LabelText(c.edit, c.edit.caption, false));
    c.label->setBuddy(c.field);
  }

  connect(yes_, &QPushButton::clicked, this, [this] { Handle([this] { app::YesBtnClick(ctx_); }); });
  connect(exit_, &QPushButton::clicked, this, [this] { Handle([this] { app::ExitBtnClick(ctx_); }); });
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
  // A typed path is checked once it is complete (Return or leaving the field), not at every
  // key: a half-typed name is not a file to complain about.
  connect(fwFile_, &QLineEdit::editingFinished, this, [this] {
    const std::string text = S(fwFile_->text());
    if (text == ctx_.form.FwFilenameEdit.text) return;
    Handle([this, text] {
      ctx_.form.FwFilenameEdit.text = text;
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
  // Engineers reveal the hidden "RD Version" box; checking it then opens the options.
  auto* reveal = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R), this);
  connect(reveal, &QShortcut::activated, this, [this] { Handle([this] { ctx_.form.RdCheckBox.visible = true; }); });
  // The window's context menu offers the recovery of a bridge a failed update left behind; the
  // entry is there only while the selected bridge needs it.
  recover_ = new QAction(this);
  recover_->setObjectName("RecoverMenu");
  addAction(recover_);
  setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(recover_, &QAction::triggered, this, [this] { Handle([this] { app::RecoverClick(ctx_); }); });

  tick_ = new QTimer(this);
  tick_->setInterval(20);
  connect(tick_, &QTimer::timeout, this, [this] { Tick(); });
  if (ctx_.monitor && ctx_.monitor->PollFd() >= 0) {
    notifier_ = std::make_unique<QSocketNotifier>(ctx_.monitor->PollFd(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
      DrainDeviceEvents();
      Render();
    });
  }
}

MainWindow::~MainWindow() {
  tick_->stop();
  ctx_.deviceEventSink = nullptr;
  app::DestroyMainWindow(ctx_);
}

void MainWindow::Start() {
  QApplication::setApplicationName(Q(ctx_.form.applicationTitle));
  {
    BusyScope busy(inHandler_);
    app::ConstructMainWindow(ctx_);
  }
  started_ = true;
  Render();
  if (ctx_.form.window.centred) {
    if (const QScreen* screen = this->screen()) {
      const QRect area = screen->availableGeometry();
      move(area.center() - QPoint(width() / 2, height() / 2));
    }
  }
  lastTickMs_ = QDateTime::currentMSecsSinceEpoch();
  tick_->start();
}

void MainWindow::DrainDeviceEvents() {
  if (!ctx_.monitor) return;
  for (platform::DeviceEvent e : ctx_.monitor->Drain()) deviceTimer_.OnDeviceChange(e);
}

void MainWindow::Tick() {
  if (ticking_ || !started_ || ctx_.form.window.closed) return;
  bool ran = false;
  {
    BusyScope ticking(ticking_);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (virtualClock_ && now > lastTickMs_) virtualClock_->Advance(static_cast<uint64_t>(now - lastTickMs_));
    lastTickMs_ = now;
    if (!notifier_) DrainDeviceEvents();
    if (modalDepth > 0) {
      // A dialog is open in the middle of a handler: the refresh waits for both to end.
    } else if (inHandler_) {
      // Inside a handler's event pump: the refresh a re-attaching device causes runs in the
      // middle of the operation, which keeps its status line and progress to itself.
      ran = deviceTimer_.Poll();
    } else if (deviceTimer_.DueInMs() == std::optional<uint64_t>(0)) {
      BusyScope busy(inHandler_);
      ran = deviceTimer_.Poll();
    }
  }
  if (ran) Render();
  if (closeRequested_ && !inHandler_) close();
}

void MainWindow::Handle(const std::function<void()>& handler) {
  if (inHandler_ || !started_ || ctx_.form.window.closed) return;
  {
    BusyScope busy(inHandler_);
    handler();
  }
  Render();
  if (ctx_.form.window.closed || closeRequested_) close();
}

void MainWindow::ApplySize() {
  const QSize client(ctx_.form.window.clientWidth, ctx_.form.window.clientHeight);
  if (canvas_->size() != client) canvas_->setFixedSize(client);
  QSize size = client;
  if (const QScreen* screen = this->screen()) {
    // Room for the client area: the screen's free area less the title bar and borders.
    const QSize frame = frameGeometry().size() - geometry().size();
    const QSize room = screen->availableGeometry().size() - frame;
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll_);
    if (size.height() > room.height()) {
      size.setHeight(room.height());
      size.setWidth(size.width() + bar);
    }
    if (size.width() > room.width()) {
      size.setWidth(room.width());
      if (size.height() < client.height() + bar) size.setHeight(std::min(client.height() + bar, room.height()));
    }
  }
  // Scroll bars only where the client area does not fit, so a window with room shows none.
  const auto policy = [](bool fits) { return fits ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded; };
  scroll_->setHorizontalScrollBarPolicy(policy(size.width() >= client.width()));
  scroll_->setVerticalScrollBarPolicy(policy(size.height() >= client.height()));
  if (scroll_->geometry() != QRect(QPoint(0, 0), size)) scroll_->setGeometry(QRect(QPoint(0, 0), size));
  if (this->size() == size && minimumSize() == size && maximumSize() == size) return;
  setFixedSize(size);
  // A window grown downwards past the bottom of its screen moves up to stay whole on it.
  if (!started_) return;
  if (const QScreen* screen = this->screen()) {
    const QRect area = screen->availableGeometry();
    const int overhang = frameGeometry().bottom() - area.bottom();
    if (overhang > 0) move(x(), std::max(area.top(), y() - overhang));
  }
}

void MainWindow::ApplyFocus() {
  const QRect client(0, 0, ctx_.form.window.clientWidth, ctx_.form.window.clientHeight);
  for (const auto& [name, w] : widgets_) {
    auto [it, added] = focusPolicy_.try_emplace(w, w->focusPolicy());
    const QRect placed(w->mapTo(canvas_, QPoint(0, 0)), w->size());
    const Qt::FocusPolicy policy = client.contains(placed) ? it->second : Qt::NoFocus;
    if (w->focusPolicy() != policy) w->setFocusPolicy(policy);
  }
}

QWidget* MainWindow::Widget(std::string_view name) const {
  const auto it = widgets_.find(name);
  return it == widgets_.end() ? nullptr : it->second;
}

void MainWindow::Render() {
  if (rendering_) return;
  BusyScope rendering(rendering_);
  const app::MainForm& f = ctx_.form;
  if (windowTitle() != Q(f.window.caption)) setWindowTitle(Q(f.window.caption));
  setAcceptDrops(f.window.acceptsDroppedFiles);
  ApplySize();

  const QFont windowFont = FontOf(f.window.font);
  auto common = [&](QWidget* w, const app::Control& c) {
    const auto& place = c.place;
    if (place) SetGeometry(w, *place);
    QFont font = c.font ? FontOf(*c.font) : windowFont;
    if (place && place->width) font = Fitted(font, Q(c.text), TextRoom(w, place->width));
    if (w->font() != font) w->setFont(font);
    w->setEnabled(c.enabled);
    // Hidden is the model's word; shown controls appear once the window does.
    w->setHidden(!c.visible);
  };
  // Buttons and boxes are labelled once every control is placed: a mnemonic is given only to
  // a control within the client area, so that no Alt+letter reaches a control below the edge.
  std::vector<std::pair<QAbstractButton*, const app::Control*>> labelled;
  auto text = [&](auto* w, const app::Control& c) {
    if constexpr (std::is_base_of_v<QAbstractButton, std::remove_pointer_t<decltype(w)>>) {
      labelled.emplace_back(w, &c);
    } else {
      if (w->text() != Q(c.text)) w->setText(Q(c.text));
    }
    common(w, c);
  };
  auto check = [&](QCheckBox* w, const app::CheckBox& c) {
    text(w, c);
    if (w->isChecked() != c.checked) w->setChecked(c.checked);
  };
  auto bar = [&](QProgressBar* w, const app::ProgressBar& c) {
    if (w->minimum() != c.min || w->maximum() != c.max) w->setRange(c.min, c.max);
    if (w->value() != c.position) w->setValue(c.position);
    common(w, c);
  };

  text(devpnl_, f.devpnl);
  if (!(f.devpnl.colour == shownColour_)) {
    QPalette palette = devpnl_->palette();
    palette.setColor(QPalette::WindowText, ColourOf(f.devpnl.colour));
    devpnl_->setPalette(palette);
    shownColour_ = f.devpnl.colour;
  }
  text(yes_, f.YesBtn);
  text(exit_, f.ExitBtn);
  bar(progress2_, f.ProgressBar2);
  text(replug_, f.replugLable);
  text(disk_, f.diskLabel);
  check(rd_, f.RdCheckBox);
  common(panel1_, f.Panel1);
  common(rdPanel_, f.RdPanel);

  {
    const QSignalBlocker block(deviceList_);
    QStringList items;
    for (const std::string& item : f.DeviceList.items) items << Q(item);
    QStringList current;
    for (int i = 0; i < deviceList_->count(); ++i) current << deviceList_->itemText(i);
    if (items != current) {
      deviceList_->clear();
      deviceList_->addItems(items);
    }
    if (deviceList_->currentIndex() != f.DeviceList.itemIndex) deviceList_->setCurrentIndex(f.DeviceList.itemIndex);
    common(deviceList_, f.DeviceList);
  }

  // What the user is typing stays until the edit is finished.
  if (!fwFile_->hasFocus() || !fwFile_->isModified()) text(fwFile_, f.FwFilenameEdit);
  else common(fwFile_, f.FwFilenameEdit);
  fwCaption_->setEnabled(f.FwFilenameEdit.enabled);
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
  if (recover_->text() != Q(f.RecoverMenu.text)) recover_->setText(Q(f.RecoverMenu.text));
  recover_->setVisible(f.RecoverMenu.visible);
  recover_->setEnabled(f.RecoverMenu.enabled);

  const QRect client(0, 0, f.window.clientWidth, f.window.clientHeight);
  for (auto [w, c] : labelled) {
    const bool inClient = client.contains(QRect(w->mapTo(canvas_, QPoint(0, 0)), w->size()));
    const QString shown = LabelText(*c, c->text, inClient);
    if (w->text() != shown) w->setText(shown);
  }
  for (auto [caption, edit] : {std::pair{fwCaption_, &f.FwFilenameEdit}, {backupCaption_, &f.BackupFileEdit}}) {
    const QWidget* field = caption->buddy();
    const bool inClient = client.contains(QRect(field->mapTo(canvas_, QPoint(0, 0)), field->size()));
    const QString shown = LabelText(*edit, edit->caption, inClient);
    if (caption->text() != shown) caption->setText(shown);
  }
  ApplyFocus();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (inHandler_ || app::InCriticalSection(ctx_)) {
    // An operation is running (and may be writing the device): the window closes once it has
    // ended, never in its middle.
    closeRequested_ = true;
    event->ignore();
    return;
  }
  closeRequested_ = false;
  if (!ctx_.form.window.closed) app::CloseMainWindow(ctx_);
  tick_->stop();
  event->accept();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dragMoveEvent(QDragMoveEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  app::DropFiles(ctx_);
  event->acceptProposedAction();
}

}  // namespace qvfw::ui
