#pragma once
// A Qavion bridge controller as seen from the host: the vendor command families (FF 04, DF,
// B2..B6, E0/FE), INQUIRY with the chip id and vital product data, the power-condition mode
// page, the identity write, READ/WRITE BUFFER with microcode download, reset with re-attach,
// and the disk behind it. Each chip family answers the way that family identifies itself.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/Disk.h"
#include "sim/Flash.h"
#include "sim/Target.h"

namespace qvfw::sim {

// Everything that makes one bridge. FamilyConfig() fills it for a chip type and revision; a
// scenario may then override any field.
struct BridgeConfig {
  uint8_t chipType = 15;
  uint8_t revision = 0;

  // INQUIRY
  std::string vendorText = "Qavion";
  std::string productText;
  std::string revisionText = "0100";
  std::string inquiryChipId;          // bytes 36..39 ("q812"), empty where the family has none

  std::string modelText;              // FF 04 30 reply (8 characters); empty: not answered
  bool answersChipInfo = true;        // E0 F4 E7
  bool answersChipInfoAlt = true;     // FE F4 E7
  bool chipInfoSignature = true;      // block starts F4 E7 (false: families that predate it)
  uint32_t chipInfoLength = 16;       // bytes the block has (some families return 12)
  std::array<uint8_t, 16> chipInfo{}; // bytes 6..15 used as given; 0..5 are filled in
  // Buffer family: chip information bytes 8..10 and 12..15 come from the running image's
  // header bytes 21..23 and 25..28, so a programmed update shows after the restart.
  bool versionFromImage = false;
  uint8_t probeByte0 = 0x00;          // first byte of the DF ... FF probe reply
  std::vector<uint8_t> parameters;    // FF 04 A0 block (32 bytes)
  int reportedVendor = -1;            // FF 04 23 byte 0; -1: the flash part's maker code
  std::map<uint16_t, std::vector<uint8_t>> memory;  // initial internal memory contents
  std::map<uint16_t, uint8_t> memoryForceSet;       // bits that always read back as 1

  // READ/WRITE BUFFER (buffer family)
  bool bufferCommands = false;
  uint32_t bufferCapacity = 0x40000;
  bool bootCheck = false;               // boot the flash image only when its checks hold
  // Storage line (13, 14, 27): the bridge boots the first 64 KiB bank (0, then 0x10000 where the
  // family keeps two and the flash holds them) whose signature block and image checksum hold.
  // Without one it runs its boot ROM, which still answers the flash commands but reports no
  // firmware version (chip information bytes 12..15 read 0).
  bool bankBoot = false;
  bool loader = false;                  // B2..B6 RAM-buffer loader
  bool hasFlash = true;
  // The QVS882 takes flash writes and erases only after the host announced them (FF 04 25)
  // since its last power-on.
  bool needsPrepareFlashWrite = false;

  // Identity
  uint16_t vid = 0x284D, pid = 0x0812;
  std::string serial = "QV0000000001";
  bool standby = true;
  uint32_t standbyTimer = 3000;         // 100 ms units

  DiskConfig disk;
  std::vector<uint8_t> reservedArea;    // bytes of the first reserved block past the capacity
};

// The defaults of a chip type 1..35 at a revision.
BridgeConfig FamilyConfig(uint8_t chipType, uint8_t revision = 0);
// The model key of a chip type ("812" for 15), empty for 0 and codes above 35.
std::string ModelKey(uint8_t chipType);

// The boot state of a bridge of the buffer family.
enum class BridgeMode { Firmware, Rom, RamLoaded };

class Bridge final : public Target {
 public:
  // `flash` may be null for a bridge without serial flash (disk-resident firmware).
  Bridge(BridgeConfig config, std::unique_ptr<SpiFlash> flash);

  Response Execute(const Command& command, SimTime& time) override;
  bool TakeRestartRequest() override;
  void PowerOn() override;

