#include "reader/reader_session.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <span>
#include <system_error>
#include <utility>

#include "card/ct_api.h"
#include "card/reader_info.h"
#include "platform/deadline.h"
#include "reader/card_decoding.h"
#include "reader/card_steps.h"
#include "res/strings.h"

namespace {

// A register read waits this long for a card update to let go of the reader,
// trying the lock this often (a plain mutex, which every sanitizer follows).
constexpr std::chrono::seconds kRegisterLockWait{10};
constexpr std::chrono::milliseconds kRegisterLockRetry{5};
constexpr std::size_t kRegisterReadAntennaByte = 5;

void ResetCardTexts(CReaderFields& f) {
  for (std::string* text : {&f.m_strProtocol, &f.m_strSubProtocol, &f.m_strPort, &f.m_strFrequency,
                            &f.m_strTA1InUse, &f.m_strTA1, &f.m_strVoltage}) {
    *text = res::kNotAvailable;
  }
  f.m_strATR.clear();
  f.m_strCardName.clear();
}

// The antenna count, then each antenna's records; a notice when they cannot
// be read.
const char* ReadAntennas(const CMSCard& pcsc, SCARDHANDLE card, std::vector<CAntennaBuffer>& antennas) {
  static_assert(kMaxAntennas >= 255, "every antenna the count byte names is read");
  std::array<std::uint8_t, kEscapeCommandSize> command{};
  command[0] = kEscapeRegisterInfo;
  std::array<std::uint8_t, kEscapeAnswerSize> answer{};
  DWORD returned = 0;
  if (pcsc.Control(card, VendorControlCode(kCtlEscape), command.data(), command.size(), answer.data(), answer.size(),
                   &returned) != SCARD_S_SUCCESS ||
      returned < 1) {
    return kNoRfidRegisters;
  }
  const unsigned count = answer[0];
  if (count == 0) return kNoAntenna;
  antennas.resize(count);
  for (unsigned i = 0; i < count; ++i) {
    command.fill(0);
    command[0] = kEscapeRegisterRead;
    command[1] = 1;  // the number 1, least significant byte first
    command[kRegisterReadAntennaByte] = static_cast<std::uint8_t>(i);
    CAntennaBuffer& buffer = antennas[i];
    DWORD length = 0;
    if (pcsc.Control(card, VendorControlCode(kCtlEscape), command.data(), command.size(), buffer.data.data(),
                     buffer.data.size(), &length) != SCARD_S_SUCCESS) {
      antennas.clear();
      return kRegisterReadFailed;
    }
    buffer.length = std::min<std::size_t>(length, buffer.data.size());
  }
  return nullptr;
}

bool LockWithin(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (!lock.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kRegisterLockRetry);
  }
  return true;
}

}  // namespace

CReaderSession::CReaderSession(const std::string& pcscLibrary) : m_card(pcscLibrary) {}

CReaderSession::~CReaderSession() { Stop(); }

void CReaderSession::Stop() {
  m_pageGate.Close();
  m_monitor.Stop();
  {
    // The monitor may wait for the reader facts: it sees the stop now.
    const std::lock_guard lock(m_fieldsLock);
  }
  m_factsArrived.notify_all();
  JoinRegisterReads(true);
}

CRegisterRead CReaderSession::ReadRegisters() {
  CRegisterRead read;
  std::unique_lock page(m_monitor.PageLock(), std::defer_lock);
  if (!LockWithin(page, kRegisterLockWait)) {
    read.failure = kRegisterReadFailed;
    return read;
  }
  // Only the contactless models carry these letters in their names.
  if (m_strReaderName.find("CL") == std::string::npos && m_strReaderName.find("Cl") == std::string::npos) {
    read.failure = kNoRfidRegisters;
    return read;
  }
  SCARDCONTEXT context = kNoContext;
  if (m_card.EstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
    read.failure = kConnectingFailed;
    return read;
  }
  SCARDHANDLE card = kNoCard;
  DWORD protocol = 0;
  if (m_card.Connect(context, m_strReaderName.c_str(), SCARD_SHARE_DIRECT, 0, &card, &protocol) != SCARD_S_SUCCESS) {
    read.failure = kConnectingFailed;
  } else {
    read.failure = ReadAntennas(m_card, card, read.antennas);
    card_steps::Disconnect(m_card, card);
  }
  m_card.ReleaseContext(context);
  return read;
}

