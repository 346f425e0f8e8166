// The Devices window: what it shows of a report, and the report it gathers
// itself from the system tree. Verdicts against pcscd are tested with the
// gathering in usb_pcscd_tests.

#include "status/devices_dlg.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QLabel>
#include <QTreeWidget>
#include <memory>

#include "pcscd_socket_stand_in.h"
#include "platform/qt_dialogs.h"
#include "registry_fixture.h"
#include "temp_dir.h"
#include "window_host.h"

namespace {

using testing_support::ScopedEnv;
using testing_support::TempDir;

QStringList Row(QTreeWidget* list, int row) {
  QStringList texts;
  const QTreeWidgetItem* item = list->topLevelItem(row);
  for (int column = 0; item && column < list->columnCount(); ++column) texts << item->text(column);
  return texts;
}

}  // namespace

TEST(DevicesWindowTest, EachDeviceRowShowsItsDriverReaderAndVerdict) {
  UsbReport report;
  report.busVisible = true;
  velkaro::DriverBundle ccid;
  ccid.name = "ifd-ccid.bundle";
  ccid.version = "1.5.2";
  ccid.entries = {{0x046A, 0x0005, "Cherry GmbH SmartBoard XX33"}};
  velkaro::DriverBundle broken;
  broken.name = "broken.bundle";
  broken.state = velkaro::BundleState::kUnequalLists;
  report.drivers = {ccid, broken};
  report.serialReaders = {{"Virtual PCD", "/dev/null:0x8C7B", "/usr/lib/libifdvpcd.so", ""}};
  const struct {
    const char* serial;  // null: none
    bool driver;
    const char* reader;
    UsbVerdict verdict;
    QStringList shown;
  } cases[] = {
      {"1234",
       true,
       "Cherry GmbH SmartBoard XX33 (1234) 00 00",
       UsbVerdict::kWorking,
       {"1234", "ifd-ccid.bundle 1.5.2", "Cherry GmbH SmartBoard XX33 (1234) 00 00", "Working"}},
      {nullptr,
       true,
       "",
       UsbVerdict::kNoReader,
       {"n/a", "ifd-ccid.bundle 1.5.2", "not listed", "Driver installed, pcscd lists no reader for it"}},
      {"\x1b]0;t\x07",
       false,
       "",
       UsbVerdict::kNoDriver,
       {"\\x1B]0;t\\x07", "none", "not listed", "No installed driver lists this device"}},
      {nullptr,
       true,
       "",
       UsbVerdict::kPcscdNotRunning,
       {"n/a", "ifd-ccid.bundle 1.5.2", "not listed", "pcscd is not running"}},
      {nullptr,
       true,
       "",
       UsbVerdict::kPcscdNotAnswering,
       {"n/a", "ifd-ccid.bundle 1.5.2", "not listed", "pcscd does not answer"}},
  };
  for (const auto& c : cases) {
    UsbDeviceRow row;
    row.device.name = "1-" + std::to_string(report.devices.size() + 2);
    row.device.vendorId = 0x046A;
    row.device.productId = 0x0005;
    row.device.manufacturer = "Cherry GmbH";
    if (c.serial) row.device.serial = c.serial;
    if (c.driver) row.driver = velkaro::DriverClaim{0, 0};
    row.reader = c.reader;
    row.verdict = c.verdict;
    report.devices.push_back(row);
  }
  CDevicesDlg window;
  window.ShowReport(report);
  ASSERT_EQ(window.DeviceList()->topLevelItemCount(), static_cast<int>(std::size(cases)));
  for (int i = 0; i < static_cast<int>(std::size(cases)); ++i) {
    const QStringList row = Row(window.DeviceList(), i);
    EXPECT_EQ(row.mid(0, 4), (QStringList{QString("1-%1").arg(i + 2), "046A:0005", "Cherry GmbH", "n/a"}));
    EXPECT_EQ(row.mid(4), cases[i].shown);
  }
  EXPECT_EQ(Row(window.DriverList(), 0), (QStringList{"ifd-ccid.bundle", "1.5.2", "1", ""}));
  EXPECT_EQ(Row(window.DriverList(), 1),
            (QStringList{"broken.bundle", "", "", "lists of unequal length: pcscd reads no bundle after this one"}));
  EXPECT_EQ(Row(window.SerialReaderList(), 0),
            (QStringList{"Virtual PCD", "/dev/null:0x8C7B", "/usr/lib/libifdvpcd.so"}));
  EXPECT_TRUE(window.StateLine()->isHidden());
}

