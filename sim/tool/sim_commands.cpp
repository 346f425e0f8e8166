#include "tool/sim_commands.h"

#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#include "scenario/scenario_document.h"

namespace velkaro::sim {

namespace {

namespace fs = std::filesystem;

struct Options {
  std::string command;
  std::string reader;
  unsigned slot = 0;
  std::optional<std::size_t> card;  // index among the slot's cards
  bool add = false;
  std::vector<std::pair<std::string, std::string>> facts;  // KEY=VALUE arguments
  std::vector<std::string> words;                          // other arguments
};

CommandResult Usage(const std::string& message) { return {2, {}, "velkaro-sim: " + message + "\n" + SimUsage()}; }
CommandResult Refused(const std::string& message) { return {1, {}, "velkaro-sim: " + message + "\n"}; }

std::vector<fs::path> ScenarioFiles(const std::string& directory) {
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error))
    if (entry.is_regular_file() && entry.path().extension() == kScenarioExtension) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::optional<std::string> ReaderName(const fs::path& file) {
  const auto document = ScenarioDocument::Load(file.string());
  if (!document) return std::nullopt;
  for (const ScenarioLine& line : SplitScenarioLines(document->Text())) {
    if (line.kind == ScenarioLine::Kind::Section && line.key == "card") break;
    if (line.kind == ScenarioLine::Kind::Fact && line.key == "name") return line.value;
  }
  return std::nullopt;
}

// A reader is named by its file (with or without ".reader") or by its name,
// with or without the " 00 00" that pcscd appends.
std::optional<fs::path> FindReader(const std::string& directory, const std::string& wanted) {
  for (const fs::path& file : ScenarioFiles(directory))
    if (file.stem() == wanted || file.filename() == wanted) return file;
  for (const fs::path& file : ScenarioFiles(directory)) {
    const auto name = ReaderName(file);
    if (!name) continue;
    if (strcasecmp(name->c_str(), wanted.c_str()) == 0) return file;
    if (wanted.size() == name->size() + 6 && strncasecmp(name->c_str(), wanted.c_str(), name->size()) == 0)
      return file;
  }
  return std::nullopt;
}

std::optional<std::string> ParseOptions(const std::vector<std::string>& args, Options& options) {
  if (args.empty()) return "no command given";
  options.command = args[0];
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const auto number = [&]() -> std::optional<unsigned long> {
      if (i + 1 >= args.size()) return std::nullopt;
      char* end = nullptr;
      const unsigned long value = std::strtoul(args[++i].c_str(), &end, 10);
      if (*end != '\0' || args[i].empty()) return std::nullopt;
      return value;
    };
    if (arg == "--slot") {
      const auto value = number();
      if (!value) return "--slot needs a number";
      options.slot = static_cast<unsigned>(*value);
    } else if (arg == "--card") {
      const auto value = number();
      if (!value) return "--card needs a number";
      options.card = *value;
    } else if (arg == "--add") {
      options.add = true;
    } else if (arg.rfind("--", 0) == 0) {
      return "unknown option " + arg;
    } else if (options.reader.empty() && options.command != "list" && options.command != "check") {
      options.reader = arg;
    } else if (const auto equals = arg.find('='); equals != std::string::npos && equals > 0) {
      std::string key = arg.substr(0, equals);
      std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      options.facts.emplace_back(key, arg.substr(equals + 1));
    } else {
      options.words.push_back(arg);
    }
  }
  return std::nullopt;
}

std::string Describe(const fs::path& file, const Scenario& scenario) {
  const ReaderFacts& r = scenario.reader;
  const auto version = [](std::uint32_t v) { return std::to_string(v / 100) + "." + (v % 100 < 10 ? "0" : "") + std::to_string(v % 100); };
  std::string text = file.filename().string() + ": \"" + r.name + "\" " + (r.plugged ? "plugged" : "UNPLUGGED") +
                     ", firmware " + version(r.firmware) + ", library " + version(r.library) + ", serial \"" +
                     r.serial + "\", " + std::to_string(r.slots) + " slot(s)";
  if (!r.failing.empty()) {
    text += ", failing:";
    for (const std::string& id : r.failing) text += " " + id;
  }
  if (scenario.HasRegisters()) text += ", " + std::to_string(scenario.AntennaCount()) + " antenna(s)";
  text += "\n";
  for (unsigned slot = 0; slot < r.slots; ++slot) {
    bool any = false;
    for (const CardFacts& card : scenario.cards) {
      if (card.slot != slot) continue;
      any = true;
      text += "  slot " + std::to_string(slot) + ": " + InfoOf(card.type).keyword + " card" +
              (card.label.empty() ? "" : " \"" + card.label + "\"") + (card.present ? "" : " (removed)") +
              (card.mute ? " (mute)" : "") +
              (card.type == CardType::Prox ? ", prox data " + FormatHexBytes(card.proxData)
                                           : ", ATR " + FormatHexBytes(card.atr)) +
              "\n";
    }
    if (!any) text += "  slot " + std::to_string(slot) + ": empty\n";
  }
  return text;
}

