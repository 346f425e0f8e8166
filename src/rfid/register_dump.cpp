#include "rfid/register_dump.h"

#include <algorithm>

#include "platform/text.h"

namespace {

constexpr char kLineEnd[] = "\r\n";
constexpr std::size_t kPairsPerLine = 8;  // counted with the name, so six pairs fit

const char* GroupName(std::uint8_t type) {
  const auto* entry = std::find_if(g_aCardTypeNames.begin(), g_aCardTypeNames.end(),
                                   [type](const CardTypeName& e) { return e.type == type; });
  return entry == g_aCardTypeNames.end() ? nullptr : entry->name;
}

void AppendAntenna(std::string& text, const CAntennaBuffer& antenna) {
  const std::size_t width = RegisterNameWidth();
  const std::size_t length = std::min(antenna.length, antenna.data.size());
  std::size_t offset = 0;
  while (length - offset >= 2) {
    const char* name = GroupName(antenna.data[offset]);
    if (name == nullptr) return;
    const std::size_t count = antenna.data[offset + 1];
    if (count % 2 != 0 || count > length - offset - 2) return;
    std::string line = name;
    line.resize(std::max(width, line.size()), ' ');
    for (std::size_t pair = offset + 2; pair < offset + 2 + count; pair += 2) {
      const std::string piece = velkaro::Format(" [%02x] %02x", antenna.data[pair], antenna.data[pair + 1]);
      if (line.size() + piece.size() > kPairsPerLine * piece.size()) {
        text += line + kLineEnd;
        line.assign(width, ' ');
      }
      line += piece;
    }
    text += line + kLineEnd;
    offset += 2 + count;
  }
}

}  // namespace

std::string FormatDump(std::span<const CAntennaBuffer> antennas) {
  std::string text;
  for (std::size_t i = 0; i < antennas.size(); ++i) {
    text += velkaro::Format("Antenna %d", static_cast<int>(i + 1));
    text += std::string(kLineEnd) + kLineEnd;
    AppendAntenna(text, antennas[i]);
    text += kLineEnd;
  }
  return text;
}
