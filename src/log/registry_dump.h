#pragma once
// The second section of the diagnostic log: the settings keys that the
// configuration names for the running system, each with its values and,
// depth first, its subkeys, in a text like a registry export.

#include <string>

struct CLogFile;

// Results of DumpRegistry.
inline constexpr int DUMP_SUCCESS = 0;
inline constexpr int DUMP_E_REGISTRY = -1;  // a key could not be read, or the store failed on the way
inline constexpr int DUMP_E_OS = -2;        // the system version cannot be read
inline constexpr int DUMP_E_WRITE = -3;     // a write to the log failed
inline constexpr int DUMP_E_CONFIG = -4;    // the configuration has no readable section list
inline constexpr int DUMP_E_REOPEN = -5;    // the log's end cannot be found
inline constexpr int DUMP_E_CLOSE = -6;     // closing the log failed
inline constexpr int DUMP_E_OPEN = -12;     // the log cannot be opened again

// Appends the dump to the existing log at `logPath`. The sections of
// `configPath` are chosen by exact name: "Reg_AllOS" on every known system,
// "Reg_Linux" on Linux, the Windows ones on theirs. `detail`, when given,
// receives what failed and where.
int DumpRegistry(const std::string& logPath, const std::string& configPath, std::string* detail = nullptr);
// The same into a log that is open (the one being written) and is left
// open; `logPath` names it in messages.
int DumpRegistry(CLogFile& file, const std::string& logPath, const std::string& configPath,
                 std::string* detail = nullptr);
