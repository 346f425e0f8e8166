#include "status/resource_manager.h"

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "platform/store/registry.h"
#include "platform/service_state.h"
#include "status/os_code.h"

namespace {

struct StatusText {
  RmStatus status;
  const char* text;
};

constexpr std::array<StatusText, 10> kStatusTexts = {{
    {RMS_RUNNING, "Started and Running"},                            // 104
    {RMS_UNKNOWN_OS, "Unknown OS"},                                  // 137
    {RMS_GENERAL_ERROR, "General Error"},                            // 135
    {RMS_DISABLED, "is 'Disabled'"},                                 // 129
    {RMS_MANUAL, "is configured as 'Manual'"},                       // 130
    {RMS_OBJECTNAME_INVALID, "ObjectName is invalid (reinstalled)"},  // 131
    {RMS_WRONG_BASE_COMPONENTS, "Wrong Version of SC Base Components"},  // 128
    {RMS_OLD_SMCLIB, "Old SMCLIB"},                                  // 136
    {RMS_NOT_INSTALLED, "Not installed properly!"},                  // 102
    {RMS_STOPPED, "is 'Stopped'"},                                   // 143
}};

constexpr char kSmartCardServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\SCardSvr";
constexpr char kSmartCardHelperKey[] = "SYSTEM\\CurrentControlSet\\Services\\SCardDrv";
constexpr char kRunServicesKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunServices";
constexpr char kServiceName[] = "ScardSvr";
constexpr char kExpectedAccount[] = "NT AUTHORITY\\LocalService";
constexpr char kSmclibPath[] = "/system32/drivers/smclib.sys";
constexpr std::uint32_t kStartManual = 3;
constexpr std::uint32_t kStartDisabled = 4;
constexpr std::size_t kStringValueSize = 255;

// What the last check on this thread found: the General page checks on its
// refresh thread while the log may check on the user-interface thread.
thread_local int g_osCode = OS_UNKNOWN;
thread_local std::string g_servicePack;

// The check's keys are opened for queries only.
LSTATUS OpenForQuery(velkaro::ScopedHKey& key, const char* path) {
  return key.Open(HKEY_LOCAL_MACHINE, path, KEY_QUERY_VALUE);
}

// A value's bytes when they fit the check's 255-byte buffer; a longer value
// counts as unreadable, as it does for the buffer.
std::optional<std::vector<std::uint8_t>> SmallValue(const velkaro::ScopedHKey& key, const char* name) {
  std::vector<std::uint8_t> data;
  if (key.QueryBytes(name, data) != ERROR_SUCCESS || data.size() > kStringValueSize) return std::nullopt;
  return data;
}

// The start type, a number of up to 4 bytes whatever its type.
std::optional<std::uint32_t> StartType() {
  velkaro::ScopedHKey key;
  std::uint32_t start = 0;
  if (OpenForQuery(key, kSmartCardServiceKey) != ERROR_SUCCESS || key.QueryNumber("Start", start) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return start;
}

// Fails when the key cannot be opened, or its ObjectName is readable and not
// the expected account (compared with its terminating zero, case-sensitive).
bool ServiceAccountIsRight(const char* keyPath) {
  velkaro::ScopedHKey key;
  if (OpenForQuery(key, keyPath) != ERROR_SUCCESS) return false;
  const auto account = SmallValue(key, "ObjectName");
  if (!account) return true;
  return account->size() >= sizeof kExpectedAccount &&
         std::memcmp(account->data(), kExpectedAccount, sizeof kExpectedAccount) == 0;
}

RmStatus CheckNt4() {
  const auto start = StartType();
  if (start == kStartDisabled) return RMS_DISABLED;
  if (start == kStartManual) return RMS_MANUAL;
  return RMS_RUNNING;
}

RmStatus CheckNt5AndLater(velkaro::IServiceControl& services) {
  {
    velkaro::ScopedHKey service;
    if (OpenForQuery(service, kSmartCardServiceKey) != ERROR_SUCCESS) return RMS_WRONG_BASE_COMPONENTS;
    // A text up to its terminating zero: a group that is only a zero is none.
    if (const auto group = SmallValue(service, "DependOnGroup"); group && !group->empty() && group->front() != 0) {
      return RMS_WRONG_BASE_COMPONENTS;
    }
  }
  if (g_osCode == OS_XP && (g_servicePack.empty() || g_servicePack.starts_with("Service Pack 1"))) {
    if (!ServiceAccountIsRight(kSmartCardServiceKey) || !ServiceAccountIsRight(kSmartCardHelperKey)) {
      return RMS_OBJECTNAME_INVALID;
    }
  }
  const auto start = StartType();
  if (start == kStartDisabled) return RMS_DISABLED;
  std::uint32_t state = 0;
  if (!services.QueryServiceState(kServiceName, state)) return RMS_DISABLED;
  if (state == velkaro::SERVICE_RUNNING) return RMS_RUNNING;
  if (start == kStartManual) return RMS_MANUAL;
  return state == velkaro::SERVICE_STOPPED ? RMS_STOPPED : RMS_DISABLED;
}

RmStatus CheckWindows95Family(velkaro::IServiceControl& services) {
  const std::string windows = services.WindowsDirectory();
  if (windows.empty()) return RMS_GENERAL_ERROR;
  struct stat st {};
  if (::stat((windows + kSmclibPath).c_str(), &st) == 0) {
    std::tm utc{};
    if (gmtime_r(&st.st_mtime, &utc) && utc.tm_year + 1900 == 1997) return RMS_OLD_SMCLIB;
  }
  velkaro::ScopedHKey run;
  if (OpenForQuery(run, kRunServicesKey) != ERROR_SUCCESS) return RMS_NOT_INSTALLED;
  return SmallValue(run, "ScardSvr") || SmallValue(run, "DelayedScardSvr") ? RMS_RUNNING : RMS_NOT_INSTALLED;
}

RmStatus CheckLinux(velkaro::IServiceControl& services, velkaro::PcscdReply pcscd) {
  using velkaro::ServiceRunState;
  using velkaro::ServiceStartType;
  const auto status = services.QuerySmartCardService(pcscd);
  if (!status.installed && status.runState != ServiceRunState::kRunning) return RMS_NOT_INSTALLED;
  if (status.startType == ServiceStartType::kDisabled) return RMS_DISABLED;
  // Neither stopped nor running, whatever the start type says.
  if (status.runState == ServiceRunState::kNotAnswering) return RMS_NOT_ANSWERING;
  switch (status.startType) {
    case ServiceStartType::kDisabled:
      return RMS_DISABLED;
    case ServiceStartType::kManual:
      return status.runState == ServiceRunState::kRunning ? RMS_RUNNING : RMS_MANUAL;
    case ServiceStartType::kAutomatic:
    case ServiceStartType::kUnknown:
      break;
  }
  switch (status.runState) {
    case ServiceRunState::kRunning: return RMS_RUNNING;
    case ServiceRunState::kStopped: return RMS_STOPPED;
    default: return RMS_DISABLED;
  }
}

}  // namespace

const char* ResourceManagerStatusText(RmStatus status) {
  for (const StatusText& entry : kStatusTexts) {
    if (entry.status == status) return entry.text;
  }
  return kRmStateUnknownText;
}

const std::string& CheckedServicePack() { return g_servicePack; }

RmStatus CheckResourceManager(bool pcscdAnswered) {
  return CheckResourceManager(pcscdAnswered ? velkaro::PcscdReply::kAnswered : velkaro::PcscdReply::kNotAsked);
}

RmStatus CheckResourceManager(velkaro::PcscdReply pcscd) {
  // Held for the whole check: the refresh thread may still be in it when
  // its page has gone and the program replaces the service.
  const std::shared_ptr<velkaro::IServiceControl> services = velkaro::SharedServiceControl();
  g_servicePack.clear();
  // The code is written only for known systems; start from "unknown" so a
  // check never answers for an earlier record.
  g_osCode = OS_UNKNOWN;
  std::uint32_t build = 0;
  if (!GetOsCode(g_osCode, build, &g_servicePack)) return RMS_GENERAL_ERROR;
  switch (g_osCode) {
    case OS_NT4: return CheckNt4();
    case OS_W2K:
    case OS_XP:
    case OS_W2K3:
    case OS_VISTA:
    case OS_WIN7: return CheckNt5AndLater(*services);
    case OS_W95:
    case OS_W98:
    case OS_W98SE:
    case OS_WME: return CheckWindows95Family(*services);
    case OS_LINUX: return CheckLinux(*services, pcscd);
    default: return RMS_UNKNOWN_OS;
  }
}
