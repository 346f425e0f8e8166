#include "scenario/scenario.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <map>

#include "platform/text.h"
#include "scenario/sim_constants.h"

namespace velkaro::sim {

namespace {

// A parse step answers an error message, or nothing when the value is good.
using Problem = std::optional<std::string>;

// Messages end up on terminals and in pcscd's log: a control byte quoted
// from a file is shown as \xNN rather than acted on there.
std::string Printable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
      continue;
    }
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    out += escaped;
  }
  return out;
}

// A text fact as written: "\xNN" stands for any byte (a control byte, a
// byte that is not UTF-8) and "\\" for a backslash, so a file can give a
// reader the odd names and serial numbers that real devices report.
Problem Text(std::string_view value, std::string& out) {
  std::string text;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\') {
      text += value[i];
      continue;
    }
    if (i + 1 < value.size() && value[i + 1] == '\\') {
      text += '\\';
      ++i;
      continue;
    }
    unsigned byte = 0;
    if (i + 3 < value.size() && value[i + 1] == 'x' &&
        std::from_chars(&value[i + 2], &value[i + 4], byte, 16).ptr == &value[i + 4]) {
      text += static_cast<char>(byte);
      i += 3;
      continue;
    }
    return "expected \\xNN (two hexadecimal digits) or \\\\ after a backslash";
  }
  out = std::move(text);
  return std::nullopt;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::optional<std::uint64_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

template <typename T>
Problem Number(std::string_view value, std::uint64_t low, std::uint64_t high, T& out) {
  const auto number = ParseNumber(value);
  if (!number || *number < low || *number > high)
    return "expected a number from " + std::to_string(low) + " to " + std::to_string(high) + ", not '" +
           std::string(value) + "'";
  out = static_cast<T>(*number);
  return std::nullopt;
}

Problem Boolean(std::string_view value, bool& out) {
  const std::string lower = Lower(value);
  if (lower == "yes" || lower == "true" || lower == "on" || lower == "1") {
    out = true;
  } else if (lower == "no" || lower == "false" || lower == "off" || lower == "0") {
    out = false;
  } else {
    return "expected yes or no, not '" + std::string(value) + "'";
  }
  return std::nullopt;
}

Problem Hex(std::string_view value, std::size_t minimum, std::size_t maximum, Bytes& out) {
  auto bytes = ParseHexBytes(value);
  if (!bytes) return "expected hexadecimal bytes such as '3B 8F 80', not '" + std::string(value) + "'";
  if (bytes->size() < minimum || bytes->size() > maximum)
    return "expected " + std::to_string(minimum) + " to " + std::to_string(maximum) + " bytes, not " +
           std::to_string(bytes->size());
  out = std::move(*bytes);
  return std::nullopt;
}

Problem Channel(std::string_view value, std::uint32_t& out) {
  const std::string lower = Lower(value);
  if (lower == "usb") {
    out = kChannelUsb << 16;
  } else if (lower == "pcmcia") {
    out = kChannelPcmcia << 16;
  } else if (lower == "com") {
    out = kChannelSerial << 16;
  } else if (lower.rfind("com", 0) == 0) {
    std::uint32_t port = 0;
    std::string_view number = std::string_view(lower).substr(3);
    while (!number.empty() && number.front() == ' ') number.remove_prefix(1);
    if (Number(number, 1, 0xFFFF, port)) return "expected 'com N' with N from 1 to 65535, not '" + lower + "'";
    out = kChannelSerial << 16 | port;
  } else if (lower.rfind("0x", 0) == 0) {
    return Number(value, 0, 0xFFFFFFFF, out);
  } else {
    return "expected usb, pcmcia, com, com N or a 0x channel id, not '" + std::string(value) + "'";
  }
  return std::nullopt;
}

