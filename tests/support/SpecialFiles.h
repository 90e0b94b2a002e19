#pragma once
// Files that are not what a reader expects under a name: a FIFO nobody writes to (a reader that
// opens it without care blocks for ever), a link to /dev/zero (endless bytes), a folder, a
// regular file larger than the reader's limit (sparse, so it costs no disk) and, for JSON
// readers, a small file of deeply nested arrays. Each is made under the name a test asks for.

#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qvfw::testing {

enum class SpecialKind { Fifo, LinkToDevZero, Directory, OverSize, DeepJson };

struct SpecialFile {
  SpecialKind kind;
  const char* what;
};

inline std::vector<SpecialFile> SpecialFiles(bool withDeepJson) {
  std::vector<SpecialFile> files;
#if !defined(_WIN32)
  files.push_back({SpecialKind::Fifo, "a FIFO"});
  files.push_back({SpecialKind::LinkToDevZero, "a link to /dev/zero"});
#endif
  files.push_back({SpecialKind::Directory, "a folder"});
  files.push_back({SpecialKind::OverSize, "a file over the size limit"});
  if (withDeepJson) files.push_back({SpecialKind::DeepJson, "100 000 nested arrays"});
  return files;
}

// Puts the special file at `path` (which must not exist yet); `limit` is the reader's size limit.
inline void MakeSpecialFile(const SpecialFile& f, const std::filesystem::path& path, uint64_t limit) {
  switch (f.kind) {
    case SpecialKind::Fifo:
#if !defined(_WIN32)
      if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
#endif
      break;
    case SpecialKind::LinkToDevZero:
      std::filesystem::create_symlink("/dev/zero", path);
      break;
    case SpecialKind::Directory:
      std::filesystem::create_directory(path);
      break;
    case SpecialKind::OverSize: {
      std::ofstream(path, std::ios::binary).put('{');
      std::filesystem::resize_file(path, limit + 1);
      break;
    }
    case SpecialKind::DeepJson: {
      std::ofstream out(path, std::ios::binary);
      out << "{\"disks\":" << std::string(100000, '[') << std::string(100000, ']') << "}";
      break;
    }
  }
}

}  // namespace qvfw::testing
