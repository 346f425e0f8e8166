#pragma once
// Everything a reader page knows and does apart from drawing: the reader and
// card texts, the card-status monitor thread and the card update. The page
// (a Qt widget) shows the texts and forwards the monitor's notifications to
// the user-interface thread; tests drive a session without any window.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "card/card_names.h"
#include "card/ct_api.h"
#include "card/ms_card.h"

struct CReaderFields {
  std::string m_strRegDump;
  std::string m_strStatus;
  std::string m_strFirmware;
  std::string m_strLibrary;
  std::string m_strTA1InUse;
  std::string m_strFrequency;
  std::string m_strProtocol;
  std::string m_strPort;
  std::string m_strATR;
  std::string m_strCardName;
  std::string m_strCtApiPort;
  std::string m_strVoltage;
  std::string m_strTA1;
  std::string m_strSerialNumber;
  std::string m_strSubProtocol;
};

// Columns 1 to 5 of the reader's model row.
struct CReaderModelFlags {
  std::uint32_t column1 = 0;
  std::uint32_t column2 = 0;
  std::uint32_t column3 = 0;
  std::uint32_t m_bContactless = 0;  // column 4
  std::uint32_t column5 = 0;
};

class CReaderSession {
 public:
  // Called on the monitor thread when a change waits for UpdateCardInfo; the
  // page turns it into command 4003 on the user-interface thread.
  using PostFunction = std::function<void()>;
  // Called by the update when the shown texts must be redrawn now.
  using RedrawFunction = std::function<void()>;

  // Establishes the session's context (none when pcscd cannot be reached).
  explicit CReaderSession(const std::string& pcscLibrary = kPcscLibraryName);
  // Stops the monitor thread and waits for it before anything is freed.
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

  // Fills the reader facts (CT-API port, firmware, library, serial number),
  // sets the card texts to "n/a" and starts the monitor thread. False when
  // the thread cannot be started.
  bool Initialise(PostFunction post, RedrawFunction redraw);

  // The card update for the state the monitor handed over. `noRedraw`
  // skips the final redraw.
  void UpdateCardInfo(bool noRedraw = false);

  // Stops and joins the monitor thread (also done by the destructor).
  void Stop();

  // The texts; read and written on the user-interface thread only.
  CReaderFields& Fields() { return m_fields; }
  const CReaderFields& Fields() const { return m_fields; }

  // For tests: the reader state last handed over, the context in use, and
  // how many notifications the monitor has posted.
  SCARD_READERSTATE ReaderState();
  SCARDCONTEXT Context() const { return m_hContext.load(); }
  int PostedCount() const { return m_nPosted.load(); }
  // How many status-change waits the monitor has begun.
  int WaitCount() const { return m_nWaits.load(); }

 private:
  void MonitorThread();
  // Sleeps for up to `milliseconds`, waking early when the session stops.
  void SleepUnlessStopped(int milliseconds);
  void RenewContext();
  void SetReady();

  CMSCard m_card;
  std::string m_strReaderName;
  std::string m_strCtApiModule = kCtApiModuleName;
  CReaderModelFlags m_flags;
  std::shared_ptr<const CCardNames> m_cardNames;
  CReaderFields m_fields;

  std::mutex m_pageLock;  // one card update or register read at a time
  std::atomic<SCARDCONTEXT> m_hContext{kNoContext};
  SCARDHANDLE m_hCard = kNoCard;

  std::mutex m_readyLock;  // guards m_bReady and m_readerState
  std::condition_variable m_readyChanged;
  bool m_bReady = true;
  SCARD_READERSTATE m_readerState{};

  bool m_bThreadDone = false;  // guarded by m_readyLock

  std::atomic<bool> m_bStop{true};
  std::thread m_hThread;
  std::atomic<int> m_nPosted{0};
  std::atomic<int> m_nWaits{0};
  PostFunction m_post;
  RedrawFunction m_redraw;
};
