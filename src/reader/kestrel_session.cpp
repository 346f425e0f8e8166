#include "reader/kestrel_session.h"

#include <utility>

#include "card/reader_info.h"
#include "platform/deadline.h"
#include "platform/store/registry.h"
#include "platform/text.h"
#include "reader/card_steps.h"
#include "res/strings.h"
#include "rfid/rfid_settings.h"

std::optional<int> AirSpeedIndex(std::uint32_t stored) {
  for (int i = 0; i < kAirSpeedCount; ++i) {
    if (kAirSpeedStored[i] == stored) return i;
  }
  return std::nullopt;
}

std::string AirSpeedWriteFailure(long result) {
  const char* reason = "the settings store refused it";
  switch (result) {
    case ERROR_ACCESS_DENIED: reason = "access denied (the settings store can only be changed as root)"; break;
    case ERROR_BADDB: reason = "the settings store cannot be parsed"; break;
    case ERROR_CANTREAD: reason = "the settings store cannot be read"; break;
    case ERROR_CANTWRITE: reason = "the settings store cannot be written"; break;
    default: break;
  }
  return velkaro::Format("The air speed could not be stored in HKEY_LOCAL_MACHINE\\%s \"%s\": %s (error %ld).",
                         kAirSpeedKey, kAirSpeedValue, reason, result);
}

CKestrelSession::CKestrelSession(const std::string& pcscLibrary) : m_card(pcscLibrary) {}

CKestrelSession::~CKestrelSession() { Stop(); }

void CKestrelSession::Stop() {
  m_pageGate.Close();
  m_monitor.Stop();
  {
    // The monitor may wait for the port: it sees the stop now.
    const std::lock_guard lock(m_factsLock);
  }
  m_portArrived.notify_all();
}

bool CKestrelSession::Initialise(PostFunction post, RedrawFunction redraw, PostFunction postFacts) {
  m_redraw = std::move(redraw);
  std::shared_ptr<CKestrelSession> self = weak_from_this().lock();
  auto gatherFacts = [this, self, postFacts = std::move(postFacts)] { GatherFacts(self, postFacts); };
  // Each change is read on the monitor thread, then shown.
  auto changed = [this, post = std::move(post)] {
    UpdateCardInfo();
    m_pageGate.Call(post);
  };
  return m_monitor.Start(m_strReaderName, std::move(changed), std::move(gatherFacts), std::move(self));
}

void CKestrelSession::GatherFacts(const std::shared_ptr<CKestrelSession>& self, const PostFunction& postFacts) {
  // The air speed read may wait for the store's lock (it creates the key),
  // a bounded wait; each fact is posted as soon as it is known.
  std::optional<int> speed = LoadAirSpeed();
  {
    const std::lock_guard lock(m_factsLock);
    m_pendingAirSpeed = speed;
    m_bAirSpeedPending = true;
  }
  m_pageGate.Call(postFacts);
  auto searchPort = [this, reader = m_strReaderName, module = m_strCtApiModule, postFacts] {
    std::string port = FindCtApiPort(module, reader);  // loaded only for the search
    {
      const std::lock_guard lock(m_fieldsLock);
      m_fields.m_strCtApiPort = std::move(port);
    }
    {
      const std::lock_guard lock(m_factsLock);
      m_bPortShown = true;
      m_bPortKnown = true;
    }
    m_portArrived.notify_all();
    m_pageGate.Call(postFacts);
  };
  if (!self) {
    searchPort();  // nobody owns the session: nothing may outlive this thread
    return;
  }
  velkaro::StartAbandonableThread([self, searchPort] { searchPort(); }, "ct-api port");
  std::unique_lock lock(m_factsLock);
  if (m_portArrived.wait_for(lock, m_factsDeadline, [this] { return m_bPortKnown || m_monitor.Stopping(); })) return;
  lock.unlock();
  // Unknown for now; the search goes on and a late port still shows.
  {
    const std::lock_guard fields(m_fieldsLock);
    m_fields.m_strCtApiPort = res::kNotAvailable;
  }
  {
    const std::lock_guard facts(m_factsLock);
    m_bPortShown = true;
  }
  m_pageGate.Call(postFacts);
}

CReaderFields CKestrelSession::Fields() const {
  const std::lock_guard lock(m_fieldsLock);
  return m_fields;
}

void CKestrelSession::Publish(CReaderFields& before, const CReaderFields& fields) {
  {
    const std::lock_guard lock(m_fieldsLock);
    MergeUpdate(m_fields, before, fields);
  }
  before = fields;
  m_pageGate.Call(m_redraw);
}

