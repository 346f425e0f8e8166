#include "rfid/prox_settings_store.h"

#include "platform/store/registry.h"
#include "rfid/rfid_settings.h"

std::optional<std::size_t> ProxFormatRow(std::uint32_t value) {
  for (std::size_t i = 0; i < g_proxFormats.size(); ++i) {
    if (g_proxFormats[i].value == value) return i;
  }
  return std::nullopt;
}

std::uint32_t ReadProxFormat(std::string* why) {
  velkaro::ScopedHKey key;
  std::uint32_t disposition = 0;
  if (const LSTATUS open = key.Create(HKEY_LOCAL_MACHINE, kTessaroKey, KEY_ALL_ACCESS, &disposition)) {
    if (why != nullptr) {
      *why = SettingsStoreFailure().value_or("the key cannot be opened or created (error " + std::to_string(open) + ")");
    }
    return 0;
  }
  if (disposition == REG_CREATED_NEW_KEY) return 0;
  // Whatever its type; fewer than 4 bytes fill the low ones.
  std::uint32_t value = 0;
  const LSTATUS query = key.QueryNumber(kProxFormatValue, value);
  if (query == ERROR_SUCCESS) return value;
  if (why != nullptr && query != ERROR_FILE_NOT_FOUND) *why = SettingsStoreFailure().value_or("");
  return 0;
}

bool WriteProxFormat(std::uint32_t value, std::string* why) {
  velkaro::ScopedHKey key;
  if (const LSTATUS open = key.Open(HKEY_LOCAL_MACHINE, kTessaroKey, KEY_ALL_ACCESS)) {
    if (why != nullptr) {
      *why = SettingsStoreFailure().value_or(open == ERROR_FILE_NOT_FOUND ? "the key does not exist"
                                                                          : "the key cannot be opened (error " +
                                                                                std::to_string(open) + ")");
    }
    return false;
  }
  key.Reset();
  // Written as one locked change, which says why when the store refuses it.
  return WriteRegDword(kTessaroKey, kProxFormatValue, value, why);
}
