#pragma once
// SCSI pass-through on Linux: SG_IO on a SCSI generic node (/dev/sgN). The block node refuses
// WRITE BUFFER, ATA PASS-THROUGH and vendor opcodes to anyone without CAP_SYS_RAWIO, while an sg
// node opened read-write accepts every command, so discovery hands out sg nodes as paths.

#include "platform/Diagnostics.h"
#include "platform/PassThrough.h"

#include <scsi/sg.h>

namespace qvfw::platform::linux_os {

// The one call into the sg driver: ioctl(fd, SG_IO, hdr). Returns 0 or -1 with errno set. Tests
// put a function of their own here to see the request as the driver would and to hand back what
// a driver writes into the header.
using SgIoCall = int (*)(int fd, sg_io_hdr_t* hdr);
int KernelSgIo(int fd, sg_io_hdr_t* hdr);

class SgPassThrough final : public PassThrough {
 public:
  explicit SgPassThrough(Diagnostics& diag, SgIoCall sgIo = KernelSgIo) : diag_(diag), sgIo_(sgIo) {}
  ScsiResult Execute(std::string_view path, const ScsiRequest& request) override;

 private:
  Diagnostics& diag_;
  SgIoCall sgIo_;
};

}  // namespace qvfw::platform::linux_os
