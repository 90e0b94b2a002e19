// `qvfw erase | backup | program` against emulated machines kept in folders: the question before
// the flash changes, --yes, the options a chip offers, the JSON outcome and the recovery copy.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "support/TempDir.h"

namespace qvfw::cli {
namespace {

namespace fs = std::filesystem;

struct Result {
  int code;
  std::string out, err;
};

class EngineeringCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_.path() / "m");
    std::ofstream(dir_.path() / "m" / "machine.json")
        << R"({ "disks": [ { "name": "bridge0", "chipType": 13, "flash": { "part": "MXIC", "sizeKiB": 64 } } ] })";
    std::vector<char> image(0xC000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 5 + 1);
    // The signature block of a QVS876 image, which `program` checks as `check` does.
    const char block[] = {'\x55', '\xAA', '\xAA', '\x55', '8', '7', '6', '0'};
    std::copy(std::begin(block), std::end(block), image.begin() + 0xBFF0);
    std::ofstream(image_, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
    const char* old = std::getenv("XDG_STATE_HOME");
    if (old) oldState_ = old;
    hadState_ = old != nullptr;
    ::setenv("XDG_STATE_HOME", (dir_.path() / "state").c_str(), 1);
  }
  void TearDown() override {
    SetInteractiveInput(nullptr);
    if (hadState_) ::setenv("XDG_STATE_HOME", oldState_.c_str(), 1);
    else ::unsetenv("XDG_STATE_HOME");
  }
  Result Run(std::vector<std::string> args, const char* machine = "m") {
    std::vector<std::string> all{"qvfw", "--sim=" + (dir_.path() / machine).string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<const char*> argv;
    for (const auto& a : all) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const int code = cli::Run(static_cast<int>(argv.size()), argv.data(), out, err, false, dir_.path());
    return {code, out.str(), err.str()};
  }
  // A persistent emulated machine keeps what its runs leave beside it, in DIR/state.
  size_t RecoveryFiles() {
    const fs::path d = dir_.path() / "m" / "state";
    if (!fs::exists(d)) return 0;
    return static_cast<size_t>(std::distance(fs::directory_iterator(d), fs::directory_iterator()));
  }
  testing::TempDir dir_;
  fs::path image_ = dir_.path() / "image.bin";
  std::string oldState_;
  bool hadState_ = false;
};

TEST_F(EngineeringCommand, ChangingTheFlashNeedsAnAnswer) {
  struct Case {
    std::vector<std::string> args;
    const char* answer;  // nullptr: no terminal
    int code;
    std::string says;
  };
  const std::string img = image_.string();
  const Case cases[] = {
      {{"program", img}, nullptr, kExitUsage, "--yes"},
      {{"erase"}, nullptr, kExitUsage, "--yes"},
      {{"program", img}, "n\n", kExitUsage, "nothing was changed"},
      {{"erase"}, "\n", kExitUsage, "nothing was changed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.answer ? " answered" : " no terminal"));
    std::istringstream answers(c.answer ? c.answer : "");
    SetInteractiveInput(c.answer ? &answers : nullptr);
    const Result r = Run(c.args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    if (c.answer) {
      EXPECT_NE(r.err.find("QVS876"), std::string::npos) << "the question names the chip: " << r.err;
    }
    EXPECT_EQ(RecoveryFiles(), 0u);
  }
  // A yes on the terminal goes ahead.
  std::istringstream yes("y\n");
  SetInteractiveInput(&yes);
  const Result r = Run({"program", img});
  EXPECT_EQ(r.code, kExitSuccess) << r.err;
  EXPECT_NE(r.out.find("Programming Success!!"), std::string::npos) << r.out;
  EXPECT_EQ(RecoveryFiles(), 1u);
}

TEST_F(EngineeringCommand, JsonOutcomeNamesTheRecoveryCopy) {
  const Result r = Run({"--json", "program", image_.string(), "--yes"});
  ASSERT_EQ(r.code, kExitSuccess) << r.err;
  const auto doc = nlohmann::json::parse(r.out);
  EXPECT_EQ(doc["schemaVersion"], 1);
  EXPECT_EQ(doc["command"], "program");
  EXPECT_EQ(doc["device"]["chip"]["type"], 13);
  EXPECT_EQ(doc["outcome"]["code"], "success");
  EXPECT_EQ(doc["outcome"]["status"], "Programming Success!!");
  ASSERT_TRUE(doc["outcome"]["recoveryFile"].is_string());
  EXPECT_EQ(fs::file_size(doc["outcome"]["recoveryFile"].get<std::string>()), 0x10000u);

  // The flash kept in the machine's folder now holds the image: a backup reads it (NVRAM excluded).
  const fs::path backup = dir_.path() / "after.bin";
  const Result b = Run({"--json", "backup", backup.string()});
  ASSERT_EQ(b.code, kExitSuccess) << b.err;
  EXPECT_EQ(nlohmann::json::parse(b.out)["outcome"]["backupFile"], backup.string());
  std::ifstream in(backup, std::ios::binary);
  std::vector<char> got{std::istreambuf_iterator<char>(in), {}};
  std::ifstream orig(image_, std::ios::binary);
  std::vector<char> want{std::istreambuf_iterator<char>(orig), {}};
  ASSERT_EQ(got.size(), 0xC000u);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 0xBFFC, want.begin()));
}

TEST_F(EngineeringCommand, OptionsTheChipDoesNotOfferAndSkippedCopies) {
  const Result buffer = Run({"program", image_.string(), "--yes", "--buffer"});
  EXPECT_EQ(buffer.code, kExitUsage);
  EXPECT_NE(buffer.err.find("--buffer is not offered"), std::string::npos) << buffer.err;

  // A missing file does not pass the check; forced, the procedure says so in its own words.
  const Result missing = Run({"--json", "program", (dir_.path() / "none.bin").string(), "--yes"});
  EXPECT_EQ(missing.code, kExitUsage);
  EXPECT_EQ(nlohmann::json::parse(missing.out)["error"]["kind"], "badInput");
  const Result forced = Run({"--json", "program", (dir_.path() / "none.bin").string(), "--yes", "--force"});
  EXPECT_EQ(forced.code, kExitUsage);
  EXPECT_EQ(nlohmann::json::parse(forced.out)["outcome"]["status"], "Open File Error!!");

  const Result erase = Run({"erase", "--yes", "--no-backup", "--include-nvram"});
  EXPECT_EQ(erase.code, kExitSuccess) << erase.err;
  EXPECT_NE(erase.out.find("Erase flash all success!"), std::string::npos);
  EXPECT_EQ(RecoveryFiles(), 0u);
}

// A QV40776 without flash whose bridge reports no reserved area: its firmware area lies among the
// user's blocks, and only --force-user-area writes there.
TEST_F(EngineeringCommand, TheFirmwareAreaAmongUserDataNeedsForceUserArea) {
  std::ofstream(dir_.path() / "m" / "machine.json")
      << R"({ "disks": [ { "name": "disk30", "chipType": 30, "revision": 1, "flash": "none",
             "disk": { "sectors": 976773168 },
             "parameters": "00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 D2 01 00 00 00 00 00 00 00 00 00 00 00 00" } ] })";
  // A QV40776E image: its signature "776E" behind a marker at 0x4000.
  std::vector<char> area(0x8000, '\x11');
  const char block[] = {'\x55', '\xAA', '\xAA', '\x55', '7', '7', '6', 'E'};
  std::copy(std::begin(block), std::end(block), area.begin() + 0x4000);
  image_ = dir_.path() / "area.bin";
  std::ofstream(image_, std::ios::binary).write(area.data(), static_cast<std::streamsize>(area.size()));
  const Result refused = Run({"--json", "program", image_.string(), "--yes"});
  EXPECT_EQ(refused.code, kExitUsage);
  const auto doc = nlohmann::json::parse(refused.out);
  EXPECT_EQ(doc["outcome"]["status"], "Firmware area in user data, nothing written!");
  EXPECT_NE(doc["outcome"]["reason"].get<std::string>().find("--force-user-area"), std::string::npos);
  EXPECT_TRUE(doc["outcome"]["recoveryFile"].is_null());
  EXPECT_EQ(RecoveryFiles(), 0u);

  const Result forced = Run({"program", image_.string(), "--yes", "--force-user-area"});
  EXPECT_EQ(forced.code, kExitSuccess) << forced.err;
  EXPECT_NE(forced.out.find("Programming Success!!"), std::string::npos);
  EXPECT_EQ(RecoveryFiles(), 1u);

  // The question on a terminal says what will be written.
  std::istringstream no("n\n");
  SetInteractiveInput(&no);
  const Result asked = Run({"erase", "--force-user-area"});
  EXPECT_EQ(asked.code, kExitUsage);
  EXPECT_NE(asked.err.find("erase the first 64 KiB of the firmware area near the end of the attached disk"),
            std::string::npos)
      << asked.err;
}

