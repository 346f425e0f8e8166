// The window with many readers against a private pcscd, in separate
// processes (each needs a pcscd of its own), RUNS times each:
//   - 4, 8 and 16 readers, of which 1, 1 and 2 hold mute cards: the longest
//     gap between the ticks of a 10 ms timer on the UI thread with the
//     General page in front (over 10 s, and 30 s for 16 readers), the cost of
//     each refresh meanwhile (the refresh thread's gathering, and the UI
//     thread's applying of what it gathered), and the longest gap over 10 s
//     with pcscd stopped (SIGSTOP);
//   - 16 readers with the service check asking a stand-in systemd on a
//     private bus that answers after 100 ms, and one that never answers: the
//     longest gap over 10 s each;
//   - 8 readers: start to window shown and to every reader tab filled
//     (status and CT-API port shown), then, at rest with the General page in
//     front over 2 minutes, CPU share and context switches per second of the tool and of
//     pcscd, pcscd's connections opened by the tool (its threads beyond those
//     it had before the tool started), and `pcsc_scan` on the same readers as
//     the peer.
// Each set-up checks itself: the scenario passes velkaro-sim check, pcscd
// lists every reader and the General page shows them all; otherwise the
// run says so on stderr and the benchmark exits with 1.
// Prints one table (bench_table.h). Root needed (the private pcscd). Without
// a display Qt runs offscreen.
//
//   general_page_bench [RUNS]                  (default 3)
//   general_page_bench --child READERS MUTE [SYSTEMD]
//                        (one run; prints "key value"; SYSTEMD: 100 or silent)

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/diag_tool_app.h"
#include "bench_table.h"
#include "app/prop_sheet.h"
#include "app/startup.h"
#include "pcscd_sandbox.h"
#include "platform/systemd_service.h"
#include "stand_in_systemd.h"
#include "window_host.h"
#include "reader/kestrel_dialog.h"
#include "reader/reader_dialog.h"
#include "status/diag_tool_dlg.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::DropOffscreenNoise;
using testing_support::LongestGap;
using testing_support::RunEvents;
using testing_support::WaitUntil;

constexpr int kDefaultRuns = 3;
constexpr int kTabsDeadlineMs = 30000;
constexpr int kSettleMs = 2000;  // after the tab tour, for the pages' card updates
constexpr int kLongStallWatchMs = 30000;  // 16 readers
constexpr int kStallWatchMs = 10000;
constexpr int kStopMs = 10000;
// pcsc-lite's waits without a time-out still wake every 60 s inside the
// client: rest is measured over two of those.
constexpr int kRestMs = 120000;

// The readers of the generated scenario, in turn: two of every three hold a card.
struct ReaderKind {
  const char* name;
  const char* card;
};
constexpr ReaderKind kReaderKinds[] = {
    {"VELKARO CT 200", "atr = 3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0C\nprotocol = T=1\n"},
    {"VELKARO RF 600", "type = ISO14443A\nuid = 04 A2 3B 1C 5D 80 11\n"},
    {"VELKARO CT 110", nullptr},
};

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// CPU seconds and context switches of a process, over all its threads.
struct Load {
  double cpu = 0;
  long switches = 0;
};

Load SelfLoad() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
          usage.ru_nvcsw + usage.ru_nivcsw};
}

std::vector<std::string> Threads(pid_t pid) {
  std::vector<std::string> names;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') names.push_back(dir + "/" + e->d_name);
    }
    closedir(d);
  }
  return names;
}

// CPU seconds of the tool's threads by kind, from schedstat: the window's
// thread, the card monitors, the General page's refresh thread and the rest
// (the threads name themselves).
std::map<std::string, double> CpuByThread(pid_t pid) {
  std::map<std::string, double> seconds{{"window", 0}, {"monitors", 0}, {"refresh", 0}, {"watch", 0}, {"other", 0}};
  const std::string self = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
  for (const std::string& task : Threads(pid)) {
    std::string name;
    std::getline(std::ifstream(task + "/comm"), name);
    unsigned long long runNs = 0;
    std::ifstream(task + "/schedstat") >> runNs;
    const char* group = task == self                ? "window"
                        : name == "card monitor"    ? "monitors"
                        : name == "refresh"         ? "refresh"
                        : name == "counter watch"   ? "watch"
                                                    : "other";
    seconds[group] += static_cast<double>(runNs) / 1e9;
  }
  return seconds;
}

