#include "sim/Scenario.h"

#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "sim/FirmwareImage.h"

namespace qvfw::sim {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

[[noreturn]] void Bad(const std::string& what) { throw std::invalid_argument("scenario: " + what); }

std::vector<uint8_t> Hex(const std::string& text, const std::string& field) {
  std::vector<uint8_t> out;
  int nibble = -1;
  for (char ch : text) {
    int v;
    if (ch >= '0' && ch <= '9') v = ch - '0';
    else if (ch >= 'a' && ch <= 'f') v = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F') v = ch - 'A' + 10;
    else if (ch == ' ' || ch == ':' || ch == '-' || ch == '.') continue;
    else Bad(field + ": \"" + text + "\" is not hexadecimal bytes");
    if (nibble < 0) {
      nibble = v;
    } else {
      out.push_back(static_cast<uint8_t>(nibble << 4 | v));
      nibble = -1;
    }
  }
  if (nibble >= 0) Bad(field + ": odd number of hex digits");
  return out;
}

uint64_t Number(const json& j, const std::string& field) {
  if (j.is_number_unsigned() || j.is_number_integer()) {
    if (j.is_number_integer() && j.get<int64_t>() < 0) Bad(field + " must not be negative");
    return j.get<uint64_t>();
  }
  if (j.is_string()) {
    const std::string s = j.get<std::string>();
    try {
      size_t used = 0;
      const uint64_t v = std::stoull(s, &used, 0);
      if (used == s.size()) return v;
    } catch (const std::exception&) {
    }
  }
  Bad(field + " must be a number");
}

uint64_t NumberIn(const json& j, const std::string& field, uint64_t lo, uint64_t hi) {
  const uint64_t v = Number(j, field);
  if (v < lo || v > hi) Bad(field + " must lie in " + std::to_string(lo) + ".." + std::to_string(hi));
  return v;
}

std::string Text(const json& j, const std::string& field) {
  if (!j.is_string()) Bad(field + " must be a string");
  return j.get<std::string>();
}

// A text a device reports, which need not be UTF-8: a string, or { "hex": "51 FF 76" } for bytes
// that a JSON string cannot carry.
std::string DeviceText(const json& j, const std::string& field) {
  if (j.is_object() && j.contains("hex")) {
    const std::vector<uint8_t> bytes = Hex(Text(j["hex"], field + ".hex"), field + ".hex");
    return std::string(bytes.begin(), bytes.end());
  }
  return Text(j, field);
}

// The form DeviceText reads back: the string itself while it is UTF-8, else its bytes in hex.
json DeviceTextJson(const std::string& text) {
  try {
    (void)json(text).dump();
    return text;
  } catch (const json::type_error&) {
    std::string hex;
    for (unsigned char c : text) {
      char two[4];
      std::snprintf(two, sizeof two, "%s%02X", hex.empty() ? "" : " ", c);
      hex += two;
    }
    return json{{"hex", hex}};
  }
}

platform::Bus ParseBus(const std::string& s) {
  if (s == "usb") return platform::Bus::Usb;
  if (s == "uasp") return platform::Bus::Uasp;
  if (s == "1394" || s == "ieee1394") return platform::Bus::Ieee1394;
  if (s == "other") return platform::Bus::Other;
  Bad("bus \"" + s + "\" is none of usb, uasp, 1394, other");
}

// The whole file, when it is a regular file no larger than `limit`; a FIFO, a device, a folder or
// a file beyond the limit is an error that names the file.
std::vector<uint8_t> ReadFile(const fs::path& p, uint64_t limit) {
  platform::FileRead r = platform::ReadRegularFile(p, limit);
  if (!r.ok()) throw std::runtime_error("cannot read " + p.string() + ": it " + r.Reason());
  return std::move(r.bytes);
}

// Writes beside the target and renames over it: a reader never sees half a file, and a link
// planted at either name is replaced, never followed.
void WriteFileAtomic(const fs::path& target, const void* data, size_t size) {
  const int error = platform::ReplaceFile(target, {static_cast<const uint8_t*>(data), size}, 0644);
  if (error != 0) throw std::runtime_error("cannot write " + target.string() + ": " + std::strerror(error));
}

FlashPart ParseFlash(const json& j, uint8_t chipType) {
  std::string part = chipType >= 15 && chipType <= 18 ? "MXIC" : "WINBOND";
  uint32_t kiB = 0;
  if (j.is_string()) part = j.get<std::string>();
  else if (j.is_object()) {
    if (j.contains("part")) part = Text(j["part"], "flash.part");
    if (j.contains("sizeKiB")) kiB = static_cast<uint32_t>(NumberIn(j["sizeKiB"], "flash.sizeKiB", 64, 16384));
  } else if (!j.is_null()) {
    Bad("flash must be a part name or an object");
  }
  FlashPart p = FlashPreset(part, kiB);
  if (j.is_object()) {
    if (j.contains("jedec")) p.jedec = Hex(Text(j["jedec"], "flash.jedec"), "flash.jedec");
    if (j.contains("vendorCode")) p.vendorCode = static_cast<uint8_t>(NumberIn(j["vendorCode"], "flash.vendorCode", 0, 12));
  }
  return p;
}

std::vector<uint8_t> ReservedAreaBlock(uint32_t lba) {
  std::vector<uint8_t> b(512, 0);
  b[150] = 0x55;
  b[151] = static_cast<uint8_t>(lba >> 24);
  b[152] = static_cast<uint8_t>(lba >> 16);
  b[153] = static_cast<uint8_t>(lba >> 8);
  b[154] = static_cast<uint8_t>(lba);
  b[155] = 0xAA;
  return b;
}

Fault FaultFrom(const json& j) {
  if (!j.is_object() || !j.contains("kind")) Bad("a fault needs a \"kind\"");
  const std::string kind = Text(j["kind"], "fault.kind");
  Fault f;
  if (kind == "fail") f.kind = Fault::Kind::FailCommand;
  else if (kind == "unplug") f.kind = Fault::Kind::Unplug;
  else if (kind == "flipBits") f.kind = Fault::Kind::FlipBits;
  else if (kind == "flipReply") f.kind = Fault::Kind::FlipReply;
  else if (kind == "neverReady") f.kind = Fault::Kind::NeverReady;
  else if (kind == "shortTransfer") f.kind = Fault::Kind::ShortTransfer;
  else if (kind == "becomingReady") f.kind = Fault::Kind::BecomingReady;
  else if (kind == "stall") f.kind = Fault::Kind::Stall;
  else if (kind == "transportError") f.kind = Fault::Kind::TransportError;
  else Bad("fault kind \"" + kind + "\" is unknown");
  if (j.contains("atCommand")) f.atCommand = Number(j["atCommand"], "fault.atCommand");
  if (j.contains("cdbPrefix")) f.cdbPrefix = Hex(Text(j["cdbPrefix"], "fault.cdbPrefix"), "fault.cdbPrefix");
  if (j.contains("times")) f.times = static_cast<uint32_t>(NumberIn(j["times"], "fault.times", 0, 0xFFFFFFFF));
  if (f.kind == Fault::Kind::FlipBits && !j.contains("times")) f.times = 0;
  if (j.contains("sense")) {
    const auto s = Hex(Text(j["sense"], "fault.sense"), "fault.sense");
    if (s.size() != 3) Bad("fault.sense must be three bytes: key, code, qualifier");
    f.sense = {s[0], s[1], s[2]};
  }
  if (j.contains("address")) f.address = static_cast<uint32_t>(NumberIn(j["address"], "fault.address", 0, 0xFFFFFF));
  if (j.contains("mask")) f.mask = static_cast<uint8_t>(NumberIn(j["mask"], "fault.mask", 1, 255));
  if (j.contains("bytes")) f.bytes = static_cast<uint32_t>(NumberIn(j["bytes"], "fault.bytes", 0, 0xFFFFFF));
  if (j.contains("stallMs")) f.stallMs = static_cast<uint32_t>(NumberIn(j["stallMs"], "fault.stallMs", 0, 600000));
  return f;
}

TimingModel ParseTiming(const json& j, platform::Bus bus) {
  TimingModel t = bus == platform::Bus::Uasp ? TimingModel::Uasp()
                  : bus == platform::Bus::Ieee1394 ? TimingModel::Ieee1394()
                                                   : TimingModel::UsbBulkOnly();
  if (j.is_string()) {
    const std::string s = j.get<std::string>();
    if (s == "usb2") t = TimingModel::UsbBulkOnly();
    else if (s == "uasp") t = TimingModel::Uasp();
    else if (s == "1394") t = TimingModel::Ieee1394();
    else Bad("timing \"" + s + "\" is none of usb2, uasp, 1394");
  } else if (j.is_object()) {
    if (j.contains("commandOverheadUs"))
      t.link.commandOverheadUs = static_cast<uint32_t>(NumberIn(j["commandOverheadUs"], "timing.commandOverheadUs", 0, 1000000));
    if (j.contains("bytesPerSecond"))
      t.link.bytesPerSecond = NumberIn(j["bytesPerSecond"], "timing.bytesPerSecond", 1, uint64_t{1} << 40);
    if (j.contains("restartDelayMs"))
      t.restartDelayMs = static_cast<uint32_t>(NumberIn(j["restartDelayMs"], "timing.restartDelayMs", 0, 600000));
  }
  return t;
}

std::vector<platform::Volume> ParseVolumes(const json& j, const std::string& disk) {
  std::vector<platform::Volume> out;
  if (!j.is_array()) Bad(disk + ": volumes must be a list");
  for (const json& v : j) {
    platform::Volume vol;
    if (v.is_string()) {
      vol.name = v.get<std::string>();
    } else if (v.is_object() && v.contains("name")) {
      vol.name = Text(v["name"], "volume.name");
      if (v.contains("mount")) vol.mountPoint = Text(v["mount"], "volume.mount");
      vol.system = v.value("system", false);
      vol.remote = v.value("remote", false);
    } else {
      Bad(disk + ": a volume is a name or an object with a name");
    }
    vol.path = "sim:vol:" + vol.name;
    out.push_back(std::move(vol));
  }
  return out;
}

DiskConfig ParseDisk(const json& j, DiskConfig d) {
  if (j.contains("sectors")) d.sectors = NumberIn(j["sectors"], "disk.sectors", 1024, uint64_t{1} << 48);
  if (j.contains("sectorSize")) {
    d.logicalSectorSize = static_cast<uint32_t>(Number(j["sectorSize"], "disk.sectorSize"));
    if (d.logicalSectorSize != 512 && d.logicalSectorSize != 4096) Bad("disk.sectorSize must be 512 or 4096");
  }
  if (j.contains("reservedSectors")) d.reservedSectors = static_cast<uint32_t>(NumberIn(j["reservedSectors"], "disk.reservedSectors", 0, 1 << 20));
  if (j.contains("model")) d.model = Text(j["model"], "disk.model");
  return d;
}

void LoadDiskFile(AttachedDisk& disk, const fs::path& p) {
  const auto bytes = ReadFile(p, kMaxDiskFileSize);
  const uint32_t ss = disk.config().logicalSectorSize;
  const size_t record = 8 + ss;
  if (bytes.size() % record != 0) throw std::runtime_error(p.string() + " is not a sector file");
  for (size_t at = 0; at < bytes.size(); at += record) {
    uint64_t lba = 0;
    for (int i = 7; i >= 0; --i) lba = lba << 8 | bytes[at + i];
    disk.WriteSectors(lba, 1, bytes.data() + at + 8);
  }
}

std::vector<uint8_t> DiskFileBytes(const AttachedDisk& disk) {
  std::vector<uint8_t> out;
  for (const auto& [lba, sector] : disk.sectors()) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(lba >> (8 * i)));
    out.insert(out.end(), sector.begin(), sector.end());
  }
  return out;
}