void CReaderSession::ReadRegistersInBackground(std::function<void(CRegisterRead)> done) {
  JoinRegisterReads(false);
  if (auto self = weak_from_this().lock()) {
    // A driver may hold the read for good: the thread owns the session and
    // is never joined.
    const bool started = velkaro::StartAbandonableThread(
        [self, done = std::move(done)] {
          CRegisterRead read = self->ReadRegisters();
          self->m_pageGate.Call([&] {
            if (done) done(std::move(read));
          });
        },
        "register read");
    if (!started) m_pageGate.Call([&] {
      if (done) done(CRegisterRead{{}, kRegisterReadFailed});
    });
    return;
  }
  auto finished = std::make_shared<std::atomic<bool>>(false);
  try {
    std::thread thread([this, finished, done] {
      CRegisterRead read = ReadRegisters();
      if (done) done(std::move(read));
      finished->store(true);
    });
    m_registerReads.push_back({std::move(thread), std::move(finished)});
  } catch (const std::system_error&) {
    if (done) done(CRegisterRead{{}, kRegisterReadFailed});
  }
}

void CReaderSession::JoinRegisterReads(bool all) {
  std::erase_if(m_registerReads, [all](RegisterReadThread& read) {
    if (!all && !read.finished->load()) return false;
    read.thread.join();
    return true;
  });
}

bool CReaderSession::Initialise(PostFunction post, RedrawFunction redraw, PostFunction postFacts) {
  m_redraw = std::move(redraw);
  {
    const std::lock_guard lock(m_fieldsLock);
    ResetCardTexts(m_fields);
    m_factsKnown = 0;
    m_factsPosted = 0;
    m_bFactsTimedOut = false;
    m_vendorAnswers = card_steps::VendorAnswers::kNoneYet;
  }
  std::shared_ptr<CReaderSession> self = weak_from_this().lock();
  // The port search tries up to 255 ports and the reader query waits for the
  // driver: both run off the page's thread, before the monitor's first wait.
  auto gatherFacts = [this, self, postFacts = std::move(postFacts)] { GatherReaderFacts(self, postFacts); };
  // Each change is read on the monitor thread, then shown.
  auto changed = [this, post = std::move(post)] {
    UpdateCardInfo();
    m_pageGate.Call(post);
  };
  return m_monitor.Start(m_strReaderName, std::move(changed), std::move(gatherFacts), std::move(self));
}

namespace {

constexpr unsigned kFactCtApiPort = 1;
constexpr unsigned kFactFirmware = 2;
constexpr unsigned kFactLibrary = 4;
constexpr unsigned kFactSerialNumber = 8;
constexpr unsigned kAllFacts = kFactCtApiPort | kFactFirmware | kFactLibrary | kFactSerialNumber;

}  // namespace

void CReaderSession::GatherReaderFacts(const std::shared_ptr<CReaderSession>& self, const PostFunction& postFacts) {
  auto searchPort = [this, reader = m_strReaderName, module = m_strCtApiModule, postFacts] {
    std::string port = FindCtApiPort(module, reader);  // loaded only for the search
    PublishFacts([&port](CReaderFields& f) { f.m_strCtApiPort = std::move(port); }, kFactCtApiPort, postFacts);
  };
  auto askDriver = [this, reader = m_strReaderName, postFacts] {
    const auto show = [this, &postFacts](const CReaderInfo& info, unsigned known) {
      PublishFacts(
          [&info, known](CReaderFields& f) {
            if (known & kFactFirmware) f.m_strFirmware = info.firmware;
            if (known & kFactLibrary) f.m_strLibrary = info.library;
            if (known & kFactSerialNumber) f.m_strSerialNumber = info.serialNumber;
          },
          known, postFacts);
    };
    // Each answer goes up as it comes: the firmware, then the library, then
    // the serial number.
    unsigned answered = 0;
    CReaderInfo info;
    bool refused = false;
    info.firmware = GetReaderInfo(
        reader, info.library, info.serialNumber,
        [&](const CReaderInfo& sofar) {
          if (answered == 0) HeardFromDriver(card_steps::VendorAnswers::kAnswered);
          answered = answered == 0 ? kFactFirmware : (answered << 1) | answered;
          show(sofar, answered);
        },
        &refused);
    if (refused) HeardFromDriver(card_steps::VendorAnswers::kRefused);
    // What did not answer is known now too: "n/a".
    if (const unsigned rest = (kFactFirmware | kFactLibrary | kFactSerialNumber) & ~answered) show(info, rest);
  };
  if (!self) {
    // Nobody owns the session, so nothing may outlive this thread: ask here.
    searchPort();
    askDriver();
    return;
  }
  // The port needs no driver, so it does not wait for one. Each thread owns
  // the session: a driver that never answers keeps it, not the page.
  velkaro::StartAbandonableThread([self, searchPort] { searchPort(); }, "ct-api port");
  velkaro::StartAbandonableThread([self, askDriver] { askDriver(); }, "reader facts");
  std::unique_lock lock(m_fieldsLock);
  if (m_factsArrived.wait_for(lock, m_factsDeadline,
                              [this] { return m_factsPosted == kAllFacts || m_monitor.Stopping(); })) {
    return;
  }
  // What has not come by now is shown as unknown; the facts' threads go on.
  for (const auto& [bit, field] : {std::pair{kFactCtApiPort, &CReaderFields::m_strCtApiPort},
                                   std::pair{kFactFirmware, &CReaderFields::m_strFirmware},
                                   std::pair{kFactLibrary, &CReaderFields::m_strLibrary},
                                   std::pair{kFactSerialNumber, &CReaderFields::m_strSerialNumber}}) {
    if (!(m_factsKnown & bit)) m_fields.*field = res::kNotAvailable;
  }
  // The driver's facts come in one query: none of them yet, no word from it.
  if (!(m_factsKnown & kFactFirmware)) {
    m_vendorAnswers = std::max(m_vendorAnswers, card_steps::VendorAnswers::kNotInTime);
  }
  m_bFactsTimedOut = true;
  m_bFactsShown = true;
  lock.unlock();
  m_pageGate.Call(postFacts);
}

