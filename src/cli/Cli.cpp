#include "cli/Cli.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "app/Configuration.h"
#include "app/DeviceFacts.h"
#include "app/Engineering.h"
#include "app/MainPresenter.h"
#include "app/OneClick.h"
#include "app/ProgramVersion.h"
#include "app/UpdateAll.h"
#include "firmware/ImageMatch.h"
#include "frontend/Machines.h"
#include "platform/OsError.h"
#include "platform/Writing.h"

namespace qvfw::cli {
namespace {

using nlohmann::json;

constexpr const char* kExitCodesHelp =
    "Exit codes:\n"
    "  0  success (or nothing to do: the device already runs the carried firmware)\n"
    "  1  the operation failed on the device\n"
    "  2  bad usage or bad input (missing or mismatched file, unknown flash size)\n"
    "  3  no supported device\n"
    "  4  a device is there but nothing is offered for it (chip not supported,\n"
    "     firmware id not match, newer firmware on the device)\n"
    "\n"
    "update --all (or -d given several times) updates the bridges at once: 0 when every one\n"
    "passed or was current, 1 when any failed, 4 when one was not offered the update, 2 when\n"
    "two could not be told apart after their restart (the same serial number).\n"
    "\n"
    "A failed update keeps the bridge's identity in the state folder, $XDG_STATE_HOME/qvfw\n"
    "(~/.local/state/qvfw; /var/lib/qvfw as root) on Linux, %LOCALAPPDATA%\\qvfw on Windows;\n"
    "`qvfw recover` programs the carried firmware back with it.\n";

const char* BusName(platform::Bus bus) {
  switch (bus) {
    case platform::Bus::Usb: return "USB";
    case platform::Bus::Uasp: return "UASP";
    case platform::Bus::Ieee1394: return "1394";
    case platform::Bus::Other: return "other";
  }
  return "other";
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

std::string Hex4(uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", v);
  return text;
}

const char* FirmwareStateName(app::FirmwareState s) {
  switch (s) {
    case app::FirmwareState::Unread: return "unread";
    case app::FirmwareState::NotQavion: return "notQavion";
    case app::FirmwareState::Version: return "version";
    case app::FirmwareState::InternalCode: return "internalCode";
  }
  return "unread";
}

bool OfferedToRun(const app::OneClickVerdict& v) { return v.readiness == app::Readiness::Offered && !v.deviceNewer; }

// An outcome as the command line reports it: in the JSON document, or the status text on standard
// output and the reason on standard error. Returns the exit code it stands for.
json OutcomeJson(const app::Outcome& o) {
  return {{"code", app::OutcomeCodeName(o.code)},
          {"phase", app::PhaseName(o.phase)},
          {"status", o.statusText},
          {"reason", o.reason.empty() ? json(nullptr) : json(o.reason)},
          {"exitCode", ExitCodeOf(o.code)}};
}

void PrintOutcomeText(const app::Outcome& o, std::ostream& out, std::ostream& err) {
  if (!o.statusText.empty()) out << o.statusText << '\n';
  if (!o.reason.empty()) err << "qvfw: " << o.reason << '\n';
}

// The dual-bank repair the inspection ran: its text and outcome.
json RepairJson(const std::optional<app::BankRepairReport>& r) {
  if (!r) return nullptr;
  return {{"succeeded", r->succeeded},
          {"status", r->statusText.empty() ? json(nullptr) : json(r->statusText)},
          {"reason", r->reason.empty() ? json(nullptr) : json(r->reason)},
          {"recoveryFile", r->recoveryFile.empty() ? json(nullptr) : json(r->recoveryFile)}};
}

// The repair in a line of text: "FW Recovery successful!! (recovery copy of the flash: …)".
std::string RepairText(const app::BankRepairReport& r) {
  std::string text = r.statusText.empty() ? std::string("not done") : r.statusText;
  if (!r.reason.empty()) text += " (" + r.reason + ")";
  if (!r.recoveryFile.empty()) text += "; recovery copy of the flash as it was: " + r.recoveryFile;
  return text;
}

// The facts of every field the command line shows, with the same key names in every command.
json DeviceJson(const app::AppContext& ctx, const app::DeviceFacts& f) {
  const app::OneClickVerdict v = app::AssessOneClick(ctx, f);
  const std::string carried = app::CarriedVersionText(ctx);
  json flash = nullptr;
  if (f.flash) {
    flash = {{"vendor", f.flash->label.empty() ? std::string(chips::FlashVendorName(f.flash->vendor)) : f.flash->label},
             {"sizeKiB", f.flash->sizeKiB ? json(*f.flash->sizeKiB) : json(nullptr)}};
  }
  json options = json::array();
  if (f.options.nvram) options.push_back("includeNvram");
  if (f.options.readWriteBuffer) options.push_back("readWriteBuffer");
  if (f.options.productSn) options.push_back("productSerial");
  const std::string why = app::NotOfferedReason(v, carried);
  return {{"index", f.device.index},
          {"path", f.device.path},
          {"bus", BusName(f.device.bus)},
          {"name", Trim(f.device.name)},
          {"chip", {{"type", chips::Code(f.device.chip.type)}, {"name", f.chipText}, {"revision", f.device.chip.revision}}},
          {"flash", flash},
          {"firmware",
           {{"state", FirmwareStateName(f.firmware)},
            {"version", f.firmware == app::FirmwareState::Version ? json(f.version) : json(nullptr)}}},
          {"carriedVersion", carried},
          {"oneClick", {{"offered", OfferedToRun(v)}, {"reason", why.empty() ? json(nullptr) : json(why)}}},
          {"serial", f.serial ? json(*f.serial) : json(nullptr)},
          {"usb", f.usbIds ? json{{"vid", Hex4(f.usbIds->vid)}, {"pid", Hex4(f.usbIds->pid)}} : json(nullptr)},
          {"volumes", f.device.volumes},
          {"options", options},
          {"missing", f.missing},
          {"bankRepair", RepairJson(f.repair)}};
}

// Texts from devices and files need not be UTF-8 (an INQUIRY name, a serial number, a path): a
// byte that does not belong to a UTF-8 character is written as the four characters "\xNN", so
// the document is valid JSON and nothing of the text is lost.
std::string Utf8Escaped(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool whole = n > 0 && i + n <= text.size();
    for (size_t k = 1; whole && k < n; ++k) whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (whole && n > 1) {
      // Overlong forms, surrogates and values past U+10FFFF are not characters either.
      uint32_t cp = c & (0x7F >> n);
      for (size_t k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
      static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
      whole = cp >= kLeast[n] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    }
    if (whole) {
      out.append(text, i, n);
      i += n;
    } else {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
      ++i;
    }
  }
  return out;
}

void EscapeNonUtf8(json& j) {
  if (j.is_string()) {
    j = Utf8Escaped(j.get<std::string>());
  } else if (j.is_structured()) {
    for (auto& child : j) EscapeNonUtf8(child);
  }
}

void PrintJson(std::ostream& out, const char* command, json body) {
  json doc = {{"schemaVersion", kJsonSchemaVersion}, {"command", command}};
  doc.update(body);
  EscapeNonUtf8(doc);
  out << doc.dump(2) << '\n';
}

// An error ends the command: one line on standard error, or a JSON object on standard output.
int Fail(Session& session, std::ostream& out, std::ostream& err, const char* command, int code, const char* kind,
         const std::string& message) {
  if (session.options().json) {
    PrintJson(out, command, {{"error", {{"exitCode", code}, {"kind", kind}, {"message", message}}}});
  } else {
    session.shell().Finish();
    err << "qvfw: " << message << '\n';
  }
  return code;
}

// Where a machine with bridges lists none, what stood in the way and what to do about it.
std::string AccessRemedy(const device::AccessReport& a) {
  std::string text;
  if (a.permissionDenied) {
    text += std::to_string(a.permissionDenied) + " disk(s) " + std::string(platform::AccessRemedy());
  }
  if (a.withoutNode) {
    if (!text.empty()) text += "; ";
    text += std::to_string(a.withoutNode) + " disk(s) have no SCSI generic node: load the sg module (modprobe sg)";
  }
  return text;
}

int NoDevice(Session& session, std::ostream& out, std::ostream& err, const char* command) {
  std::string message = "No device found!!";
  const std::string remedy = AccessRemedy(session.ctx().scan.access);
  if (!remedy.empty()) message += " (" + remedy + ")";
  return Fail(session, out, err, command, kExitNoDevice, "noDevice", message);
}

std::optional<size_t> Resolve(Session& session, const std::string& d, std::ostream& out, std::ostream& err,
                              const char* command, int& code);

// The listed device that `-d` names: an index of the list, or a path.
std::optional<size_t> Selected(Session& session, std::ostream& out, std::ostream& err, const char* command,
                               int& code) {
  const auto& devices = session.ctx().scan.devices;
  if (devices.empty()) {
    code = NoDevice(session, out, err, command);
    return std::nullopt;
  }
  if (session.options().devices.size() > 1) {
    code = Fail(session, out, err, command, kExitUsage, "usage",
                std::string("-d is given once for ") + command + "; only update works on several devices");
    return std::nullopt;
  }
  return Resolve(session, session.options().device, out, err, command, code);
}

// The listed device that one -d value names: an index of the list, or a path; item 0 for none.
std::optional<size_t> Resolve(Session& session, const std::string& d, std::ostream& out, std::ostream& err,
                              const char* command, int& code) {
  const auto& devices = session.ctx().scan.devices;
  if (d.empty()) return 0;
  if (d.find_first_not_of("0123456789") == std::string::npos && d.size() < 6) {
    const size_t index = std::stoul(d);
    if (index < devices.size()) return index;
    code = Fail(session, out, err, command, kExitUsage, "usage",
                "there is no device " + d + " (" + std::to_string(devices.size()) + " listed)");
    return std::nullopt;
  }
  for (const auto& listed : devices)
    if (listed.path == d) return listed.index;
  code = Fail(session, out, err, command, kExitUsage, "usage", "no listed device has the path " + d);
  return std::nullopt;
}

// The facts of listed device `index`. The scan's own inspection of item 0 is reused; any other
// device is inspected now, as choosing it in the window's list does.
app::DeviceFacts FactsOf(Session& session, size_t index, bool identity) {
  app::AppContext& ctx = session.ctx();
  if (!ctx.facts || ctx.facts->device.index != index) {
    ctx.form.DeviceList.Select(static_cast<int>(index));
    ctx.facts = app::InspectDevice(ctx, ctx.scan.devices[index], true);
  }
  app::DeviceFacts facts = *ctx.facts;
  if (identity) app::ReadIdentityFacts(ctx, facts);
  return facts;
}

int ListCommand(Session& session, std::ostream& out, std::ostream& err) {
  app::AppContext& ctx = session.ctx();
  if (ctx.scan.devices.empty()) return NoDevice(session, out, err, "list");
  std::vector<app::DeviceFacts> all;
  for (size_t i = 0; i < ctx.scan.devices.size(); ++i) all.push_back(FactsOf(session, i, true));
  if (session.options().json) {
    json devices = json::array();
    for (const auto& f : all) devices.push_back(DeviceJson(ctx, f));
    PrintJson(out, "list", {{"devices", devices}});
    return kExitSuccess;
  }
  const std::string carried = app::CarriedVersionText(ctx);
  for (const auto& f : all) {
    std::string chip = f.chipText;
    if (f.device.chip.revision) chip += " rev " + std::to_string(f.device.chip.revision);
    char line[512];
    std::snprintf(line, sizeof line, "%2zu  %-4s  %-24s  %-26s  %s  %s", f.device.index, BusName(f.device.bus),
                  Trim(f.device.name).c_str(), chip.c_str(), f.device.path.c_str(), f.device.volumes.c_str());
    out << Trim(line) << '\n';
    const app::OneClickVerdict v = app::AssessOneClick(ctx, f);
    std::string firmware = f.FirmwareText();
    out << "    firmware " << (firmware.empty() ? "unknown" : firmware) << "; one-click update to " << carried << ": "
        << (OfferedToRun(v) ? "offered" : "not offered (" + app::NotOfferedReason(v, carried) + ")") << '\n';
    if (f.repair) out << "    firmware bank repair: " << RepairText(*f.repair) << '\n';
    for (const std::string& m : f.missing) out << "    not identified: " << m << '\n';
  }
  return kExitSuccess;
}

int InfoCommand(Session& session, std::ostream& out, std::ostream& err) {
  int code = kExitSuccess;
  const auto index = Selected(session, out, err, "info", code);
  if (!index) return code;
  const app::DeviceFacts f = FactsOf(session, *index, true);
  if (session.options().json) {
    PrintJson(out, "info", {{"device", DeviceJson(session.ctx(), f)}});
    return kExitSuccess;
  }
  out << "device:   " << f.device.index << "  " << f.device.path << " (" << BusName(f.device.bus) << ")\n";
  out << "chip:     " << f.chipText << " (type " << int(chips::Code(f.device.chip.type)) << ", revision "
      << int(f.device.chip.revision) << ")\n";
  if (f.flash) {
    out << "flash:    " << (f.flash->label.empty() ? "unknown maker" : f.flash->label) << ", "
        << (f.flash->sizeKiB ? std::to_string(*f.flash->sizeKiB) + " KiB" : std::string("size unknown")) << '\n';
  }
  if (f.versionShown) out << "firmware: " << (f.FirmwareText().empty() ? "unknown" : f.FirmwareText()) << '\n';
  if (f.serial) out << "serial:   " << *f.serial << '\n';
  if (f.usbIds) out << "usb:      " << Hex4(f.usbIds->vid) << ':' << Hex4(f.usbIds->pid) << '\n';
  out << "volumes:  " << f.device.volumes << '\n';
  if (!f.statusText.empty()) out << "status:   " << f.statusText << '\n';
  if (f.repair) out << "repair:   " << RepairText(*f.repair) << '\n';
  for (const std::string& m : f.missing) out << "missing:  " << m << '\n';
  std::vector<std::string> options;
  if (f.options.nvram) options.emplace_back("Include 4K NVRAM");
  if (f.options.readWriteBuffer) options.emplace_back("Read/Write Buffer");
  if (f.options.productSn) options.emplace_back("Setting ProductSN(In-Code)");
  out << "options:  ";
  for (size_t i = 0; i < options.size(); ++i) out << (i ? ", " : "") << options[i];
  out << '\n';
  return kExitSuccess;
}

// From the first write until the device is consistent again, SIGINT, SIGTERM, SIGHUP and SIGQUIT
// are noted, not obeyed: the work finishes, the user is told once, and the program ends after
// (main raises the noted signal again once everything is saved).
class DeferredSignals {
 public:
  DeferredSignals(Session& session, std::ostream& err, std::string what) : deferral_(false), session_(session) {
    session.shell().SetPump([this, &err, what = std::move(what)] {
      const int s = platform::PendingSignal();
      if (s && !told_) {
        told_ = true;
        session_.shell().Finish();
        err << "qvfw: " << platform::SignalWord(s) << ": " << what << " is finishing, please wait\n";
      }
    });
  }
  ~DeferredSignals() { session_.shell().SetPump({}); }
  DeferredSignals(const DeferredSignals&) = delete;
  DeferredSignals& operator=(const DeferredSignals&) = delete;

 private:
  platform::SignalDeferral deferral_;
  Session& session_;
  bool told_ = false;
};

// The verdict of `check` as an error of the command line: nothing when the image fits. `program`
// gives the same one before it starts.
std::optional<int> RefuseImage(Session& session, const app::DeviceFacts& f, const app::ImageVerdict& v,
                               const std::string& image, const char* command, const std::string& more,
                               std::ostream& out, std::ostream& err) {
  using Kind = app::ImageVerdict::Kind;
  switch (v.kind) {
    case Kind::Fits: return std::nullopt;
    case Kind::CannotOpen:
      return Fail(session, out, err, command, kExitUsage, "badInput", image + ": " + v.text + more);
    case Kind::NotForChip:
      return Fail(session, out, err, command, kExitUsage, "badInput", image + ": " + v.text + " (" + f.chipText + ")" + more);
    case Kind::UnknownFlashSize:
      return Fail(session, out, err, command, kExitUsage, "unknownFlashSize",
                  image + ": the flash size of this device is unknown, so the image cannot be checked against it (" +
                      f.chipText + ")" + more);
    case Kind::TooLarge:
      return Fail(session, out, err, command, kExitUsage, "badInput",
                  image + ": " + v.text + " (" + std::to_string(v.imageBytes) + " bytes, flash " +
                      std::to_string(*v.flashKiB) + " KiB)" + more);
  }
  return std::nullopt;
}

// Facts that one refused or lost answer may have bent: no verdict and no run on them.
std::optional<int> RefuseIncomplete(Session& session, const app::DeviceFacts& f, const char* command,
                                    const std::string& nothing, std::ostream& out, std::ostream& err) {
  if (f.Complete()) return std::nullopt;
  std::string what;
  for (const std::string& m : f.missing) what += (what.empty() ? "" : "; ") + m;
  return Fail(session, out, err, command, kExitDeviceFailed, "unidentified", "could not identify " + what + nothing);
}

std::istream* g_answers = nullptr;

}  // namespace

void SetInteractiveInput(std::istream* in) { g_answers = in; }

namespace {

// What an engineering command will do, in words, for the question before it starts. `diskArea`:
// the device keeps its firmware on the attached disk. Only the chips that offer "Include 4K NVRAM"
// keep their 4 KiB NVRAM through every operation.
// `overNvram`: the image has no NVRAM head and is written from address 0 over the device's
// NVRAM, which the run does not keep. Without a recovery copy the change cannot be undone, and the
// question says so.
std::string PlannedWork(const EngineeringRequest& r, bool diskArea, bool offersNvram, bool overNvram) {
  const std::string unrecoverable =
      r.options.skipRecovery ? ". No recovery copy is kept (--no-backup): what the device holds now cannot be brought back"
                             : "";
  const std::string nvram = !r.options.nvramFrom.empty() ? " (the 4 KiB NVRAM is taken from " + r.options.nvramFrom + ")"
                            : r.options.includeNvram   ? " (its NVRAM area included)"
                                                       : " (the device's 4 KiB NVRAM is kept)";
  if (diskArea) {
    const std::string where = " the firmware area near the end of the attached disk";
    if (r.kind == EngineeringRequest::Kind::Erase) return "erase the first 64 KiB of" + where + unrecoverable;
    if (r.kind == EngineeringRequest::Kind::Program) return "program " + r.options.firmwareFile + " into" + where + unrecoverable;
  }
  switch (r.kind) {
    case EngineeringRequest::Kind::Erase:
      return std::string("erase the whole flash") + (offersNvram ? nvram : "") + unrecoverable;
    case EngineeringRequest::Kind::Backup: return "read the flash into " + (r.options.backupFile.empty() ? std::string("oldFlash.bak") : r.options.backupFile);
    case EngineeringRequest::Kind::Program:
      if (overNvram)
        return "erase the flash and program " + r.options.firmwareFile +
               " from address 0: the image has no NVRAM head, so it is written over the device's 4 KiB NVRAM, which "
               "is not kept" +
               unrecoverable;
      return "erase the flash and program " + r.options.firmwareFile + (offersNvram ? nvram : "") + unrecoverable;
  }
  return {};
}

// A word as a POSIX shell reads it back: as it is when it is plain, else in single quotes.
std::string ShellWord(const std::string& word) {
  const bool plain = !word.empty() && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                             "0123456789_-./:=+,@%") == std::string::npos;
  if (plain) return word;
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The command that writes the flash as it was back into the device: a bridge of the buffer family
// left on its boot code takes it through recover --image (its flash answers only from RAM then);
// every other one through program, with the whole copy, NVRAM area included where that is a
// choice.
std::string RestoreCommand(const app::DeviceFacts& f, const std::string& copy) {
  const std::string device = "qvfw -d " + ShellWord(f.device.path) + " ";
  if (chips::InGroup(f.device.chip.type, chips::kBufferFamily)) return device + "recover --image " + ShellWord(copy);
  return device + "program " + (f.options.nvram ? "--include-nvram " : "") + ShellWord(copy);
}

const char* CommandName(EngineeringRequest::Kind k) {
  switch (k) {
    case EngineeringRequest::Kind::Erase: return "erase";
    case EngineeringRequest::Kind::Backup: return "backup";
    case EngineeringRequest::Kind::Program: return "program";
  }
  return "?";
}

}  // namespace

int EngineeringCommand(Session& session, const EngineeringRequest& request, std::ostream& out, std::ostream& err) {
  app::AppContext& ctx = session.ctx();
  const char* command = CommandName(request.kind);
  int code = kExitSuccess;
  const auto index = Selected(session, out, err, command, code);
  if (!index) return code;
  const app::DeviceFacts facts = FactsOf(session, *index, false);
  app::EngineeringOptions options = request.options;
  options.eraseOnly = request.kind == EngineeringRequest::Kind::Erase;
  options.backupOnly = request.kind == EngineeringRequest::Kind::Backup;
  options.stateDirectory = ctx.stateDirectory;
  // The QVS812 line keeps its first 4 KiB through an erase unless told otherwise, as the window's
  // panel can.
  const bool bufferLineErase =
      request.kind == EngineeringRequest::Kind::Erase && chips::InGroup(facts.device.chip.type, chips::kBufferFamily);
  if (options.includeNvram && !facts.options.nvram && !bufferLineErase)
    return Fail(session, out, err, command, kExitUsage, "usage", "--include-nvram is not offered for this chip");
  if (!options.nvramFrom.empty() && options.includeNvram)
    return Fail(session, out, err, command, kExitUsage, "usage",
                "--nvram-from keeps an NVRAM, --include-nvram rewrites it: give one of them");
  if (options.readWriteBuffer && !facts.options.readWriteBuffer)
    return Fail(session, out, err, command, kExitUsage, "usage", "--buffer is not offered for this chip");
  if (!options.productSnInCode && !facts.options.productSn)
    return Fail(session, out, err, command, kExitUsage, "usage", "--no-product-sn is not offered for this chip");

  const std::string nothing =
      request.kind == EngineeringRequest::Kind::Backup ? "; nothing was read" : "; nothing was written";
  if (auto refused = RefuseIncomplete(session, facts, command, nothing, out, err)) return *refused;
  // The window's Run needs an image that passes the signature check for the chip and fits the
  // flash: `program` asks the same as `check`.
  if (request.kind == EngineeringRequest::Kind::Program && !request.force) {
    const app::ImageVerdict v = app::CheckImage(ctx, facts, options.firmwareFile);
    if (auto refused = RefuseImage(session, facts, v, options.firmwareFile, command,
                                   "; nothing was written (--force programs it all the same)", out, err))
      return *refused;
  }

  if (request.kind != EngineeringRequest::Kind::Backup && !request.yes) {
    if (!g_answers) {
      return Fail(session, out, err, command, kExitUsage, "usage",
                  std::string(command) + " changes the flash: confirm with --yes when there is no terminal to ask on");
    }
    session.shell().Finish();
    const std::string firmware = facts.FirmwareText();
    err << "device:   " << facts.device.path << " (" << facts.device.name << ")\n"
        << "chip:     " << facts.chipText << "\n"
        << "firmware: " << (firmware.empty() ? "unknown" : firmware) << "\n"
        << "This will "
        << PlannedWork(request,
                       facts.device.chip.type == chips::ChipType::QV40776E &&
                           (!facts.flash || facts.flash->vendor == chips::FlashVendor::Unknown),
                       facts.options.nvram || bufferLineErase, app::WritesOverNvram(ctx, *index, options))
        << ". Continue? [y/N] " << std::flush;
    std::string answer;
    std::getline(*g_answers, answer);
    if (answer != "y" && answer != "Y" && answer != "yes") {
      err << "qvfw: nothing was changed\n";
      return kExitUsage;
    }
  }

  const app::EngineeringOutcome run = [&] {
    DeferredSignals deferred(session, err, std::string("the ") + command);
    return app::RunEngineering(ctx, *index, options);
  }();
  const app::Outcome& o = run.outcome;
  session.shell().Finish();
  // An erase leaves the device without firmware, a failed write with part of one: the way back.
  const bool changed = request.kind == EngineeringRequest::Kind::Erase ? o.Succeeded()
                       : request.kind == EngineeringRequest::Kind::Program ? !o.Succeeded()
                                                                            : false;
  const std::string restore = changed && !run.recoveryFile.empty() ? RestoreCommand(facts, run.recoveryFile) : std::string();
  if (session.options().json) {
    PrintJson(out, command,
              {{"device", DeviceJson(ctx, facts)},
               {"outcome",
                {{"code", app::OutcomeCodeName(o.code)},
                 {"phase", app::PhaseName(o.phase)},
                 {"status", o.statusText},
                 {"reason", o.reason.empty() ? json(nullptr) : json(o.reason)},
                 {"recoveryFile", run.recoveryFile.empty() ? json(nullptr) : json(run.recoveryFile)},
                 {"restoreCommand", restore.empty() ? json(nullptr) : json(restore)},
                 {"backupFile", run.backupFile.empty() ? json(nullptr) : json(run.backupFile)},
                 {"exitCode", ExitCodeOf(o.code)}}}});
  } else {
    // The window's texts may end in line breaks of their own ("Compare Fail!!\r\n\r\n"): one line here.
    std::string status = o.statusText;
    while (!status.empty() && (status.back() == '\r' || status.back() == '\n')) status.pop_back();
    if (!status.empty()) out << status << '\n';
    if (!run.backupFile.empty()) out << "backup: " << run.backupFile << '\n';
    if (!run.recoveryFile.empty()) out << "recovery copy of the flash as it was: " << run.recoveryFile << '\n';
    if (!restore.empty()) out << "to write it back: " << restore << '\n';
    if (!o.reason.empty()) err << "qvfw: " << o.reason << '\n';
  }
  return ExitCodeOf(o.code);
}

namespace {

int CheckCommand(Session& session, const std::string& image, std::ostream& out, std::ostream& err) {
  int code = kExitSuccess;
  const auto index = Selected(session, out, err, "check", code);
  if (!index) return code;
  const app::DeviceFacts f = FactsOf(session, *index, false);
  if (auto refused = RefuseIncomplete(session, f, "check", "; the image was not checked", out, err)) return *refused;
  const app::ImageVerdict v = app::CheckImage(session.ctx(), f, image);
  if (auto refused = RefuseImage(session, f, v, image, "check", "", out, err)) return *refused;
  if (session.options().json) {
    PrintJson(out, "check",
              {{"device", DeviceJson(session.ctx(), f)},
               {"image", {{"path", image}, {"sizeBytes", v.imageBytes}}},
               {"fits", true}});
  } else if (v.flashKiB) {
    out << image << ": fits " << f.chipText << " (flash " << *v.flashKiB << " KiB)\n";
  } else {
    out << image << ": fits " << f.chipText << " (firmware area on the disk)\n";
  }
  return kExitSuccess;
}

// The machine could not be opened, so there is no session to report through: the error as `Fail`
// would print it. `context` comes before the message on standard error.
int NoMachine(bool asJson, const char* command, int code, const char* kind, const std::string& message,
              const char* context, std::ostream& out, std::ostream& err) {
  if (asJson) {
    PrintJson(out, command, {{"error", {{"exitCode", code}, {"kind", kind}, {"message", message}}}});
  } else {
    err << "qvfw: " << context << message << '\n';
  }
  return code;
}

// The command as a recording keeps it: the arguments without those that choose the machine or
// ask for the recording, so that the same command replays against it.
std::vector<std::string> RecordedArguments(const std::vector<std::string>& args) {
  std::vector<std::string> kept;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--record" || a == "--replay") {
      ++i;
      continue;
    }
    if (a.rfind("--record=", 0) == 0 || a.rfind("--replay=", 0) == 0 || a == "--record-anonymous" ||
        a == "--replay-relaxed")
      continue;
    kept.push_back(a);
  }
  return kept;
}

// The native machine's diagnostics reach the session's shell once there is one.
struct ForwardDiagnostics final : platform::Diagnostics {
  platform::Diagnostics* to = nullptr;
  void Line(std::string_view text) override {
    if (to) to->Line(text);
  }
};


}  // namespace

