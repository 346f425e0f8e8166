#include "status/reader_enumeration.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "card/pcsc.h"
#include "platform/deadline.h"
#include "platform/text.h"

std::vector<std::string> SplitMultiString(const std::vector<char>& buffer) {
  std::vector<std::string> names;
  for (std::size_t pos = 0; pos < buffer.size() && buffer[pos] != '\0';) {
    const std::size_t end = std::find(buffer.begin() + static_cast<long>(pos), buffer.end(), '\0') - buffer.begin();
    names.emplace_back(buffer.data() + pos, end - pos);
    pos = end + 1;
  }
  return names;
}

bool IsHandledReader(const std::string& readerName, const CReaderModelMaps& maps,
                     const AdditionalReaderTest& isAdditional) {
  const std::string base = velkaro::ToUpper(StripReaderIndex(readerName));
  return maps.IsModel(base) || maps.IsAlias(base) || (isAdditional && isAdditional(base)) || IsBrandReader(base);
}

namespace {

// pcsc-lite lists at most 16 readers of up to 128 bytes each.
constexpr std::size_t kListBufferSize = 4096;
constexpr int kListAttempts = 3;

// The handled, present readers as one context sees them; the result of the
// listing in `result`.
bool ListReaders(SCARDCONTEXT context, std::vector<std::string>& list, const CReaderModelMaps& maps,
                 const AdditionalReaderTest& isAdditional, LONG& result) {
  // One round trip for the usual list: the buffer is asked for its size
  // only when the list does not fit (it may grow between two calls).
  std::vector<char> buffer(kListBufferSize);
  for (int attempt = 0;; ++attempt) {
    DWORD size = static_cast<DWORD>(buffer.size());
    result = SCardListReaders(context, nullptr, buffer.data(), &size);
    if (result == SCARD_E_INSUFFICIENT_BUFFER && attempt < kListAttempts && size > buffer.size()) {
      buffer.assign(size, '\0');
      continue;
    }
    if (result != SCARD_S_SUCCESS) buffer.clear();
    buffer.resize(std::min<std::size_t>(size, buffer.size()));
    break;
  }
  std::vector<std::string> handled;
  for (std::string& name : SplitMultiString(buffer)) {
    if (IsHandledReader(name, maps, isAdditional)) handled.push_back(std::move(name));
  }
  // One status call for all handled readers: each call costs round trips to
  // pcscd, and pcsc-lite's client pauses in it for a card without an ATR.
  std::vector<SCARD_READERSTATE> states(handled.size());
  for (std::size_t i = 0; i < handled.size(); ++i) {
    states[i].szReader = handled[i].c_str();
    states[i].dwCurrentState = SCARD_STATE_UNAWARE;
  }
  const bool together = !states.empty() && SCardGetStatusChange(context, kEnumerationTimeoutMs, states.data(),
                                                                static_cast<DWORD>(states.size())) == SCARD_S_SUCCESS;
  for (std::size_t i = 0; i < handled.size(); ++i) {
    // A failed call for all (a reader that went meanwhile) is asked again
    // reader by reader; a reader that fails alone is left out.
    if (!together && SCardGetStatusChange(context, kEnumerationTimeoutMs, &states[i], 1) != SCARD_S_SUCCESS) continue;
    // pcsc-lite keeps a serial reader whose device is gone and calls it
    // unavailable; it is as absent as an unknown one.
    if (states[i].dwEventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE)) continue;
    list.push_back(handled[i]);
  }
  return true;
}

// pcscd went away, or came back as a process that does not know the context.
bool ContextIsDead(LONG result) {
  return result == SCARD_E_NO_SERVICE || result == SCARD_E_SERVICE_STOPPED || result == SCARD_E_INVALID_HANDLE ||
         result == SCARD_F_COMM_ERROR;
}

}  // namespace

bool EnumerateReaders(std::vector<std::string>& list, const CReaderModelMaps& maps,
                      const AdditionalReaderTest& isAdditional) {
  if (!list.empty()) return false;
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return false;
  LONG result = SCARD_S_SUCCESS;
  ListReaders(context, list, maps, isAdditional, result);
  SCardReleaseContext(context);
  return true;
}

CReaderEnumerator::~CReaderEnumerator() { Release(); }

void CReaderEnumerator::Release() {
  if (m_bHasContext) SCardReleaseContext(static_cast<SCARDCONTEXT>(m_hContext));
  m_bHasContext = false;
}

bool CReaderEnumerator::ListOnContext(std::vector<std::string>& list, const CReaderModelMaps& maps,
                                      const AdditionalReaderTest& isAdditional, long& result) {
  if (!m_bHasContext) {
    SCARDCONTEXT context = 0;
    result = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    if (result != SCARD_S_SUCCESS) return false;
    m_hContext = static_cast<std::intptr_t>(context);
    m_bHasContext = true;
  }
  LONG listed = SCARD_S_SUCCESS;
  ListReaders(static_cast<SCARDCONTEXT>(m_hContext), list, maps, isAdditional, listed);
  result = listed;
  return true;
}