bool CReaderSession::FactsSettled() const {
  const std::lock_guard lock(m_fieldsLock);
  return m_factsKnown == kAllFacts || m_bFactsTimedOut;
}

void CReaderSession::PublishFacts(const std::function<void(CReaderFields&)>& set, unsigned known,
                                  const PostFunction& postFacts) {
  {
    const std::lock_guard lock(m_fieldsLock);
    set(m_fields);
    m_factsKnown |= known;
    m_bFactsShown = true;
  }
  m_pageGate.Call(postFacts);
  // The monitor goes on once the page has been told, so the facts are shown
  // ahead of the first change.
  {
    const std::lock_guard lock(m_fieldsLock);
    m_factsPosted |= known;
  }
  m_factsArrived.notify_all();
}

bool CReaderSession::ApplyReaderFacts() {
  {
    const std::lock_guard lock(m_fieldsLock);
    if (!std::exchange(m_bFactsShown, false)) return false;
  }
  if (m_redraw) m_redraw();
  return true;
}

CReaderFields CReaderSession::Fields() const {
  const std::lock_guard lock(m_fieldsLock);
  return m_fields;
}

CReaderFields CReaderSession::DriverNotes(const CReaderFields& shown) const {
  card_steps::VendorAnswers answers;
  {
    const std::lock_guard lock(m_fieldsLock);
    answers = m_vendorAnswers;
  }
  return card_steps::DriverNotes(shown, answers, m_factsDeadline);
}

void CReaderSession::HeardFromDriver(card_steps::VendorAnswers heard) {
  const std::lock_guard lock(m_fieldsLock);
  m_vendorAnswers = std::max(m_vendorAnswers, heard);
}

void CReaderSession::Publish(CReaderFields& before, const CReaderFields& fields, bool redraw) {
  {
    const std::lock_guard lock(m_fieldsLock);
    MergeUpdate(m_fields, before, fields);
  }
  before = fields;
  if (redraw) m_pageGate.Call(m_redraw);
}

void CReaderSession::UpdateCardInfo(bool noRedraw) {
  const SCARD_READERSTATE state = m_monitor.ReaderState();
  // The monitor thread writes the card's texts; a reader fact that comes
  // late may change the texts meanwhile, and is kept.
  CReaderFields before = Fields();
  CReaderFields f = before;
  {
    std::unique_lock page(m_monitor.PageLock());
    // Without a context only the end steps run.
    if (const SCARDCONTEXT context = m_monitor.Context(); context != kNoContext) {
      card_steps::SetStatusLine(f, state.dwEventState);
      if (card_steps::CardLeft(state)) ResetCardTexts(f);
      if (card_steps::CardArrived(state)) ReadArrivedCard(state, context, noRedraw, before, f);
    }
    card_steps::Disconnect(m_card, m_hCard);
  }
  Publish(before, f, true);
  m_monitor.SetReady();
}

void CReaderSession::ReadArrivedCard(const SCARD_READERSTATE& state, SCARDCONTEXT context, bool noRedraw,
                                     CReaderFields& before, CReaderFields& f) {
  // The ATR and the card's name go up before the connection and the
  // driver's slower answers.
  const auto synchronous = card_steps::ConnectAndNameCard(
      m_card, context, m_strReaderName, state, m_cardNames.get(), m_hCard, f,
      [this, noRedraw, &before](const CReaderFields& named) { Publish(before, named, !noRedraw); });
  if (!synchronous) return;
  // The port is the update's first question to the driver; a driver that
  // answers it is heard from, and the rest tells no more.
  const bool port = card_steps::ReadPort(m_card, m_hCard, f);
  HeardFromDriver(port ? card_steps::VendorAnswers::kAnswered : card_steps::VendorAnswers::kRefused);
  if (!port) return;

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
}
