#pragma once
// A serial NOR flash as it behaves on its SPI pins: frames (chip select low ... high) of opcode,
// address and data. Programming only clears bits, erasing sets whole units to 0xFF, and nothing
// changes without the write-enable latch, while the array is protected, or while the part is
// still busy with the previous operation. Busy times come from the timing model and are judged
// against the time the caller passes, so status polling sees the flash busy.

#include <array>
#include <utility>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/Timing.h"

namespace qvfw::sim {

struct EraseOp {
  uint8_t opcode = 0;
  uint32_t unit = 0;  // bytes; 0 erases the whole chip
  // Sectors of different sizes (boot-sector parts): where each begins, ascending; the last one
  // ends at the end of the part. Empty: every sector is `unit` bytes.
  std::vector<uint32_t> starts = {};
};

// What distinguishes one flash part from another.
struct FlashPart {
  std::string name;
  uint8_t vendorCode = 0;                    // the bridge's vendor code for this maker
  std::vector<uint8_t> jedec;                // reply to 0x9F; empty: the part ignores 0x9F
  std::vector<uint8_t> rems;                 // 0x90: after three address bytes, repeated
  std::vector<uint8_t> res;                  // 0xAB: after three dummy bytes, repeated
  std::vector<uint8_t> id15;                 // 0x15: from the first byte, repeated
  uint32_t sizeBytes = 0x10000;
  uint32_t pageSize = 256;
  bool pageProgram = true;                   // understands 0x02
  bool aaiByte = false;                      // understands 0xAF (one byte per frame)
  bool aaiWord = false;                      // understands 0xAD (two bytes per frame)
  // What opens a status register write: the write-enable latch (06) on every part, and on SST
  // parts also 0x50 (enable write status), good for the one write that follows it.
  bool ewsr = false;
  // Block protection: the status register's protection bits (2..3, or 2..4 with three) hold a
  // number P; from `protectAllFrom` on the whole array is protected, below it the top
  // size >> (protectAllFrom - P) bytes. A program or erase that touches a protected byte does
  // nothing but clear the latch; a whole-chip erase needs no protection at all.
  uint8_t protectBits = 3;
  uint8_t protectAllFrom = 4;
  std::vector<EraseOp> erases;
  // Opcodes the bridge firmware uses with this part until the host sets others.
  uint8_t chipEraseOp = 0xC7, blockEraseOp = 0xD8, programOp = 0x02, sectorEraseOp = 0x20;
  FlashTiming timing;
};

// A preset part of the given maker (the vendor's name as the bridge tables write it, e.g.
// "WINBOND", "SST") in the given size, or by part name ("W25X40"). Throws std::invalid_argument
// for an unknown maker, part or a size the maker's line does not come in.
FlashPart FlashPreset(std::string_view vendorOrPart, uint32_t sizeKiB = 0);
// Every preset name, for listings and tests.
std::vector<std::string> FlashPresetNames();

class SpiFlash {
 public:
  explicit SpiFlash(FlashPart part);

  const FlashPart& part() const { return part_; }
  std::vector<uint8_t>& data() { return data_; }
  const std::vector<uint8_t>& data() const { return data_; }
  uint32_t size() const { return static_cast<uint32_t>(data_.size()); }

  // The status register at time `nowUs`: bit 0 busy, bit 1 write-enable latch, bits 2..4
  // block protection, bit 6 auto-address-increment mode, bit 7 status-register write disable.
  // A busy part hears nothing but the status read (05): programs, erases, write enables and reads
  // sent meanwhile are lost, and a read then gets 0xFF.
  uint8_t Status(uint64_t nowUs) const;
  bool Busy(uint64_t nowUs) const;
  uint64_t BusyUntilUs() const { return busyUntilUs_; }
  // A frame: `out` are the bytes the master shifts in, then `in.size()` more bytes are clocked
  // with the master sending zeros; `in` receives what the part drives meanwhile (0xFF where it
  // drives nothing).
  void Frame(std::span<const uint8_t> out, std::span<uint8_t> in, uint64_t nowUs);

  // Fault: the part never finishes an operation (busy forever once it starts one, or from now
  // on when `now` is set).
  void SetStuckBusy(bool stuck) { stuckBusy_ = stuck; }
  bool StuckBusy() const { return stuckBusy_; }
  // Power cycle: volatile state is lost, the array and the protection bits stay.
  void PowerCycle();
  void SetStatusBits(uint8_t protectionAndSrwd) { status_ = protectionAndSrwd & WritableStatus(); }
  // The first protected address: size() when nothing is protected, 0 when everything is.
  uint32_t ProtectedFrom() const;

 private:
  uint8_t WritableStatus() const { return static_cast<uint8_t>((part_.protectBits == 2 ? 0x0C : 0x1C) | 0x80); }
  bool Protected(uint32_t first, uint32_t count) const;
  void StartBusy(uint64_t nowUs, uint64_t durationUs);
  void Program(uint32_t address, std::span<const uint8_t> bytes, bool wrapInPage);
  // The range [first, first + count) an erase of `e` at `address` clears.
  std::pair<uint32_t, uint32_t> EraseRange(const EraseOp& e, uint32_t address) const;
  uint8_t IdByte(uint8_t opcode, size_t position) const;

  FlashPart part_;
  std::vector<uint8_t> data_;
  uint8_t status_ = 0;          // protection and SRWD bits kept here
  bool wel_ = false;
  bool ewsr_ = false;           // status write enabled by 0x50
  uint8_t aaiOpcode_ = 0;       // 0xAF / 0xAD while an auto-increment sequence runs
  uint32_t aaiAddress_ = 0;
  uint64_t busyUntilUs_ = 0;
  bool busyShowsWel_ = false;
  bool stuckBusy_ = false;
};

}  // namespace qvfw::sim