int ExitCodeOf(app::OutcomeCode code) {
  switch (code) {
    case app::OutcomeCode::Success:
    case app::OutcomeCode::AlreadyCurrent: return kExitSuccess;
    case app::OutcomeCode::Failed: return kExitDeviceFailed;
    case app::OutcomeCode::BadInput: return kExitUsage;
    case app::OutcomeCode::NoDevice: return kExitNoDevice;
    case app::OutcomeCode::NotOffered:
    case app::OutcomeCode::NotAvailable: return kExitNotOffered;
  }
  return kExitDeviceFailed;
}

int UpdateCommand(Session& session, std::ostream& out, std::ostream& err, bool allowDowngrade) {
  app::AppContext& ctx = session.ctx();
  int code = kExitSuccess;
  const auto index = Selected(session, out, err, "update", code);
  if (!index) return code;
  const app::DeviceFacts facts = FactsOf(session, *index, false);
  const app::OneClickVerdict verdict = app::AssessOneClick(ctx, facts);
  const std::string carried = app::CarriedVersionText(ctx);
  auto report = [&](const app::Outcome& o) {
    session.shell().Finish();
    if (session.options().json) {
      PrintJson(out, "update", {{"device", DeviceJson(ctx, facts)}, {"outcome", OutcomeJson(o)}});
    } else {
      PrintOutcomeText(o, out, err);
    }
    return ExitCodeOf(o.code);
  };

  if (verdict.readiness != app::Readiness::Offered || (verdict.deviceNewer && !allowDowngrade)) {
    const app::OutcomeCode c = verdict.readiness == app::Readiness::AlreadyCurrent ? app::OutcomeCode::AlreadyCurrent
                                                                                   : app::OutcomeCode::NotOffered;
    std::string why = app::NotOfferedReason(verdict, carried);
    if (verdict.deviceNewer) why += " (--allow-downgrade programs it all the same)";
    return report(app::Outcome{c, app::Phase::Identity, verdict.statusText,
                               c == app::OutcomeCode::AlreadyCurrent ? app::kGreen : app::kRed,
                               c == app::OutcomeCode::AlreadyCurrent ? std::string() : why});
  }
  // From the first write to the flash until the identity is back, a signal must not leave the
  // device half-written: it is noted, the update finishes, then the program exits.
  app::Outcome outcome;
  {
    DeferredSignals deferred(session, err, "the update");
    ctx.state.UpdateBusy = 1;
    SetStatusLine(ctx, "Updating firmware. Please wait...", app::kBlue);
    outcome = app::RunOneClick(ctx, *index, app::OneClickOptions{session.options().force});
    ctx.state.UpdateBusy = 0;
  }
  const int exit = report(outcome);
  if (outcome.Succeeded() && !session.options().json && !platform::PendingSignal()) {
    // The device came back with the new firmware: a fresh look says so.
    ctx.scan = app::ScanDevices(ctx);
    ctx.facts.reset();
    for (const auto& d : ctx.scan.devices) {
      const app::DeviceFacts now = FactsOf(session, d.index, false);
      if (now.device.chip.type != chips::ChipType::QVS812) continue;
      const app::OneClickVerdict after = app::AssessOneClick(ctx, now);
      if (after.readiness == app::Readiness::AlreadyCurrent) {
        out << after.statusText << '\n';
        break;
      }
    }
  }
  return exit;
}