bool CKestrelSession::ApplyReaderFacts() {
  bool portArrived = false;
  std::optional<int> speed;
  bool speedArrived = false;
  {
    const std::lock_guard lock(m_factsLock);
    portArrived = std::exchange(m_bPortShown, false);
    speedArrived = std::exchange(m_bAirSpeedPending, false);
    speed = m_pendingAirSpeed;
  }
  if (speedArrived) {
    m_bAirSpeedLoaded = true;
    m_bAirSpeedReadable = speed.has_value();
    if (speed) m_nAirSpeed = *speed;
  }
  if (portArrived && m_redraw) m_redraw();
  return portArrived || speedArrived;
}

void CKestrelSession::UpdateCardInfo() {
  const SCARD_READERSTATE state = m_monitor.ReaderState();
  // A CT-API port that comes late may change the texts meanwhile, and is kept.
  CReaderFields before = Fields();
  CReaderFields f = before;
  // Without a context only the end steps run.
  if (const SCARDCONTEXT context = m_monitor.Context(); context != kNoContext) {
    card_steps::SetStatusLine(f, state.dwEventState);
    if (card_steps::CardLeft(state)) {
      // Unlike the reader page, firmware and library go with the card.
      for (std::string* text : {&f.m_strProtocol, &f.m_strFirmware, &f.m_strPort, &f.m_strLibrary}) {
        *text = res::kNotAvailable;
      }
      f.m_strATR.clear();
      f.m_strCardName.clear();
    }
    if (card_steps::CardArrived(state)) ReadArrivedCard(state, context, before, f);
  }
  card_steps::Disconnect(m_card, m_hCard);
  // Also after a step that failed, so the screen never keeps the texts of
  // the card before.
  Publish(before, f);
  m_monitor.SetReady();
}

void CKestrelSession::ReadArrivedCard(const SCARD_READERSTATE& state, SCARDCONTEXT context,
                                      CReaderFields& before, CReaderFields& f) {
  // The ATR and the card's name go up before the connection and the
  // driver's slower answers.
  if (!card_steps::ConnectAndNameCard(m_card, context, m_strReaderName, state, m_cardNames.get(), m_hCard, f,
                                      [this, &before](const CReaderFields& named) { Publish(before, named); })) {
    return;
  }
  const auto firmware = card_steps::ReadDriverValue(m_card, m_hCard, kCtlFirmwareVersion);
  if (!firmware) return;
  f.m_strFirmware = FormatVersion(*firmware);
  if (!card_steps::ReadPort(m_card, m_hCard, f)) return;
  const auto ta1 = card_steps::ReadDriverValue(m_card, m_hCard, kCtlTa1InUse);
  if (!ta1) return;
  if (*ta1 == kTa1Contactless) {
    f.m_strProtocol = "T=CL";
    card_steps::AppendCardIdentifier(m_card, m_hCard, card_steps::AtrOf(state), f);
  }
  card_steps::ReadLibraryVersion(m_card, m_hCard, f);
}

bool CKestrelSession::ReadAirSpeed() {
  const std::optional<int> index = LoadAirSpeed();
  if (!index) return false;
  m_nAirSpeed = *index;
  return true;
}

std::optional<int> CKestrelSession::LoadAirSpeed() {
  velkaro::ScopedHKey key;
  if (key.Create(HKEY_LOCAL_MACHINE, kAirSpeedKey, KEY_ALL_ACCESS) != ERROR_SUCCESS) return std::nullopt;
  // The type is not asked; a missing value means the fastest speed.
  std::uint32_t stored = kAirSpeedMissing;
  const LSTATUS result = key.QueryNumber(kAirSpeedValue, stored);
  if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return std::nullopt;
  if (result == ERROR_FILE_NOT_FOUND) stored = kAirSpeedMissing;
  return AirSpeedIndex(stored);
}

bool CKestrelSession::WriteAirSpeed(int selection, long* result) {
  if (selection < 0 || selection >= kAirSpeedCount) {
    if (result) *result = ERROR_INVALID_PARAMETER;
    return false;
  }
  velkaro::ScopedHKey key;
  LSTATUS status = key.Create(HKEY_LOCAL_MACHINE, kAirSpeedKey, KEY_ALL_ACCESS);
  if (status == ERROR_SUCCESS) {
    const std::uint32_t value = kAirSpeedStored[selection];
    status = RegSetValueEx(key.Get(), kAirSpeedValue, 0, REG_DWORD, reinterpret_cast<const std::uint8_t*>(&value),
                           sizeof value);
  }
  if (result) *result = status;
  if (status == ERROR_SUCCESS) {
    m_nAirSpeed = selection;
    return true;
  }
  // Show what is stored, not what the user wished for.
  ReadAirSpeed();
  return false;
}
