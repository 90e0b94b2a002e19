#include "platform/Recording.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "platform/CommandNames.h"
#include "platform/Files.h"

namespace qvfw::platform {
namespace {

using nlohmann::json;
using ordered = nlohmann::ordered_json;  // lines keep their fields in the order written

// FNV-1a, 64 bits: enough to tell a damaged or changed file; it is no seal against someone who
// means to forge one.
uint64_t Fnv1a(std::string_view text, uint64_t hash = 0xCBF29CE484222325ull) {
  for (const char c : text) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 0x100000001B3ull;
  }
  return hash;
}

std::string CheckText(uint64_t hash) {
  char text[32];
  std::snprintf(text, sizeof text, "fnv1a64:%016llx", static_cast<unsigned long long>(hash));
  return text;
}

const char* BusWord(Bus bus) {
  switch (bus) {
    case Bus::Usb: return "usb";
    case Bus::Uasp: return "uasp";
    case Bus::Ieee1394: return "1394";
    case Bus::Other: return "other";
  }
  return "other";
}

const char* KindWord(RecordedCall::Kind kind) {
  switch (kind) {
    case RecordedCall::Kind::Disks: return "disks";
    case RecordedCall::Kind::Volumes: return "volumes";
    case RecordedCall::Kind::Number: return "number";
    case RecordedCall::Kind::Request: return "scsi";
    case RecordedCall::Kind::Events: return "events";
  }
  return "scsi";
}

// Data areas are kept without their trailing zeros: most replies are short in long areas.
std::vector<uint8_t> Trimmed(const std::vector<uint8_t>& bytes) {
  size_t n = bytes.size();
  while (n > 0 && bytes[n - 1] == 0) --n;
  return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)};
}

ordered CallJson(const RecordedCall& c) {
  ordered j;
  j["call"] = KindWord(c.kind);
  j["t"] = c.atUs;
  if (c.lane != 0) j["lane"] = c.lane;
  switch (c.kind) {
    case RecordedCall::Kind::Disks: {
      ordered disks = ordered::array();
      for (const DiskInterface& d : c.disks) disks.push_back({{"path", d.path}, {"bus", BusWord(d.bus)}});
      j["disks"] = std::move(disks);
      j["withoutPassThrough"] = c.withoutPassThrough;
      break;
    }
    case RecordedCall::Kind::Volumes: {
      ordered volumes = ordered::array();
      for (const Volume& v : c.volumes)
        volumes.push_back({{"name", v.name}, {"path", v.path}, {"mount", v.mountPoint}, {"system", v.system},
                           {"remote", v.remote}});
      j["volumes"] = std::move(volumes);
      break;
    }
    case RecordedCall::Kind::Number:
      j["path"] = c.path;
      if (c.number) {
        j["number"] = {{"type", c.number->deviceType}, {"number", c.number->deviceNumber},
                       {"partition", c.number->partitionNumber}};
      } else {
        j["number"] = nullptr;
      }
      break;
    case RecordedCall::Kind::Request: {
      j["path"] = c.path;
      j["name"] = CommandName(c.cdb);
      j["cdb"] = ToHex(c.cdb, true);
      j["dir"] = c.dataIn ? "in" : "out";
      j["length"] = c.length;
      j["timeout"] = c.timeoutSeconds;
      if (c.exclusive) j["exclusive"] = true;
      if (c.senseLength != 0) j["senseLength"] = c.senseLength;
      const ScsiResult& r = c.result;
      if (!r.opened) j["opened"] = false;
      if (!r.ioctlOk) j["ioctl"] = false;
      if (r.osError != 0) j["os"] = r.osError;
      j["status"] = r.scsiStatus;
      j["transferred"] = r.transferred;
      j["residual"] = r.transferred < c.length ? c.length - r.transferred : 0;
      if (r.senseValid != 0) j["senseValid"] = r.senseValid;
      if (!c.sense.empty()) j["sense"] = ToHex(Trimmed(c.sense), true);
      if (r.hostStatus != 0) j["host"] = r.hostStatus;
      if (r.driverStatus != 0) j["driver"] = r.driverStatus;
      j["us"] = c.durationUs;
      // The data last: the fields above stay readable at the start of a long line.
      const std::vector<uint8_t> data = Trimmed(c.dataIn ? c.in : c.out);
      if (!data.empty()) j[c.dataIn ? "in" : "out"] = ToHex(data, false);
      break;
    }
    case RecordedCall::Kind::Events: {
      ordered events = ordered::array();
      for (DeviceEvent e : c.events) events.push_back(e == DeviceEvent::Arrival ? "arrival" : "removal");
      j["events"] = std::move(events);
      j["after"] = c.after;
      break;
    }
  }
  return j;
}

