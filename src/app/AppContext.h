#pragma once
// Everything a handler works with: the main window's state and controls, the process-wide flash
// settings, the platform services, the transport built on them, the carried images and the
// front end's shell. One instance per program run.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/DeviceFacts.h"
#include "app/ExchangeFile.h"
#include "app/FlashSettings.h"
#include "app/Progress.h"
#include "app/ImageStore.h"
#include "app/MainForm.h"
#include "app/MainWindowState.h"
#include "app/Shell.h"
#include "device/Transport.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "platform/Disks.h"
#include "platform/PassThrough.h"

namespace qvfw::app {

// The four numbers of the program's own version; absent when the program carries none.
using ProgramVersion = std::optional<std::array<uint16_t, 4>>;

struct PlatformServices {
  platform::PassThrough& passThrough;
  platform::Clock& clock;
  platform::Diagnostics& diagnostics;
  platform::DiskEnumerator* disks = nullptr;    // absent where discovery is not available yet
  platform::DeviceMonitor* monitor = nullptr;
};

struct AppContext;

// Steps of the start-up that other parts of the program carry out. Each is called at its fixed
// place in the sequence; an empty one does nothing.
struct StartupHooks {
  std::function<void(AppContext&)> RefreshBtnClick;        // the device refresh
  std::function<void(AppContext&)> RdCheckBoxClick;        // the "RD Version" box handler
  std::function<void(AppContext&)> RegisterDeviceArrival;  // device notifications; sets DeviceNotifyHandle
  std::function<void(AppContext&)> UnregisterDeviceArrival;
};

struct AppContext {
  AppContext(const PlatformServices& services, Shell& shell, const ImageStore& images);
  AppContext(const AppContext&) = delete;
  AppContext& operator=(const AppContext&) = delete;

  MainWindowState state;
  MainForm form;
  FlashSettings flash;

  platform::PassThrough& passThrough;
  platform::Clock& clock;
  platform::Diagnostics& diagnostics;
  platform::DiskEnumerator* disks;
  platform::DeviceMonitor* monitor;
  device::Transport transport;  // over `passThrough`; pumps the shell's events between retries
  Shell& shell;
  const ImageStore& images;

  // The last scan of the machine and the facts of the device the last check inspected.
  ScanResult scan;
  std::optional<DeviceFacts> facts;
  // Set by a scan until the check that follows it has used the scan's identification.
  bool scanFresh = false;

  // Phases of the operation that runs; the command line draws its bar from them.
  Progress progress;
  // Device events that an operation took from the monitor while it waited; the window passes
  // them on to its device-change timer, as if it had drained them itself.
  std::function<void(platform::DeviceEvent)> deviceEventSink;

  StartupHooks hooks;
  // Where the configuration and the exchange file live: empty means the working directory.
  std::filesystem::path workingDirectory;
  // The exchange file's name in it: "ExChangeData.tmp"; each bridge of a parallel update has its own.
  // A run that finds the name taken (another run's file, or one left behind) uses a name of its own.
  std::string exchangeFileName = "ExChangeData.tmp";
  // The exchange file this run created, with the block it saved; removed when the window closes
  // (or the next update saves another).
  std::unique_ptr<OwnExchangeFile> exchange;
  // In a parallel update, the other bridges that restart with this one (their listed paths): they
  // may come back under this one's former path or it under theirs, so the wait does not rule
  // them out by path.
  std::vector<std::string> restartingTogether;
  // Where the identities of failed updates and the recovery copies of the flash are kept; empty:
  // the user's state directory.
  std::filesystem::path stateDirectory;
  // Where the per-device locks live ("/run/lock"; a persistent emulated machine's folder); empty:
  // no lock is taken.
  std::filesystem::path lockDirectory;
  ProgramVersion programVersion;  // the build's version unless a test says otherwise
  // Above 0 while a device must not be left alone: its flash is being written or its identity
  // restored. A front end asked to stop waits until it is 0 again.
  int criticalDepth = 0;

  // A device of the table, reached through the context's transport.
  device::Device DeviceAt(size_t record) const;
  // The record of the `DeviceList` selection (item 0 when nothing is selected).
  size_t SelectedRecord() const { return form.DeviceList.itemIndex < 0 ? 0 : static_cast<size_t>(form.DeviceList.itemIndex); }
};

// Changing the texts a user follows goes through these, so the front end hears of each change.
void SetStatusLine(AppContext& ctx, std::string text, Rgb colour);  // `devpnl`
void SetStatusText(AppContext& ctx, std::string text);              // `StatusEdit`
void AppendStatusText(AppContext& ctx, std::string_view more);
void SetProgress(AppContext& ctx, ProgressBar& bar, int position);
void StepProgress(AppContext& ctx, ProgressBar& bar);

}  // namespace qvfw::app
