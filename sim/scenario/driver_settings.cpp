#include "scenario/driver_settings.h"

#include "scenario/sim_constants.h"

namespace velkaro::sim {

namespace {

constexpr std::uint32_t kRateDefault = 255;

std::optional<std::uint8_t> RateCap(const std::optional<std::uint32_t>& perType, const std::optional<Bytes>& legacy,
                                    std::size_t legacyIndex) {
  if (perType) {
    if (*perType <= kHighestRate) return static_cast<std::uint8_t>(*perType);
    return std::nullopt;  // 255 (default) and anything unknown
  }
  if (legacy && legacy->size() > legacyIndex) {
    const std::uint8_t stored = (*legacy)[legacyIndex];
    if (stored >= 1 && stored <= kHighestRate) return stored;
  }
  return std::nullopt;
}

std::optional<std::uint8_t> AirSpeedCap(const std::optional<std::uint32_t>& stored) {
  switch (stored.value_or(8)) {
    case 1: return 0;
    case 2: return 1;
    case 4: return 2;
    case 8: return 3;
    default: return std::nullopt;
  }
}

}  // namespace

DriverSettings ApplySettingRules(const StoredSettings& stored) {
  static_assert(kRateDefault > kHighestRate);
  DriverSettings settings;
  settings.cardSearch = stored.cardSearch;
  settings.maxRateA = RateCap(stored.rateA, stored.legacyRates, 0);
  settings.maxRateB = RateCap(stored.rateB, stored.legacyRates, 1);
  settings.proxFormat = stored.proxFormat.value_or(0);
  settings.airSpeedCap = AirSpeedCap(stored.airSpeed);
  return settings;
}

}  // namespace velkaro::sim
