#include "rfid/rfid_settings.h"

#include "platform/store/registry.h"

namespace {

using velkaro::ScopedHKey;

// A deletion succeeded when the value is gone, whether or not it was there.
bool Deleted(LSTATUS status) { return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND; }

}  // namespace

bool ReadRegBinary(const std::string& key, const std::string& name, std::vector<std::uint8_t>& bytes) {
  if (key.empty() || name.empty() || !bytes.empty()) return false;
  ScopedHKey handle;
  if (handle.Create(HKEY_LOCAL_MACHINE, key.c_str(), KEY_ALL_ACCESS) != ERROR_SUCCESS) return false;

  std::vector<std::uint8_t> stored;
  const LSTATUS query = handle.QueryBytes(name.c_str(), stored);
  // Only an absent value reads as no bytes; a store that cannot be read is a
  // failure, or the page would show (and later write) an empty setting.
  if (query == ERROR_FILE_NOT_FOUND) return true;
  if (query != ERROR_SUCCESS || stored.size() > kMaxRegBinarySize) return false;
  if (stored.empty()) {
    RegDeleteValue(handle.Get(), name.c_str());
    return true;
  }
  bytes = std::move(stored);
  return true;
}

bool WriteRegBinary(const std::string& key, const std::string& name, std::span<const std::uint8_t> bytes) {
  if (key.empty() || name.empty()) return false;
  ScopedHKey handle;
  if (handle.Open(HKEY_LOCAL_MACHINE, key.c_str(), KEY_ALL_ACCESS) != ERROR_SUCCESS) return false;
  if (bytes.empty()) return Deleted(RegDeleteValue(handle.Get(), name.c_str()));
  std::vector<std::uint8_t> padded(bytes.begin(), bytes.end());
  if (padded.size() < kMinRegBinarySize) padded.resize(kMinRegBinarySize, 0);
  return RegSetValueEx(handle.Get(), name.c_str(), 0, REG_BINARY, padded.data(),
                       static_cast<std::uint32_t>(padded.size())) == ERROR_SUCCESS;
}

bool DeleteRegValue(const std::string& key, const std::string& name) {
  if (key.empty() || name.empty()) return false;
  ScopedHKey handle;
  const LSTATUS open = handle.Open(HKEY_LOCAL_MACHINE, key.c_str(), KEY_ALL_ACCESS);
  // A missing key holds no value; any other failure (no permission, a
  // damaged store) leaves the value where it was.
  if (open == ERROR_FILE_NOT_FOUND) return true;
  if (open != ERROR_SUCCESS) return false;
  return Deleted(RegDeleteValue(handle.Get(), name.c_str()));
}

bool ReadRegDword(const std::string& key, const std::string& name, std::uint32_t& value) {
  if (key.empty() || name.empty()) return false;
  ScopedHKey handle;
  return handle.Create(HKEY_LOCAL_MACHINE, key.c_str(), KEY_ALL_ACCESS) == ERROR_SUCCESS &&
         handle.QueryDword(name.c_str(), value) == ERROR_SUCCESS;
}

bool WriteRegDword(const std::string& key, const std::string& name, std::uint32_t value) {
  if (key.empty() || name.empty()) return false;
  ScopedHKey handle;
  if (handle.Create(HKEY_LOCAL_MACHINE, key.c_str(), KEY_ALL_ACCESS) != ERROR_SUCCESS) return false;
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  return RegSetValueEx(handle.Get(), name.c_str(), 0, REG_DWORD, bytes, sizeof bytes) == ERROR_SUCCESS;
}
