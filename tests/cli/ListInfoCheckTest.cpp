// `qvfw list`, `info` and `check` against emulated machines: what they print, the JSON schema of
// every command, the flash size that belongs to each device, and what one scan sends.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "cli/CliRun.h"
#include "sim/Scenario.h"
#include "support/TempDir.h"

namespace qvfw::cli {
namespace {

using nlohmann::json;

using Outcome = CliOutcome;

// A machine directory for --sim=DIR holding `description`.
std::string Machine(const testing::TempDir& dir, std::string_view description) {
  dir.Write("machine.json", description);
  return "--sim=" + dir.path().string();
}

TEST(ListCommand, TheBuiltInMachineAsTableAndJson) {
  const Outcome table = RunCli({"--sim", "list"});
  EXPECT_EQ(table.code, 0) << table.err;
  EXPECT_NE(table.out.find("QVS812 Series"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("sim:usbstor:"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("one-click update to 01.02.00.03: offered"), std::string::npos) << table.out;
  EXPECT_EQ(table.err, "") << "nothing but the list";

  const Outcome o = RunCli({"--sim", "list", "--json"});
  ASSERT_EQ(o.code, 0) << o.err;
  const json doc = json::parse(o.out);
  EXPECT_EQ(doc["schemaVersion"], 1);
  ASSERT_EQ(doc["devices"].size(), 1u);
  const json& d = doc["devices"][0];
  EXPECT_EQ(d["chip"]["type"], 15);
  EXPECT_EQ(d["bus"], "USB");
  EXPECT_EQ(d["volumes"], "E");
  EXPECT_EQ(d["firmware"]["version"], "1.2.0.1");
  EXPECT_EQ(d["carriedVersion"], "01.02.00.03");
  EXPECT_EQ(d["oneClick"]["offered"], true);
  EXPECT_EQ(d["serial"], "QV812A0001234");
  EXPECT_EQ(d["usb"]["vid"], "284D");
}

TEST(ListCommand, TwoBridgesAndNoDevice) {
  testing::TempDir dir;
  {
    const Outcome o = RunCli({Machine(dir, R"({"disks": [
        {"name": "a", "chipType": 16, "bus": "usb", "volumes": ["F"]},
        {"name": "b", "chipType": 13, "bus": "uasp", "volumes": ["G", "H"]}]})"),
                              "list", "--json"});
    ASSERT_EQ(o.code, 0) << o.err;
    const json devices = json::parse(o.out)["devices"];
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]["index"], 0);
    EXPECT_EQ(devices[0]["chip"]["type"], 16);
    EXPECT_EQ(devices[0]["volumes"], "F");
    EXPECT_EQ(devices[0]["oneClick"]["offered"], false);
    EXPECT_EQ(devices[0]["oneClick"]["reason"], "the one-click update is for QVS812 bridges only");
    EXPECT_EQ(devices[1]["index"], 1);
    EXPECT_EQ(devices[1]["chip"]["type"], 13);
    EXPECT_EQ(devices[1]["volumes"], "GH");
  }
  for (bool asJson : {false, true}) {
    std::vector<std::string> args{Machine(dir, R"({"disks": [{"name": "plain", "kind": "disk"}]})"), "list"};
    if (asJson) args.push_back("--json");
    const Outcome o = RunCli(args);
    EXPECT_EQ(o.code, 3);
    if (asJson) {
      const json doc = json::parse(o.out);
      EXPECT_EQ(doc["error"]["exitCode"], 3);
      EXPECT_EQ(doc["error"]["kind"], "noDevice");
    } else {
      EXPECT_NE(o.err.find("No device found!!"), std::string::npos) << o.err;
    }
  }
}

