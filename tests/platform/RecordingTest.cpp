// Recording a machine's platform and replaying it: what the recorder keeps and passes on, the
// file and how a damaged one is refused, the replay's answers, time and order rules, and the
// anonymisation that keeps a replay working.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Anonymise.h"
#include "platform/Clock.h"
#include "platform/CommandNames.h"
#include "platform/Recording.h"
#include "platform/SessionRecorder.h"
#include "support/RecordingPassThrough.h"

namespace qvfw::platform {
namespace {

// A small machine: one pass-through that answers by CDB and takes time on the clock, disks,
// volumes, device numbers, and a monitor whose events a test queues.
struct FakeMachine final : DiskEnumerator, DeviceMonitor {
  explicit FakeMachine(Clock& clock) : clock(clock) {
    device.SetResponder([this](const testing::RecordedRequest& r) {
      this->clock.SleepUs(500 + r.length);
      if (r.cdb[0] == 0x12 && r.cdb.size() > 2 && (r.cdb[1] & 1) && r.cdb[2] == 0x80) {
        std::vector<uint8_t> page{0x00, 0x80, 0x00, static_cast<uint8_t>(serial.size())};
        page.insert(page.end(), serial.begin(), serial.end());
        return testing::Good(page);
      }
      if (r.cdb[0] == 0x12) return testing::Good({0x00, 0x00, 0x06, 0x02, 0x5B, 0, 0, 0, 'Q', 'a', 'v', 'i', 'o', 'n'});
      if (r.cdb[0] == 0xE0) return testing::Good({0x01, 0x02, 0x28, 0x4D, 0x08, 0x12});
      if (r.cdb[0] == 0x3C) return testing::CheckCondition({0x70, 0, 0x02, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x04, 0x01});
      testing::Reply ok = testing::Good();
      ok.result.transferred = r.length;
      return ok;
    });
  }
  std::vector<DiskInterface> EnumerateDisks() override { return {{"/dev/sg2", Bus::Usb}, {"/dev/sg3", Bus::Uasp}}; }
  std::vector<Volume> EnumerateVolumes() override { return {{"/dev/sdb1", "/dev/sdb1", "/media/alice/BACKUP"}}; }
  std::optional<StorageDeviceNumber> GetStorageDeviceNumber(std::string_view path) override {
    if (path == "/dev/sg2") return StorageDeviceNumber{7, 16, 0};
    return std::nullopt;
  }
  size_t DisksWithoutPassThrough() const override { return 1; }
  std::vector<DeviceEvent> Drain() override { return std::exchange(pending, {}); }

