#include "rfid/card_search_settings.h"

#include <algorithm>

std::uint8_t CardCodeOf(const std::string& keyword) {
  for (std::size_t i = 0; i < g_aszCardTypes.size(); ++i) {
    if (keyword == g_aszCardTypes[i]) return static_cast<std::uint8_t>(i + 1);
  }
  return 0;
}

std::optional<std::size_t> RateIndexOf(const std::string& keyword) {
  for (std::size_t i = 0; i < g_aszIso14443Types.size(); ++i) {
    if (keyword == g_aszIso14443Types[i]) return i;
  }
  return std::nullopt;
}

std::vector<std::uint8_t> MergeCardSearch(const std::vector<std::uint8_t>& stored,
                                          const std::vector<std::string>& order) {
  std::vector<std::uint8_t> bytes = stored;
  std::size_t i = 0;
  std::size_t j = 0;
  while (true) {
    const bool haveEntry = i < order.size();
    while (j < bytes.size() && bytes[j] > kCardTypeCount) ++j;
    const bool haveSlot = j < bytes.size();
    if (haveEntry && haveSlot) {
      bytes[j++] = CardCodeOf(order[i++]);
    } else if (haveEntry) {
      bytes.push_back(CardCodeOf(order[i++]));
      j = bytes.size();
    } else if (haveSlot) {
      bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(j));
    } else {
      break;
    }
  }
  return bytes;
}

bool CCardSearchSettings::LoadCardSearch(std::string* why) {
  std::vector<std::uint8_t> stored;
  if (!ReadRegBinary(kRfidKey, kCardSearchValue, stored, why)) return false;
  m_abCardSearch = std::move(stored);
  m_bCardSearchRead = true;
  return true;
}

bool CCardSearchSettings::SaveCardSearch(std::string* why) const {
  return WriteRegBinary(kRfidKey, kCardSearchValue, m_abCardSearch, why);
}

void CCardSearchSettings::BuildCardLists() {
  m_lstSearchOrder.clear();
  m_lstAvailable.assign(g_aszAvailableOrder.begin(), g_aszAvailableOrder.end());
  for (const std::uint8_t code : m_abCardSearch) {
    if (code == 0 || code > kCardTypeCount) continue;
    const std::string keyword = g_aszCardTypes[code - 1];
    const auto available = std::find(m_lstAvailable.begin(), m_lstAvailable.end(), keyword);
    if (available == m_lstAvailable.end()) continue;  // named before
    m_lstAvailable.erase(available);
    m_lstSearchOrder.push_back(keyword);
  }
}

bool CCardSearchSettings::IsInCardSearch(std::uint8_t code) const {
  return std::any_of(m_abCardSearch.begin(), m_abCardSearch.end(),
                     [code](std::uint8_t byte) { return byte >= 1 && byte <= kCardTypeCount && byte == code; });
}

void CCardSearchSettings::SetRateCode(std::size_t index, std::uint8_t code) {
  if (m_abRateCodes.size() <= index) m_abRateCodes.resize(index + 1, 0);
  m_abRateCodes[index] = code;
}

bool CCardSearchSettings::LoadRateCodes() {
  m_abRateCodes.assign(kIso14443TypeCount, 0);
  for (std::size_t i = 0; i < kIso14443TypeCount; ++i) {
    std::uint32_t stored = 0;
    if (!ReadRegDword(kRateKey, g_aszIso14443Types[i], stored)) return false;
    m_abRateCodes[i] = DwordToRateCode(stored);
  }
  m_abRateCodesRead = m_abRateCodes;
  return true;
}

bool CCardSearchSettings::LoadLegacyRateCodes() {
  std::vector<std::uint8_t> stored;
  if (!ReadRegBinary(kRfidKey, kLegacyRateValue, stored)) return false;
  m_abRateCodes.clear();
  if (stored.empty()) {
    m_abRateCodes.assign(kMinRegBinarySize, 0);
    m_abRateCodesRead = m_abRateCodes;
    return true;
  }
  for (std::size_t k = 0; k < stored.size(); ++k) {
    m_abRateCodes.push_back(IsInCardSearch(static_cast<std::uint8_t>(k + 1)) ? LegacyByteToRateCode(stored[k]) : 0);
  }
  if (m_abRateCodes.size() < kIso14443TypeCount) m_abRateCodes.resize(kIso14443TypeCount, 0);
  m_abRateCodesRead = m_abRateCodes;
  return true;
}

std::optional<SettingWriteFailure> CCardSearchSettings::SaveRateCodes() const {
  for (std::size_t i = 0; i < kIso14443TypeCount; ++i) {
    std::string why;
    if (!WriteRegDword(kRateKey, g_aszIso14443Types[i], RateCodeToDword(RateCode(i)), &why)) {
      return SettingWriteFailure{kRateKey, g_aszIso14443Types[i], why};
    }
  }
  return std::nullopt;
}

bool CCardSearchSettings::SaveLegacyRateCodes(std::string* why) const {
  if (RateCode(0) == 0 && RateCode(1) == 0) return DeleteRegValue(kRfidKey, kLegacyRateValue, why);
  std::vector<std::uint8_t> bytes;
  for (const std::uint8_t code : m_abRateCodes) bytes.push_back(RateCodeToLegacyByte(code));
  return WriteRegBinary(kRfidKey, kLegacyRateValue, bytes, why);
}

std::optional<SettingWriteFailure> CCardSearchSettings::Apply(const std::vector<std::string>& order) {
  // Merged into bytes never read, the codes would drop every byte above 6.
  if (!m_bCardSearchRead) return SettingWriteFailure{kRfidKey, kCardSearchValue, "the stored value was never read"};
  const std::vector<std::uint8_t> merged = MergeCardSearch(m_abCardSearch, order);
  if (merged.size() > kMaxRegBinarySize) {
    return SettingWriteFailure{kRfidKey, kCardSearchValue,
                               "it would hold " + std::to_string(merged.size()) + " bytes, more than the " +
                                   std::to_string(kMaxRegBinarySize) + " it may have"};
  }
  std::string why;
  if (!WriteRegBinary(kRfidKey, kCardSearchValue, merged, &why)) {
    return SettingWriteFailure{kRfidKey, kCardSearchValue, why};
  }
  m_abCardSearch = merged;
  LoadCardSearch();
  BuildCardLists();
  if (!SaveLegacyRateCodes(&why)) return SettingWriteFailure{kRfidKey, kLegacyRateValue, why};
  return SaveRateCodes();
}
