#pragma once
// The USB devices the kernel shows in sysfs (/sys/bus/usb/devices under the
// system root), each with the attributes that say what it is and whether it
// has a smart card interface. Every attribute is read bounded and
// non-blocking; one that is missing, empty, unreadable or too long is absent.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_limits.h"

namespace velkaro {

// sysfs reports every attribute as a page in size: a longer one is no
// attribute of a device.
inline constexpr std::size_t kMaxSysfsValueSize = 4 * kKiB;
// Entries of the device directory looked at, devices and interfaces alike:
// far more than buses with 127 devices each have.
inline constexpr std::size_t kMaxUsbEntries = 4096;

inline constexpr std::uint8_t kSmartCardInterfaceClass = 0x0B;

// An attribute's text without its final line feed; nothing when that is
// empty.
std::optional<std::string> SysfsText(std::string_view raw);
// A 16-bit id as sysfs writes it (idVendor: 1 to 4 hex digits); nothing for
// anything else.
std::optional<std::uint16_t> SysfsHexId(std::string_view raw);
// A decimal number of up to 3 digits (busnum, devnum); nothing otherwise.
std::optional<unsigned> SysfsNumber(std::string_view raw);

struct UsbSysfsDevice {
  std::string name;  // the entry's name, "1-2"
  // The attributes' texts as read, for display (escaped there).
  std::optional<std::string> idVendor, idProduct, manufacturer, product, serial;
  std::optional<std::uint16_t> vendorId, productId;
  std::optional<unsigned> bus, address;  // busnum, devnum
  bool smartCardInterface = false;       // an interface of class 0x0B
};

struct UsbBus {
  bool visible = false;                 // /sys/bus/usb exists
  std::vector<UsbSysfsDevice> devices;  // by name
};

// The devices (not their interfaces) under the system root.
UsbBus ReadUsbDevices();

}  // namespace velkaro