namespace {

// What a bridge's outcome says in the summary.
std::string SummaryWords(const app::BridgeUpdate& b) {
  const app::Outcome& o = b.outcome;
  switch (o.code) {
    case app::OutcomeCode::Success: return "passed";
    case app::OutcomeCode::AlreadyCurrent: return "already current";
    case app::OutcomeCode::Failed: return "FAILED: " + o.reason;
    default: return "skipped: " + o.reason;
  }
}

json BridgeJson(const app::BridgeUpdate& b) {
  return {{"index", b.index},
          {"path", b.path},
          {"backPath", b.backPath.empty() ? json(nullptr) : json(b.backPath)},
          {"serial", b.serial ? json(*b.serial) : json(nullptr)},
          {"from", b.from.empty() ? json(nullptr) : json(b.from)},
          {"to", b.to},
          {"updated", b.updated},
          {"outcome", OutcomeJson(b.outcome)}};
}

}  // namespace

int UpdateAllCommand(Session& session, std::ostream& out, std::ostream& err, bool all, bool allowDowngrade) {
  app::AppContext& ctx = session.ctx();
  const char* command = "update";
  const auto& devices = ctx.scan.devices;
  if (devices.empty()) return NoDevice(session, out, err, command);
  std::vector<size_t> indices;
  if (all) {
    for (const auto& d : devices) indices.push_back(d.index);
  } else {
    for (const std::string& d : session.options().devices) {
      int code = kExitSuccess;
      const auto index = Resolve(session, d, out, err, command, code);
      if (!index) return code;
      // A bridge named twice (by its index and its path, say) is updated once.
      if (std::find(indices.begin(), indices.end(), *index) == indices.end()) indices.push_back(*index);
    }
  }

  // On a terminal one line follows the whole run; each bridge's end is told as it comes.
  std::vector<app::ProgressView> views(indices.size());
  size_t ended = 0;
  app::UpdateAllOptions options;
  options.allowDowngrade = allowDowngrade;
  options.force = session.options().force;
  options.progress = [&](size_t slot, const app::ProgressView& v) {
    views[slot] = v;
    double sum = 0;
    for (const auto& view : views) sum += view.fraction;
    session.shell().ShowProgress(sum / static_cast<double>(views.size()),
                                 std::to_string(ended) + " of " + std::to_string(views.size()) + " bridges done");
  };
  options.finished = [&](size_t slot, const app::BridgeUpdate& b) {
    views[slot].fraction = 1;
    ++ended;
    if (!b.updated) return;
    session.shell().ErrorLine("[" + std::to_string(b.index) + "] " + b.path + ": " + b.outcome.statusText +
                              (b.outcome.reason.empty() ? std::string() : " (" + b.outcome.reason + ")"));
  };
  app::UpdateAllResult run;
  {
    DeferredSignals deferred(session, err, "the update");
    run = app::UpdateBridges(ctx, indices, options);
  }
  session.shell().Finish();
  if (!run.refusal.empty()) return Fail(session, out, err, command, kExitUsage, "indistinctBridges", run.refusal);

  size_t passed = 0, current = 0, failed = 0, skipped = 0, notOffered = 0;
  for (const auto& b : run.bridges) {
    switch (b.outcome.code) {
      case app::OutcomeCode::Success: ++passed; break;
      case app::OutcomeCode::AlreadyCurrent: ++current; break;
      case app::OutcomeCode::Failed: ++failed; break;
      default:
        ++skipped;
        // --all selects the bridges the carried firmware is for: one of another family is listed
        // and left alone; one named with -d was asked for and not offered.
        if (!all || b.readiness != app::Readiness::ChipNotSupported) ++notOffered;
        break;
    }
  }
  // Nothing of the family among them at all: nothing was offered, as for a single update.
  const int exit = failed ? kExitDeviceFailed : (notOffered || passed + current == 0) ? kExitNotOffered : kExitSuccess;
  if (session.options().json) {
    json bridges = json::array();
    for (const auto& b : run.bridges) bridges.push_back(BridgeJson(b));
    PrintJson(out, command,
              {{"bridges", bridges},
               {"summary",
                {{"passed", passed},
                 {"alreadyCurrent", current},
                 {"failed", failed},
                 {"skipped", skipped}}},
               {"exitCode", exit}});
    return exit;
  }
  for (const auto& b : run.bridges) {
    char line[256];
    std::snprintf(line, sizeof line, "%2zu  %-26s  %-20s  %s -> %s  ", b.index, b.path.c_str(),
                  b.serial ? b.serial->c_str() : "-", b.from.empty() ? "?" : b.from.c_str(), b.to.c_str());
    out << line << SummaryWords(b) << '\n';
  }
  out << run.bridges.size() << " bridge(s): " << passed << " passed, " << current << " already current, " << failed
      << " failed, " << skipped << " skipped\n";
  return exit;
}

