// What the USB gathering makes of bad and odd input: sysfs attributes,
// driver bundles' plists, reader.conf files, pcscd's reader names, the
// kernel's device events and the remembered channel ids.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/driver_bundles.h"
#include "platform/uevent_monitor.h"
#include "platform/usb_sysfs.h"
#include "registry_fixture.h"
#include "status/usb_devices.h"
#include "temp_dir.h"

namespace {

using testing_support::ScopedEnv;
using testing_support::TempDir;
using velkaro::BundleState;

std::string Plist(const std::string& body) { return "<plist><dict>" + body + "</dict></plist>"; }

std::string List(const char* key, const std::vector<std::string>& values) {
  std::string text = std::string("<key>") + key + "</key><array>";
  for (const std::string& value : values) text += "<string>" + value + "</string>";
  return text + "</array>";
}

constexpr char kExecutable[] = "<key>CFBundleExecutable</key><string>lib.so</string>";

}  // namespace

TEST(UsbInputsTest, SysfsAttributesThatCannotBeReadAreAbsent) {
  const struct {
    const char* what;
    std::optional<std::string> content;  // nothing: no file; "FIFO": a FIFO
    std::optional<std::uint16_t> id;
  } cases[] = {
      {"four hex digits", "08e6\n", 0x08E6},
      {"missing", std::nullopt, std::nullopt},
      {"empty", "", std::nullopt},
      {"only a line feed", "\n", std::nullopt},
      {"two line feeds", "0\n\n", std::nullopt},
      {"not hex", "08g6\n", std::nullopt},
      {"too many digits", "108e6\n", std::nullopt},
      {"a sign", "-8e6\n", std::nullopt},
      {"huge", std::string(5000, '1'), std::nullopt},
      {"a FIFO, never waited on", "FIFO", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const TempDir root;
    const ScopedEnv env("VELKARO_SYSTEM_ROOT", root.path().string());
    root.Write("sys/bus/usb/devices/1-2/idProduct", "3437\n");
    if (c.content == "FIFO") {
      ASSERT_EQ(::mkfifo((root / "sys/bus/usb/devices/1-2/idVendor").c_str(), 0600), 0);
    } else if (c.content) {
      root.Write("sys/bus/usb/devices/1-2/idVendor", *c.content);
    }
    const velkaro::UsbBus bus = velkaro::ReadUsbDevices();
    ASSERT_EQ(bus.devices.size(), 1u);
    EXPECT_EQ(bus.devices[0].vendorId, c.id);
    EXPECT_EQ(bus.devices[0].productId, 0x3437);
    EXPECT_FALSE(bus.devices[0].serial.has_value());
  }
}

TEST(UsbInputsTest, NoBusIsNotAnEmptyBus) {
  const TempDir root;
  const ScopedEnv env("VELKARO_SYSTEM_ROOT", root.path().string());
  EXPECT_FALSE(velkaro::ReadUsbDevices().visible);
  std::filesystem::create_directories(root / "sys/bus/usb/devices");
  const velkaro::UsbBus bus = velkaro::ReadUsbDevices();
  EXPECT_TRUE(bus.visible);
  EXPECT_TRUE(bus.devices.empty());
}

TEST(UsbInputsTest, PlistListsReadAsPcscdReadsThem) {
  const std::vector<std::string> many(10000, "0x1234");
  const struct {
    const char* what;
    std::string plist;
    BundleState state;
    std::size_t entries;
    std::uint32_t firstVendor;
  } cases[] = {
      {"equal lists",
       Plist(std::string(kExecutable) + List("ifdVendorID", {"0x08E6", "0x072F"}) +
             List("ifdProductID", {"0x3437", "0x90CC"}) + List("ifdFriendlyName", {"A", "B"})),
       BundleState::kRead, 2, 0x08E6},
      {"a product id short",
       Plist(std::string(kExecutable) + List("ifdVendorID", {"0x08E6", "0x072F"}) + List("ifdProductID", {"0x3437"}) +
             List("ifdFriendlyName", {"A", "B"})),
       BundleState::kUnequalLists, 0, 0},
      // pcscd does not count an empty string, so neither list has two.
      {"an empty name",
       Plist(std::string(kExecutable) + List("ifdVendorID", {"0x08E6", "0x072F"}) +
             List("ifdProductID", {"0x3437", "0x90CC"}) + List("ifdFriendlyName", {"A", ""})),
       BundleState::kUnequalLists, 0, 0},
      // strtol in base 16: digits up to the first other character, else 0.
      {"ids not hex",
       Plist(std::string(kExecutable) + List("ifdVendorID", {"08E6junk", "zz"}) + List("ifdProductID", {"1", "2"}) +
             List("ifdFriendlyName", {"A", "B"})),
       BundleState::kRead, 2, 0x08E6},
      {"a repeated key: the last counts",
       Plist(std::string(kExecutable) + List("ifdVendorID", {"0x1111", "0x2222"}) + List("ifdVendorID", {"0x3333"}) +
             List("ifdProductID", {"1"}) + List("ifdFriendlyName", {"A"})),
       BundleState::kRead, 1, 0x3333},
      {"ten thousand entries",
       Plist(std::string(kExecutable) + List("ifdVendorID", many) + List("ifdProductID", many) +
             List("ifdFriendlyName", many)),
       BundleState::kRead, 10000, 0x1234},
      {"no executable",
       Plist(List("ifdVendorID", {"1"}) + List("ifdProductID", {"1"}) + List("ifdFriendlyName", {"A"})),
       BundleState::kMissingKey, 0, 0},
      {"no names", Plist(std::string(kExecutable) + List("ifdVendorID", {"1"}) + List("ifdProductID", {"1"})),
       BundleState::kMissingKey, 0, 0},
      {"not a plist", "<dict>" + List("ifdVendorID", {"1"}) + "</dict>", BundleState::kNoPlist, 0, 0},
      {"an entity",
       "<!DOCTYPE plist [<!ENTITY e \"0x1\">]>" + Plist(std::string(kExecutable) + List("ifdVendorID", {"&e;"})),
       BundleState::kNoPlist, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const velkaro::DriverBundle bundle =
        velkaro::BundleFromLists("x.bundle", velkaro::ParseInfoPlistLists(c.plist, "test"));
    EXPECT_EQ(bundle.state, c.state);
    ASSERT_EQ(bundle.entries.size(), c.entries);
    if (c.entries) {
      EXPECT_EQ(bundle.entries[0].vendorId, c.firstVendor);
    }
  }
}

// pcscd reads the bundles in the directory's own order and stops at the
// first whose lists are of unequal length; one without a plist it skips.
TEST(UsbInputsTest, BundlesAfterUnequalListsAreNotRead) {
  const TempDir root;
  const ScopedEnv env("VELKARO_SYSTEM_ROOT", root.path().string());
  const std::string drivers = "usr/lib/pcsc/drivers/";
  const std::string good = Plist(std::string(kExecutable) + List("ifdVendorID", {"1"}) + List("ifdProductID", {"2"}) +
                                 List("ifdFriendlyName", {"A"}));
  for (const char* name : {"a.bundle", "c.bundle", "d.bundle", "e.bundle"}) {
    root.Write(drivers + name + "/Contents/Info.plist", good);
  }
  root.Write(drivers + "b.bundle/Contents/Info.plist",
             Plist(std::string(kExecutable) + List("ifdVendorID", {"1", "2"}) + List("ifdProductID", {"2"}) +
                   List("ifdFriendlyName", {"A"})));
  std::filesystem::create_directories(root / (drivers + "noplist.bundle/Contents"));
  root.Write(drivers + "README", "not a bundle");

  std::vector<std::string> order;
  DIR* listing = ::opendir((root / drivers).c_str());
  ASSERT_NE(listing, nullptr);
  while (const dirent* entry = ::readdir(listing)) {
    if (std::string_view(entry->d_name).find(".bundle") != std::string_view::npos) order.emplace_back(entry->d_name);
  }
  ::closedir(listing);

  const std::vector<velkaro::DriverBundle> bundles = velkaro::ReadDriverBundles();
  ASSERT_EQ(bundles.size(), order.size());
  bool afterBroken = false;
  for (std::size_t i = 0; i < bundles.size(); ++i) {
    SCOPED_TRACE(order[i]);
    ASSERT_EQ(bundles[i].name, order[i]);
    BundleState expected = BundleState::kRead;
    if (afterBroken)
      expected = BundleState::kNotReached;
    else if (order[i] == "b.bundle")
      expected = BundleState::kUnequalLists;
    else if (order[i] == "noplist.bundle")
      expected = BundleState::kNoPlist;
    EXPECT_EQ(bundles[i].state, expected);
    EXPECT_EQ(bundles[i].entries.size(), expected == BundleState::kRead ? 1u : 0u);
    afterBroken = afterBroken || order[i] == "b.bundle";
  }
}

TEST(UsbInputsTest, ASpecificBundleWinsOverTheClassDriverAndTheLastEntryCounts) {
  std::vector<velkaro::DriverBundle> bundles(3);
  bundles[0].classDriver = true;
  bundles[0].entries = {{1, 2, "class"}, {3, 4, "class only"}};
  bundles[1].entries = {{1, 2, "first"}};
  bundles[2].entries = {{1, 2, "last"}};
  const struct {
    std::uint32_t vendor, product;
    std::optional<std::string> name;
  } cases[] = {{1, 2, "last"}, {3, 4, "class only"}, {5, 6, std::nullopt}};
  for (const auto& c : cases) {
    const auto claim = velkaro::ClaimingDriver(bundles, c.vendor, c.product);
    ASSERT_EQ(claim.has_value(), c.name.has_value());
    if (claim) {
      EXPECT_EQ(bundles[claim->bundle].entries[claim->entry].friendlyName, *c.name);
    }
  }
}

TEST(UsbInputsTest, ReaderConfConfiguresReadersAsPcscdDoes) {
  const struct {
    const char* what;
    const char* text;
    std::vector<std::string> names;  // friendly name|device|library
  } cases[] = {
      {"vpcd's file",
       "FRIENDLYNAME \"Virtual PCD\"\nDEVICENAME   /dev/null:0x8C7B\n"
       "LIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so\nCHANNELID    0x8C7B\n",
       {"Virtual PCD|/dev/null:0x8C7B|/usr/lib/pcsc/drivers/serial/libifdvpcd.so"}},
      {"commented out", "#FRIENDLYNAME \"x\"\n#DEVICENAME /dev/ttyS0\n#LIBPATH /lib.so\n", {}},
      {"no library", "FRIENDLYNAME a\nDEVICENAME /dev/ttyS0\n", {}},
      {"a key without its value on the line", "FRIENDLYNAME\n\"a\"\nDEVICENAME d\nLIBPATH l\n", {}},
      {"channel instead of device", "FRIENDLYNAME 'b'\nCHANNELID 0x10\nLIBPATH l # comment\n", {"'b'||l"}},
      {"two readers, CR LF",
       "FRIENDLYNAME one\r\nDEVICENAME d1\r\nLIBPATH l1\r\nFRIENDLYNAME two\r\n"
       "DEVICENAME d2\r\nLIBPATH l2\r\n",
       {"one|d1|l1", "two|d2|l2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> names;
    for (const auto& reader : velkaro::ParseReaderConf(c.text)) {
      names.push_back(reader.friendlyName + "|" + reader.deviceName + "|" + reader.libraryPath);
    }
    EXPECT_EQ(names, c.names);
  }
}

TEST(UsbInputsTest, ReaderNamesFitTheDeviceTheyWereGiven) {
  const struct {
    const char* reader;
    std::optional<std::string> serial;
    bool fits;
  } cases[] = {
      {"Cherry GmbH SmartBoard XX33 00 00", std::nullopt, true},
      {"Cherry GmbH SmartBoard XX33 (1234) 01 00", "1234", true},
      {"Cherry GmbH SmartBoard XX33 [CCID Interface] (1234) 02 01", "1234", true},
      // pcscd leaves the serial out when the interface's name holds it.
      {"Cherry GmbH SmartBoard XX33 [CCID 1234] 03 00", "1234", true},
      {"Cherry GmbH SmartBoard XX33 (9999) 00 00", "1234", false},
      {"Cherry GmbH SmartBoard XX33", std::nullopt, false},
      {"Cherry GmbH SmartBoard XX33 X 00 00", std::nullopt, false},
      {"Cherry GmbH SmartBoard XX33 [unclosed 00 00", std::nullopt, false},
      {"Cherry GmbH SmartBoard 00 00", std::nullopt, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReaderNameFits(c.reader, "Cherry GmbH SmartBoard XX33", c.serial), c.fits) << c.reader;
  }
}

TEST(UsbInputsTest, OnlyUsbDeviceEventsOfTheKernelAreChanges) {
  const auto message = [](const std::vector<std::string>& fields) {
    std::string text;
    for (const std::string& field : fields) text += field + '\0';
    return text;
  };
  const auto usb = [&](const std::string& action, const std::string& devtype = "usb_device",
                       const std::string& subsystem = "usb") {
    return message({action + "@/devices/pci0000:00/usb1/1-2", "ACTION=" + action,
                    "DEVPATH=/devices/pci0000:00/usb1/1-2", "SUBSYSTEM=" + subsystem, "DEVTYPE=" + devtype,
                    "PRODUCT=72f/90cc/100", "SEQNUM=4711"});
  };
  std::string huge = usb("add");
  huge.insert(huge.size() - 1, std::string(velkaro::kMaxUeventSize, 'x'));
  const struct {
    const char* what;
    std::string message;
    bool change;
  } cases[] = {
      {"add", usb("add"), true},
      {"remove", usb("remove"), true},
      {"bind", usb("bind"), true},
      {"unbind", usb("unbind"), true},
      {"change", usb("change"), false},
      {"an interface", usb("add", "usb_interface"), false},
      {"another subsystem", usb("add", "usb_device", "block"), false},
      {"udev's form", "libudev" + std::string(1, '\0') + usb("add"), false},
      {"action unlike the header's", message({"add@/devices/x", "ACTION=remove", "SUBSYSTEM=usb",
                                               "DEVTYPE=usb_device"}), false},
      {"no action", message({"add@/devices/x", "SUBSYSTEM=usb", "DEVTYPE=usb_device"}), false},
      {"no header", message({"ACTION=add", "SUBSYSTEM=usb", "DEVTYPE=usb_device"}), false},
      {"a key twice", usb("add") + message({"SUBSYSTEM=usb"}), false},
      {"cut short", usb("add").substr(0, usb("add").size() - 1), false},
      {"no NUL", "add@/devices/x ACTION=add SUBSYSTEM=usb DEVTYPE=usb_device", false},
      {"huge", huge, false},
      {"empty", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(velkaro::IsUsbDeviceChange(c.message), c.change) << c.what;
  }
}

// Each reader's channel id is read once while pcscd lists it: a reader that
// left is asked again when it is back, one that could not be asked or whose
// remembered id no longer holds is asked again, and after a missed deadline
// nothing more is read or remembered.
TEST(UsbInputsTest, ChannelIdsAreReadOncePerListedReader) {
  using State = ChannelIdReply::State;
  const std::map<std::string, std::optional<std::uint32_t>> ids = {
      {"A", 0x00200102}, {"B", std::nullopt}, {"C", std::nullopt}, {"D", 0x00200103}, {"E", 0x00200104}};
  const struct {
    std::vector<std::string> readers;
    std::set<std::string> busy;    // cannot be asked
    std::set<std::string> missed;  // miss the deadline
    bool holds;                    // remembered ids still hold
    std::vector<std::string> reads;
    std::set<std::string> known;  // readers with an id entry in the answer
  } steps[] = {
      {{"A", "B", "C"}, {"B"}, {}, true, {"A", "B", "C"}, {"A", "B", "C"}},
      {{"A", "B", "C"}, {}, {}, true, {"B"}, {"A", "B", "C"}},
      {{"B", "C"}, {}, {}, true, {}, {"B", "C"}},
      {{"A", "B", "C"}, {}, {}, true, {"A"}, {"A", "B", "C"}},
      {{"A", "D", "E"}, {}, {"D"}, true, {"D"}, {"A"}},
      {{"A", "D", "E"}, {}, {}, true, {"D", "E"}, {"A", "D", "E"}},
      {{"A", "D", "E"}, {}, {}, false, {"A", "D", "E"}, {"A", "D", "E"}},
  };
  CChannelIdCache cache;
  int step = 0;
  for (const auto& s : steps) {
    SCOPED_TRACE(step++);
    std::vector<std::string> reads;
    const auto read = [&](const std::string& reader) {
      reads.push_back(reader);
      if (s.missed.contains(reader)) return ChannelIdReply{State::kMissedDeadline, std::nullopt};
      if (s.busy.contains(reader)) return ChannelIdReply{State::kNotAsked, std::nullopt};
      return ChannelIdReply{State::kAnswered, ids.at(reader)};
    };
    const auto answer = cache.ChannelIds(s.readers, read, [&](const auto&) { return s.holds; });
    EXPECT_EQ(reads, s.reads);
    std::set<std::string> known;
    for (const auto& [reader, id] : answer) {
      known.insert(reader);
      EXPECT_EQ(id, s.busy.contains(reader) ? std::nullopt : ids.at(reader)) << reader;
    }
    EXPECT_EQ(known, s.known);
  }
}
