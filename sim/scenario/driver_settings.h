#pragma once
// The reader driver's settings as the settings store holds them, and the
// rules by which the simulated driver turns them into limits:
//
// - "CardSearch" (binary, RFID key): bytes 1..6 are card codes in search
//   order; other bytes are skipped. Without the value the driver searches for
//   every contactless type in code order; with a value that names no code it
//   searches for none, so no contactless card is detected.
// - "ISO14443A" / "ISO14443B" (DWORD, RFID\MaximumBaudrates): 0..3 cap the
//   rate index (106, 212, 424, 848 kbps) of ISO 14443 type A / type B cards
//   (STM14443B counts as type B); 255 or any other value means no limit.
//   Without the value, byte 0 / byte 1 of the older binary "MaximumBaudrate"
//   (RFID key) stands in: 1..3 cap, 0 means no limit (it stands for both
//   "default" and 106 kbps there, and the settings page writes it for default).
// - "ProxFormat" (the driver's key): how a prox card's data becomes its ATR
//   (prox_format.h); missing or unknown values decode raw.
// - "AirSpeedMax" (the other maker's key): 1, 2, 4, 8 cap the rates of that
//   maker's readers at 106, 212, 424, 848 kbps; missing means 8; other values
//   mean no limit.
// The rate values count only as REG_DWORD; ProxFormat and AirSpeedMax are
// read as numbers of up to 4 bytes whatever their type. A store that cannot
// be read counts as one without values.
// The vendor's readers follow the first three, the other maker's reader only
// the last.
// The key paths and value names below are the driver's own copy, on purpose:
// the simulated driver stands for the vendor's, which does not share the
// tool's headers. tests/sim/driver_agreement_test.cpp proves they agree.

#include <cstdint>
#include <optional>

#include "scenario/hex_bytes.h"

namespace velkaro::sim {

inline constexpr char kRfidKey[] = "SYSTEM\\CurrentControlSet\\Control\\Tessaro\\RFID";
inline constexpr char kRateKey[] = "SYSTEM\\CurrentControlSet\\Control\\Tessaro\\RFID\\MaximumBaudrates";
inline constexpr char kDriverKey[] = "SYSTEM\\CurrentControlSet\\Control\\Tessaro";
inline constexpr char kAirSpeedKey[] = "SYSTEM\\CurrentControlSet\\Control\\QBX";
inline constexpr char kCardSearchValue[] = "CardSearch";
inline constexpr char kLegacyRateValue[] = "MaximumBaudrate";
inline constexpr char kRateValueA[] = "ISO14443A";
inline constexpr char kRateValueB[] = "ISO14443B";
inline constexpr char kProxFormatValue[] = "ProxFormat";
inline constexpr char kAirSpeedValue[] = "AirSpeedMax";

// The values as stored; nothing where the store has none.
struct StoredSettings {
  std::optional<Bytes> cardSearch;
  std::optional<Bytes> legacyRates;
  std::optional<std::uint32_t> rateA;
  std::optional<std::uint32_t> rateB;
  std::optional<std::uint32_t> proxFormat;
  std::optional<std::uint32_t> airSpeed;
};

// What the driver applies.
struct DriverSettings {
  std::optional<Bytes> cardSearch;        // nothing: search every type in code order
  std::optional<std::uint8_t> maxRateA;   // rate index cap; nothing: no limit
  std::optional<std::uint8_t> maxRateB;
  std::uint32_t proxFormat = 0;
  std::optional<std::uint8_t> airSpeedCap;
};

DriverSettings ApplySettingRules(const StoredSettings& stored);

// Reads the machine store (VELKARO_REGISTRY, default /etc/velkaro/registry.reg).
StoredSettings ReadStoredSettings();

}  // namespace velkaro::sim
