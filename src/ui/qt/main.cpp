#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>

#include <cstdio>
#include <exception>
#include <memory>

#include "app/AppContext.h"
#include "app/FirmwareChoice.h"
#include "app/ImageStore.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "platform/linux/SgPassThrough.h"
#include "platform/linux/UdevDisks.h"
#include "ui/qt/MainWindow.h"
#include "sim/Scenario.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("Qavion QV4077x Firmware Update Utility");
  QCommandLineParser parser;
  parser.addHelpOption();
  QCommandLineOption sim("sim", "Run against the emulated machine (optionally kept in DIR).", "DIR");
  QCommandLineOption simDefault("sim-default", "Run against the built-in emulated machine.");
  simDefault.setFlags(QCommandLineOption::HiddenFromHelp);
  QCommandLineOption verbose("v", "Diagnostics on standard error.");
  parser.addOption(sim);
  parser.addOption(simDefault);
  parser.addOption(verbose);
  // "--sim" alone selects the built-in machine, as on the command line.
  QStringList args = QApplication::arguments();
  for (QString& a : args)
    if (a == "--sim") a = "--sim-default";
  parser.process(args);

  try {
    qvfw::platform::StderrDiagnostics loud;
    qvfw::platform::NullDiagnostics quiet;
    qvfw::platform::Diagnostics& diag = parser.isSet(verbose) ? static_cast<qvfw::platform::Diagnostics&>(loud) : quiet;
    qvfw::platform::SteadyClock steady;
    qvfw::platform::VirtualClock virtualClock;
    std::unique_ptr<qvfw::sim::EmulatedMachine> machine;
    std::unique_ptr<qvfw::platform::linux_os::SgPassThrough> sg;
    std::unique_ptr<qvfw::platform::linux_os::UdevDiskEnumerator> disks;
    std::unique_ptr<qvfw::platform::linux_os::UdevDeviceMonitor> monitor;
    const bool emulated = parser.isSet(sim) || parser.isSet(simDefault);
    qvfw::platform::PassThrough* passThrough = nullptr;
    qvfw::platform::DiskEnumerator* diskEnumerator = nullptr;
    qvfw::platform::DeviceMonitor* deviceMonitor = nullptr;
    qvfw::platform::Clock* clock = &steady;
    if (emulated) {
      machine = qvfw::sim::EmulatedMachine::Open(parser.isSet(sim) ? parser.value(sim).toStdString() : std::string(),
                                           virtualClock);
      passThrough = &machine->machine();
      diskEnumerator = &machine->machine();
      deviceMonitor = &machine->machine();
      clock = &virtualClock;
    } else {
      sg = std::make_unique<qvfw::platform::linux_os::SgPassThrough>(diag);
      disks = std::make_unique<qvfw::platform::linux_os::UdevDiskEnumerator>(diag);
      monitor = std::make_unique<qvfw::platform::linux_os::UdevDeviceMonitor>(diag);
      passThrough = sg.get();
      diskEnumerator = disks.get();
      deviceMonitor = monitor.get();
    }
    const qvfw::app::PlatformServices services{*passThrough, *clock, diag, diskEnumerator, deviceMonitor};
    qvfw::ui::QtShell shell(&diag);
    qvfw::app::EmbeddedImageStore images;
    qvfw::app::AppContext ctx(services, shell, images);
    ctx.transport.SetClock(services.clock);
    qvfw::app::InstallHandlers(ctx);
    qvfw::ui::MainWindow window(ctx, emulated ? &virtualClock : nullptr);
    shell.Attach(&window);
    window.Start();
    window.show();
    const int code = application.exec();
    if (machine) machine->Save();
    return code == 0 ? 0 : code;
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, QApplication::applicationName(), QString::fromStdString(e.what()));
  } catch (...) {
    QMessageBox::critical(nullptr, QApplication::applicationName(), QString());
  }
  return 1;
}
