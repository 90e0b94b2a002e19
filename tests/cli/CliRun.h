#pragma once
// The command line run in-process, as the tests run it: the arguments after "qvfw", its exit code
// and what it printed on standard output and error. `workingDirectory` is where the exchange
// file and the configuration live (empty: the process's own).

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Cli.h"

namespace qvfw::cli {

struct CliOutcome {
  int code;
  std::string out, err;
};

inline CliOutcome RunCli(std::vector<std::string> args, const std::filesystem::path& workingDirectory = {}) {
  args.insert(args.begin(), "qvfw");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const int code = Run(static_cast<int>(argv.size()), argv.data(), out, err, false, workingDirectory);
  return {code, out.str(), err.str()};
}

// A persistent emulated machine in `folder` (made when missing) described by `description`; returns
// the option that names it ("--sim=FOLDER").
inline std::string MachineFolder(const std::filesystem::path& folder, std::string_view description) {
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "machine.json") << description;
  return "--sim=" + folder.string();
}

}  // namespace qvfw::cli
