#pragma once
// SCSI pass-through on Linux: SG_IO on a SCSI generic node (/dev/sgN). The block node refuses
// WRITE BUFFER, ATA PASS-THROUGH and vendor opcodes to anyone without CAP_SYS_RAWIO, while an sg
// node opened read-write accepts every command, so discovery hands out sg nodes as paths.

#include "platform/Diagnostics.h"
#include "platform/PassThrough.h"

namespace qvfw::platform::linux_os {

class SgPassThrough final : public PassThrough {
 public:
  explicit SgPassThrough(Diagnostics& diag) : diag_(diag) {}
  ScsiResult Execute(std::string_view path, const ScsiRequest& request) override;

 private:
  Diagnostics& diag_;
};

}  // namespace qvfw::platform::linux_os
