#include <optional>

#include "platform/store/registry.h"
#include "scenario/driver_settings.h"

namespace velkaro::sim {

namespace {

// The driver reads the machine store through the tool's key owner, as the
// vendor's driver reads the same values through the system's registry calls.
class DriverKey {
 public:
  explicit DriverKey(const char* path) { m_key.Open(HKEY_LOCAL_MACHINE, path, KEY_READ); }

  // The raw bytes of a value of any type; nothing when it is missing.
  std::optional<Bytes> Raw(const char* name) const {
    Bytes data;
    if (m_key.QueryBytes(name, data) != ERROR_SUCCESS) return std::nullopt;
    return data;
  }

  // A REG_DWORD value; a value of another type counts as missing, as it
  // does for the settings pages that write these values.
  std::optional<std::uint32_t> Dword(const char* name) const {
    std::uint32_t value = 0;
    if (m_key.QueryDword(name, value) != ERROR_SUCCESS) return std::nullopt;
    return value;
  }

  // A number of up to 4 bytes whatever its type, as the pages that write
  // the prox format and the air speed read them back.
  std::optional<std::uint32_t> AnyNumber(const char* name) const {
    std::uint32_t value = 0;
    if (m_key.QueryNumber(name, value) != ERROR_SUCCESS) return std::nullopt;
    return value;
  }

 private:
  ScopedHKey m_key;
};

}  // namespace

StoredSettings ReadStoredSettings() {
  StoredSettings stored;
  const DriverKey rfid(kRfidKey);
  stored.cardSearch = rfid.Raw(kCardSearchValue);
  stored.legacyRates = rfid.Raw(kLegacyRateValue);
  const DriverKey rates(kRateKey);
  stored.rateA = rates.Dword(kRateValueA);
  stored.rateB = rates.Dword(kRateValueB);
  stored.proxFormat = DriverKey(kDriverKey).AnyNumber(kProxFormatValue);
  stored.airSpeed = DriverKey(kAirSpeedKey).AnyNumber(kAirSpeedValue);
  return stored;
}

}  // namespace velkaro::sim