struct RecoverRequest {
  std::optional<std::filesystem::path> identity;
  std::optional<std::filesystem::path> image;
};

static int RecoverCommand(Session& session, const RecoverRequest& request, std::ostream& out, std::ostream& err) {
  app::AppContext& ctx = session.ctx();
  int code = kExitSuccess;
  const auto index = Selected(session, out, err, "recover", code);
  if (!index) return code;
  ctx.form.DeviceList.Select(static_cast<int>(*index));
  const std::string path = ctx.scan.devices[*index].path;
  app::EngineeringOutcome run;
  {
    DeferredSignals deferred(session, err, "the recovery");
    if (request.image) {
      run = app::RunRecoverImage(ctx, *index, *request.image);
    } else {
      app::RecoverOptions options;
      options.identityFile = request.identity;
      options.force = session.options().force;
      run.outcome = app::RunRecover(ctx, *index, options);
    }
  }
  const app::Outcome& o = run.outcome;
  session.shell().Finish();
  if (session.options().json) {
    json outcome = OutcomeJson(o);
    outcome["recoveryFile"] = run.recoveryFile.empty() ? json(nullptr) : json(run.recoveryFile);
    PrintJson(out, "recover", {{"device", {{"index", *index}, {"path", path}}}, {"outcome", outcome}});
  } else {
    PrintOutcomeText(o, out, err);
    if (!run.recoveryFile.empty()) out << "recovery copy of the flash as it was: " << run.recoveryFile << '\n';
  }
  return ExitCodeOf(o.code);
}

