#include "reader/reader_session.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <optional>
#include <span>
#include <system_error>

#include "card/byte_buffer.h"
#include "card/ct_api.h"
#include "card/reader_info.h"
#include "reader/card_decoding.h"
#include "res/strings.h"

namespace {

constexpr int kErrorPauseMs = 1000;     // after a failed wait, before the next one
constexpr int kCancelRepeatMs = 20;     // how often Stop() repeats its cancel

// Errors after which the context is of no further use: pcscd went away, or
// came back as a new process that does not know the context.
bool ContextIsDead(LONG result) {
  return result == SCARD_E_NO_SERVICE || result == SCARD_E_SERVICE_STOPPED || result == SCARD_E_INVALID_HANDLE ||
         result == SCARD_F_COMM_ERROR;
}

}  // namespace

CReaderSession::CReaderSession(const std::string& pcscLibrary) : m_card(pcscLibrary) {
  SCARDCONTEXT context = kNoContext;
  if (m_card.EstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) context = kNoContext;
  m_hContext.store(context);
}

CReaderSession::~CReaderSession() {
  Stop();
  const SCARDCONTEXT context = m_hContext.exchange(kNoContext);
  if (context != kNoContext) m_card.ReleaseContext(context);
}

void CReaderSession::Stop() {
  {
    std::lock_guard lock(m_readyLock);
    m_bStop.store(true);
  }
  m_readyChanged.notify_all();
  if (!m_hThread.joinable()) return;
  // Wake a pending status-change wait: pcsc-lite would hold a context
  // release until the wait times out. A cancel sent before the wait begins
  // is lost, so it is repeated until the thread has left.
  while (true) {
    const SCARDCONTEXT context = m_hContext.load();
    if (context != kNoContext) m_card.Cancel(context);
    std::unique_lock lock(m_readyLock);
    if (m_readyChanged.wait_for(lock, std::chrono::milliseconds(kCancelRepeatMs), [this] { return m_bThreadDone; })) {
      break;
    }
  }
  m_hThread.join();
}

SCARD_READERSTATE CReaderSession::ReaderState() {
  std::lock_guard lock(m_readyLock);
  return m_readerState;
}

bool CReaderSession::Initialise(PostFunction post, RedrawFunction redraw) {
  m_post = std::move(post);
  m_redraw = std::move(redraw);
  {
    // Loaded only while the page initialises.
    const CCtApi ctApi(m_strCtApiModule);
    m_fields.m_strCtApiPort = ctApi.GetCtApiPort(m_strReaderName);
  }
  for (std::string* text : {&m_fields.m_strProtocol, &m_fields.m_strSubProtocol, &m_fields.m_strPort,
                            &m_fields.m_strFrequency, &m_fields.m_strTA1InUse, &m_fields.m_strTA1,
                            &m_fields.m_strVoltage}) {
    *text = res::kNotAvailable;
  }
  m_fields.m_strATR.clear();
  m_fields.m_strCardName.clear();
  m_fields.m_strFirmware = GetReaderInfo(m_strReaderName, m_fields.m_strLibrary, m_fields.m_strSerialNumber);

  {
    std::lock_guard lock(m_readyLock);
    m_bReady = true;
    m_bThreadDone = false;
    m_readerState = SCARD_READERSTATE{};
    m_readerState.szReader = m_strReaderName.c_str();
    m_readerState.dwCurrentState = SCARD_STATE_UNAWARE;
    m_bStop.store(false);
  }
  try {
    m_hThread = std::thread(&CReaderSession::MonitorThread, this);
  } catch (const std::system_error&) {
    m_bStop.store(true);
    return false;
  }
  return true;
}

void CReaderSession::SleepUnlessStopped(int milliseconds) {
  std::unique_lock lock(m_readyLock);
  m_readyChanged.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_bStop.load(); });
}

void CReaderSession::RenewContext() {
  SCARDCONTEXT fresh = kNoContext;
  if (m_card.EstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &fresh) != SCARD_S_SUCCESS) return;
  SCARDCONTEXT old = kNoContext;
  {
    // The card update and the register view use the context under this lock.
    std::lock_guard page(m_pageLock);
    old = m_hContext.exchange(fresh);
  }
  if (old != kNoContext) m_card.ReleaseContext(old);
}

