#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <string>

#include "platform/ProcessLock.h"
#include "platform/windows/LockFolder.h"
#include "platform/windows/WinStructures.h"

// ProcessLock on the window platform: the lock file, opened for reading and writing while sharing
// reading only. Every other open that asks to write is refused by the system with a sharing
// violation for as long as this handle is open, in this process as in any other, and the system
// closes the handle when the process ends, however it ends. Readers are let in, so a process that
// finds the lock taken reads the holder's process id from the file.
//
// A lock file rather than a named mutex: the lock of an emulated machine belongs to its folder, and
// a file in the folder names the folder itself, where a mutex would need a name made from one of
// the folder's many spellings; a mutex belongs to the thread that took it (the workers of a
// parallel update take and drop the locks of their bridges on threads of their own), and it does
// not say who holds it. The handle is kept as a C runtime descriptor (_open_osfhandle), which
// closes the handle with it.
namespace qvfw::platform {
namespace {

using windows_os::UniqueHandle;

// The process id the holder wrote, or 0.
long HolderOf(const std::filesystem::path& file) {
  UniqueHandle h(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h.valid()) return 0;
  char text[32] = {};
  DWORD n = 0;
  if (!::ReadFile(h.get(), text, sizeof text - 1, &n, nullptr) || n == 0) return 0;
  const long pid = std::strtol(text, nullptr, 10);
  return pid > 0 ? pid : 0;
}

// Whether the system refused the open because of what may be written there (a read-only folder or
// medium), rather than because the file is taken.
bool NotWritable(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
}

}  // namespace

ProcessLock::~ProcessLock() {
  if (fd_ >= 0) ::_close(fd_);  // closing the handle releases the lock
}

std::unique_ptr<ProcessLock> ProcessLock::Acquire(const std::filesystem::path& file, const std::string& what,
                                                  Clock& clock, uint32_t waitMs, Refusal* refusal) {
  auto refuse = [&](DWORD error) -> std::unique_ptr<ProcessLock> {
    if (refusal) *refusal = {"cannot lock " + what + ": " + file.string() + ": " + OsErrorText(error), 0};
    return nullptr;
  };
  for (uint32_t waited = 0;; waited += 100) {
    bool ownFile = true;  // the holder's process id is written into the file
    // FILE_FLAG_OPEN_REPARSE_POINT: a link standing at the name is opened itself, never followed.
    HANDLE h = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD error = h == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
    if (h == INVALID_HANDLE_VALUE && NotWritable(error)) {
      // Nothing may be written here: a lock file that is there is opened without sharing at all, so
      // that no other open of it gets past; the holder cannot be named then.
      h = ::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      error = h == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
      ownFile = false;
    }
    if (h != INVALID_HANDLE_VALUE) {
      UniqueHandle held(h);
      BY_HANDLE_FILE_INFORMATION info{};
      if (::GetFileInformationByHandle(held.get(), &info) &&
          (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        if (refusal) *refusal = {"cannot lock " + what + ": " + file.string() + ": is a link or a folder", 0};
        return nullptr;
      }
      if (ownFile) {
        // Only the holder writes; a failure here leaves the lock held, the holder unnamed.
        const std::string pid = std::to_string(static_cast<long>(::GetCurrentProcessId())) + "\r\n";
        DWORD written = 0;
        ::SetFilePointer(held.get(), 0, nullptr, FILE_BEGIN);
        if (::SetEndOfFile(held.get()))
          ::WriteFile(held.get(), pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
      }
      const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(held.get()), _O_RDONLY);
      if (fd < 0) return refuse(ERROR_TOO_MANY_OPEN_FILES);
      (void)held.Release();  // the descriptor owns the handle now
      return std::unique_ptr<ProcessLock>(new ProcessLock(fd));
    }
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) return refuse(error);
    if (waited >= waitMs) {
      const long holder = HolderOf(file);
      if (refusal) {
        refusal->holder = holder;
        refusal->busy = true;
        refusal->message = what + " is in use by " +
                           (holder ? "process " + std::to_string(holder) : std::string("another process")) +
                           "; try again once it has finished";
      }
      return nullptr;
    }
    clock.Sleep(100);
  }
}

std::filesystem::path DeviceLockFolder() { return windows_os::AdministratorsLockFolder(nullptr); }

// The folder DeviceLockFolder gives is checked (and made) there.
std::optional<std::string> PrepareLockFolder(const std::filesystem::path&) { return std::nullopt; }

}  // namespace qvfw::platform