  Clock& clock;
  testing::RecordingPassThrough device;
  std::vector<DeviceEvent> pending;
  std::string serial = "QV812A0001234";
};

struct Parts {
  PassThrough& pass;
  DiskEnumerator& disks;
  DeviceMonitor& monitor;
  Clock& clock;
};

// What a program sees of one request: its result, data and sense, and the time around it.
std::string Run(const Parts& p, std::string_view path, std::vector<uint8_t> cdb, bool dataIn, std::vector<uint8_t> data,
                uint32_t senseLength = 0, uint32_t timeout = 10) {
  ScsiRequest r;
  r.cdb = cdb;
  r.dataIn = dataIn;
  r.data = data.empty() ? nullptr : data.data();
  r.length = static_cast<uint32_t>(data.size());
  r.timeoutSeconds = timeout;
  std::vector<uint8_t> sense(senseLength, 0xEE);
  r.sense = senseLength ? sense.data() : nullptr;
  r.senseLength = senseLength;
  const uint64_t before = p.clock.NowUs();
  const ScsiResult res = p.pass.Execute(path, r);
  std::ostringstream o;
  o << CommandName(cdb) << " @" << before << "+" << p.clock.NowUs() - before << " opened=" << res.opened
    << " ok=" << Succeeded(res) << " status=" << int(res.scsiStatus) << " moved=" << res.transferred
    << " senseValid=" << res.senseValid << " data=" << ToHex(data, false) << " sense=" << ToHex(sense, false) << "\n";
  return o.str();
}

// A program's conversation: lists the disks, identifies a bridge, reads its serial and writes it
// back in an identity record, meets a not-ready unit, hears of a removal and an arrival, and asks
// for a device number. `change` lets a test make it ask differently.
struct Change {
  uint8_t writeByte3 = 0x03;     // a byte of the data out
  uint8_t readOpcode = 0xE0;     // the chip information query
  uint32_t writeTimeout = 50;
  bool skipLastRequest = false;
  bool extraRequest = false;
  bool swapIdentification = false;
};

std::string Conversation(const Parts& p, FakeMachine* machine, const Change& change = {}) {
  std::string seen;
  for (const DiskInterface& d : p.disks.EnumerateDisks()) seen += d.path + " ";
  seen += "without=" + std::to_string(p.disks.DisksWithoutPassThrough()) + "\n";
  const std::vector<uint8_t> inquiry{0x12, 0, 0, 0, 40, 0};
  const std::vector<uint8_t> chipInfo{change.readOpcode, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  if (change.swapIdentification) {
    seen += Run(p, "/dev/sg2", chipInfo, true, std::vector<uint8_t>(16));
    seen += Run(p, "/dev/sg2", inquiry, true, std::vector<uint8_t>(40));
  } else {
    seen += Run(p, "/dev/sg2", inquiry, true, std::vector<uint8_t>(40));
    seen += Run(p, "/dev/sg2", chipInfo, true, std::vector<uint8_t>(16));
  }
  // The serial, read and written back.
  std::vector<uint8_t> vpd(50);
  {
    ScsiRequest r;
    const uint8_t cdb[6] = {0x12, 0x01, 0x80, 0x00, 50, 0x00};
    r.cdb = cdb;
    r.data = vpd.data();
    r.length = 50;
    p.pass.Execute("/dev/sg2", r);
  }
  std::vector<uint8_t> record(72, ' ');
  record[0] = 0x42;
  std::copy_n(vpd.begin() + 4, std::min<size_t>(vpd[3], 20), record.begin() + 52);
  seen += Run(p, "/dev/sg2", {0xC3, 0x30, 0, 0, 0x28, 0x4D, 0x08, 0x12, 0, 0x48}, false, record, 0, 50);
  seen += Run(p, "/dev/sg2", {0xFF, 0x04, 0x11, 0, 0x10, 0}, false, {0x00, 0x01, 0x02, change.writeByte3, 0, 0, 0, 0},
              32, change.writeTimeout);
  seen += Run(p, "/dev/sg2", {0x3C, 0x01, 0x01, 0, 0, 0, 0, 0x10, 0, 0}, true, std::vector<uint8_t>(64), 32);
  if (machine) machine->pending = {DeviceEvent::Removal};
  p.clock.Sleep(100);
  for (DeviceEvent e : p.monitor.Drain()) seen += e == DeviceEvent::Arrival ? "arrival\n" : "removal\n";
  seen += Run(p, "/dev/sg2", {0xFF, 0x04, 0x26, 'Q', 'V', 0}, true, {});
  if (machine) machine->pending = {DeviceEvent::Arrival};
  p.clock.Sleep(1500);
  for (DeviceEvent e : p.monitor.Drain()) seen += e == DeviceEvent::Arrival ? "arrival\n" : "removal\n";
  for (const Volume& v : p.disks.EnumerateVolumes()) seen += v.name + " on " + v.mountPoint + "\n";
  const auto n = p.disks.GetStorageDeviceNumber("/dev/sg2");
  seen += n ? std::to_string(n->deviceType) + ":" + std::to_string(n->deviceNumber) + "\n" : "none\n";
  if (!change.skipLastRequest) seen += Run(p, "/dev/sg3", {0xFF, 0x04, 0x12, 0}, true, std::vector<uint8_t>(1));
  if (change.extraRequest) seen += Run(p, "/dev/sg3", {0xFF, 0x04, 0x12, 0}, true, std::vector<uint8_t>(1));
  seen += "end @" + std::to_string(p.clock.NowUs()) + "\n";
  return seen;
}

// The conversation recorded on the fake machine: what the program saw, and the file.
struct Recorded {
  std::string seen;
  std::string text;
};

Recorded Record(const std::string& serial = "QV812A0001234") {
  VirtualClock clock;
  LaneClock lanes(clock);
  FakeMachine machine(clock);
  machine.serial = serial;
  SessionRecorder recorder(machine.device, &machine, &machine, lanes);
  Recorded r;
  r.seen = Conversation({recorder, recorder, recorder, lanes}, &machine);
  SessionRecording rec;
  rec.program = "qvfw test";
  rec.args = {"update"};
  rec.calls = recorder.Calls();
  rec.exitCode = 0;
  r.text = FormatRecording(rec);
  return r;
}

struct Replayed {
  std::string seen;
  std::optional<std::string> difference;
};

Replayed Replay(const std::string& text, const Change& change = {}, bool relaxed = false, int exitCode = 0) {
  VirtualClock clock;
  LaneClock lanes(clock);
  SessionReplayer replayer(ParseRecording(text), lanes, ReplayOptions{relaxed});
  Replayed r;
  r.seen = Conversation({replayer, replayer, replayer, lanes}, nullptr, change);
  r.difference = replayer.Finish(exitCode);
  return r;
}

TEST(Recording, TheRecorderPassesTheVeryRequestOnAndKeepsWhatCameBack) {
  VirtualClock clock;
  LaneClock lanes(clock);
  const ScsiRequest* seenRequest = nullptr;
  std::string_view seenPath;
  struct Inner final : PassThrough {
    std::function<ScsiResult(std::string_view, const ScsiRequest&)> f;
    ScsiResult Execute(std::string_view path, const ScsiRequest& r) override { return f(path, r); }
  } inner;
  inner.f = [&](std::string_view path, const ScsiRequest& r) {
    seenRequest = &r;
    seenPath = path;
    r.sense[0] = 0x70;
    ScsiResult res;
    res.opened = res.ioctlOk = true;
    res.scsiStatus = 2;
    res.transferred = 3;
    res.senseValid = 1;
    res.hostStatus = 7;
    clock.SleepUs(1234);
    return res;
  };
  SessionRecorder recorder(inner, nullptr, nullptr, lanes);
  uint8_t out[4] = {9, 8, 7, 0};
  uint8_t sense[32] = {};
  const uint8_t cdb[12] = {0xFF, 0x04, 0x11, 0, 0, 0};
  ScsiRequest r;
  r.cdb = cdb;
  r.dataIn = false;
  r.data = out;
  r.length = 4;
  r.timeoutSeconds = 50;
  r.exclusive = true;
  r.sense = sense;
  r.senseLength = 32;
  const std::string path = "/dev/sg9";
  const ScsiResult res = recorder.Execute(path, r);
  EXPECT_EQ(seenRequest, &r) << "the same request, buffers and all";
  EXPECT_EQ(seenPath.data(), path.data());
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{9, 8, 7, 0})) << "nothing sent was changed";
  EXPECT_EQ(res.hostStatus, 7);

