#pragma once
// What the procedures of the older bridges share: those that reach the flash through the short
// flash commands (read, write, status, chip and sector erase) and raw SPI sequences. A run keeps
// the flash it is about to change as a recovery file first and ends with one Result. What every
// procedure shares is in ProcedureSupport.h.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "flash/EraseOnWrite.h"

namespace qvfw::flash::shortflash {

// One run: its job, and the recovery file once one was written (every later outcome names it).
class Run {
 public:
  explicit Run(Job& job) : j(job) {}

  // The status field shows `status` (when not empty) and the outcome carries it.
  Result End(Result::Code code, Stage stage, std::string_view status, std::string reason = {}) const;
  Result Fail(Stage stage, std::string_view status, std::string reason) const {
    return End(Result::Code::Failed, stage, status, std::move(reason));
  }
  Result Done(Stage stage, std::string_view status) const { return End(Result::Code::Done, stage, status); }

  // Reads the whole flash from 0 and keeps it as a recovery file, unless the options skip it.
  // False with `failure` set when it could not, or when the flash's size is not known.
  bool KeepRecovery(Result& failure);
  const std::optional<std::filesystem::path>& recoveryFile() const { return recovery_; }
  // The flash size in bytes as the run found it before it started; 0 when unknown.
  uint32_t FlashBytes() const;
  // Writes past the end of the flash land at its start again: a refusal when `needed` bytes do
  // not fit a flash of known size, else a Done result.
  Result RefuseBeyondFlash(uint32_t needed);

  void Sleep(uint32_t ms) const;

  Job& j;

 private:
  std::optional<std::filesystem::path> recovery_;
};

}  // namespace qvfw::flash::shortflash