void AddDisk(Machine& m, const json& d, size_t index, const fs::path& baseDir) {
  if (!d.is_object()) Bad("each disk must be an object");
  const std::string name = d.contains("name") ? Text(d["name"], "name") : "disk" + std::to_string(index);
  if (name.empty() || name.find_first_of(":/\\ ") != std::string::npos) Bad("disk name \"" + name + "\" is not a plain word");
  const platform::Bus bus = ParseBus(d.value("bus", std::string("usb")));
  const std::string kind = d.value("kind", std::string("bridge"));
  size_t at;
  if (kind == "disk") {
    DiskConfig dc = ParseDisk(d.value("disk", json::object()), DiskConfig{});
    at = m.AddPlainDisk(name, bus, d.value("vendor", std::string("WDC")), d.value("product", std::string("Elements 25A2")), dc);
  } else if (kind == "bridge") {
    const auto chip = static_cast<uint8_t>(NumberIn(d.value("chipType", json(15)), name + ".chipType", 1, 35));
    const auto rev = static_cast<uint8_t>(NumberIn(d.value("revision", json(0)), name + ".revision", 0, 255));
    BridgeConfig c = FamilyConfig(chip, rev);
    if (d.contains("vendor")) c.vendorText = DeviceText(d["vendor"], "vendor");
    if (d.contains("product")) c.productText = DeviceText(d["product"], "product");
    if (d.contains("inquiryChipId")) c.inquiryChipId = Text(d["inquiryChipId"], "inquiryChipId");
    if (d.contains("modelText")) c.modelText = Text(d["modelText"], "modelText");
    if (d.contains("chipInfo")) {
      const auto b = Hex(Text(d["chipInfo"], "chipInfo"), "chipInfo");
      if (b.size() > 16) Bad("chipInfo has at most 16 bytes");
      std::copy(b.begin(), b.end(), c.chipInfo.begin());
    }
    if (d.contains("chipInfoLength")) c.chipInfoLength = static_cast<uint32_t>(NumberIn(d["chipInfoLength"], "chipInfoLength", 0, 16));
    if (d.contains("answersChipInfoAlt")) c.answersChipInfoAlt = d["answersChipInfoAlt"].get<bool>();
    if (d.contains("parameters")) c.parameters = Hex(Text(d["parameters"], "parameters"), "parameters");
    if (d.contains("vendorCode")) c.reportedVendor = static_cast<int>(NumberIn(d["vendorCode"], "vendorCode", 0, 12));
    if (d.contains("bufferCapacity")) c.bufferCapacity = static_cast<uint32_t>(NumberIn(d["bufferCapacity"], "bufferCapacity", 0x1000, 0xFFFFFF));
    if (d.contains("memory")) {
      if (!d["memory"].is_object()) Bad("memory must map addresses to hex bytes");
      for (const auto& [addr, bytes] : d["memory"].items()) {
        const auto a = static_cast<uint16_t>(NumberIn(json(addr), "memory address", 0, 0xFFFF));
        c.memory[a] = Hex(Text(bytes, "memory"), "memory");
      }
    }
    if (d.contains("memoryForceSet")) {
      if (!d["memoryForceSet"].is_object()) Bad("memoryForceSet must map addresses to bit masks");
      for (const auto& [addr, mask] : d["memoryForceSet"].items())
        c.memoryForceSet[static_cast<uint16_t>(NumberIn(json(addr), "memoryForceSet address", 0, 0xFFFF))] =
            static_cast<uint8_t>(NumberIn(mask, "memoryForceSet mask", 0, 0xFF));
    }
    if (d.contains("usb")) {
      const json& u = d["usb"];
      if (u.contains("vid")) c.vid = static_cast<uint16_t>(NumberIn(u["vid"], "usb.vid", 0, 0xFFFF));
      if (u.contains("pid")) c.pid = static_cast<uint16_t>(NumberIn(u["pid"], "usb.pid", 0, 0xFFFF));
    }
    if (d.contains("serial")) c.serial = DeviceText(d["serial"], "serial");
    if (d.contains("standby")) c.standby = d["standby"].get<bool>();
    if (d.contains("standbyTimer")) c.standbyTimer = static_cast<uint32_t>(NumberIn(d["standbyTimer"], "standbyTimer", 0, 0xFFFFFFFF));
    c.disk = ParseDisk(d.value("disk", json::object()), c.disk);
    if (d.contains("reservedAreaLba"))
      c.reservedArea = ReservedAreaBlock(static_cast<uint32_t>(NumberIn(d["reservedAreaLba"], "reservedAreaLba", 0, 0xFFFFFFFF)));
    const json flashJson = d.value("flash", json());
    std::unique_ptr<SpiFlash> flash;
    if (flashJson.is_string() && flashJson.get<std::string>() == "none") {
      c.hasFlash = false;
    } else {
      flash = std::make_unique<SpiFlash>(ParseFlash(flashJson, chip));
      if (flashJson.is_object() && flashJson.value("protected", false)) flash->SetStatusBits(0x1C);
      std::vector<uint8_t> content;
      if (d.contains("flashFile")) {
        content = ReadFile(baseDir / Text(d["flashFile"], "flashFile"), kMaxFlashFileSize);
      } else {
        const json fw = d.value("firmware", json("generate"));
        if (fw.is_string() && fw.get<std::string>() == "blank") {
        } else if (fw.is_string() && fw.get<std::string>() == "generate") {
          content = GenerateFirmwareImage({chip, rev, "1201", std::min<uint32_t>(flash->size(), 0x40000), 1});
        } else if (fw.is_object() && fw.contains("file")) {
          content = ReadFile(baseDir / Text(fw["file"], "firmware.file"), kMaxFlashFileSize);
        } else if (fw.is_object() && fw.contains("generate")) {
          const json g = fw["generate"];
          ImageRecipe recipe{chip, rev, g.value("version", std::string("1201")), std::min<uint32_t>(flash->size(), 0x40000), 1};
          if (g.contains("size")) recipe.size = static_cast<uint32_t>(NumberIn(g["size"], "firmware.size", 256, flash->size()));
          if (g.contains("seed")) recipe.seed = static_cast<uint32_t>(Number(g["seed"], "firmware.seed"));
          content = GenerateFirmwareImage(recipe);
        } else {
          Bad(name + ": firmware is \"generate\", \"blank\", {\"file\": …} or {\"generate\": {…}}");
        }
      }
      if (content.size() > flash->size()) Bad(name + ": the firmware is larger than the flash");
      std::copy(content.begin(), content.end(), flash->data().begin());
    }
    at = m.AddBridge(name, bus, std::move(c), std::move(flash));
    if (d.contains("diskFile")) {
      const fs::path p = baseDir / Text(d["diskFile"], "diskFile");
      if (fs::exists(p)) LoadDiskFile(m.BridgeAt(at)->disk(), p);
    }
    m.BridgeAt(at)->PowerOn();  // boot what the flash now holds
  } else {
    Bad("disk kind \"" + kind + "\" is neither bridge nor disk");
  }
  if (d.contains("volumes")) m.SetVolumes(at, ParseVolumes(d["volumes"], name));
  if (d.contains("timing")) m.SetTiming(at, ParseTiming(d["timing"], bus));
  if (d.contains("controller")) {
    if (bus != platform::Bus::Usb) Bad(name + ".controller: only a USB disk hangs on a USB host controller");
    m.SetController(at, static_cast<uint32_t>(NumberIn(d["controller"], name + ".controller", 0, Machine::kMaxUsbController)));
  }
  if (d.contains("faults")) {
    if (!d["faults"].is_array()) Bad(name + ": faults must be a list");
    for (const json& f : d["faults"]) m.AddFault(at, FaultFrom(f));
  }
}

