#pragma once
// The proximity card format the reader driver applies: the table of formats
// with their radio buttons, and the stored "ProxFormat" value.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

struct ProxFormat {
  std::uint32_t value;
  const char* label;
  unsigned controlId;
};

inline constexpr std::array<ProxFormat, 8> g_proxFormats = {{
    {0, "Raw", 1050},
    {1, "Format A", 1051},
    {2, "Format B", 1052},
    {4, "Format C", 1053},
    {20, "Format D", 1054},
    {100, "Format E", 1055},
    {254, "Auto", 1056},
    {255, "Customer Mode", 1091},
}};
inline constexpr std::uint32_t kProxFormatAuto = 254;

// The table row of a stored value; nothing for a value the table lacks.
std::optional<std::size_t> ProxFormatRow(std::uint32_t value);

// The stored format, creating the key when it is missing; 0 (raw) for a new
// key, a missing value, one longer than 4 bytes or any failure. A value
// shorter than 4 bytes fills the low bytes. `why`, when given, is set only
// when the store itself could not be read, so that the 0 means nothing.
std::uint32_t ReadProxFormat(std::string* why = nullptr);
// Stores the format as a REG_DWORD in the existing key; false on failure,
// with the reason in `why`.
bool WriteProxFormat(std::uint32_t value, std::string* why = nullptr);