// Splits a list at spaces and commas.
std::vector<std::string> Words(std::string_view value) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : value) {
    if (c == ' ' || c == ',' || c == '\t') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

// The codes and attributes a line names ("3042 serial"), by their canonical ids.
Problem AnswerIds(std::string_view value, std::set<std::string>& ids) {
  for (const std::string& word : Words(value)) {
    const auto id = CanonicalFailure(word);
    if (!id) return "'" + word + "' is not a code the driver answers; known: " + KnownFailures();
    ids.insert(*id);
  }
  return std::nullopt;
}

// What a fact line does to its section.
struct ReaderFact {
  const char* key;
  bool list;
  Problem (*apply)(std::string_view value, ReaderFacts& reader);
};

struct CardFact {
  const char* key;
  bool list;
  Problem (*apply)(std::string_view value, CardFacts& card);
};

// A slow answer still comes within pcscd's patience.
constexpr unsigned kMaxDelayMs = 60000;

const std::array<ReaderFact, 12> kReaderFacts = {{
    {"name", false,
     [](std::string_view v, ReaderFacts& r) -> Problem {
       // pcscd takes the name from a quoted reader.conf entry and appends " 00 00".
       std::string name;
       if (auto problem = Text(v, name)) return problem;
       // It stands on one quoted line of reader.conf and is a C string there.
       if (name.empty() || name.size() > 100 || name.find_first_of(std::string("\"\n\0", 3)) != std::string::npos)
         return "expected a name of 1 to 100 characters without '\"', line feed or NUL";
       r.name = std::move(name);
       return std::nullopt;
     }},
    {"firmware", false, [](std::string_view v, ReaderFacts& r) { return Number(v, 0, 0xFFFFFFFF, r.firmware); }},
    {"library", false, [](std::string_view v, ReaderFacts& r) { return Number(v, 0, 0xFFFFFFFF, r.library); }},
    {"serial", false,
     [](std::string_view v, ReaderFacts& r) -> Problem {
       std::string serial;
       if (auto problem = Text(v, serial)) return problem;
       if (serial.size() > 255) return "expected at most 255 characters";
       r.serial = std::move(serial);
       return std::nullopt;
     }},
    {"channel", false, [](std::string_view v, ReaderFacts& r) { return Channel(v, r.channel); }},
    {"slots", false, [](std::string_view v, ReaderFacts& r) { return Number(v, 1, kMaxSlots, r.slots); }},
    {"plugged", false, [](std::string_view v, ReaderFacts& r) { return Boolean(v, r.plugged); }},
    {"fail", true, [](std::string_view v, ReaderFacts& r) { return AnswerIds(v, r.failing); }},
    {"slow", true, [](std::string_view v, ReaderFacts& r) { return AnswerIds(v, r.slowed); }},
    {"delay", false, [](std::string_view v, ReaderFacts& r) { return Number(v, 0, kMaxDelayMs, r.delayMs); }},
    {"short", true,
     [](std::string_view v, ReaderFacts& r) -> Problem {
       static constexpr std::array<std::string_view, 5> kFourByteCodes = {"3001", "3041", "3042", "3043", "3056"};
       for (const std::string& word : Words(v)) {
         if (std::find(kFourByteCodes.begin(), kFourByteCodes.end(), word) == kFourByteCodes.end())
           return "'" + word + "' is not a code with a 4-byte answer; known: 3001 3041 3042 3043 3056";
         r.shortened.insert(word);
       }
       return std::nullopt;
     }},
    {"antenna", true,
     [](std::string_view v, ReaderFacts& r) -> Problem {
       Bytes records;
       if (auto problem = Hex(v, 0, kEscapeAnswerMax, records)) return problem;
       if (r.antennas.size() == kMaxAntennas) return "too many antennas";
       r.antennas.push_back(std::move(records));
       return std::nullopt;
     }},
}};

const ReaderFact kAntennaCountFact = {
    "antennas", false, [](std::string_view v, ReaderFacts& r) -> Problem {
      unsigned count = 0;
      if (auto problem = Number(v, 0, kMaxAntennas, count)) return problem;
      r.antennaCount = count;
      return std::nullopt;
    }};

Problem Rate(std::string_view v, std::uint8_t& out) { return Number(v, 0, 255, out); }

const std::array<CardFact, 16> kCardFacts = {{
    {"type", false,
     [](std::string_view v, CardFacts& c) -> Problem {
       const auto type = CardTypeFromKeyword(v);
       if (!type) return "expected contact, prox, ISO14443A, ZENTRA15693, ISO14443B, ISO15693, STM14443B or ICODE1";
       c.type = *type;
       return std::nullopt;
     }},
    {"atr", false, [](std::string_view v, CardFacts& c) { return Hex(v, 2, kMaxAtrSize, c.atr); }},
    {"protocol", false,
     [](std::string_view v, CardFacts& c) -> Problem {
       const std::string lower = Lower(v);
       if (lower == "t=0") c.protocol = Protocol::T0;
       else if (lower == "t=1") c.protocol = Protocol::T1;
       else if (lower == "any") c.protocol = Protocol::Any;
       else return "expected T=0, T=1 or any";
       return std::nullopt;
     }},
    {"clock", false, [](std::string_view v, CardFacts& c) { return Number(v, 0, 0xFFFFFFFF, c.clock); }},
    {"voltage", false,
     [](std::string_view v, CardFacts& c) -> Problem {
       static const std::map<std::string, std::uint32_t> kNames = {{"5v", 1}, {"3v", 2}, {"1.8v", 4}};
       if (const auto named = kNames.find(Lower(v)); named != kNames.end()) {
         c.voltage = named->second;
         return std::nullopt;
       }
       return Number(v, 0, 0xFFFFFFFF, c.voltage);
     }},
    {"ta1", false, [](std::string_view v, CardFacts& c) { return Number(v, 0, 0xFFFFFFFF, c.ta1); }},
    {"kind", false, [](std::string_view v, CardFacts& c) { return Number(v, 0, 255, c.kind); }},
    {"rx", false, [](std::string_view v, CardFacts& c) { return Rate(v, c.receiveRate); }},
    {"tx", false, [](std::string_view v, CardFacts& c) { return Rate(v, c.sendRate); }},
    {"uid", false, [](std::string_view v, CardFacts& c) { return Hex(v, 1, kMaxUidSize, c.uid); }},
    {"mute", false, [](std::string_view v, CardFacts& c) { return Boolean(v, c.mute); }},
    {"present", false, [](std::string_view v, CardFacts& c) { return Boolean(v, c.present); }},
    {"prox-bits", false, [](std::string_view v, CardFacts& c) { return Number(v, 1, 120, c.proxBits); }},
    {"prox-data", false, [](std::string_view v, CardFacts& c) { return Hex(v, 1, 15, c.proxData); }},
    {"apdu", true,
     [](std::string_view v, CardFacts& c) -> Problem {
       const auto arrow = v.find("=>");
       ApduRule rule;
       if (arrow == std::string_view::npos || Hex(v.substr(0, arrow), 1, 261, rule.prefix) ||
           Hex(v.substr(arrow + 2), 2, 258, rule.response))
         return "expected 'apdu = <command bytes> => <response bytes with status word>'";
       c.apdus.push_back(std::move(rule));
       return std::nullopt;
     }},
    {"label", false,
     [](std::string_view v, CardFacts& c) -> Problem {
       return Text(v, c.label);
     }},
}};

const ReaderFact* FindReaderFact(std::string_view key) {
  if (key == kAntennaCountFact.key) return &kAntennaCountFact;
  for (const ReaderFact& fact : kReaderFacts)
    if (key == fact.key) return &fact;
  return nullptr;
}

const CardFact* FindCardFact(std::string_view key) {
  for (const CardFact& fact : kCardFacts)
    if (key == fact.key) return &fact;
  return nullptr;
}

std::uint8_t Tck(const Bytes& atr) {
  std::uint8_t tck = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  return tck;
}

// The ATR form of a contactless storage card: 3B 8F 80 01, then the
// historical bytes with the card's standard, then the check byte.
Bytes ContactlessAtr(std::uint8_t standard) {
  Bytes atr = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00, 0x03, 0x06,
               standard, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  atr.push_back(Tck(atr));
  return atr;
}

// TA1 as a contact card's ATR announces it (T0 bit 5), 0x11 otherwise.
std::uint32_t AtrTa1(const Bytes& atr) {
  if (atr.size() > 2 && (atr[1] & 0x10)) return atr[2];
  return 0x11;
}

// Fills what the card's section left out with its type's defaults, and
// answers a problem when the facts do not fit together.
Problem CompleteCard(CardFacts& card, const std::set<std::string>& given) {
  const CardTypeInfo& info = InfoOf(card.type);
  const auto has = [&](const char* key) { return given.count(key) != 0; };
  if (card.type == CardType::Contact) {
    if (!has("atr")) return "a contact card needs an atr";
    if (!has("ta1")) card.ta1 = AtrTa1(card.atr);
    if (!has("clock")) card.clock = 4000000;
    if (!has("voltage")) card.voltage = 1;
  } else {
    if (!has("ta1")) card.ta1 = 0xFF;
    if (!has("kind")) card.kind = info.defaultKind;
    if (!has("rx")) card.receiveRate = info.defaultRate;
    if (!has("tx")) card.sendRate = info.defaultRate;
  }
  if (card.type == CardType::Prox) {
    if (has("atr")) return "a prox card's ATR comes from its prox-data and the prox format; give no atr";
    if (!has("prox-data")) return "a prox card needs prox-data";
    if (!has("prox-bits")) card.proxBits = static_cast<unsigned>(card.proxData.size() * 8);
    if ((card.proxBits + 7) / 8 != card.proxData.size())
      return "prox-bits " + std::to_string(card.proxBits) + " need " + std::to_string((card.proxBits + 7) / 8) +
             " bytes of prox-data";
    if (!has("clock")) card.clock = 125000;
  } else if (has("prox-data") || has("prox-bits")) {
    return "prox-data and prox-bits belong to prox cards";
  }
  if (IsContactless(card.type)) {
    if (!has("atr")) card.atr = ContactlessAtr(info.atrStandard);
    if (!has("clock")) card.clock = 13560000;
  }
  return std::nullopt;
}

struct Section {
  bool isCard = false;
  int line = 0;
  std::map<std::string, int> seen;  // key -> line of its first occurrence
  CardFacts card;
};

void CheckSlots(const Scenario& scenario, std::vector<ScenarioError>& errors) {
  for (const CardFacts& card : scenario.cards) {
    if (card.slot >= scenario.reader.slots) {
      errors.push_back({card.line, "slot " + std::to_string(card.slot) + " does not exist: the reader has " +
                                       std::to_string(scenario.reader.slots) + " slot(s), numbered from 0"});
      continue;
    }
    if (!card.present || IsContactless(card.type)) continue;
    for (const CardFacts& other : scenario.cards) {
      if (&other == &card || other.slot != card.slot || !other.present) continue;
      errors.push_back({card.line, "a " + std::string(InfoOf(card.type).keyword) +
                                       " card must be the only present card of slot " + std::to_string(card.slot) +
                                       " (another is on line " + std::to_string(other.line) + ")"});
      break;
    }
  }
}

}  // namespace

