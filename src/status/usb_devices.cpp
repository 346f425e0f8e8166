#include "status/usb_devices.h"

#include <PCSC/winscard.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>

#include "card/pcsc.h"
#include "log/log_deadlines.h"
#include "platform/deadline.h"
#include "status/reader_enumeration.h"

const char* UsbVerdictText(UsbVerdict verdict) {
  switch (verdict) {
    case UsbVerdict::kWorking: return "Working";
    case UsbVerdict::kNoDriver: return "No installed driver lists this device";
    case UsbVerdict::kPcscdNotRunning: return "pcscd is not running";
    case UsbVerdict::kPcscdNotAnswering: return "pcscd does not answer";
    case UsbVerdict::kNoReader: return "Driver installed, pcscd lists no reader for it";
  }
  return "";
}

std::uint32_t UsbChannelId(unsigned bus, unsigned address) {
  return 0x00200000u | ((bus & 0xFFu) << 8) | (address & 0xFFu);
}

namespace {

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

// " NN SS" at the end: pcscd's reader index and slot.
bool EndsWithIndexAndSlot(std::string_view name) {
  if (name.size() < 6) return false;
  const std::string_view tail = name.substr(name.size() - 6);
  return tail[0] == ' ' && IsHex(tail[1]) && IsHex(tail[2]) && tail[3] == ' ' && IsHex(tail[4]) && IsHex(tail[5]);
}

}  // namespace

bool ReaderNameFits(const std::string& reader, const std::string& friendlyName,
                    const std::optional<std::string>& serial) {
  std::string_view name = reader;
  if (!EndsWithIndexAndSlot(name) || !name.starts_with(friendlyName)) return false;
  name.remove_suffix(6);
  name.remove_prefix(friendlyName.size());
  // pcscd leaves the serial number out when the interface's name holds it.
  if (serial) {
    const std::string withSerial = " (" + *serial + ")";
    if (name.ends_with(withSerial)) name.remove_suffix(withSerial.size());
  }
  return name.empty() || (name.starts_with(" [") && name.ends_with("]"));
}

void AssignReaders(std::vector<UsbDeviceRow>& rows, const std::vector<velkaro::DriverBundle>& drivers,
                   const std::vector<std::string>& readers, const ChannelIdReader& channelOf) {
  std::vector<std::optional<std::uint32_t>> channels;
  channels.reserve(readers.size());
  for (const std::string& reader : readers) channels.push_back(channelOf(reader));
  std::vector<bool> taken(readers.size(), false);
  for (UsbDeviceRow& row : rows) {
    row.reader.clear();
    if (!row.driver || !row.device.bus || !row.device.address) continue;
    const std::uint32_t wanted = UsbChannelId(*row.device.bus, *row.device.address);
    for (std::size_t i = 0; i < readers.size(); ++i) {
      if (taken[i] || channels[i] != wanted) continue;
      row.reader = readers[i];
      taken[i] = true;
      break;
    }
  }
  for (UsbDeviceRow& row : rows) {
    if (!row.driver || !row.reader.empty()) continue;
    const std::string& friendlyName = drivers[row.driver->bundle].entries[row.driver->entry].friendlyName;
    for (std::size_t i = 0; i < readers.size(); ++i) {
      if (taken[i] || channels[i] || !ReaderNameFits(readers[i], friendlyName, row.device.serial)) continue;
      row.reader = readers[i];
      taken[i] = true;
      break;
    }
  }
}

void JudgeDevices(std::vector<UsbDeviceRow>& rows, velkaro::PcscdReply pcscd) {
  for (UsbDeviceRow& row : rows) {
    if (!row.driver) {
      row.verdict = UsbVerdict::kNoDriver;
    } else if (pcscd == velkaro::PcscdReply::kRefused) {
      row.verdict = UsbVerdict::kPcscdNotRunning;
    } else if (pcscd != velkaro::PcscdReply::kAnswered) {
      row.verdict = UsbVerdict::kPcscdNotAnswering;
    } else {
      row.verdict = row.reader.empty() ? UsbVerdict::kNoReader : UsbVerdict::kWorking;
    }
  }
}

