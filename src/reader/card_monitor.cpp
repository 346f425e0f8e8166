#include "reader/card_monitor.h"

#include <pthread.h>

#include <chrono>
#include <optional>
#include <system_error>

#include "platform/deadline.h"
#include "reader/event_counter_watch.h"

namespace {

constexpr int kErrorPauseMs = 1000;  // after a failed wait, before the next one
// How often a stop repeats its cancel: often at first, then seldom for a
// thread that a driver holds.
constexpr std::chrono::milliseconds kCancelRepeat{20};
constexpr std::chrono::milliseconds kCancelSlowRepeat{500};
constexpr std::chrono::seconds kCancelFastPhase{2};
// How long a new start waits for a thread that was asked to stop.
constexpr std::chrono::seconds kRestartWait{2};
// Cancels for as long as the thread stays (steady_clock counts nanoseconds:
// duration::max() would overflow).
constexpr std::chrono::hours kCancelForever{24 * 365};

// The high 16 bits of a reader state count pcscd's insertions and removals.
bool EventCounterMoved(const SCARD_READERSTATE& state) {
  return (state.dwEventState >> 16) != (state.dwCurrentState >> 16);
}

// Errors after which the context is of no further use: pcscd went away, or
// came back as a new process that does not know the context.
bool ContextIsDead(LONG result) {
  return result == SCARD_E_NO_SERVICE || result == SCARD_E_SERVICE_STOPPED || result == SCARD_E_INVALID_HANDLE ||
         result == SCARD_F_COMM_ERROR;
}

}  // namespace

CCardMonitor::CCardMonitor(const CMSCard& card) : m_card(card) {}

CCardMonitor::~CCardMonitor() {
  Stop();
  const SCARDCONTEXT context = m_hContext.exchange(kNoContext);
  if (context != kNoContext) m_card.ReleaseContext(context);
}

bool CCardMonitor::Start(const std::string& readerName, PostFunction post, std::function<void()> firstTask,
                         std::shared_ptr<void> keepAlive) {
  Stop();
  // A thread that was not joined may still be inside a driver's call; a
  // second one must not share the monitor with it.
  if (!WaitForExit(kRestartWait)) return false;
  m_pReaderName = &readerName;
  {
    std::lock_guard lock(m_readyLock);
    m_bReady = true;
    m_bThreadDone = false;
    m_keepAlive = keepAlive;
    m_readerState = SCARD_READERSTATE{};
    m_readerState.szReader = readerName.c_str();
    m_readerState.dwCurrentState = SCARD_STATE_UNAWARE;
    m_bNudged.store(false);
    m_bStop.store(false);
  }
  const bool owned = keepAlive != nullptr;
  // The functions travel with the thread, not in the monitor: they may hold
  // the owner, which holds the monitor.
  auto run = [this, keepAlive = std::move(keepAlive), post = std::move(post),
              firstTask = std::move(firstTask)]() mutable {
    MonitorThread(post, firstTask);
    post = nullptr;
    firstTask = nullptr;
    // The owner goes last, with this closure: nothing after it touches the
    // monitor, which may go with it.
  };
  bool started = true;
  if (owned) {
    started = velkaro::StartAbandonableThread(std::move(run));
  } else {
    try {
      m_hThread = std::thread(std::move(run));
    } catch (const std::system_error&) {
      started = false;
    }
  }
  if (!started) {
    std::lock_guard lock(m_readyLock);
    m_bStop.store(true);
    m_bThreadDone = true;
    m_keepAlive.reset();
  }
  return started;
}

void CCardMonitor::Stop() {
  std::shared_ptr<void> owner;
  {
    std::lock_guard lock(m_readyLock);
    m_bStop.store(true);
    if (m_bThreadDone) return;
    owner = m_keepAlive.lock();
  }
  m_readyChanged.notify_all();
  if (m_hThread.joinable()) {
    CancelUntilLeft(kCancelForever);
    m_hThread.join();
    return;
  }
  // The owner is gone only once the thread has left.
  if (!owner) return;
  velkaro::StartAbandonableThread(
      [this, owner] { CancelUntilLeft(kCancelForever); }, "monitor stop");
}