CommandResult List(const std::string& directory, const Options& options) {
  CommandResult result;
  std::vector<fs::path> files = ScenarioFiles(directory);
  if (files.empty()) return Refused("no scenario files (*" + std::string(kScenarioExtension) + ") in " + directory);
  if (!options.words.empty()) {
    const auto file = FindReader(directory, options.words.front());
    if (!file) return Refused("no reader '" + options.words.front() + "' in " + directory);
    files = {*file};
  }
  for (const fs::path& file : files) {
    const auto document = ScenarioDocument::Load(file.string());
    const ParsedScenario parsed = document ? document->Parse() : ParsedScenario{};
    if (parsed.scenario) {
      if (options.command == "list") result.output += Describe(file, *parsed.scenario);
    } else {
      result.exitCode = 1;
      result.errors += document ? DescribeErrors(file.string(), parsed.errors) : file.string() + ": cannot be read\n";
    }
  }
  if (options.command == "check" && result.exitCode == 0) result.output = "all scenario files are valid\n";
  return result;
}

// The card sections of the chosen slot, as indexes into all card sections.
std::vector<std::size_t> CardsOfSlot(const ScenarioDocument& document, unsigned slot) {
  std::vector<std::size_t> cards;
  const auto slots = document.CardSlots();
  for (std::size_t i = 0; i < slots.size(); ++i)
    if (slots[i] == slot) cards.push_back(i);
  return cards;
}

using Edit = std::function<std::optional<std::string>(ScenarioDocument&, const Options&)>;

std::optional<std::string> SetCardFacts(ScenarioDocument& document, const Options& options, bool all) {
  const auto cards = CardsOfSlot(document, options.slot);
  if (cards.empty()) return "slot " + std::to_string(options.slot) + " holds no card; insert one with its facts (atr=...)";
  if (options.card && *options.card >= cards.size())
    return "slot " + std::to_string(options.slot) + " holds " + std::to_string(cards.size()) + " card(s)";
  for (std::size_t i = 0; i < cards.size(); ++i) {
    if (options.card ? i != *options.card : (!all && i != 0)) continue;
    for (const auto& [key, value] : options.facts) document.SetCardFact(cards[i], key, value);
  }
  return std::nullopt;
}

// Lists that `set` replaces as a whole, in one line.
bool IsSettableList(std::string_view key) { return key == "apdu" || key == "short" || key == "slow"; }

std::optional<std::string> CheckFactKeys(const Options& options, bool cardOnly) {
  for (const auto& [key, value] : options.facts) {
    if (IsListKey(key) && !IsSettableList(key))
      return "'" + key + "' has its own lines; " + (key == "fail" ? "use the fail and unfail commands" : "edit the file");
    if (IsCardKey(key) || (!cardOnly && IsReaderKey(key))) continue;
    return "unknown " + std::string(cardOnly ? "card " : "") + "fact '" + key + "'";
  }
  return std::nullopt;
}