bool CReaderEnumerator::Enumerate(std::vector<std::string>& list, const CReaderModelMaps& maps,
                                  const AdditionalReaderTest& isAdditional) {
  if (!list.empty()) return false;
  long result = SCARD_S_SUCCESS;
  if (!ListOnContext(list, maps, isAdditional, result)) return false;
  if (!ContextIsDead(result)) return true;
  // The kept context died with its pcscd: once more on a new one.
  list.clear();
  Release();
  return ListOnContext(list, maps, isAdditional, result) && !ContextIsDead(result);
}

namespace {
// How long the worker stays for a next call; the refresh asks every second.
constexpr std::chrono::seconds kWorkerIdle{5};
}  // namespace

struct CTimedReaderEnumerator::Call {
  struct Answer {
    bool listed = false;
    std::vector<std::string> list;
  };
  std::mutex lock;
  std::condition_variable done;
  std::condition_variable asked;
  bool outstanding = false;  // a call runs; the next one waits for its end
  std::optional<Answer> answer;
  // The request the worker takes next.
  bool requested = false;
  std::shared_ptr<const CReaderModelMaps> maps;
  AdditionalReaderTest isAdditional;
  bool workerRunning = false;
  bool closed = false;           // the owner went: the worker ends
  CReaderEnumerator enumerator;  // only the worker uses it
};

namespace {

// One thread makes the calls one after the other, not one thread per call:
// starting a thread every second costs more than the listing itself.
void EnumerationWorker(const std::shared_ptr<CTimedReaderEnumerator::Call>& call) {
  std::unique_lock lock(call->lock);
  while (call->asked.wait_for(lock, kWorkerIdle, [&call] { return call->requested || call->closed; }) &&
         call->requested) {
    call->requested = false;
    const std::shared_ptr<const CReaderModelMaps> maps = std::move(call->maps);
    const AdditionalReaderTest isAdditional = std::move(call->isAdditional);
    lock.unlock();
    CTimedReaderEnumerator::Call::Answer answer;
    answer.listed = call->enumerator.Enumerate(answer.list, *maps, isAdditional);
    lock.lock();
    call->answer = std::move(answer);
    call->outstanding = false;
    call->done.notify_all();
  }
  call->workerRunning = false;
}

}  // namespace

CTimedReaderEnumerator::CTimedReaderEnumerator(std::chrono::milliseconds deadline)
    : m_call(std::make_shared<Call>()), m_deadline(deadline) {}

CTimedReaderEnumerator::~CTimedReaderEnumerator() {
  {
    const std::lock_guard lock(m_call->lock);
    m_call->closed = true;
  }
  m_call->asked.notify_all();
}

bool CTimedReaderEnumerator::CallOutstanding() const {
  const std::lock_guard lock(m_call->lock);
  return m_call->outstanding;
}

velkaro::PcscdReply CTimedReaderEnumerator::Enumerate(std::vector<std::string>& list,
                                                      std::shared_ptr<const CReaderModelMaps> maps,
                                                      AdditionalReaderTest isAdditional) {
  if (!list.empty() || !maps) return velkaro::PcscdReply::kRefused;
  std::unique_lock lock(m_call->lock);
  if (m_call->outstanding) return velkaro::PcscdReply::kNoAnswer;
  m_call->outstanding = true;
  m_call->answer.reset();
  m_call->requested = true;
  m_call->maps = std::move(maps);
  m_call->isAdditional = std::move(isAdditional);
  if (m_call->workerRunning) {
    m_call->asked.notify_one();
  } else {
    m_call->workerRunning =
        velkaro::StartAbandonableThread([call = m_call] { EnumerationWorker(call); }, "enumerate");
    if (!m_call->workerRunning) {
      m_call->outstanding = false;
      m_call->requested = false;
      m_call->maps.reset();
      m_call->isAdditional = nullptr;
      return velkaro::PcscdReply::kRefused;
    }
  }
  if (!m_call->done.wait_for(lock, m_deadline, [this] { return m_call->answer.has_value(); })) {
    return velkaro::PcscdReply::kNoAnswer;
  }
  Call::Answer answer = std::move(*m_call->answer);
  m_call->answer.reset();
  if (!answer.listed) return velkaro::PcscdReply::kRefused;
  list = std::move(answer.list);
  return velkaro::PcscdReply::kAnswered;
}

ReaderListChange DiffReaderLists(const std::vector<std::string>& known, const std::vector<std::string>& present) {
  ReaderListChange change;
  for (const std::string& name : known) {
    if (std::find(present.begin(), present.end(), name) == present.end()) change.removed.push_back(name);
  }
  for (const std::string& name : present) {
    if (std::find(known.begin(), known.end(), name) == known.end()) change.added.push_back(name);
  }
  return change;
}
