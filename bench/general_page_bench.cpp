// The window at rest with many readers: runs the program's real start-up
// against a private pcscd with 4 and with 16 simulated readers (most of them
// with a card), brings every reader tab forward once so that each page's
// monitor runs, and then watches the window for a while with the General page
// in front. Prints, per reader count:
//   - the duration of the General page's refresh (command 4001), median and
//     maximum, and of the refreshes that added the reader pages;
//   - how long bringing a reader tab forward the first time took (the page's
//     initialisation: CT-API port search, reader facts, monitor start);
//   - the process's CPU time over the watched time, as a share of one core;
//   - the longest gap between the ticks of a 10 ms timer on the UI thread,
//     watched for the same time again (the ticks would add to the CPU time).
// Root needed (the private pcscd). Without a display Qt runs offscreen.
//
//   general_page_bench [SECONDS]        (default 10; runs 4 and 16 readers)
//   general_page_bench --readers N [SECONDS]

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "app/diag_tool_app.h"
#include "app/prop_sheet.h"
#include "app/startup.h"
#include "pcscd_sandbox.h"
#include "status/diag_tool_dlg.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultSeconds = 10;
constexpr int kTabsDeadlineMs = 30000;
constexpr int kSettleMs = 1500;  // after the tab tour, for the pages' card updates
constexpr int kTickMs = 10;

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

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Stats {
  double median = 0;
  double max = 0;
};

Stats Summarise(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.back()};
}

// Times every command the refresh thread hands to the General page.
class TimingApplication : public QApplication {
 public:
  using QApplication::QApplication;

  bool notify(QObject* receiver, QEvent* event) override {
    if (event->type() != QEvent::MetaCall || !qobject_cast<CDiagToolDlg*>(receiver)) {
      return QApplication::notify(receiver, event);
    }
    const auto start = Clock::now();
    const bool result = QApplication::notify(receiver, event);
    refreshes.push_back(Milliseconds(Clock::now() - start));
    return result;
  }

  std::vector<double> refreshes;
};

// The offscreen platform says this whenever a window is shown.
void DropOffscreenNoise(QtMsgType, const QMessageLogContext&, const QString& message) {
  if (!message.contains(QStringLiteral("does not support propagateSizeHints"))) {
    std::fprintf(stderr, "%s\n", qPrintable(message));
  }
}

// Runs the event loop until `done` holds or `milliseconds` have passed.
bool WaitUntil(const std::function<bool()>& done, int milliseconds) { return QTest::qWaitFor(done, milliseconds); }

std::optional<std::string> WriteScenario(testing_support::PcscdSandbox& sandbox, int readers) {
  for (int i = 0; i < readers; ++i) {
    const ReaderKind& kind = kReaderKinds[i % std::size(kReaderKinds)];
    std::string text = std::string("name = ") + kind.name + "\nserial = BENCH-" + std::to_string(i) + "\n";
    if (kind.card) text += std::string("[card]\n") + kind.card;
    char file[32];
    std::snprintf(file, sizeof file, "r%02d.reader", i);
    if (auto problem = sandbox.WriteReader(file, text)) return problem;
  }
  return std::nullopt;
}

