// A long run of the window against a private pcscd that is treated badly, for
// the thread checker's build (scripts/soak): 8 simulated readers whose cards
// are inserted and removed CYCLES times in all, spread over the readers;
// pcscd killed (SIGKILL) and started again RESTARTS times, each time every
// reader tab must go and come back; pcscd stopped (SIGSTOP) for 10 s STOPS
// times, the window answering meanwhile; a reader unplugged and plugged in
// again every few rounds; and the diagnostic log written after each fault,
// naming every reader. Resident memory is compared between the end of the
// first round and the end of the run.
//
// Prints what it did and what failed, and exits 0 when every check held.
// Race reports of the thread checker are counted by scripts/soak from the
// standard error. The thread checker keeps a trace of every thread that ever
// ran, so its build reports memory growth without judging it
// (--memory-unjudged); scripts/soak judges it on the release build. Root
// needed (the private pcscd); without a display Qt runs offscreen.
//
//   window_soak [--memory-unjudged] [CYCLES [RESTARTS [STOPS]]]   (default 1000 20 3)

#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/diag_tool_app.h"
#include "app/prop_sheet.h"
#include "app/startup.h"
#include "pcscd_sandbox.h"
#include "reader/kestrel_dialog.h"
#include "reader/reader_dialog.h"
#include "window_host.h"

namespace {

using testing_support::DropOffscreenNoise;
using testing_support::LongestGap;
using testing_support::RunEvents;
using testing_support::WaitUntil;

constexpr int kReaders = 8;
constexpr int kStopMs = 10000;
constexpr int kTabsDeadlineMs = 60000;  // the thread checker slows everything down
constexpr int kCardDeadlineMs = 30000;
constexpr int kReplugEveryRounds = 10;
constexpr double kRssLimitMiB = 5.0;
constexpr std::size_t kMaxFailures = 20;  // then the run ends

// Contact readers with a card, contactless ones with a card, contact readers
// without: every card starts out of its reader.
struct ReaderKind {
  const char* name;
  const char* card;
};
constexpr ReaderKind kReaderKinds[] = {
    {"VELKARO CT 200", "atr = 3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0C\nprotocol = T=1\n"},
    {"VELKARO RF 600", "type = ISO14443A\nuid = 04 A2 3B 1C 5D 80 11\n"},
    {"VELKARO CT 110", "atr = 3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A\nprotocol = T=1\n"},
};

std::string Stem(int reader) {
  char stem[16];
  std::snprintf(stem, sizeof stem, "r%02d", reader);
  return stem;
}

double ResidentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  }
  return 0;
}

class Soak {
 public:
  Soak(testing_support::PcscdSandbox& sandbox, CDiagToolApp& app, std::string logPath, bool judgeMemory)
      : m_sandbox(sandbox), m_app(app), m_logPath(std::move(logPath)), m_bJudgeMemory(judgeMemory) {}

  // The whole run; the window is closed at the end.
  void Run(int cycles, int restarts, int stops) {
    m_sheet = CDiagToolPropSheet::MainWindow();
    if (!m_sheet) return Fail("the window did not open");
    if (!AllTabsBack("at start")) return Finish();
    // The first round and the first log warm every cache up.
    Round();
    WriteLog("after the first round");
    m_rssStart = ResidentMiB();

    const int rounds = std::max(1, (cycles - kReaders) / kReaders);
    const int restartEvery = restarts > 0 ? std::max(1, rounds / restarts) : rounds + 1;
    const int stopEvery = stops > 0 ? std::max(1, rounds / (stops + 1)) : rounds + 1;
    for (int round = 1; round <= rounds && KeepGoing(); ++round) {
      Round();
      if (round % restartEvery == 0 && m_restarts < restarts) Restart();
      if (round % stopEvery == 0 && m_stops < stops) StopPcscd();
      if (round % kReplugEveryRounds == 0) Replug(round % kReaders);
    }
    // Whatever the division left over.
    while (m_restarts < restarts && KeepGoing()) Restart();
    while (m_stops < stops && KeepGoing()) StopPcscd();
    Finish();
  }

  bool Passed() const { return m_failures.empty(); }
  // A log thread still runs: the process must end without tearing down.
  bool Abandoned() const { return m_bAbandoned; }

 private:
  bool KeepGoing() const { return m_failures.size() < kMaxFailures && !m_bAbandoned; }

  std::vector<CPropertyPage*> ReaderPages() const {
    std::vector<CPropertyPage*> pages;
    for (int index = 0; index < m_sheet->GetPageCount(); ++index) {
      CPropertyPage* page = m_sheet->GetPage(index);
      if (dynamic_cast<CReaderDialog*>(page) || dynamic_cast<CKestrel*>(page)) pages.push_back(page);
    }
    return pages;
  }

