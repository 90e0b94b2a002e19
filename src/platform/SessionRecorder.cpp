#include "platform/SessionRecorder.h"

#include <algorithm>
#include <cstdio>

#include "platform/CommandNames.h"

namespace qvfw::platform {
namespace {

thread_local uint32_t t_lane = 0;  // NOLINT: the lane of the calling thread

std::vector<uint8_t> WithoutTrailingZeros(const uint8_t* data, size_t size) {
  while (size > 0 && data[size - 1] == 0) --size;
  return {data, data + size};
}

bool Reorderable(RecordedCall::Kind kind, const std::vector<uint8_t>* cdb) {
  if (kind == RecordedCall::Kind::Request) return cdb && IsIdentificationQuery(*cdb);
  return kind != RecordedCall::Kind::Events;
}

std::string LaneWords(uint32_t lane) {
  return lane == 0 ? std::string("the program") : "parallel job " + std::to_string(lane);
}

std::string Describe(const RecordedCall& c) {
  switch (c.kind) {
    case RecordedCall::Kind::Disks: return "the list of disks";
    case RecordedCall::Kind::Volumes: return "the list of volumes";
    case RecordedCall::Kind::Number: return "the device number of " + c.path;
    case RecordedCall::Kind::Request: return DescribeRecordedRequest(c.path, c.cdb, c.dataIn, c.length);
    case RecordedCall::Kind::Events: return "device events";
  }
  return "a call";
}

std::string Hex2(uint8_t b) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", b);
  return text;
}

// What sets a request apart from the recorded one, first difference first; empty when nothing.
std::string RequestDifference(const RecordedCall& rc, std::string_view path, const ScsiRequest& r) {
  const std::vector<uint8_t> cdb(r.cdb.begin(), r.cdb.end());
  if (cdb != rc.cdb) return "the CDB differs";
  if (path != rc.path) return "the path differs";
  if (r.dataIn != rc.dataIn) return std::string("the direction differs: recorded ") + (rc.dataIn ? "in" : "out");
  if (r.length != rc.length)
    return "the transfer length differs: recorded " + std::to_string(rc.length) + ", sent " + std::to_string(r.length);
  if (r.timeoutSeconds != rc.timeoutSeconds)
    return "the time-out differs: recorded " + std::to_string(rc.timeoutSeconds) + " s, sent " +
           std::to_string(r.timeoutSeconds) + " s";
  if (r.exclusive != rc.exclusive)
    return std::string("the sharing differs: recorded ") + (rc.exclusive ? "exclusive" : "shared") + ", sent " +
           (r.exclusive ? "exclusive" : "shared");
  if (r.senseLength != rc.senseLength)
    return "the sense area differs: recorded " + std::to_string(rc.senseLength) + " bytes, sent " +
           std::to_string(r.senseLength);
  if (!r.dataIn && r.length > 0) {
    size_t first = r.length, count = 0;
    auto recorded = [&](size_t i) { return i < rc.out.size() ? rc.out[i] : uint8_t{0}; };
    for (size_t i = 0; i < r.length; ++i) {
      const uint8_t sent = r.data ? r.data[i] : 0;
      if (sent == recorded(i)) continue;
      if (count++ == 0) first = i;
    }
    if (count != 0) {
      char at[24];
      std::snprintf(at, sizeof at, "0x%zX", first);
      return std::string("the data out differs first at byte ") + at + " of " + std::to_string(r.length) + " (" +
             std::to_string(count) + (count == 1 ? " byte differs" : " bytes differ") + "): recorded " +
             Hex2(recorded(first)) + ", sent " + Hex2(r.data ? r.data[first] : 0);
    }
  }
  return {};
}

}  // namespace

// ---- LaneClock --------------------------------------------------------------------------------

void LaneClock::RunParallel(std::span<const std::function<void()>> jobs) {
  std::vector<std::function<void()>> laned;
  laned.reserve(jobs.size());
  {
    std::lock_guard guard(mutex_);
    for (const auto& job : jobs) {
      const uint32_t lane = nextLane_++;
      laned.push_back([lane, &job] {
        const uint32_t outer = t_lane;
        t_lane = lane;
        try {
          job();
        } catch (...) {
          t_lane = outer;
          throw;
        }
        t_lane = outer;
      });
    }
  }
  inner_.RunParallel(laned);
}

