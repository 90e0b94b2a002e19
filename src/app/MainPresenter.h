#pragma once
// The main window's life from start-up to close, shared by the window and the command line:
// construction (state, configuration, first refresh, the "RD Version" handler), `FormCreate`
// (device notifications, caption, one-click button text), `ExitBtnClick` and `FormClose`.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "app/AppContext.h"
#include "app/ExchangeFile.h"

namespace qvfw::app {

std::filesystem::path ConfigurationFilePath(const AppContext& ctx);

// "Orvo DLN7420KT5 firmware update tools_v%d.%d.%d.%d"; all four 0 without version information.
std::string FormatCaption(const ProgramVersion& version);

// The one-click button text from an image header: bytes 25..28 are the version, four ASCII
// digits when byte 25 is one, else four binary numbers. A header shorter than 29 bytes reads
// as zeros where it ends.
std::string FormatUpdateButtonText(std::span<const uint8_t> header);

// Construction of the main window, ending with `FormCreate`. The form's controls are already in
// their initial state (`MainForm`'s constructor).
void ConstructMainWindow(AppContext& ctx);
void FormCreate(AppContext& ctx);

// Files dropped on the window are accepted and ignored.
void DropFiles(AppContext& ctx);

// Closes the window: runs `FormClose` once and marks the window closed.
void ExitBtnClick(AppContext& ctx);
void CloseMainWindow(AppContext& ctx);
// Deletes the exchange file this run created, when there is one and its name still stands for
// it; a file this run did not create (another run's, a user's, a link) is left alone.
void FormClose(AppContext& ctx);
// Releases the device notification registration.
void DestroyMainWindow(AppContext& ctx);

}  // namespace qvfw::app
