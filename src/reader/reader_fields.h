#pragma once
// The texts a reader tab shows. The contactless tab shows fewer of them; the
// others stay empty there.

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
