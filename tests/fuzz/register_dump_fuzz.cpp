// libFuzzer target for the register dump formatter, with what a reader
// returns for each antenna (the length it claims may exceed the buffer).
// Beyond "does not crash": one "Antenna n" block per antenna, every line
// ended by CR LF and no longer than a name and six pairs, and exactly the
// pairs of the well-formed records before the first bad one, in order.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "platform/text.h"
#include "rfid/register_dump.h"

namespace {

bool KnownType(std::uint8_t type) {
  for (const CardTypeName& entry : g_aCardTypeNames) {
    if (entry.type == type) return true;
  }
  return false;
}

// The pairs the dump must show, as " [aa] vv" pieces: records are walked
// while a known type and an even length that fits the bytes read follow.
std::string ExpectedPairs(const CAntennaBuffer& antenna) {
  const std::size_t length = std::min(antenna.length, antenna.data.size());
  std::string pairs;
  std::size_t at = 0;
  while (at + 2 <= length && KnownType(antenna.data[at])) {
    const std::size_t count = antenna.data[at + 1];
    if (count % 2 != 0 || at + 2 + count > length) break;
    for (std::size_t i = at + 2; i < at + 2 + count; i += 2) {
      pairs += velkaro::Format(" [%02x] %02x", antenna.data[i], antenna.data[i + 1]);
    }
    at += 2 + count;
  }
  return pairs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<CAntennaBuffer> antennas(input.ConsumeIntegralInRange<std::size_t>(0, 4));
  for (CAntennaBuffer& antenna : antennas) {
    antenna.length = input.ConsumeIntegralInRange<std::size_t>(0, 2 * kAntennaBufferSize);
    const auto bytes = input.ConsumeBytes<std::uint8_t>(std::min(antenna.length, kAntennaBufferSize));
    std::copy(bytes.begin(), bytes.end(), antenna.data.begin());
  }
  const std::string dump = FormatDump(antennas);

  const std::size_t width = RegisterNameWidth();
  const std::size_t longest = width + 6 * std::string(" [00] 00").size();
  std::vector<std::string> blocks;  // the pairs of each antenna, in order
  std::size_t at = 0;
  while (at < dump.size()) {
    const std::size_t end = dump.find("\r\n", at);
    FUZZ_CHECK(end != std::string::npos);
    const std::string line = dump.substr(at, end - at);
    FUZZ_CHECK(line.size() <= longest && line.find('\r') == std::string::npos && line.find('\n') == std::string::npos);
    if (line.starts_with("Antenna ")) {
      FUZZ_CHECK(line == "Antenna " + std::to_string(blocks.size() + 1));
      blocks.emplace_back();
    } else if (!line.empty()) {
      FUZZ_CHECK(!blocks.empty() && line.size() >= width);
      // A record's first line starts with its group's name, the others with blanks.
      const std::string name = line.substr(0, width);
      bool known = name.find_first_not_of(' ') == std::string::npos;
      for (const CardTypeName& entry : g_aCardTypeNames) known = known || velkaro::TrimSpaces(name) == entry.name;
      // A record without pairs is its name alone.
      FUZZ_CHECK(known && (line.size() == width || line.compare(width, 2, " [") == 0));
      blocks.back() += line.substr(width);
    }
    at = end + 2;
  }
  FUZZ_CHECK(blocks.size() == antennas.size());
  for (std::size_t i = 0; i < antennas.size(); ++i) FUZZ_CHECK(blocks[i] == ExpectedPairs(antennas[i]));
  return 0;
}
