// The Qt window over the emulated machine, on the offscreen platform: what it shows at start-up,
// the one-click update pressed in the window, device arrival and removal, the "RD Version"
// shortcut and panel, a firmware file chosen through the panel, and closing.
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/FirmwareChoice.h"
#include "frontend/Machines.h"
#include "sim/FirmwareImage.h"
#include "sim/Timing.h"
#include "WindowRig.h"

namespace qvfw::ui {
namespace {

using testing::Rig;

QColor TextColour(const QWidget* w) { return w->palette().color(QPalette::WindowText); }

// A button's or box's text as drawn: without the mnemonic's marker, a doubled '&' as one.
QString Shown(const QAbstractButton* b) {
  QString out;
  const QString text = b->text();
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The controls Tab visits from `start`, in order, until it comes back to it.
QStringList TabChain(QWidget* window, QWidget* start) {
  QApplication::setActiveWindow(window);
  start->setFocus(Qt::TabFocusReason);
  QStringList chain;
  for (QWidget* w = QApplication::focusWidget(); w && chain.size() < 40;) {
    chain << w->objectName();
    QTest::keyClick(w, Qt::Key_Tab);
    w = QApplication::focusWidget();
    if (w == start) break;
  }
  return chain;
}

// Reveals the "RD Version" box and, with `open`, checks it so that the engineering panel opens.
void OpenRdPanel(testing::Rig& rig, bool open) {
  QApplication::setActiveWindow(rig.window.get());
  QTest::keyClick(rig.window.get(), Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
  if (open) QTest::mouseClick(rig.Get("RdCheckBox"), Qt::LeftButton);
}

const char* const kAllControls[] = {
    "devpnl", "YesBtn", "ExitBtn", "ProgressBar2", "replugLable", "diskLabel", "RdCheckBox", "Panel1",
    "FwFilenameEdit", "LoadBtn", "DeviceList", "ChipLabelEdit", "SFlashTypeLable", "FwVerLableEdit",
    "StatusEdit", "DiskLetterLable", "RefreshBtn", "UpdateBtn", "ProgressBar1", "RdPanel", "EraseOnlyCheck",
    "BackupFWCheckBox", "NVRAMCheck", "ReadWriteBufferChk", "SetPrdSNchk", "BackupFileEdit", "BackupBtn"};

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void startUpShowsTheOneClickFace() {
    Rig rig;
    rig.Start();
    QCOMPARE(rig.window->windowTitle(), QString("Orvo DLN7420KT5 firmware update tools_v1.0.0.5"));
    QCOMPARE(QApplication::applicationName(), QString("Qavion QV4077x Firmware Update Utility"));
    QCOMPARE(rig.window->size(), QSize(398, 143));
    QCOMPARE(rig.window->minimumSize(), rig.window->maximumSize());

    auto* devpnl = rig.Get<QLabel>("devpnl");
    QCOMPARE(devpnl->text(), QString("Click Update firmware button to proceed."));
    QCOMPARE(TextColour(devpnl), QColor(0, 0, 255));
    QCOMPARE(devpnl->font().pixelSize(), 19);
    QVERIFY(QFontMetrics(devpnl->font()).horizontalAdvance(devpnl->text()) <= devpnl->width());
    auto* yes = rig.Get<QPushButton>("YesBtn");
    QCOMPARE(Shown(yes), QString("Update firmware to version 01.02.00.03"));
    QVERIFY(yes->isEnabled());
    QVERIFY(QFontMetrics(yes->font()).horizontalAdvance(Shown(yes)) < yes->width());
    QCOMPARE(Shown(rig.Get<QPushButton>("ExitBtn")), QString("Exit"));
    QVERIFY(rig.Get<QPushButton>("ExitBtn")->isEnabled());
    auto* bar = rig.Get<QProgressBar>("ProgressBar2");
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 0);
    QVERIFY(rig.Get("replugLable")->isHidden());
    QVERIFY(rig.Get("diskLabel")->isHidden());
    QVERIFY(rig.Get("RdCheckBox")->isHidden());
    QVERIFY(rig.Get("RdPanel")->isHidden());
    QVERIFY(rig.window->acceptDrops());

    // The engineering panel is filled for the listed device, below the visible area.
    auto* list = rig.Get<QComboBox>("DeviceList");
    QCOMPARE(list->count(), 1);
    QVERIFY(list->itemText(0).startsWith("<<USB>> "));
    QCOMPARE(Shown(rig.Get<QPushButton>("UpdateBtn")), QString("Run"));
    QVERIFY(!rig.Get("UpdateBtn")->isEnabled());
    QCOMPARE(rig.Get<QLineEdit>("FwVerLableEdit")->text(), QString("1.2.0.1"));
    QCOMPARE(rig.Get<QLineEdit>("DiskLetterLable")->text(), QString("E"));
    QVERIFY(!rig.Get<QLineEdit>("ChipLabelEdit")->text().isEmpty());
  }

  // Every control sits where the form model puts it, within its container: the one description
  // of the layout that every window draws. The face's places are the form's own.
  void controlsSitWhereTheFormPutsThem() {
    Rig rig;
    rig.Start();
    const app::MainForm& f = rig.ctx.form;
    QVERIFY((f.devpnl.place == app::Place{24, 8, 345, 25}));
    QVERIFY((f.YesBtn.place == app::Place{24, 40, 201, 25}));
    QVERIFY((f.ExitBtn.place == app::Place{272, 40, 83, 25}));
    QVERIFY((f.ProgressBar2.place == app::Place{16, 80, 361, 17}));
    for (const app::Control* c : f.Controls()) {
      const QString name = QString::fromUtf8(c->name.data(), static_cast<qsizetype>(c->name.size()));
      QVERIFY2(c->place, qPrintable(name));
      QWidget* w = rig.Get(c->name);
      QCOMPARE(w->parentWidget()->objectName(), c->container.empty() ? QString("Canvas") : QString("RdPanel"));
      const app::Place& p = *c->place;
      if (p.width == 0) {
        QCOMPARE(w->pos(), QPoint(p.left, p.top));
      } else {
        QCOMPARE(w->geometry(), QRect(p.left, p.top, p.width, p.height));
      }
    }
    for (const app::Edit* e : {&f.FwFilenameEdit, &f.BackupFileEdit}) {
      QLabel* caption = nullptr;
      for (QLabel* l : rig.window->findChildren<QLabel*>())
        if (l->buddy() == rig.Get(e->name)) caption = l;
      QVERIFY(caption);
      QCOMPARE(caption->parentWidget(), rig.Get(e->name)->parentWidget());
      QCOMPARE(caption->geometry(),
               QRect(e->captionPlace->left, e->captionPlace->top, e->captionPlace->width, e->captionPlace->height));
    }
  }

  // Nothing of the engineering panel shows in the one-click face; all of it shows once the
  // panel is opened, and nothing overlaps the face or another control.
  void theEngineeringControlsLieBelowTheFace() {
    Rig rig;
    rig.Start();
    const char* engineering[] = {"DeviceList", "FwFilenameEdit", "LoadBtn", "UpdateBtn", "ChipLabelEdit",
                                 "SFlashTypeLable", "FwVerLableEdit", "StatusEdit", "DiskLetterLable",
                                 "ProgressBar1", "RdPanel"};
    const char* options[] = {"EraseOnlyCheck", "BackupFWCheckBox", "NVRAMCheck", "ReadWriteBufferChk",
                             "SetPrdSNchk", "BackupFileEdit", "BackupBtn"};
    const QRect grown(0, 0, 398, 143 + app::kRdPanelHeight);
    std::vector<std::pair<QString, QRect>> placed;
    for (const char* name : engineering) {
      const QRect r = rig.Get(name)->geometry();
      QVERIFY2(r.top() >= 143, name);
      QVERIFY2(grown.contains(r), name);
      placed.emplace_back(name, r);
    }
    for (const char* name : options) {
      QWidget* w = rig.Get(name);
      QCOMPARE(w->parentWidget(), rig.Get("RdPanel"));
      QVERIFY2(QRect(QPoint(0, 0), w->parentWidget()->size()).contains(w->geometry()), name);
    }
    for (const char* name : {"devpnl", "YesBtn", "ExitBtn", "ProgressBar2"}) placed.emplace_back(name, rig.Get(name)->geometry());
    for (size_t i = 0; i < placed.size(); ++i)
      for (size_t j = i + 1; j < placed.size(); ++j)
        QVERIFY2(!placed[i].second.intersects(placed[j].second),
                 qPrintable(placed[i].first + " overlaps " + placed[j].first));
  }

  // The context menu's recovery entry is there only while the selected bridge is on its boot code.
  void recoverEntryFollowsTheBridgesState() {
    for (const bool blank : {false, true}) {
      std::string scenario = sim::PresetScenarioJson("default");
      if (blank) scenario.replace(scenario.find(R"({ "generate": { "version": "1201" } })"),
                                  std::string(R"({ "generate": { "version": "1201" } })").size(), R"("blank")");
      Rig rig(scenario);
      rig.Start();
      QAction* entry = nullptr;
      for (QAction* a : rig.window->actions())
        if (a->objectName() == "RecoverMenu") entry = a;
      QVERIFY(entry != nullptr);
      QCOMPARE(entry->text(), QString("Recover firmware..."));
      QCOMPARE(entry->isVisible(), blank);
      QCOMPARE(rig.window->contextMenuPolicy(), Qt::ActionsContextMenu);
    }
  }

  void oneClickUpdatePressedInTheWindow_data() {
    QTest::addColumn<uint>("restartDelayMs");
    QTest::addColumn<bool>("refreshedMidway");
    // Back before the removal's refresh is due: the device events are served in the update.
    QTest::newRow("quick re-attach") << 150u << false;
    // Gone for several rounds: the removal's refresh runs in the middle of the update.
    QTest::newRow("slow re-attach") << 5000u << true;
  }
  void oneClickUpdatePressedInTheWindow() {
    QFETCH(uint, restartDelayMs);
    QFETCH(bool, refreshedMidway);
    Rig rig;
    sim::TimingModel timing = sim::TimingModel::UsbBulkOnly();
    timing.restartDelayMs = restartDelayMs;
    rig.machine->SetTiming(0, timing);
    rig.Start();
    rig.shell.frames.clear();
    // A click on another control while the update pumps events must not start a second
    // operation in its middle.
    rig.shell.onPump = [&] {
      if (rig.ctx.state.UpdateBusy) QTest::mouseClick(rig.Get("LoadBtn"), Qt::LeftButton);
    };
    QTest::mouseClick(rig.Get("YesBtn"), Qt::LeftButton);
    rig.shell.onPump = nullptr;

    auto* devpnl = rig.Get<QLabel>("devpnl");
    QCOMPARE(devpnl->text(), QString("Update    Pass!!"));
    QCOMPARE(TextColour(devpnl), QColor(0, 128, 0));
    QCOMPARE(rig.Get<QProgressBar>("ProgressBar2")->value(), 100);
    QVERIFY(!rig.Get("YesBtn")->isEnabled());
    QVERIFY(rig.Get("ExitBtn")->isEnabled());
    QVERIFY(rig.shell.dialogs.empty());
    QVERIFY(rig.shell.messages.empty());

    // The window drew the run while it went: the status line said so and the bar moved through
    // its steps; a refresh in the middle left both alone.
    auto seen = [&](int progress, const QString& status, const QString& listed = {}) {
      for (const auto& f : rig.shell.frames)
        if (f.progress == progress && f.status == status && (listed.isEmpty() || f.firstListed == listed)) return true;
      return false;
    };
    QVERIFY(seen(0, "Updating firmware. Please wait..."));
    QVERIFY(seen(30, "Updating firmware. Please wait..."));
    QVERIFY(seen(60, "Updating firmware. Please wait..."));
    QVERIFY(seen(100, "Update    Pass!!"));
    QCOMPARE(seen(60, "Updating firmware. Please wait...", "No available device!!!"), refreshedMidway);

    // The device's return was told while the update ran, so its refresh is already on the
    // timer; it runs once and tells that the device is up to date.
    const int before = rig.disks.enumerations;
    const auto due = rig.window->deviceTimer().DueInMs();
    QVERIFY(due.has_value());
    rig.Idle(*due);
    QCOMPARE(rig.disks.enumerations, before + 1);
    QCOMPARE(devpnl->text(), QString("Firmware already updated."));
    QCOMPARE(TextColour(devpnl), QColor(0, 128, 0));
    QCOMPARE(rig.Get<QLineEdit>("FwVerLableEdit")->text(), QString("1.2.0.3"));
    QVERIFY(rig.Get<QComboBox>("DeviceList")->itemText(0).startsWith("<<USB>> "));
    QVERIFY(!rig.Get("YesBtn")->isEnabled());
    rig.Idle(5000);
    QCOMPARE(rig.disks.enumerations, before + 1);
  }

  // The window chooses its machine as the program does: an update pressed in a window over a
  // recorded emulated machine, then the same in a window over that recording, shows the same
  // faces, and the replay holds to the end.
  void anUpdateInTheWindowReplaysFromItsRecording() {
    QTemporaryDir dir;
    const std::filesystem::path folder = dir.path().toStdString();
    auto run = [&](const frontend::MachineChoice& choice, QStringList& faces) {
      platform::NullDiagnostics diag;
      const auto machine = frontend::Machine::Open(choice, diag);
      testing::RecordingQtShell shell;
      app::WiringOptions wiring;
      wiring.diagnostics = &diag;
      wiring.workingDirectory = folder;
      wiring.stateDirectory = machine->StateDirectory().empty() ? folder / "state" : machine->StateDirectory();
      wiring.lockDirectory = machine->LockDirectory();
      app::Application application(machine->parts(), shell, wiring);
      MainWindow window(application.ctx(), machine->virtualClock());
      shell.Attach(&window);
      window.Start();
      auto* devpnl = qobject_cast<QLabel*>(window.Widget("devpnl"));
      faces << devpnl->text();
      QTest::mouseClick(window.Widget("YesBtn"), Qt::LeftButton);
      faces << devpnl->text();
      const auto due = window.deviceTimer().DueInMs();
      if (due) machine->virtualClock()->Advance(*due);
      window.Tick();
      faces << devpnl->text() << qobject_cast<QLineEdit*>(window.Widget("FwVerLableEdit"))->text();
      shell.Attach(nullptr);
      return machine->Finish(0);
    };
    frontend::MachineChoice record;
    record.sim = std::filesystem::path();
    record.record = folder / "window.qvrec";
    record.frontEnd = "qvfw-gui";
    QStringList recorded, replayed;
    QVERIFY(!run(record, recorded));
    QCOMPARE(recorded, QStringList({"Click Update firmware button to proceed.", "Update    Pass!!",
                                    "Firmware already updated.", "1.2.0.3"}));
    frontend::MachineChoice replay;
    replay.replay = record.record;
    const auto difference = run(replay, replayed);
    QVERIFY2(!difference, difference ? difference->c_str() : "");
    QCOMPARE(replayed, recorded);
  }

  // Closing the window while the update runs must not take the exchange file away from it nor
  // stop it half-way: the window closes when the update has ended.
  void closingDuringTheUpdateWaitsForItsEnd() {
    Rig rig;
    rig.Start();
    bool asked = false;
    bool closedMidway = false;
    bool fileAtTheEnd = false;
    rig.shell.onPump = [&] {
      if (!rig.ctx.state.UpdateBusy) return;
      if (!asked) {
        asked = true;
        rig.window->close();
        return;
      }
      closedMidway = closedMidway || !rig.window->isVisible() || rig.ctx.form.window.closed;
      if (rig.ctx.form.devpnl.text == "Update    Pass!!") fileAtTheEnd = std::filesystem::exists(rig.ExchangeFile());
    };
    QTest::mouseClick(rig.Get("YesBtn"), Qt::LeftButton);
    rig.shell.onPump = nullptr;
    QVERIFY(asked);
    QVERIFY(!closedMidway);
    QVERIFY(fileAtTheEnd);
    QCOMPARE(rig.ctx.form.devpnl.text, std::string("Update    Pass!!"));
    // Then the window has closed, and closing removed the exchange file.
    QVERIFY(!rig.window->isVisible());
    QVERIFY(rig.ctx.form.window.closed);
    QVERIFY(!std::filesystem::exists(rig.ExchangeFile()));
  }

  void deviceChangesRefreshOnceAfterTheirDelay_data() {
    QTest::addColumn<bool>("startPlugged");
    QTest::addColumn<QString>("steps");  // u = unplug, p = plug, digits = ms between
    QTest::addColumn<int>("delayMs");    // from the last event to the refresh
    QTest::addColumn<QString>("listed");
    QTest::addColumn<QString>("statusBefore");
    QTest::addColumn<QString>("statusAfter");
    QTest::newRow("removal") << true << "u" << 200 << "No available device!!!"
                             << "Click Update firmware button to proceed." << "No device found!!";
    QTest::newRow("arrival") << false << "p" << 1200 << "<<USB>> "
                             << "Click Update firmware button to proceed."
                             << "Click Update firmware button to proceed.";
    QTest::newRow("quick unplug and replug") << true << "u100p" << 1200 << "<<USB>> "
                                             << "Click Update firmware button to proceed."
                                             << "Click Update firmware button to proceed.";
  }
  void deviceChangesRefreshOnceAfterTheirDelay() {
    QFETCH(bool, startPlugged);
    QFETCH(QString, steps);
    QFETCH(int, delayMs);
    QFETCH(QString, listed);
    QFETCH(QString, statusBefore);
    QFETCH(QString, statusAfter);
    Rig rig;
    if (!startPlugged) {
      rig.machine->Unplug(0);
      rig.machine->Drain();
    }
    rig.Start();
    QCOMPARE(rig.Get<QLabel>("devpnl")->text(),
             QString(startPlugged ? "Click Update firmware button to proceed." : "No device found!!"));
    const int before = rig.disks.enumerations;
    for (qsizetype i = 0; i < steps.size();) {
      if (steps[i] == 'u') rig.machine->Unplug(0), ++i;
      else if (steps[i] == 'p') rig.machine->Plug(0), ++i;
      else {
        qsizetype j = i;
        while (j < steps.size() && steps[j].isDigit()) ++j;
        rig.Idle(steps.mid(i, j - i).toULongLong());
        i = j;
      }
      rig.window->Tick();
    }
    QCOMPARE(rig.Get<QLabel>("devpnl")->text(), statusBefore);
    rig.Idle(static_cast<uint64_t>(delayMs - 1));
    QCOMPARE(rig.disks.enumerations, before);
    rig.Idle(1);
    QCOMPARE(rig.disks.enumerations, before + 1);
    QVERIFY(rig.Get<QComboBox>("DeviceList")->itemText(0).startsWith(listed));
    QCOMPARE(rig.Get<QLabel>("devpnl")->text(), statusAfter);
    rig.Idle(5000);
    QCOMPARE(rig.disks.enumerations, before + 1);
  }

  void theShortcutRevealsTheRdBoxWhichOpensThePanel() {
    Rig rig;
    rig.Start();
    QApplication::setActiveWindow(rig.window.get());
    QTest::keyClick(rig.window.get(), Qt::Key_R, Qt::ControlModifier);
    QVERIFY(rig.Get("RdCheckBox")->isHidden());
    QTest::keyClick(rig.window.get(), Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
    auto* box = rig.Get<QCheckBox>("RdCheckBox");
    QVERIFY(box->isVisible());
    QCOMPARE(Shown(box), QString("RD Version"));
    QVERIFY(!box->isChecked());
    QVERIFY(rig.Get("RdPanel")->isHidden());
    QCOMPARE(rig.window->height(), 143);
    // The box lies in the visible face.
    QVERIFY(QRect(0, 0, 398, 143).contains(box->geometry()));

    // Grown near the bottom of the screen, the window moves up to stay whole on it.
    const QRect screen = rig.window->screen()->availableGeometry();
    rig.window->move(screen.left() + 10, screen.bottom() - 200);
    QTest::mouseClick(box, Qt::LeftButton);
    QVERIFY(box->isChecked());
    QVERIFY(rig.Get("RdPanel")->isVisible());
    QCOMPARE(rig.window->size(), QSize(398, 143 + app::kRdPanelHeight));
    QCOMPARE(rig.window->minimumSize(), rig.window->maximumSize());
    QVERIFY(screen.contains(rig.window->frameGeometry()));
    for (const char* name : {"EraseOnlyCheck", "BackupFWCheckBox", "BackupFileEdit", "BackupBtn", "DeviceList",
                             "LoadBtn", "UpdateBtn", "StatusEdit"}) {
      QWidget* w = rig.Get(name);
      QVERIFY2(w->isVisible(), name);
      QVERIFY2(rig.window->rect().contains(QRect(w->mapTo(rig.window.get(), QPoint(0, 0)), w->size())), name);
    }
    QCOMPARE(Shown(rig.Get<QCheckBox>("EraseOnlyCheck")), QString("Erase All Flash Only "));
    QCOMPARE(Shown(rig.Get<QCheckBox>("BackupFWCheckBox")), QString("Backup Old Firmware Only"));
    QCOMPARE(Shown(rig.Get<QPushButton>("BackupBtn")), QString("Browse"));

    // Clearing it hides the options again; the window keeps its height.
    QTest::mouseClick(box, Qt::LeftButton);
    QVERIFY(!box->isChecked());
    QVERIFY(rig.Get("RdPanel")->isHidden());
    QCOMPARE(rig.window->height(), 143 + app::kRdPanelHeight);
  }

  void aFirmwareFileChosenThroughThePanel_data() {
    QTest::addColumn<QString>("file");  // "" = the dialog is cancelled
    QTest::addColumn<bool>("runEnabled");
    QTest::addColumn<bool>("yesEnabled");
    QTest::addColumn<QString>("status");
    QTest::newRow("an image for the chip") << "qvs812.bin" << true << true << "";
    QTest::newRow("another family's image") << "qvs876.bin" << false << false << "FW file not Match.";
    QTest::newRow("cancelled") << "" << false << false << "";
  }
  void aFirmwareFileChosenThroughThePanel() {
    QFETCH(QString, file);
    QFETCH(bool, runEnabled);
    QFETCH(bool, yesEnabled);
    QFETCH(QString, status);
    Rig rig;
    const std::filesystem::path dir = rig.dir.path().toStdString();
    WriteFile(dir / "qvs812.bin", sim::GenerateFirmwareImage({15, 0, "1203", 0x40000, 5}));
    WriteFile(dir / "qvs876.bin", sim::GenerateFirmwareImage({13, 0, "1203", 0x10000, 5}));
    const std::string path = file.isEmpty() ? std::string() : (dir / file.toStdString()).string();
    rig.shell.answers.push_back(file.isEmpty() ? std::nullopt : std::optional<std::string>(path));
    rig.Start();
    QTest::mouseClick(rig.Get("LoadBtn"), Qt::LeftButton);

    QCOMPARE(rig.shell.dialogs, std::vector<std::string>{"BinaryFile|*.bin|All Files|*.*|QVT Files|*.qvt / bin"});
    QCOMPARE(rig.Get<QLineEdit>("FwFilenameEdit")->text(), QString::fromStdString(path));
    QCOMPARE(rig.Get("UpdateBtn")->isEnabled(), runEnabled);
    QCOMPARE(rig.Get("YesBtn")->isEnabled(), yesEnabled);
    QCOMPARE(rig.Get<QLineEdit>("StatusEdit")->text(), status);
    QVERIFY(rig.shell.messages.empty());

    if (!runEnabled) return;
    // Run programs the chosen file and says so in the status field and a box.
    QTest::mouseClick(rig.Get("UpdateBtn"), Qt::LeftButton);
    QCOMPARE(rig.Get<QLineEdit>("StatusEdit")->text(), QString("Programming Success!!"));
    QCOMPARE(rig.shell.messages.size(), size_t{1});
    QVERIFY(rig.Get("UpdateBtn")->isEnabled());
  }

  // A device that leaves while the file dialog is open is refreshed once the Load File action
  // has ended, not under it.
  void aRefreshWaitsForAnOpenDialog() {
    Rig rig;
    const std::filesystem::path file = std::filesystem::path(rig.dir.path().toStdString()) / "qvs812.bin";
    WriteFile(file, sim::GenerateFirmwareImage({15, 0, "1203", 0x40000, 5}));
    rig.shell.answers.push_back(file.string());
    rig.Start();
    const int before = rig.disks.enumerations;
    int duringDialog = -1;
    rig.shell.onDialog = [&] {
      rig.machine->Unplug(0);
      rig.Idle(0);
      rig.Idle(500);
      duringDialog = rig.disks.enumerations;
    };
    QTest::mouseClick(rig.Get("LoadBtn"), Qt::LeftButton);
    rig.shell.onDialog = nullptr;
    QCOMPARE(duringDialog, before);
    // The action went on with the device it started with.
    QCOMPARE(rig.Get<QLineEdit>("FwFilenameEdit")->text(), QString::fromStdString(file.string()));
    QCOMPARE(rig.ctx.state.DeviceCount, 1);
    rig.Idle(0);
    QCOMPARE(rig.disks.enumerations, before + 1);
    QCOMPARE(rig.Get<QComboBox>("DeviceList")->itemText(0), QString("No available device!!!"));
    QCOMPARE(rig.Get<QLabel>("devpnl")->text(), QString("No device found!!"));
  }

  // A typed path is checked when it is complete, not at every key.
  void aTypedPathIsCheckedOnce() {
    Rig rig;
    rig.Start();
    auto* edit = rig.Get<QLineEdit>("FwFilenameEdit");
    QApplication::setActiveWindow(rig.window.get());
    edit->setFocus();
    const std::string missing = (std::filesystem::path(rig.dir.path().toStdString()) / "none.bin").string();
    QTest::keyClicks(edit, QString::fromStdString(missing));
    QVERIFY(rig.shell.messages.empty());
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(rig.ctx.form.FwFilenameEdit.text, missing);
    QCOMPARE(rig.shell.messages.size(), size_t{1});
    QCOMPARE(rig.shell.messages[0].caption, std::string("Error"));
    QCOMPARE(rig.shell.messages[0].text, std::string("Open Firmware File Error!!"));
    QVERIFY(!rig.Get("UpdateBtn")->isEnabled());
  }

  // Picking the second device in the list runs the firmware-choice check for it; the one-click
  // face stays with the first.
  void choosingAnotherDeviceInTheList() {
    Rig rig(sim::PresetScenarioJson("two-bridges"));
    rig.Start();
    auto* list = rig.Get<QComboBox>("DeviceList");
    QCOMPARE(list->count(), 2);
    QVERIFY(list->itemText(0).startsWith("<<USB>> "));
    QVERIFY(list->itemText(1).startsWith("<<UASP>> "));
    QCOMPARE(rig.Get<QLineEdit>("DiskLetterLable")->text(), QString("E"));
    const QString firstChip = rig.Get<QLineEdit>("ChipLabelEdit")->text();
    QApplication::setActiveWindow(rig.window.get());
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(list->currentIndex(), 1);
    QCOMPARE(rig.ctx.form.DeviceList.itemIndex, 1);
    QCOMPARE(rig.ctx.state.CurrentChipType, 16);
    QCOMPARE(rig.Get<QLineEdit>("DiskLetterLable")->text(), QString("FG"));
    QVERIFY(rig.Get<QLineEdit>("ChipLabelEdit")->text() != firstChip);
    QCOMPARE(rig.Get<QLabel>("devpnl")->text(), QString("Click Update firmware button to proceed."));
  }

  // Files dropped on the window are taken and ignored: nothing lands in the firmware field.
  void droppedFilesAreIgnored() {
    Rig rig;
    rig.Start();
    const std::filesystem::path file = std::filesystem::path(rig.dir.path().toStdString()) / "fw.bin";
    WriteFile(file, sim::GenerateFirmwareImage({15, 0, "1203", 0x40000, 5}));
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(file.string()))});
    const QPoint at(100, 60);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(rig.window.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(rig.window.get(), &drop);
    QVERIFY(drop.isAccepted());
    QVERIFY(rig.Get<QLineEdit>("FwFilenameEdit")->text().isEmpty());
    QVERIFY(rig.ctx.form.FwFilenameEdit.text.empty());
    QVERIFY(rig.shell.messages.empty());
    QVERIFY(rig.shell.dialogs.empty());
    QCOMPARE(rig.Get<QLabel>("devpnl")->text(), QString("Click Update firmware button to proceed."));
  }

