#pragma once
// Takes out of a recording what identifies a unit or its user, so that it can be handed on:
//
// - serial numbers: the unit serial number page (INQUIRY vital product data 0x80), the serial a
//   program writes into a bridge's identity record, the attached disk's serial in its ATA
//   IDENTIFY data, and the instance part of a device path that carries one (the window
//   platform's interface paths). Each is replaced wherever it occurs — data in and out, paths,
//   the files the run read — as plain text (any letter case) and as UTF-16 (as USB string
//   descriptors hold it), and so are its leading parts of 8 characters and more (a serial cut
//   to fit a record);
// - the disk's world wide name (ATA IDENTIFY words 108..111);
// - the folders volumes are mounted on (which often carry a user's or a volume's name);
// - the folders in the command's arguments (only file names are kept).
//
// Replacements keep length, letter case and character class (a digit stays a digit, a letter a
// letter, other characters stay), and they are consistent: one text always becomes the same
// replacement within a recording, two different ones never become the same, and a text that
// begins like another is replaced by one that begins like the other's replacement. So a program
// that reads a serial and writes it back, or compares it after a restart, sends and finds in the
// anonymous recording what it did in the original, and the replay still holds. The mapping is
// keyed by a secret drawn for each recording and forgotten, so it cannot be undone, and the
// same bridge gets another replacement in another recording.
//
// USB vendor and product ids, chip, flash and firmware facts, INQUIRY names and disk models name
// a product, not a unit: they are kept. Serials shorter than 6 characters are kept too (too
// short to be told from other bytes).

#include <array>
#include <cstdint>

#include "platform/Recording.h"

namespace qvfw::platform {

// With a secret drawn from the system's random source.
void AnonymiseRecording(SessionRecording& recording);
// With the given secret (tests).
void AnonymiseRecording(SessionRecording& recording, const std::array<uint64_t, 2>& key);

}  // namespace qvfw::platform
