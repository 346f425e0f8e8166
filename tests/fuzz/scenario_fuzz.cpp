// libFuzzer target for the simulated driver's scenario files: the parser the
// driver and velkaro-sim share, and the editor that velkaro-sim writes them
// with. Oracles:
// - the parser and the editor's view of the same text agree;
// - the editor's text (line ends made LF) parses to the same reader;
// - an edit that sets a fact to the value it has changes nothing else;
// - an accepted file has no error and a rejected one names a line for each.

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "scenario/hex_bytes.h"
#include "scenario/scenario.h"
#include "scenario/scenario_document.h"

namespace {

using velkaro::sim::FormatHexBytes;
using velkaro::sim::ParsedScenario;

// Everything the driver answers from, without the line numbers an edit shifts.
std::string Summary(const ParsedScenario& parsed) {
  std::ostringstream out;
  for (const auto& error : parsed.errors) out << "error " << error.line << ' ' << error.message << '\n';
  if (!parsed.scenario) return out.str();
  const auto& reader = parsed.scenario->reader;
  out << reader.name << '|' << reader.firmware << '|' << reader.library << '|' << reader.serial << '|'
      << reader.channel << '|' << reader.slots << '|' << reader.plugged << '|'
      << (reader.antennaCount ? static_cast<long>(*reader.antennaCount) : -1L) << '\n';
  for (const auto& id : reader.failing) out << "fail " << id << '\n';
  for (const auto& id : reader.shortened) out << "short " << id << '\n';
  for (const auto& antenna : reader.antennas) out << "antenna " << FormatHexBytes(antenna) << '\n';
  for (const auto& card : parsed.scenario->cards) {
    out << "card " << card.slot << '|' << static_cast<int>(card.type) << '|' << FormatHexBytes(card.atr) << '|'
        << static_cast<int>(card.protocol) << '|' << card.clock << '|' << card.voltage << '|' << card.ta1 << '|'
        << static_cast<int>(card.kind) << '|' << static_cast<int>(card.receiveRate) << '|'
        << static_cast<int>(card.sendRate) << '|' << FormatHexBytes(card.uid) << '|' << card.mute << '|'
        << card.present << '|' << card.proxBits << '|' << FormatHexBytes(card.proxData) << '|' << card.label << '\n';
    for (const auto& rule : card.apdus) out << FormatHexBytes(rule.prefix) << "=>" << FormatHexBytes(rule.response) << '\n';
  }
  return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ParsedScenario parsed = velkaro::sim::ParseScenario(text);
  FUZZ_CHECK(parsed.scenario.has_value() == parsed.errors.empty());
  for (const auto& error : parsed.errors) FUZZ_CHECK(!error.message.empty() && error.line >= 0);

  velkaro::sim::ScenarioDocument document(text);
  const std::string summary = Summary(parsed);
  FUZZ_CHECK_EQUAL(Summary(document.Parse()), summary);
  const std::string written = document.Text();
  FUZZ_CHECK_EQUAL(Summary(velkaro::sim::ParseScenario(written)), summary);
  if (!parsed.scenario) return 0;

  // The fact's line is rewritten (or added) with the value it already has.
  const auto& scenario = *parsed.scenario;
  document.SetReaderFact("firmware", std::to_string(scenario.reader.firmware));
  if (!scenario.cards.empty()) document.SetCardFact(0, "clock", std::to_string(scenario.cards.front().clock));
  FUZZ_CHECK_EQUAL(Summary(document.Parse()), Summary(ParsedScenario{scenario, {}}));
  return 0;
}