json ParseJson(std::string_view text) {
  CheckJsonDepth(text);
  try {
    return json::parse(text);
  } catch (const json::exception& e) {
    // Syntax errors, and numbers beyond what a 64-bit value or a double holds.
    Bad(std::string("not JSON: ") + e.what());
  }
}

std::unique_ptr<Machine> Build(const json& doc, platform::Clock& clock, const fs::path& baseDir) {
  if (!doc.is_object() || !doc.contains("disks") || !doc["disks"].is_array()) Bad("the machine needs a \"disks\" list");
  auto m = std::make_unique<Machine>(clock);
  if (doc.contains("paths")) {
    const json& paths = doc["paths"];
    if (paths == "numbered") m->NumberPaths();
    else if (paths != "named") Bad("\"paths\" is \"named\" or \"numbered\"");
  }
  try {
    size_t i = 0;
    for (const json& d : doc["disks"]) AddDisk(*m, d, i++, baseDir);
  } catch (const json::exception& e) {
    Bad(e.what());
  }
  return m;
}

const char* const kDefault = R"({
  "disks": [
    { "name": "bridge0", "bus": "usb", "chipType": 15, "revision": 0,
      "flash": { "part": "MXIC", "sizeKiB": 512 },
      "firmware": { "generate": { "version": "1201" } },
      "usb": { "vid": "0x284D", "pid": "0x0812" }, "serial": "QV812A0001234",
      "standby": true, "standbyTimer": 3000, "volumes": [ "E" ] }
  ]
})";