// Threads that ended within the watched time are not counted. The run time
// comes from schedstat (nanoseconds) where the kernel keeps it; the clock
// ticks of stat are too coarse for an idle pcscd.
Load ProcessLoad(pid_t pid) {
  Load load;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  for (const std::string& task : Threads(pid)) {
    unsigned long long runNs = 0;
    if (std::ifstream schedstat(task + "/schedstat"); schedstat >> runNs) {
      load.cpu += static_cast<double>(runNs) / 1e9;
    } else {
      std::ifstream stat(task + "/stat");
      std::string text((std::istreambuf_iterator<char>(stat)), {});
      const auto close = text.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream fields(text.substr(close + 2));
      std::string field;
      unsigned long long utime = 0, stime = 0;
      for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
      }
      load.cpu += static_cast<double>(utime + stime) / tick;
    }
    std::ifstream status(task + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        load.switches += std::stol(line.substr(line.find(':') + 1));
      }
    }
  }
  return load;
}

// Times the General page's refreshes as the UI thread applies them: the
// queued call that applies one, and the gathering time it carries.
class TimingApplication : public QApplication {
 public:
  using QApplication::QApplication;

  bool notify(QObject* receiver, QEvent* event) override {
    if (!m_watched || receiver != m_watched || event->type() != QEvent::MetaCall) {
      return QApplication::notify(receiver, event);
    }
    const int before = m_watched->RefreshCount();
    const auto start = Clock::now();
    const bool result = QApplication::notify(receiver, event);
    if (m_watched->RefreshCount() != before) {
      applyMs.push_back(Milliseconds(Clock::now() - start));
      gatherMs.push_back(m_watched->LastGatherMs());
    }
    return result;
  }

  void Watch(CDiagToolDlg* page) { m_watched = page; }

  std::vector<double> applyMs;
  std::vector<double> gatherMs;

 private:
  CDiagToolDlg* m_watched = nullptr;
};

// Status and CT-API port shown: the page's first fill has arrived.
bool PageFilled(CPropertyPage* page) {
  if (auto* reader = dynamic_cast<CReaderDialog*>(page)) {
    return !reader->ShownText(&CReaderFields::m_strStatus).isEmpty() &&
           !reader->ShownText(&CReaderFields::m_strCtApiPort).isEmpty();
  }
  if (auto* kestrel = dynamic_cast<CKestrel*>(page)) {
    return !kestrel->ShownText(&CReaderFields::m_strStatus).isEmpty() &&
           !kestrel->ShownText(&CReaderFields::m_strCtApiPort).isEmpty();
  }
  return true;
}

class ShowWatcher : public QObject {
 public:
  explicit ShowWatcher(Clock::time_point start) : m_start(start) {}
  bool eventFilter(QObject* object, QEvent* event) override {
    if (!shownMs && event->type() == QEvent::Show && qobject_cast<CDiagToolPropSheet*>(object)) {
      shownMs = Milliseconds(Clock::now() - m_start);
    }
    return false;
  }
  std::optional<double> shownMs;

 private:
  Clock::time_point m_start;
};

std::optional<std::string> WriteScenario(testing_support::PcscdSandbox& sandbox, int readers) {
  for (int i = 0; i < readers; ++i) {
    const ReaderKind& kind = kReaderKinds[i % std::size(kReaderKinds)];
    std::string text = std::string("name = ") + kind.name + "\nserial = BENCH-" + std::to_string(i) + "\n";
    if (kind.card) text += std::string("[card]\n") + kind.card;
    char file[32];
    std::snprintf(file, sizeof file, "r%02d.reader", i);
    if (auto problem = sandbox.WriteReader(file, text)) return problem;
  }
  // A file the driver rejects makes pcscd drop its reader.
  if (const auto check = sandbox.Sim({"check"}); check.exitCode != 0) {
    return "velkaro-sim check rejects the scenario:\n" + check.output + check.errors;
  }
  return std::nullopt;
}

