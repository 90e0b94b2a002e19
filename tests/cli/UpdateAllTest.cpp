// `qvfw update --all` and `update -d A -d B`: many bridges updated at once, each failing or passing
// on its own, the summary and exit code saying so, and bridges that could not be told apart after
// their restart refused before anything is written.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/ExchangeFile.h"
#include "app/KeptIdentity.h"
#include "cli/Cli.h"
#include "cli/CliRun.h"
#include "platform/Clock.h"
#include "sim/Scenario.h"
#include "support/TempDir.h"

namespace qvfw::cli {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using Outcome = CliOutcome;

// A QVS812 bridge on USB 2.0 running 1.2.0.1, with `serial` and anything `extra` adds.
json Bridge(const std::string& name, const std::string& serial, json extra = json::object()) {
  json d = {{"name", name},
            {"bus", "usb"},
            {"chipType", 15},
            {"flash", {{"part", "MXIC"}, {"sizeKiB", 512}}},
            {"firmware", {{"generate", {{"version", "1201"}}}}},
            {"usb", {{"vid", "0x1234"}, {"pid", "0x5678"}}},
            {"serial", serial}};
  d.update(extra);
  return d;
}

class UpdateAll : public ::testing::Test {
 protected:
  std::string Machine(const json& disks) { return MachineDoc(json{{"disks", disks}}); }
  std::string MachineDoc(const json& doc) {
    dir_n_ = dir_.path() / ("m" + std::to_string(machines_++));
    return MachineFolder(dir_n_, doc.dump());
  }
  Outcome Run(std::vector<std::string> args) { return RunCli(std::move(args), dir_.path()); }
  // The listed devices of the machine as `list --json` shows them, by serial number.
  std::map<std::string, json> Listed(const std::string& sim) {
    const Outcome o = Run({sim, "--json", "list"});
    std::map<std::string, json> by;
    const json doc = json::parse(o.out);
    for (const json& d : doc["devices"])
      if (d["serial"].is_string()) by[d["serial"].get<std::string>()] = d;
    return by;
  }
  // The serial numbers whose identity the state directory keeps.
  std::set<std::string> Kept() {
    std::set<std::string> serials;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir_n_ / "state", ec))
      if (const auto block = app::ReadIdentityFile(e.path()).block) serials.insert(block->Serial());
    return serials;
  }
  testing::TempDir dir_;
  fs::path dir_n_;
  int machines_ = 0;
};