const std::map<std::string, Edit>& Edits() {
  static const std::map<std::string, Edit> kEdits = {
      {"insert",
       [](ScenarioDocument& d, const Options& o) -> std::optional<std::string> {
         if (o.facts.empty()) {
           Options present = o;
           present.facts = {{"present", "yes"}};
           return SetCardFacts(d, present, true);
         }
         if (auto problem = CheckFactKeys(o, true)) return problem;
         if (!o.add) d.RemoveCardsOfSlot(o.slot);
         d.AddCard(o.slot, o.facts);
         return std::nullopt;
       }},
      {"swap",
       [](ScenarioDocument& d, const Options& o) -> std::optional<std::string> {
         if (o.facts.empty()) return "swap needs the new card's facts (atr=... or type=...)";
         if (auto problem = CheckFactKeys(o, true)) return problem;
         d.RemoveCardsOfSlot(o.slot);
         d.AddCard(o.slot, o.facts);
         return std::nullopt;
       }},
      {"remove",
       [](ScenarioDocument& d, const Options& o) {
         Options removed = o;
         removed.facts = {{"present", "no"}};
         return SetCardFacts(d, removed, true);
       }},
      {"mute",
       [](ScenarioDocument& d, const Options& o) -> std::optional<std::string> {
         Options muted = o;
         muted.facts = {{"mute", o.words.empty() ? "yes" : o.words.front()}};
         return SetCardFacts(d, muted, true);
       }},
      {"unplug",
       [](ScenarioDocument& d, const Options&) -> std::optional<std::string> {
         d.SetReaderFact("plugged", "no");
         return std::nullopt;
       }},
      {"replug",
       [](ScenarioDocument& d, const Options&) -> std::optional<std::string> {
         d.SetReaderFact("plugged", "yes");
         return std::nullopt;
       }},
      {"set",
       [](ScenarioDocument& d, const Options& o) -> std::optional<std::string> {
         if (o.facts.empty()) return "set needs KEY=VALUE arguments";
         if (auto problem = CheckFactKeys(o, false)) return problem;
         Options cardFacts = o;
         cardFacts.facts.clear();
         for (const auto& fact : o.facts) {
           if (IsReaderKey(fact.first) && IsListKey(fact.first)) d.SetReaderList(fact.first, fact.second);
           else if (IsReaderKey(fact.first)) d.SetReaderFact(fact.first, fact.second);
           else cardFacts.facts.push_back(fact);
         }
         return cardFacts.facts.empty() ? std::nullopt : SetCardFacts(d, cardFacts, false);
       }},
      {"fail",
       [](ScenarioDocument& d, const Options& o) -> std::optional<std::string> {
         if (o.words.empty()) return "fail needs the codes to fail, for example 3042 or 3105:E2";
         std::set<std::string> failing;
         if (const auto parsed = d.Parse(); parsed.scenario) failing = parsed.scenario->reader.failing;
         for (const std::string& word : o.words) {
           const auto id = CanonicalFailure(word);
           if (!id) return "'" + word + "' is not a code the driver answers; known: " + KnownFailures();
           failing.insert(*id);
         }
         std::string value;
         for (const std::string& id : failing) value += (value.empty() ? "" : " ") + id;
         d.SetReaderList("fail", value);
         return std::nullopt;
       }},
      {"unfail",
       [](ScenarioDocument& d, const Options& o) -> std::optional<std::string> {
         std::set<std::string> failing;
         if (const auto parsed = d.Parse(); parsed.scenario) failing = parsed.scenario->reader.failing;
         for (const std::string& word : o.words) {
           const auto id = CanonicalFailure(word);
           if (!id) return "'" + word + "' is not a code the driver answers; known: " + KnownFailures();
           failing.erase(*id);
         }
         if (o.words.empty()) failing.clear();
         std::string value;
         for (const std::string& id : failing) value += (value.empty() ? "" : " ") + id;
         d.SetReaderList("fail", value);
         return std::nullopt;
       }},
  };
  return kEdits;
}

}  // namespace

std::string SimUsage() {
  return "usage: velkaro-sim [--dir DIR] COMMAND ...\n"
         "  list [READER]                         readers and their cards\n"
         "  check                                 validate every scenario file\n"
         "  insert READER [--slot N] [--add] [KEY=VALUE...]\n"
         "                                        put the removed card back, or a new card (--add: one more\n"
         "                                        card in a contactless field)\n"
         "  remove READER [--slot N]              take the card out (its facts are kept for insert)\n"
         "  swap READER [--slot N] KEY=VALUE...   replace the card with another\n"
         "  mute READER [--slot N] [yes|no]       make the card (not) answer the reset\n"
         "  unplug READER | replug READER\n"
         "  set READER [--slot N] [--card I] KEY=VALUE...   change reader or card facts\n"
         "  fail READER CODE...                   make control codes fail (3001 3041 3042 3043 3056 3105\n"
         "                                        3105:FA 3105:E2 3105:E0 3215 serial channel)\n"
         "  unfail READER [CODE...]               make them answer again (all without codes)\n"
         "READER is the scenario file's name (without .reader) or the reader's name.\n"
         "DIR defaults to $VELKARO_SIM_DIR.\n";
}

CommandResult RunSimCommand(const std::string& directory, const std::vector<std::string>& args) {
  Options options;
  if (auto problem = ParseOptions(args, options)) return Usage(*problem);
  if (options.command == "list" || options.command == "check") return List(directory, options);
  const auto edit = Edits().find(options.command);
  if (edit == Edits().end()) return Usage("unknown command '" + options.command + "'");
  if (options.reader.empty()) return Usage(options.command + " needs a reader");

  const auto file = FindReader(directory, options.reader);
  if (!file) return Refused("no reader '" + options.reader + "' in " + directory);
  auto document = ScenarioDocument::Load(file->string());
  if (!document) return Refused("cannot read " + file->string());
  if (const auto before = document->Parse(); !before.scenario)
    return Refused(file->filename().string() + " is not valid now; fix it first:\n" +
                   DescribeErrors(file->string(), before.errors));

  if (auto problem = edit->second(*document, options)) return Refused(*problem);
  const ParsedScenario after = document->Parse();
  if (!after.scenario)
    return Refused("the change would make " + file->filename().string() + " invalid; nothing was written:\n" +
                   DescribeErrors(file->string(), after.errors));
  if (auto problem = WriteFileAtomically(file->string(), document->Text())) return Refused(*problem);

  CommandResult result;
  for (const auto& [key, value] : options.facts)
    if (key == "name" || key == "slots")
      result.errors += "velkaro-sim: note: '" + key + "' takes effect when pcscd starts again\n";
  result.output = Describe(*file, *after.scenario);
  return result;
}

}  // namespace velkaro::sim