// An older bridge (whole-image procedure) whose flash refuses every write: the outcome is a
// failure with the procedure's text and the recovery copy; the question claims no kept NVRAM.
TEST_F(EngineeringCommand, OlderBridgeWithARefusedWriteFails) {
  fs::create_directories(dir_.path() / "old");
  std::ofstream(dir_.path() / "old" / "machine.json")
      << R"({ "disks": [ { "name": "old", "chipType": 1, "revision": 1, "flash": { "part": "WINBOND", "sizeKiB": 64 },
               "faults": [ { "kind": "fail", "cdbPrefix": "FF 04 11", "times": 0 } ] } ] })";
  // The first QV40778 revision's images carry 5A A5 0F F0 in their bytes 4..7.
  std::vector<char> old(0xC000, '\x22');
  const char mark[] = {'\x5A', '\xA5', '\x0F', '\xF0'};
  std::copy(std::begin(mark), std::end(mark), old.begin() + 4);
  image_ = dir_.path() / "old.bin";
  std::ofstream(image_, std::ios::binary).write(old.data(), static_cast<std::streamsize>(old.size()));
  const Result r = Run({"--json", "program", image_.string(), "--yes"}, "old");
  EXPECT_EQ(r.code, kExitDeviceFailed) << r.err;
  const auto doc = nlohmann::json::parse(r.out);
  EXPECT_EQ(doc["outcome"]["code"], "failed");
  EXPECT_EQ(doc["outcome"]["status"], "Programming Fail!!");
  ASSERT_TRUE(doc["outcome"]["recoveryFile"].is_string());
  EXPECT_EQ(fs::file_size(doc["outcome"]["recoveryFile"].get<std::string>()), 0x10000u);

  // (A machine's faults belong to its first run.)
  std::istringstream no("n\n");
  SetInteractiveInput(&no);
  const Result asked = Run({"program", image_.string()}, "old");
  EXPECT_EQ(asked.code, kExitUsage);
  EXPECT_NE(asked.err.find("QV40778"), std::string::npos) << asked.err;
  EXPECT_EQ(asked.err.find("NVRAM"), std::string::npos) << "this family keeps no 4 KiB NVRAM: " << asked.err;
  SetInteractiveInput(nullptr);
}

}  // namespace
// An erase leaves a QVS812 on its boot code once it is powered again (each run of the emulated
// machine is a fresh power-on), where neither program nor update reaches it: the erase names the
// command that writes its recovery copy back, and that command brings the bridge back as it was.
TEST_F(EngineeringCommand, AnErasedQvs812IsBroughtBackByTheCommandTheEraseNames) {
  fs::create_directories(dir_.path() / "q");
  std::ofstream(dir_.path() / "q" / "machine.json")
      << R"({ "disks": [ { "name": "bridge0", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 },
                          "serial": "QV812A0001234" } ] })";
  const Result before = Run({"--json", "info"}, "q");
  ASSERT_EQ(before.code, kExitSuccess) << before.err;
  ASSERT_EQ(nlohmann::json::parse(before.out)["device"]["firmware"]["state"], "version");

  const Result erased = Run({"erase", "--yes"}, "q");
  ASSERT_EQ(erased.code, kExitSuccess) << erased.err;
  const std::string marker = "to write it back: qvfw ";
  const size_t at = erased.out.find(marker);
  ASSERT_NE(at, std::string::npos) << erased.out;
  std::istringstream words(erased.out.substr(at + marker.size(), erased.out.find('\n', at) - at - marker.size()));
  std::vector<std::string> command{std::istream_iterator<std::string>(words), {}};
  ASSERT_EQ(command.size(), 5u) << erased.out;
  EXPECT_EQ(command[2], "recover");
  EXPECT_EQ(command[3], "--image");

  const Result onBootCode = Run({"--json", "info"}, "q");
  ASSERT_NE(nlohmann::json::parse(onBootCode.out)["device"]["firmware"]["state"], "version") << onBootCode.out;
  EXPECT_EQ(Run({"update"}, "q").code, kExitNotOffered) << "the update cannot reach it";

  const Result back = Run(command, "q");
  ASSERT_EQ(back.code, kExitSuccess) << back.out << back.err;
  const auto after = nlohmann::json::parse(Run({"--json", "info"}, "q").out);
  EXPECT_EQ(after["device"]["firmware"], nlohmann::json::parse(before.out)["device"]["firmware"]);
  EXPECT_EQ(after["device"]["serial"], "QV812A0001234");
}

}  // namespace qvfw::cli
