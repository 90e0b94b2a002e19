#include "device/Discovery.h"

#include <array>

#include "device/Commands.h"

namespace qvfw::device {

bool IsBridgeByInquiry(const Device& dev, ProbeAnswers* answers) {
  std::array<uint8_t, 40> reply{};
  const bool ok = Inquiry(dev, reply);
  if (answers) {
    answers->inquiryOk = ok;
    answers->inquiry = reply;
  }
  return ok && reply[36] == 'q' && (reply[37] == '7' || reply[37] == '8');
}

bool ProbeVendorCommands(const Device& dev, std::span<uint8_t> reply) {
  static constexpr std::array<uint8_t, 12> kProbe = {0xDF, 0x10, 0x00, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0xFF};
  return dev.transport().PassThroughIn(dev.path(), kProbe, reply.data(), static_cast<uint32_t>(reply.size()),
                                       nullptr);
}

namespace {
bool PassesBusFilter(platform::Bus bus, bool include1394) {
  switch (bus) {
    case platform::Bus::Usb:
    case platform::Bus::Uasp: return true;
    case platform::Bus::Ieee1394: return include1394;
    case platform::Bus::Other: return false;
  }
  return false;
}
}  // namespace

std::vector<AdmittedDisk> EnumerateBridgeDevices(platform::DiskEnumerator& disks, const Transport& transport,
                                                 bool include1394, AccessReport* access) {
  std::vector<AdmittedDisk> admitted;
  for (const platform::DiskInterface& disk : disks.EnumerateDisks()) {
    if (!PassesBusFilter(disk.bus, include1394)) continue;
    const Device dev(transport, disk.path);
    AdmittedDisk candidate{disk, {}};
    ProbeAnswers& a = candidate.answers;
    bool admit = IsBridgeByInquiry(dev, &a);
    if (!admit && access && transport.LastFailure() && transport.LastFailure()->PermissionDenied()) {
      ++access->permissionDenied;
      continue;  // the vendor probe would meet the same refusal
    }
    if (!admit) {
      a.probeOk = ProbeVendorCommands(dev, a.probe);
      admit = *a.probeOk;
    }
    if (admit) admitted.push_back(std::move(candidate));
  }
  if (access) access->withoutNode = disks.DisksWithoutPassThrough();
  return admitted;
}

std::optional<platform::StorageDeviceNumber> GetStorageDeviceNumber(platform::DiskEnumerator& disks,
                                                                    std::string_view path) {
  return disks.GetStorageDeviceNumber(path);
}

std::optional<std::vector<platform::Volume>> FindDriveLetters(platform::DiskEnumerator& disks,
                                                              std::string_view devicePath) {
  const auto disk = disks.GetStorageDeviceNumber(devicePath);
  if (!disk) return std::nullopt;
  std::vector<platform::Volume> found;
  for (platform::Volume& v : disks.EnumerateVolumes()) {
    if (v.system || v.remote) continue;
    const auto number = disks.GetStorageDeviceNumber(v.path);
    if (number && number->deviceType == disk->deviceType && number->deviceNumber == disk->deviceNumber)
      found.push_back(std::move(v));
  }
  return found;
}

std::string DriveLettersText(const std::vector<platform::Volume>& volumes) {
  std::string text;
  for (const platform::Volume& v : volumes) {
    if (v.name.size() == 1) {
      text += v.name;
      continue;
    }
    if (!text.empty()) text += ' ';
    text += v.name;
    if (!v.mountPoint.empty()) text += " (" + v.mountPoint + ")";
  }
  return text;
}

}  // namespace qvfw::device