const char* const kTwoBridges = R"({
  "disks": [
    { "name": "bridge0", "bus": "usb", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 },
      "serial": "QV812A0001234", "volumes": [ "E" ] },
    { "name": "bridge1", "bus": "uasp", "chipType": 16, "flash": { "part": "WINBOND", "sizeKiB": 512 },
      "usb": { "vid": "0x284D", "pid": "0x0814" }, "serial": "QV814B0005678", "volumes": [ "F", "G" ] }
  ]
})";

const char* const kMixed = R"({
  "disks": [
    { "name": "system", "kind": "disk", "bus": "other", "vendor": "ATA", "product": "SSD 860 EVO",
      "volumes": [ { "name": "C", "mount": "/", "system": true } ] },
    { "name": "bridge0", "bus": "usb", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 },
      "serial": "QV812A0001234", "volumes": [ "E" ] },
    { "name": "plain0", "kind": "disk", "bus": "usb", "vendor": "WDC", "product": "Elements 25A2",
      "volumes": [ "F" ] },
    { "name": "fw0", "bus": "1394", "chipType": 8, "revision": 1, "flash": { "part": "SST", "sizeKiB": 128 },
      "volumes": [ "H" ] }
  ]
})";

const char* const kFamilies = R"({
  "disks": [
    { "name": "buffer15", "bus": "usb", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 }, "volumes": [ "E" ] },
    { "name": "storage13", "bus": "usb", "chipType": 13, "flash": { "part": "WINBOND", "sizeKiB": 128 }, "volumes": [ "F" ] },
    { "name": "erase9", "bus": "usb", "chipType": 9, "flash": { "part": "EON", "sizeKiB": 256 } },
    { "name": "whole1", "bus": "usb", "chipType": 1, "revision": 2, "flash": { "part": "PMC", "sizeKiB": 64 } },
    { "name": "step7", "bus": "usb", "chipType": 7, "revision": 2, "flash": { "part": "SST", "sizeKiB": 2048 } },
    { "name": "loader26", "bus": "usb", "chipType": 26, "flash": { "part": "GIGADEVICE", "sizeKiB": 512 } },
    { "name": "disk30", "bus": "usb", "chipType": 30, "revision": 1, "flash": "none",
      "disk": { "sectors": 976773168 }, "reservedAreaLba": 976773633 }
  ]
})";

}  // namespace