int RunOne(int argc, char** argv, int readers, int seconds) {
  testing_support::PcscdSandbox sandbox;
  std::optional<std::string> problem = WriteScenario(sandbox, readers);
  if (!problem) problem = sandbox.Start();
  if (problem) {
    std::fprintf(stderr, "general_page_bench: %s\n", problem->c_str());
    return 1;
  }
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 0);

  TimingApplication qapp(argc, argv);
  if (QGuiApplication::platformName() == QStringLiteral("offscreen")) qInstallMessageHandler(DropOffscreenNoise);
  const ProgramServices services;
  CDiagToolApp app;

  bool complete = false;
  std::size_t startupRefreshes = 0;
  std::vector<double> startupDurations;
  std::vector<double> activations;
  std::vector<double> steadyRefreshes;
  double cpuShare = 0;
  double longestGap = 0;
  int tabs = 0;
  QString status;

  QTimer::singleShot(0, [&] {
    CDiagToolPropSheet* sheet = CDiagToolPropSheet::MainWindow();
    auto* general = sheet ? dynamic_cast<CDiagToolDlg*>(sheet->GetPage(0)) : nullptr;
    if (!general) return;
    const bool allTabs = WaitUntil([&] { return sheet->GetPageCount() >= readers + 1; }, kTabsDeadlineMs);
    tabs = sheet->GetPageCount() - 1;
    startupDurations = qapp.refreshes;
    startupRefreshes = qapp.refreshes.size();

    for (int index = 1; index < sheet->GetPageCount(); ++index) {
      const auto start = Clock::now();
      sheet->SetActivePage(index);  // the page initialises now
      activations.push_back(Milliseconds(Clock::now() - start));
      QApplication::processEvents();
    }
    sheet->SetActivePage(0);
    WaitUntil([] { return false; }, kSettleMs);

    // The watched time: first the CPU time alone, then the UI thread's gaps
    // (the ticker's own wake-ups would count as the program's CPU time).
    qapp.refreshes.clear();
    const double cpuBefore = CpuSeconds();
    const auto wallBefore = Clock::now();
    WaitUntil([] { return false; }, seconds * 1000);
    cpuShare = (CpuSeconds() - cpuBefore) / std::chrono::duration<double>(Clock::now() - wallBefore).count();

    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    auto lastTick = Clock::now();
    QObject::connect(&ticker, &QTimer::timeout, [&] {
      const auto now = Clock::now();
      longestGap = std::max(longestGap, Milliseconds(now - lastTick));
      lastTick = now;
    });
    ticker.start(kTickMs);
    QEventLoop watch;
    QTimer::singleShot(seconds * 1000, &watch, &QEventLoop::quit);
    watch.exec();
    ticker.stop();
    steadyRefreshes = qapp.refreshes;
    status = general->StatusText()->text();
    complete = allTabs;
    sheet->close();
  });
  const int exitStatus = RunDiagTool(app);

  const Stats steady = Summarise(steadyRefreshes);
  const Stats startup = Summarise(startupDurations);
  const Stats activation = Summarise(activations);
  std::printf("%d readers: %d reader tabs; status \"%s\"\n", readers, tabs, qPrintable(status));
  std::printf("  refresh at rest (%zu in 2 x %d s): median %.2f ms, max %.2f ms\n", steadyRefreshes.size(), seconds,
              steady.median, steady.max);
  std::printf("  refreshes until every tab was there (%zu): max %.2f ms\n", startupRefreshes, startup.max);
  std::printf("  first activation of a reader tab (%zu): median %.2f ms, max %.2f ms\n", activations.size(),
              activation.median, activation.max);
  std::printf("  CPU at rest (%d s): %.2f %% of one core\n", seconds, cpuShare * 100);
  std::printf("  longest gap between %d ms ticks on the UI thread (%d s): %.2f ms\n", kTickMs, seconds, longestGap);
  std::fflush(stdout);
  if (exitStatus != 0 || !complete) {
    std::fprintf(stderr, "general_page_bench: the run was incomplete (exit %d, %d of %d tabs)\n", exitStatus, tabs,
                 readers);
    return 1;
  }
  return 0;
}

// One process per reader count: the PC/SC client library reads the socket
// path once per process, and each count needs a pcscd of its own.
int RunChild(const char* self, int readers, int seconds) {
  const std::string count = std::to_string(readers);
  const std::string duration = std::to_string(seconds);
  const pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    execl(self, self, "--readers", count.c_str(), duration.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--readers") {
    const int readers = std::atoi(argv[2]);
    const int seconds = argc >= 4 ? std::atoi(argv[3]) : kDefaultSeconds;
    if (readers <= 0 || seconds <= 0) return 2;
    return RunOne(argc, argv, readers, seconds);
  }
  const int seconds = argc >= 2 ? std::atoi(argv[1]) : kDefaultSeconds;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: general_page_bench [SECONDS] | --readers N [SECONDS]\n");
    return 2;
  }
  int result = 0;
  for (const int readers : {4, 16}) result |= RunChild("/proc/self/exe", readers, seconds);
  return result;
}
