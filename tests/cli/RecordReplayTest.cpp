// Recording and replaying through the command line: every main operation recorded on the
// emulator replays strictly with the same outcome and output; a recording changes nothing that is
// sent; one different byte stops a replay with the first difference named; a damaged recording
// is refused; an anonymous recording replays; and the recordings kept in tests/data replay.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "CliRun.h"
#include "RecordingReplay.h"
#include "platform/Recording.h"
#include "support/TempDir.h"

namespace qvfw::cli {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

const char* const kTwoBridges = R"({ "disks": [
  { "name": "bridge0", "bus": "usb", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 },
    "serial": "QV812A0001234", "volumes": [ "E" ] },
  { "name": "bridge1", "bus": "uasp", "chipType": 15, "flash": { "part": "WINBOND", "sizeKiB": 512 },
    "serial": "QV812B0005678", "volumes": [ "F" ] } ] })";

// A QVS812 whose update is cut while it programs: it is left on its boot code, its identity kept.
const char* const kLeftOnBootCode = R"({ "disks": [
  { "name": "bridge0", "bus": "usb", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 },
    "serial": "QV812A0001234", "volumes": [ "E" ], "faults": [ { "kind": "unplug", "atCommand": 40 } ] } ] })";

std::string Families() {
  return R"({ "disks": [
    { "name": "buffer15", "bus": "usb", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 }, "volumes": [ "E" ] },
    { "name": "storage13", "bus": "usb", "chipType": 13, "flash": { "part": "WINBOND", "sizeKiB": 128 }, "volumes": [ "F" ] },
    { "name": "erase9", "bus": "usb", "chipType": 9, "flash": { "part": "EON", "sizeKiB": 256 } },
    { "name": "whole1", "bus": "usb", "chipType": 1, "revision": 2, "flash": { "part": "PMC", "sizeKiB": 64 } },
    { "name": "step7", "bus": "usb", "chipType": 7, "revision": 2, "flash": { "part": "SST", "sizeKiB": 2048 } },
    { "name": "loader26", "bus": "usb", "chipType": 26, "flash": { "part": "GIGADEVICE", "sizeKiB": 512 } },
    { "name": "disk30", "bus": "usb", "chipType": 30, "revision": 1, "flash": "none",
      "disk": { "sectors": 976773168 }, "reservedAreaLba": 976773633 } ] })";
}

// One operation: a machine, what runs before it (not recorded), and the command recorded.
// "{dir}" stands for the case's folder, "{identity}" for the identity a failed update kept there.
struct Trip {
  std::string name;
  std::string machine;
  std::vector<std::string> setup;
  std::vector<std::string> command;
};

std::vector<Trip> Trips() {
  const char* const kDefault = R"({ "disks": [ { "name": "bridge0", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 },
      "serial": "QV812A0001234", "volumes": [ "E" ] } ] })";
  std::vector<Trip> trips = {
      {"ListEveryFamily", Families(), {}, {"list"}},
      {"Info", kDefault, {}, {"info"}},
      {"OneClickUpdate", kDefault, {}, {"update"}},
      {"OneClickUpdateJson", kDefault, {}, {"--json", "update"}},
      {"UpdateAllOfTwoBridges", kTwoBridges, {}, {"update", "--all"}},
      {"Recover", kLeftOnBootCode, {"update"}, {"recover", "--identity", "{identity}"}},
  };
  const char* const kFamilies[] = {"Buffer15", "Storage13", "Erase9", "Whole1", "Step7", "Loader26", "Disk30"};
  for (int d = 0; d < 7; ++d) {
    const std::string n = std::to_string(d);
    trips.push_back({std::string("Backup") + kFamilies[d], Families(), {}, {"-d", n, "backup", "{dir}/backup.bin"}});
    trips.push_back({std::string("Erase") + kFamilies[d], Families(), {}, {"-d", n, "erase", "--yes"}});
    trips.push_back({std::string("Program") + kFamilies[d], Families(), {"-d", n, "backup", "{dir}/image.bin"},
                     {"-d", n, "program", "{dir}/image.bin", "--yes", "--force"}});
  }
  return trips;
}

// What differs between a run and its replay without meaning anything: where each keeps its state
// and the wall-clock time in the names of recovery copies.
std::string Normal(std::string text, const fs::path& dir) {
  const std::string state = (dir / "m" / "state").string();
  for (size_t at; (at = text.find(state)) != std::string::npos;) text.replace(at, state.size(), "STATE");
  text = std::regex_replace(text, std::regex(R"([^ "]*qvfw-replay-[0-9]+)"), "STATE");
  return std::regex_replace(text, std::regex(R"(\d{8}T\d{6}Z)"), "TIME");
}

