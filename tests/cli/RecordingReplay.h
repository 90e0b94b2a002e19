#pragma once
// A recording replayed as a test: the files its run read are written into `scratch`, its
// command's arguments are pointed at them, and the command runs with --replay in `scratch` (the
// working directory, where the configuration is looked for and files named without a folder,
// such as a default backup file, are written).

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "CliRun.h"
#include "platform/Recording.h"

namespace qvfw::cli {

struct ReplayOutcome {
  CliOutcome run;
  std::optional<int> recordedExit;
};

inline ReplayOutcome ReplayRecording(const std::filesystem::path& file, const std::filesystem::path& scratch) {
  const platform::SessionRecording rec = platform::LoadRecording(file);
  std::map<std::string, std::string> moved;
  for (const platform::RecordedInput& in : rec.inputs) {
    const std::filesystem::path to = scratch / std::filesystem::path(in.path).filename();
    std::ofstream(to, std::ios::binary)
        .write(reinterpret_cast<const char*>(in.bytes.data()), static_cast<std::streamsize>(in.bytes.size()));
    moved[in.path] = to.string();
  }
  std::vector<std::string> args{"--replay", file.string()};
  for (const std::string& a : rec.args) {
    const auto it = moved.find(a);
    args.push_back(it == moved.end() ? a : it->second);
  }
  struct InFolder {
    std::filesystem::path before = std::filesystem::current_path();
    explicit InFolder(const std::filesystem::path& dir) { std::filesystem::current_path(dir); }
    ~InFolder() { std::filesystem::current_path(before); }
  } in(scratch);
  return {RunCli(args, scratch), rec.exitCode};
}

}  // namespace qvfw::cli
