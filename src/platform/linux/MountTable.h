#pragma once
// The kernel's mount table (/proc/self/mounts): which device is mounted where.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvfw::platform::linux_os {

struct MountEntry {
  std::string source;  // "/dev/sdb1", "/dev/mapper/vg-root", "tmpfs", ...
  std::string target;  // the mount point
};

// Parses the text of a mount table in the order of its lines. The kernel writes space, tab,
// newline and backslash inside a field as a backslash and three octal digits ("\040"); these are
// decoded. Lines with fewer than two fields are skipped.
std::vector<MountEntry> ParseMountTable(std::string_view text);

// Reads and parses the mount table at `path`; nullopt when the file cannot be read.
std::optional<std::vector<MountEntry>> ReadMountTable(const std::string& path);

}  // namespace qvfw::platform::linux_os