  const auto calls = recorder.Calls();
  ASSERT_EQ(calls.size(), 1u);
  const RecordedCall& c = calls[0];
  EXPECT_EQ(c.path, "/dev/sg9");
  EXPECT_EQ(c.cdb, std::vector<uint8_t>(cdb, cdb + 12));
  EXPECT_FALSE(c.dataIn);
  EXPECT_EQ(c.length, 4u);
  EXPECT_EQ(c.timeoutSeconds, 50u);
  EXPECT_TRUE(c.exclusive);
  EXPECT_EQ(c.out, (std::vector<uint8_t>{9, 8, 7}));
  EXPECT_EQ(c.sense, (std::vector<uint8_t>{0x70}));
  EXPECT_EQ(c.result.scsiStatus, 2);
  EXPECT_EQ(c.result.hostStatus, 7);
  EXPECT_EQ(c.durationUs, 1234u);

  // The file keeps every field, and says the residual.
  SessionRecording rec;
  rec.calls = calls;
  const std::string text = FormatRecording(rec);
  EXPECT_NE(text.find("\"residual\":1"), std::string::npos) << text;
  const SessionRecording back = ParseRecording(text);
  ASSERT_EQ(back.calls.size(), 1u);
  const RecordedCall& b = back.calls[0];
  EXPECT_EQ(FormatRecording(back), text);
  EXPECT_EQ(b.line, 2u);
  EXPECT_TRUE(b.exclusive);
  EXPECT_EQ(b.senseLength, 32u);
  EXPECT_EQ(b.result.hostStatus, 7);
  EXPECT_EQ(b.result.senseValid, 1u);
}

TEST(Recording, AReplayAnswersAsTheMachineDidAtTheRecordedTimes) {
  const Recorded recorded = Record();
  const Replayed replayed = Replay(recorded.text);
  EXPECT_EQ(replayed.difference, std::nullopt);
  EXPECT_EQ(replayed.seen, recorded.seen);
  // The conversation saw data, sense, a failure, both events and the device number.
  EXPECT_NE(recorded.seen.find("ok=0 status=2"), std::string::npos) << recorded.seen;
  EXPECT_NE(recorded.seen.find("removal\n"), std::string::npos);
  EXPECT_NE(recorded.seen.find("arrival\n"), std::string::npos);
  EXPECT_NE(recorded.seen.find("7:16\n"), std::string::npos);
  EXPECT_NE(recorded.seen.find("without=1\n"), std::string::npos);
}

// Each way a program may ask otherwise than it did, and the report that names it.
TEST(Recording, TheFirstDifferenceStopsTheReplayAndIsNamed) {
  const Recorded recorded = Record();
  struct Case {
    const char* what;
    Change change;
    int exitCode;
    std::vector<const char*> said;
  };
  const std::vector<Case> cases = {
      {"one byte out", {.writeByte3 = 0xFF}, 0,
       {"WriteFlash (FF 04 11 00 10 00)", "the data out differs first at byte 0x3 of 8 (1 byte differs): recorded 03, sent FF"}},
      {"another command", {.readOpcode = 0xFE}, 0, {"recorded: ReadChipInfo (E0 F4 E7", "asked:    ReadChipInfoAlt (FE F4 E7", "the CDB differs"}},
      {"another time-out", {.writeTimeout = 100}, 0, {"the time-out differs: recorded 50 s, sent 100 s"}},
      {"an extra request", {.extraRequest = true}, 0, {"the recording holds no further call, but the program asked for ReadFlashStatus"}},
      {"a missing request", {.skipLastRequest = true}, 0, {"the run ended before the recording did", "ReadFlashStatus", "never asked for"}},
      {"identification in another order", {.swapIdentification = true}, 0, {"recorded: Inquiry", "asked:    ReadChipInfo"}},
      {"another exit code", {}, 3, {"recorded run ended with exit code 0 and this one with 3"}},
  };
  for (const Case& c : cases) {
    const Replayed r = Replay(recorded.text, c.change, false, c.exitCode);
    ASSERT_TRUE(r.difference) << c.what;
    for (const char* s : c.said) EXPECT_NE(r.difference->find(s), std::string::npos) << c.what << ":\n" << *r.difference;
  }
  // From the first difference on, the machine is gone: nothing opens, nothing is listed, no
  // event comes.
  const Replayed r = Replay(recorded.text, {.readOpcode = 0xFE});
  size_t opened = 0;
  for (size_t at = r.seen.find("opened=1"); at != std::string::npos; at = r.seen.find("opened=1", at + 1)) ++opened;
  EXPECT_EQ(opened, 1u) << r.seen;
  EXPECT_EQ(r.seen.find("removal"), std::string::npos);
  EXPECT_EQ(r.seen.find("/media"), std::string::npos);
  EXPECT_NE(r.seen.find("\nnone\n"), std::string::npos);
}

TEST(Recording, RelaxedReplayTakesIdentificationQueriesInAnyOrderOnly) {
  const Recorded recorded = Record();
  EXPECT_EQ(Replay(recorded.text, {.swapIdentification = true}, true).difference, std::nullopt);
  // What is not an identification query stays strict.
  EXPECT_TRUE(Replay(recorded.text, {.writeByte3 = 0xFF}, true).difference);
  EXPECT_TRUE(Replay(recorded.text, {.extraRequest = true}, true).difference);
  EXPECT_TRUE(IsIdentificationQuery(std::vector<uint8_t>{0x12, 0x01, 0x80}));
  EXPECT_TRUE(IsIdentificationQuery(std::vector<uint8_t>{0x3C, 0x03, 0x00}));
  EXPECT_FALSE(IsIdentificationQuery(std::vector<uint8_t>{0x3C, 0x01, 0x01}));
  EXPECT_FALSE(IsIdentificationQuery(std::vector<uint8_t>{0xFF, 0x04, 0x12}));
}

// A recording that is not whole and unchanged is refused, with what is wrong and where.
TEST(Recording, ADamagedOrChangedRecordingIsRefused) {
  const std::string text = Record().text;
  const size_t lastLine = text.rfind('\n', text.size() - 2) + 1;
  const size_t secondLine = text.find('\n') + 1;
  const size_t thirdLine = text.find('\n', secondLine) + 1;
  std::string edited = text;
  const size_t digit = edited.find("\"in\":\"") + 8;
  edited[digit] = edited[digit] == '0' ? '1' : '0';
  std::string newer = text;
  newer.replace(newer.find("\"version\":1"), 11, "\"version\":2");
  const struct {
    const char* what;
    std::string text;
    const char* said;
  } cases[] = {
      {"closing line gone", text.substr(0, lastLine), "without its closing line: it was cut short"},
      {"cut inside a line", text.substr(0, text.size() / 2), "was cut short"},
      {"one byte changed", edited, "it was changed after it was made"},
      {"a line removed", text.substr(0, secondLine) + text.substr(thirdLine), "lines were removed or added"},
      {"a line added", text + text.substr(secondLine, thirdLine - secondLine), "follows the closing line"},
      {"a newer format", newer, "made in format version 2; this program reads version 1"},
      {"not a recording", "{\"disks\":[]}\n", "this is not a qvfw recording"},
      {"empty", "", "it is empty"},
  };
  for (const auto& c : cases) {
    try {
      ParseRecording(c.text, "rec.qvrec");
      ADD_FAILURE() << c.what << ": read";
    } catch (const RecordingError& e) {
      EXPECT_NE(std::string(e.what()).find(c.said), std::string::npos) << c.what << ": " << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("rec.qvrec", 0), 0u) << e.what();
    }
  }
  // A change made on purpose is read when the check is not asked for, and sealed again.
  const SessionRecording sealed = ParseRecording(edited, "rec", false);
  EXPECT_NO_THROW(ParseRecording(FormatRecording(sealed)));
}