// The window gathers on its own: without a bus it says so, and lists the
// tree's drivers; an unlisted smart card device has no driver.
TEST(DevicesWindowTest, TheWindowGathersTheSystemTree) {
  const TempDir root;
  const ScopedEnv env("VELKARO_SYSTEM_ROOT", root.path().string());
  const ScopedEnv socket("PCSCLITE_CSOCK_NAME", root / "no-pcscd.comm");
  root.Write("usr/lib/pcsc/drivers/x.bundle/Contents/Info.plist",
             "<plist><dict><key>CFBundleShortVersionString</key><string>3.1</string></dict></plist>");
  {
    CDevicesDlg window;  // no runner installed: the gathering ran already
    EXPECT_EQ(window.StateLine()->text(), "No USB bus visible");
    EXPECT_EQ(window.DeviceList()->topLevelItemCount(), 0);
    EXPECT_EQ(Row(window.DriverList(), 0),
              (QStringList{"x.bundle", "3.1", "", "no CFBundleExecutable: pcscd skips it"}));
  }
  root.Write("sys/bus/usb/devices/2-1/idVendor", "1234\n");
  root.Write("sys/bus/usb/devices/2-1/idProduct", "5678\n");
  root.Write("sys/bus/usb/devices/2-1:1.0/bInterfaceClass", "0b\n");
  CDevicesDlg window;
  EXPECT_TRUE(window.StateLine()->isHidden());
  EXPECT_EQ(Row(window.DeviceList(), 0), (QStringList{"2-1", "1234:5678", "n/a", "n/a", "n/a", "none", "not listed",
                                                      "No installed driver lists this device"}));
}

// With the program's runner the window opens at once, reading; a pcscd that
// takes the connection and never answers reaches it later as a verdict, and
// a window closed before its answer is not touched by it.
TEST(DevicesWindowTest, TheWindowNeverWaitsForTheGathering) {
  const TempDir root;
  const ScopedEnv env("VELKARO_SYSTEM_ROOT", root.path().string());
  const testing_support::PcscdSocketStandIn pcscd(testing_support::PcscdSocketStandIn::Mode::kSilent);
  root.Write("usr/lib/pcsc/drivers/a.bundle/Contents/Info.plist",
             "<plist><dict><key>CFBundleExecutable</key><string>a.so</string>"
             "<key>ifdVendorID</key><string>0x1234</string><key>ifdProductID</key><string>0x5678</string>"
             "<key>ifdFriendlyName</key><string>A</string></dict></plist>");
  root.Write("sys/bus/usb/devices/2-1/idVendor", "1234\n");
  root.Write("sys/bus/usb/devices/2-1/idProduct", "5678\n");
  velkaro::QtBackgroundRunner runner;
  velkaro::InstallBackgroundRunner(&runner);
  std::make_unique<CDevicesDlg>().reset();
  CDevicesDlg window;
  EXPECT_EQ(window.StateLine()->text(), "Reading the USB devices and drivers…");
  EXPECT_EQ(window.DeviceList()->topLevelItemCount(), 0);
  EXPECT_TRUE(testing_support::WaitUntil([&] { return window.DeviceList()->topLevelItemCount() == 1; }, 5000));
  EXPECT_EQ(Row(window.DeviceList(), 0).last(), "pcscd does not answer");
  velkaro::InstallBackgroundRunner(nullptr);
}
