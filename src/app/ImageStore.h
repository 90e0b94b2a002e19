#pragma once
// The firmware images the program carries, found by name, and the two loaders that copy from
// them. The store is an interface so that tests can supply missing or different images.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qvfw::app {

inline constexpr std::string_view kUpdateImageName = "FW_FOR_UPDATE";

class ImageStore {
 public:
  virtual ~ImageStore() = default;
  // The image's bytes, or nothing when the program does not carry it.
  virtual std::optional<std::span<const uint8_t>> Find(std::string_view name) const = 0;
};

// The images compiled into the program.
class EmbeddedImageStore final : public ImageStore {
 public:
  std::optional<std::span<const uint8_t>> Find(std::string_view name) const override;
};

// Images held in memory; for tests and for runs that bring their own.
class MemoryImageStore final : public ImageStore {
 public:
  void Put(std::string name, std::vector<uint8_t> bytes) { images_[std::move(name)] = std::move(bytes); }
  void Remove(std::string_view name) { images_.erase(std::string(name)); }
  std::optional<std::span<const uint8_t>> Find(std::string_view name) const override;

 private:
  std::map<std::string, std::vector<uint8_t>, std::less<>> images_;
};

// The manufacturing image a selector names: 1, 2, 11, 12, 13, 15; empty for any other code.
std::string_view MfgImageName(int selector);

// Both loaders copy `length` bytes from `offset` of the image into `destination` and return the
// image's whole size; 0 when the image is missing (the destination is then untouched). A length
// of 0, or one reaching past the image's end, copies up to the end. An offset at or beyond the
// end copies nothing, and no copy ever runs past the end of `destination`.
uint32_t LoadUpdateImage(const ImageStore& store, std::span<uint8_t> destination, uint32_t offset, uint32_t length);
uint32_t LoadMfgImage(const ImageStore& store, std::span<uint8_t> destination, uint32_t offset, uint32_t length,
                      int selector);

}  // namespace qvfw::app
