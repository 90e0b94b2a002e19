#pragma once
// Nothing lost: before a procedure first erases or writes, the flash range it is about to change
// is kept as a recovery file in the state directory, named by device and time. Backup files are
// written the same way: into a fresh file beside the name, renamed into place when complete, never
// through a link planted at the name.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qvfw::flash {

// $XDG_STATE_HOME/qvfw; as root /var/lib/qvfw; else ~/.local/state/qvfw.
std::filesystem::path DefaultStateDirectory();

// The recovery file's name: "recovery-<device>-<UTC time>-<address>.bin", the device path with
// every character outside [A-Za-z0-9._-] replaced by '_'.
std::string RecoveryFileName(std::string_view devicePath, std::string_view utcTime, uint64_t address);

// Writes `bytes` (the flash from `address` on, or the disk from block `address` on) as a new recovery file in `directory` (created
// with mode 0700 when missing) and returns its path; nothing when it could not be written completely.
// An existing file of the same name is never replaced: a suffix tells them apart.
std::optional<std::filesystem::path> SaveRecoveryFile(const std::filesystem::path& directory,
                                                      std::string_view devicePath, uint64_t address,
                                                      std::span<const uint8_t> bytes);

// Writes a whole file safely (fresh file + rename, never through a link); 0 or the errno.
int WriteWholeFile(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// Why `path` may not take a backup file: it exists and is not a regular file (a device, a FIFO,
// a socket, a folder, or a link to one). Empty when it may.
std::string NotARegularFile(const std::filesystem::path& path);

// The newest recovery copy of the flash of `devicePath` in `directory` (a whole copy from address
// 0 of `flashBytes` bytes, any length when 0) whose `length` bytes at `address` are not blank:
// where a run finds the NVRAM a device lost. Nothing when no copy holds one.
std::optional<std::filesystem::path> FindNvramCopy(const std::filesystem::path& directory, std::string_view devicePath,
                                                   uint32_t flashBytes, uint32_t address, uint32_t length);

}  // namespace qvfw::flash
