#pragma once
// Everything a reader page knows and does apart from drawing: the reader and
// card texts and the card update, driven by the page's card monitor. The
// monitor thread gathers the reader facts and runs each card update, so that
// no PC/SC call waits on the user-interface thread; the page (a Qt widget)
// shows copies of the texts when told to. Tests drive a session without any
// window.
//
// A session that is owned by a std::shared_ptr is never waited for: its
// threads hold it until they leave, since a driver may keep them in a call
// for as long as it likes. Stop() returns at once and from then on calls
// none of the page's functions.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "card/card_names.h"
#include "card/ct_api.h"
#include "card/ms_card.h"
#include "reader/card_monitor.h"
#include "reader/card_steps.h"
#include "reader/page_gate.h"
#include "reader/reader_fields.h"
#include "rfid/register_dump.h"

// What a register read brought: the antennas' bytes, or the notice that
// says why there are none.
struct CRegisterRead {
  std::vector<CAntennaBuffer> antennas;
  const char* failure = nullptr;  // one of the register view's notices
};

// Columns 1 to 5 of the reader's model row.
struct CReaderModelFlags {
  std::uint32_t column1 = 0;
  std::uint32_t column2 = 0;
  std::uint32_t column3 = 0;
  std::uint32_t m_bContactless = 0;  // column 4
  std::uint32_t column5 = 0;
};

class CReaderSession : public std::enable_shared_from_this<CReaderSession> {
 public:
  // Called on the monitor thread after a card update has changed the texts;
  // the page turns it into command 4003 on the user-interface thread.
  using PostFunction = CCardMonitor::PostFunction;
  // Called, on the monitor thread, by an update whose texts so far must be
  // shown now (the status line, the card's ATR before its slower queries).
  using RedrawFunction = std::function<void()>;

  explicit CReaderSession(const std::string& pcscLibrary = kPcscLibraryName);
  // A session not owned by a std::shared_ptr stops and joins its threads
  // here; an owned one has no thread left by now.
  ~CReaderSession();
  CReaderSession(const CReaderSession&) = delete;
  CReaderSession& operator=(const CReaderSession&) = delete;

  void SetReaderName(const std::string& name) { m_strReaderName = name; }
  // The CT-API library to ask for the reader's port (default "zelbric").
  void SetCtApiModule(const std::string& module) { m_strCtApiModule = module; }
  // The configuration's card tables that name the inserted card; without
  // them the card has no name.
  void SetCardNames(std::shared_ptr<const CCardNames> names) { m_cardNames = std::move(names); }
  const std::string& ReaderName() const { return m_strReaderName; }
  CReaderModelFlags& ModelFlags() { return m_flags; }
  bool IsContactless() const { return m_flags.m_bContactless != 0; }

  // Sets the card texts to "n/a" and starts the monitor thread, which takes
  // the page's context, gathers the reader facts (CT-API port, firmware,
  // library, serial number) and calls `postFacts` for ApplyReaderFacts as
  // each comes, and then runs the card update of each change and calls
  // `post`. The facts are asked on threads of their own; the monitor waits
  // for them up to the facts deadline, then shows "n/a" for those that have
  // not come, and a late one still fills its field in. False when the
  // thread cannot be started.
  bool Initialise(PostFunction post, RedrawFunction redraw, PostFunction postFacts = {});
  // Whether every reader fact has come or been shown as unknown.
  bool FactsSettled() const;
  // For tests: a shorter wait for the reader facts.
  void SetFactsDeadline(std::chrono::milliseconds deadline) { m_factsDeadline = deadline; }

  // Shows the reader facts the monitor thread has put in the texts; false
  // when none have come since the last call.
  bool ApplyReaderFacts();

  // The card update for the state the monitor handed over; run by the
  // monitor thread, which is the only writer of the texts while it runs.
  // `noRedraw` skips the final redraw.
  void UpdateCardInfo(bool noRedraw = false);

  // Stops the monitor thread and any register read. An owned session does
  // not wait for them (see above); any other joins them, as the destructor
  // does.
  void Stop();
  // Waits up to `timeout` for the monitor thread to leave after Stop().
  bool WaitForExit(std::chrono::milliseconds timeout) { return m_monitor.WaitForExit(timeout); }

