// The command line never calls a wrong result a success: `program` needs the image `check` passes
// (the window's gate) unless --force; backups go only into regular files; the dual-bank repair of
// the inspection is told; the QVS812 line erases its first 4 KiB when asked; a blank NVRAM is
// taken from the recovery copy that holds it with --nvram-from; the question before a change says
// what cannot be undone.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliRun.h"
#include "codec/ImageChecksum.h"
#include "sim/FirmwareImage.h"
#include "sim/Scenario.h"
#include "support/TempDir.h"

namespace qvfw::cli {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::vector<uint8_t> Bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void Put(const fs::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
  return v;
}

class TrustCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("XDG_STATE_HOME");
    hadState_ = old != nullptr;
    if (old) oldState_ = old;
    ::setenv("XDG_STATE_HOME", (dir_.path() / "state").c_str(), 1);
  }
  void TearDown() override {
    SetInteractiveInput(nullptr);
    if (hadState_) ::setenv("XDG_STATE_HOME", oldState_.c_str(), 1);
    else ::unsetenv("XDG_STATE_HOME");
  }
  // A machine folder of the disks of the `families` machine named in `names`, each flash in a
  // file of the folder (NAME.flash) holding the family's generated firmware, as the machine
  // would make it.
  std::string Families(const std::string& folder, std::vector<std::string> names) {
    const json preset = json::parse(sim::PresetScenarioJson("families"));
    json disks = json::array();
    fs::create_directories(dir_.path() / folder);
    for (json d : preset["disks"]) {
      const std::string name = d["name"];
      if (std::find(names.begin(), names.end(), name) == names.end()) continue;
      if (d["flash"].is_object()) {
        const uint32_t size = d["flash"]["sizeKiB"].get<uint32_t>() * 1024;
        std::vector<uint8_t> flash(size, 0xFF);
        const std::vector<uint8_t> firmware = sim::GenerateFirmwareImage(
            {d["chipType"].get<uint8_t>(), d.value("revision", uint8_t{0}), "1201", std::min<uint32_t>(size, 0x40000), 1});
        std::copy(firmware.begin(), firmware.end(), flash.begin());
        Put(dir_.path() / folder / (name + ".flash"), flash);
        d["flashFile"] = name + ".flash";
      }
      disks.push_back(d);
    }
    return MachineFolder(dir_.path() / folder, json{{"disks", disks}}.dump());
  }
  fs::path File(const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path p = dir_.path() / name;
    Put(p, bytes);
    return p;
  }
  testing::TempDir dir_;
  std::string oldState_;
  bool hadState_ = false;
};

// `check` and `program` give the same verdict for the same file, and a refused image changes
// nothing; --force programs it all the same.
TEST_F(TrustCommand, ProgramTakesWhatCheckPasses) {
  const std::string sim = Families("fam", {"storage13", "erase9"});
  const fs::path flash13 = dir_.path() / "fam" / "storage13.flash";
  const std::vector<uint8_t> otherFamily = sim::GenerateFirmwareImage({15, 0, "1302", 0xC000, 3});
  std::vector<uint8_t> tooLarge = Pattern(0x40000, 5);  // a QVS876 image, twice the flash
  const uint8_t block[] = {0x55, 0xAA, 0xAA, 0x55, '8', '7', '6', '0'};
  std::copy(std::begin(block), std::end(block), tooLarge.begin() + 0xBFF0);
  const std::string text = "bridge0.example.org\n";
  struct Case {
    const char* what;
    fs::path image;
    const char* kind;
  };
  const Case cases[] = {
      {"another family's image", File("other.bin", otherFamily), "badInput"},
      {"a file that is no image", File("hostname", std::vector<uint8_t>(text.begin(), text.end())), "badInput"},
      {"a 1-byte file", File("one.bin", {0x55}), "badInput"},
      {"a file larger than the flash", File("large.bin", tooLarge), "badInput"},
  };
  // The families machine's QVS876 is device 0 of this folder; its flash is saved after each run.
  const std::vector<uint8_t> before = Bytes(flash13);
  ASSERT_FALSE(before.empty());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const CliOutcome check = RunCli({sim, "--json", "check", c.image.string()});
    const CliOutcome program = RunCli({sim, "--json", "program", c.image.string(), "--yes"});
    EXPECT_EQ(check.code, kExitUsage) << check.out;
    EXPECT_EQ(program.code, check.code) << program.out;
    const json checked = json::parse(check.out), programmed = json::parse(program.out);
    EXPECT_EQ(checked["error"]["kind"], c.kind);
    EXPECT_EQ(programmed["error"]["kind"], checked["error"]["kind"]);
    const std::string said = checked["error"]["message"];
    EXPECT_EQ(programmed["error"]["message"].get<std::string>().rfind(said, 0), 0u)
        << "program says what check says: " << programmed["error"]["message"];
    EXPECT_NE(programmed["error"]["message"].get<std::string>().find("--force"), std::string::npos);
    EXPECT_EQ(Bytes(flash13), before) << "nothing was written";
  }
  // An image that fits passes both.
  std::vector<uint8_t> fits = Pattern(0xC000, 9);
  std::copy(std::begin(block), std::end(block), fits.begin() + 0xBFF0);
  const fs::path good = File("good.bin", fits);
  EXPECT_EQ(RunCli({sim, "check", good.string()}).code, kExitSuccess);
  const CliOutcome programmed = RunCli({sim, "program", good.string(), "--yes"});
  EXPECT_EQ(programmed.code, kExitSuccess) << programmed.err;

  // --force takes a file the check refuses (here on the QVB788, whose procedure checks nothing more).
  const fs::path flash9 = dir_.path() / "fam" / "erase9.flash";
  const std::vector<uint8_t> before9 = Bytes(flash9);
  const CliOutcome refused = RunCli({sim, "-d", "1", "program", cases[1].image.string(), "--yes"});
  EXPECT_EQ(refused.code, kExitUsage);
  EXPECT_EQ(Bytes(flash9), before9);
  const CliOutcome forced = RunCli({sim, "-d", "1", "program", cases[1].image.string(), "--yes", "--force"});
  EXPECT_EQ(forced.code, kExitSuccess) << forced.err;
  EXPECT_NE(Bytes(flash9), before9);
}

