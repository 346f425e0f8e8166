// libFuzzer target for the shared ATR list: its parser and its matcher. The
// input gives an ATR and, for each character of its text, how a list entry
// writes it (as is, in lower case, ".", a bracket set that holds it, or as
// part of a ".*" run). That entry must name the card, first in a list of its
// own and then ahead of arbitrary list text; with a literal character
// changed it must not. Whatever the list, a description is at most 255 bytes
// of text without control characters.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "card/atr_list.h"
#include "card/byte_buffer.h"

namespace {

constexpr char kDescription[] = "Constructed card";

void CheckDescription(const std::string& description) {
  FUZZ_CHECK(description.size() <= CAtrList::kMaxDescriptionLength);
  for (const char c : description) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
}

char LowerHex(char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto atr = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(1, 33));
  if (atr.empty()) return 0;  // the input ran out: an ATR has at least one byte
  const std::string atrText = HexText(atr);

  std::string line;
  bool literalDigit = false;
  std::size_t literalAt = std::string::npos;  // a kept hex digit, to change for the negative check
  bool anyRun = false;  // a ".*" may take the changed digit
  for (std::size_t i = 0; i < atrText.size(); ++i) {
    const char c = atrText[i];
    if (c == ' ') {
      line += ' ';
      continue;
    }
    switch (input.ConsumeIntegralInRange(0, 4)) {
      case 0:
      case 1:
        line += input.ConsumeBool() ? LowerHex(c) : c;
        literalDigit = true;
        if (literalAt == std::string::npos) literalAt = i;
        break;
      case 2: line += '.'; break;
      case 3: line += input.ConsumeBool() ? std::string("[") + c + "]" : std::string("[0-9A-F]"); break;
      default:
        if (!line.ends_with(".*")) line += ".*";
        anyRun = true;
    }
  }
  const bool endsInRun = line.ends_with(".*");
  const std::string entry = line + "\n\t" + kDescription + "\n";
  std::string rest = input.ConsumeRemainingBytesAsString();

  const auto alone = CAtrList::FromText(entry);
  // A pattern without a single digit would name every card: it is left out.
  FUZZ_CHECK(alone->Describe(atrText) == (literalDigit ? kDescription : ""));
  // A longer text matches only through a ".*" run, and surely through one at
  // the end, as long as it is still as long as an ATR can be.
  const std::string longer = alone->Describe(atrText + " 00");
  if (!anyRun) FUZZ_CHECK(longer.empty());
  if (endsInRun && literalDigit && atr.size() < 33) FUZZ_CHECK(longer == kDescription);
  if (literalAt != std::string::npos && !anyRun) {
    std::string changed = atrText;
    changed[literalAt] = changed[literalAt] == '0' ? '1' : '0';
    FUZZ_CHECK(alone->Describe(changed).empty());
  }

  // First in file order wins, whatever follows (but text with NUL bytes is
  // no list at all).
  const auto first = CAtrList::FromText(entry + "\n" + rest);
  if (literalDigit && rest.find('\0') == std::string::npos) FUZZ_CHECK(first->Describe(atrText) == kDescription);

  const auto arbitrary = CAtrList::FromText(rest);
  CheckDescription(arbitrary->Describe(atrText));
  for (std::size_t n = 1; n <= 33; n += 8) {
    CheckDescription(arbitrary->Describe(HexText(std::vector<std::uint8_t>(n, atr.front()))));
  }
  return 0;
}
