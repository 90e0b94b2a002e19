#pragma once
// Scenario files: a machine described in JSON (disks, their bus, chip type and revision, flash
// part and size, USB ids, serial number, standby timer, firmware image and faults), the built-in
// machines, and persistent machines kept in a directory between runs. The format is described
// in docs/sim.md; in short:
//
//   { "disks": [ { "name": "bridge0", "kind": "bridge", "bus": "usb", "chipType": 15,
//                  "revision": 0, "flash": { "part": "MXIC", "sizeKiB": 512 },
//                  "firmware": { "generate": { "version": "1201" } },
//                  "usb": { "vid": "0x284D", "pid": "0x0812" }, "serial": "QV812A0001234",
//                  "standby": true, "standbyTimer": 3000, "volumes": [ "E" ],
//                  "faults": [ { "kind": "fail", "cdbPrefix": "FF 04 10", "times": 1 } ] } ] }

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "sim/Machine.h"

namespace qvfw::sim {

// What the readers take at most: a description, a flash content (the largest part holds 16 MiB)
// and a disk's sector file. Every file is read only when it is a regular file.
inline constexpr uint64_t kMaxScenarioFileSize = 1024 * 1024;
inline constexpr uint64_t kMaxFlashFileSize = 16 * 1024 * 1024;
inline constexpr uint64_t kMaxDiskFileSize = 64 * 1024 * 1024;
// Arrays and objects nest at most this deep in a description; a real one needs four levels.
inline constexpr size_t kMaxJsonDepth = 64;

// Throws std::invalid_argument when `text` nests arrays and objects deeper than kMaxJsonDepth
// (the parser and everything that copies or writes the value work recursively).
void CheckJsonDepth(std::string_view text);

// Throws std::invalid_argument (with the reason) for a description that does not make a machine,
// std::runtime_error when a file it names cannot be read. Relative file names are taken from
// `baseDir`.
std::unique_ptr<Machine> LoadScenario(std::string_view json, platform::Clock& clock,
                                      const std::filesystem::path& baseDir = {});
std::unique_ptr<Machine> LoadScenarioFile(const std::filesystem::path& file, platform::Clock& clock);

// Built-in machines: "default" (one QVS812 USB bridge running firmware 1201), "two-bridges",
// "mixed" (a bridge, a plain disk of another make, an IEEE 1394 bridge and the system disk) and
// "families" (one bridge per programming procedure).
std::vector<std::string> PresetNames();
std::string PresetScenarioJson(std::string_view name);
std::unique_ptr<Machine> DefaultMachine(platform::Clock& clock);

// Parses one fault as the scenario's "faults" entries write it.
Fault ParseFault(std::string_view json);

// A machine that lives in a directory: "machine.json" and one raw file per bridge with its
// flash content ("<name>.flash") and, when the disk holds data, "<name>.disk". A missing
// directory or description is created from the default machine. Save() writes the state back:
// nothing when it has not changed since it was loaded or saved, otherwise each file that changed,
// written beside its final name and renamed over it, never through a link.
class PersistentMachine {
 public:
  static std::unique_ptr<PersistentMachine> Open(const std::filesystem::path& dir, platform::Clock& clock);
  ~PersistentMachine();
  Machine& machine() { return *machine_; }
  const std::filesystem::path& dir() const { return dir_; }
  void Save();

 private:
  PersistentMachine(std::filesystem::path dir, std::string description, std::unique_ptr<Machine> machine);
  // The folder's files as the machine's state now makes them, by name.
  std::map<std::string, std::vector<uint8_t>> Files() const;
  std::filesystem::path dir_;
  std::string description_;
  std::unique_ptr<Machine> machine_;
  std::map<std::string, std::vector<uint8_t>> saved_;  // as loaded or last saved
};

// The machine a front end's --sim names: the built-in default held in memory (empty `dir`), or
// the persistent machine in `dir`, which Save() writes back.
class EmulatedMachine {
 public:
  static std::unique_ptr<EmulatedMachine> Open(const std::filesystem::path& dir, platform::Clock& clock);
  ~EmulatedMachine();
  Machine& machine() { return persistent_ ? persistent_->machine() : *inMemory_; }
  void Save();

 private:
  EmulatedMachine() = default;
  std::unique_ptr<Machine> inMemory_;
  std::unique_ptr<PersistentMachine> persistent_;
};

}  // namespace qvfw::sim
