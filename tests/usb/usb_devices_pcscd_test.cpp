// The USB devices against a fake sysfs and drivers tree and the private
// pcscd: which driver pcscd takes for each device, which reader it lists
// for it, and the verdict, as readers answer, as pcscd stops and as it goes.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "log/log_devices.h"
#include "log/log_texts.h"
#include "registry_fixture.h"
#include "sandbox_environment.h"
#include "status/usb_devices.h"
#include "temp_dir.h"

namespace {

using namespace testing_support;

// Readers 00 to 02: one with the channel id of bus 1 address 2, one without
// a channel id named after a device with a serial, a decoy.
const auto* const g_environment = PcscdSandboxEnvironment::Install(VELKARO_TEST_DATA "/usb/readers");

std::string ReadData(const std::string& name) {
  std::ifstream in(std::string(VELKARO_TEST_DATA "/usb/") + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct FakeDevice {
  const char* name;
  const char* vendor;
  const char* product;
  const char* serial;  // null: none
  const char* address;
  const char* interfaceClass;
};

// A tree with Debian's CCID bundle (a class driver), a bundle of its own for
// one of its devices, a vpcd reader.conf and five devices on bus 1.
class UsbTree {
 public:
  UsbTree() {
    m_root.Write("usr/lib/pcsc/drivers/ifd-ccid.bundle/Contents/Info.plist", ReadData("ifd-ccid.Info.plist"));
    m_root.Write("usr/lib/pcsc/drivers/athena.bundle/Contents/Info.plist",
                 "<plist><dict><key>CFBundleExecutable</key><string>libathena.so</string>"
                 "<key>CFBundleShortVersionString</key><string>2.0</string>"
                 "<key>ifdVendorID</key><array><string>0x0DC3</string></array>"
                 "<key>ifdProductID</key><array><string>0x1102</string></array>"
                 "<key>ifdFriendlyName</key><array><string>Athena ASEDrive IIIe KB</string></array></dict></plist>");
    m_root.Write("etc/reader.conf.d/vpcd",
                 "FRIENDLYNAME \"Virtual PCD\"\nDEVICENAME /dev/null:0x8C7B\n"
                 "LIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so\n");
    const FakeDevice devices[] = {
        {"1-1", "1d6b", "0002", nullptr, "1", "09"},  // a hub: neither listed nor a reader
        {"1-2", "072f", "90cc", nullptr, "2", "0b"}, {"1-3", "0dc3", "1004", "S-13", "3", "0b"},
        {"1-4", "0dc3", "1102", nullptr, "4", "0b"}, {"1-5", "1234", "5678", "X", "5", "0b"},
    };
    for (const FakeDevice& d : devices) {
      const std::string dir = std::string("sys/bus/usb/devices/") + d.name;
      m_root.Write(dir + "/idVendor", std::string(d.vendor) + "\n");
      m_root.Write(dir + "/idProduct", std::string(d.product) + "\n");
      m_root.Write(dir + "/manufacturer", "Maker\n");
      m_root.Write(dir + "/product", std::string("Model ") + d.name + "\n");
      if (d.serial) m_root.Write(dir + "/serial", std::string(d.serial) + "\n");
      m_root.Write(dir + "/busnum", "1\n");
      m_root.Write(dir + "/devnum", std::string(d.address) + "\n");
      m_root.Write(dir + ":1.0/bInterfaceClass", std::string(d.interfaceClass) + "\n");
    }
  }

 private:
  TempDir m_root;
  ScopedEnv m_env{"VELKARO_SYSTEM_ROOT", m_root.path().string()};
};

struct Row {
  std::string device;
  std::string driver;
  std::string reader;
  std::string verdict;
};

std::vector<Row> Rows(const UsbReport& report) {
  std::vector<Row> rows;
  for (const UsbDeviceRow& row : report.devices) {
    rows.push_back({row.device.name, row.driver ? report.drivers[row.driver->bundle].name : "", row.reader,
                    UsbVerdictText(row.verdict)});
  }
  return rows;
}

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.device << " | " << row.driver << " | " << row.reader << " | " << row.verdict;
}
bool operator==(const Row& a, const Row& b) {
  return a.device == b.device && a.driver == b.driver && a.reader == b.reader && a.verdict == b.verdict;
}

TEST(UsbDevicesPcscdTest, EachDeviceGetsTheDriverReaderAndVerdictPcscdGivesIt) {
  VELKARO_REQUIRE_SANDBOX();
  const UsbTree tree;
  const UsbReport report = GatherUsbReport();
  EXPECT_TRUE(report.busVisible);
  EXPECT_EQ(report.pcscd, velkaro::PcscdReply::kAnswered);
  const std::vector<Row> expected = {
      {"1-2", "ifd-ccid.bundle", "ACS ACR 38U-CCID 00 00", "Working"},
      {"1-3", "ifd-ccid.bundle", "Athena ASE IIIe (S-13) 01 00", "Working"},
      // Its own bundle wins over the class driver that lists it too.
      {"1-4", "athena.bundle", "", "Driver installed, pcscd lists no reader for it"},
      {"1-5", "", "", "No installed driver lists this device"},
  };
  EXPECT_EQ(Rows(report), expected);

  // The log's section for the same report; the bundles come in the
  // directory's order, which the file system decides.
  std::vector<std::string> lines = UsbSectionLines(report);
  ASSERT_EQ(lines.size(), 13u);
  std::sort(lines.begin() + 10, lines.begin() + 12);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "",
                       "USB Devices:",
                       "",
                       "1-2: 072F:90CC Maker Model 1-2, Serial = n/a, Driver = ifd-ccid.bundle 1.5.2, "
                       "Reader = ACS ACR 38U-CCID 00 00, Status = Working",
                       "1-3: 0DC3:1004 Maker Model 1-3, Serial = S-13, Driver = ifd-ccid.bundle 1.5.2, "
                       "Reader = Athena ASE IIIe (S-13) 01 00, Status = Working",
                       "1-4: 0DC3:1102 Maker Model 1-4, Serial = n/a, Driver = athena.bundle 2.0, Reader = none, "
                       "Status = Driver installed, pcscd lists no reader for it",
                       "1-5: 1234:5678 Maker Model 1-5, Serial = X, Driver = none, Reader = none, "
                       "Status = No installed driver lists this device",
                       "",
                       "Drivers:",
                       "",
                       "athena.bundle 2.0, 1 devices",
                       "ifd-ccid.bundle 1.5.2, 10 devices",
                       "Virtual PCD, Device = /dev/null:0x8C7B, Library = /usr/lib/pcsc/drivers/serial/libifdvpcd.so",
                   }));
}