Session::Session(const GlobalOptions& options, const PlatformParts& parts, std::ostream& out, std::ostream& err,
                 bool errIsTerminal)
    : options_(options), shell_(out, err, errIsTerminal, options.verbose) {
  app::WiringOptions wiring;
  wiring.diagnostics = &shell_;
  wiring.workingDirectory = options.workingDirectory;
  wiring.stateDirectory = options.stateDirectory;
  wiring.lockDirectory = options.lockDirectory;
  if (options.trace) wiring.trace = [this](std::string_view line) { shell_.ErrorLine(line); };
  PlatformParts p = parts;
  if (!p.clock) p.clock = &clock_;
  app_ = std::make_unique<app::Application>(p, shell_, wiring);
  ctx().progress.SetListener([this](const app::ProgressView& v) { shell_.ShowProgress(v); });
}

Session::Session(const GlobalOptions& options, platform::PassThrough& backend, std::ostream& out, std::ostream& err,
                 bool errIsTerminal)
    : Session(options, PlatformParts{&backend, nullptr, nullptr, nullptr}, out, err, errIsTerminal) {}

Session::~Session() {
  if (started_) app::FormClose(ctx());
  shell_.Finish();
}

void Session::Start() {
  started_ = true;
  app::AppContext& c = ctx();
  c.state.KeepNvram = 1;
  app::ReadConfiguration(c.state, app::ConfigurationFilePath(c), c.diagnostics);
  c.scan = app::ScanDevices(c);
  c.facts.reset();
  if (!c.scan.devices.empty()) {
    c.form.DeviceList.Select(0);
    c.facts = app::InspectDevice(c, c.scan.devices[0], true);
  }
}

