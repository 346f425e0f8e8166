#include "log/registry_dump.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "log/log_file.h"
#include "log/log_texts.h"
#include "platform/profile_file.h"
#include "platform/store/registry.h"
#include "platform/store/registry_store.h"
#include "platform/store/registry_tree.h"
#include "platform/services.h"
#include "platform/text.h"
#include "status/os_code.h"

namespace {

struct OsName {
  int code;
  const char* text;
};

constexpr std::array<OsName, 11> kOsNames = {{
    {OS_NT4, "OS: Windows NT4"},
    {OS_W2K, "OS: Windows 2000"},
    {OS_XP, "OS: Windows XP"},
    {OS_W2K3, "OS: Windows 2003"},
    {OS_VISTA, "OS: Windows Vista"},
    {OS_WIN7, "OS: Windows 7"},
    {OS_W95, "OS: Windows 95"},
    {OS_W98, "OS: Windows 98"},
    {OS_W98SE, "OS: Windows 98SE"},
    {OS_WME, "OS: Windows ME"},
    {OS_LINUX, "OS: Linux"},
}};

// The configuration sections and the systems they apply to; "Reg_AllOS"
// (no codes) applies to every known system.
struct DumpSectionRule {
  const char* name;
  std::array<int, 4> codes;
};

constexpr std::array<DumpSectionRule, 7> kSectionRules = {{
    {"Reg_W2k", {OS_W2K, OS_XP, OS_W2K3}},
    {"Reg_Vista", {OS_VISTA}},
    {"Reg_Win7", {OS_WIN7}},
    {"Reg_NT4", {OS_NT4}},
    {"Reg_W9X", {OS_W95, OS_W98, OS_W98SE, OS_WME}},
    {"Reg_Linux", {OS_LINUX}},
    {"Reg_AllOS", {}},
}};

struct RootName {
  const char* name;
  HKEY key;
};

const std::array<RootName, 7>& RootNames() {
  static const std::array<RootName, 7> roots = {{
      {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
      {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
      {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
      {"HKEY_USERS", HKEY_USERS},
      {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
      {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
      {"HKEY_DYN_DATA", HKEY_DYN_DATA},
  }};
  return roots;
}

// By type number; other types show empty parentheses.
constexpr std::array<const char*, 9> kTypeNames = {
    "REG_NONE", "REG_SZ",   "REG_EXPAND_SZ", "REG_BINARY",        "REG_DWORD", "REG_DWORD_BIG_ENDIAN",
    "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST",
};

// Store key names fit 255 bytes; value names are longer than the 511
// characters once allowed, so a long name no longer ends the list.
constexpr std::size_t kSubkeyNameSize = 256;
constexpr std::size_t kValueNameSize = 16384;
constexpr std::size_t kInitialDataSize = 65535;
constexpr int kDataSizeAttempts = 4;  // the value may grow between two looks at it

const char* OsNameText(int osCode) {
  for (const OsName& entry : kOsNames) {
    if (entry.code == osCode) return entry.text;
  }
  return logtext::kDumpHeading;
}

bool SectionApplies(const std::string& section, int osCode) {
  if (osCode == OS_UNKNOWN) return false;
  for (const DumpSectionRule& rule : kSectionRules) {
    if (section != rule.name) continue;
    if (rule.codes[0] == 0) return true;
    return std::find(rule.codes.begin(), rule.codes.end(), osCode) != rule.codes.end();
  }
  return false;
}

HKEY RootKey(std::string_view name) {
  for (const RootName& root : RootNames()) {
    if (name == root.name) return root.key;
  }
  return nullptr;
}

std::string HexBytes(std::span<const std::uint8_t> bytes, bool lastFirst) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint8_t byte = bytes[lastFirst ? bytes.size() - 1 - i : i];
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::string DataText(std::uint32_t type, std::span<const std::uint8_t> data) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ: {
      // Up to the first zero byte: a multi-string shows its first string.
      const auto end = std::find(data.begin(), data.end(), std::uint8_t{0});
      return std::string(data.begin(), end);
    }
    case REG_DWORD: return HexBytes(data, true);
    default: return HexBytes(data, false);
  }
}

// What a store result means, for the message that names the failed key.
std::string StoreErrorText(LSTATUS status) {
  switch (status) {
    case ERROR_ACCESS_DENIED: return "access denied (error 5)";
    case ERROR_INVALID_HANDLE: return "no such root key here (error 6)";
    case ERROR_BADDB: return "the settings store is damaged (error 1009)";
    case ERROR_CANTREAD: return "the settings store cannot be read (error 1012)";
    case ERROR_KEY_DELETED: return "the key was deleted meanwhile (error 1018)";
    default: return velkaro::Format("error %ld", status);
  }
}

// Failures of the store as a whole, rather than of one key: the walk may go
// on past them, but the dump must not end as a success.
bool IsStoreFailure(LSTATUS status) {
  return status == ERROR_ACCESS_DENIED || status == ERROR_BADDB || status == ERROR_CANTREAD ||
         status == ERROR_NOT_ENOUGH_MEMORY;
}

// The reason the store of `root` gives for failing, after the code's meaning:
// the file, and for a damaged one the line, so that the log that reaches
// support says what to repair. The store is asked again because the calls
// answer only the code.
std::string StoreFailureReason(HKEY root, LSTATUS status) {
  std::string reason = StoreErrorText(status);
  const velkaro::RegRoot* known = velkaro::FindRegRoot(reinterpret_cast<std::uintptr_t>(root));
  if (known == nullptr || known->store == velkaro::RegStoreKind::None) return reason;
  velkaro::RegSnapshot snapshot;
  std::string message;
  if (velkaro::StoreFor(known->store)->Read(snapshot, &message) != ERROR_SUCCESS && !message.empty()) {
    reason += ": " + message;
  }
  return reason;
}

struct KeyCloser {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
// Root keys too: closing one does nothing.
using OwnedKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

class CRegistryDump {
 public:
  int DumpRegistry(const std::string& logPath, const std::string& configPath);
  // Into a log that is open and stays open.
  int DumpInto(CLogFile& file, const std::string& logPath, const std::string& configPath);
  const std::string& Detail() const { return m_detail; }

 private:
  int DumpSection(const velkaro::ProfileSectionKeys& section);
  int DumpKey(HKEY key, std::string& path);
  int ReadValue(HKEY key, std::uint32_t index, std::uint32_t& nameLength, std::uint32_t& type, std::uint32_t& size);

  // Every line of the dump goes through here, and none of its own texts
  // holds a control byte: store paths, names and data are escaped whole
  // (backslashes stay, the paths need them).
  bool Write(std::string_view line) { return WriteLogLine(*m_file, velkaro::EscapeControls(line)) == 0; }
  int WriteFailure() {
    m_detail = m_logPath + ": " + DescribeLogFileError(*m_file);
    return DUMP_E_WRITE;
  }
  // The first failure of the store itself becomes the dump's detail; answers
  // the store's reason, empty for a failure of one key.
  std::string Note(LSTATUS status, const std::string& path) {
    if (!IsStoreFailure(status)) return "";
    std::string reason = StoreFailureReason(m_root, status);
    if (!m_storeFailed) {
      m_storeFailed = true;
      m_detail = path + ": " + reason;
    }
    return reason;
  }
  int KeyFailure(LSTATUS status, const std::string& path) {
    Note(status, path);
    if (!m_storeFailed) m_detail = path + ": " + StoreErrorText(status);
    return DUMP_E_REGISTRY;
  }

  CLogFile* m_file = nullptr;
  std::string m_logPath;
  std::string m_detail;
  bool m_storeFailed = false;
  HKEY m_root = nullptr;  // the root key of the entry being dumped
  bool m_walked = false;  // every section was dumped (a store failure on the way included)
  // Values are written before any subkey is visited, so one pair of
  // buffers serves every level.
  std::vector<char> m_valueName = std::vector<char>(kValueNameSize);
  std::vector<std::uint8_t> m_valueData = std::vector<std::uint8_t>(kInitialDataSize);
};

int CRegistryDump::DumpRegistry(const std::string& logPath, const std::string& configPath) {
  CLogFile file;
  if (const std::uint32_t opened = OpenLogFile(logPath, velkaro::LogOpenMode::kOpenExisting, file)) {
    m_detail = logPath + ": " + DescribeLogFileError(file);
    return opened == LOG_E_OPEN ? DUMP_E_OPEN : DUMP_E_REOPEN;
  }
  const CLogFileGuard guard(file);
  const int result = DumpInto(file, logPath, configPath);
  if (!m_walked) return result;
  if (CloseLogFile(file) != 0) {
    m_detail = logPath + ": " + DescribeLogFileError(file);
    return DUMP_E_CLOSE;
  }
  return result;
}

int CRegistryDump::DumpInto(CLogFile& file, const std::string& logPath, const std::string& configPath) {
  // Each store is looked at once for the whole dump, which then shows one
  // version of it: a look per value made a dump of 100,000 values cost
  // half a million system calls.
  const velkaro::RegReadScope oneLook;
  m_file = &file;
  m_logPath = logPath;
  int osCode = OS_UNKNOWN;
  std::uint32_t build = 0;
  if (!GetOsCode(osCode, build)) return DUMP_E_OS;
  if (!Write(logtext::kDumpHeading) ||
      !Write(std::string(OsNameText(osCode)) + logtext::kBuildNumber + std::to_string(build)) || !Write("")) {
    return WriteFailure();
  }

  const auto sections = velkaro::ReadRawProfileSections(configPath);
  if (!sections || sections->empty()) {
    m_detail = configPath + ": no sections can be read";
    return DUMP_E_CONFIG;
  }
  for (const velkaro::ProfileSectionKeys& section : *sections) {
    if (!SectionApplies(section.name, osCode)) continue;
    if (const int result = DumpSection(section)) return result;
  }
  m_walked = true;
  return m_storeFailed ? DUMP_E_REGISTRY : DUMP_SUCCESS;
}

int CRegistryDump::DumpSection(const velkaro::ProfileSectionKeys& section) {
  for (const std::string& entry : section.keys) {
    // The profile service hands the names out as one list that an empty
    // name ends.
    if (entry.empty()) break;
    std::string path = entry;
    if (!path.ends_with('\\')) path += '\\';

    OwnedKey current;
    std::string failed;
    std::string storeReason;  // the store itself failed, not the key
    bool opened = true;
    for (std::string_view rest = path; !rest.empty();) {
      const std::size_t slash = rest.find('\\');
      const std::string component(rest.substr(0, slash));
      rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
      if (component.empty()) continue;
      if (current) {
        HKEY next = nullptr;
        const LSTATUS status = RegOpenKeyEx(current.get(), component.c_str(), 0, KEY_READ, &next);
        if (status == ERROR_SUCCESS) {
          current.reset(next);
          continue;
        }
        storeReason = Note(status, entry);
      } else if (const HKEY root = RootKey(component)) {
        m_root = root;
        current.reset(root);
        continue;
      }
      failed = component;
      opened = false;
      break;
    }
    if (opened && !current) opened = false;  // no component at all

    if (!opened) {
      const std::string line = storeReason.empty()
                                   ? logtext::kUnableToOpenKey + failed + " in " + path
                                   : logtext::kStoreFailedAtKey + failed + " in " + path + ": " + storeReason;
      if (!Write(logtext::kSeparator) || !Write(line) ||
          !Write(logtext::kSeparator) || !Write("")) {
        return WriteFailure();
      }
      continue;
    }
    if (!Write(logtext::kSeparator)) return WriteFailure();
    if (const int result = DumpKey(current.get(), path)) return result;
  }
  return DUMP_SUCCESS;
}

int CRegistryDump::ReadValue(HKEY key, std::uint32_t index, std::uint32_t& nameLength, std::uint32_t& type,
                             std::uint32_t& size) {
  LSTATUS status = ERROR_MORE_DATA;
  for (int attempt = 0; attempt < kDataSizeAttempts && status == ERROR_MORE_DATA; ++attempt) {
    nameLength = static_cast<std::uint32_t>(m_valueName.size());
    size = static_cast<std::uint32_t>(m_valueData.size());
    status = RegEnumValue(key, index, m_valueName.data(), &nameLength, nullptr, &type, m_valueData.data(), &size);
    if (status == ERROR_MORE_DATA && size > m_valueData.size()) {
      try {
        m_valueData.resize(size);
      } catch (const std::bad_alloc&) {
        velkaro::OutputDebugString(logtext::kValueBufferFailed);
        return DUMP_E_WRITE;
      }
    }
  }
  return static_cast<int>(status);
}

int CRegistryDump::DumpKey(HKEY key, std::string& path) {
  if (!Write("[" + path + "]")) return WriteFailure();

  for (std::uint32_t index = 0;; ++index) {
    std::uint32_t nameLength = 0;
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    const int status = ReadValue(key, index, nameLength, type, size);
    if (status == DUMP_E_WRITE) return DUMP_E_WRITE;
    if (status == ERROR_NO_MORE_ITEMS) break;
    // A value that cannot be read leaves the key incomplete: ending the list
    // silently there would report a shortened dump as whole.
    if (status != ERROR_SUCCESS) return KeyFailure(status, path);

    const char* typeName = type < kTypeNames.size() ? kTypeNames[type] : "";
    if (!*typeName) velkaro::OutputDebugString(logtext::kUndefinedType);
    const std::string line = "\"" + std::string(m_valueName.data(), nameLength) + "\"=\"" +
                             DataText(type, std::span(m_valueData.data(), size)) + "\"  (" + typeName + ")";
    if (!Write(line)) return WriteFailure();
  }
  if (!Write("")) return WriteFailure();

  std::uint32_t subkeys = 0;
  if (const LSTATUS status = RegQueryInfoKey(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, nullptr, nullptr)) {
    return KeyFailure(status, path);
  }
  const std::size_t restore = path.size();
  for (std::uint32_t index = 0; index < subkeys; ++index) {
    std::array<char, kSubkeyNameSize> name{};
    std::uint32_t length = name.size();
    if (const LSTATUS status = RegEnumKeyEx(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr)) {
      return KeyFailure(status, path);
    }
    if (!path.ends_with('\\')) path += '\\';
    path.append(name.data(), length);
    HKEY subkey = nullptr;
    const LSTATUS opened = RegOpenKeyEx(key, name.data(), 0, KEY_READ, &subkey);
    int result = DUMP_SUCCESS;
    if (opened != ERROR_SUCCESS) {
      Note(opened, path);
      if (!Write(logtext::kAccessDenied) || !Write("[" + path + "]") || !Write(logtext::kAccessDenied)) {
        return WriteFailure();
      }
    } else {
      const OwnedKey owned(subkey);
      result = DumpKey(subkey, path);
    }
    path.resize(restore);
    // A log that cannot be written stops the dump: writing "access denied!"
    // and going on could end a truncated log as a success.
    if (result == DUMP_E_WRITE) return result;
    if (result != DUMP_SUCCESS && !Write(logtext::kAccessDenied)) return WriteFailure();
  }
  return DUMP_SUCCESS;
}

}  // namespace

int DumpRegistry(const std::string& logPath, const std::string& configPath, std::string* detail) {
  CRegistryDump dump;
  const int result = dump.DumpRegistry(logPath, configPath);
  if (detail) *detail = result == DUMP_SUCCESS ? std::string() : dump.Detail();
  return result;
}

int DumpRegistry(CLogFile& file, const std::string& logPath, const std::string& configPath, std::string* detail) {
  CRegistryDump dump;
  const int result = dump.DumpInto(file, logPath, configPath);
  if (detail) *detail = result == DUMP_SUCCESS ? std::string() : dump.Detail();
  return result;
}
