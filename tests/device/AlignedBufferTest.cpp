#include <gtest/gtest.h>

#include <cstdint>

#include "device/AlignedBuffer.h"

namespace qvfw::device {
namespace {

TEST(AlignedBuffer, ZeroFilledAndAlignedAtEveryRequestedBoundary) {
  for (size_t size : {0u, 1u, 511u, 4096u, 65537u}) {
    for (size_t alignment : {16u, 8192u}) {
      AlignedBuffer b(size, alignment);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(b.data()) % alignment, 0u) << size;
      EXPECT_EQ(b.size(), size);
      for (size_t i = 0; i < size; ++i) ASSERT_EQ(b[i], 0) << i;
    }
  }
}

TEST(AlignedBuffer, MovesOwnershipAndEmptyReleasesNothing) {
  AlignedBuffer a(100);
  a[5] = 7;
  uint8_t* p = a.data();
  AlignedBuffer b = std::move(a);
  EXPECT_EQ(b.data(), p);
  EXPECT_EQ(b[5], 7);
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.data(), nullptr);
  AlignedBuffer none;
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(none.data(), nullptr);
}

}  // namespace
}  // namespace qvfw::device
