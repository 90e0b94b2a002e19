#pragma once
// Deliberate host mistakes, for the suite's mutation check of the host. The emulated bridge is the
// only device the tests have, so a mistake a faulty host could make around the flash must make a
// test fail; each one here can be switched on to show that one does. The product never switches
// one on, and each check costs the load of one byte.

#include <cstdint>
#include <optional>
#include <string_view>

namespace qvfw::device {

enum class HostMistake : uint8_t {
  None,
  NoStatusWait,         // the flash status waits return at once, without reading the status
  OneWaitTooFew,        // the first wait for the busy bit that finds the flash busy is left out
  WrongLengthField,     // the DF flash writes give a length one byte short of their data phase
  LongFormOn1394,       // the IEEE 1394 bridge is sent the long writes of the other DF bridges
  NoWriteEnable,        // the raw SPI write enable (06) is never sent
  NoPrepareFlashWrite,  // the QVS882 is never told of flash changes (FF 04 25)
};

struct HostMistakes {
  HostMistake active = HostMistake::None;
  bool waitLeftOut = false;  // OneWaitTooFew: the one wait has been left out
};

// The process's one set; only tests change it.
HostMistakes& TestHooks();
inline bool Makes(HostMistake m) { return TestHooks().active == m; }

// The names of the mistakes ("no-status-wait", "one-wait-too-few", ...) and back.
std::string_view HostMistakeName(HostMistake m);
std::optional<HostMistake> HostMistakeNamed(std::string_view name);

}  // namespace qvfw::device
