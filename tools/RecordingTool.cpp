// Looks after session recordings (docs/recording.md):
//   qvfw_recording check FILE         reads it as a replay would and tells what it holds
//   qvfw_recording anonymise IN OUT   takes serial numbers and folders out (as --record-anonymous)
//   qvfw_recording seal FILE          sets the count and check value of a file changed on purpose
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <string>

#include "platform/Anonymise.h"
#include "platform/Files.h"
#include "platform/Recording.h"

namespace {

using namespace qvfw::platform;

int Usage() {
  std::fprintf(stderr,
               "usage: qvfw_recording check FILE\n"
               "       qvfw_recording anonymise IN OUT\n"
               "       qvfw_recording seal FILE\n");
  return 2;
}

int Save(const std::string& file, const SessionRecording& rec) {
  if (const int error = SaveRecording(file, rec); error != 0) {
    std::fprintf(stderr, "qvfw_recording: %s cannot be written: %s\n", file.c_str(), std::strerror(error));
    return 1;
  }
  return 0;
}

int Check(const std::string& file) {
  const SessionRecording rec = LoadRecording(file);
  size_t requests = 0, failed = 0, events = 0, lanes = 1;
  uint64_t end = 0, bytesOut = 0, bytesIn = 0;
  std::map<std::string, size_t> paths;
  for (const RecordedCall& c : rec.calls) {
    lanes = std::max<size_t>(lanes, c.lane + 1);
    end = std::max(end, c.atUs + c.durationUs);
    if (c.kind == RecordedCall::Kind::Events) events += c.events.size();
    if (c.kind != RecordedCall::Kind::Request) continue;
    ++requests;
    ++paths[c.path];
    if (!Succeeded(c.result)) ++failed;
    if (c.dataIn) bytesIn += c.result.transferred;
    else bytesOut += c.length;
  }
  std::printf("%s: a whole recording, made by %s (%s) on the %s machine%s\n", file.c_str(), rec.program.c_str(),
              rec.frontEnd.c_str(), rec.machine.c_str(), rec.anonymous ? ", anonymous" : "");
  std::string args;
  for (const std::string& a : rec.args) args += " " + a;
  std::printf("command:%s\n", args.empty() ? " (none)" : args.c_str());
  for (const RecordedInput& in : rec.inputs) std::printf("input: %s (%zu bytes)\n", in.path.c_str(), in.bytes.size());
  std::printf("%zu calls, %zu SCSI requests (%zu failed) to %zu paths, %zu device events, %zu lanes\n",
              rec.calls.size(), requests, failed, paths.size(), events, lanes);
  std::printf("%llu bytes out, %llu bytes in, %.3f s\n", static_cast<unsigned long long>(bytesOut),
              static_cast<unsigned long long>(bytesIn), static_cast<double>(end) / 1e6);
  if (rec.exitCode) std::printf("exit code %d\n", *rec.exitCode);
  else std::printf("no exit code (the program did not end normally)\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 3 && std::strcmp(argv[1], "check") == 0) return Check(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "anonymise") == 0) {
      SessionRecording rec = LoadRecording(argv[2]);
      AnonymiseRecording(rec);
      return Save(argv[3], rec);
    }
    if (argc == 3 && std::strcmp(argv[1], "seal") == 0) {
      const FileRead read = ReadRegularFile(argv[2], kMaxRecordingBytes);
      if (!read.ok()) throw RecordingError(std::string(argv[2]) + " " + read.Reason());
      const SessionRecording rec =
          ParseRecording(std::string_view(reinterpret_cast<const char*>(read.bytes.data()), read.bytes.size()), argv[2],
                         false);
      return Save(argv[2], rec);
    }
    return Usage();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qvfw_recording: %s\n", e.what());
    return 1;
  }
}
