// `qvfw list`, `info` and `check` against emulated machines.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "cli/Cli.h"

namespace qvfw::cli {
namespace {

struct Outcome {
  int code;
  std::string out, err;
};

Outcome RunCli(std::vector<std::string> args) {
  args.insert(args.begin(), "qvfw");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const int code = Run(static_cast<int>(argv.size()), argv.data(), out, err, false);
  return {code, out.str(), err.str()};
}

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
  EXPECT_NE(table.out.find("one-click: "), std::string::npos) << table.out;

  const Outcome json = RunCli({"--sim", "list", "--json"});
  ASSERT_EQ(json.code, 0) << json.err;
  const auto devices = nlohmann::json::parse(json.out);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]["chipType"], 15);
  EXPECT_EQ(devices[0]["bus"], "USB");
  EXPECT_EQ(devices[0]["volumes"], "E");
}

TEST(ListCommand, TwoBridgesAndNoDevice) {
  testing::TempDir dir;
  {
    const Outcome o = RunCli({Machine(dir, R"({"disks": [
        {"name": "a", "chipType": 16, "bus": "usb", "volumes": ["F"]},
        {"name": "b", "chipType": 13, "bus": "uasp", "volumes": ["G", "H"]}]})"),
                              "list", "--json"});
    ASSERT_EQ(o.code, 0) << o.err;
    const auto devices = nlohmann::json::parse(o.out);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]["index"], 0);
    EXPECT_EQ(devices[0]["chipType"], 16);
    EXPECT_EQ(devices[0]["volumes"], "F");
    EXPECT_EQ(devices[1]["index"], 1);
    EXPECT_EQ(devices[1]["chipType"], 13);
    EXPECT_EQ(devices[1]["volumes"], "GH");
  }
  {
    const Outcome o = RunCli({Machine(dir, R"({"disks": [{"name": "plain", "kind": "disk"}]})"), "list"});
    EXPECT_EQ(o.code, 3);
    EXPECT_NE(o.err.find("No device found!!"), std::string::npos) << o.err;
  }
}

TEST(InfoCommand, SelectedDeviceFacts) {
  testing::TempDir dir;
  const std::string sim = Machine(dir, R"({"disks": [
      {"name": "a", "chipType": 16, "bus": "usb"},
      {"name": "b", "chipType": 13, "bus": "uasp", "flash": {"part": "SST", "sizeKiB": 2048}, "volumes": ["G"]}]})");
  const Outcome o = RunCli({sim, "-d", "1", "info", "--json"});
  ASSERT_EQ(o.code, 0) << o.err;
  const auto j = nlohmann::json::parse(o.out);
  EXPECT_EQ(j["index"], 1);
  EXPECT_EQ(j["chip"], "QVS876 Series");
  EXPECT_EQ(j["flashVendor"], "SST");
  EXPECT_EQ(j["flashSizeKiB"], 2048);
  EXPECT_EQ(j["driveLetters"], "G");
  EXPECT_EQ(j["options"], nlohmann::json::array({"Include 4K NVRAM"}));

  const Outcome missing = RunCli({sim, "-d", "2", "info"});
  EXPECT_NE(missing.code, 0);
}

TEST(CheckCommand, SignatureAndSizeAgainstTheDevice) {
  testing::TempDir dir;
  auto image = [&](const char* name, size_t size, const char* key) {
    std::string bytes(size, '\xFF');
    const std::string block = std::string("\x55\xAA\xAA\x55", 4) + key;
    bytes.replace(0xBFF0, block.size(), block);
    return dir.Write(name, bytes).string();
  };
  struct Case {
    const char* what;
    std::string file;
    int code;
    const char* said;
  };
  const Case cases[] = {
      {"fits", image("fit.bin", 0xC000, "8121"), 0, "fits"},
      {"another family", image("other.bin", 0xC000, "8141"), 2, "seems not match"},
      {"as large as the flash", image("full.bin", 512 * 1024, "8121"), 0, "fits"},
      {"larger than the flash", image("big.bin", 512 * 1024 + 1, "8121"), 2, "bigger than the flash size"},
      {"missing", (dir.path() / "none.bin").string(), 2, "Open Firmware File Error!!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = RunCli({"--sim", "check", c.file});
    EXPECT_EQ(o.code, c.code) << o.err;
    EXPECT_NE((o.out + o.err).find(c.said), std::string::npos) << o.out << o.err;
  }
}

}  // namespace
}  // namespace qvfw::cli
