#pragma once
// Checks that a firmware image file was built for the selected chip and fits its flash.

#include <cstdint>
#include <filesystem>
#include <span>

#include "chips/ChipFamilies.h"

namespace qvfw::firmware {

enum class ImageCheck { Fits, DoesNotFit, CannotOpen };

// Reads the image's signature block at the place its chip family keeps it and compares it with
// what that family (and revision) expects. Blocks that reach past the end of the file read as
// zeros there, so a file too short to hold its block never matches by accident.
// The file is read only when it is a regular file; one larger than the largest flash fits none.
ImageCheck MatchFirmwareSignature(const std::filesystem::path& image, chips::ChipType type, uint8_t revision);
// The same check on an image already in memory.
ImageCheck MatchFirmwareSignature(std::span<const uint8_t> image, chips::ChipType type, uint8_t revision);

// The file is at most (flashSizeKiB & 0xFFFFFF) KiB long.
ImageCheck ImageFitsFlash(const std::filesystem::path& image, uint32_t flashSizeKiB);

}  // namespace qvfw::firmware
