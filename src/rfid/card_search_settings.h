#pragma once
// What the "RFID settings" tab edits, without a window: the stored card
// search order with the keywords on either side, and the page's copy of the
// two ISO 14443 maximum rates in their two stored forms.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rfid/rfid_settings.h"
#include "rfid/settings_messages.h"

// The hidden rate selector's lines: the label of rate code i.
inline constexpr std::array<const char*, 5> g_aszRateLabels = {"default", "106", "212", "424", "848"};

// The order in which unsearched types are listed.
inline constexpr std::array<const char*, kCardTypeCount> g_aszAvailableOrder = {
    "ZENTRA15693", "ICODE1", "ISO14443A", "ISO15693", "ISO14443B", "STM14443B",
};

// The card code (1..6) of a keyword; 0 for none.
std::uint8_t CardCodeOf(const std::string& keyword);
// The rate index (0 type A, 1 type B) of a keyword; nothing for other types.
std::optional<std::size_t> RateIndexOf(const std::string& keyword);

// The stored bytes with the codes of `order` merged in: the old slots (bytes
// up to 6) are reused in order, extra codes are appended, unused slots are
// dropped, and every byte above 6 keeps its place among the codes.
std::vector<std::uint8_t> MergeCardSearch(const std::vector<std::uint8_t>& stored,
                                          const std::vector<std::string>& order);

class CCardSearchSettings {
 public:
  // A failed read keeps the bytes last read: they are what the next Apply
  // merges into.
  bool LoadCardSearch(std::string* why = nullptr);
  bool SaveCardSearch(std::string* why = nullptr) const;
  // The stored order, and the other types in the fixed order. A code named
  // twice is listed once.
  void BuildCardLists();
  bool IsInCardSearch(std::uint8_t code) const;

  bool LoadRateCodes();
  // A failed read keeps the codes held before.
  bool LoadLegacyRateCodes();
  // Back to the codes last read, without reading.
  void RestoreRateCodes() { m_abRateCodes = m_abRateCodesRead; }
  // The first per-type value the store refused; the values after it are
  // not tried, since they meet the same store.
  std::optional<SettingWriteFailure> SaveRateCodes() const;
  bool SaveLegacyRateCodes(std::string* why = nullptr) const;

  // Merges `order` into the bytes last read and stores the search value,
  // then both rate forms, up to the first value the store refuses. After a
  // stored search value the page's copies follow what is stored.
  // Nothing is written before the stored bytes were read once.
  std::optional<SettingWriteFailure> Apply(const std::vector<std::string>& order);

  std::vector<std::uint8_t> m_abCardSearch;
  bool m_bCardSearchRead = false;  // m_abCardSearch holds bytes that were read
  std::vector<std::uint8_t> m_abRateCodes{0, 0};
  std::vector<std::uint8_t> m_abRateCodesRead{0, 0};  // as last read, for a Reset that cannot read them
  std::vector<std::string> m_lstSearchOrder;
  std::vector<std::string> m_lstAvailable;
  std::optional<std::size_t> m_nRateIndex;

  std::uint8_t RateCode(std::size_t index) const { return index < m_abRateCodes.size() ? m_abRateCodes[index] : 0; }
  void SetRateCode(std::size_t index, std::uint8_t code);
};