  static std::string Atr(CPropertyPage* page) {
    if (auto* reader = dynamic_cast<CReaderDialog*>(page)) return reader->ShownText(&CReaderFields::m_strATR).toStdString();
    if (auto* kestrel = dynamic_cast<CKestrel*>(page)) return kestrel->ShownText(&CReaderFields::m_strATR).toStdString();
    return {};
  }

  int ShowingCards() const {
    int count = 0;
    for (CPropertyPage* page : ReaderPages()) count += Atr(page).empty() ? 0 : 1;
    return count;
  }

  // Brings every tab forward once, so that each page starts its monitor,
  // then the General page again.
  void Tour() {
    for (int index = 1; index < m_sheet->GetPageCount(); ++index) {
      m_sheet->SetActivePage(index);
      RunEvents(0);
    }
    m_sheet->SetActivePage(0);
  }

  bool AllTabsBack(const std::string& when) {
    if (!WaitUntil([&] { return ReaderPages().size() == kReaders; }, kTabsDeadlineMs)) {
      Fail("not every reader tab was there " + when + " (" + std::to_string(ReaderPages().size()) + " of " +
           std::to_string(kReaders) + ")");
      return false;
    }
    Tour();
    return true;
  }

  bool Sim(const std::vector<std::string>& args) {
    const auto result = m_sandbox.Sim(args);
    if (result.exitCode == 0) return true;
    Fail("velkaro-sim " + args.front() + " " + args.back() + " failed: " + result.output);
    return false;
  }

  // Every card in, every page shows one; every card out, no page shows one.
  void Round() {
    for (int reader = 0; reader < kReaders; ++reader) Sim({"insert", Stem(reader)});
    if (!WaitUntil([&] { return ShowingCards() == kReaders; }, kCardDeadlineMs)) {
      Fail("round " + std::to_string(m_rounds + 1) + ": " + std::to_string(ShowingCards()) + " of " +
           std::to_string(kReaders) + " pages showed the inserted card");
    }
    for (int reader = 0; reader < kReaders; ++reader) Sim({"remove", Stem(reader)});
    if (!WaitUntil([&] { return ShowingCards() == 0; }, kCardDeadlineMs)) {
      Fail("round " + std::to_string(m_rounds + 1) + ": " + std::to_string(ShowingCards()) +
           " pages still showed a removed card");
    }
    ++m_rounds;
    m_cycles += kReaders;
  }

  void Restart() {
    ++m_restarts;
    const std::string which = "restart " + std::to_string(m_restarts);
    kill(m_sandbox.Pid(), SIGKILL);
    m_sandbox.Stop();
    if (!WaitUntil([&] { return ReaderPages().empty(); }, kTabsDeadlineMs)) {
      Fail(which + ": " + std::to_string(ReaderPages().size()) + " reader tabs stayed without pcscd");
    }
    if (auto problem = m_sandbox.Start()) return Fail(which + ": pcscd did not start again: " + *problem);
    if (AllTabsBack("after " + which)) ++m_restartsBack;
    WriteLog("after " + which);
  }

  void StopPcscd() {
    ++m_stops;
    const std::string which = "stop " + std::to_string(m_stops);
    kill(m_sandbox.Pid(), SIGSTOP);
    m_longestStoppedGap = std::max(m_longestStoppedGap, LongestGap(kStopMs));
    kill(m_sandbox.Pid(), SIGCONT);
    AllTabsBack("after " + which);
    WriteLog("after " + which);
  }

  void Replug(int reader) {
    ++m_replugs;
    const std::string which = "replug " + std::to_string(m_replugs) + " (" + Stem(reader) + ")";
    if (!Sim({"unplug", Stem(reader)})) return;
    if (!WaitUntil([&] { return ReaderPages().size() == kReaders - 1; }, kTabsDeadlineMs)) {
      Fail(which + ": the unplugged reader's tab stayed");
    }
    if (!Sim({"replug", Stem(reader)})) return;
    if (AllTabsBack("after " + which)) ++m_replugsBack;
    WriteLog("after " + which);
  }

  // The log is written off the window's thread, as "Create Logfile" does. A
  // log that does not end in time ends the run: its thread keeps what it uses.
  void WriteLog(const std::string& when) {
    struct Writing {
      std::atomic<bool> done{false};
      LogOutcome outcome;
    };
    auto writing = std::make_shared<Writing>();
    std::thread([writing, app = &m_app, path = m_logPath] {
      writing->outcome = app->WriteLog(path);
      writing->done = true;
    }).detach();
    ++m_logs;
    if (!WaitUntil([&] { return writing->done.load(); }, kTabsDeadlineMs)) {
      m_bAbandoned = true;
      return Fail("the log " + when + " did not end within " + std::to_string(kTabsDeadlineMs / 1000) + " s");
    }
    if (writing->outcome.result != LogResult::kComplete) return Fail("the log " + when + " was not complete");
    std::ifstream in(m_logPath);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    for (const std::string& reader : m_sandbox.ListReaders()) {
      if (text.find(reader) == std::string::npos) return Fail("the log " + when + " does not name " + reader);
    }
    ++m_logsComplete;
  }

