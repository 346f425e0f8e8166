#include "reader/event_counter_watch.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "card/ms_card.h"
#include "platform/deadline.h"

namespace {

struct Watched {
  std::string reader;
  std::uint32_t knownState = 0;
  CEventCounterWatch::Wake wake;
};

// Shared by the holders of tokens and the watch's thread, which may outlive
// the program's statics.
struct WatchState {
  std::mutex lock;  // everything below
  std::map<std::uint64_t, Watched> watched;
  std::uint64_t nextId = 1;
  bool running = false;
  int passes = 0;
};

std::shared_ptr<WatchState> State() {
  static const auto state = std::make_shared<WatchState>();
  return state;
}

bool ContextIsDead(LONG result) {
  return result == SCARD_E_NO_SERVICE || result == SCARD_E_SERVICE_STOPPED || result == SCARD_E_INVALID_HANDLE ||
         result == SCARD_F_COMM_ERROR;
}

// The states of `readers` now; nothing for a reader that could not be asked
// (its monitor's own wait tells what became of it).
std::vector<std::optional<DWORD>> States(const CMSCard& pcsc, SCARDCONTEXT context, const std::vector<std::string>& readers,
                                         LONG& result) {
  std::vector<SCARD_READERSTATE> states(readers.size());
  for (std::size_t i = 0; i < readers.size(); ++i) {
    states[i].szReader = readers[i].c_str();
    states[i].dwCurrentState = SCARD_STATE_UNAWARE;
  }
  result = pcsc.GetStatusChange(context, 0, states.data(), static_cast<DWORD>(states.size()));
  std::vector<std::optional<DWORD>> found(readers.size());
  for (std::size_t i = 0; i < readers.size(); ++i) {
    // One reader that went fails the call for all: ask the others alone.
    if (result != SCARD_S_SUCCESS && (ContextIsDead(result) || pcsc.GetStatusChange(context, 0, &states[i], 1) != SCARD_S_SUCCESS)) {
      continue;
    }
    found[i] = states[i].dwEventState;
  }
  return found;
}

void WatchThread(const std::shared_ptr<WatchState>& state) {
  pthread_setname_np(pthread_self(), "counter watch");
  const CMSCard pcsc;
  SCARDCONTEXT context = kNoContext;
  std::condition_variable never;  // the pause between passes is a plain wait
  std::unique_lock lock(state->lock);
  while (!state->watched.empty()) {
    std::vector<std::string> readers;
    for (const auto& [id, entry] : state->watched) {
      if (std::find(readers.begin(), readers.end(), entry.reader) == readers.end()) readers.push_back(entry.reader);
    }
    lock.unlock();
    LONG result = SCARD_E_NO_SERVICE;
    std::vector<std::optional<DWORD>> found;
    if (context == kNoContext && pcsc.EstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
      context = kNoContext;
    }
    if (context != kNoContext) {
      found = States(pcsc, context, readers, result);
      if (ContextIsDead(result)) {
        pcsc.ReleaseContext(context);
        context = kNoContext;
      }
    }
    lock.lock();
    ++state->passes;
    // Entries may have come and gone meanwhile: a new one is compared with
    // what this pass found if its reader was asked.
    for (auto& [id, entry] : state->watched) {
      for (std::size_t i = 0; i < found.size(); ++i) {
        if (readers[i] == entry.reader && found[i] && CEventCounterWatch::Differs(entry.knownState, *found[i])) {
          entry.wake();
          break;
        }
      }
    }
    never.wait_for(lock, CEventCounterWatch::kPeriod);
  }
  state->running = false;
  lock.unlock();
  if (context != kNoContext) pcsc.ReleaseContext(context);
}

}  // namespace

CEventCounterWatch::Token::Token(const std::string& reader, std::uint32_t knownState, Wake wake) {
  const auto state = State();
  const std::lock_guard lock(state->lock);
  m_id = state->nextId++;
  state->watched[m_id] = Watched{reader, knownState, std::move(wake)};
  if (state->running) return;
  state->running = velkaro::StartAbandonableThread([state] { WatchThread(state); }, "counter watch");
  if (!state->running) state->watched.erase(m_id);
}

CEventCounterWatch::Token::~Token() {
  if (m_id == 0) return;
  const auto state = State();
  const std::lock_guard lock(state->lock);
  state->watched.erase(m_id);
}

bool CEventCounterWatch::Differs(std::uint32_t knownState, std::uint32_t state) {
  // What the monitor shows; in-use and exclusive come and go with the pages' own connections.
  constexpr std::uint32_t kCard = SCARD_STATE_PRESENT | SCARD_STATE_EMPTY | SCARD_STATE_MUTE | SCARD_STATE_UNAVAILABLE |
                                  SCARD_STATE_UNKNOWN;
  return (knownState >> 16) != (state >> 16) || (knownState & kCard) != (state & kCard);
}

int CEventCounterWatch::PassCount() {
  const auto state = State();
  const std::lock_guard lock(state->lock);
  return state->passes;
}
