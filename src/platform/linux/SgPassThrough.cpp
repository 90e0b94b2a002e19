#include "platform/linux/SgPassThrough.h"

#include "platform/Files.h"
#include "platform/SenseText.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace qvfw::platform::linux_os {
namespace {

std::string OpenFailureText(std::string_view path, int err) {
  std::string text = "scsi: cannot open ";
  text += path;
  text += ": ";
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      text += "no such device";
      break;
    case EACCES:
    case EPERM:
      text += "permission denied (the qvfw udev rule gives the logged-in user access; others need the qvfw group)";
      break;
    case EBUSY:
      text += "device is busy";
      break;
    default:
      text += std::strerror(err);
  }
  return text;
}

constexpr unsigned kDriverSense = 0x08;  // "sense buffer valid": not an error by itself

}  // namespace

int KernelSgIo(int fd, sg_io_hdr_t* hdr) { return ::ioctl(fd, SG_IO, hdr); }

ScsiResult SgPassThrough::Execute(std::string_view path, const ScsiRequest& request) {
  ScsiResult result;
  const std::string node(path);
  UniqueFd fd(::open(node.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd.valid()) {
    const int err = errno;
    diag_.Line(OpenFailureText(path, err));
    result.osError = static_cast<uint32_t>(err);  // why nothing was sent
    return result;
  }
  result.opened = true;
  if (request.dataIn && request.length) std::memset(request.data, 0, request.length);

  uint8_t cdb[16] = {};
  std::copy(request.cdb.begin(), request.cdb.end(), cdb);
  uint8_t sense[kMaxSenseLength] = {};

  sg_io_hdr_t hdr{};
  hdr.interface_id = 'S';
  hdr.dxfer_direction = request.length == 0 ? SG_DXFER_NONE : (request.dataIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV);
  hdr.cmd_len = static_cast<unsigned char>(request.cdb.size());
  hdr.cmdp = cdb;
  hdr.dxfer_len = request.length;
  hdr.dxferp = request.length ? request.data : nullptr;
  hdr.mx_sb_len = sizeof sense;
  hdr.sbp = sense;
  hdr.timeout = request.timeoutSeconds * 1000u;

  if (sgIo_(fd.get(), &hdr) != 0) {
    const int err = errno;
    result.osError = static_cast<uint32_t>(err);
    if (err == EPERM) {
      diag_.Line("scsi: " + node + ": the kernel refused the command (EPERM); vendor commands need the SCSI generic node (/dev/sgN)");
    } else {
      diag_.Line("scsi: " + node + ": SG_IO failed: " + std::strerror(err));
    }
    return result;
  }
  result.ioctlOk = true;
  result.scsiStatus = hdr.status;
  result.hostStatus = static_cast<uint8_t>(hdr.host_status);
  result.driverStatus = static_cast<uint8_t>(hdr.driver_status);
  if (hdr.host_status != 0) {
    result.osError = kOsErrorHostStatus | hdr.host_status;
    diag_.Line("scsi: " + node + ": the transport failed the command (host status " +
               HostStatusName(static_cast<uint8_t>(hdr.host_status)) + ")");
  } else if ((hdr.driver_status & ~kDriverSense) != 0) {
    result.osError = kOsErrorDriverStatus | hdr.driver_status;
    char status[8];
    std::snprintf(status, sizeof status, "0x%02X", hdr.driver_status & 0xFFu);
    diag_.Line("scsi: " + node + ": the driver failed the command (driver status " + status + ")");
  }
  const int resid = std::clamp(hdr.resid, 0, static_cast<int>(request.length));
  result.transferred = request.length - static_cast<uint32_t>(resid);
  if (request.sense != nullptr && request.senseLength > 0) {
    result.senseValid = std::min<uint32_t>(hdr.sb_len_wr, request.senseLength);
    std::memcpy(request.sense, sense, std::min<uint32_t>(request.senseLength, sizeof sense));
  }
  return result;
}

}  // namespace qvfw::platform::linux_os
