#pragma once
// Settings the programming procedures share for the whole run: one instance in the application
// context, never globals.

#include <cstdint>

namespace qvfw::flash {

struct Settings {
  uint32_t TransferUnit = 8192;        // largest payload of one flash read or write command
  uint32_t FlashImageSize = 0x10000;   // default size of a flash backup or erase check
  uint32_t BlockEraseUnit = 0x8000;    // loaded from the flash vendor's row when it is known
  uint32_t SectorEraseUnit = 0x1000;
  uint8_t DefaultWriteEraseMode = 2;   // erase mode for programming unless the flash is AMIC
  uint32_t BlockCounter = 0;           // erase bookkeeping of the range writer
  uint32_t SectorCounter = 0;
  uint32_t EraseOnlyLength = 4096;     // 0xFF bytes sent with the whole-flash erase request
};

}  // namespace qvfw::flash