  // Closing removes the exchange file this window's update made, and nothing it did not make.
  void exitClosesTheWindowAndRemovesTheExchangeFile_data() {
    QTest::addColumn<QString>("file");
    QTest::newRow("left by this window's update") << "own";
    QTest::newRow("left by another run") << "other";
    QTest::newRow("no exchange file") << "none";
  }
  void exitClosesTheWindowAndRemovesTheExchangeFile() {
    QFETCH(QString, file);
    Rig rig;
    rig.Start();
    if (file == "own") {
      rig.ctx.exchange = app::OwnExchangeFile::Create({rig.ExchangeFile().parent_path()}, "ExChangeData.tmp",
                                                      app::ExchangeBlock{}, rig.ctx.diagnostics, nullptr);
      QVERIFY(rig.ctx.exchange);
    }
    if (file == "other") WriteFile(rig.ExchangeFile(), std::vector<uint8_t>(4096, 0x5A));
    const std::filesystem::path keep = rig.ExchangeFile().parent_path() / "oldFlash.bak";
    WriteFile(keep, {1, 2, 3});
    QTest::mouseClick(rig.Get("ExitBtn"), Qt::LeftButton);
    QVERIFY(!rig.window->isVisible());
    QVERIFY(rig.ctx.form.window.closed);
    QCOMPARE(std::filesystem::exists(rig.ExchangeFile()), file == "other");
    QVERIFY(std::filesystem::exists(keep));
    QVERIFY(rig.shell.messages.empty());
  }

