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
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/diag_tool_app.h"
#include "platform/systemd_service.h"
#include "stand_in_systemd.h"
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

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  unsetenv("PCSCLITE_CSOCK_NAME");  // it would bypass systemd

  std::printf("pcscd's state through systemd (call time-out %d ms):\n", velkaro::kSystemdCallTimeoutMs);
  for (const char* mode : {"100", "silent"}) {
    testing_support::StandInSystemd standIn;
    std::string error;
    if (!standIn.Start(mode, error)) {
      std::fprintf(stderr, "platform_checks_bench: %s\n", error.c_str());
      return 1;
    }
    velkaro::SystemdServiceControl control(standIn.Address());
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
