// `qvfw update` against emulated machines: exit codes and status texts for each outcome, the
// second run that finds nothing to do, and an interrupt while the flash is being written.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "cli/CliRun.h"
#include "support/TempDir.h"
#include "platform/Clock.h"
#include "sim/Scenario.h"

namespace qvfw::cli {
namespace {

namespace fs = std::filesystem;

using Outcome = CliOutcome;

// Each test has a fresh working directory (the exchange file lives there) with its machines in
// folders below it.
class UpdateCommand : public ::testing::Test {
 protected:
  // A machine folder named `name` described by `json`.
  std::string Machine(const std::string& name, const std::string& json) { return MachineFolder(dir_.path() / name, json); }
  Outcome Run(std::vector<std::string> args) { return RunCli(std::move(args), dir_.path()); }
  testing::TempDir dir_;
};

std::string Bridge(const std::string& extra) {
  return R"({ "disks": [ { "name": "bridge0", "chipType": 15, "flash": { "part": "MXIC", "sizeKiB": 512 },
    "firmware": { "generate": { "version": "1201" } })" +
         (extra.empty() ? "" : ", " + extra) + " } ] }";
}

TEST_F(UpdateCommand, ExitCodesAndStatusTexts) {
  struct Case {
    const char* name;
    std::string machine;
    std::vector<std::string> options;  // between --sim and the command
    int code;
    std::string says;                  // on standard output or error
  };
  const Case cases[] = {
      {"default", sim::PresetScenarioJson("default"), {}, 0, "Update    Pass!!"},
      {"another family", R"({ "disks": [ { "name": "b", "chipType": 16 } ] })", {}, 4, "Chip not support!!"},
      {"no device", R"({ "disks": [] })", {}, 3, "No device found!!"},
      {"other firmware line", Bridge(R"("firmware": { "generate": { "version": "1301" } })"), {}, 4,
       "Firmware ID not match!!"},
      {"newer firmware on the device", Bridge(R"("firmware": { "generate": { "version": "1209" } })"), {}, 4,
       "newer firmware"},
      {"second device of another family", sim::PresetScenarioJson("two-bridges"), {"-d", "1"}, 4,
       "Chip not support!!"},
      {"no such device", sim::PresetScenarioJson("default"), {"-d", "2"}, 2, "there is no device 2"},
      {"refused identity write", Bridge(R"("faults": [ { "kind": "fail", "cdbPrefix": "C3 30" } ])"), {}, 1,
       "Update    Fail!!"},
      {"unplugged while programming", Bridge(R"("faults": [ { "kind": "unplug", "atCommand": 40 } ])"), {}, 1,
       "Update    Fail!!"},
      {"unplugged while reading back", Bridge(R"("faults": [ { "kind": "unplug", "atCommand": 120 } ])"), {}, 1,
       "Update    Fail!!"},
      {"flipped bit on read-back", Bridge(R"("faults": [ { "kind": "flipBits", "address": 4096, "mask": 1 } ])"), {}, 1,
       "Update    Fail!!"},
      {"serial longer than the bridge keeps", Bridge(R"("serial": "QV812A0001234567890ABCDEF")"), {}, 1,
       "has 25 characters; the bridge can keep 20"},
      {"serial longer than the bridge keeps, forced", Bridge(R"("serial": "QV812A0001234567890ABCDEF")"), {"--force"}, 0,
       "Update    Pass!!"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{Machine("m" + std::to_string(n++), c.machine), "update"};
    args.insert(args.end(), c.options.begin(), c.options.end());  // -d after the command
    const Outcome o = Run(args);
    EXPECT_EQ(o.code, c.code) << o.out << o.err;
    EXPECT_NE((o.out + o.err).find(c.says), std::string::npos) << o.out << o.err;
    if (c.code != 0) {
      EXPECT_EQ(o.out.find("Update    Pass!!"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dir_.path() / "ExChangeData.tmp")) << "removed when the program closes";
  }
}

// `recover --identity FILE` checks the file before it believes it, refuses with exit 2 and the
// reason, and leaves the file where it was.
TEST_F(UpdateCommand, RecoverRefusesAnIdentityFileItCannotTrust) {
  const std::string machine = Machine("m", Bridge(R"("firmware": "blank", "serial": "QV812A0009876")"));
  std::string random(4096, '\0');
  for (size_t i = 0; i < random.size(); ++i) random[i] = static_cast<char>((i * 2654435761u) >> 13);
  const fs::path file = dir_.path() / "random.identity";
  std::ofstream(file, std::ios::binary) << random;
  const Outcome o = Run({machine, "recover", "--identity", file.string()});
  EXPECT_EQ(o.code, kExitUsage) << o.out << o.err;
  EXPECT_NE(o.err.find("is not a plausible identity"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("nothing was written"), std::string::npos) << o.err;
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), random);
}

TEST_F(UpdateCommand, PassingUpdateThenNothingLeftToDo) {
  const std::string sim = Machine("m", sim::PresetScenarioJson("default"));
  const Outcome first = Run({sim, "update"});
  ASSERT_EQ(first.code, 0) << first.out << first.err;
  const size_t pass = first.out.find("Update    Pass!!");
  ASSERT_NE(pass, std::string::npos) << first.out;
  EXPECT_NE(first.out.find("Firmware already updated.", pass), std::string::npos) << first.out;
  EXPECT_EQ(first.out, "Update    Pass!!\nFirmware already updated.\n") << "standard output holds the result only";
  EXPECT_NE(first.err.find("Updating firmware. Please wait..."), std::string::npos) << first.err;

  // The saved machine runs the new firmware: a second run writes nothing.
  const Outcome second = Run({sim, "--trace", "update"});
  EXPECT_EQ(second.code, 0) << second.out << second.err;
  EXPECT_NE(second.out.find("Firmware already updated."), std::string::npos) << second.out;
  EXPECT_EQ((second.out + second.err).find("Updating firmware."), std::string::npos) << second.err;
  ASSERT_NE(second.err.find("scsi: "), std::string::npos) << "the trace shows the requests";
  for (const char* write : {"scsi: 3B ", "scsi: C3 ", "scsi: 55 ", "scsi: DF "})
    EXPECT_EQ(second.err.find(write), std::string::npos) << write;
}

// A pass-through that raises SIGINT at the chosen WRITE BUFFER piece, as a user pressing Ctrl-C
// while the flash is being written.
class InterruptingPassThrough final : public platform::PassThrough {
 public:
  InterruptingPassThrough(platform::PassThrough& inner, int atPiece) : inner_(inner), atPiece_(atPiece) {}
  platform::ScsiResult Execute(std::string_view path, const platform::ScsiRequest& r) override {
    if (r.cdb.size() >= 2 && r.cdb[0] == 0x3B && r.cdb[1] == 0x0E && pieces_++ == atPiece_) std::raise(SIGINT);
    return inner_.Execute(path, r);
  }
  int pieces() const { return pieces_; }

 private:
  platform::PassThrough& inner_;
  int atPiece_;
  int pieces_ = 0;
};

volatile std::sig_atomic_t g_testHandlerRan = 0;
extern "C" void TestHandler(int) { g_testHandlerRan = 1; }

TEST_F(UpdateCommand, InterruptWhileProgrammingLetsTheUpdateFinish) {
  platform::VirtualClock clock;
  auto machine = sim::DefaultMachine(clock);
  InterruptingPassThrough interrupting(*machine, 10);
  const auto previous = std::signal(SIGINT, TestHandler);
  std::ostringstream out, err;
  int code = -1;
  GlobalOptions options;
  options.workingDirectory = dir_.path();
  {
    Session session(options, PlatformParts{&interrupting, machine.get(), machine.get(), &clock}, out, err,
                    false);
    session.Start();
    code = cli::UpdateCommand(session, out, err);
  }
  // The program's own handler was in place during the update and is gone afterwards.
  EXPECT_EQ(g_testHandlerRan, 0);
  EXPECT_EQ(std::signal(SIGINT, previous), TestHandler);
  EXPECT_EQ(code, 0) << out.str() << err.str();
  EXPECT_EQ(interrupting.pieces(), 64) << "every piece was written";
  const std::string e = err.str();
  const size_t told = e.find("the update is finishing");
  ASSERT_NE(told, std::string::npos) << e;
  EXPECT_EQ(e.find("the update is finishing", told + 1), std::string::npos) << "told once";
  EXPECT_NE(out.str().find("Update    Pass!!"), std::string::npos) << out.str();
}

}  // namespace
}  // namespace qvfw::cli
