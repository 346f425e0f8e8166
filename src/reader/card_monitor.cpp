#include "reader/card_monitor.h"

#include <pthread.h>

#include <chrono>
#include <system_error>

namespace {

constexpr int kErrorPauseMs = 1000;  // after a failed wait, before the next one
constexpr int kCancelRepeatMs = 20;  // how often Stop() repeats its cancel

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

bool CCardMonitor::Start(const std::string& readerName, PostFunction post, std::function<void()> firstTask) {
  Stop();
  m_pReaderName = &readerName;
  m_post = std::move(post);
  m_firstTask = std::move(firstTask);
  {
    std::lock_guard lock(m_readyLock);
    m_bReady = true;
    m_bThreadDone = false;
    m_readerState = SCARD_READERSTATE{};
    m_readerState.szReader = readerName.c_str();
    m_readerState.dwCurrentState = SCARD_STATE_UNAWARE;
    m_bStop.store(false);
  }
  try {
    m_hThread = std::thread(&CCardMonitor::MonitorThread, this);
  } catch (const std::system_error&) {
    m_bStop.store(true);
    return false;
  }
  return true;
}

void CCardMonitor::Stop() {
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

void CCardMonitor::MonitorThread() {
  // The name shows in top -H, ps -L and debuggers.
  pthread_setname_np(pthread_self(), "card monitor");
  // The context is taken here, not by Start(): a pcscd that does not answer
  // must not hold the page's thread.
  if (m_hContext.load() == kNoContext && !m_bStop.load()) RenewContext();
  if (m_firstTask && !m_bStop.load()) m_firstTask();
  SCARD_READERSTATE local = ReaderState();
  while (!m_bStop.load()) {
    const SCARDCONTEXT context = m_hContext.load();
    if (context == kNoContext) {
      SleepUnlessStopped(kErrorPauseMs);
      if (!m_bStop.load()) RenewContext();
      continue;
    }
    m_nWaits.fetch_add(1);
    const LONG result = m_card.GetStatusChange(context, kStatusChangeTimeoutMs, &local, 1);
    m_lLastWait.store(result);
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
  {
    std::lock_guard lock(m_readyLock);
    m_bThreadDone = true;
  }
  m_readyChanged.notify_all();
}
