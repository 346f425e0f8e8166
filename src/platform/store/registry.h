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
// Every call answers a Win32 result code (registry_types.h).

#include <cstdint>
#include <string>
#include <vector>

#include "platform/store/registry_types.h"

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
// never closed. It is the one place that reads values: the tool's pages and
// checks, and the simulated reader driver, read through it.
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

  // RegOpenKeyEx and RegCreateKeyEx (a non-volatile key without class)
  // into this owner.
  LSTATUS Open(HKEY parent, const char* subKey, REGSAM access);
  LSTATUS Create(HKEY parent, const char* subKey, REGSAM access, std::uint32_t* disposition = nullptr);

  // The readers answer the call's result; ERROR_INVALID_HANDLE while no key
  // is held. A value's bytes, of any type:
  LSTATUS QueryBytes(const char* name, std::vector<std::uint8_t>& data, std::uint32_t* type = nullptr) const;
  // A REG_DWORD of 1 to 4 bytes, least significant first; any other type or
  // size is ERROR_UNSUPPORTED_TYPE.
  LSTATUS QueryDword(const char* name, std::uint32_t& value) const;
  // The same for a value of any type, for numbers whose type is not checked.
  LSTATUS QueryNumber(const char* name, std::uint32_t& value) const;
  // A value of any type as text, up to its first zero byte.
  LSTATUS QueryString(const char* name, std::string& text) const;

 private:
  LSTATUS QueryNumberOfType(const char* name, std::uint32_t& value, std::uint32_t& type) const;

  HKEY m_key = nullptr;
};

}  // namespace velkaro
