#pragma once
// The emulated machine: disks (bridges and plain disks) on USB, UASP and IEEE 1394, their paths,
// device numbers and volumes, arrival and removal, fault injection and the timing model. It is
// the platform for the host code: pass-through, disk enumeration and the device monitor.

#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Disks.h"
#include "platform/PassThrough.h"
#include "sim/Bridge.h"
#include "sim/Disk.h"
#include "sim/Timing.h"

namespace qvfw::sim {

// One injected fault. A fault with `atCommand` applies to that command of its disk only (the
// disk's commands are counted from 0 in arrival order); otherwise it applies to commands whose
// CDB begins with `cdbPrefix` (every command when empty), `times` times (0: without end).
struct Fault {
  enum class Kind {
    FailCommand,     // CHECK CONDITION with `sense`
    Unplug,          // the disk leaves the bus at this command; the command finds no device
    FlipBits,        // read-back of flash byte `address` comes back XORed with `mask`
    // Byte `address` of the command's data-in reply (any command's) comes back XORed with `mask`:
    // one bit of an identification answer, a status or a flash read turned over on the way.
    FlipReply,
    NeverReady,      // the flash stays busy for ever (applied when the fault is added)
    ShortTransfer,   // a data-in reply delivers only `bytes` bytes (the rest stays zero)
    BecomingReady,   // CHECK CONDITION 02/04/01 "becoming ready"
    Stall,           // the command takes `stallMs` longer
    // The bridge carries the command out, but its completion reaches the host as a transport
    // error (the host adapter's DID_ERROR), as when a bridge drops off the bus right after a
    // restart command's status.
    TransportError,
  };
  Kind kind = Kind::FailCommand;
  std::optional<uint64_t> atCommand;
  std::vector<uint8_t> cdbPrefix;
  uint32_t times = 1;
  std::array<uint8_t, 3> sense{0x04, 0x44, 0x00};
  uint32_t address = 0;
  uint8_t mask = 0x01;
  uint32_t bytes = 0;
  uint32_t stallMs = 0;
};

class Machine final : public platform::PassThrough, public platform::DiskEnumerator, public platform::DeviceMonitor {
 public:
  explicit Machine(platform::Clock& clock);
  ~Machine() override;

  // Adding disks; the machine owns them. `name` identifies the disk in paths, scenarios and
  // saved state. Returns the disk's index.
  size_t AddBridge(std::string name, platform::Bus bus, BridgeConfig config, std::unique_ptr<SpiFlash> flash);
  size_t AddPlainDisk(std::string name, platform::Bus bus, std::string vendor, std::string product, DiskConfig disk);
  void SetVolumes(size_t disk, std::vector<platform::Volume> volumes);
  void SetTiming(size_t disk, TimingModel timing);
  // The USB host controller a USB disk hangs on (0..kMaxUsbController; all on 0 unless told
  // otherwise): the disks of one controller share its bus. Throws std::invalid_argument for a
  // number out of range or a disk that is not on USB.
  static constexpr uint32_t kMaxUsbController = 15;
  void SetController(size_t disk, uint32_t controller);
  // Paths like a host's pass-through nodes: "sim:<bus>:sg<N>", where N is the lowest number no
  // attached disk holds when the disk arrives. A disk that restarts may come back under another's
  // former path. Without it, a path names the disk and counts its arrivals.
  void NumberPaths();
  void AddFault(size_t disk, Fault fault);
  void ClearFaults(size_t disk);

  size_t DiskCount() const;
  std::optional<size_t> FindDisk(std::string_view name) const;
  const std::string& DiskName(size_t disk) const;
  platform::Bus DiskBus(size_t disk) const;
  uint32_t DiskController(size_t disk) const;
  Bridge* BridgeAt(size_t disk);            // null for a plain disk
  Target& TargetAt(size_t disk);
  bool Attached(size_t disk);
  std::string CurrentPath(size_t disk);     // the path while attached, empty otherwise
  uint64_t CommandCount(size_t disk) const;
  // Takes a disk off the bus (as a user pulling the cable) or puts it back (a fresh power-on).
  void Unplug(size_t disk);
  void Plug(size_t disk);

  // platform::PassThrough
  platform::ScsiResult Execute(std::string_view path, const platform::ScsiRequest& request) override;
  // platform::DiskEnumerator
  std::vector<platform::DiskInterface> EnumerateDisks() override;
  std::vector<platform::Volume> EnumerateVolumes() override;
  std::optional<platform::StorageDeviceNumber> GetStorageDeviceNumber(std::string_view path) override;
  // platform::DeviceMonitor
  std::vector<platform::DeviceEvent> Drain() override;

  platform::Clock& clock() { return clock_; }
  // Emulated time in microseconds: what the same commands would have taken on hardware. This is
  // the calling timeline's time (each parallel job of the clock has its own).
  uint64_t ElapsedUs() const { return clock_.NowUs(); }

 private:
  struct Slot;
  uint32_t FreeNode() const;
  bool numberedPaths_ = false;
  // The bus a disk's data phases travel on: one per USB host controller, one for all IEEE 1394
  // disks, one of its own for each UASP (or other) disk.
  struct LinkKey {
    platform::Bus bus;
    uint32_t number;
    auto operator<=>(const LinkKey&) const = default;
  };
  void Settle();
  void Detach(Slot& s, std::optional<uint64_t> reattachAtUs);
  Slot* SlotByPath(std::string_view path);
  LinkKey LinkOf(const Slot& s) const;
  void ReachUs(uint64_t us);
  uint64_t DataPhase(const Slot& s, uint64_t readyUs, uint64_t bytes);

  platform::Clock& clock_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::map<LinkKey, uint64_t> linkFreeAtUs_;  // when each link has carried what was queued on it
  struct Event {
    uint64_t atUs;
    platform::DeviceEvent event;
  };
  std::vector<Event> events_;
};

const char* BusToken(platform::Bus bus);

}  // namespace qvfw::sim