  // The reader's RFID registers. Read on a PC/SC context of the read's own,
  // since pcsc-lite would hold a call on the monitor's context for up to a
  // whole status-change wait, and with the page lock held, so that the card
  // update cannot use the reader meanwhile. Blocks: not for the
  // user-interface thread.
  CRegisterRead ReadRegisters();
  // The same on a thread of its own; `done` runs on that thread, unless the
  // session was stopped meanwhile. Every call starts one more read.
  void ReadRegistersInBackground(std::function<void(CRegisterRead)> done);

  // A copy of the texts as they stand.
  CReaderFields Fields() const;
  // The tooltips of `shown` (texts taken from Fields()): where the driver
  // has refused every vendor request, or not answered within the facts
  // deadline, its "n/a" texts say so.
  CReaderFields DriverNotes(const CReaderFields& shown) const;

  CCardMonitor& Monitor() { return m_monitor; }
  const CMSCard& Pcsc() const { return m_card; }

  // For tests: the reader state last handed over, the context in use, how
  // many notifications the monitor has posted and how many status-change
  // waits it has begun.
  SCARD_READERSTATE ReaderState() { return m_monitor.ReaderState(); }
  SCARDCONTEXT Context() const { return m_monitor.Context(); }
  int PostedCount() const { return m_monitor.PostedCount(); }
  int WaitCount() const { return m_monitor.WaitCount(); }

 private:
  // The reader facts, on the monitor thread before its first wait.
  void GatherReaderFacts(const std::shared_ptr<CReaderSession>& self, const PostFunction& postFacts);
  // Puts facts into the texts and tells the page; `known` counts which of
  // them have come (bits of kFact*).
  void PublishFacts(const std::function<void(CReaderFields&)>& set, unsigned known, const PostFunction& postFacts);

  // The steps after the status line, on the update's copy of the texts with
  // the page lock held; they end early where a driver query fails.
  void ReadArrivedCard(const SCARD_READERSTATE& state, SCARDCONTEXT context, bool noRedraw,
                       CReaderFields& before, CReaderFields& f);
  // Makes what an update changed from `before` to `fields` the texts the
  // page shows, and asks for a redraw.
  // `before` becomes what was published.
  void Publish(CReaderFields& before, const CReaderFields& fields, bool redraw);
  // Adds what the driver made of a vendor request to what it made of the
  // earlier ones.
  void HeardFromDriver(card_steps::VendorAnswers heard);
  // Joins the register reads that have finished (all of them with `all`).
  void JoinRegisterReads(bool all);

  CMSCard m_card;
  std::string m_strReaderName;
  std::string m_strCtApiModule = kCtApiModuleName;
  CReaderModelFlags m_flags;
  std::shared_ptr<const CCardNames> m_cardNames;
  // Taken last and only for a copy, also inside the page lock by an update
  // that shows the card's ATR before its slower queries.
  mutable std::mutex m_fieldsLock;
  CReaderFields m_fields;        // guarded by m_fieldsLock
  bool m_bFactsShown = false;    // guarded by m_fieldsLock: facts put in since ApplyReaderFacts
  SCARDHANDLE m_hCard = kNoCard;
  RedrawFunction m_redraw;
  std::chrono::milliseconds m_factsDeadline{kReaderFactsDeadlineMs};
  unsigned m_factsKnown = 0;     // guarded by m_fieldsLock: which facts have come
  unsigned m_factsPosted = 0;    // guarded by m_fieldsLock: which of them the page was told of
  bool m_bFactsTimedOut = false;  // guarded by m_fieldsLock: the rest were shown as unknown
  card_steps::VendorAnswers m_vendorAnswers = card_steps::VendorAnswers::kNoneYet;  // guarded by m_fieldsLock
  std::condition_variable m_factsArrived;
  CPageGate m_pageGate;  // the page's functions pass through it; Stop() closes it
  struct RegisterReadThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };
  std::vector<RegisterReadThread> m_registerReads;  // user-interface thread only; unowned sessions
  CCardMonitor m_monitor{m_card};  // last: an unowned session's thread stops before the members above go
};
