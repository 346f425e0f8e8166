#include "rfid/prox_settings_store.h"

#include <array>

#include "platform/store/registry.h"
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
  if (key.Create(HKEY_LOCAL_MACHINE, kTessaroKey, KEY_ALL_ACCESS, &disposition) != ERROR_SUCCESS ||
      disposition == REG_CREATED_NEW_KEY) {
    return 0;
  }
  // Whatever its type; fewer than 4 bytes fill the low ones.
  std::uint32_t value = 0;
  return key.QueryNumber(kProxFormatValue, value) == ERROR_SUCCESS ? value : 0;
}

bool WriteProxFormat(std::uint32_t value) {
  velkaro::ScopedHKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, kTessaroKey, KEY_ALL_ACCESS) != ERROR_SUCCESS) return false;
  const std::array<std::uint8_t, 4> data = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                            static_cast<std::uint8_t>(value >> 16),
                                            static_cast<std::uint8_t>(value >> 24)};
  return RegSetValueEx(key.Get(), kProxFormatValue, 0, REG_DWORD, data.data(), data.size()) == ERROR_SUCCESS;
}