// A backup into something that is not a regular file is refused, exit 2, and the thing stays.
TEST_F(TrustCommand, BackupOnlyIntoARegularFile) {
  const std::string sim = Families("fam", {"storage13"});
  const fs::path fifo = dir_.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink("/dev/null", dir_.path() / "null");
  for (const fs::path& target : {fifo, dir_.path() / "null"}) {
    SCOPED_TRACE(target.string());
    const CliOutcome r = RunCli({sim, "backup", target.string()});
    EXPECT_EQ(r.code, kExitUsage) << r.err;
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_TRUE(fs::is_symlink(dir_.path() / "null"));
}

// A QVS876 on 128 KiB with a valid bank 0 and a blank bank 1: the inspection rewrites bank 1, and
// `info` and `list` say so (text and JSON).
TEST_F(TrustCommand, TheBankRepairIsTold) {
  std::vector<uint8_t> flash(0x20000, 0xFF);
  std::vector<uint8_t> bank = Pattern(0x10000, 3);
  const uint8_t block[] = {0x55, 0xAA, 0xAA, 0x55, '8', '7', '6', 0, 0, 0};
  std::copy(std::begin(block), std::end(block), bank.begin() + 0xBFF0);
  codec::StoreImageChecksum(bank, 0xC000);
  std::copy(bank.begin(), bank.end(), flash.begin());
  const char* machine = R"({ "disks": [ { "name": "b", "chipType": 13, "flash": { "part": "WINBOND", "sizeKiB": 128 },
                             "flashFile": "b.flash" } ] })";
  for (const char* command : {"info", "list"}) {
    SCOPED_TRACE(command);
    for (const bool asJson : {false, true}) {
      const std::string folder = std::string(command) + (asJson ? "-json" : "");
      const std::string sim = MachineFolder(dir_.path() / folder, machine);
      Put(dir_.path() / folder / "b.flash", flash);
      const CliOutcome r = asJson ? RunCli({sim, "--json", command}) : RunCli({sim, command});
      ASSERT_EQ(r.code, kExitSuccess) << r.err;
      if (asJson) {
        const json doc = json::parse(r.out);
        const json device = std::string(command) == "info" ? doc["device"] : doc["devices"][0];
        EXPECT_EQ(device["bankRepair"]["succeeded"], true);
        EXPECT_EQ(device["bankRepair"]["status"], "FW Recovery successful!!");
        EXPECT_TRUE(device["bankRepair"]["recoveryFile"].is_string());
      } else {
        EXPECT_NE(r.out.find("FW Recovery successful!!"), std::string::npos) << r.out;
      }
      const std::vector<uint8_t> after = Bytes(dir_.path() / folder / "b.flash");
      EXPECT_TRUE(std::equal(bank.begin(), bank.end(), after.begin() + 0x10000)) << "bank 1 holds bank 0's image";
    }
  }
  // Once repaired, nothing more is told.
  const std::string sim = "--sim=" + (dir_.path() / "info").string();
  const CliOutcome again = RunCli({sim, "info"});
  EXPECT_EQ(again.out.find("FW Recovery"), std::string::npos) << again.out;
}

