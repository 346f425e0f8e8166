#include "status/resource_manager.h"

#include <sys/stat.h>

#include <array>
#include <cstring>
#include <ctime>
#include <optional>

#include "platform/registry.h"
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
constexpr char kUnknownState[] = "State of Resource Manager unknown !";  // 132

constexpr char kSmartCardServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\SCardSvr";
constexpr char kSmartCardHelperKey[] = "SYSTEM\\CurrentControlSet\\Services\\SCardDrv";
constexpr char kRunServicesKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunServices";
constexpr char kServiceName[] = "ScardSvr";
constexpr char kExpectedAccount[] = "NT AUTHORITY\\LocalService";
constexpr char kSmclibPath[] = "/system32/drivers/smclib.sys";
constexpr std::uint32_t kStartManual = 3;
constexpr std::uint32_t kStartDisabled = 4;
constexpr std::size_t kStringValueSize = 255;

// Module state kept between checks, per thread: the General page checks on
// its thread while the log checks on its own.
thread_local int g_osCode = OS_UNKNOWN;
thread_local std::string g_servicePack;

// Opens a key for queries and closes it with the object.
class QueryKey {
 public:
  explicit QueryKey(const char* path) { m_opened = RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &m_key) == ERROR_SUCCESS; }
  ~QueryKey() {
    if (m_opened) RegCloseKey(m_key);
  }
  QueryKey(const QueryKey&) = delete;
  QueryKey& operator=(const QueryKey&) = delete;
  bool IsOpen() const { return m_opened; }

  std::optional<std::uint32_t> Dword(const char* name) const {
    std::uint32_t value = 0;
    std::uint32_t size = sizeof value;
    if (!m_opened || RegQueryValueEx(m_key, name, nullptr, nullptr, reinterpret_cast<std::uint8_t*>(&value), &size) !=
                         ERROR_SUCCESS) {
      return std::nullopt;
    }
    return value;
  }

  // Up to 255 bytes of the value, with the bytes as they are stored.
  std::optional<std::string> Bytes(const char* name) const {
    std::array<char, kStringValueSize> buffer{};
    std::uint32_t size = buffer.size();
    if (!m_opened || RegQueryValueEx(m_key, name, nullptr, nullptr, reinterpret_cast<std::uint8_t*>(buffer.data()),
                                     &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    return std::string(buffer.data(), std::min<std::size_t>(size, buffer.size()));
  }

 private:
  HKEY m_key = nullptr;
  bool m_opened = false;
};

std::optional<std::uint32_t> StartType() { return QueryKey(kSmartCardServiceKey).Dword("Start"); }

// A stored text up to its terminating zero byte.
std::string TextOf(const std::string& bytes) { return std::string(bytes.c_str()); }

// Fails when the key cannot be opened, or its ObjectName is readable and not
// the expected account (compared with its terminating zero, case-sensitive).
bool ServiceAccountIsRight(const char* keyPath) {
  const QueryKey key(keyPath);
  if (!key.IsOpen()) return false;
  const auto account = key.Bytes("ObjectName");
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

RmStatus CheckNt5AndLater() {
  {
    const QueryKey service(kSmartCardServiceKey);
    if (!service.IsOpen()) return RMS_WRONG_BASE_COMPONENTS;
    if (const auto group = service.Bytes("DependOnGroup"); group && !TextOf(*group).empty()) {
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
  if (!velkaro::ServiceControl().QueryServiceState(kServiceName, state)) return RMS_DISABLED;
  if (state == velkaro::SERVICE_RUNNING) return RMS_RUNNING;
  if (start == kStartManual) return RMS_MANUAL;
  return state == velkaro::SERVICE_STOPPED ? RMS_STOPPED : RMS_DISABLED;
}

RmStatus CheckWindows95Family() {
  const std::string windows = velkaro::ServiceControl().WindowsDirectory();
  if (windows.empty()) return RMS_GENERAL_ERROR;
  struct stat st {};
  if (::stat((windows + kSmclibPath).c_str(), &st) == 0) {
    std::tm utc{};
    if (gmtime_r(&st.st_mtime, &utc) && utc.tm_year + 1900 == 1997) return RMS_OLD_SMCLIB;
  }
  const QueryKey run(kRunServicesKey);
  if (!run.IsOpen()) return RMS_NOT_INSTALLED;
  return run.Bytes("ScardSvr") || run.Bytes("DelayedScardSvr") ? RMS_RUNNING : RMS_NOT_INSTALLED;
}

RmStatus CheckLinux() {
  using velkaro::ServiceRunState;
  using velkaro::ServiceStartType;
  const auto status = velkaro::ServiceControl().QuerySmartCardService();
  if (!status.installed && status.runState != ServiceRunState::kRunning) return RMS_NOT_INSTALLED;
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
  return kUnknownState;
}

const std::string& CheckedServicePack() { return g_servicePack; }

RmStatus CheckResourceManager() {
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
    case OS_WIN7: return CheckNt5AndLater();
    case OS_W95:
    case OS_W98:
    case OS_W98SE:
    case OS_WME: return CheckWindows95Family();
    case OS_LINUX: return CheckLinux();
    default: return RMS_UNKNOWN_OS;
  }
}