  // Tab walks only over the controls a person sees: the engineering controls below the
  // window's edge join the chain when the window grows over them, the options when their panel
  // shows. Hidden and disabled controls are never visited.
  void tabWalksOnlyOverTheControlsInView_data() {
    QTest::addColumn<int>("state");
    QTest::addColumn<QStringList>("chain");
    const QStringList face{"YesBtn", "ExitBtn"};
    const QStringList strip{"FwFilenameEdit", "LoadBtn", "DeviceList", "ChipLabelEdit", "SFlashTypeLable",
                            "FwVerLableEdit", "StatusEdit", "DiskLetterLable"};
    const QStringList options{"EraseOnlyCheck", "BackupFWCheckBox", "SetPrdSNchk", "BackupFileEdit", "BackupBtn"};
    QTest::newRow("one-click face") << 0 << face;
    QTest::newRow("RD box revealed") << 1 << face + QStringList{"RdCheckBox"};
    QTest::newRow("RD panel open") << 2 << face + QStringList{"RdCheckBox"} + strip + options;
    QTest::newRow("RD panel closed again") << 3 << face + QStringList{"RdCheckBox"} + strip;
  }
  void tabWalksOnlyOverTheControlsInView() {
    QFETCH(int, state);
    QFETCH(QStringList, chain);
    Rig rig;
    rig.Start();
    if (state >= 1) OpenRdPanel(rig, state >= 2);
    if (state == 3) QTest::mouseClick(rig.Get("RdCheckBox"), Qt::LeftButton);
    QCOMPARE(TabChain(rig.window.get(), rig.Get("YesBtn")), chain);
    // Backwards it is the same ring.
    QWidget* last = rig.Get(chain.back().toStdString());
    QTest::keyClick(rig.Get("YesBtn"), Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), last);
  }

