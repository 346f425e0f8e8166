#pragma once
// A tab's functions as seen by threads that may outlive the tab (a driver
// can hold them in a call for good): each call goes through only while the
// gate is open, and Close() returns once a call under way has ended, so no
// call reaches a tab after it has gone.

#include <functional>
#include <mutex>

class CPageGate {
 public:
  void Call(const std::function<void()>& call) {
    if (!call) return;
    const std::lock_guard lock(m_lock);
    if (m_bOpen) call();
  }
  void Close() {
    const std::lock_guard lock(m_lock);
    m_bOpen = false;
  }

 private:
  std::mutex m_lock;
  bool m_bOpen = true;  // guarded by m_lock
};