void PrintTo(const Trip& trip, std::ostream* os) { *os << trip.name; }

class RoundTrip : public ::testing::TestWithParam<Trip> {};

// Recorded on the emulator and replayed strictly: the same exit code, the same output, nothing
// recorded left unasked.
TEST_P(RoundTrip, ReplaysWithTheSameOutcomeAndOutput) {
  const Trip& trip = GetParam();
  testing::TempDir dir;
  const std::string sim = MachineFolder(dir.path() / "m", trip.machine);
  auto fill = [&](std::vector<std::string> args) {
    for (std::string& a : args) {
      if (a == "{identity}" && fs::exists(dir.path() / "m" / "state"))
        for (const auto& e : fs::directory_iterator(dir.path() / "m" / "state")) a = e.path().string();
      if (const size_t at = a.find("{dir}"); at != std::string::npos) a.replace(at, 5, dir.path().string());
    }
    return args;
  };
  if (!trip.setup.empty()) {
    std::vector<std::string> setup = fill(trip.setup);
    setup.insert(setup.begin(), sim);
    RunCli(setup, dir.path());
  }
  const fs::path file = dir.path() / "run.qvrec";
  std::vector<std::string> command = fill(trip.command);
  command.insert(command.begin(), {sim, "--record", file.string()});
  const CliOutcome recorded = RunCli(command, dir.path());
  ASSERT_TRUE(fs::exists(file)) << recorded.err;

  fs::create_directories(dir.path() / "replay");
  const ReplayOutcome replayed = ReplayRecording(file, dir.path() / "replay");
  EXPECT_EQ(replayed.run.err.find("replay differs"), std::string::npos) << replayed.run.err;
  EXPECT_EQ(replayed.run.err.find("run ended before"), std::string::npos) << replayed.run.err;
  EXPECT_EQ(replayed.run.code, recorded.code) << replayed.run.err;
  EXPECT_EQ(replayed.recordedExit, recorded.code);
  EXPECT_EQ(Normal(replayed.run.out, dir.path()), Normal(recorded.out, dir.path()));
  EXPECT_EQ(Normal(replayed.run.err, dir.path()), Normal(recorded.err, dir.path()));
}

INSTANTIATE_TEST_SUITE_P(Emulator, RoundTrip, ::testing::ValuesIn(Trips()),
                         [](const ::testing::TestParamInfo<Trip>& i) { return i.param.name; });

// A recorded run goes as an unrecorded one does: the program asks the same (its trace), prints
// the same, and leaves the same flash. (That the recorder hands each request on untouched is
// shown in the platform's tests.)
TEST(Recording, ChangesNothingThatIsSent) {
  testing::TempDir dir;
  const char* const machine = R"({ "disks": [ { "name": "bridge0", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 } } ] })";
  const CliOutcome plain = RunCli({MachineFolder(dir.path() / "a", machine), "--trace", "update"}, dir.path());
  const CliOutcome recorded =
      RunCli({MachineFolder(dir.path() / "b", machine), "--trace", "--record", (dir.path() / "r.qvrec").string(), "update"},
             dir.path());
  EXPECT_EQ(plain.code, 0) << plain.err;
  EXPECT_EQ(recorded.out, plain.out);
  // The trace times each request on the wall clock; everything else on its line is what was sent
  // and what came back.
  auto untimed = [](const std::string& trace) { return std::regex_replace(trace, std::regex(R"( \| time=[0-9.]+ms)"), ""); };
  EXPECT_NE(plain.err.find("scsi: 3B 0E"), std::string::npos);
  EXPECT_EQ(untimed(recorded.err), untimed(plain.err));
  EXPECT_EQ(Read(dir.path() / "b" / "bridge0.flash"), Read(dir.path() / "a" / "bridge0.flash"));
}

// The host sends one different byte: the replay stops at that request and names the command, the
// byte and both values.
TEST(Replay, OneDifferentByteStopsItWithTheFirstDifferenceNamed) {
  testing::TempDir dir;
  const std::string sim = MachineFolder(dir.path() / "m", Families());
  const fs::path image = dir.path() / "image.bin";
  ASSERT_EQ(RunCli({sim, "-d", "3", "backup", image.string()}, dir.path()).code, 0);
  const fs::path file = dir.path() / "program.qvrec";
  ASSERT_EQ(RunCli({sim, "--record", file.string(), "-d", "3", "program", image.string(), "--yes"}, dir.path()).code, 0);

  std::string bytes = Read(image);
  bytes[0x1234] = static_cast<char>(bytes[0x1234] ^ 0x01);
  std::ofstream(dir.path() / "other.bin", std::ios::binary) << bytes;
  const CliOutcome r =
      RunCli({"--replay", file.string(), "-d", "3", "program", (dir.path() / "other.bin").string(), "--yes"}, dir.path());
  EXPECT_EQ(r.code, kExitDeviceFailed);
  for (const char* said : {"qvfw: the replay differs from the recording at line ",
                           "recorded: WriteFlash (FF 04 11 00 00 00 00 00 00 00 00 00) out 8192 on sim:usbstor:whole1:1",
                           "the data out differs first at byte 0x1234 of 8192 (1 byte differs): recorded "})
    EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("Programming Fail!!"), std::string::npos) << "the operation ended at the difference:\n" << r.out;
}