// pcsc_scan on the same readers: its own load and pcscd's while it runs.
void ComparePcscScan(pid_t pcscd) {
  std::fflush(stdout);  // or the child would write the buffered lines again
  const pid_t scan = fork();
  if (scan < 0) return;
  if (scan == 0) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
    execlp("pcsc_scan", "pcsc_scan", static_cast<char*>(nullptr));
    _exit(127);
  }
  usleep(kSettleMs * 1000);
  int status = 0;
  if (waitpid(scan, &status, WNOHANG) == 0) {
    const Load scanBefore = ProcessLoad(scan);
    const Load pcscdBefore = ProcessLoad(pcscd);
    const auto wallBefore = Clock::now();
    usleep(static_cast<useconds_t>(kRestMs) * 1000);
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    const Load scanAfter = ProcessLoad(scan);
    const Load pcscdAfter = ProcessLoad(pcscd);
    std::printf("scan_cpu %.4f\n", (scanAfter.cpu - scanBefore.cpu) / wall * 100);
    std::printf("scan_switches %.2f\n", static_cast<double>(scanAfter.switches - scanBefore.switches) / wall);
    std::printf("scan_pcscd_cpu %.4f\n", (pcscdAfter.cpu - pcscdBefore.cpu) / wall * 100);
    std::printf("scan_pcscd_switches %.2f\n",
                static_cast<double>(pcscdAfter.switches - pcscdBefore.switches) / wall);
  }
  kill(scan, SIGTERM);
  waitpid(scan, &status, 0);
}

