#include "sim/Machine.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace qvfw::sim {

using platform::Bus;

const char* BusToken(Bus bus) {
  switch (bus) {
    case Bus::Usb: return "usbstor";
    case Bus::Uasp: return "scsi";
    case Bus::Ieee1394: return "sbp2";
    default: return "ata";
  }
}

namespace {
TimingModel DefaultTiming(Bus bus) {
  switch (bus) {
    case Bus::Uasp: return TimingModel::Uasp();
    case Bus::Ieee1394: return TimingModel::Ieee1394();
    default: return TimingModel::UsbBulkOnly();
  }
}
constexpr uint32_t kFileDeviceDisk = 7;
// What a Linux host reports for a request its adapter lost (DID_ERROR as the SG_IO backend
// encodes a host status).
constexpr uint32_t kHostAdapterError = 0x10000 | 0x07;

// Device paths name the same device whatever their case, as on the window platform, so a host
// that lower-cases the paths it keeps still reaches the device.
bool SamePath(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}
}  // namespace

struct Machine::Slot {
  std::string name;
  Bus bus = Bus::Usb;
  std::unique_ptr<Target> target;
  Bridge* bridge = nullptr;
  bool attached = true;
  uint32_t generation = 1;
  uint32_t number = 0;
  uint32_t controller = 0;
  std::optional<uint64_t> reattachAtUs;
  std::vector<platform::Volume> volumes;
  TimingModel timing;
  uint64_t commands = 0;
  std::vector<Fault> faults;
  std::vector<uint32_t> used;

  std::optional<uint32_t> node;  // with numbered paths: the node number it holds while attached

  std::string Path() const {
    if (node) return std::string("sim:") + BusToken(bus) + ":sg" + std::to_string(*node);
    return std::string("sim:") + BusToken(bus) + ":" + name + ":" + std::to_string(generation);
  }
};

void Machine::NumberPaths() {
  numberedPaths_ = true;
  for (auto& s : slots_) s->node.reset();
  for (auto& s : slots_)
    if (s->attached) s->node = FreeNode();
}

uint32_t Machine::FreeNode() const {
  for (uint32_t n = 0;; ++n) {
    const bool taken = std::any_of(slots_.begin(), slots_.end(), [&](const auto& s) { return s->node == n; });
    if (!taken) return n;
  }
}

Machine::Machine(platform::Clock& clock) : clock_(clock) {}
Machine::~Machine() = default;

size_t Machine::AddBridge(std::string name, Bus bus, BridgeConfig config, std::unique_ptr<SpiFlash> flash) {
  if (FindDisk(name)) throw std::invalid_argument("two disks named \"" + name + "\"");
  auto s = std::make_unique<Slot>();
  s->name = std::move(name);
  s->bus = bus;
  auto bridge = std::make_unique<Bridge>(std::move(config), std::move(flash));
  s->bridge = bridge.get();
  s->target = std::move(bridge);
  s->number = static_cast<uint32_t>(slots_.size() + 1);
  s->timing = DefaultTiming(bus);
  if (numberedPaths_) s->node = FreeNode();
  slots_.push_back(std::move(s));
  return slots_.size() - 1;
}

size_t Machine::AddPlainDisk(std::string name, Bus bus, std::string vendor, std::string product, DiskConfig disk) {
  if (FindDisk(name)) throw std::invalid_argument("two disks named \"" + name + "\"");
  auto s = std::make_unique<Slot>();
  s->name = std::move(name);
  s->bus = bus;
  s->target = std::make_unique<PlainDisk>(std::move(vendor), std::move(product), std::move(disk));
  s->number = static_cast<uint32_t>(slots_.size() + 1);
  s->timing = DefaultTiming(bus);
  if (numberedPaths_) s->node = FreeNode();
  slots_.push_back(std::move(s));
  return slots_.size() - 1;
}

