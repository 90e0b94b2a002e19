#pragma once
// A machine from a scenario, the shared virtual clock and the host's transport over it.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device/Commands.h"
#include "device/Transport.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "sim/Machine.h"
#include "sim/Scenario.h"

namespace qvfw::sim {

// One bridge of the given chip type on USB with a preset flash.
inline std::string OneBridge(int chipType, int revision = 0, const char* part = "WINBOND", int sizeKiB = 512,
                             const std::string& extra = "") {
  return R"({"disks": [{"name": "b0", "chipType": )" + std::to_string(chipType) + R"(, "revision": )" +
         std::to_string(revision) + R"(, "flash": {"part": ")" + part + R"(", "sizeKiB": )" + std::to_string(sizeKiB) +
         "}" + extra + "}]}";
}

struct Outcome {
  bool opened = false;
  bool succeeded = false;  // the platform's success rule
  uint8_t status = 0;
  uint8_t key = 0, asc = 0, ascq = 0;
  uint32_t transferred = 0;
  std::vector<uint8_t> data;
  bool Good() const { return succeeded; }
};

struct SimRig {
  platform::VirtualClock clock;
  std::unique_ptr<Machine> machine;
  platform::NullDiagnostics diag;
  std::unique_ptr<device::Transport> transport;

  explicit SimRig(std::string_view scenario = PresetScenarioJson("default"))
      : machine(LoadScenario(scenario, clock)), transport(std::make_unique<device::Transport>(*machine, diag)) {
    transport->SetClock(clock);
  }

  device::Device Dev(size_t disk = 0) { return device::Device(*transport, machine->CurrentPath(disk)); }
  // The bridge itself, after the machine has caught up with the clock (restarts finish).
  Bridge& B(size_t disk = 0) {
    machine->Attached(disk);
    return *machine->BridgeAt(disk);
  }
  std::vector<uint8_t>& Flash(size_t disk = 0) { return machine->BridgeAt(disk)->flash()->data(); }

  // One raw request with sense capture; `out` is the data-out phase (dataIn false).
  Outcome Run(std::vector<uint8_t> cdb, bool dataIn, uint32_t length, std::vector<uint8_t> out = {},
              size_t disk = 0) {
    return RunAt(machine->CurrentPath(disk), std::move(cdb), dataIn, length, std::move(out));
  }
  Outcome RunAt(const std::string& path, std::vector<uint8_t> cdb, bool dataIn, uint32_t length,
                std::vector<uint8_t> out = {}) {
    Outcome o;
    o.data = dataIn ? std::vector<uint8_t>(length, 0xEE) : std::move(out);
    if (!dataIn) o.data.resize(length);
    uint8_t sense[32] = {};
    platform::ScsiRequest r;
    r.cdb = cdb;
    r.dataIn = dataIn;
    r.data = length ? o.data.data() : nullptr;
    r.length = length;
    r.sense = sense;
    r.senseLength = 32;
    const auto res = machine->Execute(path, r);
    o.opened = res.opened;
    o.succeeded = platform::Succeeded(res);
    o.status = res.scsiStatus;
    o.transferred = res.transferred;
    o.key = sense[2];
    o.asc = sense[12];
    o.ascq = sense[13];
    return o;
  }
  // Lets the emulated time run on (as the host's sleeps do).
  void Wait(uint32_t ms) { clock.Sleep(ms); }
};

inline std::vector<uint8_t> Cdb12(std::initializer_list<uint8_t> bytes) {
  std::vector<uint8_t> c(bytes);
  c.resize(12, 0);
  return c;
}

}  // namespace qvfw::sim