int RunChild(int argc, char** argv, int readers, int mute, const char* systemdMode) {
  testing_support::PcscdSandbox sandbox;
  std::optional<std::string> problem = WriteScenario(sandbox, readers);
  if (!problem) problem = sandbox.Start();
  if (const std::size_t listed = sandbox.ListReaders().size(); !problem && listed != static_cast<std::size_t>(readers)) {
    problem = "pcscd lists " + std::to_string(listed) + " readers, not " + std::to_string(readers);
  }
  // Mute cards in the contact readers that hold one (r00, r03, ...).
  for (int i = 0; !problem && i < mute; ++i) {
    char stem[16];
    std::snprintf(stem, sizeof stem, "r%02d", i * 3);
    if (sandbox.Sim({"mute", stem}).exitCode != 0) problem = std::string("velkaro-sim mute ") + stem + " failed";
  }
  if (problem) {
    std::fprintf(stderr, "general_page_bench: %s\n", problem->c_str());
    return 1;
  }
  const pid_t pcscd = sandbox.Pid();
  usleep(500 * 1000);
  const std::size_t pcscdThreadsBefore = Threads(pcscd).size();
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 0);

  const auto start = Clock::now();
  TimingApplication qapp(argc, argv);
  if (QGuiApplication::platformName() == QStringLiteral("offscreen")) qInstallMessageHandler(DropOffscreenNoise);
  ShowWatcher shown(start);
  qapp.installEventFilter(&shown);
  const ProgramServices services;
  // The service check asks the stand-in's bus instead of the system's.
  testing_support::StandInSystemd standIn;
  std::unique_ptr<velkaro::SystemdServiceControl> standInControl;
  if (systemdMode) {
    std::string error;
    if (!standIn.Start(systemdMode, error)) {
      std::fprintf(stderr, "general_page_bench: %s\n", error.c_str());
      return 1;
    }
    standInControl = std::make_unique<velkaro::SystemdServiceControl>(standIn.Address());
    velkaro::InstallServiceControl(standInControl.get());
  }
  CDiagToolApp app;

  bool complete = false;
  QTimer::singleShot(0, [&] {
    CDiagToolPropSheet* sheet = CDiagToolPropSheet::MainWindow();
    if (!sheet) return;
    const bool allTabs = WaitUntil([&] { return sheet->GetPageCount() >= readers + 1; }, kTabsDeadlineMs);
    const auto* general = dynamic_cast<CDiagToolDlg*>(sheet->GetPage(0));
    const int found = general ? general->FoundReaders()->topLevelItemCount() : 0;
    if (found != readers) {
      std::fprintf(stderr, "general_page_bench: the General page shows %d readers, not %d\n", found, readers);
    }
    for (int index = 1; index < sheet->GetPageCount(); ++index) sheet->SetActivePage(index);
    const bool filled = WaitUntil(
        [&] {
          for (int index = 1; index < sheet->GetPageCount(); ++index) {
            if (!PageFilled(sheet->GetPage(index))) return false;
          }
          return true;
        },
        kTabsDeadlineMs);
    if (mute == 0 && shown.shownMs) std::printf("shown_ms %.1f\n", *shown.shownMs);
    if (mute == 0 && filled) std::printf("filled_ms %.1f\n", Milliseconds(Clock::now() - start));
    sheet->SetActivePage(0);
    RunEvents(kSettleMs);

    if (systemdMode) {
      std::printf("%s %.1f\n", std::strcmp(systemdMode, "silent") == 0 ? "silent_systemd_stall_ms" : "slow_systemd_stall_ms",
                  LongestGap(kStopMs));
    } else if (mute > 0) {
      qapp.Watch(dynamic_cast<CDiagToolDlg*>(sheet->GetPage(0)));
      const double stall = LongestGap(readers >= 16 ? kLongStallWatchMs : kStallWatchMs);
      qapp.Watch(nullptr);
      std::printf("stall_ms_%d %.1f\n", readers, stall);
      for (double ms : qapp.gatherMs) std::printf("gather_ms_%d %.3f\n", readers, ms);
      for (double ms : qapp.applyMs) std::printf("apply_ms_%d %.3f\n", readers, ms);
      std::fflush(stdout);
      std::printf("stopped_stall_ms_%d %.1f\n", readers, LongestGap(kStopMs, [&] { kill(pcscd, SIGSTOP); }));
      kill(pcscd, SIGCONT);
      RunEvents(kSettleMs);
    } else {
      std::printf("pcscd_connections %zu\n", Threads(pcscd).size() - pcscdThreadsBefore);
      const Load selfBefore = SelfLoad();
      const Load pcscdBefore = ProcessLoad(pcscd);
      const auto wallBefore = Clock::now();
      const auto threadsBefore = CpuByThread(getpid());
      RunEvents(kRestMs);
      const auto threadsAfter = CpuByThread(getpid());
      const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
      const Load selfAfter = SelfLoad();
      const Load pcscdAfter = ProcessLoad(pcscd);
      std::printf("tool_cpu %.4f\n", (selfAfter.cpu - selfBefore.cpu) / wall * 100);
      for (const auto& [group, seconds] : threadsAfter) {
        const auto before = threadsBefore.find(group);
        const double spent = seconds - (before == threadsBefore.end() ? 0 : before->second);
        std::printf("tool_cpu_%s %.4f\n", group.c_str(), spent / wall * 100);
      }
      std::printf("tool_switches %.2f\n", static_cast<double>(selfAfter.switches - selfBefore.switches) / wall);
      std::printf("pcscd_cpu %.4f\n", (pcscdAfter.cpu - pcscdBefore.cpu) / wall * 100);
      std::printf("pcscd_switches %.2f\n", static_cast<double>(pcscdAfter.switches - pcscdBefore.switches) / wall);
    }
    if (!allTabs) std::fprintf(stderr, "general_page_bench: not every reader got its tab\n");
    if (!filled) std::fprintf(stderr, "general_page_bench: not every reader tab was filled\n");
    complete = allTabs && filled && found == readers;
    sheet->close();
  });
  const int exitStatus = RunDiagTool(app);
  if (standInControl) velkaro::InstallServiceControl(nullptr);
  if (mute == 0 && exitStatus == 0) ComparePcscScan(pcscd);
  std::fflush(stdout);
  if (exitStatus != 0 || !complete) {
    std::fprintf(stderr, "general_page_bench: the run was incomplete (exit %d)\n", exitStatus);
    return 1;
  }
  return 0;
}