bool CCardMonitor::CancelUntilLeft(std::chrono::milliseconds timeout) {
  // Wake a pending status-change wait: pcsc-lite would hold a context
  // release until the wait ends. A cancel sent before the wait begins is
  // lost, so it is repeated until the thread has left; a thread held by a
  // driver's call does not wait again once it is back, so after a while the
  // cancel is sent less often.
  const auto started = std::chrono::steady_clock::now();
  while (true) {
    const auto elapsed = std::chrono::steady_clock::now() - started;
    if (elapsed >= timeout) return false;
    const SCARDCONTEXT context = m_hContext.load();
    if (context != kNoContext) m_card.Cancel(context);
    const auto pause = elapsed < kCancelFastPhase ? kCancelRepeat : kCancelSlowRepeat;
    std::unique_lock lock(m_readyLock);
    if (m_readyChanged.wait_for(lock, pause, [this] { return m_bThreadDone; })) return true;
  }
}

bool CCardMonitor::WaitForExit(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_readyLock);
  return m_readyChanged.wait_for(lock, timeout, [this] { return m_bThreadDone; });
}

SCARD_READERSTATE CCardMonitor::ReaderState() {
  std::lock_guard lock(m_readyLock);
  return m_readerState;
}

void CCardMonitor::SetReady() {
  {
    std::lock_guard lock(m_readyLock);
    m_bReady = true;
  }
  m_readyChanged.notify_all();
}

void CCardMonitor::HandOverForTest(const SCARD_READERSTATE& state) {
  std::lock_guard lock(m_readyLock);
  m_bReady = false;
  m_readerState = state;
}

bool CCardMonitor::EstablishContextForTest() {
  RenewContext();
  return m_hContext.load() != kNoContext;
}

void CCardMonitor::SleepUnlessStopped(int milliseconds) {
  std::unique_lock lock(m_readyLock);
  m_readyChanged.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_bStop.load(); });
}

void CCardMonitor::RenewContext() {
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

void CCardMonitor::MonitorThread(const PostFunction& post, const std::function<void()>& firstTask) {
  // The name shows in top -H, ps -L and debuggers.
  pthread_setname_np(pthread_self(), "card monitor");
  // The context is taken here, not by Start(): a pcscd that does not answer
  // must not hold the page's thread.
  if (m_hContext.load() == kNoContext && !m_bStop.load()) RenewContext();
  if (firstTask && !m_bStop.load()) firstTask();
  SCARD_READERSTATE local = ReaderState();
  while (!m_bStop.load()) {
    const SCARDCONTEXT context = m_hContext.load();
    if (context == kNoContext) {
      SleepUnlessStopped(kErrorPauseMs);
      if (!m_bStop.load()) RenewContext();
      continue;
    }
    m_nWaits.fetch_add(1);
    // A stop cancels the wait. Where the wait has no time-out, the counter
    // watch wakes it for a change pcsc-lite did not report, and one look
    // without waiting then fetches it.
    const bool look = m_bNudged.exchange(false);
    LONG result = SCARD_S_SUCCESS;
    {
      std::optional<CEventCounterWatch::Token> watch;
      // A wait with a time-out finds a moved counter by itself.
      if (!look && kStatusChangeTimeoutMs == INFINITE) {
        watch.emplace(*m_pReaderName, static_cast<std::uint32_t>(local.dwCurrentState), [this] {
          m_bNudged.store(true);
          const SCARDCONTEXT waiting = m_hContext.load();
          if (waiting != kNoContext) m_card.Cancel(waiting);
        });
      }
      result = m_card.GetStatusChange(context, look ? 0 : kStatusChangeTimeoutMs, &local, 1);
    }
    m_lLastWait.store(result);
    if (result == SCARD_E_CANCELLED && m_bNudged.load() && !m_bStop.load()) continue;
    // A time-out whose state carries a moved counter is a change too.
    const bool changed = result == SCARD_S_SUCCESS || (result == SCARD_E_TIMEOUT && EventCounterMoved(local));
    if (result == SCARD_E_TIMEOUT && !changed) continue;
    if (!changed) {
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
    if (post) post();
    {
      std::unique_lock lock(m_readyLock);
      m_readyChanged.wait(lock, [this] { return m_bReady || m_bStop.load(); });
    }
    local.dwCurrentState = local.dwEventState;
  }
  // The context goes with the thread that waited on it, so a stop makes no
  // PC/SC call on the stopping thread.
  const SCARDCONTEXT context = m_hContext.exchange(kNoContext);
  if (context != kNoContext) m_card.ReleaseContext(context);
  {
    std::lock_guard lock(m_readyLock);
    m_bThreadDone = true;
  }
  m_readyChanged.notify_all();
}