void Machine::SetVolumes(size_t disk, std::vector<platform::Volume> volumes) { slots_.at(disk)->volumes = std::move(volumes); }
void Machine::SetTiming(size_t disk, TimingModel timing) { slots_.at(disk)->timing = timing; }

void Machine::SetController(size_t disk, uint32_t controller) {
  Slot& s = *slots_.at(disk);
  if (s.bus != Bus::Usb) throw std::invalid_argument(s.name + ": only a USB disk hangs on a USB host controller");
  if (controller > kMaxUsbController)
    throw std::invalid_argument(s.name + ": controller " + std::to_string(controller) + " is none of 0.." +
                                std::to_string(kMaxUsbController));
  s.controller = controller;
}

void Machine::AddFault(size_t disk, Fault fault) {
  Slot& s = *slots_.at(disk);
  if (fault.kind == Fault::Kind::NeverReady) {
    if (s.bridge && s.bridge->flash()) s.bridge->flash()->SetStuckBusy(true);
    return;
  }
  s.faults.push_back(std::move(fault));
  s.used.push_back(0);
}

void Machine::ClearFaults(size_t disk) {
  Slot& s = *slots_.at(disk);
  s.faults.clear();
  s.used.clear();
  if (s.bridge && s.bridge->flash()) s.bridge->flash()->SetStuckBusy(false);
}

size_t Machine::DiskCount() const { return slots_.size(); }

std::optional<size_t> Machine::FindDisk(std::string_view name) const {
  for (size_t i = 0; i < slots_.size(); ++i)
    if (slots_[i]->name == name) return i;
  return std::nullopt;
}

const std::string& Machine::DiskName(size_t disk) const { return slots_.at(disk)->name; }
Bus Machine::DiskBus(size_t disk) const { return slots_.at(disk)->bus; }
uint32_t Machine::DiskController(size_t disk) const { return slots_.at(disk)->controller; }
Bridge* Machine::BridgeAt(size_t disk) { return slots_.at(disk)->bridge; }
Target& Machine::TargetAt(size_t disk) { return *slots_.at(disk)->target; }
uint64_t Machine::CommandCount(size_t disk) const { return slots_.at(disk)->commands; }

bool Machine::Attached(size_t disk) {
  Settle();
  return slots_.at(disk)->attached;
}

std::string Machine::CurrentPath(size_t disk) {
  Settle();
  const Slot& s = *slots_.at(disk);
  return s.attached ? s.Path() : std::string();
}

// Time is the caller's: each parallel job of the clock has a timeline of its own, and the jobs
// take turns in the order of their times, so whatever the machine changes at one job's time is
// never in the past of a job that runs later.
void Machine::ReachUs(uint64_t us) {
  const uint64_t now = clock_.NowUs();
  if (us > now) clock_.SleepUs(us - now);
}

Machine::LinkKey Machine::LinkOf(const Slot& s) const {
  switch (s.bus) {
    case Bus::Usb: return {Bus::Usb, s.controller};
    case Bus::Ieee1394: return {Bus::Ieee1394, 0};
    default: return {s.bus, s.number};  // a port of its own
  }
}

// A data phase of `bytes` that is ready to go at `readyUs` on the caller's timeline; returns when
// it has crossed. The caller's timeline is first brought up to `readyUs`, which lets every job
// whose time is earlier take its turn (and queue its own transfers) first; the link then carries
// transfers one after the other in that order. A transfer occupies the link for its bytes at its
// own disk's rate.
uint64_t Machine::DataPhase(const Slot& s, uint64_t readyUs, uint64_t bytes) {
  if (bytes == 0) return readyUs;
  ReachUs(readyUs);
  uint64_t& freeAtUs = linkFreeAtUs_[LinkOf(s)];
  const uint64_t start = std::max(readyUs, freeAtUs);
  freeAtUs = start + bytes * 1'000'000 / std::max<uint64_t>(1, s.timing.link.bytesPerSecond);
  return freeAtUs;
}