// Reading: every field is checked, and a fault names its line and field.
class LineReader {
 public:
  LineReader(const json& j, size_t line, std::string_view name) : j_(j), line_(line), name_(name) {}

  [[noreturn]] void Fail(const std::string& what) const {
    throw RecordingError(std::string(name_) + ", line " + std::to_string(line_) + ": " + what);
  }
  bool Has(const char* key) const { return j_.contains(key) && !j_.at(key).is_null(); }
  const json& Field(const char* key) const {
    if (!j_.contains(key)) Fail(std::string("\"") + key + "\" is missing");
    return j_.at(key);
  }
  uint64_t Unsigned(const char* key, uint64_t max, std::optional<uint64_t> fallback = std::nullopt) const {
    if (!j_.contains(key) && fallback) return *fallback;
    const json& v = Field(key);
    if (!v.is_number_unsigned() || v.get<uint64_t>() > max)
      Fail(std::string("\"") + key + "\" is not a number from 0 to " + std::to_string(max));
    return v.get<uint64_t>();
  }
  bool Bool(const char* key, bool fallback) const {
    if (!j_.contains(key)) return fallback;
    if (!j_.at(key).is_boolean()) Fail(std::string("\"") + key + "\" is not true or false");
    return j_.at(key).get<bool>();
  }
  std::string String(const char* key, std::optional<std::string> fallback = std::nullopt) const {
    if (!j_.contains(key) && fallback) return *fallback;
    const json& v = Field(key);
    if (!v.is_string()) Fail(std::string("\"") + key + "\" is not a string");
    return v.get<std::string>();
  }
  std::vector<uint8_t> Hex(const char* key, bool required, size_t maxBytes) const {
    if (!j_.contains(key)) {
      if (required) Fail(std::string("\"") + key + "\" is missing");
      return {};
    }
    const json& v = j_.at(key);
    if (!v.is_string()) Fail(std::string("\"") + key + "\" is not a hex string");
    auto bytes = ParseHex(v.get_ref<const std::string&>());
    if (!bytes) Fail(std::string("\"") + key + "\" is not a hex string");
    if (bytes->size() > maxBytes) Fail(std::string("\"") + key + "\" holds more than " + std::to_string(maxBytes) + " bytes");
    return std::move(*bytes);
  }
  const json& Array(const char* key) const {
    const json& v = Field(key);
    if (!v.is_array()) Fail(std::string("\"") + key + "\" is not a list");
    return v;
  }
  LineReader Inner(const json& j) const { return {j, line_, name_}; }
  const json& Json() const { return j_; }

 private:
  const json& j_;
  size_t line_;
  std::string_view name_;
};

Bus ParseBus(const LineReader& r, const std::string& word) {
  if (word == "usb") return Bus::Usb;
  if (word == "uasp") return Bus::Uasp;
  if (word == "1394") return Bus::Ieee1394;
  if (word == "other") return Bus::Other;
  r.Fail("\"" + word + "\" is not a bus (usb, uasp, 1394, other)");
}

