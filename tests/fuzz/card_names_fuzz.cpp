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

#include "card/byte_buffer.h"
#include "card/card_names.h"
#include "platform/text.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::vector<std::uint8_t> atr = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(1, 33));
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
    Check(names.MatchCardPattern(atrText) == expected);
    Check(names.CardNameFor(atrText) == expected);
  }
  // A pattern never matches a text of another length.
  const std::string other = names.MatchCardPattern(lookup);
  if (lookup.size() != pattern.size() && lookup.size() != otherPattern.size()) Check(other.empty());

  // An exact entry always wins over the patterns, even over one that matches.
  CardNameMap exact;
  exact[atrText] = exactName;
  const CCardNames withExact(exact, patterns);
  Check(withExact.HasExactEntry(atrText));
  if (!exactName.empty()) Check(withExact.CardNameFor(atrText) == exactName);
  std::string name;
  withExact.LookupCardName(velkaro::ToUpper(lookup), name);
  Check(name.empty() || name == exactName);
  return 0;
}
