#include "device/HostMistakes.h"

#include <array>
#include <utility>

namespace qvfw::device {
namespace {

constexpr std::array<std::pair<HostMistake, std::string_view>, 7> kNames{{
    {HostMistake::None, "none"},
    {HostMistake::NoStatusWait, "no-status-wait"},
    {HostMistake::OneWaitTooFew, "one-wait-too-few"},
    {HostMistake::WrongLengthField, "wrong-length-field"},
    {HostMistake::LongFormOn1394, "long-form-on-1394"},
    {HostMistake::NoWriteEnable, "no-write-enable"},
    {HostMistake::NoPrepareFlashWrite, "no-prepare-flash-write"},
}};

}  // namespace

HostMistakes& TestHooks() {
  static HostMistakes hooks;
  return hooks;
}

std::string_view HostMistakeName(HostMistake m) {
  for (const auto& [mistake, name] : kNames)
    if (mistake == m) return name;
  return "none";
}

std::optional<HostMistake> HostMistakeNamed(std::string_view name) {
  for (const auto& [mistake, n] : kNames)
    if (n == name) return mistake;
  return std::nullopt;
}

}  // namespace qvfw::device
