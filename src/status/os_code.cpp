#include "status/os_code.h"

#include <array>

#include "platform/services.h"

namespace {

using velkaro::VER_PLATFORM_LINUX;
using velkaro::VER_PLATFORM_WIN32_NT;
using velkaro::VER_PLATFORM_WIN32_WINDOWS;
using velkaro::VER_PLATFORM_WIN32s;

constexpr int kAny = -1;

enum class CsdRule { kAny, kSecondIsA, kSecondIsNotA };

struct OsRow {
  std::uint32_t platformId;
  std::uint32_t majorMin;
  std::uint32_t majorMax;
  int minor;  // kAny or the exact minor version
  CsdRule csd;
  int code;
};

constexpr std::array<OsRow, 12> kOsTable = {{
    {VER_PLATFORM_WIN32s, 0, UINT32_MAX, kAny, CsdRule::kAny, OS_UNKNOWN},
    {VER_PLATFORM_WIN32_NT, 0, 4, kAny, CsdRule::kAny, OS_NT4},
    {VER_PLATFORM_WIN32_NT, 5, 5, 0, CsdRule::kAny, OS_W2K},
    {VER_PLATFORM_WIN32_NT, 5, 5, 1, CsdRule::kAny, OS_XP},
    {VER_PLATFORM_WIN32_NT, 5, 5, 2, CsdRule::kAny, OS_W2K3},
    {VER_PLATFORM_WIN32_NT, 6, 6, 0, CsdRule::kAny, OS_VISTA},
    {VER_PLATFORM_WIN32_NT, 6, 6, 1, CsdRule::kAny, OS_WIN7},
    {VER_PLATFORM_WIN32_WINDOWS, 4, 4, 0, CsdRule::kAny, OS_W95},
    {VER_PLATFORM_WIN32_WINDOWS, 4, 4, 10, CsdRule::kSecondIsNotA, OS_W98},
    {VER_PLATFORM_WIN32_WINDOWS, 4, 4, 10, CsdRule::kSecondIsA, OS_W98SE},
    {VER_PLATFORM_WIN32_WINDOWS, 4, 4, 90, CsdRule::kAny, OS_WME},
    {VER_PLATFORM_LINUX, 0, UINT32_MAX, kAny, CsdRule::kAny, OS_LINUX},
}};

bool CsdMatches(CsdRule rule, const std::string& csd) {
  const bool secondIsA = csd.size() >= 2 && csd[1] == 'A';
  switch (rule) {
    case CsdRule::kSecondIsA: return secondIsA;
    case CsdRule::kSecondIsNotA: return !secondIsA;
    case CsdRule::kAny: break;
  }
  return true;
}

}  // namespace

std::optional<int> OsCodeForRecord(const velkaro::OsVersionRecord& record) {
  for (const OsRow& row : kOsTable) {
    if (row.platformId == record.platformId && record.majorVersion >= row.majorMin &&
        record.majorVersion <= row.majorMax &&
        (row.minor == kAny || static_cast<std::uint32_t>(row.minor) == record.minorVersion) &&
        CsdMatches(row.csd, record.csdVersion)) {
      return row.code;
    }
  }
  return std::nullopt;
}

bool GetOsCode(int& osCode, std::uint32_t& buildNumber, std::string* servicePack) {
  long error = 0;
  const auto record = velkaro::SystemInfo().QueryVersion(error);
  if (!record) return false;
  buildNumber = record->buildNumber;
  if (const auto code = OsCodeForRecord(*record)) osCode = *code;
  if (servicePack && record->platformId == VER_PLATFORM_WIN32_NT) *servicePack = record->csdVersion;
  return true;
}
