#include "reader/card_steps.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "card/byte_buffer.h"
#include "card/reader_info.h"
#include "platform/text.h"
#include "reader/card_decoding.h"
#include "res/strings.h"

namespace card_steps {

std::span<const std::uint8_t> AtrOf(const SCARD_READERSTATE& state) {
  return {state.rgbAtr, std::min<std::size_t>(state.cbAtr, sizeof state.rgbAtr)};
}

namespace {

// The high 16 bits of a state count pcscd's insertions and removals.
constexpr DWORD kEventCounterShift = 16;

bool CardSwapped(const SCARD_READERSTATE& state) {
  return (state.dwEventState & SCARD_STATE_PRESENT) && (state.dwCurrentState & SCARD_STATE_PRESENT) &&
         (state.dwEventState >> kEventCounterShift) != (state.dwCurrentState >> kEventCounterShift);
}

}  // namespace

bool CardArrived(const SCARD_READERSTATE& state) {
  if (!(state.dwEventState & SCARD_STATE_PRESENT)) return false;
  if (!(state.dwCurrentState & SCARD_STATE_PRESENT) || CardSwapped(state)) return true;
  return (state.dwCurrentState & SCARD_STATE_MUTE) && !(state.dwEventState & SCARD_STATE_MUTE);
}

bool CardLeft(const SCARD_READERSTATE& state) {
  return !(state.dwEventState & SCARD_STATE_PRESENT) || (state.dwEventState & SCARD_STATE_MUTE) ||
         CardSwapped(state);
}

bool SetStatusLine(CReaderFields& fields, DWORD eventState) {
  if (eventState & SCARD_STATE_PRESENT) fields.m_strStatus = kCardInserted;
  if (eventState & SCARD_STATE_EMPTY) fields.m_strStatus = kCardNotInserted;
  if (!(eventState & SCARD_STATE_MUTE)) return false;
  fields.m_strStatus = kCardMute;
  return true;
}

std::optional<bool> ConnectAndNameCard(const CMSCard& pcsc, SCARDCONTEXT context, const std::string& reader,
                                       const SCARD_READERSTATE& state, const CCardNames* names, SCARDHANDLE& card,
                                       CReaderFields& fields, const std::function<void(const CReaderFields&)>& show) {
  const auto atr = AtrOf(state);
  CReaderFields named = fields;
  named.m_strATR = HexText(atr);
  if (names) {
    if (std::string name = names->CardNameFor(named.m_strATR); !name.empty()) named.m_strCardName = std::move(name);
  }
  if (show) show(named);
  DWORD protocol = 0;
  if (pcsc.Connect(context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                   &protocol) != SCARD_S_SUCCESS) {
    card = kNoCard;
    return std::nullopt;
  }
  fields.m_strProtocol = ProtocolText(protocol);
  const std::string syncType = GetSyncCardType(atr.data(), atr.size());
  if (!syncType.empty()) fields.m_strProtocol = syncType;
  fields.m_strATR = std::move(named.m_strATR);
  fields.m_strCardName = std::move(named.m_strCardName);
  return !syncType.empty();
}

bool ReadPort(const CMSCard& pcsc, SCARDHANDLE card, CReaderFields& fields) {
  std::array<BYTE, sizeof(std::uint32_t)> buffer{};
  DWORD length = buffer.size();
  if (pcsc.GetAttrib(card, SCARD_ATTR_CHANNEL_ID, buffer.data(), &length) != SCARD_S_SUCCESS) return false;
  std::uint32_t channel = 0;
  std::memcpy(&channel, buffer.data(), std::min<std::size_t>(length, buffer.size()));
  fields.m_strPort = ChannelText(channel);
  return true;
}

std::optional<DriverValue> ReadDriverValue(const CMSCard& pcsc, SCARDHANDLE card, VendorFunction function) {
  DriverValue value = 0;
  DWORD returned = 0;
  // A shorter answer would leave part of the value unset.
  if (pcsc.Control(card, VendorControlCode(function), nullptr, 0, &value, sizeof value, &returned) !=
          SCARD_S_SUCCESS ||
      returned != sizeof value) {
    return std::nullopt;
  }
  return value;
}

void AppendCardIdentifier(const CMSCard& pcsc, SCARDHANDLE card, std::span<const std::uint8_t> atr,
                          CReaderFields& fields) {
  if (!IsContactlessAtr(atr)) return;
  std::array<std::uint8_t, kEscapeCommandSize> command{};
  command[0] = kEscapeCardIdentifier;
  std::array<std::uint8_t, kEscapeAnswerSize> answer{};
  DWORD returned = 0;
  if (pcsc.Control(card, VendorControlCode(kCtlEscape), command.data(), command.size(), answer.data(), answer.size(),
                   &returned) != SCARD_S_SUCCESS ||
      returned < 1) {
    return;
  }
  const std::string uid = HexText(std::span(answer.data(), std::min<std::size_t>(returned, answer.size())));
  if (uid.empty()) return;
  if (!fields.m_strCardName.empty()) fields.m_strCardName += ' ';
  fields.m_strCardName += "UID:" + uid;
}

void ReadLibraryVersion(const CMSCard& pcsc, SCARDHANDLE card, CReaderFields& fields) {
  fields.m_strLibrary = res::kNotAvailable;
  if (const auto library = ReadDriverValue(pcsc, card, kCtlLibraryVersion)) fields.m_strLibrary = FormatVersion(*library);
}

void Disconnect(const CMSCard& pcsc, SCARDHANDLE& card) {
  if (card == kNoCard) return;
  pcsc.Disconnect(card, SCARD_LEAVE_CARD);
  card = kNoCard;
}

CReaderFields DriverNotes(const CReaderFields& shown, VendorAnswers answers, std::chrono::milliseconds deadline) {
  CReaderFields notes;
  std::string note;
  if (answers == VendorAnswers::kRefused) note = kDriverRefusesVendorRequests;
  if (answers == VendorAnswers::kNotInTime) {
    // In integers: printf would write the window locale's decimal comma.
    const auto ms = static_cast<long long>(deadline.count());
    std::string seconds = velkaro::Format("%lld.%03lld", ms / 1000, ms % 1000);
    seconds.erase(seconds.find_last_not_of('0') + 1);
    if (seconds.back() == '.') seconds.pop_back();
    note = velkaro::Format(kDriverDidNotAnswerWithin, seconds.c_str());
  }
  if (note.empty()) return notes;
  // The CT-API port comes from the CT-API library, not from the driver.
  static constexpr std::string CReaderFields::*kReaderFacts[] = {
      &CReaderFields::m_strFirmware, &CReaderFields::m_strLibrary, &CReaderFields::m_strSerialNumber};
  static constexpr std::string CReaderFields::*kCardValues[] = {
      &CReaderFields::m_strPort,    &CReaderFields::m_strFrequency, &CReaderFields::m_strVoltage,
      &CReaderFields::m_strTA1InUse, &CReaderFields::m_strTA1,      &CReaderFields::m_strProtocol,
      &CReaderFields::m_strSubProtocol};
  const auto noteIfUnknown = [&](std::string CReaderFields::*field) {
    if (shown.*field == res::kNotAvailable) notes.*field = note;
  };
  for (const auto field : kReaderFacts) noteIfUnknown(field);
  if (!shown.m_strATR.empty()) {
    for (const auto field : kCardValues) noteIfUnknown(field);
  }
  return notes;
}

}  // namespace card_steps
