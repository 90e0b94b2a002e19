#pragma once
// A machine of emulated disks built in code, the virtual clock and the host's transport over it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device/Transport.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "sim/Bridge.h"
#include "sim/Flash.h"
#include "sim/Machine.h"

namespace qvfw::testing {

// Building an emulated machine in code: bridges named b<N>, plain disks d<N>, faults.
inline size_t AddBridgeTo(sim::Machine& machine, sim::BridgeConfig config, sim::FlashPart part,
                          platform::Bus bus = platform::Bus::Usb) {
  const std::string name = "b" + std::to_string(machine.DiskCount());
  return machine.AddBridge(name, bus, std::move(config), std::make_unique<sim::SpiFlash>(std::move(part)));
}
inline size_t AddPlainDiskTo(sim::Machine& machine, platform::Bus bus = platform::Bus::Usb) {
  const std::string name = "d" + std::to_string(machine.DiskCount());
  return machine.AddPlainDisk(name, bus, "WDC", "Elements 25A2", sim::DiskConfig{});
}
// Fails every command whose CDB starts with `prefix`.
inline void FailAlwaysOn(sim::Machine& machine, size_t disk, std::vector<uint8_t> prefix) {
  sim::Fault f;
  f.kind = sim::Fault::Kind::FailCommand;
  f.cdbPrefix = std::move(prefix);
  f.times = 0;
  machine.AddFault(disk, f);
}

// The QV40776 without flash over a disk of `sectors` blocks of `sectorSize` bytes; `reserved` and
// `flag` are the parameter block's bytes 16 and 17; `marker` the number at bytes 151..154 of the
// first block past the capacity (nothing: that block is left blank).
inline sim::BridgeConfig Qv40776WithoutFlash(uint64_t sectors, uint32_t sectorSize, bool reserved, bool flag,
                                             std::optional<uint32_t> marker) {
  sim::BridgeConfig c = sim::FamilyConfig(30, 1);
  c.hasFlash = false;
  c.disk.sectors = sectors;
  c.disk.logicalSectorSize = sectorSize;
  c.parameters[16] = reserved ? 1 : 0;
  c.parameters[17] = flag ? 1 : 0;
  if (marker) {
    c.reservedArea.assign(512, 0);
    for (int i = 0; i < 4; ++i) c.reservedArea[151 + i] = static_cast<uint8_t>(*marker >> (24 - 8 * i));
  }
  return c;
}

struct EmulatedRig {
  platform::VirtualClock clock;
  sim::Machine machine{clock};
  platform::NullDiagnostics diag;
  device::Transport transport{machine, diag};

  EmulatedRig() { transport.SetClock(clock); }

  size_t AddBridge(sim::BridgeConfig config, sim::FlashPart part = sim::FlashPreset("WINBOND", 512),
                   platform::Bus bus = platform::Bus::Usb) {
    return AddBridgeTo(machine, std::move(config), std::move(part), bus);
  }
  size_t AddPlainDisk(platform::Bus bus = platform::Bus::Usb) { return AddPlainDiskTo(machine, bus); }
  void FailAlways(size_t disk, std::vector<uint8_t> prefix) { FailAlwaysOn(machine, disk, std::move(prefix)); }
  device::Device Dev(size_t disk = 0) { return device::Device(transport, machine.CurrentPath(disk)); }
  sim::SpiFlash& Flash(size_t disk = 0) { return *machine.BridgeAt(disk)->flash(); }
};

}  // namespace qvfw::testing
