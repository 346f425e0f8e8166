#include "driver/driver_log.h"

#include <cstdarg>
#include <cstdio>

// pcscd exports its logger; weak, so that the driver loads without it.
extern "C" void log_msg(const int priority, const char* fmt, ...) __attribute__((weak));

namespace velkaro::sim {

void DriverLog(LogPriority priority, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (log_msg) {
    log_msg(static_cast<int>(priority), "velkaro-sim: %s", line);
  } else {
    std::fprintf(stderr, "velkaro-sim: %s\n", line);
  }
}

}  // namespace velkaro::sim
