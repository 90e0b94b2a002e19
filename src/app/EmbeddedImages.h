#pragma once
// The firmware images compiled into the program (generated at build time).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qvfw::app {

struct EmbeddedImage {
  std::string_view name;
  const uint8_t* data;
  size_t size;
};

std::span<const EmbeddedImage> EmbeddedImages();

}  // namespace qvfw::app