RecordedCall ParseCall(const LineReader& r) {
  if (!r.Json().is_object()) r.Fail("not a JSON object");
  RecordedCall c;
  const std::string kind = r.String("call");
  c.atUs = r.Unsigned("t", UINT64_MAX);
  c.lane = static_cast<uint32_t>(r.Unsigned("lane", 0xFFFF, 0));
  if (kind == "disks") {
    c.kind = RecordedCall::Kind::Disks;
    for (const json& d : r.Array("disks")) {
      const LineReader dr = r.Inner(d);
      if (!d.is_object()) r.Fail("a disk is not a JSON object");
      c.disks.push_back({dr.String("path"), ParseBus(r, dr.String("bus"))});
    }
    c.withoutPassThrough = r.Unsigned("withoutPassThrough", UINT32_MAX, 0);
  } else if (kind == "volumes") {
    c.kind = RecordedCall::Kind::Volumes;
    for (const json& v : r.Array("volumes")) {
      const LineReader vr = r.Inner(v);
      if (!v.is_object()) r.Fail("a volume is not a JSON object");
      c.volumes.push_back({vr.String("name"), vr.String("path"), vr.String("mount", ""), vr.Bool("system", false),
                           vr.Bool("remote", false)});
    }
  } else if (kind == "number") {
    c.kind = RecordedCall::Kind::Number;
    c.path = r.String("path");
    if (r.Has("number")) {
      const json& n = r.Field("number");
      if (!n.is_object()) r.Fail("\"number\" is not a JSON object");
      const LineReader nr = r.Inner(n);
      c.number = StorageDeviceNumber{static_cast<uint32_t>(nr.Unsigned("type", UINT32_MAX)),
                                     static_cast<uint32_t>(nr.Unsigned("number", UINT32_MAX)),
                                     static_cast<uint32_t>(nr.Unsigned("partition", UINT32_MAX))};
    }
  } else if (kind == "scsi") {
    c.kind = RecordedCall::Kind::Request;
    c.path = r.String("path");
    c.cdb = r.Hex("cdb", true, 16);
    if (c.cdb.empty()) r.Fail("\"cdb\" is empty");
    const std::string dir = r.String("dir");
    if (dir != "in" && dir != "out") r.Fail("\"dir\" is neither \"in\" nor \"out\"");
    c.dataIn = dir == "in";
    c.length = static_cast<uint32_t>(r.Unsigned("length", UINT32_MAX));
    c.timeoutSeconds = static_cast<uint32_t>(r.Unsigned("timeout", UINT32_MAX));
    c.exclusive = r.Bool("exclusive", false);
    c.senseLength = static_cast<uint32_t>(r.Unsigned("senseLength", kMaxSenseLength, 0));
    c.out = r.Hex("out", false, c.length);
    if (c.dataIn && !c.out.empty()) r.Fail("a data-in request carries \"out\" bytes");
    c.in = r.Hex("in", false, c.length);
    if (!c.dataIn && !c.in.empty()) r.Fail("a data-out request carries \"in\" bytes");
    c.sense = r.Hex("sense", false, c.senseLength);
    ScsiResult& res = c.result;
    res.opened = r.Bool("opened", true);
    res.ioctlOk = r.Bool("ioctl", true);
    res.osError = static_cast<uint32_t>(r.Unsigned("os", UINT32_MAX, 0));
    res.scsiStatus = static_cast<uint8_t>(r.Unsigned("status", 0xFF));
    res.transferred = static_cast<uint32_t>(r.Unsigned("transferred", UINT32_MAX));
    res.senseValid = static_cast<uint32_t>(r.Unsigned("senseValid", UINT32_MAX, 0));
    res.hostStatus = static_cast<uint8_t>(r.Unsigned("host", 0xFF, 0));
    res.driverStatus = static_cast<uint8_t>(r.Unsigned("driver", 0xFF, 0));
    c.durationUs = r.Unsigned("us", UINT64_MAX);
  } else if (kind == "events") {
    c.kind = RecordedCall::Kind::Events;
    for (const json& e : r.Array("events")) {
      if (e == "arrival") c.events.push_back(DeviceEvent::Arrival);
      else if (e == "removal") c.events.push_back(DeviceEvent::Removal);
      else r.Fail("an event is neither \"arrival\" nor \"removal\"");
    }
    if (r.Array("after").size() > 0x10000) r.Fail("\"after\" counts more lanes than there can be");
    for (const json& n : r.Array("after")) {
      if (!n.is_number_unsigned()) r.Fail("\"after\" holds something other than counts");
      c.after.push_back(n.get<uint64_t>());
    }
  } else {
    r.Fail("\"" + kind + "\" is not a kind of call (disks, volumes, number, scsi, events)");
  }
  return c;
}

}  // namespace

std::string ToHex(const std::vector<uint8_t>& bytes, bool spaced) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * (spaced ? 3 : 2));
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (spaced && i != 0) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

std::optional<std::vector<uint8_t>> ParseHex(std::string_view text) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) return std::nullopt;
    const int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    i += 2;
  }
  return bytes;
}

std::string DescribeRecordedRequest(std::string_view path, const std::vector<uint8_t>& cdb, bool dataIn,
                                    uint32_t length) {
  std::string text = CommandName(cdb) + " (" + ToHex(cdb, true) + ") ";
  text += dataIn ? "in " : "out ";
  text += std::to_string(length);
  text += " on ";
  text += path;
  return text;
}

std::string FormatRecording(const SessionRecording& recording) {
  ordered header;
  header["format"] = kRecordingFormat;
  header["version"] = kRecordingVersion;
  header["program"] = recording.program;
  header["frontEnd"] = recording.frontEnd;
  header["args"] = recording.args;
  header["machine"] = recording.machine;
  header["lockedDevices"] = recording.lockedDevices;
  header["anonymous"] = recording.anonymous;
  std::string text = header.dump(-1, ' ', false, ordered::error_handler_t::replace) + '\n';
  for (const RecordedInput& in : recording.inputs) {
    ordered line;
    line["input"] = in.path;
    line["bytes"] = ToHex(in.bytes, false);
    text += line.dump(-1, ' ', false, ordered::error_handler_t::replace) + '\n';
  }
  for (const RecordedCall& c : recording.calls) {
    text += CallJson(c).dump(-1, ' ', false, ordered::error_handler_t::replace);
    text += '\n';
  }
  ordered end;
  end["end"] = true;
  end["calls"] = recording.calls.size();
  if (recording.exitCode) end["exit"] = *recording.exitCode;
  else end["exit"] = nullptr;
  end["check"] = CheckText(Fnv1a(text));
  text += end.dump(-1, ' ', false, ordered::error_handler_t::replace) + '\n';
  return text;
}

