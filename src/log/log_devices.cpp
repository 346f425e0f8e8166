#include "log/log_devices.h"

#include "log/log_texts.h"
#include "platform/text.h"

namespace {

constexpr char kDevicesHeading[] = "USB Devices:";
constexpr char kNoBus[] = "No USB bus visible";
constexpr char kDriversHeading[] = "Drivers:";
constexpr char kNone[] = "none";

std::string Shown(const std::optional<std::string>& outside) {
  return outside ? velkaro::EscapeControls(*outside) : std::string(logtext::kNotAvailable);
}

std::string HexId(const std::optional<std::uint16_t>& id) {
  return id ? velkaro::Format("%04X", static_cast<unsigned>(*id)) : std::string(logtext::kNotAvailable);
}

std::string DriverText(const velkaro::DriverBundle& bundle) {
  std::string text = velkaro::EscapeControls(bundle.name);
  if (!bundle.version.empty()) text += " " + velkaro::EscapeControls(bundle.version);
  return text;
}

std::string DeviceLine(const UsbReport& report, const UsbDeviceRow& row) {
  const velkaro::UsbSysfsDevice& device = row.device;
  std::string name;
  if (device.manufacturer) name = Shown(device.manufacturer);
  if (device.product) name += (name.empty() ? "" : " ") + Shown(device.product);
  if (name.empty()) name = logtext::kNotAvailable;
  return velkaro::EscapeControls(device.name) + ": " + HexId(device.vendorId) + ":" + HexId(device.productId) + " " +
         name + ", Serial = " + Shown(device.serial) +
         ", Driver = " + (row.driver ? DriverText(report.drivers[row.driver->bundle]) : std::string(kNone)) +
         ", Reader = " + (row.reader.empty() ? std::string(kNone) : velkaro::EscapeControls(row.reader)) +
         ", Status = " + UsbVerdictText(row.verdict);
}

}  // namespace

std::vector<std::string> UsbSectionLines(const UsbReport& report) {
  // A section of its own after whatever came before.
  std::vector<std::string> lines = {"", kDevicesHeading, ""};
  if (!report.busVisible) lines.push_back(kNoBus);
  for (const UsbDeviceRow& row : report.devices) lines.push_back(DeviceLine(report, row));
  lines.insert(lines.end(), {"", kDriversHeading, ""});
  for (const velkaro::DriverBundle& bundle : report.drivers) {
    std::string line = DriverText(bundle);
    if (bundle.state == velkaro::BundleState::kRead) {
      line += velkaro::Format(", %zu devices", bundle.entries.size());
    } else {
      line += ", " + velkaro::BundleProblem(bundle);
    }
    lines.push_back(std::move(line));
  }
  for (const velkaro::SerialReader& reader : report.serialReaders) {
    lines.push_back(velkaro::EscapeControls(reader.friendlyName) + ", Device = " +
                    velkaro::EscapeControls(reader.deviceName.empty() ? std::string(kNone) : reader.deviceName) +
                    ", Library = " + velkaro::EscapeControls(reader.libraryPath));
  }
  return lines;
}

std::uint32_t WriteUsbSection(CLogFile& file, const std::vector<UnansweredStep>& unanswered) {
  // The service check takes no pcsc-lite lock: its miss holds up nothing.
  bool pcscdMissed = false;
  for (const UnansweredStep& step : unanswered) pcscdMissed = pcscdMissed || step.step != logtext::kStepNameService;
  for (const std::string& line : UsbSectionLines(GatherUsbReport(!pcscdMissed))) {
    if (const std::uint32_t error = WriteLogLine(file, line)) return error;
  }
  return 0;
}
