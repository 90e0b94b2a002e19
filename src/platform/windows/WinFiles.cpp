// Files.h on the window platform: C runtime descriptors, and whole-file replacement through a
// fresh file created beside the target and MoveFileEx over it.
#include "platform/Files.h"

#include <io.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <atomic>
#include <cstring>
#include <string>

#include "platform/windows/WinStructures.h"

namespace qvfw::platform {
namespace {

using windows_os::UniqueHandle;

// The errno value closest to a system error, for callers that report ReplaceFile's result with
// strerror.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_CANT_ACCESS_FILE:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
    case ERROR_DIRECTORY:
      return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EIO;
  }
}

bool WriteAllHandle(HANDLE file, const uint8_t* p, size_t n) {
  while (n) {
    const DWORD chunk = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
    DWORD written = 0;
    if (!::WriteFile(file, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    n -= written;
  }
  return true;
}

}  // namespace

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::_close(fd_);
}

bool UniqueFd::Close() {
  const int fd = fd_;
  fd_ = -1;
  return fd >= 0 && ::_close(fd) == 0;
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
  while (n) {
    const unsigned chunk = n > INT_MAX ? INT_MAX : static_cast<unsigned>(n);
    const int r = ::_read(fd, p, chunk);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n) {
    const unsigned chunk = n > INT_MAX ? INT_MAX : static_cast<unsigned>(n);
    const int w = ::_write(fd, p, chunk);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

namespace {

// Writes `bytes` into a fresh file beside `target` and moves it to the target name: over what
// stands there, or only when nothing does. The mode has no counterpart here: the file takes the
// folder's inherited permissions.
int PublishFile(const std::filesystem::path& target, std::span<const uint8_t> bytes, bool replace) {
  // The process id and a counter: unique among live processes, and no wait for entropy.
  static std::atomic<unsigned> temporaries{0};
  for (int attempt = 0; attempt < 16; ++attempt) {
    wchar_t suffix[48];
    std::swprintf(suffix, sizeof suffix / sizeof suffix[0], L".%lu-%u.new",
                  static_cast<unsigned long>(::GetCurrentProcessId()), temporaries++);
    std::filesystem::path temp = target;
    temp += suffix;
    // CREATE_NEW refuses any name that exists; FILE_FLAG_OPEN_REPARSE_POINT keeps it from
    // following a link planted at the name (a dangling one would otherwise be created through).
    UniqueHandle file(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      return ErrnoOf(error);
    }
    DWORD error = 0;
    if (!WriteAllHandle(file.get(), bytes.data(), bytes.size()) || !::FlushFileBuffers(file.get())) {
      error = ::GetLastError();
      if (error == 0) error = ERROR_WRITE_FAULT;
    }
    if (!file.Close() && error == 0) error = ::GetLastError();
    // A move over the name replaces the name itself: a link standing there goes, what it points
    // to stays. Without MOVEFILE_REPLACE_EXISTING the move fails when anything stands there.
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (error == 0 && !::MoveFileExW(temp.c_str(), target.c_str(), flags)) error = ::GetLastError();
    if (error != 0) {
      ::DeleteFileW(temp.c_str());
      return ErrnoOf(error);
    }
    return 0;
  }
  return EEXIST;
}

}  // namespace

int ReplaceFile(const std::filesystem::path& target, std::span<const uint8_t> bytes, mode_t) {
  return PublishFile(target, bytes, true);
}

int CreateNewFile(const std::filesystem::path& target, std::span<const uint8_t> bytes, mode_t) {
  return PublishFile(target, bytes, false);
}

std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path) {
  // The name itself: a link is opened as the link, a folder with backup semantics.
  UniqueHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                  nullptr));
  if (!file.valid()) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::filesystem::path& path, size_t size) {
  // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, which the attributes then show.
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) ||
      ::GetFileType(file.get()) != FILE_TYPE_DISK ||
      ((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow) != size)
    return std::nullopt;
  std::vector<uint8_t> bytes(size);
  size_t done = 0;
  while (done < size) {
    const DWORD chunk = size - done > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size - done);
    DWORD got = 0;
    if (!::ReadFile(file.get(), bytes.data() + done, chunk, &got, nullptr) || got == 0) return std::nullopt;
    done += got;
  }
  return bytes;
}

bool ProcessAlive(long pid) {
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return ::GetLastError() != ERROR_INVALID_PARAMETER;
  const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  ::CloseHandle(process);
  return running;
}

long CurrentProcessId() { return static_cast<long>(::GetCurrentProcessId()); }

FileRead ReadRegularFile(const std::filesystem::path& path, uint64_t maxSize) {
  FileRead r;
  r.limit = maxSize;
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) {
    r.error = ErrnoOf(::GetLastError());
    r.failure = FileRead::Failure::Missing;
    return r;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) {
    r.error = ErrnoOf(::GetLastError());
    r.failure = FileRead::Failure::Unreadable;
    return r;
  }
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) ||
      ::GetFileType(file.get()) != FILE_TYPE_DISK) {
    r.failure = FileRead::Failure::NotRegular;
    return r;
  }
  r.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  ReadOpenedFile(r, [&](uint8_t* into, size_t room, int& error) -> int64_t {
    const DWORD chunk = room > 0x40000000u ? 0x40000000u : static_cast<DWORD>(room);
    DWORD got = 0;
    if (!::ReadFile(file.get(), into, chunk, &got, nullptr)) {
      error = ErrnoOf(::GetLastError());
      return -1;
    }
    return got;
  });
  return r;
}

bool RemoveFile(const std::filesystem::path& path) {
  // DeleteFile removes a file or a symbolic link itself and refuses a folder; a directory
  // junction or link is a folder to it too, so it stays.
  return ::DeleteFileW(path.c_str()) != 0;
}

}  // namespace qvfw::platform