int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool errIsTerminal) {
  return Run(argc, argv, out, err, errIsTerminal, {});
}

int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool errIsTerminal,
        const std::filesystem::path& workingDirectory) {
  CLI::App app{"qvfw - firmware update tool for Qavion QV4077x bridge controllers"};
  {
    const app::EmbeddedImageStore carried;
    app.set_version_flag("--version", app::VersionLine("qvfw", carried));
  }
  app.footer(kExitCodesHelp);
  app.fallthrough();

  // "--sim" alone is the built-in emulated machine; a folder is given only as "--sim=DIR", so
  // that a word after "--sim" is always the command.
  std::vector<std::string> args;
  std::optional<std::filesystem::path> sim;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--sim") {
      sim = std::filesystem::path();
    } else if (a.rfind("--sim=", 0) == 0) {
      sim = std::filesystem::path(a.substr(6));
      if (sim->empty()) {
        err << "qvfw: --sim=DIR needs a folder\n";
        return kExitUsage;
      }
    } else {
      args.push_back(a);
    }
  }
  bool simShown = false;  // taken out of the arguments above; here for the help text
  app.add_flag("--sim", simShown, "Run against the built-in emulated machine; --sim=DIR keeps one in DIR (docs/sim.md)");
  frontend::MachineChoice choice;
  choice.sim = sim;
  app.add_option("--record", choice.record,
                 "Record everything said to the devices and their answers into FILE (docs/recording.md)")
      ->type_name("FILE");
  app.add_flag("--record-anonymous", choice.recordAnonymous,
               "Take serial numbers, world wide names, mount folders and folder names out of the recording");
  app.add_option("--replay", choice.replay, "Run against a recording: the devices answer as recorded, in strict order")
      ->type_name("FILE");
  app.add_flag("--replay-relaxed", choice.replayRelaxed,
               "Let identification queries come in another order than recorded");

  GlobalOptions options;
  options.workingDirectory = workingDirectory;
  app.add_flag("--trace", options.trace, "Trace every SCSI request on standard error");
  app.add_flag("-v", options.verbose, "Diagnostics on standard error");
  app.add_flag("--json", options.json, "Print the command's output as JSON (schema version 1, docs/cli.md)");
  app.add_option("-d,--device", options.devices,
                 "Work on device N of the list, or on the device with that path (update: repeat it to update "
                 "several at once)")
      ->type_name("N|PATH")
      ->allow_extra_args(false);

  std::string image;
  bool allowDowngrade = false;
  CLI::App* list = app.add_subcommand("list", "List the supported devices and whether the one-click update is offered");
  CLI::App* info = app.add_subcommand("info", "Show chip, flash, firmware version and options of the selected device");
  CLI::App* check = app.add_subcommand("check", "Check a firmware image against the selected device");
  check->add_option("IMAGE", image, "The firmware image file")->required();
  CLI::App* update = app.add_subcommand("update", "Update the selected device to the firmware this program carries");
  update->add_flag("--allow-downgrade", allowDowngrade, "Program the carried firmware over newer firmware");
  bool updateAll = false;
  update->add_flag("--all", updateAll, "Update every listed bridge that is offered the update, all at once");
  update->add_flag("--force", options.force,
                   "Write a serial number longer than the 20 characters the bridge keeps, cut to them");
  std::string identityFile, recoverImage;
  CLI::App* recover = app.add_subcommand(
      "recover", "Bring back a bridge a failed update left on its boot code, with the identity kept for it");
  CLI::Option* identityOption =
      recover->add_option("--identity", identityFile, "The identity file a failed update kept (default: the one kept for this bridge); it is checked and never removed")
          ->type_name("FILE");
  recover->add_option("--image", recoverImage,
                      "Write a whole flash image (the recovery copy an erase or program kept) back into a bridge on its boot code")
      ->type_name("FILE")
      ->excludes(identityOption);
  recover->add_flag("--force", options.force,
                    "Write an identity whose serial number differs from the bridge's, or is longer than it keeps");
  EngineeringRequest engineering;
  bool noProductSn = false;
  auto engineeringFlags = [&](CLI::App* c) {
    c->add_flag("--include-nvram", engineering.options.includeNvram, "Rewrite the 4 KiB NVRAM area too (where offered)");
    c->add_flag("--buffer", engineering.options.readWriteBuffer, "Transfer through READ/WRITE BUFFER (where offered)");
    c->add_flag("--no-product-sn", noProductSn, "Do not set the product serial number in the code (where offered)");
    c->add_flag("--no-backup", engineering.options.skipRecovery, "Keep no recovery copy of the flash before changing it");
    c->add_option("--nvram-from", engineering.options.nvramFrom,
                  "Keep the 4 KiB NVRAM from this recovery copy of the flash instead of the device's (where the device's is blank)")
        ->type_name("FILE");
    c->add_flag("--force-user-area", engineering.options.forceUserArea,
                "Write a disk-resident firmware area even where it lies inside the disk's user data");
    c->add_flag("-y,--yes", engineering.yes, "Answer yes to the question before the flash is changed");
  };
  CLI::App* erase = app.add_subcommand("erase", "Erase the flash of the selected device (its NVRAM, the first 4 KiB on the QVS812 line, is kept unless --include-nvram)");
  engineeringFlags(erase);
  CLI::App* backup = app.add_subcommand("backup", "Read the flash of the selected device into FILE (default oldFlash.bak, or oldflash.bak on the older bridges)");
  backup->add_option("FILE", engineering.options.backupFile, "The backup file");
  backup->add_flag("--include-nvram", engineering.options.includeNvram, "Keep the 4 KiB NVRAM area in the file (where offered)");
  backup->add_flag("--buffer", engineering.options.readWriteBuffer, "Read through READ BUFFER (where offered)");
  CLI::App* program = app.add_subcommand("program", "Program IMAGE into the selected device's flash and verify it");
  program->add_option("IMAGE", engineering.options.firmwareFile, "The firmware image file")->required();
  engineeringFlags(program);
  program->add_flag("--force", engineering.force,
                    "Program an image that check refuses (not for this chip, or larger than the flash)");
  app.require_subcommand(0, 1);

  std::vector<const char*> cargv{argv[0]};
  for (const std::string& a : args) cargv.push_back(a.c_str());
  try {
    app.parse(static_cast<int>(cargv.size()), cargv.data());
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    return code == 0 ? kExitSuccess : kExitUsage;
  }
  if (app.get_subcommands().empty()) {
    out << app.help();
    return kExitSuccess;
  }
  engineering.options.productSnInCode = !noProductSn;
  if (!options.devices.empty()) options.device = options.devices.front();
  if (updateAll && !options.devices.empty()) {
    err << "qvfw: update --all works on every listed bridge; it takes no -d\n";
    return kExitUsage;
  }
  if (erase->parsed()) engineering.kind = EngineeringRequest::Kind::Erase;
  if (backup->parsed()) engineering.kind = EngineeringRequest::Kind::Backup;
  const bool engineeringParsed = erase->parsed() || backup->parsed() || program->parsed();
  const char* command = list->parsed()   ? "list"
                        : info->parsed() ? "info"
                        : check->parsed() ? "check"
                        : update->parsed() ? "update"
                        : erase->parsed()  ? "erase"
                        : backup->parsed() ? "backup"
                        : recover->parsed() ? "recover"
                                           : "program";

  if (choice.recordAnonymous && choice.record.empty()) {
    err << "qvfw: --record-anonymous needs --record FILE\n";
    return kExitUsage;
  }
  if (choice.replayRelaxed && choice.replay.empty()) {
    err << "qvfw: --replay-relaxed needs --replay FILE\n";
    return kExitUsage;
  }
  {
    const app::EmbeddedImageStore carried;
    choice.program = app::VersionLine("qvfw", carried);
  }
  choice.frontEnd = "qvfw";
  choice.args = RecordedArguments(args);
  if (!choice.record.empty()) {
    if (check->parsed()) choice.inputs.push_back({image, image});
    if (program->parsed() && !engineering.options.firmwareFile.empty())
      choice.inputs.push_back({engineering.options.firmwareFile, engineering.options.firmwareFile});
    if (recover->parsed() && !identityFile.empty()) choice.inputs.push_back({identityFile, identityFile});
    const std::filesystem::path folder = workingDirectory.empty() ? std::filesystem::path(".") : workingDirectory;
    choice.inputs.push_back({"Brantwell.ini", folder / "Brantwell.ini"});
  }

  ForwardDiagnostics forward;
  std::unique_ptr<frontend::Machine> machine;
  try {
    machine = frontend::Machine::Open(choice, forward);
  } catch (const frontend::MachineBusy& e) {
    return NoMachine(options.json, command, kExitDeviceFailed, "busy", e.what(), "", out, err);
  } catch (const std::exception& e) {
    return NoMachine(options.json, command, kExitUsage, "usage", e.what(), choice.replay.empty() ? "--sim: " : "--replay: ",
                     out, err);
  }
  int code;
  {
    if (options.stateDirectory.empty()) options.stateDirectory = machine->StateDirectory();
    if (options.lockDirectory.empty()) options.lockDirectory = machine->LockDirectory();
    Session session(options, machine->parts(), out, err, errIsTerminal);
    forward.to = &session.shell();
    session.Start();
    if (list->parsed()) code = ListCommand(session, out, err);
    else if (info->parsed()) code = InfoCommand(session, out, err);
    else if (check->parsed()) code = CheckCommand(session, image, out, err);
    else if (recover->parsed())
      code = RecoverCommand(session,
                            RecoverRequest{identityFile.empty() ? std::nullopt : std::optional<std::filesystem::path>(identityFile),
                                           recoverImage.empty() ? std::nullopt : std::optional<std::filesystem::path>(recoverImage)},
                            out, err);
    else if (engineeringParsed) code = EngineeringCommand(session, engineering, out, err);
    else if (updateAll || options.devices.size() > 1) code = UpdateAllCommand(session, out, err, updateAll, allowDowngrade);
    else code = UpdateCommand(session, out, err, allowDowngrade);
    forward.to = nullptr;
  }
  machine->Save();
  // A replay that differed, or a recording that could not be written, is this run's failure.
  if (const auto problem = machine->Finish(code)) {
    err << "qvfw: " << *problem << '\n';
    if (code == kExitSuccess || machine->Difference()) code = kExitDeviceFailed;
  }
  if (options.verbose && machine->virtualClock()) {
    char line[96];
    const bool replay = std::string_view(machine->Kind()) == "replay";
    std::snprintf(line, sizeof line, replay ? "replay: %.3f s on the recorded machine's time" : "sim: %.3f s on the emulated hardware",
                  static_cast<double>(machine->virtualClock()->NowMs()) / 1000.0);
    err << line << '\n';
  }
  return code;
}

}  // namespace qvfw::cli
