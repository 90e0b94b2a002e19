#include "app/ImageStore.h"

#include <algorithm>

#include "app/EmbeddedImages.h"

namespace qvfw::app {
namespace {

uint32_t Load(const ImageStore& store, std::string_view name, std::span<uint8_t> destination, uint32_t offset,
              uint32_t length) {
  if (name.empty()) return 0;
  const auto image = store.Find(name);
  if (!image) return 0;
  const uint64_t size = image->size();
  if (offset < size) {
    uint64_t count = length;
    if (count == 0 || uint64_t{offset} + count > size) count = size - offset;
    count = std::min<uint64_t>(count, destination.size());
    std::copy_n(image->data() + offset, count, destination.data());
  }
  return static_cast<uint32_t>(size);
}

}  // namespace

std::optional<std::span<const uint8_t>> EmbeddedImageStore::Find(std::string_view name) const {
  for (const EmbeddedImage& image : EmbeddedImages()) {
    if (image.name == name) return std::span<const uint8_t>(image.data, image.size);
  }
  return std::nullopt;
}

std::optional<std::span<const uint8_t>> MemoryImageStore::Find(std::string_view name) const {
  const auto it = images_.find(name);
  if (it == images_.end()) return std::nullopt;
  return std::span<const uint8_t>(it->second);
}

std::string_view MfgImageName(int selector) {
  switch (selector) {
    case 1: return "QVS812_ROM0_MFG";
    case 2: return "QVS814_ROM0_MFG";
    case 11: return "QVS812_ROM1_MFG";
    case 12: return "QVS814_ROM1_MFG";
    case 13: return "QVS817_ROM1_MFG";
    case 15: return "QVS818_ROM1_MFG";
    default: return {};
  }
}

uint32_t LoadUpdateImage(const ImageStore& store, std::span<uint8_t> destination, uint32_t offset, uint32_t length) {
  return Load(store, kUpdateImageName, destination, offset, length);
}

uint32_t LoadMfgImage(const ImageStore& store, std::span<uint8_t> destination, uint32_t offset, uint32_t length,
                      int selector) {
  return Load(store, MfgImageName(selector), destination, offset, length);
}

}  // namespace qvfw::app
