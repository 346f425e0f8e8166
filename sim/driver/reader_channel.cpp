#include "driver/reader_channel.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "driver/driver_log.h"
#include "scenario/card_selection.h"
#include "scenario/driver_settings.h"

namespace velkaro::sim {

namespace {

constexpr char kDevicePrefix[] = "velkaro-sim:";
constexpr char kDefaultSettingsStore[] = "/etc/velkaro/registry.reg";

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::optional<std::string> ScenarioPathOf(const std::string& deviceName) {
  const std::string prefix = kDevicePrefix;
  if (deviceName.rfind(prefix, 0) != 0 || deviceName.size() == prefix.size()) return std::nullopt;
  const std::string file = deviceName.substr(prefix.size());
  if (file.front() == '/') return file;
  const char* directory = std::getenv("VELKARO_SIM_DIR");
  return std::string(directory && *directory ? directory : ".") + "/" + file;
}

std::string SettingsStorePath() {
  const char* path = std::getenv("VELKARO_REGISTRY");
  return path && *path ? path : kDefaultSettingsStore;
}

ReaderChannel::ReaderChannel(std::uint32_t lun, std::string scenarioPath, std::string settingsPath)
    : m_slot(lun & 0xFFFF), m_scenarioPath(std::move(scenarioPath)), m_settingsPath(std::move(settingsPath)) {
  if (!m_watch.Watch(m_scenarioPath))
    DriverLog(LogPriority::Error, "cannot watch the directory of %s: %s", m_scenarioPath.c_str(), std::strerror(errno));
  m_watch.Watch(m_settingsPath);  // the store's directory may not exist; then no settings change either
  std::lock_guard lock(m_mutex);
  if (const auto scenario = LoadLocked()) m_slotCount = scenario->reader.slots;
}

std::optional<Scenario> ReaderChannel::LoadLocked() {
  const auto report = [&](const std::string& problem) {
    // Each slot of a reader reads the same file; its first slot speaks for all.
    if (problem != m_lastProblem && m_slot == 0)
      DriverLog(LogPriority::Error, "%s", problem.c_str());
    m_lastProblem = problem;
  };
  const auto text = ReadFile(m_scenarioPath);
  if (!text) {
    report(m_scenarioPath + ": cannot be read (" + std::strerror(errno) + "); the reader counts as unplugged");
    m_lastGood.reset();
    return std::nullopt;
  }
  ParsedScenario parsed = ParseScenario(*text);
  if (!parsed.scenario) {
    report("ignoring the changed scenario, the reader stays as it was:\n" + DescribeErrors(m_scenarioPath, parsed.errors));
    return m_lastGood;
  }
  if (!m_lastProblem.empty() && m_slot == 0) DriverLog(LogPriority::Info, "%s is valid again", m_scenarioPath.c_str());
  m_lastProblem.clear();
  m_lastGood = std::move(parsed.scenario);
  return m_lastGood;
}

ReaderChannel::Shown ReaderChannel::ActualLocked() {
  const auto scenario = LoadLocked();
  if (!scenario || !scenario->reader.plugged) return {Presence::Unplugged, {}, std::nullopt};
  const DriverSettings settings = ApplySettingRules(ReadStoredSettings());
  auto card = SelectCard(*scenario, m_slot, settings);
  if (!card) return {Presence::Absent, {}, std::nullopt};
  std::string identity = CardIdentity(*card);
  return {Presence::Present, std::move(identity), std::move(card)};
}

Presence ReaderChannel::CheckPresence() {
  std::lock_guard lock(m_mutex);
  Shown actual = ActualLocked();
  if (!m_firstCheckDone) {
    m_firstCheckDone = true;
    // pcscd drops a reader for good when its first check fails, so a reader
    // that starts unplugged is reported empty once and unplugged afterwards.
    if (actual.presence == Presence::Unplugged) {
      m_wakeNow = true;
      return Presence::Absent;
    }
  }
  const bool fromEventThread = !m_pollThreadKnown || pthread_equal(m_pollThread, pthread_self());
  const bool sameCard = m_shown.presence == Presence::Present && m_shown.identity == actual.identity;
  if (!fromEventThread) {
    // A client's call (a connect) must not move what pcscd's event thread has
    // seen; it gets the shown card, or "absent" when that card is gone.
    if (actual.presence != Presence::Present) return actual.presence;
    return sameCard ? Presence::Present : Presence::Absent;
  }
  if (m_holdAbsent && actual.presence != Presence::Unplugged) return Presence::Absent;
  m_holdAbsent = false;
  if (actual.presence == Presence::Present && m_shown.presence == Presence::Present && !sameCard) {
    // A changed card: "absent" until the event thread has waited once, since
    // pcscd's power-down check after a wait can swallow a single "absent";
    // that wait then ends at once and the new card follows.
    m_shown = {Presence::Absent, {}, std::nullopt};
    m_holdAbsent = true;
    m_wakeNow = true;
    return Presence::Absent;
  }
  m_shown = std::move(actual);
  return m_shown.presence;
}

std::optional<Bytes> ReaderChannel::PowerUp() {
  std::lock_guard lock(m_mutex);
  if (m_shown.presence != Presence::Present || !m_shown.card || m_shown.card->mute) return std::nullopt;
  return m_shown.card->atr;
}

bool ReaderChannel::AcceptsProtocol(unsigned long protocol) {
  std::lock_guard lock(m_mutex);
  if (!m_shown.card) return false;
  switch (m_shown.card->protocol) {
    case Protocol::T0: return protocol == 1;
    case Protocol::T1: return protocol == 2;
    case Protocol::Any: return protocol == 1 || protocol == 2;
  }
  return false;
}

Scenario ReaderChannel::CurrentScenario() {
  std::lock_guard lock(m_mutex);
  if (auto scenario = LoadLocked()) return *scenario;
  return {};
}

std::optional<CardFacts> ReaderChannel::AnsweringCard() {
  std::lock_guard lock(m_mutex);
  if (m_shown.presence != Presence::Present || !m_shown.card || m_shown.card->mute) return std::nullopt;
  return m_shown.card;
}

void ReaderChannel::WaitForChange(int timeoutMs) {
  {
    std::lock_guard lock(m_mutex);
    m_pollThread = pthread_self();
    m_pollThreadKnown = true;
    m_holdAbsent = false;
    if (m_wakeNow) {
      m_wakeNow = false;
      return;
    }
  }
  m_watch.Wait(std::chrono::milliseconds(timeoutMs));
}

}  // namespace velkaro::sim
