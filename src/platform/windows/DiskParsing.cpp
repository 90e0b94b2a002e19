#include "platform/windows/DiskParsing.h"

#include <algorithm>
#include <cstring>

namespace qvfw::platform::windows_os {
namespace {

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

std::optional<uint32_t> AlignmentMaskAt16(std::span<const uint8_t> bytes) {
  // Both structures start with a version or length word and a size word before the mask; a reply
  // that stops short of the mask says nothing about it.
  if (bytes.size() < kAlignmentMaskOffset + 4) return std::nullopt;
  return Get32(bytes.data() + kAlignmentMaskOffset);
}

}  // namespace

std::array<uint8_t, 16> GuidBytes(const Guid& guid) {
  std::array<uint8_t, 16> b{};
  Put32(b.data(), guid.data1);
  b[4] = static_cast<uint8_t>(guid.data2);
  b[5] = static_cast<uint8_t>(guid.data2 >> 8);
  b[6] = static_cast<uint8_t>(guid.data3);
  b[7] = static_cast<uint8_t>(guid.data3 >> 8);
  std::copy(std::begin(guid.data4), std::end(guid.data4), b.begin() + 8);
  return b;
}

std::optional<std::string> ParseInterfaceDetail(std::span<const uint8_t> detail) {
  if (detail.size() <= kInterfaceDetailPathOffset) return std::nullopt;
  const auto begin = detail.begin() + kInterfaceDetailPathOffset;
  const auto end = std::find(begin, detail.end(), uint8_t{0});
  if (end == detail.end() || end == begin) return std::nullopt;
  return std::string(begin, end);
}

std::optional<InterfacePath> ParseInterfacePath(std::string_view path) {
  if (path.size() < 4 || path[0] != '\\' || path[1] != '\\' || (path[2] != '?' && path[2] != '.') ||
      path[3] != '\\')
    return std::nullopt;
  path.remove_prefix(4);
  std::vector<std::string_view> parts;
  while (true) {
    const size_t hash = path.find('#');
    parts.push_back(path.substr(0, hash));
    if (hash == std::string_view::npos) break;
    path.remove_prefix(hash + 1);
  }
  if (parts.size() < 2 || parts[0].empty() || parts[1].empty()) return std::nullopt;
  InterfacePath p;
  p.enumerator = parts[0];
  p.deviceId = parts[1];
  // The instance id may itself hold '#'-free parts only; the class is the last part when it is a
  // braced GUID.
  size_t last = parts.size();
  if (parts.size() >= 3 && parts.back().size() == 38 && parts.back().front() == '{' && parts.back().back() == '}') {
    p.interfaceClass = parts.back();
    --last;
  }
  for (size_t i = 2; i < last; ++i) {
    if (i > 2) p.instanceId += '#';
    p.instanceId += parts[i];
  }
  return p;
}

std::optional<StorageDeviceNumber> ParseStorageDeviceNumber(std::span<const uint8_t> bytes) {
  if (bytes.size() < kStorageDeviceNumberSize) return std::nullopt;
  return StorageDeviceNumber{Get32(bytes.data()), Get32(bytes.data() + 4), Get32(bytes.data() + 8)};
}

std::array<uint8_t, kStoragePropertyQuerySize> StoragePropertyQuery(uint32_t propertyId) {
  std::array<uint8_t, kStoragePropertyQuerySize> q{};
  Put32(q.data(), propertyId);
  Put32(q.data() + 4, 0);  // PropertyStandardQuery; AdditionalParameters stay 0
  return q;
}

std::optional<uint32_t> ParseDeviceDescriptorBusType(std::span<const uint8_t> bytes) {
  if (bytes.size() < kDeviceDescriptorBusType + 4) return std::nullopt;
  const uint32_t size = Get32(bytes.data() + 4);
  if (size < kDeviceDescriptorBusType + 4) return std::nullopt;
  return Get32(bytes.data() + kDeviceDescriptorBusType);
}

std::optional<uint32_t> ParseAdapterAlignmentMask(std::span<const uint8_t> bytes) {
  if (bytes.size() >= 8 && Get32(bytes.data() + 4) < kAlignmentMaskOffset + 4) return std::nullopt;
  return AlignmentMaskAt16(bytes);
}

std::optional<uint32_t> ParseScsiCapabilitiesAlignmentMask(std::span<const uint8_t> bytes) {
  if (bytes.size() >= 4 && Get32(bytes.data()) < kAlignmentMaskOffset + 4) return std::nullopt;
  return AlignmentMaskAt16(bytes);
}

std::optional<std::vector<uint32_t>> ParseVolumeDiskExtents(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) return std::nullopt;
  const uint32_t count = Get32(bytes.data());
  if (count > (bytes.size() - std::min(bytes.size(), kDiskExtentsOffset)) / kDiskExtentSize) return std::nullopt;
  std::vector<uint32_t> disks;
  for (uint32_t i = 0; i < count; ++i) disks.push_back(Get32(bytes.data() + kDiskExtentsOffset + i * kDiskExtentSize));
  return disks;
}

