#pragma once
// One simulated reader as its scenario file describes it: the reader's own
// facts and the cards in its slots. The file format is documented in
// sim/README.md; ParseScenario checks every line and names each problem with
// its line number, so that a bad edit never reaches the driver.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "scenario/card_types.h"
#include "scenario/hex_bytes.h"
#include "scenario/scenario_lines.h"

namespace velkaro::sim {

enum class Protocol : std::uint8_t { Any, T0, T1 };

// An APDU whose command starts with `prefix` gets `response` (status word included).
struct ApduRule {
  Bytes prefix;
  Bytes response;
};

struct CardFacts {
  int line = 0;  // line of its section header
  unsigned slot = 0;
  CardType type = CardType::Contact;
  Bytes atr;  // empty for a prox card: its ATR comes from the data and the prox format
  Protocol protocol = Protocol::Any;
  std::uint32_t clock = 0;    // Hz
  std::uint32_t voltage = 0;  // class: 1, 2, 4
  std::uint32_t ta1 = 0;
  std::uint8_t kind = 0;
  std::uint8_t receiveRate = 0;  // card to reader
  std::uint8_t sendRate = 0;     // reader to card
  Bytes uid;
  bool mute = false;
  bool present = true;
  unsigned proxBits = 0;
  Bytes proxData;
  std::vector<ApduRule> apdus;
  std::string label;
};

struct ReaderFacts {
  std::string name;
  std::uint32_t firmware = 100;  // version x 100
  std::uint32_t library = 100;   // version x 100
  std::string serial;
  std::uint32_t channel = 0x00200000;  // USB
  unsigned slots = 1;
  bool plugged = true;
  std::set<std::string> failing;  // canonical ids: "3042", "3105:FA", "serial", "channel"
  std::set<std::string> shortened;  // 4-byte answers cut to 2 bytes: "3001", "3041", ...
  std::set<std::string> slowed;     // answers that come only after delayMs: canonical ids as for failing
  unsigned delayMs = 0;
  std::vector<Bytes> antennas;    // register records of each antenna
  std::optional<unsigned> antennaCount;  // answered to the count query instead of antennas.size()
};

struct Scenario {
  ReaderFacts reader;
  std::vector<CardFacts> cards;

  bool Fails(std::string_view id) const { return reader.failing.count(std::string(id)) != 0; }
  bool Shortens(std::string_view id) const { return reader.shortened.count(std::string(id)) != 0; }
  // How long the answer `id` takes, in milliseconds.
  unsigned DelayOf(std::string_view id) const { return reader.slowed.count(std::string(id)) ? reader.delayMs : 0; }
  // Whether the reader answers the antenna count query at all.
  bool HasRegisters() const { return reader.antennaCount.has_value() || !reader.antennas.empty(); }
  unsigned AntennaCount() const {
    return reader.antennaCount ? *reader.antennaCount : static_cast<unsigned>(reader.antennas.size());
  }
};

struct ScenarioError {
  int line = 0;  // 0: the file as a whole
  std::string message;
};

struct ParsedScenario {
  std::optional<Scenario> scenario;  // set exactly when errors is empty
  std::vector<ScenarioError> errors;
};

ParsedScenario ParseScenario(std::string_view text);
ParsedScenario ParseScenarioLines(const std::vector<ScenarioLine>& lines);

// "file:line: message" lines.
std::string DescribeErrors(std::string_view fileName, const std::vector<ScenarioError>& errors);

// The canonical id of a failure entry ("3105:fa" -> "3105:FA"), nothing when
// the entry names no control code or attribute the driver answers.
std::optional<std::string> CanonicalFailure(std::string_view entry);
// Every id CanonicalFailure accepts, for messages.
std::string KnownFailures();

// Which section a key belongs to; false for unknown keys.
bool IsReaderKey(std::string_view key);
bool IsCardKey(std::string_view key);
// Keys that may appear on several lines, each line adding to the fact.
bool IsListKey(std::string_view key);

}  // namespace velkaro::sim
