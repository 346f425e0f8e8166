#pragma once
// Byte runs as the scenario files and the command line write them: pairs of
// hexadecimal digits, separated by spaces or colons or not at all.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro::sim {

using Bytes = std::vector<std::uint8_t>;

// Nothing when a digit is not hexadecimal or a byte has only one digit.
std::optional<Bytes> ParseHexBytes(std::string_view text);

// Upper-case pairs separated by single spaces: "3B 8F 80".
std::string FormatHexBytes(std::span<const std::uint8_t> bytes);

}  // namespace velkaro::sim