// The QVS812 line: `erase` keeps its first 4 KiB, and erases them with --include-nvram, as the
// window's panel does.
TEST_F(TrustCommand, TheQvs812LineErasesItsFirst4KiBWhenAsked) {
  for (const bool include : {false, true}) {
    SCOPED_TRACE(include ? "--include-nvram" : "kept");
    const std::string folder = include ? "with" : "without";
    const std::string sim = Families(folder, {"buffer15"});
    const std::vector<uint8_t> before = Bytes(dir_.path() / folder / "buffer15.flash");
    std::vector<std::string> args{sim, "erase", "--yes"};
    if (include) args.push_back("--include-nvram");
    const CliOutcome r = RunCli(args);
    ASSERT_EQ(r.code, kExitSuccess) << r.err;
    const std::vector<uint8_t> after = Bytes(dir_.path() / folder / "buffer15.flash");
    const std::vector<uint8_t> head(after.begin(), after.begin() + 4096);
    if (include) EXPECT_EQ(head, std::vector<uint8_t>(4096, 0xFF));
    else EXPECT_EQ(head, std::vector<uint8_t>(before.begin(), before.begin() + 4096));
  }
}

// An NVRAM left blank: the run names the recovery copy that holds it, and --nvram-from takes it.
TEST_F(TrustCommand, ABlankNvramComesBackWithNvramFrom) {
  const std::string sim = Families("fam", {"erase9"});
  const fs::path flashFile = dir_.path() / "fam" / "erase9.flash";
  const CliOutcome first = RunCli({sim, "--json", "erase", "--yes"});
  ASSERT_EQ(first.code, kExitSuccess) << first.err;
  const std::string copy = json::parse(first.out)["outcome"]["recoveryFile"];
  const std::vector<uint8_t> kept = Bytes(copy);
  ASSERT_GE(kept.size(), 4096u);
  const std::vector<uint8_t> nvram(kept.begin(), kept.begin() + 4096);
  ASSERT_NE(nvram, std::vector<uint8_t>(4096, 0xFF));
  // As an erase cut short leaves it: the NVRAM region blank.
  std::vector<uint8_t> flash = Bytes(flashFile);
  std::fill(flash.begin(), flash.begin() + 4096, 0xFF);
  Put(flashFile, flash);

  const CliOutcome refused = RunCli({sim, "erase", "--yes"});
  EXPECT_EQ(refused.code, kExitUsage) << refused.err;
  EXPECT_NE(refused.err.find("--nvram-from " + copy), std::string::npos) << refused.err;
  EXPECT_EQ(Bytes(flashFile), flash);

  const CliOutcome taken = RunCli({sim, "erase", "--yes", "--nvram-from", copy});
  ASSERT_EQ(taken.code, kExitSuccess) << taken.err;
  const std::vector<uint8_t> after = Bytes(flashFile);
  EXPECT_EQ(std::vector<uint8_t>(after.begin(), after.begin() + 4096), nvram);
}

// The question before a change says what cannot be undone: no recovery copy, and an image written
// over the device's NVRAM by the page-program procedure.
TEST_F(TrustCommand, TheQuestionSaysWhatCannotBeUndone) {
  const std::string sim = Families("fam", {"erase9"});
  std::istringstream no("n\n");
  SetInteractiveInput(&no);
  const CliOutcome bare = RunCli({sim, "erase", "--no-backup"});
  EXPECT_EQ(bare.code, kExitUsage);
  EXPECT_NE(bare.err.find("No recovery copy is kept"), std::string::npos) << bare.err;
  EXPECT_NE(bare.err.find("cannot be brought back"), std::string::npos) << bare.err;

  // A QVS882 of revision 5 on an SST-25 flash programs through SPI page programming from address
  // 0: an image without an NVRAM head goes over the device's NVRAM.
  const std::string page = MachineFolder(dir_.path() / "page", R"({ "disks": [ { "name": "p", "chipType": 12,
      "revision": 5, "flash": { "part": "SST", "sizeKiB": 2048 } } ] })");
  std::vector<uint8_t> image = Pattern(0x8000, 4);
  const uint8_t block[] = {0x55, 0xAA, 0xAA, 0x55, '8', '8', '2', 0, 0, 0};
  std::copy(std::begin(block), std::end(block), image.begin());
  const fs::path file = File("page.bin", image);
  std::istringstream no2("n\n");
  SetInteractiveInput(&no2);
  const CliOutcome asked = RunCli({page, "program", file.string()});
  EXPECT_EQ(asked.code, kExitUsage) << asked.err;
  EXPECT_NE(asked.err.find("over the device's 4 KiB NVRAM, which is not kept"), std::string::npos) << asked.err;
}

}  // namespace
}  // namespace qvfw::cli
