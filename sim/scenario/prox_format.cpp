#include "scenario/prox_format.h"

#include <array>

namespace velkaro::sim {

namespace {

struct ProxLayout {
  std::uint32_t value;
  unsigned frameBits;
  unsigned siteFirst, siteCount;
  unsigned numberFirst, numberCount;
};

constexpr std::array<ProxLayout, 5> kLayouts = {{
    {1, 26, 1, 8, 9, 16},
    {2, 35, 2, 12, 14, 20},
    {4, 37, 1, 16, 17, 19},
    {20, 34, 1, 16, 17, 16},
    {100, 40, 1, 14, 15, 24},
}};

// Bits [first, first + count) of the frame, the frame right-aligned in data.
std::uint64_t Field(const Bytes& data, unsigned frameBits, unsigned first, unsigned count) {
  const unsigned skip = static_cast<unsigned>(data.size() * 8) - frameBits;
  std::uint64_t value = 0;
  for (unsigned i = 0; i < count; ++i) {
    const unsigned bit = skip + first + i;
    value = value << 1 | ((data[bit / 8] >> (7 - bit % 8)) & 1u);
  }
  return value;
}

const ProxLayout* ChooseLayout(unsigned frameBits, std::uint32_t proxFormat) {
  for (const ProxLayout& layout : kLayouts) {
    if (proxFormat == kProxAuto && layout.frameBits == frameBits) return &layout;
    if (proxFormat == layout.value) return layout.frameBits == frameBits ? &layout : nullptr;
  }
  return nullptr;
}

Bytes WithHistoricalBytes(const Bytes& historical) {
  Bytes atr = {0x3B, static_cast<std::uint8_t>(0x80 | historical.size()), 0x80, 0x01};
  atr.insert(atr.end(), historical.begin(), historical.end());
  std::uint8_t tck = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  atr.push_back(tck);
  return atr;
}

}  // namespace

Bytes ProxAtr(unsigned frameBits, const Bytes& data, std::uint32_t proxFormat) {
  if (proxFormat == kProxCustomer && data.size() < 15) {
    Bytes historical = {0xFF};
    historical.insert(historical.end(), data.begin(), data.end());
    return WithHistoricalBytes(historical);
  }
  if (const ProxLayout* layout = ChooseLayout(frameBits, proxFormat)) {
    const std::uint64_t site = Field(data, frameBits, layout->siteFirst, layout->siteCount);
    const std::uint64_t number = Field(data, frameBits, layout->numberFirst, layout->numberCount);
    return WithHistoricalBytes({static_cast<std::uint8_t>(layout->value), static_cast<std::uint8_t>(site >> 8),
                                static_cast<std::uint8_t>(site), static_cast<std::uint8_t>(number >> 24),
                                static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 8),
                                static_cast<std::uint8_t>(number)});
  }
  return WithHistoricalBytes(data);
}

}  // namespace velkaro::sim