void CReaderSession::MonitorThread() {
  SCARD_READERSTATE local = ReaderState();
  local.szReader = m_strReaderName.c_str();

  SCARDCONTEXT own = kNoContext;
  if (m_card.EstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &own) == SCARD_S_SUCCESS) {
    while (!m_bStop.load()) {
      const SCARDCONTEXT context = m_hContext.load();
      if (context == kNoContext) {
        SleepUnlessStopped(kErrorPauseMs);
        if (!m_bStop.load()) RenewContext();
        continue;
      }
      m_nWaits.fetch_add(1);
      const LONG result = m_card.GetStatusChange(context, kStatusChangeTimeoutMs, &local, 1);
      if (result == SCARD_E_TIMEOUT) continue;
      if (result != SCARD_S_SUCCESS) {
        // Calls on a dead context fail at once: never spin on them.
        SleepUnlessStopped(kErrorPauseMs);
        if (!m_bStop.load() && ContextIsDead(result)) {
          RenewContext();
          local.dwCurrentState = SCARD_STATE_UNAWARE;
        }
        continue;
      }
      {
        std::lock_guard lock(m_readyLock);
        m_bReady = false;
        m_readerState = local;
      }
      m_nPosted.fetch_add(1);
      if (m_post) m_post();
      {
        std::unique_lock lock(m_readyLock);
        m_readyChanged.wait(lock, [this] { return m_bReady || m_bStop.load(); });
      }
      local.dwCurrentState = local.dwEventState;
    }
    m_card.ReleaseContext(own);
  }
  {
    std::lock_guard lock(m_readyLock);
    m_bThreadDone = true;
  }
  m_readyChanged.notify_all();
}

void CReaderSession::SetReady() {
  {
    std::lock_guard lock(m_readyLock);
    m_bReady = true;
  }
  m_readyChanged.notify_all();
}

