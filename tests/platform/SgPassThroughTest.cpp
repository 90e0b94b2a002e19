// The Linux backend without hardware: what it does with paths that are not SCSI devices.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/linux/SgPassThrough.h"

namespace qvfw::platform::linux_os {
namespace {

TEST(SgPassThrough, MissingNodeIsNotOpenedAndSaysWhy) {
  CapturingDiagnostics diag;
  SgPassThrough sg(diag);
  uint8_t data[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  const uint8_t cdb[12] = {0x12};
  ScsiRequest r;
  r.cdb = cdb;
  r.data = data;
  r.length = 8;
  const ScsiResult res = sg.Execute("/dev/sg-does-not-exist", r);
  EXPECT_FALSE(res.opened);
  EXPECT_FALSE(Succeeded(res));
  EXPECT_EQ(res.osError, static_cast<uint32_t>(ENOENT)) << "the trace names the reason";
  EXPECT_EQ(data[0], 0xEE);
  ASSERT_EQ(diag.lines.size(), 1u);
  EXPECT_EQ(diag.lines[0], "scsi: cannot open /dev/sg-does-not-exist: no such device");
}

TEST(SgPassThrough, NodeThatIsNoScsiDeviceFailsWithoutCrashing) {
  char name[] = "/tmp/qvfw-sg-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  close(fd);
  CapturingDiagnostics diag;
  SgPassThrough sg(diag);
  uint8_t data[4] = {1, 2, 3, 4};
  const uint8_t cdb[10] = {0x3C};
  ScsiRequest r;
  r.cdb = cdb;
  r.data = data;
  r.length = 4;
  const ScsiResult res = sg.Execute(name, r);
  std::remove(name);
  EXPECT_TRUE(res.opened);
  EXPECT_FALSE(res.ioctlOk);
  EXPECT_NE(res.osError, 0u);
  EXPECT_FALSE(Succeeded(res));
  ASSERT_EQ(diag.lines.size(), 1u);
  EXPECT_NE(diag.lines[0].find("SG_IO failed"), std::string::npos) << diag.lines[0];
}

}  // namespace
}  // namespace qvfw::platform::linux_os
