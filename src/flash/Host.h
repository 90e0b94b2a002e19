#pragma once
// What a procedure needs from the program around it: the status field and its "." marks,
// message boxes, letting pending events run, and the RAM-download routines of the buffer path,
// which belong to the application. The window's adapter writes StatusEdit and shows the boxes
// exactly; the command line draws a bar from the stages.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "device/Transport.h"

namespace qvfw::flash {

enum class Stage : uint8_t { Save, Erase, Program, ReadBack };

class Host {
 public:
  virtual ~Host() = default;

  virtual void SetStatus(std::string_view text) = 0;
  virtual void AppendStatus(std::string_view more) = 0;
  // A modal box with an OK button.
  virtual void Message(std::string_view caption, std::string_view text) = 0;
  virtual void Pump() = 0;
  // A stage of `pieces` transfers begins (0: unknown); Step marks one done.
  virtual void EnterStage(Stage stage, uint32_t pieces) = 0;
  virtual void Step() = 0;
  // Above 0 while the flash is being changed: a front end asked to stop waits.
  virtual void Critical(bool entering) = 0;
  // A yes/no question before something the user must ask for explicitly (writing where user data
  // lies); a front end that cannot ask answers no.
  virtual bool Confirm(std::string_view /*caption*/, std::string_view /*text*/) { return false; }
  // A diagnostics line (never shown to the user).
  virtual void Trace(std::string_view) {}

  // The buffer path: programming through WRITE BUFFER and reading back through READ BUFFER, and
  // the RAM-download header stamped on a 256 KiB image.
  virtual bool BufferProgram(const device::Device& dev, std::span<const uint8_t> image) = 0;
  // The bytes the bridge's download buffer takes (its buffer descriptor); nothing when unknown.
  virtual std::optional<uint32_t> BufferCapacity(const device::Device& /*dev*/) { return std::nullopt; }
  virtual bool BufferRead(const device::Device& dev, std::span<uint8_t> destination) = 0;
  virtual void StampRamDownloadHeader(std::span<uint8_t> image) = 0;
};

}  // namespace qvfw::flash
