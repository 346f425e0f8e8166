#pragma once
// Why a plugged-in reader does or does not work: the USB devices that are
// smart card readers or that an installed driver lists, the driver pcscd
// takes for each, the reader pcscd lists for it, and a verdict in plain
// words. Gathered without any window, on a worker thread: the result is
// handed whole to whoever shows it.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
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

// One read of a reader's channel id. Only an answer is remembered: a reader
// that could not be asked (busy, gone meanwhile) is asked again next time.
struct ChannelIdReply {
  enum class State { kAnswered, kNotAsked, kMissedDeadline };
  State state = State::kAnswered;
  std::optional<std::uint32_t> id;  // answered: nothing for a reader without one
};
using ChannelIdRead = std::function<ChannelIdReply(const std::string& reader)>;

// Channel ids remembered per reader name, shared by gatherings on any
// thread: reading one is a driver call that may hang, so each reader is read
// once while pcscd keeps listing it.
class CChannelIdCache {
 public:
  // Whether a remembered channel id still holds (a USB one that names no
  // device present belongs to a device since replugged under the same name).
  using StillHolds = std::function<bool(const std::optional<std::uint32_t>& remembered)>;

  // The channel ids of `readers`, pcscd's whole list: remembered ones that
  // still hold as they are, the others read in order and remembered.
  // Readers not in the list are forgotten. After a read that missed its
  // deadline none is made, and the readers left have no entry.
  std::map<std::string, std::optional<std::uint32_t>> ChannelIds(const std::vector<std::string>& readers,
                                                                 const ChannelIdRead& read,
                                                                 const StillHolds& stillHolds = {});

 private:
  std::mutex m_lock;
  std::map<std::string, std::optional<std::uint32_t>> m_known;
  // Counts forgettings, so a gathering that read against an older list
  // remembers nothing of a reader another one saw leave meanwhile.
  std::uint64_t m_generation = 0;
};

// The process's cache, for every gathering.
CChannelIdCache& ProcessChannelIds();

// What pcscd says: whether it answers, its readers, and their channel ids
// (through the process's cache), each call under its deadline; after a
// missed one no further call is made. `presentChannels`: the channel ids of
// the USB devices present, by which remembered ones are checked.
struct PcscdReaders {
  velkaro::PcscdReply reply = velkaro::PcscdReply::kNotAsked;
  std::vector<std::string> readers;
  ChannelIdReader channelOf;  // answers what was read; asks nothing
};
PcscdReaders AskPcscd(const std::vector<std::uint32_t>& presentChannels = {});

// The whole gathering: ReadUsbReport, then pcscd only when a kept device has
// a driver (nothing else needs it), then the readers and verdicts. Without
// `askPcscd` (an earlier call of the caller's did not come back, and a new
// one would only wait behind it) pcscd counts as not answering.
UsbReport GatherUsbReport(bool askPcscd = true);
