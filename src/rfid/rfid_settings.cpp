#include "rfid/rfid_settings.h"

#include "platform/store/registry.h"

namespace {

using velkaro::ScopedHKey;

LSTATUS OpenOrCreate(const std::string& key, ScopedHKey& handle) {
  return RegCreateKeyEx(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        handle.Receive(), nullptr);
}

LSTATUS OpenExisting(const std::string& key, ScopedHKey& handle) {
  return RegOpenKeyEx(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS, handle.Receive());
}

// A deletion succeeded when the value is gone, whether or not it was there.
bool Deleted(LSTATUS status) { return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND; }

}  // namespace

bool ReadRegBinary(const std::string& key, const std::string& name, std::vector<std::uint8_t>& bytes) {
  if (key.empty() || name.empty() || !bytes.empty()) return false;
  ScopedHKey handle;
  if (OpenOrCreate(key, handle) != ERROR_SUCCESS) return false;

  std::uint32_t size = 0;
  const LSTATUS query = RegQueryValueEx(handle.Get(), name.c_str(), nullptr, nullptr, nullptr, &size);
  // Only an absent value reads as no bytes; a store that cannot be read is a
  // failure, or the page would show (and later write) an empty setting.
  if (query == ERROR_FILE_NOT_FOUND) return true;
  if (query != ERROR_SUCCESS || size > kMaxRegBinarySize) return false;
  if (size == 0) {
    RegDeleteValue(handle.Get(), name.c_str());
    return true;
  }
  bytes.resize(size);
  if (RegQueryValueEx(handle.Get(), name.c_str(), nullptr, nullptr, bytes.data(), &size) != ERROR_SUCCESS) {
    bytes.clear();
    return false;
  }
  bytes.resize(size);  // the value may have shrunk between the two queries
  return true;
}

bool WriteRegBinary(const std::string& key, const std::string& name, std::span<const std::uint8_t> bytes) {
  if (key.empty() || name.empty()) return false;
  ScopedHKey handle;
  if (OpenExisting(key, handle) != ERROR_SUCCESS) return false;
  if (bytes.empty()) return Deleted(RegDeleteValue(handle.Get(), name.c_str()));
  std::vector<std::uint8_t> padded(bytes.begin(), bytes.end());
  if (padded.size() < kMinRegBinarySize) padded.resize(kMinRegBinarySize, 0);
  return RegSetValueEx(handle.Get(), name.c_str(), 0, REG_BINARY, padded.data(),
                       static_cast<std::uint32_t>(padded.size())) == ERROR_SUCCESS;
}

bool DeleteRegValue(const std::string& key, const std::string& name) {
  if (key.empty() || name.empty()) return false;
  ScopedHKey handle;
  const LSTATUS open = OpenExisting(key, handle);
  // A missing key holds no value; any other failure (no permission, a
  // damaged store) leaves the value where it was.
  if (open == ERROR_FILE_NOT_FOUND) return true;
  if (open != ERROR_SUCCESS) return false;
  return Deleted(RegDeleteValue(handle.Get(), name.c_str()));
}

bool ReadRegDword(const std::string& key, const std::string& name, std::uint32_t& value) {
  if (key.empty() || name.empty()) return false;
  ScopedHKey handle;
  if (OpenOrCreate(key, handle) != ERROR_SUCCESS) return false;
  std::uint8_t buffer[4] = {};
  std::uint32_t size = sizeof buffer;
  std::uint32_t type = REG_NONE;
  if (RegQueryValueEx(handle.Get(), name.c_str(), nullptr, &type, buffer, &size) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    return false;
  }
  value = buffer[0] | (buffer[1] << 8) | (buffer[2] << 16) | (static_cast<std::uint32_t>(buffer[3]) << 24);
  return true;
}

bool WriteRegDword(const std::string& key, const std::string& name, std::uint32_t value) {
  if (key.empty() || name.empty()) return false;
  ScopedHKey handle;
  if (OpenOrCreate(key, handle) != ERROR_SUCCESS) return false;
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  return RegSetValueEx(handle.Get(), name.c_str(), 0, REG_DWORD, bytes, sizeof bytes) == ERROR_SUCCESS;
}
