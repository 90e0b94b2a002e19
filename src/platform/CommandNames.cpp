#include "platform/CommandNames.h"

#include <cstdio>

namespace qvfw::platform {
namespace {

uint8_t At(std::span<const uint8_t> cdb, size_t i) { return i < cdb.size() ? cdb[i] : 0; }

std::string FlashCommandName(std::span<const uint8_t> cdb) {
  switch (At(cdb, 2)) {
    case 0x0F: return "SetFlashOpcodes";
    case 0x10: return "ReadFlash";
    case 0x11: return "WriteFlash";
    case 0x12: return "ReadFlashStatus";
    case 0x13: return "EraseFlashChip";
    case 0x14: return "EraseFlashSector";
    case 0x15: return At(cdb, 3) == 0x04 ? "ReadFlashId4" : "ReadFlashId3";
    case 0x20: return "SpiCommand";
    case 0x21: return "SpiReadData";
    case 0x22: return "SpiWriteData";
    case 0x23: return "ReadFlashVendorCode";
    case 0x25: return "PrepareFlashWrite";
    case 0x26: return "ResetChip";
    case 0x30: return "ReadChipModel";
    case 0xA0: return "ReadBridgeParameters";
    default: break;
  }
  char text[32];
  std::snprintf(text, sizeof text, "flash command FF 04 %02X", At(cdb, 2));
  return text;
}

// The DF family tells its forms apart by the last byte.
std::string LongCommandName(std::span<const uint8_t> cdb) {
  switch (At(cdb, 11)) {
    case 0xFA: return "ReadFlashLong";
    case 0xFB:
      // The short form carries a 16-bit length and an erase flag of 0 or 1; a long write with
      // such a mode and a length below 64 KiB has the same bytes.
      return At(cdb, 1) > 1 || At(cdb, 2) != 0 ? "WriteFlashLong" : "WriteFlashLong or WriteFlashShort";
    case 0xFC: return "PrepareFlashRetry";
    case 0xFD: return "ReadMemory";
    case 0xFE: return "WriteMemory";
    default: break;
  }
  char text[40];
  std::snprintf(text, sizeof text, "flash/memory command DF ... %02X", At(cdb, 11));
  return text;
}

}  // namespace

std::string CommandName(std::span<const uint8_t> cdb) {
  if (cdb.empty()) return "empty CDB";
  switch (cdb[0]) {
    case 0x00: return "TEST UNIT READY";
    case 0x03: return "REQUEST SENSE";
    case 0x12: return At(cdb, 1) & 1 ? "InquiryVpd" : "Inquiry";
    case 0x1A: return "MODE SENSE(6)";
    case 0x25: return "READ CAPACITY(10)";
    case 0x28: return "READ(10)";
    case 0x2A: return "WRITE(10)";
    case 0x3B: return "QV_WriteBuffer";
    case 0x3C: return "QV_ReadBuffer";
    case 0x55: return "ModeSelectPowerCondition";
    case 0x5A: return "ModeSensePowerCondition";
    case 0x85:
      if (At(cdb, 14) == 0x25) return "AtaReadDmaExt";
      if (At(cdb, 14) == 0x35) return "AtaWriteDmaExt";
      return "ATA PASS-THROUGH(16)";
    case 0xA1: return At(cdb, 9) == 0xEC ? "AtaIdentify" : "ATA PASS-THROUGH(12)";
    case 0x9E: return At(cdb, 1) == 0x10 ? "ReadCapacity16" : "SERVICE ACTION IN(16)";
    case 0xB2: return "WriteRamBuffer";
    case 0xB3: return "ProgramFlashFromRam";
    case 0xB4: return "EraseFlashRam";
    case 0xB5: return "ReadRamBuffer";
    case 0xB6: return "ReadFlashToRam";
    case 0xC3: return "SetBridgeIdentity";
    case 0xDF: return LongCommandName(cdb);
    case 0xE0:
      if (At(cdb, 1) == 0xF4 && At(cdb, 2) == 0xE7) return "ReadChipInfo";
      break;
    case 0xFE:
      if (At(cdb, 1) == 0xF4 && At(cdb, 2) == 0xE7) return "ReadChipInfoAlt";
      break;
    case 0xFF:
      if (At(cdb, 1) == 0x04) return FlashCommandName(cdb);
      break;
    default: break;
  }
  char text[24];
  std::snprintf(text, sizeof text, "vendor command %02X", cdb[0]);
  return text;
}

bool IsIdentificationQuery(std::span<const uint8_t> cdb) {
  if (cdb.empty()) return false;
  switch (cdb[0]) {
    case 0x12:  // INQUIRY, standard data and vital product data
    case 0x25:  // READ CAPACITY(10)
    case 0x5A:  // MODE SENSE(10): the power condition page
      return true;
    case 0x3C: return At(cdb, 1) == 0x03;  // READ BUFFER descriptor
    case 0x9E: return At(cdb, 1) == 0x10;  // READ CAPACITY(16)
    case 0xA1: return At(cdb, 9) == 0xEC;  // ATA IDENTIFY DEVICE
    case 0xE0:
    case 0xFE: return At(cdb, 1) == 0xF4 && At(cdb, 2) == 0xE7;  // chip information
    case 0xDF: return At(cdb, 11) == 0xFD;  // ReadMemory
    case 0xFF:
      if (At(cdb, 1) != 0x04) return false;
      switch (At(cdb, 2)) {
        case 0x15:  // flash ids
        case 0x23:  // flash vendor code
        case 0x30:  // model text
        case 0xA0:  // bridge parameters
          return true;
        default: return false;
      }
    default: return false;
  }
}

}  // namespace qvfw::platform
