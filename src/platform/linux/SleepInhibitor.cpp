#include "platform/Writing.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

// logind's blocking inhibitor: while the descriptor it hands out is open, sleep and shutdown wait
// (a user who asks for them is told why).
namespace qvfw::platform {

SleepInhibitor::SleepInhibitor(std::string_view why, Diagnostics& diag) {
  sd_bus* bus = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const std::string reason(why);
  int r = sd_bus_open_system(&bus);
  if (r >= 0) {
    r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "Inhibit", &error, &reply, "ssss", "shutdown:sleep", "qvfw", reason.c_str(), "block");
  }
  int fd = -1;
  if (r >= 0) r = sd_bus_message_read(reply, "h", &fd);
  if (r >= 0) {
    fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);  // the reply owns `fd`
    if (fd_ < 0) r = -errno;
  }
  if (r < 0) {
    const char* what = sd_bus_error_is_set(&error) ? error.message : std::strerror(-r);
    diag.Line(std::string("sleep and shutdown are not held off during the write (no logind: ") + what + ")");
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_flush_close_unref(bus);
}

SleepInhibitor::~SleepInhibitor() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace qvfw::platform