// Five bridges at once: one clean, four with one fault each at a different point of the update.
// Each ends on its own reason, the clean one passes, and every identity is either on its bridge or
// kept in the state directory.
TEST_F(UpdateAll, EachBridgeFailsOrPassesOnItsOwn) {
  const std::string sim = Machine(json::array({
      Bridge("clean", "QVA0"),
      Bridge("noconfig", "QVA1", {{"faults", {{{"kind", "fail"}, {"cdbPrefix", "3C 01 01"}, {"times", 0}}}}}),
      Bridge("badwrite", "QVA2", {{"faults", {{{"kind", "fail"}, {"cdbPrefix", "3B 0E 00 02"}, {"times", 0}}}}}),
      Bridge("flipped", "QVA3", {{"faults", {{{"kind", "flipBits"}, {"address", 4096}, {"mask", 1}}}}}),
      Bridge("gone", "QVA4", {{"faults", {{{"kind", "unplug"}, {"cdbPrefix", "FF 04 26"}}}}}),
  }));
  const Outcome o = Run({sim, "--json", "update", "--all"});
  EXPECT_EQ(o.code, 1) << o.err;
  const json doc = json::parse(o.out);
  EXPECT_EQ(doc["exitCode"], 1);
  EXPECT_EQ(doc["summary"], (json{{"passed", 1}, {"alreadyCurrent", 0}, {"failed", 4}, {"skipped", 0}}));

  struct Expect {
    const char* code;
    const char* reason;  // part of the reason; "" for none
  };
  const std::map<std::string, Expect> expected{
      {"QVA0", {"success", ""}},
      {"QVA1", {"failed", "could not read the bridge's configuration area; nothing was written"}},
      {"QVA2", {"failed", "programming the carried image failed"}},
      {"QVA3", {"failed", "differs from what was programmed at 0x01000"}},
      {"QVA4", {"failed", "did not come back"}},
  };
  ASSERT_EQ(doc["bridges"].size(), expected.size());
  for (const json& b : doc["bridges"]) {
    const std::string serial = b["serial"];
    SCOPED_TRACE(serial);
    const Expect& e = expected.at(serial);
    EXPECT_EQ(b["outcome"]["code"], e.code);
    EXPECT_TRUE(b["updated"].get<bool>());
    const std::string reason = b["outcome"]["reason"].is_string() ? b["outcome"]["reason"].get<std::string>() : "";
    if (*e.reason) {
      EXPECT_NE(reason.find(e.reason), std::string::npos) << reason;
    } else {
      EXPECT_EQ(reason, "");
    }
    EXPECT_EQ(b["from"], "1.2.0.1");
  }

  // Identities: the ones that saw a write are kept; the one refused before any write and the one
  // that passed are not (the passing one carries its own again, under its new path).
  EXPECT_EQ(Kept(), (std::set<std::string>{"QVA2", "QVA3", "QVA4"}));
  const auto after = Listed(sim);
  ASSERT_TRUE(after.count("QVA0"));
  EXPECT_EQ(after.at("QVA0")["firmware"]["version"], "1.2.0.3");
  EXPECT_EQ(after.at("QVA0")["usb"], (json{{"vid", "1234"}, {"pid", "5678"}}));
  ASSERT_TRUE(after.count("QVA1"));
  EXPECT_EQ(after.at("QVA1")["firmware"]["version"], "1.2.0.1") << "nothing was written to it";
  for (const fs::path& left : {dir_.path() / "ExChangeData.tmp", dir_.path() / "ExChangeData.0.tmp"})
    EXPECT_FALSE(fs::exists(left)) << left;

  // The same run as text: a line per bridge with its own words, and the total.
  const std::string text = Machine(json::array({Bridge("clean", "QVB0"),
                                                Bridge("gone", "QVB1", {{"faults", {{{"kind", "unplug"}, {"cdbPrefix", "FF 04 26"}}}}})}));
  const Outcome t = Run({text, "update", "--all"});
  EXPECT_EQ(t.code, 1);
  EXPECT_NE(t.out.find("QVB0                  1.2.0.1 -> 01.02.00.03  passed\n"), std::string::npos) << t.out;
  EXPECT_NE(t.out.find("QVB1                  1.2.0.1 -> 01.02.00.03  FAILED: the bridge left for its restart"),
            std::string::npos)
      << t.out;
  EXPECT_NE(t.out.find("2 bridge(s): 1 passed, 0 already current, 1 failed, 0 skipped"), std::string::npos) << t.out;
}

// The bridges are worked on at once: on the emulated machine four bridges on one USB 2.0
// controller take about the time of one (their flash work and restarts overlap; only their
// transfers share the bus), where one after the other they would take four times as long.
TEST_F(UpdateAll, BridgesAreUpdatedAtTheSameTime) {
  auto modeledSeconds = [&](int bridges) {
    json disks = json::array();
    for (int i = 0; i < bridges; ++i) disks.push_back(Bridge("b" + std::to_string(i), "QVT" + std::to_string(i)));
    const Outcome o = Run({Machine(disks), "-v", "update", "--all"});
    EXPECT_EQ(o.code, 0) << o.err;
    const size_t at = o.err.find("sim: ");
    EXPECT_NE(at, std::string::npos) << o.err;
    return at == std::string::npos ? 0.0 : std::stod(o.err.substr(at + 5));
  };
  const double one = modeledSeconds(1);
  const double four = modeledSeconds(4);
  EXPECT_GT(one, 2.0);
  EXPECT_LT(four, one * 1.5) << "one " << one << " s, four " << four << " s";
}