// Another command may well ask the same (info and list do); one that asks more differs, and the
// report names both commands.
TEST(Replay, AnotherCommandIsToldApart) {
  testing::TempDir dir;
  const fs::path file = dir.path() / "info.qvrec";
  ASSERT_EQ(RunCli({"--sim", "--record", file.string(), "info"}, dir.path()).code, 0);
  EXPECT_EQ(RunCli({"--replay", file.string(), "list"}, dir.path()).code, kExitSuccess);
  const CliOutcome r = RunCli({"--replay", file.string(), "update"}, dir.path());
  EXPECT_EQ(r.code, kExitDeviceFailed);
  EXPECT_NE(r.err.find("asked:    QV_ReadBuffer (3C 01 01"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("(the recording was made by \"info\"; this run is \"update\")"), std::string::npos) << r.err;
}

// A recording cut short or changed is refused before anything runs, as bad input.
TEST(Replay, ADamagedRecordingIsRefused) {
  testing::TempDir dir;
  const fs::path file = dir.path() / "list.qvrec";
  ASSERT_EQ(RunCli({"--sim", "--record", file.string(), "list"}, dir.path()).code, 0);
  const std::string text = Read(file);
  std::string changed = text;
  changed[changed.find("\"in\":\"") + 9] ^= 0x01;
  const struct {
    std::string text;
    const char* said;
  } cases[] = {
      {text.substr(0, text.rfind('\n', text.size() - 2) + 1), "without its closing line: it was cut short"},
      {changed, "it was changed after it was made"},
  };
  for (const auto& c : cases) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << c.text;
    const CliOutcome r = RunCli({"--replay", file.string(), "list"}, dir.path());
    EXPECT_EQ(r.code, kExitUsage);
    EXPECT_NE(r.err.find("qvfw: --replay: " + file.string() + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
  EXPECT_EQ(RunCli({"--sim", "--replay", file.string(), "list"}, dir.path()).code, kExitUsage);
  EXPECT_EQ(RunCli({"--record-anonymous", "list"}, dir.path()).code, kExitUsage);
}

// The anonymous recording of an update holds no serial number and still replays: the update
// writes back the replaced serial it read and finds it again after the restart.
TEST(Replay, AnAnonymousRecordingOfAnUpdateReplays) {
  testing::TempDir dir;
  const fs::path file = dir.path() / "update.qvrec";
  const CliOutcome recorded = RunCli({"--sim", "--record", file.string(), "--record-anonymous", "update"}, dir.path());
  ASSERT_EQ(recorded.code, 0) << recorded.err;
  const std::string text = Read(file);
  EXPECT_EQ(text.find("QV812A0001234"), std::string::npos);
  EXPECT_EQ(text.find("515638313241303030313233"), std::string::npos) << "nor as bytes";
  EXPECT_NE(text.find("\"anonymous\":true"), std::string::npos);
  fs::create_directories(dir.path() / "replay");
  const ReplayOutcome replayed = ReplayRecording(file, dir.path() / "replay");
  EXPECT_EQ(replayed.run.code, 0) << replayed.run.err;
  EXPECT_EQ(replayed.run.out, recorded.out);
}

// The recordings kept with the tests (docs/recording.md) replay strictly with their exit code.
TEST(Replay, TheKeptRecordingsReplay) {
  size_t replayed = 0;
  for (const auto& entry : fs::directory_iterator(QVFW_RECORDINGS_DIR)) {
    if (entry.path().extension() != ".qvrec") continue;
    SCOPED_TRACE(entry.path().filename().string());
    testing::TempDir dir;
    const ReplayOutcome r = ReplayRecording(entry.path(), dir.path());
    ASSERT_TRUE(r.recordedExit.has_value());
    EXPECT_EQ(r.run.code, *r.recordedExit) << r.run.err;
    EXPECT_EQ(r.run.err.find("replay differs"), std::string::npos) << r.run.err;
    EXPECT_EQ(r.run.err.find("run ended before"), std::string::npos) << r.run.err;
    ++replayed;
  }
  EXPECT_GT(replayed, 0u);
}

}  // namespace
}  // namespace qvfw::cli