namespace {

// A 4-byte driver value; nothing when the control code fails.
std::optional<DriverValue> ReadDriverValue(const CMSCard& card, SCARDHANDLE handle, VendorFunction function) {
  DriverValue value = 0;
  DWORD returned = 0;
  if (card.Control(handle, VendorControlCode(function), nullptr, 0, &value, sizeof value, &returned) !=
      SCARD_S_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::uint32_t> ReadChannelId(const CMSCard& card, SCARDHANDLE handle) {
  std::array<BYTE, sizeof(std::uint32_t)> buffer{};
  DWORD length = buffer.size();
  if (card.GetAttrib(handle, SCARD_ATTR_CHANNEL_ID, buffer.data(), &length) != SCARD_S_SUCCESS) return std::nullopt;
  std::uint32_t value = 0;
  std::memcpy(&value, buffer.data(), std::min<std::size_t>(length, buffer.size()));
  return value;
}

}  // namespace

void CReaderSession::UpdateCardInfo(bool noRedraw) {
  const SCARD_READERSTATE state = ReaderState();
  const SCARDCONTEXT context = m_hContext.load();
  std::unique_lock page(m_pageLock, std::defer_lock);
  CReaderFields& f = m_fields;

  // Steps that end early jump to the common end below.
  const auto update = [&] {
    const DWORD event = state.dwEventState;
    const DWORD current = state.dwCurrentState;
    if (event & SCARD_STATE_PRESENT) f.m_strStatus = kCardInserted;
    if (event & SCARD_STATE_EMPTY) f.m_strStatus = kCardNotInserted;
    if (event & SCARD_STATE_MUTE) {
      f.m_strStatus = kCardMute;
      if (m_redraw) m_redraw();
    }
    if (!(event & SCARD_STATE_PRESENT)) {
      for (std::string* text : {&f.m_strProtocol, &f.m_strSubProtocol, &f.m_strPort, &f.m_strFrequency,
                                &f.m_strTA1InUse, &f.m_strTA1, &f.m_strVoltage}) {
        *text = res::kNotAvailable;
      }
      f.m_strATR.clear();
      f.m_strCardName.clear();
    }
    const bool arrived = (event & SCARD_STATE_PRESENT) && !(current & SCARD_STATE_PRESENT);
    if (!arrived) return;

    DWORD protocol = 0;
    if (m_card.Connect(context, m_strReaderName.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                       &m_hCard, &protocol) != SCARD_S_SUCCESS) {
      m_hCard = kNoCard;
      return;
    }
    f.m_strProtocol = ProtocolText(protocol);
    const std::span<const std::uint8_t> atr(state.rgbAtr, std::min<std::size_t>(state.cbAtr, sizeof state.rgbAtr));
    const std::string syncType = GetSyncCardType(atr.data(), atr.size());
    const bool synchronous = !syncType.empty();
    if (synchronous) f.m_strProtocol = syncType;
    f.m_strATR = HexText(atr);

    if (m_cardNames) {
      if (std::string name = m_cardNames->CardNameFor(f.m_strATR); !name.empty()) f.m_strCardName = name;
    }

    const auto channel = ReadChannelId(m_card, m_hCard);
    if (!channel) return;
    f.m_strPort = ChannelText(*channel);

    const auto frequency = ReadDriverValue(m_card, m_hCard, kCtlClockFrequency);
    if (!frequency) return;
    f.m_strFrequency = FrequencyText(*frequency);

    const auto voltage = ReadDriverValue(m_card, m_hCard, kCtlVoltageClass);
    if (!voltage) return;
    if (const auto text = VoltageText(*voltage)) f.m_strVoltage = *text;

    const auto ta1 = ReadDriverValue(m_card, m_hCard, kCtlTa1InUse);
    if (!ta1) return;
    f.m_strTA1InUse = synchronous ? res::kNotAvailable : Ta1Text(*ta1);
    if (*ta1 == kTa1Contactless) {
      if (IsContactless()) {
        std::array<std::uint8_t, kContactlessInfoSize> answer{};
        DWORD returned = 0;
        if (m_card.Control(m_hCard, VendorControlCode(kCtlContactlessInfo), kContactlessInfoCommand.data(),
                           kContactlessInfoCommand.size(), answer.data(), answer.size(), &returned) ==
            SCARD_S_SUCCESS) {
          const auto info = DecodeContactlessInfo(std::span(answer.data(), std::min<std::size_t>(returned, answer.size())));
          f.m_strTA1InUse = info.receiveRate;
          f.m_strTA1 = info.sendRate;
          f.m_strProtocol = info.protocol;
          f.m_strSubProtocol = info.subProtocol;
        } else {
          f.m_strTA1InUse = res::kNotAvailable;
          f.m_strProtocol = res::kNotAvailable;
          f.m_strSubProtocol = res::kNotAvailable;
        }
      }
      if (IsContactlessAtr(atr)) {
        std::array<std::uint8_t, kEscapeCommandSize> command{};
        command[0] = kEscapeCardIdentifier;
        std::array<std::uint8_t, kEscapeAnswerSize> answer{};
        DWORD returned = 0;
        if (m_card.Control(m_hCard, VendorControlCode(kCtlEscape), command.data(), command.size(), answer.data(),
                           answer.size(), &returned) == SCARD_S_SUCCESS &&
            returned >= 1) {
          const std::string uid = HexText(std::span(answer.data(), std::min<std::size_t>(returned, answer.size())));
          if (!uid.empty()) {
            if (!f.m_strCardName.empty()) f.m_strCardName += ' ';
            f.m_strCardName += "UID:" + uid;
          }
        }
      }
    }

    f.m_strLibrary = res::kNotAvailable;
    if (const auto library = ReadDriverValue(m_card, m_hCard, kCtlLibraryVersion)) {
      f.m_strLibrary = FormatVersion(*library);
    }
    if (!noRedraw && m_redraw) m_redraw();
  };

  if (context != kNoContext) {
    page.lock();
    update();
  }
  if (m_hCard != kNoCard) {
    m_card.Disconnect(m_hCard, SCARD_LEAVE_CARD);
    m_hCard = kNoCard;
  }
  if (page.owns_lock()) page.unlock();
  SetReady();
  if (m_redraw) m_redraw();
}
