#include "rfid/prox_settings_store.h"

#include <array>

#include "platform/registry.h"
#include "rfid/rfid_settings.h"

std::optional<std::size_t> ProxFormatRow(std::uint32_t value) {
  for (std::size_t i = 0; i < g_proxFormats.size(); ++i) {
    if (g_proxFormats[i].value == value) return i;
  }
  return std::nullopt;
}

std::uint32_t ReadProxFormat() {
  velkaro::ScopedHKey key;
  std::uint32_t disposition = 0;
  if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, kTessaroKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                     key.Receive(), &disposition) != ERROR_SUCCESS ||
      disposition == REG_CREATED_NEW_KEY) {
    return 0;
  }
  std::array<std::uint8_t, 4> data{};
  std::uint32_t size = data.size();
  if (RegQueryValueEx(key.Get(), kProxFormatValue, nullptr, nullptr, data.data(), &size) != ERROR_SUCCESS) return 0;
  return data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
}

bool WriteProxFormat(std::uint32_t value) {
  velkaro::ScopedHKey key;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kTessaroKey, 0, KEY_ALL_ACCESS, key.Receive()) != ERROR_SUCCESS) return false;
  const std::array<std::uint8_t, 4> data = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                            static_cast<std::uint8_t>(value >> 16),
                                            static_cast<std::uint8_t>(value >> 24)};
  return RegSetValueEx(key.Get(), kProxFormatValue, 0, REG_DWORD, data.data(), data.size()) == ERROR_SUCCESS;
}