void CheckJsonDepth(std::string_view text) {
  size_t depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth)
        Bad("nested deeper than " + std::to_string(kMaxJsonDepth) + " levels (at byte " + std::to_string(i) + ")");
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
}

std::unique_ptr<Machine> LoadScenario(std::string_view text, platform::Clock& clock, const fs::path& baseDir) {
  return Build(ParseJson(text), clock, baseDir);
}

std::unique_ptr<Machine> LoadScenarioFile(const fs::path& file, platform::Clock& clock) {
  const auto bytes = ReadFile(file, kMaxScenarioFileSize);
  return LoadScenario(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), clock,
                      file.parent_path());
}

std::vector<std::string> PresetNames() { return {"default", "two-bridges", "mixed", "families"}; }

std::string PresetScenarioJson(std::string_view name) {
  if (name == "default") return kDefault;
  if (name == "two-bridges") return kTwoBridges;
  if (name == "mixed") return kMixed;
  if (name == "families") return kFamilies;
  throw std::invalid_argument("no built-in machine \"" + std::string(name) + "\"");
}

std::unique_ptr<Machine> DefaultMachine(platform::Clock& clock) { return LoadScenario(kDefault, clock); }

Fault ParseFault(std::string_view text) { return FaultFrom(ParseJson(text)); }

