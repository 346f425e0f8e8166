// libFuzzer target for the card-name lookup: the exact table and the wildcard
// patterns of the configuration. The oracle builds a pattern from an ATR the
// input gives, each byte kept, "??" or "!!", and works out the text the
// lookup must answer from the rules of the table ("!!" bytes carried into
// the text, a space between them and one after each); arbitrary patterns and
// ATR texts beside it must never crash nor change that answer's priority.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "card/byte_buffer.h"
#include "card/card_names.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::vector<std::uint8_t> atr = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(1, 33));
  if (atr.empty()) return 0;  // the input ran out: an ATR has at least one byte
  const std::string atrText = HexText(atr);

  std::string pattern;
  std::string capture;
  for (std::size_t i = 0; i < atr.size(); ++i) {
    if (i) pattern += ' ';
    const std::string byte = atrText.substr(3 * i, 2);
    switch (input.ConsumeIntegralInRange(0, 2)) {
      case 0: pattern += byte; break;
      case 1: pattern += "??"; break;
      default:
        pattern += "!!";
        if (!capture.empty()) capture += ' ';
        capture += byte + ' ';
    }
  }
  const std::string text = input.ConsumeRandomLengthString(64);
  std::string expected = text;
  if (const auto marker = expected.find("!!"); marker != std::string::npos) expected.replace(marker, 2, capture);

  const std::string otherPattern = velkaro::ToUpper(input.ConsumeRandomLengthString(120));
  const std::string otherText = input.ConsumeRandomLengthString(64);
  const std::string exactName = input.ConsumeRandomLengthString(32);
  const std::string lookup = input.ConsumeRandomLengthString(120);

  CardPatternMap patterns;
  patterns.Set(pattern, text);
  patterns.Set(otherPattern, otherText);
  const CCardNames names({}, patterns);
  // The first pattern in configuration order wins (unless the second entry
  // repeats it and so replaces its text); an empty result lets a later one
  // name the card.
  if (!expected.empty() && otherPattern != pattern) {
    FUZZ_CHECK(names.MatchCardPattern(atrText) == expected);
    FUZZ_CHECK(names.CardNameFor(atrText) == expected);
  }
  // A pattern never matches a text of another length.
  const std::string other = names.MatchCardPattern(lookup);
  if (lookup.size() != pattern.size() && lookup.size() != otherPattern.size()) FUZZ_CHECK(other.empty());

  // An exact entry always wins over the patterns, even over one that matches.
  CardNameMap exact;
  exact[atrText] = exactName;
  const CCardNames withExact(exact, patterns);
  FUZZ_CHECK(withExact.HasExactEntry(atrText));
  if (!exactName.empty()) FUZZ_CHECK(withExact.CardNameFor(atrText) == exactName);
  std::string name;
  withExact.LookupCardName(velkaro::ToUpper(lookup), name);
  FUZZ_CHECK(name.empty() || name == exactName);
  return 0;
}
