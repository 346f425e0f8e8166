// The platform checks that the General page runs: pcscd's state from a
// stand-in systemd on a private message bus that answers after 100 ms and one
// that never answers, and the facts of the configured files (diagtool.ini
// beside this program) from this machine's file system and dpkg database.
// Prints, for each, how many runs and their median and longest duration.
// Needs dbus-daemon; no root.
//
//   platform_checks_bench [RUNS]        (default 20)

#include <stdlib.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/diag_tool_app.h"
#include "platform/systemd_service.h"
#include "status/file_info.h"

namespace {

void Measure(const char* what, int runs, const std::function<void()>& run) {
  std::vector<double> durations;
  for (int i = 0; i < runs; ++i) {
    QElapsedTimer clock;
    clock.start();
    run();
    durations.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
  }
  std::sort(durations.begin(), durations.end());
  std::printf("  %-44s n %3d  median %8.2f ms  max %8.2f ms\n", what, runs, durations[durations.size() / 2],
              durations.back());
}

// A process that this program stops when it goes.
struct Child {
  QProcess process;
  ~Child() {
    process.kill();
    process.waitForFinished(5000);
  }
  QByteArray FirstLine(const QString& program, const QStringList& arguments) {
    process.start(program, arguments);
    if (!process.waitForReadyRead(5000)) return {};
    return process.readLine().trimmed();
  }
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  unsetenv("PCSCLITE_CSOCK_NAME");  // it would bypass systemd

  std::printf("pcscd's state through systemd (call time-out %d ms):\n", velkaro::kSystemdCallTimeoutMs);
  for (const char* mode : {"100", "silent"}) {
    Child bus;
    Child systemd;
    const QByteArray address =
        bus.FirstLine(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=" VELKARO_BUS_CONFIG),
                                                      QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (address.isEmpty() ||
        systemd.FirstLine(QStringLiteral(VELKARO_FAKE_SYSTEMD), {QString::fromUtf8(address), mode}) != "ready") {
      std::fprintf(stderr, "platform_checks_bench: cannot start the private bus and the stand-in systemd\n");
      return 1;
    }
    velkaro::SystemdServiceControl control(address.toStdString());
    const bool silent = std::string(mode) == "silent";
    Measure(silent ? "systemd silent" : "systemd answering after 100 ms", runs, [&] { control.QuerySmartCardService(false); });
  }

  CDiagToolApp app;
  if (!app.LoadConfiguration()) {
    std::fprintf(stderr, "platform_checks_bench: cannot read diagtool.ini beside the program\n");
    return 1;
  }
  std::vector<std::string> names = app.GetMandatoryFiles();
  names.insert(names.end(), app.GetOptionalFiles().begin(), app.GetOptionalFiles().end());
  std::printf("Configured files (%zu):\n", names.size());
  Measure("InspectFiles, one dpkg pass", runs, [&] { InspectFiles(names); });
  return 0;
}
