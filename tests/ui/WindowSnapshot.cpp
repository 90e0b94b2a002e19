// Draws the window over the default emulated machine in its main states and saves each as a
// PNG, to look at the layout on a real display (e.g. under Xvfb):
//   ui_snapshot OUTDIR
// writes OUTDIR/window-start.png, -updating.png, -pass.png, -refreshed.png, -rd-revealed.png and
// -rd-panel.png, and OUTDIR/screen-rd-panel.png: the whole screen with the panel open, as a
// person sees it (e.g. QT_SCALE_FACTOR=2 on a 768-pixel-high screen).
#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <cstdio>
#include <string>

#include "WindowRig.h"

using qvfw::ui::testing::Rig;

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: ui_snapshot OUTDIR\n");
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  bool saved = true;
  auto save = [&](QWidget* w, const char* state) {
    QApplication::processEvents();
    const QString file = dir + "/window-" + state + ".png";
    if (!w->grab().save(file)) saved = false;
    std::printf("%s %dx%d\n", qPrintable(file), w->width(), w->height());
  };

  Rig rig;
  rig.Start();
  save(rig.window.get(), "start");
  bool shot = false;
  rig.shell.onPump = [&] {
    if (!shot && rig.ctx.form.ProgressBar2.position == 60) {
      shot = true;
      save(rig.window.get(), "updating");
    }
  };
  QTest::mouseClick(rig.Get("YesBtn"), Qt::LeftButton);
  rig.shell.onPump = nullptr;
  save(rig.window.get(), "pass");
  if (const auto due = rig.window->deviceTimer().DueInMs()) rig.Idle(*due);
  save(rig.window.get(), "refreshed");

  QApplication::setActiveWindow(rig.window.get());
  QTest::keyClick(rig.window.get(), Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
  save(rig.window.get(), "rd-revealed");
  QTest::mouseClick(rig.Get("RdCheckBox"), Qt::LeftButton);
  save(rig.window.get(), "rd-panel");
  QApplication::processEvents();
  QScreen* screen = rig.window->screen();
  const QString file = dir + "/screen-rd-panel.png";
  if (!screen->grabWindow(0).save(file)) saved = false;
  const QRect area = screen->availableGeometry();
  std::printf("%s: window %dx%d at %d,%d on a screen of %dx%d: %s\n", qPrintable(file), rig.window->width(),
              rig.window->height(), rig.window->x(), rig.window->y(), area.width(), area.height(),
              area.contains(rig.window->frameGeometry()) ? "whole" : "cut off");
  return saved && shot ? 0 : 1;
}