UsbReport ReadUsbReport() {
  UsbReport report;
  velkaro::UsbBus bus = velkaro::ReadUsbDevices();
  report.busVisible = bus.visible;
  report.drivers = velkaro::ReadDriverBundles();
  report.serialReaders = velkaro::ReadSerialReaders();
  for (velkaro::UsbSysfsDevice& device : bus.devices) {
    UsbDeviceRow row;
    // pcscd compares what strtol makes of the texts, as for the plist.
    if (device.idVendor && device.idProduct) {
      row.driver = velkaro::ClaimingDriver(report.drivers, velkaro::PcscdHexId(*device.idVendor),
                                           velkaro::PcscdHexId(*device.idProduct));
    }
    if (!row.driver && !device.smartCardInterface) continue;
    row.device = std::move(device);
    report.devices.push_back(std::move(row));
  }
  return report;
}

namespace {

// A PC/SC context for one call's thread, released with it.
class CContext {
 public:
  CContext() : m_ok(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_context) == SCARD_S_SUCCESS) {}
  ~CContext() {
    if (m_ok) SCardReleaseContext(m_context);
  }
  CContext(const CContext&) = delete;
  CContext& operator=(const CContext&) = delete;
  bool Ok() const { return m_ok; }
  SCARDCONTEXT Get() const { return m_context; }

 private:
  SCARDCONTEXT m_context = 0;
  bool m_ok;
};

// Every reader pcscd lists, or nothing when it cannot be asked.
std::optional<std::vector<std::string>> ListAllReaders() {
  CContext context;
  if (!context.Ok()) return std::nullopt;
  DWORD length = 0;
  LONG result = SCardListReaders(context.Get(), nullptr, nullptr, &length);
  if (result == SCARD_E_NO_READERS_AVAILABLE) return std::vector<std::string>{};
  if (result != SCARD_S_SUCCESS) return std::nullopt;
  std::vector<char> buffer(length);
  result = SCardListReaders(context.Get(), nullptr, buffer.data(), &length);
  if (result == SCARD_E_NO_READERS_AVAILABLE) return std::vector<std::string>{};
  if (result != SCARD_S_SUCCESS) return std::nullopt;
  buffer.resize(length);
  return SplitMultiString(buffer);
}

ChannelIdReply ReadChannelId(const std::string& reader) {
  CContext context;
  if (!context.Ok()) return {ChannelIdReply::State::kNotAsked, std::nullopt};
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  if (SCardConnect(context.Get(), reader.c_str(), SCARD_SHARE_DIRECT, 0, &card, &protocol) != SCARD_S_SUCCESS) {
    return {ChannelIdReply::State::kNotAsked, std::nullopt};
  }
  std::array<BYTE, sizeof(std::uint32_t)> buffer{};
  DWORD length = buffer.size();
  const LONG result = SCardGetAttrib(card, SCARD_ATTR_CHANNEL_ID, buffer.data(), &length);
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  if (result != SCARD_S_SUCCESS || length != buffer.size()) return {};
  std::uint32_t channel = 0;
  std::memcpy(&channel, buffer.data(), buffer.size());
  return {ChannelIdReply::State::kAnswered, channel};
}

}  // namespace

