#include "app/AppContext.h"

#include "app/ProgramVersion.h"

namespace qvfw::app {

AppContext::AppContext(const PlatformServices& services, Shell& shellRef, const ImageStore& imageStore)
    : passThrough(services.passThrough),
      clock(services.clock),
      diagnostics(services.diagnostics),
      disks(services.disks),
      monitor(services.monitor),
      transport(services.passThrough, services.diagnostics),
      shell(shellRef),
      images(imageStore),
      programVersion(kBuildVersion) {
  transport.SetEventPump([this] { shell.PumpEvents(); });
}

device::Device AppContext::DeviceAt(size_t record) const {
  return device::Device(transport, std::string(state.DeviceTable.at(record).Path.View()));
}

void SetStatusLine(AppContext& ctx, std::string text, Rgb colour) {
  if (ctx.form.devpnl.text == text && ctx.form.devpnl.colour == colour) return;  // nothing changes
  ctx.form.devpnl.text = std::move(text);
  ctx.form.devpnl.colour = colour;
  ctx.shell.TextChanged({ctx.form.devpnl, ctx.form.devpnl.text, {}, colour});
}

void SetStatusText(AppContext& ctx, std::string text) {
  if (ctx.form.StatusEdit.text == text) return;  // nothing changes
  ctx.form.StatusEdit.text = std::move(text);
  ctx.shell.TextChanged({ctx.form.StatusEdit, ctx.form.StatusEdit.text, {}, std::nullopt});
}

void AppendStatusText(AppContext& ctx, std::string_view more) {
  const std::string piece(more);  // `more` may point into the text it extends
  ctx.form.StatusEdit.text += piece;
  ctx.shell.TextChanged({ctx.form.StatusEdit, ctx.form.StatusEdit.text, piece, std::nullopt});
}

void SetProgress(AppContext& ctx, ProgressBar& bar, int position) {
  bar.SetPosition(position);
  ctx.shell.ProgressChanged(bar);
}

void StepProgress(AppContext& ctx, ProgressBar& bar) {
  bar.StepIt();
  ctx.shell.ProgressChanged(bar);
}

}  // namespace qvfw::app