PersistentMachine::PersistentMachine(fs::path dir, std::string description, std::unique_ptr<Machine> machine)
    : dir_(std::move(dir)), description_(std::move(description)), machine_(std::move(machine)) {}

PersistentMachine::~PersistentMachine() = default;

std::unique_ptr<PersistentMachine> PersistentMachine::Open(const fs::path& dir, platform::Clock& clock) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir)) throw std::runtime_error(dir.string() + " is not a directory");
  const fs::path file = dir / "machine.json";
  const bool fresh = !fs::exists(file);
  std::string text;
  if (fresh) {
    text = kDefault;
  } else {
    const auto bytes = ReadFile(file, kMaxScenarioFileSize);
    text.assign(bytes.begin(), bytes.end());
  }
  auto m = LoadScenario(text, clock, dir);
  std::unique_ptr<PersistentMachine> p(new PersistentMachine(dir, text, std::move(m)));
  if (fresh) p->Save();
  else p->saved_ = p->Files();
  return p;
}

void PersistentMachine::Save() {
  // A run that changed nothing writes nothing (a folder that may not be written still serves
  // it); otherwise only the files whose content differs from what the folder holds are replaced.
  auto files = Files();
  if (files == saved_) return;
  for (const auto& [name, bytes] : files) {
    if (platform::ReadWholeFile(dir_ / name, bytes.size()) == bytes) continue;
    WriteFileAtomic(dir_ / name, bytes.data(), bytes.size());
  }
  const auto description = files.find("machine.json");
  description_.assign(description->second.begin(), description->second.end());
  saved_ = std::move(files);
}

