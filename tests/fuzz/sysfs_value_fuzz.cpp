// libFuzzer target for a USB device's sysfs attributes as the gathering
// reads them from a file (a fake tree stands in for /sys). Oracles, besides
// "does not crash":
// - an id is read exactly when the file holds one to four hex digits and at
//   most one final line feed, and reads as what strtol makes of them;
// - a number the same with one to three decimal digits;
// - a file beyond the attribute bound reads as no value at all.

#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "fuzz_files.h"
#include "platform/usb_sysfs.h"

namespace {

bool AllOf(const std::string& text, const char* digits, std::size_t maxDigits) {
  return !text.empty() && text.size() <= maxDigits && text.find_first_not_of(digits) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool rooted = [] {
    return ::setenv("VELKARO_SYSTEM_ROOT", (FuzzDirectory() + "/root").c_str(), 1) == 0;
  }();
  FUZZ_CHECK(rooted);
  const std::string text(reinterpret_cast<const char*>(data), size);
  WriteFuzzFile("root/sys/bus/usb/devices/1-1/idVendor", text);
  WriteFuzzFile("root/sys/bus/usb/devices/1-1/busnum", text);
  WriteFuzzFile("root/sys/bus/usb/devices/1-1/product", text);
  const velkaro::UsbBus bus = velkaro::ReadUsbDevices();
  FUZZ_CHECK(bus.visible && bus.devices.size() == 1);
  const velkaro::UsbSysfsDevice& device = bus.devices[0];

  std::string bare = text;
  if (!bare.empty() && bare.back() == '\n') bare.pop_back();
  const bool fits = size <= velkaro::kMaxSysfsValueSize;
  const bool hex = fits && AllOf(bare, "0123456789abcdefABCDEF", 4);
  FUZZ_CHECK(device.vendorId.has_value() == hex);
  if (hex) FUZZ_CHECK(*device.vendorId == std::strtoul(bare.c_str(), nullptr, 16));
  const bool decimal = fits && AllOf(bare, "0123456789", 3);
  FUZZ_CHECK(device.bus.has_value() == decimal);
  if (decimal) FUZZ_CHECK(*device.bus == std::strtoul(bare.c_str(), nullptr, 10));
  FUZZ_CHECK(device.product.has_value() == (fits && !bare.empty()));
  if (device.product) FUZZ_CHECK_EQUAL(*device.product, bare);
  return 0;
}
