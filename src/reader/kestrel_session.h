#pragma once
// Everything the contactless page of the other maker's reader knows and does
// apart from drawing: its reader and card texts, its own card update on the
// shared card monitor, and the air speed setting that page edits.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "card/card_names.h"
#include "card/ct_api.h"
#include "card/ms_card.h"
#include "reader/card_monitor.h"
#include "reader/page_gate.h"
#include "reader/reader_fields.h"

// The air speed list: entry texts (kBd) and the values stored for them.
inline constexpr int kAirSpeedCount = 4;
inline constexpr int kAirSpeedKbd[kAirSpeedCount] = {106, 212, 424, 848};
inline constexpr std::uint32_t kAirSpeedStored[kAirSpeedCount] = {1, 2, 4, 8};
inline constexpr std::uint32_t kAirSpeedMissing = 8;  // what a missing value means

// The list index of a stored air speed value; nothing for any other value.
std::optional<int> AirSpeedIndex(std::uint32_t stored);

// The user-visible text for a failed write of the air speed.
std::string AirSpeedWriteFailure(long result);

// Owned by a std::shared_ptr, the session is never waited for, as a reader
// session is not: its threads hold it until they leave.
class CKestrelSession : public std::enable_shared_from_this<CKestrelSession> {
 public:
  using PostFunction = CCardMonitor::PostFunction;
  using RedrawFunction = std::function<void()>;

  explicit CKestrelSession(const std::string& pcscLibrary = kPcscLibraryName);
  ~CKestrelSession();
  CKestrelSession(const CKestrelSession&) = delete;
  CKestrelSession& operator=(const CKestrelSession&) = delete;

  void SetReaderName(const std::string& name) { m_strReaderName = name; }
  void SetCtApiModule(const std::string& module) { m_strCtApiModule = module; }
  void SetCardNames(std::shared_ptr<const CCardNames> names) { m_cardNames = std::move(names); }
  const std::string& ReaderName() const { return m_strReaderName; }
  // Column 1 of the model row: kept, it changes nothing.
  void SetColumn1(std::uint32_t value) { m_dwColumn1 = value; }

  // Starts the monitor thread, which first reads the air speed and then
  // searches the CT-API port, calling `postFacts` for ApplyReaderFacts after
  // each, and then runs each card update, calling `redraw` when texts are to
  // be shown and `post` when an update has ended. Firmware and library come
  // with the first card. False when the thread cannot be started.
  bool Initialise(PostFunction post, RedrawFunction redraw, PostFunction postFacts = {});
  // Takes over the air speed and shows the CT-API port the monitor thread
  // found; false when nothing waits.
  bool ApplyReaderFacts();
  // The card update for the state the monitor handed over, run by the
  // monitor thread (the only writer of the texts while it runs); it redraws
  // whatever the command's parameter.
  void UpdateCardInfo();
  // Returns at once for an owned session, which from then on calls none of
  // the page's functions; any other session's threads are joined.
  void Stop();
  bool WaitForExit(std::chrono::milliseconds timeout) { return m_monitor.WaitForExit(timeout); }
  // For tests: a shorter wait for the CT-API port.
  void SetFactsDeadline(std::chrono::milliseconds deadline) { m_factsDeadline = deadline; }

  // Reads "AirSpeedMax", creating its key when missing; a missing value
  // counts as 848 kBd. On success m_nAirSpeed is the stored entry's index;
  // on failure (key, query, or a value not in the list) nothing changes.
  bool ReadAirSpeed();
  // The stored entry's index, as ReadAirSpeed finds it; for any thread.
  static std::optional<int> LoadAirSpeed();
  // Whether the first read's answer has been taken over, and whether it
  // found a speed of the list.
  bool AirSpeedLoaded() const { return m_bAirSpeedLoaded; }
  bool AirSpeedReadable() const { return m_bAirSpeedReadable; }
  // Stores the entry `selection` (0 to 3). On failure `result` tells why and
  // m_nAirSpeed is what the store holds afterwards, as far as it can tell.
  bool WriteAirSpeed(int selection, long* result = nullptr);
  int AirSpeed() const { return m_nAirSpeed; }

  // A copy of the texts as they stand.
  CReaderFields Fields() const;
  CCardMonitor& Monitor() { return m_monitor; }
  SCARDCONTEXT Context() const { return m_monitor.Context(); }
  int WaitCount() const { return m_monitor.WaitCount(); }
  int PostedCount() const { return m_monitor.PostedCount(); }

 private:
  // On the update's copy of the texts.
  void ReadArrivedCard(const SCARD_READERSTATE& state, SCARDCONTEXT context, CReaderFields& before,
                       CReaderFields& f);
  // Makes what an update changed from `before` to `fields` the texts the
  // page shows, and asks for a redraw.
  // `before` becomes what was published.
  void Publish(CReaderFields& before, const CReaderFields& fields);
  // The air speed, then the CT-API port, on the monitor thread before its
  // first wait; the port search waits on PC/SC, so only up to the deadline.
  void GatherFacts(const std::shared_ptr<CKestrelSession>& self, const PostFunction& postFacts);

  CMSCard m_card;
  std::string m_strReaderName;
  std::string m_strCtApiModule = kCtApiModuleName;
  std::uint32_t m_dwColumn1 = 0;
  std::shared_ptr<const CCardNames> m_cardNames;
  mutable std::mutex m_fieldsLock;
  CReaderFields m_fields;  // guarded by m_fieldsLock
  int m_nAirSpeed = 0;
  SCARDHANDLE m_hCard = kNoCard;
  RedrawFunction m_redraw;
  std::mutex m_factsLock;
  bool m_bPortShown = false;  // the port is in the texts since ApplyReaderFacts; guarded by m_factsLock
  std::optional<int> m_pendingAirSpeed;           // likewise, with whether it is new
  bool m_bAirSpeedPending = false;
  bool m_bAirSpeedLoaded = false;
  bool m_bAirSpeedReadable = false;
  std::chrono::milliseconds m_factsDeadline{kReaderFactsDeadlineMs};
  bool m_bPortKnown = false;  // guarded by m_factsLock
  std::condition_variable m_portArrived;
  CPageGate m_pageGate;  // the page's functions pass through it; Stop() closes it
  CCardMonitor m_monitor{m_card};  // last: its thread stops before the members above go
};