bool IsReaderKey(std::string_view key) { return FindReaderFact(key) != nullptr; }
bool IsCardKey(std::string_view key) { return FindCardFact(key) != nullptr; }
bool IsListKey(std::string_view key) {
  if (const ReaderFact* fact = FindReaderFact(key)) return fact->list;
  if (const CardFact* fact = FindCardFact(key)) return fact->list;
  return false;
}

std::optional<std::string> CanonicalFailure(std::string_view entry) {
  static const std::array<const char*, 12> kIds = {"3001",    "3041",    "3042",    "3043", "3056",   "3105",
                                                   "3105:FA", "3105:E2", "3105:E0", "3215", "serial", "channel"};
  std::string id(entry);
  std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (id == "SERIAL" || id == "CHANNEL") id = Lower(id);
  for (const char* known : kIds)
    if (id == known) return id;
  return std::nullopt;
}

std::string KnownFailures() {
  return "3001 3041 3042 3043 3056 3105 3105:FA 3105:E2 3105:E0 3215 serial channel";
}

ParsedScenario ParseScenario(std::string_view text) { return ParseScenarioLines(SplitScenarioLines(text)); }

ParsedScenario ParseScenarioLines(const std::vector<ScenarioLine>& lines) {
  Scenario scenario;
  std::vector<ScenarioError> errors;
  Section reader;
  std::vector<Section> cards;
  Section* current = &reader;
  bool readerHeaderSeen = false;

  for (const ScenarioLine& line : lines) {
    const auto fail = [&](const std::string& message) { errors.push_back({line.number, Printable(message)}); };
    // A line is quoted without the blanks around it, a stray CR included.
    const std::string quoted(velkaro::TrimSpaces(line.text));
    switch (line.kind) {
      case ScenarioLine::Kind::Empty:
        break;
      case ScenarioLine::Kind::Malformed:
        fail("expected 'key = value', '[reader]' or '[card N]', not '" + quoted + "'");
        break;
      case ScenarioLine::Kind::Section:
        if (line.key == "reader" && line.value.empty()) {
          if (readerHeaderSeen || !cards.empty()) fail("[reader] must come first and only once");
          readerHeaderSeen = true;
          current = &reader;
        } else if (line.key == "card") {
          Section card;
          card.isCard = true;
          card.line = line.number;
          card.card.line = line.number;
          if (!line.value.empty() && Number(line.value, 0, kMaxSlots - 1, card.card.slot))
            fail("expected [card] or [card N] with a slot N from 0 to " + std::to_string(kMaxSlots - 1));
          cards.push_back(std::move(card));
          current = &cards.back();
        } else {
          fail("unknown section '" + quoted + "'; expected [reader], [card] or [card N]");
        }
        break;
      case ScenarioLine::Kind::Fact: {
        const bool list = IsListKey(line.key);
        if (!list) {
          const auto [first, inserted] = current->seen.emplace(line.key, line.number);
          if (!inserted) {
            fail("'" + line.key + "' is given twice (first on line " + std::to_string(first->second) + ")");
            break;
          }
        } else {
          current->seen.emplace(line.key, line.number);
        }
        Problem problem;
        if (current->isCard) {
          const CardFact* fact = FindCardFact(line.key);
          if (!fact) {
            fail(IsReaderKey(line.key) ? "'" + line.key + "' is a reader fact: put it before the first [card]"
                                       : "unknown card fact '" + line.key + "'");
            break;
          }
          problem = fact->apply(line.value, current->card);
        } else {
          const ReaderFact* fact = FindReaderFact(line.key);
          if (!fact) {
            fail(IsCardKey(line.key) ? "'" + line.key + "' is a card fact: put it in a [card] section"
                                     : "unknown reader fact '" + line.key + "'");
            break;
          }
          problem = fact->apply(line.value, scenario.reader);
        }
        if (problem) fail(line.key + ": " + *problem);
        break;
      }
    }
  }

  if (scenario.reader.name.empty() && !reader.seen.count("name")) errors.push_back({0, "the reader has no name"});
  for (Section& section : cards) {
    std::set<std::string> given;
    for (const auto& [key, line] : section.seen) given.insert(key);
    if (auto problem = CompleteCard(section.card, given)) errors.push_back({section.line, Printable(*problem)});
    scenario.cards.push_back(std::move(section.card));
  }
  if (errors.empty()) CheckSlots(scenario, errors);

  std::stable_sort(errors.begin(), errors.end(),
                   [](const ScenarioError& a, const ScenarioError& b) { return a.line < b.line; });
  ParsedScenario parsed;
  if (errors.empty()) parsed.scenario = std::move(scenario);
  parsed.errors = std::move(errors);
  return parsed;
}

std::string DescribeErrors(std::string_view fileName, const std::vector<ScenarioError>& errors) {
  std::string text;
  for (const ScenarioError& error : errors) {
    text += fileName;
    if (error.line > 0) text += ":" + std::to_string(error.line);
    text += ": " + error.message + "\n";
  }
  return text;
}

}  // namespace velkaro::sim
