#include <optional>

#include "platform/store/registry.h"
#include "scenario/driver_settings.h"

namespace velkaro::sim {

namespace {

std::optional<std::uint32_t> Number(const Bytes& data) {
  if (data.empty() || data.size() > sizeof(std::uint32_t)) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = data.size(); i-- > 0;) value = value << 8 | data[i];  // little-endian
  return value;
}

// An open key of the machine store, closed by its owner; the driver only reads.
class ReadKey {
 public:
  explicit ReadKey(const char* path) {
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &m_key) != ERROR_SUCCESS) m_key = nullptr;
  }
  ~ReadKey() {
    if (m_key) RegCloseKey(m_key);
  }
  ReadKey(const ReadKey&) = delete;
  ReadKey& operator=(const ReadKey&) = delete;

  // The raw bytes of a value of any type; nothing when it is missing.
  std::optional<Bytes> Raw(const char* name, std::uint32_t* type = nullptr) const {
    if (!m_key) return std::nullopt;
    std::uint32_t valueType = 0;
    std::uint32_t size = 0;
    if (RegQueryValueEx(m_key, name, nullptr, &valueType, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
    Bytes data(size);
    if (size > 0 && RegQueryValueEx(m_key, name, nullptr, &valueType, data.data(), &size) != ERROR_SUCCESS)
      return std::nullopt;
    data.resize(size);
    if (type) *type = valueType;
    return data;
  }

  // A REG_DWORD value; a value of another type counts as missing, as it
  // does for the settings pages that write these values.
  std::optional<std::uint32_t> Dword(const char* name) const {
    std::uint32_t type = 0;
    const auto data = Raw(name, &type);
    if (!data || type != REG_DWORD) return std::nullopt;
    return Number(*data);
  }

  // A number of up to 4 bytes whatever its type, as the pages that write
  // the prox format and the air speed read them back.
  std::optional<std::uint32_t> AnyNumber(const char* name) const {
    const auto data = Raw(name);
    if (!data) return std::nullopt;
    return Number(*data);
  }

 private:
  HKEY m_key = nullptr;
};

}  // namespace

StoredSettings ReadStoredSettings() {
  StoredSettings stored;
  const ReadKey rfid(kRfidKey);
  stored.cardSearch = rfid.Raw(kCardSearchValue);
  stored.legacyRates = rfid.Raw(kLegacyRateValue);
  const ReadKey rates(kRateKey);
  stored.rateA = rates.Dword(kRateValueA);
  stored.rateB = rates.Dword(kRateValueB);
  stored.proxFormat = ReadKey(kDriverKey).AnyNumber(kProxFormatValue);
  stored.airSpeed = ReadKey(kAirSpeedKey).AnyNumber(kAirSpeedValue);
  return stored;
}

}  // namespace velkaro::sim
