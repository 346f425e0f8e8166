// The register dump's layout: antenna blocks, the name column, six pairs to
// a line, and where a malformed answer ends an antenna.

#include "rfid/register_dump.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace {

CAntennaBuffer Antenna(std::initializer_list<std::uint8_t> bytes) {
  CAntennaBuffer buffer;
  std::copy(bytes.begin(), bytes.end(), buffer.data.begin());
  buffer.length = bytes.size();
  return buffer;
}

struct DumpCase {
  const char* name;
  std::vector<CAntennaBuffer> antennas;
  const char* text;
};

}  // namespace

TEST(RegisterDumpTest, LaysOutEachAntennaWithItsHeaderAndPairs) {
  const DumpCase cases[] = {
      {"two antennas, the second without records",
       {Antenna({0x80, 0x04, 0x00, 0x11, 0x01, 0x22, 0x82, 0x02, 0x10, 0x3f}), Antenna({})},
       "Antenna 1\r\n\r\nISO14443A [00] 11 [01] 22\r\nISO15693  [10] 3f\r\n\r\n"
       "Antenna 2\r\n\r\n\r\n"},
      {"seven pairs wrap after six, indented to the name width",
       {Antenna({0x81, 0x0E, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7})},
       "Antenna 1\r\n\r\nISO14443B [00] 01 [01] 02 [02] 03 [03] 04 [04] 05 [05] 06\r\n"
       "          [06] 07\r\n\r\n"},
      {"an odd length ends the antenna; records before it stay",
       {Antenna({0x83, 0x02, 0xAB, 0xCD, 0x80, 0x03, 1, 2, 3}), Antenna({0x80, 0x00})},
       "Antenna 1\r\n\r\nZentra    [ab] cd\r\n\r\nAntenna 2\r\n\r\nISO14443A\r\n\r\n"},
      {"an unknown type ends the antenna",
       {Antenna({0x90, 0x02, 0x01, 0x02, 0x80, 0x02, 0x01, 0x02})},
       "Antenna 1\r\n\r\n\r\n"},
      {"a record longer than the answer ends the antenna",
       {Antenna({0x82, 0x02, 0x01, 0x02, 0x80, 0x04, 0x01})},
       "Antenna 1\r\n\r\nISO15693  [01] 02\r\n\r\n"},
  };
  for (const DumpCase& c : cases) EXPECT_EQ(FormatDump(c.antennas), c.text) << c.name;
}

TEST(RegisterDumpTest, ALengthBeyondTheBufferIsCutToIt) {
  // A record without pairs, then 63 records of one pair, then the head of a
  // record whose pair would lie just past the buffer.
  CAntennaBuffer antenna;
  antenna.data[0] = 0x80;
  for (std::size_t i = 2; i < antenna.data.size(); i += 4) {
    antenna.data[i] = 0x80;
    antenna.data[i + 1] = 0x02;
  }
  antenna.length = 100000;  // a driver that claims more than it could return
  const std::string text = FormatDump(std::span(&antenna, 1));
  std::size_t records = 0;
  for (std::size_t at = text.find("ISO14443A"); at != std::string::npos; at = text.find("ISO14443A", at + 1)) ++records;
  EXPECT_EQ(records, 64u);
}