// Every device's flash size is its own or unknown, whichever device was inspected before it.
// Devices report texts that need not be UTF-8 (bytes of another code page in an INQUIRY name or a
// serial number): the JSON answer is still JSON, with each such byte written as "\xNN".
TEST(ListCommand, TextsThatAreNotUtf8AreEscapedInJson) {
  testing::TempDir dir;
  const std::string sim = Machine(dir, R"({"disks": [
      {"name": "a", "chipType": 15, "vendor": { "hex": "51 61 76 FF 6F 6E" }, "serial": { "hex": "51 56 E9 30 31" },
       "product": "Bridge \u00e9t\u00e9"}]})");
  for (const char* command : {"list", "info"}) {
    SCOPED_TRACE(command);
    const Outcome o = RunCli({sim, "--json", command});
    ASSERT_EQ(o.code, 0) << o.err;
    const json doc = json::parse(o.out);
    const json& d = std::string(command) == "list" ? doc["devices"][0] : doc["device"];
    EXPECT_EQ(d["name"].get<std::string>().rfind("Qav\\xFFon", 0), 0u) << d["name"];
    EXPECT_NE(d["name"].get<std::string>().find("Bridge \u00e9t\u00e9"), std::string::npos) << "UTF-8 stays as it is";
    EXPECT_EQ(d["serial"], "QV\\xE901");
  }
  // The machine folder keeps the serial's bytes as they are for the next run.
  const Outcome again = RunCli({sim, "--json", "info"});
  EXPECT_EQ(json::parse(again.out)["device"]["serial"], "QV\\xE901");
}

TEST(InfoCommand, FlashSizeBelongsToTheDeviceOrIsUnknown) {
  const std::map<int, json> expected = {
      {0, 512},      // QVS812: sized through its own id command
      {1, 128},      // QVS876: sized through raw SPI
      {2, nullptr},  // QVB788: this family's flash is not sized
      {3, nullptr}, {4, nullptr}, {5, nullptr},
  };
  testing::TempDir dir;
  const std::string sim = Machine(dir, sim::PresetScenarioJson("families"));
  // Alone and after another device: the same answer.
  const Outcome all = RunCli({sim, "list", "--json"});
  ASSERT_EQ(all.code, 0) << all.err;
  const json devices = json::parse(all.out)["devices"];
  for (const auto& [index, size] : expected) {
    SCOPED_TRACE(index);
    const Outcome one = RunCli({sim, "info", "-d", std::to_string(index), "--json"});
    ASSERT_EQ(one.code, 0) << one.err;
    const json alone = json::parse(one.out)["device"]["flash"];
    ASSERT_TRUE(alone.is_object());
    EXPECT_EQ(alone["sizeKiB"], size);
    EXPECT_EQ(devices[index]["flash"]["sizeKiB"], size);
  }
}

TEST(CheckCommand, SignatureAndSizeAgainstTheDevice) {
  testing::TempDir dir;
  auto image = [&](const char* name, size_t size, const char* key) {
    std::string bytes(size, '\xFF');
    const std::string block = std::string("\x55\xAA\xAA\x55", 4) + key;
    bytes.replace(std::min<size_t>(0xBFF0, bytes.size() - block.size()), block.size(), block);
    return dir.Write(name, bytes).string();
  };
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int code;
    const char* said;
  };
  // A QVB788 image: its signature at offset 0.
  std::string bytes(100 * 1024, '\xFF');
  bytes.replace(0, 8, std::string("\0\0\0\0", 4) + "7811");
  const std::string qvb788 = dir.Write("qvb788.bin", bytes).string();
  testing::TempDir machine, mute;
  const std::string families = Machine(machine, sim::PresetScenarioJson("families"));
  // A QVB788 whose flash answers no JEDEC id: nothing tells its size.
  const std::string noId = Machine(mute, R"({ "disks": [ { "name": "q", "chipType": 9,
      "flash": { "part": "EON", "sizeKiB": 256, "jedec": "FF FF FF FF" } } ] })");
  const Case cases[] = {
      {"fits", {"--sim", "check", image("fit.bin", 0xC000, "8121")}, 0, "fits"},
      {"another family", {"--sim", "check", image("other.bin", 0xC000, "8141")}, 2, "seems not match"},
      {"as large as the flash", {"--sim", "check", image("full.bin", 512 * 1024, "8121")}, 0, "fits"},
      {"larger than the flash", {"--sim", "check", image("big.bin", 512 * 1024 + 1, "8121")}, 2,
       "bigger than the flash size"},
      {"missing", {"--sim", "check", (dir.path() / "none.bin").string()}, 2, "Open Firmware File Error!!"},
      // The QVB788 reports no size: the flash's JEDEC id tells it.
      {"flash sized by its id", {families, "check", qvb788, "-d", "2"}, 0, "(flash 256 KiB)"},
      // A device whose flash size is unknown is never compared against another device's size.
      {"unknown flash size", {noId, "check", qvb788}, 2, "the flash size of this device is unknown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = RunCli(c.args);
    EXPECT_EQ(o.code, c.code) << o.err;
    EXPECT_NE((o.out + o.err).find(c.said), std::string::npos) << o.out << o.err;
  }
}