std::map<std::string, std::optional<std::uint32_t>> CChannelIdCache::ChannelIds(
    const std::vector<std::string>& readers, const ChannelIdRead& read, const StillHolds& stillHolds) {
  std::map<std::string, std::optional<std::uint32_t>> ids;
  std::uint64_t generation = 0;
  {
    const std::lock_guard lock(m_lock);
    for (auto it = m_known.begin(); it != m_known.end();) {
      const bool listed = std::find(readers.begin(), readers.end(), it->first) != readers.end();
      if (listed && (!stillHolds || stillHolds(it->second))) {
        ids.insert(*it++);
      } else {
        it = m_known.erase(it);
        ++m_generation;
      }
    }
    generation = m_generation;
  }
  // Read without the lock: a hung read must not hold up another gathering.
  std::map<std::string, std::optional<std::uint32_t>> fresh;
  for (const std::string& reader : readers) {
    if (ids.contains(reader) || fresh.contains(reader)) continue;
    const ChannelIdReply reply = read(reader);
    // A driver that does not answer holds its reader's lock: the next
    // reader's call may well wait behind it, so none is made.
    if (reply.state == ChannelIdReply::State::kMissedDeadline) break;
    if (reply.state == ChannelIdReply::State::kNotAsked) {
      ids[reader] = std::nullopt;
      continue;
    }
    fresh[reader] = reply.id;
  }
  const std::lock_guard lock(m_lock);
  if (generation == m_generation) m_known.insert(fresh.begin(), fresh.end());
  ids.merge(fresh);
  return ids;
}

CChannelIdCache& ProcessChannelIds() {
  static CChannelIdCache cache;
  return cache;
}

PcscdReaders AskPcscd(const std::vector<std::uint32_t>& presentChannels) {
  PcscdReaders asked;
  // The socket probe takes no pcsc-lite lock: a pcscd that is gone or
  // stopped costs no call left waiting.
  asked.reply = velkaro::ProbePcscdSocket();
  auto channels = std::make_shared<std::map<std::string, std::optional<std::uint32_t>>>();
  asked.channelOf = [channels](const std::string& reader) -> std::optional<std::uint32_t> {
    const auto it = channels->find(reader);
    return it == channels->end() ? std::nullopt : it->second;
  };
  if (asked.reply != velkaro::PcscdReply::kAnswered) return asked;
  auto listed = velkaro::RunWithDeadline<std::optional<std::vector<std::string>>>(
      ListAllReaders, logdeadline::kReaderList, "usb-readers");
  if (!listed) {
    asked.reply = velkaro::PcscdReply::kNoAnswer;
    return asked;
  }
  if (!*listed) {
    asked.reply = velkaro::PcscdReply::kRefused;
    return asked;
  }
  asked.readers = std::move(**listed);
  const auto read = [](const std::string& reader) {
    const auto reply = velkaro::RunWithDeadline<ChannelIdReply>([reader] { return ReadChannelId(reader); },
                                                                logdeadline::kReaderInfo, "usb-channel");
    return reply ? *reply : ChannelIdReply{ChannelIdReply::State::kMissedDeadline, std::nullopt};
  };
  const auto stillHolds = [&presentChannels](const std::optional<std::uint32_t>& remembered) {
    const bool usb = remembered && (*remembered & 0xFFFF0000u) == UsbChannelId(0, 0);
    return !usb || std::find(presentChannels.begin(), presentChannels.end(), *remembered) != presentChannels.end();
  };
  *channels = ProcessChannelIds().ChannelIds(asked.readers, read, stillHolds);
  return asked;
}

UsbReport GatherUsbReport(bool askPcscd) {
  UsbReport report = ReadUsbReport();
  bool needsPcscd = false;
  for (const UsbDeviceRow& row : report.devices) needsPcscd = needsPcscd || row.driver.has_value();
  if (needsPcscd && !askPcscd) {
    report.pcscd = velkaro::PcscdReply::kNoAnswer;
  } else if (needsPcscd) {
    std::vector<std::uint32_t> present;
    for (const UsbDeviceRow& row : report.devices) {
      if (row.device.bus && row.device.address) present.push_back(UsbChannelId(*row.device.bus, *row.device.address));
    }
    const PcscdReaders pcscd = AskPcscd(present);
    report.pcscd = pcscd.reply;
    AssignReaders(report.devices, report.drivers, pcscd.readers, pcscd.channelOf);
  }
  JudgeDevices(report.devices, report.pcscd);
  return report;
}