uint32_t LaneClock::CurrentLane() { return t_lane; }

// ---- SessionRecorder --------------------------------------------------------------------------

SessionRecorder::SessionRecorder(PassThrough& passThrough, DiskEnumerator* disks, DeviceMonitor* monitor,
                                 Clock& clock)
    : passThrough_(passThrough), disks_(disks), monitor_(monitor), clock_(clock), startUs_(clock.NowUs()) {}

uint64_t SessionRecorder::Now() const {
  const uint64_t now = clock_.NowUs();
  return now > startUs_ ? now - startUs_ : 0;
}

void SessionRecorder::Add(RecordedCall call) {
  std::lock_guard guard(mutex_);
  if (call.kind == RecordedCall::Kind::Events) {
    call.after = perLane_;
  } else {
    if (perLane_.size() <= call.lane) perLane_.resize(call.lane + 1, 0);
    ++perLane_[call.lane];
  }
  calls_.push_back(std::move(call));
}

ScsiResult SessionRecorder::Execute(std::string_view path, const ScsiRequest& request) {
  RecordedCall c;
  c.kind = RecordedCall::Kind::Request;
  c.lane = LaneClock::CurrentLane();
  c.path = path;
  c.cdb.assign(request.cdb.begin(), request.cdb.end());
  c.dataIn = request.dataIn;
  c.length = request.length;
  c.timeoutSeconds = request.timeoutSeconds;
  c.exclusive = request.exclusive;
  c.senseLength = request.senseLength;
  if (!request.dataIn && request.data != nullptr) c.out = WithoutTrailingZeros(request.data, request.length);
  c.atUs = Now();
  const ScsiResult result = passThrough_.Execute(path, request);
  c.durationUs = Now() - c.atUs;
  c.result = result;
  if (result.opened) {
    if (request.dataIn && request.data != nullptr) c.in = WithoutTrailingZeros(request.data, request.length);
    if (request.sense != nullptr) c.sense = WithoutTrailingZeros(request.sense, request.senseLength);
  }
  Add(std::move(c));
  return result;
}

std::vector<DiskInterface> SessionRecorder::EnumerateDisks() {
  RecordedCall c;
  c.kind = RecordedCall::Kind::Disks;
  c.lane = LaneClock::CurrentLane();
  c.atUs = Now();
  c.disks = disks_->EnumerateDisks();
  c.withoutPassThrough = disks_->DisksWithoutPassThrough();
  std::vector<DiskInterface> disks = c.disks;
  Add(std::move(c));
  return disks;
}

std::vector<Volume> SessionRecorder::EnumerateVolumes() {
  RecordedCall c;
  c.kind = RecordedCall::Kind::Volumes;
  c.lane = LaneClock::CurrentLane();
  c.atUs = Now();
  c.volumes = disks_->EnumerateVolumes();
  std::vector<Volume> volumes = c.volumes;
  Add(std::move(c));
  return volumes;
}

std::optional<StorageDeviceNumber> SessionRecorder::GetStorageDeviceNumber(std::string_view path) {
  RecordedCall c;
  c.kind = RecordedCall::Kind::Number;
  c.lane = LaneClock::CurrentLane();
  c.atUs = Now();
  c.path = path;
  c.number = disks_->GetStorageDeviceNumber(path);
  const auto number = c.number;
  Add(std::move(c));
  return number;
}

size_t SessionRecorder::DisksWithoutPassThrough() const { return disks_->DisksWithoutPassThrough(); }

int SessionRecorder::PollFd() const { return monitor_->PollFd(); }

std::vector<DeviceEvent> SessionRecorder::Drain() {
  std::vector<DeviceEvent> events = monitor_->Drain();
  if (events.empty()) return events;
  RecordedCall c;
  c.kind = RecordedCall::Kind::Events;
  c.lane = LaneClock::CurrentLane();
  c.atUs = Now();
  c.events = events;
  Add(std::move(c));
  return events;
}