std::map<std::string, std::vector<uint8_t>> PersistentMachine::Files() const {
  std::map<std::string, std::vector<uint8_t>> files;
  json doc = ParseJson(description_);
  json& disks = doc["disks"];
  for (size_t i = 0; i < machine_->DiskCount() && i < disks.size(); ++i) {
    Bridge* b = machine_->BridgeAt(i);
    if (b == nullptr) continue;
    json& d = disks[i];
    const std::string name = machine_->DiskName(i);
    d.erase("firmware");
    d.erase("faults");  // injected faults belong to one run
    char hex[8];
    json usb = json::object();
    std::snprintf(hex, sizeof hex, "0x%04X", b->NextVid());
    usb["vid"] = hex;
    std::snprintf(hex, sizeof hex, "0x%04X", b->NextPid());
    usb["pid"] = hex;
    d["usb"] = usb;
    d["serial"] = DeviceTextJson(b->NextSerial());
    d["standby"] = b->config().standby;
    d["standbyTimer"] = b->config().standbyTimer;
    if (SpiFlash* f = b->flash()) {
      d["flashFile"] = name + ".flash";
      files[name + ".flash"].assign(f->data().begin(), f->data().end());
    }
    if (!b->disk().sectors().empty()) {
      d["diskFile"] = name + ".disk";
      files[name + ".disk"] = DiskFileBytes(b->disk());
    }
  }
  const std::string description = doc.dump(2) + "\n";
  files["machine.json"].assign(description.begin(), description.end());
  return files;
}

std::unique_ptr<EmulatedMachine> EmulatedMachine::Open(const std::filesystem::path& dir, platform::Clock& clock) {
  std::unique_ptr<EmulatedMachine> m(new EmulatedMachine);
  if (dir.empty()) m->inMemory_ = DefaultMachine(clock);
  else m->persistent_ = PersistentMachine::Open(dir, clock);
  return m;
}

EmulatedMachine::~EmulatedMachine() = default;

void EmulatedMachine::Save() {
  if (persistent_) persistent_->Save();
}

}  // namespace qvfw::sim
