#include "platform/usb_sysfs.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <tuple>

#include "platform/system_files.h"
#include "platform/trusted_file.h"

namespace velkaro {

std::optional<std::string> SysfsText(std::string_view raw) {
  if (raw.ends_with('\n')) raw.remove_suffix(1);
  if (raw.empty()) return std::nullopt;
  return std::string(raw);
}

namespace {

template <class T>
std::optional<T> Digits(std::string_view raw, int base, std::size_t maxDigits) {
  if (raw.ends_with('\n')) raw.remove_suffix(1);
  if (raw.empty() || raw.size() > maxDigits) return std::nullopt;
  T value{};
  const auto [end, error] = std::from_chars(raw.data(), raw.data() + raw.size(), value, base);
  if (error != std::errc() || end != raw.data() + raw.size()) return std::nullopt;
  return value;
}

// The attribute's whole text, final line feed and all.
std::optional<std::string> ReadAttribute(const std::string& directory, const char* name) {
  return ReadSystemFile(directory + "/" + name, kMaxSysfsValueSize, "sysfs");
}

std::optional<std::string> TextOf(const std::optional<std::string>& raw) {
  return raw ? SysfsText(*raw) : std::nullopt;
}

}  // namespace

std::optional<std::uint16_t> SysfsHexId(std::string_view raw) { return Digits<std::uint16_t>(raw, 16, 4); }

std::optional<unsigned> SysfsNumber(std::string_view raw) { return Digits<unsigned>(raw, 10, 3); }

UsbBus ReadUsbDevices() {
  UsbBus bus;
  const std::string root = SystemRoot() + "/sys/bus/usb";
  struct stat st {};
  bus.visible = ::stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (!bus.visible) return bus;
  const std::string directory = root + "/devices";
  std::vector<std::string> names = DirectoryEntryNames(directory, kMaxUsbEntries);
  std::sort(names.begin(), names.end());
  // Interfaces ("1-2:1.0") belong to the device named before the colon.
  std::map<std::string, bool> smartCard;
  for (const std::string& name : names) {
    const std::size_t colon = name.find(':');
    if (colon == std::string::npos) continue;
    const auto interfaceClass = ReadAttribute(directory + "/" + name, "bInterfaceClass");
    const auto value = interfaceClass ? Digits<unsigned>(*interfaceClass, 16, 2) : std::nullopt;
    if (value == kSmartCardInterfaceClass) smartCard[name.substr(0, colon)] = true;
  }
  for (const std::string& name : names) {
    if (name.find(':') != std::string::npos) continue;
    const std::string path = directory + "/" + name;
    UsbSysfsDevice device;
    device.name = name;
    // Each value is parsed from the text as read: one final line feed is
    // the kernel's, a second one is not.
    const auto values = ReadSystemFilesIn(
        path, {"idVendor", "idProduct", "manufacturer", "product", "serial", "busnum", "devnum"}, kMaxSysfsValueSize,
        "sysfs");
    const auto& [idVendor, idProduct, manufacturer, product, serial, busnum, devnum] =
        std::tie(values[0], values[1], values[2], values[3], values[4], values[5], values[6]);
    device.idVendor = TextOf(idVendor);
    device.idProduct = TextOf(idProduct);
    device.manufacturer = TextOf(manufacturer);
    device.product = TextOf(product);
    device.serial = TextOf(serial);
    if (idVendor) device.vendorId = SysfsHexId(*idVendor);
    if (idProduct) device.productId = SysfsHexId(*idProduct);
    if (busnum) device.bus = SysfsNumber(*busnum);
    if (devnum) device.address = SysfsNumber(*devnum);
    device.smartCardInterface = smartCard.contains(name);
    bus.devices.push_back(std::move(device));
  }
  return bus;
}

}  // namespace velkaro
