#pragma once
// The operating-system code: a number naming the system family and version,
// which selects the resource manager check, the registry-dump sections and
// the administrator rule.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/os_version.h"

enum OsCode : int {
  OS_UNKNOWN = 0,
  OS_NT4 = 40,
  OS_W2K = 50,
  OS_XP = 51,
  OS_W2K3 = 52,
  OS_VISTA = 60,
  OS_WIN7 = 61,
  OS_W95 = 95,
  OS_W98 = 98,
  OS_W98SE = 99,
  OS_WME = 100,
  OS_LINUX = 200,
};

// The code for a version record, or nothing when no row of the table matches
// (unrecognised versions; the Win32s platform gives OS_UNKNOWN).
std::optional<int> OsCodeForRecord(const velkaro::OsVersionRecord& record);

// Queries the version record. False only when it cannot be read at all.
// Writes `osCode` only when a row matches, `buildNumber` always on success,
// and on the NT family copies the service-pack text into `servicePack`.
bool GetOsCode(int& osCode, std::uint32_t& buildNumber, std::string* servicePack = nullptr);
