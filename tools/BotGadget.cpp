// qvfw_bot_gadget: one emulated bridge as a real USB mass-storage device, for end-to-end runs in a
// Linux guest. A configfs USB gadget with one FunctionFS function, bound to a UDC (dummy_udc.0 in
// the guest), is served here with the bulk-only transport: read a CBW, move the data, answer with
// a CSW, and keep the sense of a failed command for the host's automatic REQUEST SENSE. Every CDB
// is handed whole to the emulated machine (sim::Machine, persistent in --sim DIR), whose flash runs
// on its timing model in real time (a steady clock).
//
// The gadget's device descriptor carries the bridge's USB ids and serial. When the bridge leaves
// the bus (a restart), the gadget is unbound from the UDC at once, and bound again once the bridge
// is back, with the ids it has then: the host sees a real disconnect and a new enumeration.
//
// --pull-at PREFIX:N ends the program when the N-th command whose CDB starts with PREFIX (hex)
// arrives, before it runs: the machine is saved as a pulled device keeps it (the flash holds what
// was written), and the closed FunctionFS takes the device off the bus.
//
// usage: qvfw_bot_gadget --sim DIR --ffs MOUNT --gadget CONFIGFS_DIR --udc NAME [--disk NAME]
//                        [--pull-at PREFIX:N] [--log FILE]

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <endian.h>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "sim/Bridge.h"
#include "sim/Machine.h"
#include "sim/Scenario.h"

namespace {

using qvfw::platform::UniqueFd;

FILE* g_log = stderr;

void Log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::vfprintf(g_log, fmt, args);
  va_end(args);
  std::fputc('\n', g_log);
  std::fflush(g_log);
}

