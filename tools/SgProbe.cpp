// qvfw_sg_probe: what an sg node and the transport behind it do with the Linux backend's requests,
// for end-to-end runs in a guest (scripts/e2e-kernel). Prints one line each:
//   round trip of a command without data (TEST UNIT READY), with 64 bytes in (INQUIRY) and with
//   4 KiB in (READ(10) of 8 blocks of 512 bytes), as the mean of N requests in microseconds;
//   the sense a refused command brings back (status, sense length, key/code/qualifier);
//   the residual of an INQUIRY that asks for more than the device has.
// With --timeout instead of N: one command (F7 54 4F …) that the device is made to hold for longer
// than its time-out of 1 s (6 s), and how long the request took and how it ended. Run it last: the
// transport resets the device to abort the command.
//
// usage: qvfw_sg_probe /dev/sgN [N | --timeout]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/linux/SgPassThrough.h"

using namespace qvfw::platform;

namespace {

struct Probe {
  ScsiResult result;
  uint8_t sense[kMaxSenseLength] = {};
};

Probe Run(PassThrough& pt, const std::string& node, std::vector<uint8_t> cdb, std::vector<uint8_t>& data,
          uint32_t timeoutSeconds = 10) {
  Probe p;
  ScsiRequest r;
  r.timeoutSeconds = timeoutSeconds;
  r.cdb = cdb;
  r.dataIn = true;
  r.data = data.empty() ? nullptr : data.data();
  r.length = static_cast<uint32_t>(data.size());
  r.sense = p.sense;
  r.senseLength = kMaxSenseLength;
  p.result = pt.Execute(node, r);
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: qvfw_sg_probe /dev/sgN [N]\n");
    return 2;
  }
  const std::string node = argv[1];
  StderrDiagnostics diag;
  linux_os::SgPassThrough sg(diag);
  if (argc > 2 && std::string(argv[2]) == "--timeout") {
    std::vector<uint8_t> none;
    const auto start = std::chrono::steady_clock::now();
    const Probe p = Run(sg, node, {0xF7, 0x54, 0x4F, 0, 0, 0, 0, 0, 0, 0, 0, 0}, none, 1);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("time-out of 1 s on a command held 6 s: %s after %lld ms, host status 0x%02X, driver status 0x%02X\n",
                Succeeded(p.result) ? "completed" : "failed", static_cast<long long>(ms.count()), p.result.hostStatus,
                p.result.driverStatus);
    // Ended by the time-out: not answered, not at once (a time-out taken as milliseconds), and
    // well before the device's answer (a time-out taken as more than 6 s, or none); the transport's
    // abort and reset of the device come on top of the second.
    const bool timedOut = !Succeeded(p.result) && p.result.scsiStatus == 0;
    return timedOut && ms.count() >= 900 && ms.count() < 5500 ? 0 : 1;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 200;
  int failures = 0;

  struct Row {
    const char* name;
    std::vector<uint8_t> cdb;
    uint32_t length;
  };
  const Row rows[] = {
      {"0 B", {0x00, 0, 0, 0, 0, 0}, 0},
      {"64 B", {0x12, 0, 0, 0, 64, 0}, 64},
      {"4 KiB", {0x28, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 4096},
  };
  for (const Row& row : rows) {
    std::vector<uint8_t> data(row.length);
    const auto start = std::chrono::steady_clock::now();
    bool ok = true;
    for (int i = 0; i < rounds && ok; ++i) ok = Succeeded(Run(sg, node, row.cdb, data).result);
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    if (!ok) ++failures;
    std::printf("round trip %s: %s, %.0f us per request (%d requests)\n", row.name, ok ? "ok" : "FAILED",
                static_cast<double>(us.count()) / rounds, rounds);
  }

  // A vendor command the device refuses: its sense comes back through the transport.
  std::vector<uint8_t> none;
  const Probe refused = Run(sg, node, {0xFF, 0x04, 0x99, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, none);
  std::printf("refused 16-byte vendor command: status 0x%02X, sense %u bytes, %02X/%02X/%02X\n",
              refused.result.scsiStatus, refused.result.senseValid, refused.sense[2] & 0x0F, refused.sense[12],
              refused.sense[13]);
  if (refused.result.scsiStatus != 0x02 || refused.result.senseValid < 14 || (refused.sense[2] & 0x0F) != 0x05)
    ++failures;

  // More asked than the device has: the residual says what came.
  std::vector<uint8_t> big(252);
  const Probe inquiry = Run(sg, node, {0x12, 0, 0, 0, 252, 0}, big);
  std::printf("INQUIRY of 252 bytes: %s, %u bytes moved\n", Succeeded(inquiry.result) ? "ok" : "FAILED",
              inquiry.result.transferred);
  if (!Succeeded(inquiry.result) || inquiry.result.transferred >= 252) ++failures;
  return failures == 0 ? 0 : 1;
}
