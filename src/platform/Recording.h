#pragma once
// A session recording: everything a run said to the machine's platform and everything the
// platform answered, in the order it happened — the disk and volume enumerations, the device
// numbers, every SCSI request with what went out and what came back, and the arrivals and
// removals the program was told of. Saved as JSON lines (docs/recording.md): a header line, one
// line per call and a closing line with the count and a check value, so that a recording cut
// short or changed after the fact is refused rather than replayed.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Disks.h"
#include "platform/PassThrough.h"

namespace qvfw::platform {

inline constexpr int kRecordingVersion = 1;
inline constexpr std::string_view kRecordingFormat = "qvfw-recording";
// Recordings are read whole; a larger file is refused before it is read.
inline constexpr uint64_t kMaxRecordingBytes = uint64_t{1} << 30;

struct RecordedCall {
  enum class Kind { Disks, Volumes, Number, Request, Events };
  Kind kind = Kind::Request;
  // The thread of work that made the call: 0 for the program's own, 1, 2, … for the jobs of its
  // parallel sections in the order they were started (one bridge's worker each).
  uint32_t lane = 0;
  uint64_t atUs = 0;   // when the call began, counted from the start of the recording
  uint32_t line = 0;   // the line it was read from (0 for a recording made in memory)

  // Disks: the enumeration and how many disks it left out for want of a pass-through node.
  std::vector<DiskInterface> disks;
  uint64_t withoutPassThrough = 0;
  // Volumes.
  std::vector<Volume> volumes;
  // Number and Request: the path asked about; Number: the answer.
  std::string path;
  std::optional<StorageDeviceNumber> number;
  // Request: what the program asked for ...
  std::vector<uint8_t> cdb;
  bool dataIn = true;
  uint32_t length = 0;
  uint32_t timeoutSeconds = 0;
  bool exclusive = false;
  uint32_t senseLength = 0;
  std::vector<uint8_t> out;  // the bytes of a data-out phase
  // ... and what came back: the data-in area and the sense area as the request left them (each
  // without its trailing zero bytes), the result and how long the request took.
  std::vector<uint8_t> in;
  std::vector<uint8_t> sense;
  ScsiResult result;
  uint64_t durationUs = 0;
  // Events: what one look at the device monitor reported, and how many calls each lane had made
  // by then (indexed by lane), which is where a replay hands them out again.
  std::vector<DeviceEvent> events;
  std::vector<uint64_t> after;
};

// A file the run read that shapes what it sends (the image it programs, the identity it writes
// back, the configuration file), kept so that the run can be repeated against the recording.
struct RecordedInput {
  std::string path;  // as the program was given it (the configuration: its file name)
  std::vector<uint8_t> bytes;
};

struct SessionRecording {
  std::string program;          // "qvfw 1.4.0"
  std::string frontEnd;         // "qvfw" or "qvfw-gui"
  std::vector<std::string> args;  // the command as given, without the recording's own options
  std::string machine;          // "native" or "emulated"
  bool lockedDevices = false;   // the run took a lock on each device (asking for its number)
  bool anonymous = false;
  std::vector<RecordedInput> inputs;
  std::vector<RecordedCall> calls;
  std::optional<int> exitCode;  // none when the program ended without telling it
};

// A recording that cannot be read: what() says which line and why, in a user's terms.
class RecordingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file's text: the header, a line per call, the closing line.
std::string FormatRecording(const SessionRecording& recording);
// Reads the text back; throws RecordingError when it is not a whole, unchanged recording of a
// version this program reads. `name` names the file in the messages.
// `verify` false reads a recording that was changed on purpose (to seal it again): the closing
// line's count and check value are not compared.
SessionRecording ParseRecording(std::string_view text, std::string_view name = "the recording", bool verify = true);
// The same for a file (a regular file, at most kMaxRecordingBytes).
SessionRecording LoadRecording(const std::filesystem::path& file);
// Writes the file whole, beside its name and renamed into place (never through a link); returns
// 0 or the errno of the step that failed.
int SaveRecording(const std::filesystem::path& file, const SessionRecording& recording);

// Hex text: "12 00 00" for CDBs and sense (`spaced`), "120000" for data. ParseHex takes either
// and returns nothing for anything but pairs of hex digits and spaces.
std::string ToHex(const std::vector<uint8_t>& bytes, bool spaced);
std::optional<std::vector<uint8_t>> ParseHex(std::string_view text);

// One line for a request as a replay reports it: "ReadFlash (FF 04 10 …) in 4096 on PATH".
std::string DescribeRecordedRequest(std::string_view path, const std::vector<uint8_t>& cdb, bool dataIn,
                                    uint32_t length);

}  // namespace qvfw::platform
