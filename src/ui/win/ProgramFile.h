#pragma once
// What the program file tells about itself: the version in its version resource, and whether the
// process runs with the rights that raw SCSI pass-through needs.

#include "app/AppContext.h"

namespace qvfw::ui::win {

// The four numbers of the fixed file information of the running program's version resource
// (high and low word of the file version's most significant half, then of its least significant
// half); nothing when the file carries none or it cannot be read.
app::ProgramVersion ProgramFileVersion();

// True when the process runs elevated (or on a system without elevation).
bool RunsElevated();

inline constexpr char kElevationText[] =
    "This program sends its commands to the bridges through the system's raw SCSI pass-through, "
    "which only a program run as administrator may use.\n\n"
    "Close it and start it again with \"Run as administrator\". Until then it finds no bridge.";

}  // namespace qvfw::ui::win
