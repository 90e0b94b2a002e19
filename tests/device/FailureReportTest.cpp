// What stands in the way when a machine with bridges lists none, and the reason a failed request
// gives: both from what the OS and the device said, never guessed.
#include <gtest/gtest.h>

#include <cerrno>

#include "device/Discovery.h"
#include "platform/OsError.h"
#include "support/RecordingPassThrough.h"

namespace qvfw::device {
namespace {

// The OS's own error values: errno values, or the window platform's system error codes
// (ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_IO_DEVICE), and what the reasons say of them.
// The window platform has no table of additional sense codes: it gives their numbers.
#if defined(_WIN32)
constexpr int kDenied = 5, kGone = 2, kIoFailure = 1117;
const std::string kDeniedSays = "found no device at /dev/sg4: " + platform::OsErrorText(kDenied);
const std::string kIoFailureSays = "was not completed by the system: " + platform::OsErrorText(kIoFailure) + " (error 1117)";
const std::string kInternalTargetFailure = "ASC 44h, ASCQ 00h", kInvalidCommand = "ASC 20h, ASCQ 00h";
#else
constexpr int kDenied = EACCES, kGone = ENOENT, kIoFailure = EIO;
const std::string kDeniedSays = "found no device at /dev/sg4: Permission denied";
const std::string kIoFailureSays = "was not completed by the system: Input/output error (error 5)";
const std::string kInternalTargetFailure = "Internal target failure", kInvalidCommand = "Invalid command operation code";
#endif

using testing::RecordingPassThrough;
using testing::Reply;

class FakeDisks final : public platform::DiskEnumerator {
 public:
  std::vector<platform::DiskInterface> EnumerateDisks() override {
    return {{"/dev/sg1", platform::Bus::Usb}, {"/dev/sg2", platform::Bus::Usb}, {"/dev/sg3", platform::Bus::Uasp}};
  }
  std::vector<platform::Volume> EnumerateVolumes() override { return {}; }
  std::optional<platform::StorageDeviceNumber> GetStorageDeviceNumber(std::string_view) override { return {}; }
  size_t DisksWithoutPassThrough() const override { return 2; }
};

Reply Refused(int err) {
  Reply r;
  r.result.osError = static_cast<uint32_t>(err);
  return r;
}

TEST(Discovery, AccessReportCountsRefusedAndNodelessDisks) {
  RecordingPassThrough backend;
  backend.SetResponder([](const testing::RecordedRequest& r) {
    if (r.path == "/dev/sg1") return Refused(kDenied);
    if (r.path == "/dev/sg2") return Refused(kGone);  // gone meanwhile: not a permission matter
    std::vector<uint8_t> inquiry(40, 0);
    inquiry[36] = 'q', inquiry[37] = '8', inquiry[38] = '1', inquiry[39] = '2';
    return testing::Good(inquiry);
  });
  platform::NullDiagnostics diag;
  const Transport transport(backend, diag);
  FakeDisks disks;
  AccessReport access;
  const auto admitted = EnumerateBridgeDevices(disks, transport, true, &access);
  ASSERT_EQ(admitted.size(), 1u);
  EXPECT_EQ(admitted[0].disk.path, "/dev/sg3");
  EXPECT_TRUE(admitted[0].answers.inquiryOk);
  EXPECT_FALSE(admitted[0].answers.probeOk.has_value()) << "admitted by INQUIRY: no probe sent";
  EXPECT_EQ(access.permissionDenied, 1u);
  EXPECT_EQ(access.withoutNode, 2u);
  size_t toRefused = 0;
  for (const auto& r : backend.requests) toRefused += r.path == "/dev/sg1" ? 1 : 0;
  EXPECT_EQ(toRefused, 1u) << "a disk that refused the INQUIRY is not probed as well";
}

TEST(CommandFailure, DescribesWhatTheDeviceOrTheSystemSaid) {
  struct Case {
    const char* what;
    Reply reply;
    bool withSense;
    std::string says;
  };
  std::vector<uint8_t> sense(18, 0);
  sense[0] = 0x70, sense[2] = 0x04, sense[7] = 0x0A, sense[12] = 0x44, sense[13] = 0x00;
  const std::vector<uint8_t> descriptorSense = {0x72, 0x05, 0x20, 0x00, 0, 0, 0, 0};
  // What the system backend makes of a completed request the transport failed: the status in
  // the error, and beside it.
  Reply hostError = testing::Good();
  hostError.result.osError = platform::kOsErrorHostStatus | 0x07;
  hostError.result.hostStatus = 0x07;
  Reply hostErrorFolded = testing::Good();
  hostErrorFolded.result.osError = platform::kOsErrorHostStatus | 0x03;
  Reply driverError = testing::Good();
  driverError.result.osError = platform::kOsErrorDriverStatus | 0x06;
  driverError.result.driverStatus = 0x06;
  Reply ioctlFailed = testing::Good();
  ioctlFailed.result.ioctlOk = false;
  ioctlFailed.result.osError = kIoFailure;
  const Case cases[] = {
      {"refused open", Refused(kDenied), false, "READ BUFFER (3C 01 01 00 00 00 00 10 00 00) " + kDeniedSays},
      {"check condition with sense", testing::CheckCondition(sense), true,
       "was refused: status 02h, sense key 4h, ASC 44h, ASCQ 00h (Hardware Error: " + kInternalTargetFailure + ")"},
      {"descriptor-format sense", testing::CheckCondition(descriptorSense), true,
       "was refused: status 02h, sense key 5h, ASC 20h, ASCQ 00h (Illegal Request: " + kInvalidCommand + ")"},
      {"check condition, no sense asked", testing::CheckCondition(sense), false, "was refused: status 02h"},
      {"host status", hostError, false, "was not completed by the system: host status DID_ERROR (error 65543)"},
      {"host status only in the error", hostErrorFolded, false, "not completed by the system: host status DID_TIME_OUT"},
      {"driver status", driverError, false, "was not completed by the system: driver status 06h (error 131078)"},
      {"system call failed", ioctlFailed, false, kIoFailureSays},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingPassThrough backend;
    backend.SetResponder([&](const testing::RecordedRequest&) { return c.reply; });
    platform::NullDiagnostics diag;
    const Transport transport(backend, diag);
    const uint8_t cdb[10] = {0x3C, 0x01, 0x01, 0, 0, 0, 0, 0x10, 0, 0};
    uint8_t data[4096];
    uint8_t s[18] = {};
    const bool ok = c.withSense ? transport.PassThroughInSense("/dev/sg4", cdb, data, sizeof data, nullptr, s, sizeof s)
                                : transport.PassThroughIn("/dev/sg4", cdb, data, sizeof data, nullptr);
    EXPECT_FALSE(ok);
    ASSERT_TRUE(transport.LastFailure().has_value());
    EXPECT_NE(transport.LastFailure()->Describe().find(c.says), std::string::npos) << transport.LastFailure()->Describe();
    transport.ClearFailure();
    EXPECT_FALSE(transport.LastFailure().has_value());
  }
}

}  // namespace
}  // namespace qvfw::device
