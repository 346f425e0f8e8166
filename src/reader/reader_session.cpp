#include "reader/reader_session.h"

#include <array>
#include <span>

#include "card/ct_api.h"
#include "card/reader_info.h"
#include "reader/card_decoding.h"
#include "reader/card_steps.h"
#include "res/strings.h"

namespace {

void ResetCardTexts(CReaderFields& f) {
  for (std::string* text : {&f.m_strProtocol, &f.m_strSubProtocol, &f.m_strPort, &f.m_strFrequency,
                            &f.m_strTA1InUse, &f.m_strTA1, &f.m_strVoltage}) {
    *text = res::kNotAvailable;
  }
  f.m_strATR.clear();
  f.m_strCardName.clear();
}

}  // namespace

CReaderSession::CReaderSession(const std::string& pcscLibrary) : m_card(pcscLibrary) {}

CReaderSession::~CReaderSession() { m_monitor.Stop(); }

bool CReaderSession::Initialise(PostFunction post, RedrawFunction redraw, PostFunction postFacts) {
  m_redraw = std::move(redraw);
  ResetCardTexts(m_fields);
  // The port search tries up to 255 ports and the reader query waits for the
  // driver: both run on the monitor thread, before its first wait.
  auto gatherFacts = [this, reader = m_strReaderName, module = m_strCtApiModule, postFacts = std::move(postFacts)] {
    ReaderFacts facts;
    facts.ctApiPort = FindCtApiPort(module, reader);  // loaded only for the search
    facts.firmware = GetReaderInfo(reader, facts.library, facts.serialNumber);
    {
      const std::lock_guard lock(m_factsLock);
      m_pendingFacts = std::move(facts);
    }
    if (postFacts) postFacts();
  };
  return m_monitor.Start(m_strReaderName, std::move(post), std::move(gatherFacts));
}

bool CReaderSession::ApplyReaderFacts() {
  std::optional<ReaderFacts> facts;
  {
    const std::lock_guard lock(m_factsLock);
    facts.swap(m_pendingFacts);
  }
  if (!facts) return false;
  m_fields.m_strCtApiPort = std::move(facts->ctApiPort);
  m_fields.m_strFirmware = std::move(facts->firmware);
  m_fields.m_strLibrary = std::move(facts->library);
  m_fields.m_strSerialNumber = std::move(facts->serialNumber);
  if (m_redraw) m_redraw();
  return true;
}

void CReaderSession::UpdateCardInfo(bool noRedraw) {
  const SCARD_READERSTATE state = m_monitor.ReaderState();
  {
    std::unique_lock page(m_monitor.PageLock());
    // Without a context only the end steps run.
    if (const SCARDCONTEXT context = m_monitor.Context(); context != kNoContext) {
      if (card_steps::SetStatusLine(m_fields, state.dwEventState) && m_redraw) m_redraw();
      if (!(state.dwEventState & SCARD_STATE_PRESENT)) ResetCardTexts(m_fields);
      if (card_steps::CardArrived(state)) ReadArrivedCard(state, context, noRedraw);
    }
    card_steps::Disconnect(m_card, m_hCard);
  }
  m_monitor.SetReady();
  if (m_redraw) m_redraw();
}

void CReaderSession::ReadArrivedCard(const SCARD_READERSTATE& state, SCARDCONTEXT context, bool noRedraw) {
  CReaderFields& f = m_fields;
  const auto synchronous =
      card_steps::ConnectAndNameCard(m_card, context, m_strReaderName, state, m_cardNames.get(), m_hCard, f);
  if (!synchronous) return;
  if (!card_steps::ReadPort(m_card, m_hCard, f)) return;

  const auto frequency = card_steps::ReadDriverValue(m_card, m_hCard, kCtlClockFrequency);
  if (!frequency) return;
  f.m_strFrequency = FrequencyText(*frequency);

  const auto voltage = card_steps::ReadDriverValue(m_card, m_hCard, kCtlVoltageClass);
  if (!voltage) return;
  if (const auto text = VoltageText(*voltage)) f.m_strVoltage = *text;

  const auto ta1 = card_steps::ReadDriverValue(m_card, m_hCard, kCtlTa1InUse);
  if (!ta1) return;
  f.m_strTA1InUse = *synchronous ? res::kNotAvailable : Ta1Text(*ta1);
  if (*ta1 == kTa1Contactless) {
    if (IsContactless()) {
      std::array<std::uint8_t, kContactlessInfoSize> answer{};
      DWORD returned = 0;
      if (m_card.Control(m_hCard, VendorControlCode(kCtlContactlessInfo), kContactlessInfoCommand.data(),
                         kContactlessInfoCommand.size(), answer.data(), answer.size(),
                         &returned) == SCARD_S_SUCCESS) {
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
    card_steps::AppendCardIdentifier(m_card, m_hCard, card_steps::AtrOf(state), f);
  }

  card_steps::ReadLibraryVersion(m_card, m_hCard, f);
  if (!noRedraw && m_redraw) m_redraw();
}
