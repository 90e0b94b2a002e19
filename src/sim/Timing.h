#pragma once
// How long things take on real hardware. The emulator charges these costs to the shared clock, so
// a run against the emulated machine reports the wall time the same work would need on a bench.

#include <cstdint>

namespace qvfw::sim {

// Costs of the link between host and bridge, in microseconds and bytes per second.
struct LinkTiming {
  uint32_t commandOverheadUs = 0;   // one CDB round trip: command, status, driver turnaround
  uint64_t bytesPerSecond = 1;      // sustained payload rate of the data phase
};

// Costs of the serial NOR flash. Figures are datasheet typicals of common 25-series parts
// (4 KiB sector erase 40..60 ms, 64 KiB block erase 150..250 ms, a 256-byte page 0.7..1.5 ms,
// a whole small chip 1..4 s); the presets of each part may override them.
struct FlashTiming {
  uint32_t pageProgramUs = 800;        // one page (or a shorter piece of one page)
  uint32_t byteProgramUs = 10;         // one byte or word of the auto-address-increment modes
  uint32_t sectorEraseUs = 50'000;     // the smallest erase unit
  uint32_t blockEraseUs = 200'000;     // 32 or 64 KiB block
  uint32_t chipEraseUs = 2'000'000;    // whole chip (parts scale it with their size)
  uint32_t statusWriteUs = 5'000;      // write status register
};

// Costs of the disk behind a bridge, for its DMA reads and writes: a 7200 rpm disk positions its
// heads in about 8.5 ms on average and waits half a turn (4.2 ms) for the block; its media moves
// about 150 MB/s. Every DMA command pays one positioning: a read-back of blocks just written waits
// for the platter to come round again.
struct DiskTiming {
  uint32_t accessUs = 12'700;
  uint64_t mediaBytesPerSecond = 150'000'000;
};

struct TimingModel {
  LinkTiming link;
  uint32_t restartDelayMs = 1500;      // ResetChip until the bridge has re-enumerated

  // USB 2.0 high speed, bulk-only transport: a CBW/data/CSW round trip costs about three
  // microframes plus driver turnaround (~0.5 ms); sustained bulk payload of a good bridge is
  // about 35 MB/s of the 53 MB/s the bus could carry.
  static TimingModel UsbBulkOnly() { return TimingModel{{500, 35'000'000}, 1500}; }
  // UASP on USB 3.x SuperSpeed (5 Gbit/s): commands are queued on their own pipes, about
  // 125 us per command; sustained payload about 400 MB/s after 8b/10b coding and protocol costs.
  static TimingModel Uasp() { return TimingModel{{125, 400'000'000}, 1500}; }
  // IEEE 1394a (400 Mbit/s) with SBP-2: ORB fetch and status write about 0.4 ms; about 35 MB/s.
  static TimingModel Ieee1394() { return TimingModel{{400, 35'000'000}, 2000}; }
};

}  // namespace qvfw::sim
