#pragma once
// The short sequences every flash procedure needs: status waits, write protection, which serial
// flash is attached (and its opcodes), and programming through raw SPI sequences. All pauses and
// waits sleep on the transport's clock.

#include <cstdint>
#include <span>

#include "device/FlashDescriptor.h"
#include "device/Transport.h"

namespace qvfw::device {

inline constexpr int kFlashReadyRereads = 500;
inline constexpr int kFlashStatusRereads = 300;
inline constexpr uint32_t kFlashPollMs = 10;

// Status bits: 0 busy, 1 write-enable latch, 2 block protection.
bool WaitFlashReady(const Device& dev);
bool WaitFlashStatusSet(const Device& dev, uint8_t mask);
bool WaitFlashStatusClear(const Device& dev);
bool SpiWriteEnable(const Device& dev);
bool SpiWriteStatusZero(const Device& dev);
bool UnprotectFlash(const Device& dev);

bool SpiReadId(const Device& dev, uint8_t opcode, std::span<uint8_t> out);
int DetectAmicFlash(const Device& dev);   // -1, 1, 3, 4 or 5
int DetectAtmelFlash(const Device& dev);  // -1, 0, 1 or 2
// True when a vendor was recognised (and when the first id read itself failed: vendor stays 0).
bool IdentifyFlash(const Device& dev, FlashDescriptor& flash);
bool IdentifyFlashById4(const Device& dev, FlashDescriptor& flash);

bool SpiEnableWrites(const Device& dev);
bool SpiWriteDisable(const Device& dev);
bool SpiChipErase(const Device& dev);
bool SpiPageProgram(const Device& dev, uint32_t address, const uint8_t* data, uint32_t length, uint32_t unit);
bool SpiAaiByteProgram(const Device& dev, uint32_t address, const uint8_t* data, uint32_t length, uint32_t unit);
bool SpiAaiWordProgram(const Device& dev, uint32_t address, const uint8_t* data, uint32_t length, uint32_t unit);
bool SpiProgram(const Device& dev, uint32_t address, const uint8_t* data, uint32_t length, uint8_t vendor,
                bool wordProgram);

}  // namespace qvfw::device
