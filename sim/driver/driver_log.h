#pragma once
// Lines for pcscd's log. Inside pcscd the driver writes through pcscd's own
// logger (so the lines land where pcscd's do, with its priorities); loaded by
// anything else it writes to standard error.

namespace velkaro::sim {

enum class LogPriority { Debug = 0, Info = 1, Error = 2, Critical = 3 };

void DriverLog(LogPriority priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace velkaro::sim
