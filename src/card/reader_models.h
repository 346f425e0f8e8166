#pragma once
// The reader models the tool knows by name, the other names under which the
// same hardware is listed, and the lookup from a PC/SC reader name to a model.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

struct ReaderModel {
  const char* name;         // as PC/SC lists it, without the index suffix
  std::uint32_t column1;    // handed to the page, no effect
  std::uint32_t column2;    // handed to a reader page, no effect
  std::uint32_t column3;    // handed to a reader page, no effect
  std::uint32_t column4;    // reads contactless cards
  std::uint32_t column5;    // handed to a reader page, no effect
  std::uint32_t pageKind;   // 0 reader page, 1 contactless page with air speed, other: none
};

inline constexpr std::size_t kReaderModelCount = 32;
inline constexpr std::size_t kReaderAliasSlots = 69;

extern const std::array<ReaderModel, kReaderModelCount> g_readerModels;
// Groups of a model name followed by its aliases, each group closed by an
// empty slot; an empty slot where a group would start ends the table.
extern const std::array<const char*, kReaderAliasSlots> g_readerAliases;

inline constexpr char kBrandWord[] = "VELKARO";

// The reader name without the index PC/SC appended: pcsc-lite's " XX YY"
// (reader index and slot, two upper-case hexadecimal digits each) goes whole;
// otherwise a name ending in a digit is cut at its last space (empty when it
// has none); any other name is its own base name.
std::string StripReaderIndex(std::string_view name);

// Whether an (upper-case) base name begins with the brand word.
bool IsBrandReader(std::string_view upperBaseName);

// Upper-case lookup maps built from the two tables.
class CReaderModelMaps {
 public:
  CReaderModelMaps();
  // Maps not built yet, as a General page holds them before its
  // initialisation: no reader is a model or an alias.
  static CReaderModelMaps Unbuilt() { return CReaderModelMaps(UnbuiltTag{}); }

  // The model row for a reader name as PC/SC lists it; null when none.
  const ReaderModel* FindReaderModel(std::string_view readerName) const;
  // For an upper-case base name: a model row, or an alias with a model name.
  bool IsModel(const std::string& upperBaseName) const;
  bool IsAlias(const std::string& upperBaseName) const;

  const std::unordered_map<std::string, const ReaderModel*>& Models() const { return m_mapReaderModels; }
  const std::unordered_map<std::string, std::string>& Aliases() const { return m_mapReaderAliases; }

 private:
  struct UnbuiltTag {};
  explicit CReaderModelMaps(UnbuiltTag) {}

  std::unordered_map<std::string, const ReaderModel*> m_mapReaderModels;
  std::unordered_map<std::string, std::string> m_mapReaderAliases;
};
