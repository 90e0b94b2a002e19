#include "cli/Cli.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>

#include "app/DeviceList.h"
#include "app/FirmwareChoice.h"
#include "app/MainPresenter.h"
#include "app/OneClick.h"
#include "app/ProgramVersion.h"
#include "firmware/ChipTables.h"
#include "firmware/ImageMatch.h"
#include "platform/TracingPassThrough.h"
#include "platform/linux/SgPassThrough.h"
#include "platform/linux/UdevDisks.h"
#include "sim/Scenario.h"

namespace qvfw::cli {
namespace {

constexpr const char* kExitCodesHelp =
    "Exit codes:\n"
    "  0  success\n"
    "  1  the operation failed on the device\n"
    "  2  bad usage or bad input (missing or mismatched file)\n"
    "  3  no supported device\n";

const char* BusName(platform::Bus bus) {
  switch (bus) {
    case platform::Bus::Usb: return "USB";
    case platform::Bus::Uasp: return "UASP";
    case platform::Bus::Ieee1394: return "1394";
    case platform::Bus::Other: return "other";
  }
  return "other";
}

// The listed devices of the last refresh; the list holds a placeholder item when there is none.
size_t ListedCount(const app::AppContext& ctx) {
  if (!ctx.form.DeviceList.enabled) return 0;
  size_t n = 0;
  for (const std::string& item : ctx.form.DeviceList.items) n += item.empty() ? 0 : 1;
  return n;
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// The INQUIRY name of item `i`: the item text after its bus prefix.
std::string NameOf(const app::AppContext& ctx, size_t i) {
  const std::string& item = ctx.form.DeviceList.items[i];
  const size_t end = item.find(">> ");
  return Trim(end == std::string::npos ? item : item.substr(end + 3));
}

std::string ChipText(const app::DeviceRecord& r) {
  const firmware::ChipId id = firmware::ChipId::Unpack(r.ChipIdentity);
  std::string text(firmware::ChipName(id.type));
  if (id.revision) text += " rev " + std::to_string(id.revision);
  return text;
}

// Selects device `index` of the list and runs the firmware-choice check for it; false when the
// list has no such device.
bool Select(app::AppContext& ctx, int index, std::ostream& err) {
  const size_t listed = ListedCount(ctx);
  if (listed == 0) {
    err << "qvfw: No device found!!\n";
    return false;
  }
  if (static_cast<size_t>(index) >= listed) {
    err << "qvfw: there is no device " << index << " (" << listed << " listed)\n";
    return false;
  }
  if (index != ctx.form.DeviceList.itemIndex) {
    ctx.form.DeviceList.Select(index);
    app::UpdateBtnCheck(ctx);
  }
  return true;
}

volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

int ListCommand(Session& session, bool json, std::ostream& out, std::ostream& err) {
  app::AppContext& ctx = session.ctx();
  const size_t listed = ListedCount(ctx);
  if (json) {
    nlohmann::json devices = nlohmann::json::array();
    for (size_t i = 0; i < listed; ++i) {
      const app::DeviceRecord& r = ctx.state.DeviceTable[i];
      const firmware::ChipId id = firmware::ChipId::Unpack(r.ChipIdentity);
      devices.push_back({{"index", i},
                         {"bus", BusName(r.Bus)},
                         {"name", NameOf(ctx, i)},
                         {"chip", firmware::ChipName(id.type)},
                         {"chipType", id.type},
                         {"revision", id.revision},
                         {"path", std::string(r.Path.View())},
                         {"volumes", std::string(r.DriveLetters.View())}});
    }
    out << devices.dump(2) << '\n';
  } else {
    for (size_t i = 0; i < listed; ++i) {
      const app::DeviceRecord& r = ctx.state.DeviceTable[i];
      char line[512];
      std::snprintf(line, sizeof line, "%2zu  %-4s  %-24s  %-26s  %s  %s", i, BusName(r.Bus), NameOf(ctx, i).c_str(),
                    ChipText(r).c_str(), std::string(r.Path.View()).c_str(), std::string(r.DriveLetters.View()).c_str());
      out << Trim(line) << '\n';
    }
    if (listed > 0) out << "one-click: " << ctx.form.devpnl.text << '\n';
  }
  if (listed == 0) {
    err << "qvfw: No device found!!\n";
    return kExitNoDevice;
  }
  return kExitSuccess;
}

int InfoCommand(Session& session, bool json, std::ostream& out, std::ostream& err) {
  app::AppContext& ctx = session.ctx();
  if (!Select(ctx, session.options().device, err)) return kExitNoDevice;
  const app::MainForm& f = ctx.form;
  const app::MainWindowState& s = ctx.state;
  const auto& record = s.DeviceTable[static_cast<size_t>(f.DeviceList.itemIndex)];
  std::vector<std::string> options;
  for (const app::CheckBox* box : {&f.NVRAMCheck, &f.ReadWriteBufferChk, &f.SetPrdSNchk})
    if (box->visible) options.emplace_back(box->text);
  const bool flashShown = f.SFlashTypeLable.visible;
  if (json) {
    nlohmann::json j = {{"index", f.DeviceList.itemIndex},
                        {"path", std::string(record.Path.View())},
                        {"bus", BusName(record.Bus)},
                        {"chip", f.ChipLabelEdit.text},
                        {"chipType", s.CurrentChipType},
                        {"revision", s.ChipRevision},
                        {"flashVendor", flashShown ? f.SFlashTypeLable.text : ""},
                        {"flashSizeKiB", s.FlashSizeKiB},
                        {"firmwareVersion", f.FwVerLableEdit.visible ? f.FwVerLableEdit.text : ""},
                        {"driveLetters", f.DiskLetterLable.text},
                        {"status", f.StatusEdit.text},
                        {"options", options}};
    out << j.dump(2) << '\n';
  } else {
    out << "device:   " << f.DeviceList.itemIndex << "  " << record.Path.View() << '\n';
    out << "chip:     " << f.ChipLabelEdit.text << " (type " << int(s.CurrentChipType) << ", revision "
        << int(s.ChipRevision) << ")\n";
    if (flashShown) out << "flash:    " << f.SFlashTypeLable.text << ", " << s.FlashSizeKiB << " KiB\n";
    if (f.FwVerLableEdit.visible) out << "firmware: " << f.FwVerLableEdit.text << '\n';
    out << "volumes:  " << f.DiskLetterLable.text << '\n';
    if (!f.StatusEdit.text.empty()) out << "status:   " << f.StatusEdit.text << '\n';
    out << "options:  ";
    for (size_t i = 0; i < options.size(); ++i) out << (i ? ", " : "") << options[i];
    out << '\n';
  }
  return kExitSuccess;
}

int CheckCommand(Session& session, const std::string& image, std::ostream& out, std::ostream& err) {
  app::AppContext& ctx = session.ctx();
  if (!Select(ctx, session.options().device, err)) return kExitNoDevice;
  const auto& s = ctx.state;
  const auto signature = firmware::MatchFirmwareSignature(image, s.CurrentChipType, s.ChipRevision);
  if (signature == firmware::ImageCheck::CannotOpen) {
    err << "qvfw: " << image << ": Open Firmware File Error!!\n";
    return kExitUsage;
  }
  if (signature == firmware::ImageCheck::DoesNotFit) {
    err << "qvfw: " << image << ": The firmware file seems not match this chip! (" << ctx.form.ChipLabelEdit.text
        << ")\n";
    return kExitUsage;
  }
  if (firmware::ImageFitsFlash(image, static_cast<uint32_t>(s.FlashSizeKiB)) != firmware::ImageCheck::Fits) {
    std::error_code ec;
    err << "qvfw: " << image << ": The firmware file size is bigger than the flash size! ("
        << std::filesystem::file_size(image, ec) << " bytes, flash " << s.FlashSizeKiB << " KiB)\n";
    return kExitUsage;
  }
  out << image << ": fits " << ctx.form.ChipLabelEdit.text << " (flash " << s.FlashSizeKiB << " KiB)\n";
  return kExitSuccess;
}

}  // namespace

int UpdateCommand(Session& session, std::ostream& err) {
  app::AppContext& ctx = session.ctx();
  if (!Select(ctx, session.options().device, err)) return kExitNoDevice;
  app::TellOneClickReadiness(ctx);
  // The status line (printed as it changes) says why nothing is offered.
  if (!ctx.form.YesBtn.enabled) return ctx.form.devpnl.text == "Firmware already updated." ? kExitSuccess : kExitNoDevice;
  // From the first write to the flash until the identity is back, an interrupt must not leave
  // the device half-written: it is noted, the update finishes, then the program exits.
  g_interrupted = 0;
  auto previous = std::signal(SIGINT, OnInterrupt);
  bool told = false;
  session.shell().SetPump([&] {
    if (g_interrupted && !told) {
      told = true;
      err << "\nqvfw: interrupted: the update is finishing, please wait\n";
    }
  });
  app::YesBtnClick(ctx);
  session.shell().SetPump({});
  std::signal(SIGINT, previous);
  const bool passed = ctx.form.devpnl.text == "Update    Pass!!";
  // The device came back with the new firmware: the refresh now says so.
  if (passed) app::RefreshBtnClick(ctx);
  return passed ? kExitSuccess : kExitDeviceFailed;
}

Session::Session(const GlobalOptions& options, platform::PassThrough& backend, std::ostream& out, std::ostream& err,
                 bool outIsTerminal)
    : options_(options),
      shell_(out, err, outIsTerminal, options.verbose),
      diagnostics_(options.verbose ? static_cast<platform::Diagnostics&>(shell_) : quiet_) {
  Bind(backend);
}

Session::Session(const GlobalOptions& options, const PlatformParts& parts, std::ostream& out, std::ostream& err,
                 bool outIsTerminal)
    : options_(options),
      shell_(out, err, outIsTerminal, options.verbose),
      diagnostics_(options.verbose ? static_cast<platform::Diagnostics&>(shell_) : quiet_) {
  Bind(*parts.passThrough, parts.disks, parts.monitor, parts.clock);
}

Session::Session(const GlobalOptions& options, std::ostream& out, std::ostream& err, bool outIsTerminal)
    : options_(options),
      shell_(out, err, outIsTerminal, options.verbose),
      diagnostics_(options.verbose ? static_cast<platform::Diagnostics&>(shell_) : quiet_),
      native_(std::make_unique<platform::linux_os::SgPassThrough>(diagnostics_)),
      nativeDisks_(std::make_unique<platform::linux_os::UdevDiskEnumerator>(diagnostics_)) {
  Bind(*native_, nativeDisks_.get());
}

void Session::Bind(platform::PassThrough& backend, platform::DiskEnumerator* disks, platform::DeviceMonitor* monitor,
                   platform::Clock* clock) {
  platform::PassThrough* passThrough = &backend;
  if (options_.trace) {
    tracing_ = std::make_unique<platform::TracingPassThrough>(
        backend, [this](const std::string& line) { shell_.ErrorLine(line); });
    passThrough = tracing_.get();
  }
  const app::PlatformServices services{*passThrough, clock ? *clock : clock_, diagnostics_, disks, monitor};
  ctx_ = std::make_unique<app::AppContext>(services, shell_, images_);
  ctx_->transport.SetClock(clock ? *clock : clock_);
  app::InstallHandlers(*ctx_);
}

Session::~Session() {
  if (started_) {
    app::CloseMainWindow(*ctx_);
    app::DestroyMainWindow(*ctx_);
  }
  shell_.Finish();
}

void Session::Start() {
  started_ = true;
  app::ConstructMainWindow(*ctx_);
}

int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool outIsTerminal) {
  CLI::App app{"qvfw - firmware update tool for Qavion QV4077x bridge controllers"};
  app.set_version_flag("--version", std::string("qvfw ") + app::kBuildVersionText);
  app.footer(kExitCodesHelp);

  GlobalOptions options;
  std::string simDir;
  CLI::Option* sim = app.add_option("--sim", simDir, "Run against the emulated machine (optionally from DIR)")
                         ->expected(0, 1)
                         ->type_name("[=DIR]");
  app.add_flag("--trace", options.trace, "Trace every SCSI request on standard error");
  app.add_flag("-v", options.verbose, "Diagnostics on standard error");
  app.add_option("-d,--device", options.device, "Work on device N of the device list (default 0)")
      ->type_name("N")
      ->check(CLI::Range(0, static_cast<int>(app::kDeviceTableSize) - 1));

  bool json = false;
  std::string image;
  CLI::App* list = app.add_subcommand("list", "List the supported devices and whether the one-click update is offered");
  list->add_flag("--json", json, "Print the list as a JSON array");
  CLI::App* info = app.add_subcommand("info", "Show chip, flash, firmware version and options of the selected device");
  info->add_flag("--json", json, "Print the facts as a JSON object");
  CLI::App* check = app.add_subcommand("check", "Check a firmware image against the selected device");
  check->add_option("IMAGE", image, "The firmware image file")->required();
  CLI::App* update = app.add_subcommand("update", "Update the selected device to the firmware this program carries");
  app.require_subcommand(0, 1);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    return code == 0 ? kExitSuccess : kExitUsage;
  }
  if (sim->count() > 0) options.sim = simDir;
  if (app.get_subcommands().empty()) {
    out << app.help();
    return kExitSuccess;
  }
  auto run = [&](Session& session) {
    session.Start();
    if (list->parsed()) return ListCommand(session, json, out, err);
    if (info->parsed()) return InfoCommand(session, json, out, err);
    if (check->parsed()) return CheckCommand(session, image, out, err);
    if (update->parsed()) return UpdateCommand(session, err);
    return static_cast<int>(kExitSuccess);
  };
  // With --json standard output carries the document alone; the status texts go to standard error.
  std::ostream& status = json ? err : out;
  const bool terminal = json ? false : outIsTerminal;
  if (!options.sim) {
    Session session(options, status, err, terminal);
    return run(session);
  }
  // The emulated machine runs on virtual time: its waits cost nothing, and what they would have
  // taken on hardware is told at the end.
  platform::VirtualClock clock;
  std::unique_ptr<sim::EmulatedMachine> machine;
  try {
    machine = sim::EmulatedMachine::Open(*options.sim, clock);
  } catch (const std::exception& e) {
    err << "qvfw: --sim: " << e.what() << '\n';
    return kExitUsage;
  }
  int code;
  {
    sim::Machine& m = machine->machine();
    Session session(options, PlatformParts{&m, &m, &m, &clock}, status, err, terminal);
    code = run(session);
  }
  machine->Save();
  if (options.verbose) {
    char line[96];
    std::snprintf(line, sizeof line, "sim: %.3f s on the emulated hardware", static_cast<double>(clock.NowMs()) / 1000.0);
    err << line << '\n';
  }
  return code;
}

}  // namespace qvfw::cli