  const BridgeConfig& config() const { return config_; }
  BridgeConfig& config() { return config_; }
  SpiFlash* flash() { return flash_.get(); }
  AttachedDisk& disk() { return disk_; }
  BridgeMode mode() const { return mode_; }
  std::vector<uint8_t>& memory() { return memory_; }
  // The identity the bridge will have after its next power-on (what a save must keep).
  uint16_t NextVid() const { return pendingIds_ ? pendingIds_->first : config_.vid; }
  uint16_t NextPid() const { return pendingIds_ ? pendingIds_->second : config_.pid; }
  std::string NextSerial() const { return pendingSerial_ ? *pendingSerial_ : config_.serial; }
  // The version characters the running firmware reports (chip information bytes 12..15).
  std::array<uint8_t, 4> RunningVersion() const { return runningVersion_; }
  // The storage-line bank the bridge booted at its last power-on; nothing: its boot ROM runs
  // (or the family does not boot by banks).
  std::optional<uint32_t> BootedBank() const { return bootedBank_; }

 private:
  Response Inquiry(const Command& c);
  Response Ff04(const Command& c, SimTime& t);
  Response Df(const Command& c, SimTime& t);
  Response Loader(const Command& c, SimTime& t);
  Response ChipInfo(const Command& c);
  Response ReadBuffer(const Command& c, SimTime& t);
  Response WriteBuffer(const Command& c, SimTime& t);
  Response ModeSense(const Command& c);
  Response ModeSelect(const Command& c);
  Response SetIdentity(const Command& c);

  // The bridge firmware's own use of the flash, each as real SPI frames. WaitFlash polls the
  // status until the flash is ready (false when it never is); the others start at once, and
  // `Finish::Wait` makes them wait for the flash to finish before the command ends.
  enum class Finish { Return, Wait };
  bool WaitFlash(SimTime& t);
  void FlashFrame(std::initializer_list<uint8_t> out, SimTime& t);
  void FlashFrame(const std::vector<uint8_t>& out, std::span<uint8_t> in, SimTime& t);
  void FlashRead(uint32_t address, uint8_t* out, uint32_t n, SimTime& t);
  bool FlashProgram(uint32_t address, const uint8_t* in, uint32_t n, SimTime& t, Finish finish);
  bool FlashErase(uint8_t opcode, uint32_t address, SimTime& t, Finish finish);
  bool FlashUnprotect(SimTime& t);  // ends with the flash ready
  // Writes with erase of the sectors whose old contents stand in the way; waits throughout.
  bool FlashUpdate(uint32_t address, const uint8_t* in, uint32_t n, SimTime& t);
  void FlushSpi(SimTime& t);
  std::optional<uint32_t> ValidBank() const;
  std::optional<uint32_t> BootableStorageBank() const;
  uint32_t Capacity() const;  // of the download buffer: never more than the flash holds

  BridgeConfig config_;
  std::unique_ptr<SpiFlash> flash_;
  AttachedDisk disk_;
  std::vector<uint8_t> memory_;
  BridgeMode mode_ = BridgeMode::Firmware;
  std::array<uint8_t, 4> runningVersion_{};
  std::array<uint8_t, 4> runningModel_{};
  std::optional<uint32_t> bootedBank_;
  uint8_t ce_ = 0xC7, be_ = 0xD8, pp_ = 0x02, se_ = 0x20;
  uint8_t sectorOp_ = 0xD8;  // what FF 04 14 sends
  int vendor_ = 0;
  std::optional<std::vector<uint8_t>> spiPending_;
  std::vector<uint8_t> ramImage_;
  // The flash address the loader's RAM buffer was last filled from; nothing after a host write.
  std::optional<uint32_t> ramFrom_;
  bool restart_ = false;
  bool prepared_ = false;  // FF 04 25 seen since power-on
  // Identity written by the host; takes effect at the next power-on.
  std::optional<std::pair<uint16_t, uint16_t>> pendingIds_;
  std::optional<std::string> pendingSerial_;
};

}  // namespace qvfw::sim
