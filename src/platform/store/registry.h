#pragma once
// The settings store ("registry") with the Win32 subset of calls that the
// tool and the reader driver use. On Linux the keys live in files in the
// registry export text format:
//   machine store: /etc/velkaro/registry.reg (VELKARO_REGISTRY overrides it)
//   user store (HKEY_CURRENT_USER): $XDG_CONFIG_HOME/velkaro/user.reg
//     (default ~/.config/velkaro/user.reg; VELKARO_USER_REGISTRY overrides it)
// HKEY_PERFORMANCE_DATA and HKEY_DYN_DATA do not exist here: opening them fails.
//
// Names compare case-insensitively and keep their case. Subkeys enumerate in
// case-insensitive name order, values in the order they were first written.
// Every call answers a Win32 result code.
//
// Sizes, types and counts are std::uint32_t (the Win32 DWORD). The header
// deliberately defines no DWORD or BYTE of its own: pcsc-lite's headers define
// DWORD as unsigned long, and both may meet in one translation unit.

#include <cstdint>

using LSTATUS = long;
using REGSAM = std::uint32_t;
using HKEY = struct RegistryKeyHandle*;

struct FILETIME {
  std::uint32_t dwLowDateTime;
  std::uint32_t dwHighDateTime;
};

// Root keys, with the Windows handle values.
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000003u)))
#define HKEY_PERFORMANCE_DATA (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000004u)))
#define HKEY_CURRENT_CONFIG (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000005u)))
#define HKEY_DYN_DATA (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000006u)))

// Value types.
inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;
inline constexpr std::uint32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr std::uint32_t REG_LINK = 6;
inline constexpr std::uint32_t REG_MULTI_SZ = 7;
inline constexpr std::uint32_t REG_RESOURCE_LIST = 8;
inline constexpr std::uint32_t REG_QWORD = 11;

// Access rights.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Dispositions of RegCreateKeyEx.
inline constexpr std::uint32_t REG_CREATED_NEW_KEY = 1;
inline constexpr std::uint32_t REG_OPENED_EXISTING_KEY = 2;
inline constexpr std::uint32_t REG_OPTION_NON_VOLATILE = 0;

// Result codes.
inline constexpr LSTATUS ERROR_SUCCESS = 0;
inline constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
inline constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
inline constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
inline constexpr LSTATUS ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
inline constexpr LSTATUS ERROR_BAD_PATHNAME = 161;    // an empty, over-long or unprintable key name
inline constexpr LSTATUS ERROR_MORE_DATA = 234;
inline constexpr LSTATUS ERROR_NO_MORE_ITEMS = 259;
inline constexpr LSTATUS ERROR_BADDB = 1009;          // the store file cannot be parsed
inline constexpr LSTATUS ERROR_CANTREAD = 1012;       // the store file cannot be read
inline constexpr LSTATUS ERROR_CANTWRITE = 1013;      // the store file cannot be written
inline constexpr LSTATUS ERROR_KEY_DELETED = 1018;    // the handle's key was deleted meanwhile

// The calls, with the Win32 signatures (no A/W suffix; names are UTF-8).
LSTATUS RegOpenKeyEx(HKEY key, const char* subKey, std::uint32_t options, REGSAM access, HKEY* result);
LSTATUS RegCreateKeyEx(HKEY key, const char* subKey, std::uint32_t reserved, char* className, std::uint32_t options,
                       REGSAM access, void* security, HKEY* result, std::uint32_t* disposition);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegQueryValueEx(HKEY key, const char* valueName, std::uint32_t* reserved, std::uint32_t* type, std::uint8_t* data,
                        std::uint32_t* dataSize);
LSTATUS RegSetValueEx(HKEY key, const char* valueName, std::uint32_t reserved, std::uint32_t type, const std::uint8_t* data,
                      std::uint32_t dataSize);
LSTATUS RegDeleteValue(HKEY key, const char* valueName);
// Fails with ERROR_ACCESS_DENIED when the key has subkeys, as on Windows.
LSTATUS RegDeleteKey(HKEY key, const char* subKey);
// Deletes the subkey with all its subkeys and values; a null subKey empties
// `key` itself (its values and subkeys go, the key stays).
LSTATUS RegDeleteTree(HKEY key, const char* subKey);
LSTATUS RegEnumValue(HKEY key, std::uint32_t index, char* valueName, std::uint32_t* valueNameLength, std::uint32_t* reserved,
                     std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataSize);
LSTATUS RegEnumKeyEx(HKEY key, std::uint32_t index, char* name, std::uint32_t* nameLength, std::uint32_t* reserved, char* className,
                     std::uint32_t* classLength, FILETIME* lastWriteTime);
LSTATUS RegQueryInfoKey(HKEY key, char* className, std::uint32_t* classLength, std::uint32_t* reserved, std::uint32_t* subKeys,
                        std::uint32_t* maxSubKeyLength, std::uint32_t* maxClassLength, std::uint32_t* values, std::uint32_t* maxValueNameLength,
                        std::uint32_t* maxValueLength, std::uint32_t* securityDescriptorSize, FILETIME* lastWriteTime);

namespace velkaro {

// Owns an open key and closes it when it goes; predefined root keys are
// never closed.
class ScopedHKey {
 public:
  ScopedHKey() = default;
  explicit ScopedHKey(HKEY key) : m_key(key) {}
  ~ScopedHKey() { Reset(); }
  ScopedHKey(const ScopedHKey&) = delete;
  ScopedHKey& operator=(const ScopedHKey&) = delete;

  HKEY Get() const { return m_key; }
  // For the out parameter of RegOpenKeyEx/RegCreateKeyEx; closes a key held before.
  HKEY* Receive() {
    Reset();
    return &m_key;
  }
  void Reset() {
    if (m_key != nullptr) RegCloseKey(m_key);
    m_key = nullptr;
  }

 private:
  HKEY m_key = nullptr;
};

}  // namespace velkaro
