#pragma once
// The disk behind a bridge, or a plain disk of another make: capacity, ATA IDENTIFY and
// READ/WRITE DMA EXT over a sparse sector store. Blocks past the addressable capacity form the
// reserved firmware area: IDENTIFY and READ CAPACITY do not count them, DMA reaches them.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/Target.h"

namespace qvfw::sim {

struct DiskConfig {
  uint64_t sectors = 1953525168;     // a 1 TB disk
  uint32_t logicalSectorSize = 512;  // 512 or 4096
  uint32_t reservedSectors = 2048;   // past the addressable capacity
  std::string model = "QVSIM HDD 1TB";
  DiskTiming timing;
};

// One DMA write the disk carried out: its first block and its number of blocks.
struct DiskWrite {
  uint64_t lba = 0;
  uint32_t count = 0;
};

class AttachedDisk {
 public:
  explicit AttachedDisk(DiskConfig config) : config_(std::move(config)) {}
  const DiskConfig& config() const { return config_; }

  // The standard commands of a disk: TEST UNIT READY, REQUEST SENSE, READ CAPACITY (10 and
  // 16), READ (6, 10 and 16), MODE SENSE(6) of the caching page, ATA PASS-THROUGH IDENTIFY and
  // READ/WRITE DMA EXT: what a host's disk driver and its device manager send at attach. Returns false when the opcode is
  // not one of them (the caller decides what else the device understands).
  bool Handles(std::span<const uint8_t> cdb) const;
  Response Execute(const Command& command, SimTime& time);

  void ReadSectors(uint64_t lba, uint32_t count, uint8_t* out) const;
  void WriteSectors(uint64_t lba, uint32_t count, const uint8_t* in);
  // The sparse store, for saving and loading: written sectors only.
  const std::map<uint64_t, std::vector<uint8_t>>& sectors() const { return store_; }
  std::map<uint64_t, std::vector<uint8_t>>& sectors() { return store_; }
  // Every DMA write the host sent, in order (what a test asserts the host never touched).
  const std::vector<DiskWrite>& writeLog() const { return writeLog_; }

 private:
  Response Identify(const Command& c) const;
  Response Dma(const Command& c, bool write, SimTime& time);
  Response Read(const Command& c) const;
  Response ModeSense6(const Command& c) const;

  DiskConfig config_;
  std::map<uint64_t, std::vector<uint8_t>> store_;
  std::vector<DiskWrite> writeLog_;
};

// A disk of another maker: answers standard commands, rejects the vendor ones.
class PlainDisk final : public Target {
 public:
  PlainDisk(std::string vendor, std::string product, DiskConfig disk)
      : vendor_(std::move(vendor)), product_(std::move(product)), disk_(std::move(disk)) {}
  Response Execute(const Command& command, SimTime& time) override;
  AttachedDisk& disk() { return disk_; }

 private:
  std::string vendor_, product_;
  AttachedDisk disk_;
};

// Standard INQUIRY data (at least 36 bytes, more when asked for): direct-access device,
// the given identification texts padded with spaces, and `chipId` at bytes 36..39 when given.
void FillInquiry(uint8_t* out, uint32_t length, const std::string& vendor, const std::string& product,
                 const std::string& revision, const std::string& chipId);

}  // namespace qvfw::sim