// Where the host numbers its pass-through nodes, two bridges that restart together may come back
// under each other's former paths: each worker still finds its own by its serial number.
TEST_F(UpdateAll, BridgesThatComeBackUnderEachOthersPathsAreFound) {
  // The first is slower to program, so the second leaves first and comes back first, taking the
  // lowest free node: the one the first has left meanwhile.
  const json slow = Bridge("a", "QVP0", {{"faults", {{{"kind", "stall"}, {"cdbPrefix", "3B 0E"}, {"stallMs", 20}, {"times", 0}}}}});
  const std::string sim = MachineDoc(json{{"paths", "numbered"}, {"disks", json::array({slow, Bridge("b", "QVP1")})}});
  const Outcome o = Run({sim, "--json", "update", "--all"});
  EXPECT_EQ(o.code, 0) << o.out << o.err;
  const json doc = json::parse(o.out);
  ASSERT_EQ(doc["bridges"].size(), 2u);
  const json& a = doc["bridges"][0];
  const json& b = doc["bridges"][1];
  EXPECT_EQ(a["path"], "sim:usbstor:sg0");
  EXPECT_EQ(b["path"], "sim:usbstor:sg1");
  EXPECT_EQ(a["backPath"], "sim:usbstor:sg1") << "the paths did not swap: this run shows nothing";
  EXPECT_EQ(b["backPath"], "sim:usbstor:sg0");
  EXPECT_EQ(a["outcome"]["code"], "success") << a["outcome"]["reason"];
  EXPECT_EQ(b["outcome"]["code"], "success") << b["outcome"]["reason"];
}

// A pass-through that throws on the commands to one device that begin with a chosen prefix, as a
// backend whose buffer could not be had would.
class ThrowingPassThrough final : public platform::PassThrough {
 public:
  ThrowingPassThrough(platform::PassThrough& inner, std::string path, std::vector<uint8_t> prefix)
      : inner_(inner), path_(std::move(path)), prefix_(std::move(prefix)) {}
  platform::ScsiResult Execute(std::string_view path, const platform::ScsiRequest& r) override {
    if (path == path_ && r.cdb.size() >= prefix_.size() && std::equal(prefix_.begin(), prefix_.end(), r.cdb.begin()))
      throw std::runtime_error("no memory for the request");
    return inner_.Execute(path, r);
  }

 private:
  platform::PassThrough& inner_;
  std::string path_;
  std::vector<uint8_t> prefix_;
};

// What stops one worker stops it alone, in the inspection or in the update itself.
TEST_F(UpdateAll, AnErrorInOneWorkerStopsThatBridgeOnly) {
  // The serial number's page (read by the inspection), and WRITE BUFFER (programming).
  for (const std::vector<uint8_t>& prefix : {std::vector<uint8_t>{0x12, 0x01, 0x80}, std::vector<uint8_t>{0x3B}}) {
    SCOPED_TRACE(int(prefix[0]));
    platform::VirtualClock clock;
    auto machine = sim::LoadScenario(
        json{{"disks", json::array({Bridge("a", "QVE0"), Bridge("b", "QVE1"), Bridge("c", "QVE2")})}}.dump(), clock);
    ThrowingPassThrough throwing(*machine, "sim:usbstor:b:1", prefix);
    std::ostringstream out, err;
    GlobalOptions options;
    options.workingDirectory = dir_.path();
    options.stateDirectory = dir_.path() / "state";
    int code = -1;
    {
      Session session(options, PlatformParts{&throwing, machine.get(), machine.get(), &clock}, out, err, false);
      session.Start();
      code = UpdateAllCommand(session, out, err, true);
    }
    EXPECT_EQ(code, 1) << out.str() << err.str();
    const std::string o = out.str();
    EXPECT_NE(o.find("QVE0                  1.2.0.1 -> 01.02.00.03  passed"), std::string::npos) << o;
    EXPECT_NE(o.find("QVE2                  1.2.0.1 -> 01.02.00.03  passed"), std::string::npos) << o;
    EXPECT_NE(o.find("FAILED: the "), std::string::npos) << o;
    EXPECT_NE(o.find("no memory for the request"), std::string::npos) << o;
  }
}

