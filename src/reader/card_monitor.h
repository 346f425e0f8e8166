#pragma once
// The card-status monitor of one reader tab: a thread that waits for changes
// of the reader's state on the page's PC/SC context and hands each change to
// the page through a post callback, then waits until the page has applied it
// (SetReady). Between the post and SetReady the page's card update borrows
// the context; the page lock keeps a card update, a register read and a
// context renewal apart. Qt-free: the page decides how a post reaches its
// user-interface thread.
//
// Nothing cancels a call that waits on a driver, so a monitor whose owner
// hands it a keep-alive is never joined: its thread holds the owner (and so
// the monitor) until it leaves, and Stop() only asks it to.

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "card/ms_card.h"

class CCardMonitor {
 public:
  using PostFunction = std::function<void()>;

  explicit CCardMonitor(const CMSCard& card);
  // Without a keep-alive: stops and joins the thread, and releases the
  // context. With one the thread has left before this can run.
  ~CCardMonitor();
  CCardMonitor(const CCardMonitor&) = delete;
  CCardMonitor& operator=(const CCardMonitor&) = delete;

  // Starts the thread for `readerName`, which must outlive the monitor. The
  // thread establishes the page's context (none while pcscd cannot be
  // reached; it then keeps trying). The thread runs `firstTask` before its first
  // wait, so slow reader queries never hold the page's thread. `keepAlive`
  // (the monitor's owner) is held by the thread until it has left; without
  // it Stop() joins. False when the thread cannot be started.
  bool Start(const std::string& readerName, PostFunction post, std::function<void()> firstTask = {},
             std::shared_ptr<void> keepAlive = {});
  // Asks the thread to stop. A thread with a keep-alive is not waited for:
  // a helper thread cancels its pending status-change wait until it has
  // left, so no PC/SC call runs on the caller's thread. Otherwise the cancel
  // is sent from here and the thread joined.
  void Stop();
  // Whether Stop() was asked for; long card updates end early on it.
  bool Stopping() const { return m_bStop.load(); }
  // Waits up to `timeout` for the thread to leave; true when it has (or
  // never ran). For tests and for orderly ends that may wait.
  bool WaitForExit(std::chrono::milliseconds timeout);

  // The reader state handed over with the latest post.
  SCARD_READERSTATE ReaderState();
  // The page's context; kNoContext while pcscd cannot be reached.
  SCARDCONTEXT Context() const { return m_hContext.load(); }
  // Held for a whole card update or register read.
  std::mutex& PageLock() { return m_pageLock; }
  // The page has applied the change: the thread waits for the next one.
  void SetReady();

  // For tests: how many changes were posted, how many status-change waits
  // began, and the result of the latest wait.
  int PostedCount() const { return m_nPosted.load(); }
  int WaitCount() const { return m_nWaits.load(); }
  LONG LastWaitResult() const { return m_lLastWait.load(); }
  // Hands a state over as the thread does after a change, without posting.
  void HandOverForTest(const SCARD_READERSTATE& state);
  // Takes the page's context on the caller's thread, with no thread
  // started; false when pcscd cannot be reached.
  bool EstablishContextForTest();

 private:
  void MonitorThread(const PostFunction& post, const std::function<void()>& firstTask);
  // Sleeps for up to `milliseconds`, waking early when the monitor stops.
  void SleepUnlessStopped(int milliseconds);
  void RenewContext();
  // Sends the cancel until the thread has left (false: the time-out passed).
  bool CancelUntilLeft(std::chrono::milliseconds timeout);

  const CMSCard& m_card;
  const std::string* m_pReaderName = nullptr;

  std::mutex m_pageLock;
  std::atomic<SCARDCONTEXT> m_hContext{kNoContext};

  std::mutex m_readyLock;  // guards m_bReady, m_readerState, m_bThreadDone and m_keepAlive
  std::condition_variable m_readyChanged;
  bool m_bReady = true;
  SCARD_READERSTATE m_readerState{};
  bool m_bThreadDone = true;
  std::weak_ptr<void> m_keepAlive;  // the owner the running thread holds

  std::atomic<bool> m_bStop{true};
  // The event counter watch saw the counter move: look again at once.
  std::atomic<bool> m_bNudged{false};
  std::thread m_hThread;
  std::atomic<int> m_nPosted{0};
  std::atomic<int> m_nWaits{0};
  std::atomic<LONG> m_lLastWait{SCARD_S_SUCCESS};
};