std::vector<RecordedCall> SessionRecorder::Calls() const {
  std::lock_guard guard(mutex_);
  return calls_;
}

size_t SessionRecorder::CallCount() const {
  std::lock_guard guard(mutex_);
  return calls_.size();
}

// ---- SessionReplayer --------------------------------------------------------------------------

SessionReplayer::SessionReplayer(SessionRecording recording, Clock& clock, ReplayOptions options)
    : recording_(std::move(recording)), clock_(clock), options_(options) {
  size_t laneCount = 1;
  for (const RecordedCall& c : recording_.calls) {
    laneCount = std::max<size_t>(laneCount, c.lane + 1);
    if (c.kind == RecordedCall::Kind::Events) laneCount = std::max(laneCount, c.after.size());
  }
  lanes_.resize(laneCount);
  for (size_t i = 0; i < recording_.calls.size(); ++i) {
    const RecordedCall& c = recording_.calls[i];
    if (c.kind == RecordedCall::Kind::Events) events_.push_back(i);
    else lanes_[c.lane].push_back(i);
  }
  next_.assign(laneCount, 0);
  answered_.assign(laneCount, 0);
  taken_.resize(laneCount);
  for (size_t l = 0; l < laneCount; ++l) taken_[l].assign(lanes_[l].size(), false);
}

const RecordedCall* SessionReplayer::Stop(std::string report) {
  difference_ = "the replay differs from the recording " + report;
  return nullptr;
}

const RecordedCall* SessionReplayer::Take(RecordedCall::Kind kind,
                                          const std::function<std::string(const RecordedCall&)>& differs,
                                          const std::string& asked, const std::vector<uint8_t>* cdb) {
  if (difference_) return nullptr;
  ++asked_;
  const uint32_t lane = LaneClock::CurrentLane();
  const std::string callWords = "(call " + std::to_string(asked_) + " of this run, by " + LaneWords(lane) + "):\n";
  if (lane >= lanes_.size() || next_[lane] >= lanes_[lane].size()) {
    const std::string where = lane == 0 ? std::string("the recording") : "the recording of " + LaneWords(lane);
    return Stop(callWords + "  " + where + " holds no further call, but the program asked for " + asked);
  }
  auto& queue = lanes_[lane];
  auto& taken = taken_[lane];
  size_t& i = next_[lane];
  const RecordedCall& expected = recording_.calls[queue[i]];
  auto take = [&](size_t at) {
    taken[at] = true;
    ++answered_[lane];
    while (i < queue.size() && taken[i]) ++i;
    return &recording_.calls[queue[at]];
  };
  std::string why;
  if (expected.kind == kind) {
    why = differs(expected);
    if (why.empty()) return take(i);
  }
  if (options_.relaxed && Reorderable(kind, cdb)) {
    for (size_t j = i; j < queue.size(); ++j) {
      if (taken[j]) continue;
      const RecordedCall& c = recording_.calls[queue[j]];
      if (!Reorderable(c.kind, c.kind == RecordedCall::Kind::Request ? &c.cdb : nullptr)) break;
      if (c.kind == kind && differs(c).empty()) return take(j);
    }
  }
  std::string report = "at line " + std::to_string(expected.line) + " " + callWords;
  report += "  recorded: " + Describe(expected) + "\n";
  report += "  asked:    " + asked;
  if (!why.empty()) report += "\n  " + why;
  if (options_.relaxed && Reorderable(kind, cdb))
    report += "\n  (no identification query of the same run of them in the recording matches either)";
  return Stop(report);
}

ScsiResult SessionReplayer::Execute(std::string_view path, const ScsiRequest& request) {
  const RecordedCall* rc;
  {
    std::lock_guard guard(mutex_);
    const std::vector<uint8_t> cdb(request.cdb.begin(), request.cdb.end());
    rc = Take(
        RecordedCall::Kind::Request, [&](const RecordedCall& c) { return RequestDifference(c, path, request); },
        DescribeRecordedRequest(path, cdb, request.dataIn, request.length), &cdb);
  }
  if (!rc) return {};
  const uint64_t now = clock_.NowUs();
  if (rc->atUs > now) clock_.SleepUs(rc->atUs - now);
  if (rc->durationUs > 0) clock_.SleepUs(rc->durationUs);
  if (rc->result.opened) {
    if (request.dataIn && request.data != nullptr) {
      std::fill_n(request.data, request.length, uint8_t{0});
      std::copy_n(rc->in.begin(), std::min<size_t>(rc->in.size(), request.length), request.data);
    }
    if (request.sense != nullptr) {
      std::fill_n(request.sense, request.senseLength, uint8_t{0});
      std::copy_n(rc->sense.begin(), std::min<size_t>(rc->sense.size(), request.senseLength), request.sense);
    }
  }
  return rc->result;
}