// Bridges that could not be told apart once they have restarted are refused together, before
// anything is written to any of them.
TEST_F(UpdateAll, IndistinctBridgesAreRefusedBeforeAnyWrite) {
  struct Case {
    const char* what;
    json disks;
    const char* says;
  };
  const Case cases[] = {
      {"same serial", json::array({Bridge("a", "QVSAME"), Bridge("b", "QVOTHER"), Bridge("c", "QVSAME")}),
       "sim:usbstor:a:1 and sim:usbstor:c:1 report the same serial number \"QVSAME\""},
      // The identity carries 20 characters: these two come back alike.
      {"same first 20 characters",
       json::array({Bridge("a", "QV0123456789ABCDEFGH-1"), Bridge("b", "QV0123456789ABCDEFGH-2")}),
       "report the same serial number \"QV0123456789ABCDEFGH\""},
      {"no serial", json::array({Bridge("a", "QVONE"), Bridge("b", "")}), "sim:usbstor:b:1 reports no serial number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string sim = Machine(c.disks);
    const Outcome o = Run({sim, "--trace", "update", "--all"});
    EXPECT_EQ(o.code, 2) << o.out << o.err;
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
    ASSERT_NE(o.err.find("scsi: "), std::string::npos) << "the trace shows the requests";
    for (const char* write : {"scsi: 3B ", "scsi: C3 ", "scsi: 55 ", "scsi: DF ", "scsi: FF 04 26"})
      EXPECT_EQ(o.err.find(write), std::string::npos) << write;
    EXPECT_TRUE(Kept().empty());
  }
}

// Which bridges a run takes, and what its exit code says of them.
TEST_F(UpdateAll, SelectionAndExitCodes) {
  const json mixed = json::array({
      Bridge("old0", "QVC0"),
      Bridge("current", "QVC1", {{"firmware", {{"generate", {{"version", "1203"}}}}}}),
      Bridge("old2", "QVC2"),
      {{"name", "other"}, {"bus", "uasp"}, {"chipType", 16}, {"serial", "QVC3"}},
      Bridge("line", "QVC4", {{"firmware", {{"generate", {{"version", "1301"}}}}}}),
  });
  struct Case {
    const char* what;
    std::vector<std::string> args;  // after the command
    int code;
    std::set<std::string> updated;  // serials that end on 1.2.0.3 through this run
  };
  const Case cases[] = {
      {"two named", {"-d", "0", "-d", "2"}, 0, {"QVC0", "QVC2"}},
      {"one named twice, by index and by path", {"-d", "0", "-d", "sim:usbstor:old0:1"}, 0, {"QVC0"}},
      {"a current one with another", {"-d", "1", "-d", "2"}, 0, {"QVC2"}},
      {"another family named", {"-d", "0", "-d", "3"}, 4, {"QVC0"}},
      {"another firmware line named", {"-d", "4", "-d", "0"}, 4, {"QVC0"}},
      {"all", {"--all"}, 4, {"QVC0", "QVC2"}},  // the other firmware line is not offered
      {"no such device", {"-d", "0", "-d", "9"}, 2, {}},
      {"all with -d", {"--all", "-d", "0"}, 2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string sim = Machine(mixed);
    std::vector<std::string> args{sim, "update"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome o = Run(args);
    EXPECT_EQ(o.code, c.code) << o.out << o.err;
    std::set<std::string> updated;
    for (const auto& [serial, d] : Listed(sim))
      if (serial != "QVC1" && d["firmware"]["version"] == "1.2.0.3") updated.insert(serial);
    EXPECT_EQ(updated, c.updated);
  }

  // Without the bridge of another firmware line, --all ends well: the other family is not the
  // carried firmware's and is listed as left alone.
  json fine = mixed;
  fine.erase(4);
  const std::string sim = Machine(fine);
  const Outcome o = Run({sim, "update", "--all"});
  EXPECT_EQ(o.code, 0) << o.out << o.err;
  EXPECT_NE(o.out.find("already current"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("skipped: the one-click update is for QVS812 bridges only"), std::string::npos) << o.out;

  // With no bridge of the carried firmware's family at all, nothing was offered.
  EXPECT_EQ(Run({Machine(json::array({mixed[3]})), "update", "--all"}).code, 4);

  // Other commands work on one device.
  EXPECT_EQ(Run({sim, "info", "-d", "0", "-d", "1"}).code, 2);
}

}  // namespace
}  // namespace qvfw::cli
