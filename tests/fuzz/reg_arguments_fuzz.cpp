// libFuzzer target for velkaro-reg's command-line operands: the data of
// "set" in each type's form, type names and numbers, and key paths. The
// program's own source is compiled in (its parsers are private to it), with
// its main renamed. Oracles, besides "does not crash":
// - numbers: a number is taken exactly when an independent reading finds a
//   decimal or 0x hex number within the type's width, and its bytes give it
//   back in the type's byte order;
// - hex bytes: one byte for two digits, and the bytes written as hex read
//   back the same;
// - multi-strings: an operand with an empty string before its last is
//   refused; otherwise a reader of the data (strings up to the first empty
//   one) sees every string of the operand, in order;
// - key paths: the path written back from the parts parses to the same parts;
// - every refusal says why.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzz_check.h"

int RegToolMain(int argc, char** argv);
#define main RegToolMain
#include "platform/store/reg_tool.cpp"
#undef main

namespace {

// The number of an operand as read without the tool's code; nothing for
// anything else or a number above `limit`.
std::optional<std::uint64_t> ReferenceNumber(std::string_view text, std::uint64_t limit) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  unsigned __int128 value = 0;
  for (const char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    else return std::nullopt;
    value = value * base + digit;
    if (value > limit) return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

void CheckNumber(std::uint32_t type, std::string_view text) {
  const bool quad = type == REG_QWORD;
  const std::uint64_t limit = quad ? ~0ull : 0xFFFFFFFFull;
  std::vector<std::uint8_t> data;
  std::string error;
  const bool parsed = ParseData(type, text, data, error);
  const auto expected = ReferenceNumber(text, limit);
  FUZZ_CHECK(parsed == expected.has_value());
  if (!parsed) {
    FUZZ_CHECK(!error.empty());
    return;
  }
  FUZZ_CHECK(data.size() == (quad ? 8u : 4u));
  std::uint64_t back = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::size_t at = type == REG_DWORD_BIG_ENDIAN ? i : data.size() - 1 - i;
    back = back << 8 | data[at];
  }
  FUZZ_CHECK(back == *expected);
}

void CheckHex(std::uint32_t type, std::string_view text) {
  std::vector<std::uint8_t> data;
  std::string error;
  if (!ParseData(type, text, data, error)) {
    FUZZ_CHECK(!error.empty());
    return;
  }
  std::size_t digits = 0;
  for (const char c : text) digits += std::isxdigit(static_cast<unsigned char>(c)) != 0;
  FUZZ_CHECK(data.size() * 2 == digits && data.size() <= kMaxValueSize);
  std::string written;
  for (const std::uint8_t byte : data) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02x ", byte);
    written += pair;
  }
  std::vector<std::uint8_t> again;
  FUZZ_CHECK(ParseData(type, written, again, error) && again == data);
}

void CheckMultiString(std::string_view text) {
  // The operand's strings; an empty one before the last would end a
  // reader's list, and is refused.
  std::vector<std::string> given;
  bool emptyInside = false;
  for (std::size_t start = 0;;) {
    const std::size_t separator = text.find("\\0", start);
    const std::string_view piece = text.substr(start, separator - start);
    if (separator == std::string_view::npos) {
      if (!piece.empty()) given.emplace_back(piece);
      break;
    }
    if (piece.empty()) emptyInside = true;
    given.emplace_back(piece);
    start = separator + 2;
  }
  std::vector<std::uint8_t> data;
  std::string error;
  if (!ParseData(REG_MULTI_SZ, text, data, error)) {
    FUZZ_CHECK(!error.empty() && (emptyInside || text.size() + 2 > kMaxValueSize));
    return;
  }
  FUZZ_CHECK(!emptyInside);
  FUZZ_CHECK(!data.empty() && data.back() == 0);
  std::vector<std::string> read;
  for (std::size_t at = 0; at < data.size() && data[at] != 0;) {
    const std::size_t end = std::find(data.begin() + static_cast<std::ptrdiff_t>(at), data.end(), 0) - data.begin();
    read.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at), data.begin() + static_cast<std::ptrdiff_t>(end));
    at = end + 1;
  }
  std::string givenText, readText;
  for (const auto& s : given) givenText += s + "|";
  for (const auto& s : read) readText += s + "|";
  FUZZ_CHECK_EQUAL(readText, givenText);
}

void CheckKeyPath(std::string_view text) {
  KeyPath key;
  std::string error;
  if (!ParseKeyPath(text, key, error)) {
    FUZZ_CHECK(!error.empty());
    return;
  }
  std::string written = key.root->name;
  for (const std::string& part : key.parts) written += '\\' + part;
  KeyPath again;
  FUZZ_CHECK(ParseKeyPath(written, again, error) && again.root == key.root && again.parts == key.parts);
}

}  // namespace

// The first byte picks the operand's kind; the rest is the operand, up to a
// zero byte as on a command line.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  text = text.substr(0, text.find('\0'));
  switch (data[0] % 8) {
    case 0: CheckNumber(REG_DWORD, text); break;
    case 1: CheckNumber(REG_DWORD_BIG_ENDIAN, text); break;
    case 2: CheckNumber(REG_QWORD, text); break;
    case 3: CheckHex(REG_BINARY, text); break;
    case 4: CheckHex(data[0] >> 3 == 0 ? REG_NONE : REG_QWORD + (data[0] >> 3), text); break;  // type numbers
    case 5: CheckMultiString(text); break;
    case 6: CheckKeyPath(text); break;
    default: {
      // A type given as a number is that number.
      std::uint32_t type = 0;
      if (const auto number = ReferenceNumber(text, 0xFFFFFFFFu)) FUZZ_CHECK(ParseType(text, type) && type == *number);
      std::vector<std::uint8_t> bytes;
      std::string error;
      if (ParseData(REG_SZ, text, bytes, error)) {
        FUZZ_CHECK(bytes.size() == text.size() + 1 && std::string_view(reinterpret_cast<const char*>(bytes.data()), text.size()) == text);
      }
      break;
    }
  }
  return 0;
}