  void Fail(const std::string& what) {
    std::fprintf(stderr, "window_soak: %s\n", what.c_str());
    m_failures.push_back(what);
  }

  void Finish() {
    const double rssEnd = ResidentMiB();
    const double growth = m_rssStart > 0 ? rssEnd - m_rssStart : 0;
    if (m_bJudgeMemory && m_rssStart > 0 && growth >= kRssLimitMiB) {
      Fail("resident memory grew by " + std::to_string(growth) + " MiB (limit " + std::to_string(kRssLimitMiB) + ")");
    }
    std::printf("insert/remove cycles      %d (%d rounds over %d readers)\n", m_cycles, m_rounds, kReaders);
    std::printf("pcscd killed, restarted   %d, every tab gone and back %d times\n", m_restarts, m_restartsBack);
    std::printf("pcscd stopped 10 s        %d, longest UI-thread gap meanwhile %.1f ms\n", m_stops,
                m_longestStoppedGap);
    std::printf("readers unplugged, back   %d, tab back %d times\n", m_replugs, m_replugsBack);
    std::printf("logs written              %d, complete and naming every reader %d\n", m_logs, m_logsComplete);
    std::printf("resident memory           %.1f MiB after the first round, %.1f MiB at the end (%+.1f MiB%s)\n",
                m_rssStart, rssEnd, growth, m_bJudgeMemory ? "" : ", not judged in this build");
    std::printf("failures                  %zu\n", m_failures.size());
    for (const std::string& failure : m_failures) std::printf("  %s\n", failure.c_str());
    std::fflush(stdout);
    m_sheet = CDiagToolPropSheet::MainWindow();
    if (m_sheet) m_sheet->close();
  }

  testing_support::PcscdSandbox& m_sandbox;
  CDiagToolApp& m_app;
  std::string m_logPath;
  bool m_bJudgeMemory;
  CDiagToolPropSheet* m_sheet = nullptr;
  std::vector<std::string> m_failures;
  int m_rounds = 0, m_cycles = 0;
  int m_restarts = 0, m_restartsBack = 0;
  int m_stops = 0;
  int m_replugs = 0, m_replugsBack = 0;
  int m_logs = 0, m_logsComplete = 0;
  double m_longestStoppedGap = 0;
  double m_rssStart = 0;
  bool m_bAbandoned = false;
};

int Count(int argc, char** argv, int index, int fallback) {
  if (argc <= index) return fallback;
  char* end = nullptr;
  const long value = std::strtol(argv[index], &end, 10);
  return (*end == '\0' && value >= 0 && value <= 1000000) ? static_cast<int>(value) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool judgeMemory = !(argc > 1 && std::string(argv[1]) == "--memory-unjudged");
  const int first = judgeMemory ? 1 : 2;
  const int cycles = Count(argc, argv, first, 1000);
  const int restarts = Count(argc, argv, first + 1, 20);
  const int stops = Count(argc, argv, first + 2, 3);
  if (cycles < 0 || restarts < 0 || stops < 0 || argc > first + 3) {
    std::fprintf(stderr, "usage: window_soak [--memory-unjudged] [CYCLES [RESTARTS [STOPS]]]\n");
    return 2;
  }
  testing_support::PcscdSandbox sandbox;
  std::optional<std::string> problem;
  for (int i = 0; !problem && i < kReaders; ++i) {
    const ReaderKind& kind = kReaderKinds[i % std::size(kReaderKinds)];
    problem = sandbox.WriteReader(Stem(i) + ".reader", std::string("name = ") + kind.name + "\nserial = SOAK-" +
                                                          std::to_string(i) + "\n[card]\n" + kind.card +
                                                          "present = no\n");
  }
  if (!problem) problem = sandbox.Start();
  if (problem) {
    std::fprintf(stderr, "window_soak: %s\n", problem->c_str());
    return 1;
  }
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication qapp(argc, argv);
  if (QGuiApplication::platformName() == QStringLiteral("offscreen")) qInstallMessageHandler(DropOffscreenNoise);
  const ProgramServices services;
  CDiagToolApp app;
  Soak soak(sandbox, app, sandbox.Directory() + "/soak.log", judgeMemory);
  QTimer::singleShot(0, [&] { soak.Run(cycles, restarts, stops); });
  const int status = RunDiagTool(app);
  if (soak.Abandoned()) {
    std::fflush(stdout);
    _exit(1);
  }
  if (status != 0) std::fprintf(stderr, "window_soak: the window ended with status %d\n", status);
  return status == 0 && soak.Passed() ? 0 : 1;
}