void Machine::Settle() {
  const uint64_t now = clock_.NowUs();
  // In the order they come back: with numbered paths the first takes the lowest free node.
  std::vector<Slot*> back;
  for (auto& s : slots_)
    if (!s->attached && s->reattachAtUs && *s->reattachAtUs <= now) back.push_back(s.get());
  std::stable_sort(back.begin(), back.end(), [](const Slot* a, const Slot* b) { return *a->reattachAtUs < *b->reattachAtUs; });
  for (Slot* s : back) {
    s->attached = true;
    ++s->generation;
    if (numberedPaths_) s->node = FreeNode();
    s->target->PowerOn();
    events_.push_back({*s->reattachAtUs, platform::DeviceEvent::Arrival});
    s->reattachAtUs.reset();
  }
}

void Machine::Detach(Slot& s, std::optional<uint64_t> reattachAtUs) {
  if (s.attached) events_.push_back({clock_.NowUs(), platform::DeviceEvent::Removal});
  s.attached = false;
  s.node.reset();  // free for the next disk that arrives
  s.reattachAtUs = reattachAtUs;
}

void Machine::Unplug(size_t disk) {
  Settle();
  Detach(*slots_.at(disk), std::nullopt);
}

void Machine::Plug(size_t disk) {
  Settle();
  Slot& s = *slots_.at(disk);
  if (s.attached) return;
  s.reattachAtUs = clock_.NowUs();
  Settle();
}

Machine::Slot* Machine::SlotByPath(std::string_view path) {
  for (auto& s : slots_)
    if (s->attached && SamePath(s->Path(), path)) return s.get();
  return nullptr;
}

// A command costs its disk's protocol round trip, then its data-out phase on the link, then the
// target's own work (bridge, flash, disk), then its data-in phase on the link. It starts at the
// caller's time and ends when the caller's timeline has slept through all of that.
platform::ScsiResult Machine::Execute(std::string_view path, const platform::ScsiRequest& request) {
  Settle();
  uint64_t t = clock_.NowUs();
  platform::ScsiResult result;
  Slot* s = SlotByPath(path);
  if (s == nullptr) return result;  // nothing answers at this path
  result.opened = true;
  if (request.cdb.size() < 6 || request.cdb.size() > 16 || (request.length != 0 && request.data == nullptr)) {
    result.osError = 22;  // the OS refuses a request it cannot form (EINVAL)
    return result;
  }
  const uint64_t index = s->commands++;

  // Which faults apply to this command.
  auto applies = [&](size_t i) {
    const Fault& f = s->faults[i];
    if (f.atCommand) return *f.atCommand == index;
    if (f.times != 0 && s->used[i] >= f.times) return false;
    return request.cdb.size() >= f.cdbPrefix.size() &&
           std::equal(f.cdbPrefix.begin(), f.cdbPrefix.end(), request.cdb.begin());
  };
  std::vector<size_t> active;
  for (size_t i = 0; i < s->faults.size(); ++i)
    if (applies(i)) active.push_back(i);
  for (size_t i : active) {
    if (s->faults[i].kind != Fault::Kind::Unplug) continue;
    ++s->used[i];
    Detach(*s, std::nullopt);
    return platform::ScsiResult{};  // gone before it could be opened
  }

  result.ioctlOk = true;
  if (request.dataIn && request.data != nullptr) std::memset(request.data, 0, request.length);
  t += s->timing.link.commandOverheadUs;

  Response r;
  bool injected = false;
  for (size_t i : active) {
    const Fault& f = s->faults[i];
    if (f.kind == Fault::Kind::Stall) {
      ++s->used[i];
      t += uint64_t{f.stallMs} * 1000;
    } else if (!injected && (f.kind == Fault::Kind::FailCommand || f.kind == Fault::Kind::BecomingReady)) {
      ++s->used[i];
      r = f.kind == Fault::Kind::BecomingReady ? Check(0x02, 0x04, 0x01) : Check(f.sense[0], f.sense[1], f.sense[2]);
      injected = true;
    }
  }
  if (!request.dataIn) t = DataPhase(*s, t, request.length);
  if (!injected) {
    Command c{request.cdb, request.dataIn, request.data, request.length};
    SimTime worked{t};
    r = s->target->Execute(c, worked);
    t = std::max(t, worked.us);
    for (size_t i : active) {
      const Fault& f = s->faults[i];
      if (f.kind == Fault::Kind::ShortTransfer && request.dataIn && r.transferred > f.bytes) {
        ++s->used[i];
        std::memset(request.data + f.bytes, 0, request.length - f.bytes);
        r.transferred = f.bytes;
      } else if (f.kind == Fault::Kind::FlipReply && request.dataIn && r.status == kGood && f.address < r.transferred) {
        ++s->used[i];
        request.data[f.address] ^= f.mask;
      } else if (f.kind == Fault::Kind::FlipBits && request.dataIn && r.flashAddress >= 0 && r.status == kGood) {
        const uint64_t from = static_cast<uint64_t>(r.flashAddress);
        if (f.address >= from && f.address < from + r.transferred) {
          ++s->used[i];
          request.data[f.address - from] ^= f.mask;
        }
      }
    }
  }
  result.scsiStatus = r.status;
  result.transferred = r.status == kGood ? r.transferred : 0;
  for (size_t i : active) {
    if (s->faults[i].kind != Fault::Kind::TransportError) continue;
    ++s->used[i];
    result.osError = kHostAdapterError;
    result.transferred = 0;
  }
  if (request.sense != nullptr && r.status != kGood) {
    const uint32_t n = std::min<uint32_t>(request.senseLength, static_cast<uint32_t>(r.sense.size()));
    std::memcpy(request.sense, r.sense.data(), n);
    result.senseValid = n;
  }
  if (request.dataIn) t = DataPhase(*s, t, result.transferred);
  ReachUs(t);
  if (s->target->TakeRestartRequest()) Detach(*s, clock_.NowUs() + uint64_t{s->timing.restartDelayMs} * 1000);
  return result;
}