TEST(Recording, EventsComeOnceTheCallsBeforeThemWereMade) {
  const Recorded recorded = Record();
  VirtualClock clock;
  LaneClock lanes(clock);
  SessionReplayer replayer(ParseRecording(recorded.text), lanes, {});
  EXPECT_TRUE(replayer.Drain().empty()) << "the removal came after six requests";
  replayer.EnumerateDisks();
  EXPECT_TRUE(replayer.Drain().empty());
}

// Parallel jobs each keep their own order; how they interleave is not compared.
TEST(Recording, EachParallelJobKeepsItsOwnOrder) {
  auto conversation = [](Clock& clock, PassThrough& pass, const std::vector<uint64_t>& pauses, uint8_t job1Byte) {
    std::vector<std::function<void()>> jobs;
    for (size_t j = 0; j < 2; ++j) {
      jobs.push_back([&, j] {
        const std::string path = "/dev/sg" + std::to_string(j + 2);
        for (uint8_t k = 0; k < 4; ++k) {
          clock.SleepUs(pauses[j]);
          uint8_t data[2] = {k, static_cast<uint8_t>(j == 1 && k == 2 ? job1Byte : 0)};
          const uint8_t cdb[12] = {0xFF, 0x04, 0x11};
          ScsiRequest r;
          r.cdb = cdb;
          r.dataIn = false;
          r.data = data;
          r.length = 2;
          pass.Execute(path, r);
        }
      });
    }
    clock.RunParallel(jobs);
  };
  VirtualClock clock;
  LaneClock lanes(clock);
  // Answers at once after 250 µs; keeps nothing, so jobs may call it in turns.
  struct Writes final : PassThrough {
    Clock* clock = nullptr;
    ScsiResult Execute(std::string_view, const ScsiRequest& r) override {
      clock->SleepUs(250);
      ScsiResult res;
      res.opened = res.ioctlOk = true;
      res.transferred = r.length;
      return res;
    }
  } device;
  device.clock = &clock;
  SessionRecorder recorder(device, nullptr, nullptr, lanes);
  conversation(lanes, recorder, {100, 300}, 0);
  SessionRecording rec;
  rec.calls = recorder.Calls();
  const std::string text = FormatRecording(rec);
  EXPECT_NE(text.find("\"lane\":2"), std::string::npos);

  auto replay = [&](const std::vector<uint64_t>& pauses, uint8_t job1Byte) {
    VirtualClock c;
    LaneClock l(c);
    SessionReplayer replayer(ParseRecording(text), l, {});
    conversation(l, replayer, pauses, job1Byte);
    return replayer.Finish(0);
  };
  EXPECT_EQ(replay({100, 300}, 0), std::nullopt);
  EXPECT_EQ(replay({300, 50}, 0), std::nullopt) << "the jobs' calls interleave otherwise";
  const auto d = replay({100, 300}, 0x55);
  ASSERT_TRUE(d);
  EXPECT_NE(d->find("by parallel job 2"), std::string::npos) << *d;
  EXPECT_NE(d->find("recorded 00, sent 55"), std::string::npos) << *d;
}

