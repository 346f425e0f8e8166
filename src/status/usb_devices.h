#pragma once
// Why a plugged-in reader does or does not work: the USB devices that are
// smart card readers or that an installed driver lists, the driver pcscd
// takes for each, the reader pcscd lists for it, and a verdict in plain
// words. Gathered without any window, on a worker thread: the result is
// handed whole to whoever shows it.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/driver_bundles.h"
#include "platform/service_state.h"
#include "platform/usb_sysfs.h"

enum class UsbVerdict {
  kWorking,
  kNoDriver,
  kPcscdNotRunning,
  kPcscdNotAnswering,
  kNoReader,
};
const char* UsbVerdictText(UsbVerdict verdict);

// SCARD_ATTR_CHANNEL_ID of a USB reader: 0x0020BBDD for bus BB, address DD.
std::uint32_t UsbChannelId(unsigned bus, unsigned address);

// Whether pcscd's name for a USB reader is the one it gives a device whose
// driver calls it `friendlyName`: "<friendlyName>[ [interface]][ (serial)] NN SS".
bool ReaderNameFits(const std::string& reader, const std::string& friendlyName,
                    const std::optional<std::string>& serial);

struct UsbDeviceRow {
  velkaro::UsbSysfsDevice device;
  std::optional<velkaro::DriverClaim> driver;  // into UsbReport::drivers
  std::string reader;                          // pcscd's name for it, or empty
  UsbVerdict verdict = UsbVerdict::kNoDriver;
};

struct UsbReport {
  bool busVisible = false;
  std::vector<UsbDeviceRow> devices;
  std::vector<velkaro::DriverBundle> drivers;
  std::vector<velkaro::SerialReader> serialReaders;
  velkaro::PcscdReply pcscd = velkaro::PcscdReply::kNotAsked;
};

// A reader's SCARD_ATTR_CHANNEL_ID, or nothing when it has none or did not
// answer.
using ChannelIdReader = std::function<std::optional<std::uint32_t>(const std::string& reader)>;

// Sets each row's reader: the one whose channel id names the device's bus
// and address, else for a reader without a channel id the first that fits
// the name rule. Each reader goes to one device; `channelOf` is asked once
// per reader at most.
void AssignReaders(std::vector<UsbDeviceRow>& rows, const std::vector<velkaro::DriverBundle>& drivers,
                   const std::vector<std::string>& readers, const ChannelIdReader& channelOf);

// Each row's verdict from its driver, pcscd's state and its reader.
void JudgeDevices(std::vector<UsbDeviceRow>& rows, velkaro::PcscdReply pcscd);

// The devices, drivers and serial readers under the system root; the rows
// kept are those with a smart card interface or a driver.
UsbReport ReadUsbReport();

// What pcscd says: whether it answers, its readers, and their channel ids,
// each call under its deadline; after a missed one no further call is made.
struct PcscdReaders {
  velkaro::PcscdReply reply = velkaro::PcscdReply::kNotAsked;
  std::vector<std::string> readers;
  ChannelIdReader channelOf;  // answers what was read; asks nothing
};
PcscdReaders AskPcscd();

// The whole gathering: ReadUsbReport, then pcscd only when a kept device has
// a driver (nothing else needs it), then the readers and verdicts. Without
// `askPcscd` (an earlier call of the caller's did not come back, and a new
// one would only wait behind it) pcscd counts as not answering.
UsbReport GatherUsbReport(bool askPcscd = true);
