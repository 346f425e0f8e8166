#pragma once
// The texts a reader tab shows. The contactless tab shows fewer of them; the
// others stay empty there.

#include <array>
#include <string>

struct CReaderFields {
  std::string m_strRegDump;
  std::string m_strStatus;
  std::string m_strFirmware;
  std::string m_strLibrary;
  std::string m_strTA1InUse;
  std::string m_strFrequency;
  std::string m_strProtocol;
  std::string m_strPort;
  std::string m_strATR;
  std::string m_strCardName;
  std::string m_strCtApiPort;
  std::string m_strVoltage;
  std::string m_strTA1;
  std::string m_strSerialNumber;
  std::string m_strSubProtocol;
};

// Every text of the tab, for code that walks them all.
inline constexpr std::array<std::string CReaderFields::*, 15> kAllReaderFields = {
    &CReaderFields::m_strRegDump,   &CReaderFields::m_strStatus,    &CReaderFields::m_strFirmware,
    &CReaderFields::m_strLibrary,   &CReaderFields::m_strTA1InUse,  &CReaderFields::m_strFrequency,
    &CReaderFields::m_strProtocol,  &CReaderFields::m_strPort,      &CReaderFields::m_strATR,
    &CReaderFields::m_strCardName,  &CReaderFields::m_strCtApiPort, &CReaderFields::m_strVoltage,
    &CReaderFields::m_strTA1,       &CReaderFields::m_strSerialNumber, &CReaderFields::m_strSubProtocol};

static_assert(sizeof(CReaderFields) == kAllReaderFields.size() * sizeof(std::string), "a text is missing above");

// Puts into `shown` what an update changed from `before` to `after` and
// keeps what it left alone, so that a fact that came while the update ran
// is not put back to what the update started from.
inline void MergeUpdate(CReaderFields& shown, const CReaderFields& before, const CReaderFields& after) {
  for (const auto field : kAllReaderFields) {
    if (after.*field != before.*field) shown.*field = after.*field;
  }
}