// The serial is read and written back: the anonymous recording holds a consistent replacement,
// so the conversation replays; the original serial is nowhere in the file.
TEST(Recording, AnAnonymousRecordingReplaysAndHoldsNoSerial) {
  const Recorded recorded = Record();
  SessionRecording rec = ParseRecording(recorded.text);
  rec.args = {"program", "/home/alice/fw.bin", "--identity=/home/alice/id.bin"};
  AnonymiseRecording(rec, {1, 2});
  const std::string text = FormatRecording(rec);
  EXPECT_EQ(text.find("QV812A0001234"), std::string::npos);
  EXPECT_EQ(text.find(ToHex({'Q', 'V', '8', '1', '2', 'A', '0', '0', '0', '1', '2', '3', '4'}, false)), std::string::npos);
  EXPECT_EQ(text.find("alice"), std::string::npos);
  EXPECT_NE(text.find("/media/volume1"), std::string::npos);
  EXPECT_NE(text.find("\"args\":[\"program\",\"fw.bin\",\"--identity=id.bin\"]"), std::string::npos) << text.substr(0, 300);
  EXPECT_NE(text.find("\"anonymous\":true"), std::string::npos);

  const Replayed replayed = Replay(text);
  EXPECT_EQ(replayed.difference, std::nullopt);
  // The program wrote back the replacement it read.
  EXPECT_NE(replayed.seen, recorded.seen);
}

