#include "platform/windows/SptdPassThrough.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/windows/WinStructures.h"

namespace qvfw::platform::windows_os {
namespace {

// The alignment the adapter asks of data buffers: STORAGE_ADAPTER_DESCRIPTOR's AlignmentMask, or
// IO_SCSI_CAPABILITIES' when the storage query is not answered; 0 (any address) when neither is.
// A mask is a power of two less one; anything else is widened to the next such value, and no
// adapter is granted more than 64 KiB.
uint32_t Sanitized(uint32_t mask) {
  for (int shift = 1; shift < 32; shift <<= 1) mask |= mask >> shift;
  return mask > 0xFFFF ? 0xFFFF : mask;
}

// `queries` counts the requests sent to the adapter.
uint32_t AdapterAlignmentMask(HANDLE device, std::atomic<uint64_t>& queries) {
  const auto query = StoragePropertyQuery(kStorageAdapterProperty);
  alignas(8) uint8_t reply[64] = {};
  DWORD returned = 0;
  ++queries;
  if (::DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, const_cast<uint8_t*>(query.data()),
                        static_cast<DWORD>(query.size()), reply, sizeof reply, &returned, nullptr)) {
    if (auto mask = ParseAdapterAlignmentMask({reply, returned})) return Sanitized(*mask);
  }
  std::memset(reply, 0, sizeof reply);
  returned = 0;
  ++queries;
  if (::DeviceIoControl(device, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, reply, sizeof reply, &returned, nullptr)) {
    if (auto mask = ParseScsiCapabilitiesAlignmentMask({reply, returned})) return Sanitized(*mask);
  }
  return 0;
}

// A zero-filled block of `length` bytes at an address that satisfies `mask`.
class AlignedBounce {
 public:
  AlignedBounce(uint32_t length, uint32_t mask) : storage_(new uint8_t[size_t{length} + mask + 1]()) {
    const auto base = reinterpret_cast<uintptr_t>(storage_.get());
    data_ = reinterpret_cast<uint8_t*>((base + mask) & ~static_cast<uintptr_t>(mask));
  }
  uint8_t* data() const { return data_; }

 private:
  std::unique_ptr<uint8_t[]> storage_;
  uint8_t* data_;
};

}  // namespace

uint32_t SptdPassThrough::AlignmentOf(const std::string& path, void* device) {
  {
    std::lock_guard guard(mutex_);
    if (const auto known = alignment_.find(path); known != alignment_.end()) return known->second;
  }
  // Asked outside the lock: the workers of a parallel update each ask for their own bridge.
  const uint32_t mask = AdapterAlignmentMask(static_cast<HANDLE>(device), adapterQueries_);
  std::lock_guard guard(mutex_);
  alignment_.emplace(path, mask);
  return mask;
}

ScsiResult SptdPassThrough::Execute(std::string_view path, const ScsiRequest& request) {
  const std::string name(path);
  const DWORD share = request.exclusive ? 0 : (FILE_SHARE_READ | FILE_SHARE_WRITE);
  UniqueHandle device(
      ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!device.valid()) {
    const DWORD error = ::GetLastError();
    std::string line = "scsi: cannot open " + name + ": " + WindowsErrorText(error);
    if (AccessDenied(error)) line += " (raw SCSI pass-through needs administrator rights)";
    diag_.Line(line);
    ScsiResult result;
    result.osError = error;  // why nothing was sent
    return result;
  }
  if (request.dataIn && request.length) std::memset(request.data, 0, request.length);

  uint8_t* data = request.data;
  std::unique_ptr<AlignedBounce> bounce;
  if (request.length) {
    // The alignment query is not part of the request: whatever error value it leaves must not
    // count against the request, so the value from before it is put back.
    const DWORD before = ::GetLastError();
    const uint32_t mask = AlignmentOf(name, device.get());
    ::SetLastError(before);
    if (NeedsAlignedBounce(reinterpret_cast<uintptr_t>(data), mask)) {
      try {
        bounce = std::make_unique<AlignedBounce>(request.length, mask);
      } catch (const std::bad_alloc&) {
        diag_.Line("scsi: " + name + ": out of memory for an aligned transfer buffer");
        ScsiResult result;
        result.opened = true;
        result.osError = ERROR_NOT_ENOUGH_MEMORY;
        return result;
      }
      if (!request.dataIn) std::memcpy(bounce->data(), request.data, request.length);
      data = bounce->data();
    }
  }

  PassThroughBlock block = BuildPassThroughBlock(request, reinterpret_cast<uintptr_t>(data), kNativeWordSize);
  DWORD returned = 0;
  const BOOL ok = ::DeviceIoControl(device.get(), IOCTL_SCSI_PASS_THROUGH_DIRECT, block.bytes.data(), block.ioctlSize,
                                    block.bytes.data(), block.ioctlSize, &returned, nullptr);
  const DWORD lastError = ::GetLastError();
  if (bounce && request.dataIn) std::memcpy(request.data, bounce->data(), request.length);
  if (!ok) diag_.Line("scsi: " + name + ": IOCTL_SCSI_PASS_THROUGH_DIRECT failed: " + WindowsErrorText(lastError));
  return FinishPassThrough(block, request, ok != 0, lastError);
}

}  // namespace qvfw::platform::windows_os