  // Alt+letter reaches a labelled control only while it is in view: below the window's edge the
  // Load File button opens no dialog, in the open panel it does; a caption's letter moves the
  // focus to its field.
  void mnemonicsReachOnlyTheControlsInView() {
    Rig rig;
    rig.Start();
    QApplication::setActiveWindow(rig.window.get());
    QTest::keyClick(rig.window.get(), Qt::Key_L, Qt::AltModifier);
    QTest::keyClick(rig.window.get(), Qt::Key_F, Qt::AltModifier);
    QTest::qWait(300);
    QVERIFY(rig.shell.dialogs.empty());
    QVERIFY(!rig.Get("FwFilenameEdit")->hasFocus());
    QVERIFY(!rig.Get<QPushButton>("LoadBtn")->text().contains('&'));

    OpenRdPanel(rig, true);
    QTest::keyClick(rig.window.get(), Qt::Key_F, Qt::AltModifier);
    QVERIFY(rig.Get("FwFilenameEdit")->hasFocus());
    // A button's mnemonic clicks it after a short press animation.
    QTest::keyClick(rig.window.get(), Qt::Key_L, Qt::AltModifier);
    QTRY_COMPARE(rig.shell.dialogs.size(), size_t(1));
    QVERIFY(!rig.Get<QCheckBox>("BackupFWCheckBox")->isChecked());
    QTest::keyClick(rig.window.get(), Qt::Key_B, Qt::AltModifier);
    QTRY_VERIFY(rig.ctx.form.BackupFWCheckBox.checked);
    QVERIFY(rig.Get<QCheckBox>("BackupFWCheckBox")->isChecked());

    // No two controls in view share a letter.
    QList<QKeySequence> keys;
    for (QAbstractButton* b : rig.window->findChildren<QAbstractButton*>()) {
      if (!b->isVisible()) continue;
      const QKeySequence key = QKeySequence::mnemonic(b->text());
      QVERIFY2(!key.isEmpty(), qPrintable(b->objectName()));
      QVERIFY2(!keys.contains(key), qPrintable(b->objectName()));
      keys << key;
    }
    for (QLabel* l : rig.window->findChildren<QLabel*>()) {
      if (!l->buddy()) continue;
      const QKeySequence key = QKeySequence::mnemonic(l->text());
      QVERIFY2(!key.isEmpty(), qPrintable(l->buddy()->objectName()));
      QVERIFY2(!keys.contains(key), qPrintable(l->buddy()->objectName()));
      keys << key;
    }
  }

