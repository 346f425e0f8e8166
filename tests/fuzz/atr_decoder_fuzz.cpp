// libFuzzer target for the ATR decoder: the input is the ATR. It is decoded
// from a heap copy of exactly its size, so the address checker sees any read
// past it. The oracles: the entries lie in order, without overlap, and hold
// the input's bytes at their offsets; put back together in the order the
// ATR's grammar gives (TS, T0, each group's TA TB TC TD, the historical
// bytes, TCK), the fields rebuild the input up to where decoding stopped,
// each TD (and T0) announces exactly the group after it, and the summary's
// historical bytes and TCK verdict agree with the bytes; the hex text of the
// bytes, in every accepted form, reads back as the bytes.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "card/atr_breakdown.h"
#include "card/atr_decoder.h"
#include "card/byte_buffer.h"

namespace {

// "TB3" as (group 3, index 1); nothing for other fields.
bool InterfaceField(const std::string& field, int& group, int& index) {
  if (field.size() < 3 || field[0] != 'T' || field[1] < 'A' || field[1] > 'D') return false;
  group = 0;
  for (std::size_t i = 2; i < field.size(); ++i) {
    if (field[i] < '0' || field[i] > '9') return false;
    group = group * 10 + (field[i] - '0');
  }
  index = field[1] - 'A';
  return group >= 1;
}

std::span<const std::uint8_t>::iterator At(std::span<const std::uint8_t> atr, std::size_t offset) {
  return atr.begin() + static_cast<std::ptrdiff_t>(offset);
}

void CheckText(const std::vector<std::uint8_t>& atr) {
  const std::string spaced = HexText(atr);
  std::string colons = spaced, plain, lower;
  for (char& c : colons) c = c == ' ' ? ':' : c;
  for (const char c : spaced) {
    if (c != ' ') plain += c;
    lower += (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  for (const std::string& text : {spaced, colons, plain, lower}) {
    const AtrText parsed = ParseAtrText(text);
    if (atr.empty() || atr.size() > kMaxAtrLength) {
      FUZZ_CHECK(!parsed.error.empty() && parsed.bytes.empty());
    } else {
      FUZZ_CHECK_EQUAL(parsed.error, "");
      FUZZ_CHECK(parsed.bytes == atr);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
  std::copy(data, data + size, copy.get());
  const std::span<const std::uint8_t> atr(copy.get(), size);
  const AtrDecoding decoding = DecodeAtr(atr);
  const AtrSummary& s = decoding.summary;

  // In order, without overlap, each the input's bytes at its offset.
  std::size_t end = 0;
  for (const AtrEntry& entry : decoding.entries) {
    FUZZ_CHECK(entry.offset >= end);
    FUZZ_CHECK(entry.offset + entry.bytes.size() <= size);
    FUZZ_CHECK(std::equal(entry.bytes.begin(), entry.bytes.end(), At(atr, entry.offset)));
    FUZZ_CHECK(!entry.field.empty());
    for (const char c : entry.meaning) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    end = entry.offset + entry.bytes.size();
  }

  // The fields in the grammar's order.
  std::vector<std::uint8_t> rebuilt;
  const AtrEntry* ts = nullptr;
  const AtrEntry* t0 = nullptr;
  const AtrEntry* tck = nullptr;
  const AtrEntry* extra = nullptr;
  std::map<int, std::array<const AtrEntry*, 4>> groups;
  std::vector<const AtrEntry*> historical;
  for (const AtrEntry& entry : decoding.entries) {
    int group = 0, index = 0;
    if (entry.field == "TS") {
      ts = &entry;
    } else if (entry.field == "T0") {
      t0 = &entry;
    } else if (entry.field == "TCK") {
      tck = &entry;
    } else if (entry.field == "Extra") {
      extra = &entry;
    } else if (InterfaceField(entry.field, group, index)) {
      FUZZ_CHECK(entry.bytes.size() == 1);
      FUZZ_CHECK(!groups[group][static_cast<std::size_t>(index)]);
      groups[group][static_cast<std::size_t>(index)] = &entry;
    } else {
      FUZZ_CHECK(entry.offset >= s.historicalOffset);
      FUZZ_CHECK(entry.offset + entry.bytes.size() <= s.historicalOffset + s.historical.size());
      historical.push_back(&entry);
    }
  }
  if (size == 0) {
    FUZZ_CHECK(s.stop == AtrStop::Empty && decoding.entries.empty());
    CheckText({});
    return 0;
  }
  FUZZ_CHECK(ts && ts->offset == 0);
  rebuilt.insert(rebuilt.end(), ts->bytes.begin(), ts->bytes.end());
  FUZZ_CHECK((s.stop == AtrStop::BadTs) == (atr[0] != 0x3B && atr[0] != 0x3F));
  if (t0) rebuilt.push_back(t0->bytes.at(0));
  int announced = t0 ? t0->bytes[0] >> 4 : 0;
  for (int group = 1; groups.count(group); ++group) {
    const auto& fields = groups[group];
    int present = 0;
    for (std::size_t index = 0; index < 4; ++index) {
      if (!fields[index]) continue;
      present |= 1 << index;
      rebuilt.push_back(fields[index]->bytes[0]);
    }
    // A group cut short by the end of the input holds a first part of what was announced.
    const bool last = !groups.count(group + 1);
    if (last && s.stop == AtrStop::Truncated && historical.empty()) {
      FUZZ_CHECK((present & ~announced) == 0);
    } else {
      FUZZ_CHECK(present == announced);
    }
    announced = fields[3] ? fields[3]->bytes[0] >> 4 : 0;
  }
  // Nothing announced is left out unless the input ended first.
  if (s.stop != AtrStop::Truncated && s.stop != AtrStop::BadTs) FUZZ_CHECK(announced == 0);
  for (const AtrEntry* entry : historical) rebuilt.insert(rebuilt.end(), entry->bytes.begin(), entry->bytes.end());
  if (tck) rebuilt.push_back(tck->bytes.at(0));

  // Where decoding stopped: every byte but those past the ATR, or TS alone.
  std::size_t stopped = size;
  if (s.stop == AtrStop::BadTs) stopped = 1;
  if (extra) {
    FUZZ_CHECK(s.stop == AtrStop::TooLong && extra->offset == s.stopOffset);
    FUZZ_CHECK(extra->offset + extra->bytes.size() == size);
    stopped = extra->offset;
  }
  FUZZ_CHECK(rebuilt.size() == stopped);
  FUZZ_CHECK(std::equal(rebuilt.begin(), rebuilt.end(), atr.begin()));
  if (s.stop == AtrStop::Complete) FUZZ_CHECK(size <= kMaxAtrLength);

  if (s.stop != AtrStop::BadTs && t0) {
    const std::size_t k = t0->bytes[0] & 0x0F;
    FUZZ_CHECK(s.historicalAnnounced == k);
    FUZZ_CHECK(s.historical.size() <= k);
    FUZZ_CHECK(s.historicalOffset + s.historical.size() <= size);
    FUZZ_CHECK(std::equal(s.historical.begin(), s.historical.end(), At(atr, s.historicalOffset)));
  }
  FUZZ_CHECK(s.tckPresent == (tck != nullptr));
  if (tck) {
    std::uint8_t check = 0;
    for (std::size_t i = 1; i <= tck->offset; ++i) check ^= atr[i];
    FUZZ_CHECK(s.tckOk == (check == 0));
  }
  std::vector<std::uint8_t> bytes(atr.begin(), atr.end());
  CheckText(bytes);
  // The texts shown and printed stay on their lines.
  std::vector<std::string> texts{AtrOneLineSummary(s)};
  for (const AtrEntry& entry : decoding.entries) texts.push_back(AtrEntryLine(entry));
  for (std::string& line : AtrSummaryLines(s)) texts.push_back(std::move(line));
  for (const auto& protocol : {"T=0", "T=1", "T=CL"}) {
    for (std::string& line : CompareWithDriver(s, {protocol, "0x13"})) texts.push_back(std::move(line));
  }
  for (const std::string& text : texts) {
    for (const char c : text) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  }
  return 0;
}