std::vector<platform::DiskInterface> Machine::EnumerateDisks() {
  Settle();
  std::vector<platform::DiskInterface> out;
  for (const auto& s : slots_)
    if (s->attached) out.push_back({s->Path(), s->bus});
  return out;
}

std::vector<platform::Volume> Machine::EnumerateVolumes() {
  Settle();
  std::vector<platform::Volume> out;
  for (const auto& s : slots_)
    if (s->attached) out.insert(out.end(), s->volumes.begin(), s->volumes.end());
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return out;
}

std::optional<platform::StorageDeviceNumber> Machine::GetStorageDeviceNumber(std::string_view path) {
  Settle();
  for (const auto& s : slots_) {
    if (!s->attached) continue;
    if (SamePath(s->Path(), path)) return platform::StorageDeviceNumber{kFileDeviceDisk, s->number, 0};
    for (size_t v = 0; v < s->volumes.size(); ++v)
      if (SamePath(s->volumes[v].path, path))
        return platform::StorageDeviceNumber{kFileDeviceDisk, s->number, static_cast<uint32_t>(v + 1)};
  }
  return std::nullopt;
}

// Hands out the events whose time has come on the caller's timeline, in the order of their times;
// later ones stay for a later call.
std::vector<platform::DeviceEvent> Machine::Drain() {
  Settle();
  const uint64_t now = clock_.NowUs();
  std::stable_sort(events_.begin(), events_.end(), [](const Event& a, const Event& b) { return a.atUs < b.atUs; });
  const auto due = std::find_if(events_.begin(), events_.end(), [&](const Event& e) { return e.atUs > now; });
  std::vector<platform::DeviceEvent> out;
  for (auto e = events_.begin(); e != due; ++e) out.push_back(e->event);
  events_.erase(events_.begin(), due);
  return out;
}

}  // namespace qvfw::sim
