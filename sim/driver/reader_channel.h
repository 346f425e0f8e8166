#pragma once
// One slot of a simulated reader as pcscd opens it (one Lun). It reads the
// reader's scenario file again on every presence check, and keeps what pcscd
// has been shown so far, so that every change of the card (a swap, a changed
// fact, a setting that changes what the card reports) reaches pcscd as a
// removal followed by an insertion: pcscd notices a new card only after a
// check of its event thread that found the slot empty.
//
// pcscd's event thread checks presence, waits here (WaitForChange), checks
// again after powering an unused card down, and so on; clients' connects
// check too. Only the event thread's checks move what pcscd is shown.

#include <pthread.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "driver/change_watch.h"
#include "scenario/scenario.h"

namespace velkaro::sim {

enum class Presence { Absent, Present, Unplugged };

class ReaderChannel {
 public:
  ReaderChannel(std::uint32_t lun, std::string scenarioPath, std::string settingsPath);

  unsigned SlotCount() const { return m_slotCount; }

  Presence CheckPresence();
  // The ATR of the card pcscd was shown, nothing when it is absent or mute.
  std::optional<Bytes> PowerUp();
  // Whether the card takes the protocol (1 = T=0, 2 = T=1).
  bool AcceptsProtocol(unsigned long protocol);

  // The reader's facts as the file says now (or as it said last time it was
  // valid), and the card pcscd was shown when it answers.
  Scenario CurrentScenario();
  std::optional<CardFacts> AnsweringCard();

  // pcscd's event thread waits here between presence checks.
  void WaitForChange(int timeoutMs);
  void StopWaiting() { m_watch.Stop(); }

 private:
  struct Shown {
    Presence presence = Presence::Absent;
    std::string identity;
    std::optional<CardFacts> card;
  };

  std::optional<Scenario> LoadLocked();
  Shown ActualLocked();

  const unsigned m_slot;
  const std::string m_scenarioPath;
  const std::string m_settingsPath;
  unsigned m_slotCount = 1;

  std::mutex m_mutex;
  std::optional<Scenario> m_lastGood;
  std::string m_lastProblem;  // logged once until it changes
  Shown m_shown;
  bool m_firstCheckDone = false;
  bool m_wakeNow = false;
  bool m_holdAbsent = false;
  bool m_pollThreadKnown = false;
  pthread_t m_pollThread{};

  ChangeWatch m_watch;
};

// "velkaro-sim:FILE" (reader.conf's DEVICENAME): FILE relative to
// $VELKARO_SIM_DIR, or absolute. Nothing for any other device name.
std::optional<std::string> ScenarioPathOf(const std::string& deviceName);

// $VELKARO_REGISTRY, or the machine store's default path.
std::string SettingsStorePath();

}  // namespace velkaro::sim