std::vector<DiskInterface> SessionReplayer::EnumerateDisks() {
  std::lock_guard guard(mutex_);
  const RecordedCall* rc =
      Take(RecordedCall::Kind::Disks, [](const RecordedCall&) { return std::string(); }, "the list of disks", nullptr);
  withoutPassThrough_ = rc ? rc->withoutPassThrough : 0;
  return rc ? rc->disks : std::vector<DiskInterface>{};
}

std::vector<Volume> SessionReplayer::EnumerateVolumes() {
  std::lock_guard guard(mutex_);
  const RecordedCall* rc =
      Take(RecordedCall::Kind::Volumes, [](const RecordedCall&) { return std::string(); }, "the list of volumes", nullptr);
  return rc ? rc->volumes : std::vector<Volume>{};
}

std::optional<StorageDeviceNumber> SessionReplayer::GetStorageDeviceNumber(std::string_view path) {
  std::lock_guard guard(mutex_);
  const RecordedCall* rc = Take(
      RecordedCall::Kind::Number,
      [&](const RecordedCall& c) { return c.path == path ? std::string() : std::string("the path differs"); },
      "the device number of " + std::string(path), nullptr);
  return rc ? rc->number : std::nullopt;
}

size_t SessionReplayer::DisksWithoutPassThrough() const {
  std::lock_guard guard(mutex_);
  return withoutPassThrough_;
}

std::vector<DeviceEvent> SessionReplayer::Drain() {
  std::lock_guard guard(mutex_);
  std::vector<DeviceEvent> events;
  if (difference_) return events;
  while (nextEvent_ < events_.size()) {
    const RecordedCall& e = recording_.calls[events_[nextEvent_]];
    bool due = true;
    for (size_t l = 0; l < e.after.size() && due; ++l) due = answered_[l] >= e.after[l];
    if (!due) break;
    events.insert(events.end(), e.events.begin(), e.events.end());
    ++nextEvent_;
  }
  return events;
}

std::optional<std::string> SessionReplayer::Difference() const {
  std::lock_guard guard(mutex_);
  return difference_;
}

std::optional<std::string> SessionReplayer::Finish(int exitCode) {
  std::lock_guard guard(mutex_);
  if (difference_) return difference_;
  // The earliest recorded call that never came.
  const RecordedCall* missed = nullptr;
  size_t left = 0;
  for (size_t l = 0; l < lanes_.size(); ++l) {
    for (size_t j = next_[l]; j < lanes_[l].size(); ++j) {
      if (taken_[l][j]) continue;
      ++left;
      const RecordedCall& c = recording_.calls[lanes_[l][j]];
      if (!missed || c.line < missed->line) missed = &c;
    }
  }
  if (missed) {
    difference_ = "the run ended before the recording did: line " + std::to_string(missed->line) + " (" +
                  Describe(*missed) + ", by " + LaneWords(missed->lane) + ")" +
                  (left > 1 ? " and " + std::to_string(left - 1) + " more recorded calls were" : " was") +
                  " never asked for";
  } else if (nextEvent_ < events_.size()) {
    difference_ = "the run ended before the device events recorded at line " +
                  std::to_string(recording_.calls[events_[nextEvent_]].line) + " were looked at";
  } else if (recording_.exitCode && *recording_.exitCode != exitCode) {
    difference_ = "every call was answered as recorded, but the recorded run ended with exit code " +
                  std::to_string(*recording_.exitCode) + " and this one with " + std::to_string(exitCode);
  }
  return difference_;
}

}  // namespace qvfw::platform