// Runs one child and collects its "key value" lines.
bool Collect(int readers, int mute, std::map<std::string, std::vector<double>>& values,
             const std::string& systemdMode = {}) {
  const std::string command = "/proc/" + std::to_string(getpid()) + "/exe --child " + std::to_string(readers) + " " +
                              std::to_string(mute) + " " + systemdMode;
  FILE* child = popen(command.c_str(), "r");
  if (!child) return false;
  char line[256];
  while (std::fgets(line, sizeof line, child)) {
    char key[64];
    double value = 0;
    if (std::sscanf(line, "%63s %lf", key, &value) == 2) values[key].push_back(value);
  }
  return pclose(child) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::string(argv[1]) == "--child") {
    return RunChild(argc, argv, std::atoi(argv[2]), std::atoi(argv[3]), argc >= 5 ? argv[4] : nullptr);
  }
  const int runs = argc >= 2 ? std::atoi(argv[1]) : kDefaultRuns;
  if (runs <= 0) {
    std::fprintf(stderr, "usage: general_page_bench [RUNS]\n");
    return 2;
  }
  std::map<std::string, std::vector<double>> values;
  bool ok = true;
  const std::pair<int, int> stallSetUps[] = {{4, 1}, {8, 1}, {16, 2}};  // readers, mute cards
  for (int run = 0; run < runs; ++run) {
    for (const auto& [readers, mute] : stallSetUps) ok = Collect(readers, mute, values) && ok;
    ok = Collect(16, 2, values, "100") && ok;
    ok = Collect(16, 2, values, "silent") && ok;
    ok = Collect(8, 0, values) && ok;
  }
  bench::PrintHeader();
  for (const auto& [readers, mute] : stallSetUps) {
    const std::string setUp = std::to_string(readers) + " readers, " + std::to_string(mute) + " mute";
    const std::string n = std::to_string(readers);
    bench::PrintRow(setUp + ": longest UI-thread stall over " + (readers >= 16 ? "30" : "10") + " s (ms)",
                    values["stall_ms_" + n]);
    bench::PrintRow(setUp + ": refresh, gathering on its thread (ms)", values["gather_ms_" + n]);
    bench::PrintRow(setUp + ": refresh, applying on the UI thread (ms)", values["apply_ms_" + n]);
    bench::PrintRow(setUp + ": longest UI-thread stall, pcscd stopped 10 s (ms)", values["stopped_stall_ms_" + n]);
  }
  bench::PrintRow("16 readers, systemd answering after 100 ms: longest UI-thread stall over 10 s (ms)",
                  values["slow_systemd_stall_ms"]);
  bench::PrintRow("16 readers, systemd silent: longest UI-thread stall over 10 s (ms)",
                  values["silent_systemd_stall_ms"]);
  bench::PrintRow("8 readers: start to window shown (ms)", values["shown_ms"]);
  bench::PrintRow("8 readers: start to all tabs filled (ms)", values["filled_ms"]);
  bench::PrintRow("8 readers at rest: CPU (% of a core)", values["tool_cpu"], "pcsc_scan", values["scan_cpu"]);
  for (const auto& [group, what] : {std::pair{"monitors", "its 8 card monitors"}, std::pair{"refresh", "its refresh thread"},
                                    std::pair{"watch", "its event counter watch"},
                                    std::pair{"window", "its window's thread"}, std::pair{"other", "its other threads"}}) {
    bench::PrintRow(std::string("8 readers at rest: CPU of ") + what + " (% of a core)",
                    values[std::string("tool_cpu_") + group]);
  }
  bench::PrintRow("8 readers at rest: context switches/s", values["tool_switches"], "pcsc_scan",
                  values["scan_switches"]);
  bench::PrintRow("8 readers at rest: pcscd CPU beside the tool (% of a core)", values["pcscd_cpu"],
                  "beside pcsc_scan", values["scan_pcscd_cpu"]);
  bench::PrintRow("8 readers at rest: pcscd context switches/s beside the tool", values["pcscd_switches"],
                  "beside pcsc_scan", values["scan_pcscd_switches"]);
  bench::PrintRow("8 readers, 8 tabs open: pcscd connections of the tool", values["pcscd_connections"]);
  if (!ok) std::fprintf(stderr, "general_page_bench: some runs were incomplete\n");
  return ok ? 0 : 1;
}
