#include "app/MainPresenter.h"

#include <array>
#include <cstdio>

#include "app/Configuration.h"
#include "app/ImageStore.h"

namespace qvfw::app {
namespace {

void Run(const std::function<void(AppContext&)>& hook, AppContext& ctx) {
  if (hook) hook(ctx);
}

}  // namespace

std::filesystem::path ConfigurationFilePath(const AppContext& ctx) {
  return ctx.workingDirectory / kConfigurationFileName;
}

std::string FormatCaption(const ProgramVersion& version) {
  const std::array<uint16_t, 4> v = version.value_or(std::array<uint16_t, 4>{});
  char text[96];
  std::snprintf(text, sizeof text, "Orvo DLN7420KT5 firmware update tools_v%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
  return text;
}

std::string FormatUpdateButtonText(std::span<const uint8_t> header) {
  int n[4];
  for (size_t k = 0; k < 4; ++k) n[k] = 25 + k < header.size() ? header[25 + k] : 0;
  if (n[0] >= '0' && n[0] <= '9') {
    for (int& x : n) x -= '0';
  }
  char text[96];
  std::snprintf(text, sizeof text, "Update firmware to version %02d.%02d.%02d.%02d", n[0], n[1], n[2], n[3]);
  return text;
}

void ConstructMainWindow(AppContext& ctx) {
  ctx.state.EraseOnly = ctx.form.EraseOnlyCheck.checked ? 1 : 0;
  ctx.state.KeepNvram = 1;
  ReadConfiguration(ctx.state, ConfigurationFilePath(ctx), ctx.diagnostics);
  Run(ctx.hooks.RefreshBtnClick, ctx);
  // The "RD Version" handler runs the firmware-choice check once more, and that check identifies
  // the selected device anew: the window's start-up asks the device twice on purpose. The
  // command line, which has no such box, asks once.
  Run(ctx.hooks.RdCheckBoxClick, ctx);
  FormCreate(ctx);
}

void FormCreate(AppContext& ctx) {
  Run(ctx.hooks.RegisterDeviceArrival, ctx);
  ctx.form.window.acceptsDroppedFiles = true;
  ctx.form.window.caption = FormatCaption(ctx.programVersion);
  std::array<uint8_t, 32> header{};
  LoadUpdateImage(ctx.images, header, 0, header.size());
  ctx.form.YesBtn.text = FormatUpdateButtonText(header);
  ctx.state.UpdateBusy = 0;
}

void DropFiles(AppContext&) {}

void ExitBtnClick(AppContext& ctx) { CloseMainWindow(ctx); }

void CloseMainWindow(AppContext& ctx) {
  if (ctx.form.window.closed) return;
  FormClose(ctx);
  ctx.form.window.closed = true;
}

void FormClose(AppContext& ctx) { ctx.exchange.reset(); }

void DestroyMainWindow(AppContext& ctx) {
  Run(ctx.hooks.UnregisterDeviceArrival, ctx);
  ctx.state.DeviceNotifyHandle = 0;
}

}  // namespace qvfw::app
