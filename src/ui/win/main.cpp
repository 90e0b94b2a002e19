// qvfw-gui.exe: the window on the window platform.
//   qvfw-gui [--sim[=DIR]] [-v] [--version] [--help]
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "app/DeviceFacts.h"
#include "app/ImageStore.h"
#include "app/Wiring.h"
#include "frontend/Machines.h"
#include "platform/Diagnostics.h"
#include "ui/win/NativeWindow.h"
#include "ui/win/ProgramFile.h"

namespace {

constexpr char kTitle[] = "Qavion QV4077x Firmware Update Utility";
constexpr char kUsage[] =
    "Usage: qvfw-gui [options]\n"
    "\n"
    "Options:\n"
    "  -h, --help     Displays help on commandline options.\n"
    "  --version      Print the version and the carried firmware version.\n"
    "  --sim[=DIR]    Run against the emulated machine (optionally kept in DIR).\n"
    "  -v             Diagnostics on standard error.\n";

// What a window program prints goes to the console it was started from, when there is one.
void Print(const std::string& text, FILE* stream) {
  if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
    std::freopen("CONOUT$", "w", stream);
  }
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
  bool verbose = false;
  std::optional<std::filesystem::path> simulated;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--version") {
      const qvfw::app::EmbeddedImageStore carried;
      Print(qvfw::app::VersionLine("qvfw-gui", carried) + "\n", stdout);
      return 0;
    }
    if (a == "-h" || a == "--help" || a == "/?") {
      Print(kUsage, stdout);
      return 0;
    }
    if (a == "-v") verbose = true;
    else if (a == "--sim") simulated = std::filesystem::path();
    else if (a.starts_with("--sim=")) simulated = std::filesystem::path(std::string(a.substr(6)));
    else {
      const std::string text = "qvfw-gui: unknown option " + std::string(a) + "\n\n" + kUsage;
      Print(text, stderr);
      ::MessageBoxA(nullptr, text.c_str(), kTitle, MB_OK | MB_ICONERROR);
      return 2;
    }
  }

  try {
    qvfw::platform::StderrDiagnostics loud;
    qvfw::platform::NullDiagnostics quiet;
    qvfw::platform::Diagnostics& diag =
        verbose ? static_cast<qvfw::platform::Diagnostics&>(loud) : static_cast<qvfw::platform::Diagnostics&>(quiet);
    // The bridges' commands go through raw SCSI pass-through, which the system grants to an
    // administrator's elevated process only: say so before the window finds nothing.
    if (!simulated && !qvfw::ui::win::RunsElevated()) {
      ::MessageBoxA(nullptr, qvfw::ui::win::kElevationText, kTitle, MB_OK | MB_ICONWARNING);
    }
    // The window takes the real machine's device notifications itself, on its own message loop.
    const auto machine = qvfw::frontend::Machine::Open(simulated, diag, false);
    qvfw::ui::win::WindowDeviceEvents events;
    qvfw::app::PlatformParts parts = machine->parts();
    if (!simulated) parts.monitor = &events;
    qvfw::ui::win::WinShell shell(verbose ? &diag : nullptr);
    qvfw::app::WiringOptions wiring;
    wiring.diagnostics = &diag;
    wiring.stateDirectory = machine->StateDirectory();
    wiring.lockDirectory = machine->LockDirectory();
    qvfw::app::Application app(parts, shell, wiring);
    // The caption tells the version the program file itself carries.
    app.ctx().programVersion = qvfw::ui::win::ProgramFileVersion();
    qvfw::ui::win::NativeWindow window(app.ctx(), machine->virtualClock(), simulated ? nullptr : &events, diag);
    if (!window.hwnd()) throw std::runtime_error("the window could not be created");
    shell.Attach(&window);
    window.Start(SW_SHOWNORMAL);
    const int code = window.Run();
    shell.Attach(nullptr);
    machine->Save();
    return code;
  } catch (const std::exception& e) {
    ::MessageBoxA(nullptr, e.what(), kTitle, MB_OK | MB_ICONERROR);
  } catch (...) {
    ::MessageBoxA(nullptr, "", kTitle, MB_OK | MB_ICONERROR);
  }
  return 1;
}
