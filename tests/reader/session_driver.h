#pragma once
// Runs a reader session the way its page does: the monitor thread runs each
// card update and notifies; the test's thread takes the notifications, as
// the user-interface thread takes command 4003.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "reader/reader_session.h"

class SessionDriver {
 public:
  ~SessionDriver() {
    m_session->Stop();
    // Leaves nothing running into the next test's teardown; a thread that a
    // driver holds is left behind, as the page leaves it.
    m_session->WaitForExit(std::chrono::seconds(2));
  }
  SessionDriver(const SessionDriver&) = delete;
  SessionDriver& operator=(const SessionDriver&) = delete;

  explicit SessionDriver(const std::string& reader, bool contactless = false,
                         std::shared_ptr<const CCardNames> names = nullptr) {
    m_session->SetReaderName(reader);
    m_session->SetCardNames(std::move(names));
    m_session->SetCtApiModule(VELKARO_ZELBRIC_MODULE);
    m_session->ModelFlags().m_bContactless = contactless ? 1 : 0;
  }

  // Starts the session and waits for the reader facts its monitor thread
  // gathers before any change, as the page shows them.
  bool Start() { return Begin() && WaitForFacts(); }

  bool Begin() {
    return m_session->Initialise(
        [this] {
          // The texts as this update left them, before any later one starts.
          CReaderFields shown = m_session->Fields();
          {
            std::lock_guard lock(m_mutex);
            m_shown.push_back(std::move(shown));
            ++m_posted;
          }
          m_posted_cv.notify_all();
        },
        [this] {
          // What the page would draw now.
          CReaderFields drawn = m_session->Fields();
          std::lock_guard lock(m_mutex);
          m_redrawn.push_back(std::move(drawn));
        },
        [this] {
          // Each fact is posted as it comes; the monitor thread starts no
          // update before all have come or been shown as unknown.
          CReaderFields facts = m_session->Fields();
          const bool complete = m_session->FactsSettled();
          // Taken now: no card update runs before the page has been told.
          CReaderFields notes = m_session->DriverNotes(facts);
          {
            // The first complete set: a later post may already carry a card.
            std::lock_guard lock(m_mutex);
            if (m_factsPosted) return;
            m_facts = std::move(facts);
            m_factsNotes = std::move(notes);
            m_factsPosted = complete;
          }
          m_posted_cv.notify_all();
        });
  }

  bool WaitForFacts(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(m_mutex);
    if (!m_posted_cv.wait_for(lock, timeout, [this] { return m_factsPosted; })) return false;
    lock.unlock();
    const bool applied = m_session->ApplyReaderFacts();
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

  // Runs updates until the texts satisfy `want`.
  bool UpdateUntil(const std::function<bool(const CReaderFields&)>& want,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!want(Fields())) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Update(left)) return false;
    }
    return true;
  }
  // Runs updates until the status line reads `status`.
  bool UpdateUntilStatus(const std::string& status, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return UpdateUntil([&status](const CReaderFields& f) { return f.m_strStatus == status; }, timeout);
  }

  // The texts as the last notification taken left them.
  CReaderFields Fields() const {
    std::lock_guard lock(m_mutex);
    return m_current;
  }
  // The tooltips of the reader facts as they were first shown complete.
  CReaderFields FactsNotes() const {
    std::lock_guard lock(m_mutex);
    return m_factsNotes;
  }
  // The texts at each redraw the session asked for so far.
  std::vector<CReaderFields> Redrawn() const {
    std::lock_guard lock(m_mutex);
    return m_redrawn;
  }
  CReaderSession& Session() { return *m_session; }
  std::shared_ptr<CReaderSession> Shared() const { return m_session; }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_posted_cv;
  int m_posted = 0;
  int m_handled = 0;
  std::vector<CReaderFields> m_shown;  // the texts after each update, by notification
  std::vector<CReaderFields> m_redrawn;
  CReaderFields m_current;
  CReaderFields m_facts;  // as the facts left them
  CReaderFields m_factsNotes;
  bool m_factsPosted = false;
  // Owned as the page owns it: its threads may outlive the driver, so they
  // stop calling it first.
  std::shared_ptr<CReaderSession> m_session = std::make_shared<CReaderSession>();
};