SessionRecording ParseRecording(std::string_view text, std::string_view name, bool verify) {
  auto fail = [&](const std::string& what) -> RecordingError { return RecordingError(std::string(name) + ": " + what); };
  SessionRecording rec;
  size_t lineNumber = 0;
  size_t pos = 0;
  bool ended = false;
  uint64_t hash = 0xCBF29CE484222325ull;
  while (pos < text.size()) {
    const size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos)
      throw fail("line " + std::to_string(lineNumber + 1) + " has no end: the recording was cut short");
    const std::string_view line = text.substr(pos, eol - pos);
    ++lineNumber;
    if (ended) throw fail("line " + std::to_string(lineNumber) + " follows the closing line: something was added to the recording");
    const json j = json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object())
      throw fail("line " + std::to_string(lineNumber) + " is not a JSON object" +
                 (eol + 1 >= text.size() ? ": the recording was cut short" : ""));
    const LineReader r(j, lineNumber, name);
    if (lineNumber == 1) {
      if (!j.contains("format") || j.at("format") != kRecordingFormat)
        throw fail("this is not a qvfw recording (its first line does not say \"format\": \"qvfw-recording\")");
      const uint64_t version = r.Unsigned("version", UINT32_MAX);
      if (version > static_cast<uint64_t>(kRecordingVersion))
        throw fail("it was made in format version " + std::to_string(version) + "; this program reads version " +
                   std::to_string(kRecordingVersion) + " and older");
      if (version < 1) throw fail("format version 0 does not exist");
      rec.program = r.String("program", "");
      rec.frontEnd = r.String("frontEnd", "");
      rec.machine = r.String("machine", "");
      rec.lockedDevices = r.Bool("lockedDevices", false);
      rec.anonymous = r.Bool("anonymous", false);
      for (const json& a : r.Array("args")) {
        if (!a.is_string()) r.Fail("\"args\" holds something other than strings");
        rec.args.push_back(a.get<std::string>());
      }
    } else if (j.contains("input")) {
      if (!rec.calls.empty()) r.Fail("an input follows the calls");
      RecordedInput in;
      in.path = r.String("input");
      in.bytes = r.Hex("bytes", true, kMaxRecordingBytes);
      rec.inputs.push_back(std::move(in));
    } else if (j.contains("end")) {
      ended = true;
      const uint64_t calls = r.Unsigned("calls", UINT64_MAX);
      if (verify && calls != rec.calls.size())
        throw fail("its closing line counts " + std::to_string(calls) + " calls, but it holds " +
                   std::to_string(rec.calls.size()) + ": lines were removed or added");
      if (verify && r.String("check") != CheckText(hash))
        throw fail("it was changed after it was made (its check value does not match its content); a recording is "
                   "replayed only as it was made");
      if (r.Has("exit")) {
        const json& e = j.at("exit");
        if (!e.is_number_integer()) r.Fail("\"exit\" is not a number");
        rec.exitCode = e.get<int>();
      }
    } else {
      RecordedCall c = ParseCall(r);
      c.line = static_cast<uint32_t>(lineNumber);
      rec.calls.push_back(std::move(c));
    }
    hash = Fnv1a(text.substr(pos, eol + 1 - pos), hash);
    pos = eol + 1;
  }
  if (lineNumber == 0) throw fail("it is empty");
  if (!ended)
    throw fail("it ends at line " + std::to_string(lineNumber) +
               " without its closing line: it was cut short (or the program that made it did not end)");
  return rec;
}

SessionRecording LoadRecording(const std::filesystem::path& file) {
  const FileRead read = ReadRegularFile(file, kMaxRecordingBytes);
  if (!read.ok()) throw RecordingError(file.string() + " " + read.Reason());
  return ParseRecording(std::string_view(reinterpret_cast<const char*>(read.bytes.data()), read.bytes.size()),
                        file.string());
}

int SaveRecording(const std::filesystem::path& file, const SessionRecording& recording) {
  const std::string text = FormatRecording(recording);
  return ReplaceFile(file, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0600);
}

}  // namespace qvfw::platform
