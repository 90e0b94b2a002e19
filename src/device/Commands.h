#pragma once
// The bridge's command set: one function per command, each building its CDB and running exactly
// one request through the transport. Every function returns true when the transport reports
// success; the reply's content is the caller's to judge. Buffers are spans: their size is the
// length of the data phase.

#include <cstdint>
#include <span>

#include "device/FlashDescriptor.h"
#include "device/Transport.h"

namespace qvfw::device {

using Bytes = std::span<uint8_t>;
using ConstBytes = std::span<const uint8_t>;

// Chip information and standard commands.
bool Inquiry(const Device& dev, Bytes out);
bool ReadChipInfo(const Device& dev, Bytes out, uint32_t* transferred = nullptr);
bool ReadChipInfoAlt(const Device& dev, Bytes out, uint32_t* transferred = nullptr);
bool ReadChipModel(const Device& dev, Bytes out);  // out.size() >= 8, else a programming error
bool ReadCapacity16(const Device& dev, Bytes out);
bool AtaIdentify(const Device& dev, Bytes out);    // 512 bytes
bool AtaReadDmaExt(const Device& dev, uint64_t lba, Bytes out, uint32_t sectorSize);
bool AtaWriteDmaExt(const Device& dev, uint64_t lba, ConstBytes in, uint32_t sectorSize);

// Serial flash through the bridge (FF 04 family).
bool ReadFlash(const Device& dev, uint32_t address, Bytes out);
bool WriteFlash(const Device& dev, uint32_t address, ConstBytes in);
bool ReadFlashStatus(const Device& dev, uint8_t& status);
bool EraseFlashChip(const Device& dev);
bool EraseFlashSector(const Device& dev, uint32_t address);
bool ReadFlashId3(const Device& dev, uint8_t opcode, bool flag, Bytes out);  // 3 bytes
bool ReadFlashId4(const Device& dev, uint8_t opcode, bool flag, Bytes out);  // 4 bytes
bool SetFlashOpcodes(const Device& dev, const FlashDescriptor& flash, uint32_t parameter);
bool SetFlashOpcodesWide(const Device& dev, const FlashDescriptor& flash, uint16_t parameter);
// `sequence` holds S0.. (at most 9 bytes): count of SPI bytes, data-phase flag, opcode, operands.
bool SpiCommand(const Device& dev, ConstBytes sequence, ConstBytes data = {});
// `lengthField` goes into the CDB; the probes that read 4 bytes with a field of 0 use it.
bool SpiReadData(const Device& dev, Bytes out, uint16_t lengthField);
bool SpiReadData(const Device& dev, Bytes out);
bool SpiWriteData(const Device& dev, ConstBytes in);
bool ReadFlashVendorCode(const Device& dev, Bytes out);  // 4 bytes; byte 0 is the code
bool PrepareFlashWrite(const Device& dev);
bool ResetChip(const Device& dev);
bool ReadBridgeParameters(const Device& dev, Bytes out);

// Flash and internal memory with explicit lengths (DF family).
bool ReadFlashLong(const Device& dev, uint32_t address, Bytes out);
// Only bits 7 and 0..2 of `eraseMode` are sent; an empty `in` only erases.
bool WriteFlashLong(const Device& dev, uint8_t eraseMode, uint32_t address, ConstBytes in);
bool WriteFlashShort(const Device& dev, bool erase, uint32_t address, ConstBytes in);
bool PrepareFlashRetry(const Device& dev);
bool ReadMemory(const Device& dev, uint16_t address, Bytes out);
bool WriteMemory(const Device& dev, uint16_t address, ConstBytes in);

// RAM-buffer loader (B2..B6).
bool WriteRamBuffer(const Device& dev, uint8_t buffer, uint8_t select, ConstBytes in);
bool ProgramFlashFromRam(const Device& dev, uint8_t v, uint32_t flashAddress, uint16_t length, uint16_t ramAddress);
bool EraseFlashRam(const Device& dev, uint8_t v, uint32_t flashAddress, int mode);
bool ReadRamBuffer(const Device& dev, uint8_t buffer, uint8_t select, Bytes out);
bool ReadFlashToRam(const Device& dev, uint8_t v, uint32_t flashAddress, uint16_t length, uint16_t ramAddress);

// The one-click path: vital product data, the power-condition mode page and the identity write.
bool InquiryVpd(const Device& dev, uint8_t page, Bytes out, uint32_t* transferred = nullptr);  // 6-byte CDB; out.size() is the length
bool ModeSensePowerCondition(const Device& dev, Bytes out);   // 48 bytes
// Standby timer in minutes; 0 disables standby.
bool ModeSelectPowerCondition(const Device& dev, uint32_t minutes);
bool SetBridgeIdentity(const Device& dev, uint16_t vid, uint16_t pid, ConstBytes record);  // 72 bytes

// Small results built on the commands; each is 0 when its command fails.
uint8_t ReadBridgeParameterByte8(const Device& dev, uint8_t length);
uint8_t ReadBridgeParameterByte19(const Device& dev, uint8_t length);
bool ReservedAreaFlag(const Device& dev);
bool CheckMemoryFlag505E(const Device& dev);
bool CheckMemoryFDB0(const Device& dev);
bool IsChipInfoMode0200(const Device& dev);
bool SupportsReadBuffer(const Device& dev);
uint64_t GetLastLba(const Device& dev);
uint64_t GetDiskSectorCount(const Device& dev);
uint32_t GetLogicalSectorSize(const Device& dev);

}  // namespace qvfw::device
