#pragma once
// How the vendor's driver turns a prox card's data frame into the ATR it
// reports. The frame is prox-bits long, right-aligned in prox-data; its bits
// are counted from 0 at the first (most significant) bit.
//
// | ProxFormat | name          | frame bits | site code bits | card number bits |
// |------------|---------------|------------|----------------|------------------|
// | 0          | Raw           | any        |                |                  |
// | 1          | Format A      | 26         | 1..8           | 9..24            |
// | 2          | Format B      | 35         | 2..13          | 14..33           |
// | 4          | Format C      | 37         | 1..16          | 17..35           |
// | 20         | Format D      | 34         | 1..16          | 17..32           |
// | 100        | Format E      | 40         | 1..14          | 15..38           |
// | 254        | Auto          | the first of A..E whose frame length fits, else raw |
// | 255        | Customer Mode | any        |                |                  |
//
// ATR: 3B 8n 80 01, n historical bytes, check byte (XOR of T0 up to the last
// historical byte). Historical bytes: raw: the data bytes; a named format:
// the format value, the site code (2 bytes) and the card number (4 bytes),
// most significant first; customer mode: FF and the data bytes. A frame whose
// length does not fit the chosen format is reported raw, and so is any
// unknown ProxFormat value.

#include <cstdint>

#include "scenario/hex_bytes.h"

namespace velkaro::sim {

inline constexpr std::uint32_t kProxRaw = 0;
inline constexpr std::uint32_t kProxAuto = 254;
inline constexpr std::uint32_t kProxCustomer = 255;

Bytes ProxAtr(unsigned frameBits, const Bytes& data, std::uint32_t proxFormat);

}  // namespace velkaro::sim