Bus BusOfDisk(std::string_view interfacePath, std::optional<uint32_t> storageBusType) {
  const std::optional<InterfacePath> parsed = ParseInterfacePath(interfacePath);
  const std::string_view enumerator = parsed ? std::string_view(parsed->enumerator) : std::string_view();
  const bool underScsi = EqualsNoCase(enumerator, "scsi");
  if (storageBusType && *storageBusType != kBusTypeUnknown) {
    switch (*storageBusType) {
      case kBusType1394: return Bus::Ieee1394;
      case kBusTypeUsb: return underScsi ? Bus::Uasp : Bus::Usb;
      case kBusTypeScsi:
      case kBusTypeSas: return Bus::Uasp;
      default: return Bus::Other;
    }
  }
  if (EqualsNoCase(enumerator, "usbstor")) return Bus::Usb;
  if (EqualsNoCase(enumerator, "sbp2")) return Bus::Ieee1394;
  if (underScsi) return Bus::Uasp;
  return Bus::Other;
}

std::vector<Volume> VolumesOfDrives(uint32_t logicalDrives, std::string_view windowsDirectory,
                                    const std::function<uint32_t(char letter)>& driveType) {
  const char systemLetter = windowsDirectory.empty() ? '\0' : Upper(windowsDirectory[0]);
  std::vector<Volume> volumes;
  for (int i = 0; i < 26; ++i) {
    if (!(logicalDrives >> i & 1u)) continue;
    const char letter = static_cast<char>('A' + i);
    Volume v;
    v.name = std::string(1, letter);
    v.path = std::string("\\\\.\\") + letter + ':';
    v.mountPoint = std::string(1, letter) + ":\\";
    v.system = letter == systemLetter;
    v.remote = !v.system && driveType(letter) == kDriveRemote;
    volumes.push_back(std::move(v));
  }
  return volumes;
}

char DriveLetterOfVolumePath(std::string_view path) {
  if (path.size() != 6 || path.substr(0, 4) != "\\\\.\\" || path[5] != ':') return 0;
  const char letter = Upper(path[4]);
  return letter >= 'A' && letter <= 'Z' ? letter : 0;
}

std::optional<DeviceEvent> DeviceEventOf(uintptr_t wParam, std::span<const uint8_t> broadcast) {
  if (wParam != kDbtDeviceArrival && wParam != kDbtDeviceRemoveComplete) return std::nullopt;
  if (broadcast.size() < kBroadcastClassGuid + 16) return std::nullopt;
  if (Get32(broadcast.data() + 4) != kDbtDevtypDeviceInterface) return std::nullopt;
  const auto cls = broadcast.subspan(kBroadcastClassGuid, 16);
  bool ours = false;
  for (const Guid& g : {kUsbDeviceInterfaceClass, kDiskInterfaceClass}) {
    const auto bytes = GuidBytes(g);
    ours = ours || std::equal(cls.begin(), cls.end(), bytes.begin());
  }
  if (!ours) return std::nullopt;
  return wParam == kDbtDeviceArrival ? DeviceEvent::Arrival : DeviceEvent::Removal;
}

}  // namespace qvfw::platform::windows_os
