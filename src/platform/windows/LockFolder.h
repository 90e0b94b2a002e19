#pragma once
// Where the locks of this machine's bridges live on the window platform: %ProgramData%\qvfw,
// a folder only the system and administrators may write (the bridges answer only administrators,
// and a lock another user could hold would keep every update out). Made, with that access list,
// by the first process that runs with administrator rights. A folder that is already there is
// used only when the system, the administrators or this (administrator) user owns it: one that
// another user made first is not trusted, and the device locks are not taken then.

#include <filesystem>
#include <string>

namespace qvfw::platform::windows_os {

// The folder, or an empty path with the reason in `why`.
std::filesystem::path AdministratorsLockFolder(std::string* why);

}  // namespace qvfw::platform::windows_os
