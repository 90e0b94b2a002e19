#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>

#include "app/DeviceFacts.h"
#include "app/ImageStore.h"
#include "app/Wiring.h"
#include "frontend/Machines.h"
#include "platform/Diagnostics.h"
#include "platform/Writing.h"
#include "ui/qt/MainWindow.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("Qavion QV4077x Firmware Update Utility");
  // The desktop entry the window belongs to (its icon and name in the desktop's task list).
  QGuiApplication::setDesktopFileName("qvfw-gui");
  QCommandLineParser parser;
  parser.addHelpOption();
  // Qt's own version option would take -v, which is the diagnostics here.
  QCommandLineOption version("version", "Print the version and the carried firmware version.");
  parser.addOption(version);
  QCommandLineOption sim("sim", "Run against the emulated machine (optionally kept in DIR).", "DIR");
  QCommandLineOption simDefault("sim-default", "Run against the built-in emulated machine.");
  simDefault.setFlags(QCommandLineOption::HiddenFromHelp);
  QCommandLineOption verbose("v", "Diagnostics on standard error.");
  QCommandLineOption record("record", "Record everything said to the devices and their answers into FILE.", "FILE");
  QCommandLineOption recordAnonymous("record-anonymous",
                                     "Take serial numbers, world wide names and folder names out of the recording.");
  QCommandLineOption replay("replay", "Run against a recording: the devices answer as recorded, in strict order.", "FILE");
  QCommandLineOption replayRelaxed("replay-relaxed", "Let identification queries come in another order than recorded.");
  parser.addOption(sim);
  parser.addOption(simDefault);
  parser.addOption(verbose);
  parser.addOption(record);
  parser.addOption(recordAnonymous);
  parser.addOption(replay);
  parser.addOption(replayRelaxed);
  // "--sim" alone selects the built-in machine, as on the command line.
  QStringList args = QApplication::arguments();
  for (QString& a : args)
    if (a == "--sim") a = "--sim-default";
  parser.process(args);
  if (parser.isSet(version)) {
    const qvfw::app::EmbeddedImageStore carried;
    std::printf("%s\n", qvfw::app::VersionLine("qvfw-gui", carried).c_str());
    return 0;
  }

  try {
    qvfw::platform::StderrDiagnostics loud;
    qvfw::platform::NullDiagnostics quiet;
    qvfw::platform::Diagnostics& diag = parser.isSet(verbose) ? static_cast<qvfw::platform::Diagnostics&>(loud) : quiet;
    qvfw::frontend::MachineChoice choice;
    if (parser.isSet(sim)) choice.sim = parser.value(sim).toStdString();
    else if (parser.isSet(simDefault)) choice.sim = std::filesystem::path();
    if (parser.isSet(record)) choice.record = parser.value(record).toStdString();
    choice.recordAnonymous = parser.isSet(recordAnonymous);
    if (parser.isSet(replay)) choice.replay = parser.value(replay).toStdString();
    choice.replayRelaxed = parser.isSet(replayRelaxed);
    if (choice.recordAnonymous && choice.record.empty()) throw std::invalid_argument("--record-anonymous needs --record FILE");
    if (choice.replayRelaxed && choice.replay.empty()) throw std::invalid_argument("--replay-relaxed needs --replay FILE");
    {
      const qvfw::app::EmbeddedImageStore carried;
      choice.program = qvfw::app::VersionLine("qvfw-gui", carried);
    }
    choice.frontEnd = "qvfw-gui";
    const auto machine = qvfw::frontend::Machine::Open(choice, diag);
    qvfw::ui::QtShell shell(&diag);
    qvfw::app::WiringOptions wiring;
    wiring.diagnostics = &diag;
    wiring.stateDirectory = machine->StateDirectory();
    wiring.lockDirectory = machine->LockDirectory();
    qvfw::app::Application app(machine->parts(), shell, wiring);
    qvfw::ui::MainWindow window(app.ctx(), machine->virtualClock());
    shell.Attach(&window);
    // SIGINT, SIGTERM, SIGHUP and SIGQUIT close the window in order; during a write the window
    // says so and closes once the device is consistent again.
    qvfw::platform::SignalDeferral deferral(true);
    QTimer signalWatch;
    bool toldFinishing = false;
    bool toldDifference = false;
    QObject::connect(&signalWatch, &QTimer::timeout, [&] {
      // A replay that differs from its recording has no devices from then on: say why, once.
      if (!toldDifference) {
        if (const auto difference = machine->Difference()) {
          toldDifference = true;
          std::fprintf(stderr, "qvfw-gui: %s\n", difference->c_str());
          QMessageBox::warning(&window, "Replay", QString::fromStdString(*difference));
        }
      }
      const int s = qvfw::platform::PendingSignal();
      if (s == 0) return;
      if (qvfw::platform::Writing() && !toldFinishing) {
        toldFinishing = true;
        std::fprintf(stderr, "qvfw-gui: %s: the write is finishing, please wait\n", qvfw::platform::SignalWord(s));
        window.setWindowTitle(QApplication::applicationName() + " - the write is finishing, please wait");
      }
      window.close();
    });
    signalWatch.start(100);
    window.Start();
    window.show();
    int code = application.exec();
    signalWatch.stop();
    machine->Save();
    if (const auto problem = machine->Finish(code)) {
      if (!toldDifference || !machine->Difference()) std::fprintf(stderr, "qvfw-gui: %s\n", problem->c_str());
      if (code == 0) code = 1;
    }
    return code;
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, QApplication::applicationName(), QString::fromStdString(e.what()));
  } catch (...) {
    QMessageBox::critical(nullptr, QApplication::applicationName(), QString());
  }
  return 1;
}
