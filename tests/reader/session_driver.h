#pragma once
// Runs a reader session the way its page does: the monitor thread runs each
// card update and notifies; the test's thread takes the notifications, as
// the user-interface thread takes command 4003.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "reader/reader_session.h"

class SessionDriver {
 public:
  explicit SessionDriver(const std::string& reader, bool contactless = false,
                         std::shared_ptr<const CCardNames> names = nullptr) {
    m_session.SetReaderName(reader);
    m_session.SetCardNames(std::move(names));
    m_session.SetCtApiModule(VELKARO_ZELBRIC_MODULE);
    m_session.ModelFlags().m_bContactless = contactless ? 1 : 0;
  }

  // Starts the session and waits for the reader facts its monitor thread
  // gathers before any change, as the page shows them.
  bool Start() { return Begin() && WaitForFacts(); }

  bool Begin() {
    return m_session.Initialise(
        [this] {
          // The texts as this update left them, before any later one starts.
          CReaderFields shown = m_session.Fields();
          {
            std::lock_guard lock(m_mutex);
            m_shown.push_back(std::move(shown));
            ++m_posted;
          }
          m_posted_cv.notify_all();
        },
        [this] {
          // What the page would draw now.
          CReaderFields drawn = m_session.Fields();
          std::lock_guard lock(m_mutex);
          m_redrawn.push_back(std::move(drawn));
        },
        [this] {
          // The monitor thread has put the facts in and starts no update
          // before this returns.
          CReaderFields facts = m_session.Fields();
          {
            std::lock_guard lock(m_mutex);
            m_facts = std::move(facts);
            m_factsPosted = true;
          }
          m_posted_cv.notify_all();
        });
  }

  bool WaitForFacts(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(m_mutex);
    if (!m_posted_cv.wait_for(lock, timeout, [this] { return m_factsPosted; })) return false;
    lock.unlock();
    const bool applied = m_session.ApplyReaderFacts();
    lock.lock();
    // Until the first notification is taken, the texts are the facts.
    if (m_handled == 0) m_current = m_facts;
    return applied;
  }

  // Waits for the next notification (its update has run).
  bool Update(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(m_mutex);
    if (!m_posted_cv.wait_for(lock, timeout, [this] { return m_posted > m_handled; })) return false;
    m_current = m_shown[static_cast<std::size_t>(m_handled)];
    ++m_handled;
    return true;
  }

  // Runs updates until the status line reads `status`.
  bool UpdateUntilStatus(const std::string& status, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Fields().m_strStatus != status) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Update(left)) return false;
    }
    return true;
  }

  // The texts as the last notification taken left them.
  CReaderFields Fields() const {
    std::lock_guard lock(m_mutex);
    return m_current;
  }
  // The texts at each redraw the session asked for so far.
  std::vector<CReaderFields> Redrawn() const {
    std::lock_guard lock(m_mutex);
    return m_redrawn;
  }
  CReaderSession& Session() { return m_session; }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_posted_cv;
  int m_posted = 0;
  int m_handled = 0;
  std::vector<CReaderFields> m_shown;  // the texts after each update, by notification
  std::vector<CReaderFields> m_redrawn;
  CReaderFields m_current;
  CReaderFields m_facts;  // as the facts left them
  bool m_factsPosted = false;
  CReaderSession m_session;  // last: its thread stops before the members above go
};
