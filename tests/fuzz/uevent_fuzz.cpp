// libFuzzer target for one kernel uevent message as the Devices window reads
// it from the netlink socket. Oracles, besides "does not crash" and no read
// past the input (it is copied to a buffer of its own size):
// - a message taken as a USB device change ends in a NUL, fits the bound,
//   is not udev's, and among its NUL-separated fields has "ACTION=" with
//   add/remove/bind/unbind, "SUBSYSTEM=usb" and "DEVTYPE=usb_device";
// - its first field is "ACTION@DEVPATH" with the same action.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "platform/uevent_monitor.h"

namespace {

std::vector<std::string_view> Fields(std::string_view text) {
  std::vector<std::string_view> fields;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\0'), text.size());
    fields.push_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return fields;
}

bool Has(const std::vector<std::string_view>& fields, std::string_view field) {
  return std::find(fields.begin(), fields.end(), field) != fields.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto copy = std::make_unique<char[]>(size ? size : 1);
  std::copy(data, data + size, copy.get());
  const std::string_view message(copy.get(), size);
  if (!velkaro::IsUsbDeviceChange(message)) return 0;

  FUZZ_CHECK(size <= velkaro::kMaxUeventSize && message.back() == '\0');
  FUZZ_CHECK(!message.starts_with(std::string_view("libudev\0", 8)));
  const std::vector<std::string_view> fields = Fields(message);
  FUZZ_CHECK(Has(fields, "SUBSYSTEM=usb") && Has(fields, "DEVTYPE=usb_device"));
  std::string_view action;
  for (const char* name : {"add", "remove", "bind", "unbind"}) {
    if (Has(fields, std::string("ACTION=") + name)) action = name;
  }
  FUZZ_CHECK(!action.empty());
  FUZZ_CHECK(fields[0].starts_with(std::string(action) + "@") && fields[0].size() > action.size() + 1);
  return 0;
}
