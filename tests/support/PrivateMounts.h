#pragma once
// Folders that even root cannot write, for the tests of what a read-only or full folder does to a
// run: the test process takes a mount namespace of its own (root only) and mounts over one of its
// own temporary folders, a read-only view of it or a small tmpfs. The mounts go when the object
// does; the namespace stays the process's own (each test runs in a process of its own under
// CTest). Tests skip where that is not possible.

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace qvfw::testing {

// True once the process has mounts of its own; false (and nothing changed) when it may not.
inline bool PrivateMountNamespace() {
  static const bool done = [] {
    if (::geteuid() != 0) return false;
    if (::unshare(CLONE_NEWNS) != 0) return false;
    // Mounts made here must not reach the machine's own namespace.
    return ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }();
  return done;
}

class OverMount {
 public:
  // `folder` read-only: its files stay as they are, nothing may be made or changed there.
  static OverMount ReadOnly(const std::filesystem::path& folder) {
    OverMount m(folder);
    m.ok_ = ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
            ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    return m;
  }
  // An empty tmpfs of `bytes` over `folder`.
  static OverMount Small(const std::filesystem::path& folder, size_t bytes) {
    OverMount m(folder);
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    m.ok_ = ::mount("qvfw-test", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
    return m;
  }
  OverMount(OverMount&& o) noexcept : folder_(std::move(o.folder_)), ok_(o.ok_) { o.ok_ = false; }
  OverMount(const OverMount&) = delete;
  OverMount& operator=(const OverMount&) = delete;
  ~OverMount() {
    if (ok_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  bool ok() const { return ok_; }

 private:
  explicit OverMount(std::filesystem::path folder) : folder_(std::move(folder)) {}
  std::filesystem::path folder_;
  bool ok_ = false;
};

}  // namespace qvfw::testing
