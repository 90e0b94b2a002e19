#pragma once
// One SCSI target of the emulated machine: what a device does with one CDB and its data phase.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/Timing.h"

namespace qvfw::sim {

// Fixed-format sense data (18 bytes): key at byte 2, additional sense code and qualifier at
// bytes 12 and 13.
using Sense = std::array<uint8_t, 18>;
Sense MakeSense(uint8_t key, uint8_t asc, uint8_t ascq);

inline constexpr uint8_t kGood = 0x00;
inline constexpr uint8_t kCheckCondition = 0x02;

struct Command {
  std::span<const uint8_t> cdb;
  bool dataIn = true;
  uint8_t* data = nullptr;   // data-in: zero-filled before the target sees it
  uint32_t length = 0;
};

struct Response {
  uint8_t status = kGood;
  Sense sense{};
  uint32_t transferred = 0;   // bytes the target moved
  // Where in the flash a data-in reply came from, for the read-back faults; -1 when it did not.
  int64_t flashAddress = -1;
};

Response Good(uint32_t transferred);
Response Check(uint8_t key, uint8_t asc, uint8_t ascq);
inline Response IllegalOpcode() { return Check(0x05, 0x20, 0x00); }
inline Response InvalidField() { return Check(0x05, 0x24, 0x00); }
inline Response InvalidParameter() { return Check(0x05, 0x26, 0x00); }
inline Response SequenceError() { return Check(0x05, 0x2C, 0x00); }
inline Response LbaOutOfRange() { return Check(0x05, 0x21, 0x00); }

// Emulated time of the command in hand, in microseconds, on the timeline of the job that sent it.
// A target that waits internally (a bridge polling its own flash) moves it forward.
struct SimTime {
  uint64_t us = 0;
};

class Target {
 public:
  virtual ~Target() = default;
  virtual Response Execute(const Command& command, SimTime& time) = 0;
  // The target asked to leave the bus and come back (ResetChip, activate microcode).
  virtual bool TakeRestartRequest() { return false; }
  // Power on after a restart: volatile state is lost, what is stored takes effect.
  virtual void PowerOn() {}
};

// Helpers for CDB fields, most significant byte first.
inline uint32_t Be16(std::span<const uint8_t> b, size_t at) { return (uint32_t{b[at]} << 8) | b[at + 1]; }
inline uint32_t Be24(std::span<const uint8_t> b, size_t at) { return (Be16(b, at) << 8) | b[at + 2]; }
inline uint32_t Be32(std::span<const uint8_t> b, size_t at) { return (Be16(b, at) << 16) | Be16(b, at + 2); }
void PutBe(uint8_t* p, uint64_t value, int bytes);

}  // namespace qvfw::sim
