// The platform checks that the General page runs: pcscd's state from a
// stand-in systemd on a private message bus that answers after 100 ms and one
// that never answers, and the facts of the configured files (diagtool.ini
// beside this program) from this machine's file system and dpkg database,
// and the USB devices' gathering (without pcscd) from a fake system tree of
// 100 smart card devices and a driver bundle listing 10,000 devices.
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

#include <filesystem>
#include <fstream>

#include "app/diag_tool_app.h"
#include "platform/systemd_service.h"
#include "stand_in_systemd.h"
#include "status/file_info.h"
#include "status/usb_devices.h"
#include "temp_dir.h"

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

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// 100 devices with a smart card interface, 50 of them listed by a bundle of
// 10,000 entries; false when the gathering does not find them so.
bool WriteUsbTree(const std::filesystem::path& root) {
  constexpr int kDevices = 100;
  constexpr int kEntries = 10000;
  for (int n = 1; n <= kDevices; ++n) {
    const std::filesystem::path device = root / "sys/bus/usb/devices" / ("1-" + std::to_string(n));
    char product[8];
    std::snprintf(product, sizeof product, "%04x\n", n);
    WriteFile(device / "idVendor", "1d50\n");
    WriteFile(device / "idProduct", product);
    WriteFile(device / "manufacturer", "Bench\n");
    WriteFile(device / "product", "Reader " + std::to_string(n) + "\n");
    WriteFile(device / "serial", std::to_string(n) + "\n");
    WriteFile(device / "busnum", "1\n");
    WriteFile(device / "devnum", std::to_string(n) + "\n");
    WriteFile(root / "sys/bus/usb/devices" / ("1-" + std::to_string(n) + ":1.0") / "bInterfaceClass", "0b\n");
  }
  std::string vendors, products, names;
  for (int i = 0; i < kEntries; ++i) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%04X", i % 2 ? 0x1d51 : 0x1d50);
    vendors += std::string("<string>") + id + "</string>\n";
    std::snprintf(id, sizeof id, "0x%04X", i / 2 + 1);
    products += std::string("<string>") + id + "</string>\n";
    names += "<string>Bench reader " + std::to_string(i) + "</string>\n";
  }
  WriteFile(root / "usr/lib/pcsc/drivers/bench.bundle/Contents/Info.plist",
            "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<dict>\n"
            "<key>CFBundleShortVersionString</key><string>1.0.0</string>\n"
            "<key>CFBundleExecutable</key><string>libbench.so</string>\n"
            "<key>ifdVendorID</key>\n<array>\n" + vendors + "</array>\n"
            "<key>ifdProductID</key>\n<array>\n" + products + "</array>\n"
            "<key>ifdFriendlyName</key>\n<array>\n" + names + "</array>\n</dict>\n</plist>\n");
  const UsbReport report = GatherUsbReport(false);
  std::size_t withDriver = 0;
  for (const UsbDeviceRow& row : report.devices) withDriver += row.driver.has_value();
  if (report.devices.size() != kDevices || report.drivers.size() != 1 ||
      report.drivers[0].entries.size() != kEntries || withDriver != kDevices) {
    std::fprintf(stderr, "platform_checks_bench: the fake USB tree reads as %zu devices (%zu with a driver), %zu bundles\n",
                 report.devices.size(), withDriver, report.drivers.size());
    return false;
  }
  return true;
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

  const testing_support::TempDir root;
  setenv("VELKARO_SYSTEM_ROOT", root.path().c_str(), 1);
  if (!WriteUsbTree(root.path())) return 1;
  std::printf("USB devices without pcscd (100 devices, a bundle of 10,000 entries):\n");
  Measure("GatherUsbReport", runs, [] { GatherUsbReport(false); });
  unsetenv("VELKARO_SYSTEM_ROOT");
  return 0;
}
