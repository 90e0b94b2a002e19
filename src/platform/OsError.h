#pragma once
// The error values that cross the OS boundary (ScsiResult::osError and the like): errno values on
// POSIX systems, system error codes on the window platform. Each platform reads its own values
// from its own table: the same number means different things on the two.

#include <cstdint>
#include <string>
#include <string_view>

namespace qvfw::platform {

// The system's words for `error`, without a closing full stop ("Permission denied"; "Access is
// denied"); "error N" when the system has none.
std::string OsErrorText(uint32_t error);

// Whether `error` says that this process lacks the rights to open a device.
bool AccessDenied(uint32_t error);

// What follows "N disk(s) " when disks could not be opened for lack of rights: what happened and
// what the user does about it on this platform.
std::string_view AccessRemedy();

}  // namespace qvfw::platform
