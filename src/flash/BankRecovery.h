#pragma once
// Dual-bank bridges (QVS876 and QVS879 on a flash of 128 KiB or more) keep two 64 KiB firmware
// banks, at 0 and 0x10000. When exactly one of them holds a valid image, it is copied over the
// other; the status field says "FW Recovery successful!!" or "FW Recovery Fail!!".

#include <span>

#include "chips/ChipFamilies.h"
#include "flash/EraseOnWrite.h"

namespace qvfw::flash {

inline constexpr uint32_t kFirmwareBankSize = 0x10000;

// The signature block at bank offset 0xBFF0 (55 AA AA 55, then the family's model key) and the
// image checksum over the code area; only the storage line can be valid.
bool BankImageValid(std::span<const uint8_t> bank, chips::ChipType chip);

struct BankRecovery {
  bool looked = false;  // both banks were read: the device need not be looked at again
  bool wrote = false;   // one bank was rewritten from the other
  Result result;        // Done when nothing was needed or the copy verified
};

// Reads both banks and copies the valid one over the invalid one. The caller decides whether the
// device is a dual-bank one; a recovery copy of the flash is kept before the write.
BankRecovery RecoverFirmwareBank(Job& job);

}  // namespace qvfw::flash