// pcscd stopped (its socket still takes connections) does not answer;
// pcscd gone is not running. Only devices with a driver depend on it.
TEST(UsbDevicesPcscdTest, PcscdStoppedOrGoneIsSaidForDevicesWithADriver) {
  VELKARO_REQUIRE_SANDBOX();
  const UsbTree tree;
  auto& sandbox = Sandbox();
  struct Case {
    const char* name;
    std::function<void()> act;
    velkaro::PcscdReply reply;
    const char* verdict;
    bool ask = true;
  };
  const Case cases[] = {
      // After a call of the caller's that did not come back, none is made.
      {"running, not asked", [] {}, velkaro::PcscdReply::kNoAnswer, "pcscd does not answer", false},
      {"stopped", [&] { ASSERT_EQ(::kill(sandbox.Pid(), SIGSTOP), 0); }, velkaro::PcscdReply::kNoAnswer,
       "pcscd does not answer"},
      {"gone",
       [&] {
         ::kill(sandbox.Pid(), SIGCONT);
         sandbox.Stop();
       },
       velkaro::PcscdReply::kRefused, "pcscd is not running"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.act();
    const UsbReport report = GatherUsbReport(c.ask);
    EXPECT_EQ(report.pcscd, c.reply);
    ASSERT_EQ(report.devices.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(UsbVerdictText(report.devices[i].verdict), std::string(c.verdict)) << report.devices[i].device.name;
      EXPECT_EQ(report.devices[i].reader, "");
    }
    EXPECT_EQ(report.devices[3].verdict, UsbVerdict::kNoDriver);
  }
}

// The log's section asks pcscd again after its service check missed (that
// check takes no pcsc-lite lock), but not after a pcsc-lite call missed.
TEST(UsbDevicesPcscdTest, TheLogAsksPcscdNothingAfterAMissedCall) {
  VELKARO_REQUIRE_SANDBOX();
  const UsbTree tree;
  const TempDir out;
  const struct {
    const char* missed;
    const char* status;
  } cases[] = {
      {logtext::kStepNameService, "Status = Working"},
      {logtext::kStepNameReaderList, "Status = pcscd does not answer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.missed);
    CLogFile file;
    ASSERT_EQ(OpenLogFile(out / "usb.log", velkaro::LogOpenMode::kCreateAlways, file), 0u);
    ASSERT_EQ(WriteUsbSection(file, {{c.missed, {}, false}}), 0u);
    ASSERT_EQ(CloseLogFile(file), 0u);
    std::ifstream in(out / "usb.log", std::ios::binary);
    std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t line = log.find("\r\n1-2: 072F:90CC ");
    ASSERT_NE(line, std::string::npos) << log;
    EXPECT_EQ(log.substr(log.find(", Status = ", line) + 2, std::strlen(c.status)), c.status) << log;
  }
}

}  // namespace
