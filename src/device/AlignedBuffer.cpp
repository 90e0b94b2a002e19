#include "device/AlignedBuffer.h"

#include <cstring>

#include "platform/Assert.h"

namespace qvfw::device {

AlignedBuffer::AlignedBuffer(size_t size, size_t alignment) : size_(size) {
  QV_ASSERT(alignment != 0 && (alignment & (alignment - 1)) == 0, "AlignedBuffer");
  // A zero-sized request still yields a valid, releasable block.
  auto* p = static_cast<uint8_t*>(::operator new[](size ? size : 1, std::align_val_t{alignment}));
  std::memset(p, 0, size ? size : 1);
  block_ = std::unique_ptr<uint8_t[], Release>(p, Release{alignment});
}

}  // namespace qvfw::device
