#pragma once
// A zero-filled block for device data, aligned for direct transfers and released when its
// owner goes out of scope.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>

namespace qvfw::device {

inline constexpr size_t kDeviceBufferAlignment = 8192;

class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  // Throws std::bad_alloc when the block cannot be had.
  explicit AlignedBuffer(size_t size, size_t alignment = kDeviceBufferAlignment);
  AlignedBuffer(AlignedBuffer&& other) noexcept : block_(std::move(other.block_)), size_(std::exchange(other.size_, 0)) {}
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
    block_ = std::move(other.block_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }

  uint8_t* data() { return block_.get(); }
  const uint8_t* data() const { return block_.get(); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<uint8_t> span() { return {block_.get(), size_}; }
  std::span<const uint8_t> span() const { return {block_.get(), size_}; }
  uint8_t& operator[](size_t i) { return block_[i]; }
  const uint8_t& operator[](size_t i) const { return block_[i]; }

 private:
  struct Release {
    size_t alignment;
    void operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t{alignment}); }
  };
  std::unique_ptr<uint8_t[], Release> block_{nullptr, Release{kDeviceBufferAlignment}};
  size_t size_ = 0;
};

}  // namespace qvfw::device
