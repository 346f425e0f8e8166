// The Devices window: what it shows of a report, and the report it gathers
// itself from the system tree, when it gathers again. Verdicts against pcscd
// are tested with the gathering in usb_pcscd_tests.

#include "status/devices_dlg.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

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

// Counts the gatherings started; runs each at once, or on Finish().
class CountingRunner final : public velkaro::IBackgroundRunner {
 public:
  explicit CountingRunner(bool deferred) : m_deferred(deferred) { velkaro::InstallBackgroundRunner(this); }
  ~CountingRunner() override { velkaro::InstallBackgroundRunner(nullptr); }
  bool Start(std::function<void(const velkaro::UiPost& post)> work) override {
    ++m_started;
    if (!m_deferred) Run(work);
    if (m_deferred) m_pending.push_back(std::move(work));
    return true;
  }
  // Finishes the oldest gathering left; false when none is.
  bool Finish() {
    if (m_pending.empty()) return false;
    auto work = std::move(m_pending.front());
    m_pending.erase(m_pending.begin());
    Run(work);
    return true;
  }
  int Started() const { return m_started; }

 private:
  static void Run(const std::function<void(const velkaro::UiPost& post)>& work) {
    work([](const std::function<void()>& task) { task(); });
  }
  bool m_deferred;
  int m_started = 0;
  std::vector<std::function<void(const velkaro::UiPost& post)>> m_pending;
};

// A USB device with a smart card interface in the fake tree.
void PlugIn(const TempDir& root, const std::string& name) {
  const std::string dir = "sys/bus/usb/devices/" + name;
  root.Write(dir + "/idVendor", "1234\n");
  root.Write(dir + "/idProduct", "5678\n");
  root.Write(dir + ":1.0/bInterfaceClass", "0b\n");
}

// The kernel's message for a USB device plugged in.
std::string UsbAdd(const std::string& name) {
  const std::string path = "/devices/pci0000:00/usb2/" + name;
  const std::string fields[] = {"add@" + path, "ACTION=add", "DEVPATH=" + path, "SUBSYSTEM=usb", "DEVTYPE=usb_device"};
  std::string text;
  for (const std::string& field : fields) text += field + '\0';
  return text;
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

// The window follows the kernel's USB events (a socketpair stands in for the
// netlink socket): a device plugged in shows after one gathering, a burst of
// events makes one gathering, and events that are no USB device's make none.
TEST(DevicesWindowTest, AUsbDeviceChangeGathersAgainOnceForABurst) {
  const TempDir root;
  const ScopedEnv env("VELKARO_SYSTEM_ROOT", root.path().string());
  const ScopedEnv socket("PCSCLITE_CSOCK_NAME", root / "no-pcscd.comm");
  PlugIn(root, "2-1");
  const struct {
    const char* what;
    int messages;
    bool usb;
    int fewest, most;  // gatherings after the first
    int rows;
  } cases[] = {
      {"one device", 1, true, 1, 1, 2},
      // A loaded machine may let the settling time pass once within it.
      {"a burst", 20, true, 1, 2, 2},
      {"no USB device's", 5, false, 0, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(root / "sys/bus/usb/devices/2-2");
    std::filesystem::remove_all(root / "sys/bus/usb/devices/2-2:1.0");
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    const velkaro::UniqueFd kernel(fds[1]);
    const CountingRunner runner(false);
    CDevicesDlg window{velkaro::UeventMonitor(velkaro::UniqueFd(fds[0]))};
    ASSERT_EQ(runner.Started(), 1);
    ASSERT_EQ(window.DeviceList()->topLevelItemCount(), 1);
    PlugIn(root, "2-2");
    const std::string message = c.usb ? UsbAdd("2-2") : "libudev" + std::string(1, '\0') + UsbAdd("2-2");
    for (int i = 0; i < c.messages; ++i) {
      ASSERT_EQ(::send(kernel.Get(), message.data(), message.size(), 0), static_cast<ssize_t>(message.size()));
      testing_support::RunEvents(10);
    }
    testing_support::RunEvents(600);
    EXPECT_GE(runner.Started() - 1, c.fewest);
    EXPECT_LE(runner.Started() - 1, c.most);
    EXPECT_EQ(window.DeviceList()->topLevelItemCount(), c.rows);
  }
}

// "Refresh" gathers again; asked during a gathering it waits for it and
// makes one more, however often it is asked.
TEST(DevicesWindowTest, RefreshGathersAgainNeverTwoAtOnce) {
  const TempDir root;
  const ScopedEnv env("VELKARO_SYSTEM_ROOT", root.path().string());
  const ScopedEnv socket("PCSCLITE_CSOCK_NAME", root / "no-pcscd.comm");
  CountingRunner runner(true);
  CDevicesDlg window(std::nullopt);
  QPushButton* refresh = window.RefreshButton();
  EXPECT_EQ(refresh->accessibleName(), "Refresh");
  EXPECT_TRUE(refresh->focusPolicy() & Qt::TabFocus);
  refresh->click();
  refresh->click();
  EXPECT_EQ(runner.Started(), 1);
  ASSERT_TRUE(runner.Finish());
  EXPECT_EQ(runner.Started(), 2);
  EXPECT_EQ(window.DeviceList()->topLevelItemCount(), 0);
  PlugIn(root, "2-1");
  ASSERT_TRUE(runner.Finish());
  EXPECT_EQ(window.DeviceList()->topLevelItemCount(), 1);
  EXPECT_FALSE(runner.Finish());
  refresh->click();
  EXPECT_EQ(runner.Started(), 3);
  EXPECT_TRUE(runner.Finish());
}
