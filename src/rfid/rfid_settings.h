#pragma once
// Where and how the contactless reader driver keeps its settings: the
// settings store locations, the card-type tables, the rate codes with their
// stored forms, and the helpers through which the settings pages read and
// write them. The reader driver reads the same values, so names, types and
// encodings here are fixed.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Keys, all under HKEY_LOCAL_MACHINE.
inline constexpr char kTessaroKey[] = "SYSTEM\\CurrentControlSet\\Control\\Tessaro";
inline constexpr char kRfidKey[] = "SYSTEM\\CurrentControlSet\\Control\\Tessaro\\RFID";
inline constexpr char kRateKey[] = "SYSTEM\\CurrentControlSet\\Control\\Tessaro\\RFID\\MaximumBaudrates";
// The other maker's contactless reader driver keeps its one setting here.
inline constexpr char kAirSpeedKey[] = "SYSTEM\\CurrentControlSet\\Control\\QBX";

// Values.
inline constexpr char kCardSearchValue[] = "CardSearch";     // in kRfidKey, REG_BINARY
inline constexpr char kLegacyRateValue[] = "MaximumBaudrate"; // in kRfidKey, REG_BINARY
inline constexpr char kProxFormatValue[] = "ProxFormat";     // in kTessaroKey, REG_DWORD
inline constexpr char kAirSpeedValue[] = "AirSpeedMax";      // in kAirSpeedKey, REG_DWORD

// The card types; a keyword's card code is its position plus one. In the
// "CardSearch" bytes, 1..6 name these types in search order, 0 is an empty
// slot, and a byte above 6 is no card type but is kept where it stands.
inline constexpr std::size_t kCardTypeCount = 6;
inline constexpr std::array<const char*, kCardTypeCount> g_aszCardTypes = {
    "ISO14443A", "ZENTRA15693", "ISO14443B", "ISO15693", "STM14443B", "ICODE1",
};

// The ISO 14443 types with a maximum rate each; the position is the rate
// index, and the name is the per-type value's name under kRateKey.
inline constexpr std::size_t kIso14443TypeCount = 2;
inline constexpr std::array<const char*, kIso14443TypeCount> g_aszIso14443Types = {"ISO14443A", "ISO14443B"};

// Binary values are written at least this long, padded with zero bytes, and
// read only up to this size.
inline constexpr std::size_t kMinRegBinarySize = 5;
inline constexpr std::size_t kMaxRegBinarySize = 255;

// Rate codes as the pages show them: 0 default (no limit), 1 106 kbaud,
// 2 212, 3 424, 4 848. The per-type DWORD stores the code minus one as a
// byte (so the default is 255); the older binary value stores the code minus
// one, and the default as 0, the same as 106 kbaud.
inline constexpr std::uint32_t RateCodeToDword(std::uint8_t code) { return static_cast<std::uint8_t>(code - 1); }
inline constexpr std::uint8_t DwordToRateCode(std::uint32_t stored) { return static_cast<std::uint8_t>(stored + 1); }
inline constexpr std::uint8_t RateCodeToLegacyByte(std::uint8_t code) {
  return code > 0 ? static_cast<std::uint8_t>(code - 1) : 0;
}
inline constexpr std::uint8_t LegacyByteToRateCode(std::uint8_t stored) { return static_cast<std::uint8_t>(stored + 1); }

// The registry helpers. `key` is relative to HKEY_LOCAL_MACHINE; an empty
// key or value name answers false at once. Every key they open is closed
// before they return; they show nothing. On failure `why`, when given, says
// in words what failed: the store's own reason (the file and line of a
// damaged store, the process holding its lock, a refused file) where the
// store gave one.

// Opens the key, creating it when missing, and reads the value's bytes
// (of any type) into `bytes`, which must come empty. An absent value is
// true with no bytes; a value of 0 bytes is deleted (true, no bytes); one
// larger than 255 bytes is false.
bool ReadRegBinary(const std::string& key, const std::string& name, std::vector<std::uint8_t>& bytes,
                   std::string* why = nullptr);
// Writes the bytes as REG_BINARY into the existing key (false when it is
// missing; nothing is created), padded with zeros to at least 5 bytes. No
// bytes delete the value.
bool WriteRegBinary(const std::string& key, const std::string& name, std::span<const std::uint8_t> bytes,
                    std::string* why = nullptr);
// True when the value is gone afterwards: deleted, or there was no such
// value or key.
bool DeleteRegValue(const std::string& key, const std::string& name, std::string* why = nullptr);
// Opens the key, creating it when missing; true only for a REG_DWORD value.
bool ReadRegDword(const std::string& key, const std::string& name, std::uint32_t& value, std::string* why = nullptr);
// Writes a REG_DWORD, creating the key when missing.
bool WriteRegDword(const std::string& key, const std::string& name, std::uint32_t value, std::string* why = nullptr);

// Why the settings store cannot be read as a whole right now; nothing when
// it can. A page that failed to read a value asks, so that it can tell a
// store it cannot use from a value that is merely missing.
std::optional<std::string> SettingsStoreFailure();