// The shape of `actual` against a checked-in example: the same keys in every object, the same
// kind of value in every field (a field may be null where the device does not tell).
void ExpectSameShape(const json& example, const json& actual, const std::string& where) {
  if (actual.is_null()) return;
  ASSERT_EQ(example.type_name(), std::string(actual.type_name())) << where;
  if (example.is_object()) {
    for (const auto& [key, value] : example.items()) {
      ASSERT_TRUE(actual.contains(key)) << where << "." << key << " is missing";
      ExpectSameShape(value, actual[key], where + "." + key);
    }
    for (const auto& [key, value] : actual.items())
      EXPECT_TRUE(example.contains(key)) << where << "." << key << " is not in the schema";
  } else if (example.is_array() && !example.empty()) {
    for (const json& item : actual) ExpectSameShape(example[0], item, where + "[]");
  }
}

TEST(JsonSchema, EveryCommandMatchesItsExample) {
  testing::TempDir work;
  std::string fit(0xC000, '\xFF');
  fit.replace(0xBFF0, 8, std::string("\x55\xAA\xAA\x55", 4) + "8121");
  const std::string image = work.Write("fit.bin", fit).string();
  struct Case {
    const char* example;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"list.json", {"--sim", "list", "--json"}},
      {"info.json", {"--sim", "--json", "info"}},
      {"check.json", {"--sim", "check", image, "--json"}},
      {"update.json", {"--sim", "update", "--json"}},
      {"update-all.json", {"--sim", "update", "--all", "--json"}},
      {"backup.json", {"--sim", "--json", "backup", (work.path() / "backup.bin").string()}},
      {"error.json", {"--sim", "info", "-d", "7", "--json"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.example);
    std::ifstream in(std::filesystem::path(QVFW_SCHEMA_DIR) / c.example);
    ASSERT_TRUE(in) << "no example";
    const json example = json::parse(in);
    const Outcome o = RunCli(c.args, work.path());
    const json actual = json::parse(o.out);
    EXPECT_EQ(actual["schemaVersion"], 1);
    if (actual.contains("error")) {
      EXPECT_EQ(actual["error"]["exitCode"], o.code);
    }
    ExpectSameShape(example, actual, c.example);
  }
}

// One scan of one bridge asks it each thing once: the INQUIRY of discovery names and identifies
// the device too, and the check of the scan's own device does not identify it again.
TEST(Scan, EveryRequestOfOneBridgeOnce) {
  const Outcome o = RunCli({"--sim", "--trace", "list"});
  ASSERT_EQ(o.code, 0) << o.err;
  std::map<std::string, int> seen;
  std::istringstream lines(o.err);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("scsi: ", 0) == 0) ++seen[line.substr(0, line.find(" | "))];
  EXPECT_EQ(seen.size(), 7u);
  for (const auto& [cdb, count] : seen) EXPECT_EQ(count, 1) << cdb;
  EXPECT_EQ(seen.count("scsi: 12 00 00 00 28 00 00 00 00 00 00 00"), 1u);
}

}  // namespace
}  // namespace qvfw::cli
