#pragma once
// Recording and replaying a machine's platform: decorators of the platform interfaces that keep
// everything the program says to the machine and everything it answers (SessionRecorder), and a
// machine that answers from such a recording alone (SessionReplayer).

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Disks.h"
#include "platform/PassThrough.h"
#include "platform/Recording.h"

namespace qvfw::platform {

// A clock that numbers the jobs of parallel sections, so that each call can be told to the job
// that made it: the program itself is lane 0, and the jobs are 1, 2, … in the order they are
// started, across all sections of a run. Time and sleeps are the inner clock's.
class LaneClock final : public Clock {
 public:
  explicit LaneClock(Clock& inner) : inner_(inner) {}
  void Sleep(uint32_t ms) override { inner_.Sleep(ms); }
  uint64_t NowMs() const override { return inner_.NowMs(); }
  uint64_t NowUs() const override { return inner_.NowUs(); }
  void SleepUs(uint64_t us) override { inner_.SleepUs(us); }
  void RunParallel(std::span<const std::function<void()>> jobs) override;

  // The lane of the calling thread.
  static uint32_t CurrentLane();

 private:
  Clock& inner_;
  std::mutex mutex_;
  uint32_t nextLane_ = 1;
};

// Passes every call to the machine's own parts unchanged (the same request, the same buffers)
// and keeps a copy of it and of its answer. Safe to call from several threads at once; no lock
// is held while the machine works.
class SessionRecorder final : public PassThrough, public DiskEnumerator, public DeviceMonitor {
 public:
  // `disks` and `monitor` may be null (a machine without them); `clock` is the program's clock,
  // a LaneClock over the machine's.
  SessionRecorder(PassThrough& passThrough, DiskEnumerator* disks, DeviceMonitor* monitor, Clock& clock);

  ScsiResult Execute(std::string_view path, const ScsiRequest& request) override;
  std::vector<DiskInterface> EnumerateDisks() override;
  std::vector<Volume> EnumerateVolumes() override;
  std::optional<StorageDeviceNumber> GetStorageDeviceNumber(std::string_view path) override;
  size_t DisksWithoutPassThrough() const override;
  int PollFd() const override;
  std::vector<DeviceEvent> Drain() override;

  // The calls so far, in the order they ended.
  std::vector<RecordedCall> Calls() const;
  size_t CallCount() const;

 private:
  void Add(RecordedCall call);
  uint64_t Now() const;

  PassThrough& passThrough_;
  DiskEnumerator* disks_;
  DeviceMonitor* monitor_;
  Clock& clock_;
  uint64_t startUs_;
  mutable std::mutex mutex_;
  std::vector<RecordedCall> calls_;
  std::vector<uint64_t> perLane_;  // calls made so far by each lane
};

struct ReplayOptions {
  // Identification queries (IsIdentificationQuery) and enumerations may come in another order
  // than recorded, within a run of such calls.
  bool relaxed = false;
};

// A machine that answers exactly as a recording says. Each lane's calls must come in the
// recorded order, with the recorded CDB, direction, length, time-out, sharing, sense area and
// data-out bytes. The first one that does not stops the replay: the difference is kept for the
// front end to report (Difference()), and from then on the machine is gone — nothing opens,
// nothing is enumerated — so the program's operation ends at once, as with a pulled cable.
// Time follows the recording: a request starts at its recorded time (the clock is moved on to it
// when it lags behind) and takes its recorded duration. Recorded arrivals and removals are handed
// out by the first look at the monitor once every lane has made the calls that came before them.
class SessionReplayer final : public PassThrough, public DiskEnumerator, public DeviceMonitor {
 public:
  // `clock`: the program's clock, a LaneClock over a VirtualClock.
  SessionReplayer(SessionRecording recording, Clock& clock, ReplayOptions options);

  ScsiResult Execute(std::string_view path, const ScsiRequest& request) override;
  std::vector<DiskInterface> EnumerateDisks() override;
  std::vector<Volume> EnumerateVolumes() override;
  std::optional<StorageDeviceNumber> GetStorageDeviceNumber(std::string_view path) override;
  size_t DisksWithoutPassThrough() const override;
  std::vector<DeviceEvent> Drain() override;

  // The first difference, once there was one.
  std::optional<std::string> Difference() const;
  // At the end of the run: the first difference, else what the program left unasked (a call the
  // recording holds that never came) or an exit code other than the recorded one.
  std::optional<std::string> Finish(int exitCode);
  const SessionRecording& recording() const { return recording_; }

 private:
  struct Match;
  // The recorded call that answers this one, or nothing once the replay has stopped.
  const RecordedCall* Take(RecordedCall::Kind kind, const std::function<std::string(const RecordedCall&)>& differs,
                           const std::string& asked, const std::vector<uint8_t>* cdb);
  const RecordedCall* Stop(std::string report);

  SessionRecording recording_;
  Clock& clock_;
  ReplayOptions options_;
  mutable std::mutex mutex_;
  std::vector<std::vector<size_t>> lanes_;   // each lane's calls, as indexes into the recording
  std::vector<size_t> next_;                 // each lane's first call not yet answered
  std::vector<std::vector<bool>> taken_;     // relaxed mode: answered out of order
  std::vector<uint64_t> answered_;           // calls answered so far, per lane
  std::vector<size_t> events_;               // the recorded events, in order
  size_t nextEvent_ = 0;
  size_t withoutPassThrough_ = 0;
  uint64_t asked_ = 0;                       // calls the program made
  std::optional<std::string> difference_;
};

}  // namespace qvfw::platform