TEST(Recording, AnonymisationIsConsistentEverywhereAndKeepsTheShapeOfTexts) {
  auto request = [](std::vector<uint8_t> cdb, bool in, std::vector<uint8_t> data, std::string path = "/dev/sg2") {
    RecordedCall c;
    c.kind = RecordedCall::Kind::Request;
    c.path = std::move(path);
    c.cdb = std::move(cdb);
    c.dataIn = in;
    c.length = static_cast<uint32_t>(data.size());
    (in ? c.in : c.out) = std::move(data);
    return c;
  };
  auto vpd = [&](const std::string& serial) {
    std::vector<uint8_t> page{0x00, 0x80, 0x00, static_cast<uint8_t>(serial.size())};
    page.insert(page.end(), serial.begin(), serial.end());
    return request({0x12, 0x01, 0x80, 0x00, 0x32, 0x00}, true, page);
  };
  auto utf16 = [](const std::string& s) {
    std::vector<uint8_t> b{0x1C, 0x03};
    for (char c : s) b.insert(b.end(), {static_cast<uint8_t>(c), 0});
    return b;
  };
  // ATA IDENTIFY: the serial in words 10..19, two characters a word with the first in the high byte.
  std::vector<uint8_t> identify(512, 0);
  const std::string ataSerial = "     WD-WCC4E1234567";
  for (size_t k = 0; k < 20; k += 2) {
    identify[20 + k] = static_cast<uint8_t>(ataSerial[k + 1]);
    identify[20 + k + 1] = static_cast<uint8_t>(ataSerial[k]);
  }
  for (int b = 0; b < 8; ++b) identify[216 + b] = static_cast<uint8_t>(0x50 + b);

  SessionRecording rec;
  rec.calls.push_back(vpd("QV812A0001234"));
  rec.calls.push_back(vpd("QV812A0005678"));
  rec.calls.push_back(request({0x3C, 0x01, 0x01}, true, utf16("QV812A0001234")));
  rec.calls.push_back(request({0xA1, 0x08, 0x0B, 0, 0, 0, 0, 0, 0x40, 0xEC}, true, identify));
  RecordedCall disks;
  disks.kind = RecordedCall::Kind::Disks;
  disks.disks = {{"\\\\?\\usbstor#disk&ven_qavion&prod_sata&rev_0100#qv812a0001234&0#{53f56307}", Bus::Usb}};
  rec.calls.push_back(disks);
  AnonymiseRecording(rec, {7, 9});

  auto serialOf = [](const RecordedCall& c) { return std::string(c.in.begin() + 4, c.in.end()); };
  const std::string first = serialOf(rec.calls[0]), second = serialOf(rec.calls[1]);
  EXPECT_NE(first, "QV812A0001234");
  EXPECT_EQ(first.size(), 13u);
  EXPECT_NE(first, second) << "two serials never become one";
  EXPECT_EQ(first.substr(0, 9), second.substr(0, 9)) << "serials that begin alike begin alike after";
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(std::isdigit(static_cast<unsigned char>(first[i])) != 0,
              std::isdigit(static_cast<unsigned char>("QV812A0001234"[i])) != 0);
    EXPECT_EQ(std::isupper(static_cast<unsigned char>(first[i])) != 0,
              std::isupper(static_cast<unsigned char>("QV812A0001234"[i])) != 0);
  }
  EXPECT_EQ(rec.calls[2].in, utf16(first)) << "the same replacement in UTF-16";
  std::string lower = first;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(rec.calls[4].disks[0].path.find("#" + lower + "&0#"), std::string::npos) << rec.calls[4].disks[0].path;
  // The disk's serial and world wide name.
  const std::vector<uint8_t>& id = rec.calls[3].in;
  std::string ata;
  for (size_t k = 0; k < 20; k += 2) ata += {static_cast<char>(id[20 + k + 1]), static_cast<char>(id[20 + k])};
  EXPECT_EQ(ata.substr(0, 5), "     ");
  EXPECT_NE(ata, ataSerial);
  EXPECT_EQ(ata.size(), ataSerial.size());
  EXPECT_NE(std::vector<uint8_t>(id.begin() + 216, id.begin() + 224), std::vector<uint8_t>(identify.begin() + 216, identify.begin() + 224));
  EXPECT_EQ(id[217] & 0xF0, identify[217] & 0xF0) << "the name's format nibble stays";

  // Another secret, another replacement.
  SessionRecording again;
  again.calls.push_back(vpd("QV812A0001234"));
  AnonymiseRecording(again, {8, 9});
  EXPECT_NE(serialOf(again.calls[0]), first);
}

}  // namespace
}  // namespace qvfw::platform