  // Every control has a name a screen reader can say; no two controls that take the focus
  // share one.
  void everyControlHasAnAccessibleName() {
    Rig rig;
    rig.Start();
    OpenRdPanel(rig, true);
    QStringList focusable;
    for (const char* name : kAllControls) {
      QWidget* w = rig.Get(name);
      QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
      QVERIFY2(a, name);
      const QString said = a->text(QAccessible::Name);
      QVERIFY2(!said.trimmed().isEmpty(), name);
      QVERIFY2(!said.contains('&'), name);
      if (w->focusPolicy() & Qt::TabFocus) {
        QVERIFY2(!focusable.contains(said), qPrintable(QString(name) + ": " + said));
        focusable << said;
      }
    }
    QCOMPARE(QAccessible::queryAccessibleInterface(rig.Get("ChipLabelEdit"))->text(QAccessible::Name), QString("Chip"));
    QCOMPARE(QAccessible::queryAccessibleInterface(rig.Get("YesBtn"))->text(QAccessible::Name),
             QString("Update firmware to version 01.02.00.03"));
    QVERIFY(!rig.window->windowIcon().pixmap(32, 32).isNull());
  }

  // The window stays whole on its screen: where the screen has room it is exactly the form's
  // client size; where it is too short (a large scale factor, a small screen) the window stops
  // at the screen's edge and the content scrolls, so every control can still be reached. The
  // second case runs as the ui_tests_scaled test (QT_SCALE_FACTOR=2).
  void theWindowStaysWholeOnItsScreen() {
    Rig rig;
    rig.Start();
    OpenRdPanel(rig, true);
    const QRect screen = rig.window->screen()->availableGeometry();
    QVERIFY(screen.contains(rig.window->frameGeometry()));
    auto* scroll = rig.window->findChild<QScrollArea*>("Scroll");
    QVERIFY(scroll);
    const QSize client(398, 143 + app::kRdPanelHeight);
    QCOMPARE(scroll->widget()->size(), client);
    if (screen.height() >= client.height() && screen.width() >= client.width()) {
      QCOMPARE(rig.window->size(), client);
      QVERIFY(!scroll->verticalScrollBar()->isVisible());
      QVERIFY(!scroll->horizontalScrollBar()->isVisible());
      return;
    }
    QVERIFY(rig.window->height() <= screen.height());
    QVERIFY(scroll->verticalScrollBar()->isVisible());
    // Tab to the last control of the panel scrolls it into view.
    QWidget* browse = rig.Get("BackupBtn");
    QApplication::setActiveWindow(rig.window.get());
    rig.Get("YesBtn")->setFocus();
    for (int i = 0; i < 40 && !browse->hasFocus(); ++i) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QVERIFY(browse->hasFocus());
    const QRect seen(browse->mapTo(scroll->viewport(), QPoint(0, 0)), browse->size());
    QVERIFY(scroll->viewport()->rect().contains(seen));
  }

  void fileFiltersInTheDialogsForm_data() {
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("qt");
    QTest::newRow("the panel's filter") << "BinaryFile|*.bin|All Files|*.*|QVT Files|*.qvt"
                                        << "BinaryFile (*.bin);;All Files (*.*);;QVT Files (*.qvt)";
    QTest::newRow("one pair") << "BinaryFile|*.bin" << "BinaryFile (*.bin)";
    QTest::newRow("a name without a pattern") << "BinaryFile|*.bin|Odd" << "BinaryFile (*.bin)";
    QTest::newRow("empty") << "" << "";
  }
  void fileFiltersInTheDialogsForm() {
    QFETCH(QString, filter);
    QFETCH(QString, qt);
    QCOMPARE(QtFileFilter(filter.toStdString()), qt);
  }
};

}  // namespace qvfw::ui

QTEST_MAIN(qvfw::ui::MainWindowTest)
#include "MainWindowTest.moc"