bool WriteAll(int fd, const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Reads exactly `length` bytes of a data-out phase; a bulk-out read ends at each short packet.
bool ReadAll(int fd, uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::read(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream f(path);
  f << text;
  f.flush();
  return static_cast<bool>(f);
}

// ---- descriptors --------------------------------------------------------------------------------

struct __attribute__((packed)) Interface {
  usb_interface_descriptor intf;
  usb_endpoint_descriptor_no_audio in;
  usb_endpoint_descriptor_no_audio out;
};

struct __attribute__((packed)) Descriptors {
  usb_functionfs_descs_head_v2 header;
  __le32 fsCount;
  __le32 hsCount;
  Interface fs;
  Interface hs;
};

Interface MassStorageInterface(uint16_t maxPacket) {
  Interface d{};
  d.intf.bLength = USB_DT_INTERFACE_SIZE;
  d.intf.bDescriptorType = USB_DT_INTERFACE;
  d.intf.bInterfaceNumber = 0;
  d.intf.bNumEndpoints = 2;
  d.intf.bInterfaceClass = USB_CLASS_MASS_STORAGE;
  d.intf.bInterfaceSubClass = 0x06;  // SCSI transparent command set
  d.intf.bInterfaceProtocol = 0x50;  // bulk-only transport
  d.intf.iInterface = 1;
  for (auto* ep : {&d.in, &d.out}) {
    ep->bLength = USB_DT_ENDPOINT_SIZE;
    ep->bDescriptorType = USB_DT_ENDPOINT;
    ep->bmAttributes = USB_ENDPOINT_XFER_BULK;
    ep->wMaxPacketSize = htole16(maxPacket);
  }
  d.in.bEndpointAddress = 1 | USB_DIR_IN;   // ep1
  d.out.bEndpointAddress = 2 | USB_DIR_OUT;  // ep2
  return d;
}

struct __attribute__((packed)) Strings {
  usb_functionfs_strings_head header;
  __le16 language;
  char interfaceName[sizeof "Mass Storage"];
};

bool WriteDescriptors(int ep0) {
  Descriptors d{};
  d.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  d.header.length = htole32(sizeof d);
  d.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  d.fsCount = htole32(3);
  d.hsCount = htole32(3);
  d.fs = MassStorageInterface(64);
  d.hs = MassStorageInterface(512);
  Strings s{};
  s.header.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
  s.header.length = htole32(sizeof s);
  s.header.str_count = htole32(1);
  s.header.lang_count = htole32(1);
  s.language = htole16(0x0409);
  std::memcpy(s.interfaceName, "Mass Storage", sizeof s.interfaceName);
  return WriteAll(ep0, &d, sizeof d) && WriteAll(ep0, &s, sizeof s);
}

// ep0: the control requests of the mass-storage class. GET MAX LUN answers 0 (one unit); a
// bulk-only reset needs nothing here (the bulk loop restarts at the next CBW).
void ServeEp0(int ep0, std::atomic<bool>* stop) {
  while (!*stop) {
    usb_functionfs_event events[4];
    const ssize_t n = ::read(ep0, events, sizeof events);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (size_t i = 0; i < static_cast<size_t>(n) / sizeof events[0]; ++i) {
      const usb_functionfs_event& e = events[i];
      if (e.type != FUNCTIONFS_SETUP) continue;
      const usb_ctrlrequest& r = e.u.setup;
      if ((r.bRequestType & USB_DIR_IN) != 0) {
        if ((r.bRequestType & USB_TYPE_MASK) == USB_TYPE_CLASS && r.bRequest == 0xFE) {
          const uint8_t maxLun = 0;
          if (::write(ep0, &maxLun, 1) < 0) Log("ep0: GET MAX LUN reply failed: %s", std::strerror(errno));
        } else {
          (void)!::read(ep0, nullptr, 0);  // stall what is not ours
        }
      } else {
        if ((r.bRequestType & USB_TYPE_MASK) == USB_TYPE_CLASS && r.bRequest == 0xFF) {
          Log("ep0: bulk-only reset");
          (void)!::read(ep0, nullptr, 0);  // status stage: acknowledged
        } else {
          (void)!::write(ep0, nullptr, 0);  // stall
        }
      }
    }
  }
}

// ---- the gadget on the bus ----------------------------------------------------------------------

struct Gadget {
  std::string dir, udc;

  void SetIdentity(const qvfw::sim::BridgeConfig& c) const {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04x", c.vid);
    WriteFile(dir + "/idVendor", hex);
    std::snprintf(hex, sizeof hex, "0x%04x", c.pid);
    WriteFile(dir + "/idProduct", hex);
    WriteFile(dir + "/strings/0x409/serialnumber", c.serial);
    WriteFile(dir + "/strings/0x409/manufacturer", c.vendorText);
    WriteFile(dir + "/strings/0x409/product", c.productText.empty() ? "USB bridge" : c.productText);
  }
  bool Bind() const { return WriteFile(dir + "/UDC", udc); }
  bool Unbind() const { return WriteFile(dir + "/UDC", "\n"); }
};

// ---- bulk-only transport ------------------------------------------------------------------------

constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"

struct __attribute__((packed)) Cbw {
  __le32 signature, tag, dataLength;
  uint8_t flags, lun, cdbLength;
  uint8_t cdb[16];
};
struct __attribute__((packed)) Csw {
  __le32 signature, tag, residue;
  uint8_t status;  // 0 passed, 1 failed, 2 phase error
};
static_assert(sizeof(Cbw) == 31 && sizeof(Csw) == 13);

std::vector<uint8_t> ParseHex(const std::string& text) {
  std::vector<uint8_t> out;
  std::string digits;
  for (char c : text)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

}  // namespace

int main(int argc, char** argv) {
  std::string simDir, ffs, diskName;
  Gadget gadget;
  std::vector<uint8_t> pullPrefix;
  long pullCount = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--sim") simDir = value;
    else if (key == "--ffs") ffs = value;
    else if (key == "--gadget") gadget.dir = value;
    else if (key == "--udc") gadget.udc = value;
    else if (key == "--disk") diskName = value;
    else if (key == "--log") {
      if (FILE* f = std::fopen(value.c_str(), "a")) g_log = f;
    }
    else if (key == "--pull-at") {
      const auto colon = value.rfind(':');
      pullPrefix = ParseHex(value.substr(0, colon));
      pullCount = colon == std::string::npos ? 1 : std::stol(value.substr(colon + 1));
    } else {
      std::fprintf(stderr, "unknown option %s\n", key.c_str());
      return 2;
    }
  }
  if (simDir.empty() || ffs.empty() || gadget.dir.empty() || gadget.udc.empty()) {
    std::fprintf(stderr,
                 "usage: qvfw_bot_gadget --sim DIR --ffs MOUNT --gadget CONFIGFS_DIR --udc NAME [--disk NAME] "
                 "[--pull-at PREFIX:N] [--log FILE]\n");
    return 2;
  }
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  qvfw::platform::SteadyClock clock;
  std::unique_ptr<qvfw::sim::PersistentMachine> persistent;
  try {
    persistent = qvfw::sim::PersistentMachine::Open(simDir, clock);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cannot open the machine in %s: %s\n", simDir.c_str(), e.what());
    return 1;
  }
  qvfw::sim::Machine& machine = persistent->machine();
  size_t disk = 0;
  if (!diskName.empty()) {
    const auto found = machine.FindDisk(diskName);
    if (!found) {
      std::fprintf(stderr, "no disk %s in the machine\n", diskName.c_str());
      return 1;
    }
    disk = *found;
  }
  qvfw::sim::Bridge* bridge = machine.BridgeAt(disk);
  if (bridge == nullptr) {
    std::fprintf(stderr, "disk %zu is no bridge\n", disk);
    return 1;
  }

  UniqueFd ep0(::open((ffs + "/ep0").c_str(), O_RDWR | O_CLOEXEC));
  if (!ep0.valid() || !WriteDescriptors(ep0.get())) {
    std::fprintf(stderr, "cannot set up FunctionFS in %s: %s\n", ffs.c_str(), std::strerror(errno));
    return 1;
  }
  UniqueFd epIn(::open((ffs + "/ep1").c_str(), O_RDWR | O_CLOEXEC));
  UniqueFd epOut(::open((ffs + "/ep2").c_str(), O_RDWR | O_CLOEXEC));
  if (!epIn.valid() || !epOut.valid()) {
    std::fprintf(stderr, "cannot open the bulk endpoints: %s\n", std::strerror(errno));
    return 1;
  }
  std::atomic<bool> stopEp0{false};
  std::thread ep0Thread(ServeEp0, ep0.get(), &stopEp0);
  ep0Thread.detach();  // it ends with the process; ep0 stays open until then

  machine.Attached(disk);
  gadget.SetIdentity(bridge->config());
  if (!gadget.Bind()) {
    std::fprintf(stderr, "cannot bind the gadget to %s\n", gadget.udc.c_str());
    return 1;
  }
  Log("gadget: bound, %04x:%04x serial %s", bridge->config().vid, bridge->config().pid, bridge->config().serial.c_str());

  std::vector<uint8_t> data;
  std::array<uint8_t, 18> keptSense{};
  bool senseKept = false;
  long pullSeen = 0;
  uint64_t commands = 0;
  while (!g_stop) {
    Cbw cbw{};
    uint8_t packet[512];
    const ssize_t n = ::read(epOut.get(), packet, sizeof packet);
    if (n < 0) {
      if (errno == EINTR) continue;
      // The endpoint is not enabled (the host is resetting or the gadget is unbound): wait.
      usleep(5000);
      continue;
    }
    if (n != sizeof cbw) {
      Log("bot: %zd bytes where a CBW was due; ignored", n);
      continue;
    }
    std::memcpy(&cbw, packet, sizeof cbw);
    if (le32toh(cbw.signature) != kCbwSignature || cbw.cdbLength == 0 || cbw.cdbLength > 16) {
      Log("bot: not a valid CBW; ignored");
      continue;
    }
    const uint32_t length = le32toh(cbw.dataLength);
    const bool dataIn = (cbw.flags & 0x80) != 0;
    const std::span<const uint8_t> cdb(cbw.cdb, cbw.cdbLength);
    ++commands;

    if (!pullPrefix.empty() && cdb.size() >= pullPrefix.size() &&
        std::equal(pullPrefix.begin(), pullPrefix.end(), cdb.begin()) && ++pullSeen == pullCount) {
      Log("bot: pulled at command %llu (%02X ...)", static_cast<unsigned long long>(commands), cdb[0]);
      persistent->Save();
      std::_Exit(0);  // as a pulled cable: no status, no more answers
    }

    data.assign(length, 0);
    if (!dataIn && length > 0 && !ReadAll(epOut.get(), data.data(), length)) {
      Log("bot: data-out phase broke off");
      continue;
    }

    Csw csw{};
    csw.signature = htole32(kCswSignature);
    csw.tag = cbw.tag;
    uint32_t moved = 0;
    if (cdb[0] == 0x03 && senseKept) {
      // The host's automatic REQUEST SENSE after a failed command: what that command left.
      moved = std::min<uint32_t>(length, keptSense.size());
      std::memcpy(data.data(), keptSense.data(), moved);
      senseKept = false;
    } else {
      uint8_t sense[qvfw::platform::kMaxSenseLength] = {};
      qvfw::platform::ScsiRequest request;
      request.cdb = cdb;
      request.dataIn = dataIn;
      request.data = length ? data.data() : nullptr;
      request.length = length;
      request.timeoutSeconds = 60;
      request.sense = sense;
      request.senseLength = sizeof sense;
      const std::string path = machine.CurrentPath(disk);
      const qvfw::platform::ScsiResult result = machine.Execute(path, request);
      senseKept = false;
      if (!result.opened) {
        csw.status = 1;
      } else if (result.scsiStatus != 0) {
        csw.status = 1;
        std::memcpy(keptSense.data(), sense, keptSense.size());
        senseKept = true;
      }
      moved = result.opened ? std::min(result.transferred, length) : 0;
      if (result.hostStatus != 0) csw.status = 1;  // a transport error injected by a fault
    }
    csw.residue = htole32(length - moved);
    // The data phase always runs to the length the host asked for (padded with zeros); the
    // residue tells what was real.
    if (dataIn && length > 0 && !WriteAll(epIn.get(), data.data(), length)) {
      Log("bot: data-in phase broke off");
      continue;
    }
    if (!WriteAll(epIn.get(), &csw, sizeof csw)) {
      Log("bot: status phase broke off");
      continue;
    }

    if (!machine.Attached(disk)) {
      // The bridge restarts: off the bus now, back with the identity it has after the restart.
      persistent->Save();
      gadget.Unbind();
      Log("gadget: unbound (restart)");
      while (!machine.Attached(disk) && !g_stop) clock.Sleep(10);
      gadget.SetIdentity(bridge->config());
      if (!gadget.Bind()) Log("gadget: cannot bind again");
      Log("gadget: bound again, %04x:%04x serial %s", bridge->config().vid, bridge->config().pid,
          bridge->config().serial.c_str());
    }
  }
  persistent->Save();
  gadget.Unbind();
  stopEp0 = true;
  return 0;
}
