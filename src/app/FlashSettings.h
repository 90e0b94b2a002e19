#pragma once
// The procedures' shared flash settings live with the procedures; the application context keeps
// the one instance.

#include "flash/Settings.h"

namespace qvfw::app {

using FlashSettings = flash::Settings;

}  // namespace qvfw::app
