// The entry points pcscd calls: a pcsc-lite IFD handler (version 3) that
// presents the readers of the scenario files. reader.conf names one scenario
// file per reader with DEVICENAME velkaro-sim:FILE; several readers share the
// driver, each with its own reader index, and a reader may have several slots.

extern "C" {
#include <PCSC/ifdhandler.h>
}

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "driver/driver_log.h"
#include "driver/reader_channel.h"
#include "driver/vendor_answers.h"
#include "scenario/sim_constants.h"

namespace velkaro::sim {

namespace {

// pcsc-lite's limit on readers; more than 1 lets readers share the driver.
constexpr UCHAR kSimultaneousReaders = 16;

std::mutex g_channelsMutex;
std::map<DWORD, std::shared_ptr<ReaderChannel>> g_channels;

std::shared_ptr<ReaderChannel> Channel(DWORD lun) {
  std::lock_guard lock(g_channelsMutex);
  const auto channel = g_channels.find(lun);
  return channel == g_channels.end() ? nullptr : channel->second;
}

RESPONSECODE Put(const Bytes& data, PUCHAR buffer, DWORD capacity, PDWORD length) {
  if (data.size() > capacity) return IFD_ERROR_INSUFFICIENT_BUFFER;
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  *length = static_cast<DWORD>(data.size());
  return IFD_SUCCESS;
}

template <typename T>
RESPONSECODE PutValue(const T& value, PDWORD length, PUCHAR buffer) {
  if (*length < sizeof value) return IFD_ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(buffer, &value, sizeof value);
  *length = sizeof value;
  return IFD_SUCCESS;
}

RESPONSECODE ControlCode(Outcome outcome) {
  switch (outcome) {
    case Outcome::Ok: return IFD_SUCCESS;
    case Outcome::NotSupported: return IFD_ERROR_NOT_SUPPORTED;
    case Outcome::NoCard: return IFD_ICC_NOT_PRESENT;
    case Outcome::Failed: break;
  }
  return IFD_COMMUNICATION_ERROR;
}

// pcscd's event thread calls this between presence checks.
RESPONSECODE WaitForCardEvent(DWORD lun, int timeoutMs) {
  if (const auto channel = Channel(lun)) channel->WaitForChange(timeoutMs);
  return IFD_SUCCESS;
}

RESPONSECODE StopWaitingForCardEvent(DWORD lun) {
  if (const auto channel = Channel(lun)) channel->StopWaiting();
  return IFD_SUCCESS;
}

// A slow reader: pcscd holds the slot (and the client's call) meanwhile.
void Delay(unsigned milliseconds) {
  if (milliseconds) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace

}  // namespace velkaro::sim

using namespace velkaro::sim;

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  const auto path = ScenarioPathOf(DeviceName ? DeviceName : "");
  if (!path) {
    DriverLog(LogPriority::Critical, "DEVICENAME '%s' is not of the form velkaro-sim:FILE", DeviceName ? DeviceName : "");
    return IFD_NO_SUCH_DEVICE;
  }
  auto channel = std::make_shared<ReaderChannel>(static_cast<std::uint32_t>(Lun), *path, SettingsStorePath());
  std::lock_guard lock(g_channelsMutex);
  g_channels[Lun] = std::move(channel);
  return IFD_SUCCESS;
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  DriverLog(LogPriority::Critical, "reader %lX (channel %lu) has no DEVICENAME velkaro-sim:FILE in reader.conf",
            static_cast<unsigned long>(Lun), static_cast<unsigned long>(Channel));
  return IFD_NO_SUCH_DEVICE;
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  std::lock_guard lock(g_channelsMutex);
  g_channels.erase(Lun);
  return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  const auto channel = Channel(Lun);
  if (!channel) return IFD_COMMUNICATION_ERROR;
  switch (Tag) {
    case TAG_IFD_SIMULTANEOUS_ACCESS: return PutValue(kSimultaneousReaders, Length, Value);
    case TAG_IFD_THREAD_SAFE:
    case TAG_IFD_SLOT_THREAD_SAFE: return PutValue(static_cast<UCHAR>(1), Length, Value);
    case TAG_IFD_SLOTS_NUMBER: return PutValue(static_cast<UCHAR>(channel->SlotCount()), Length, Value);
    case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT: {
      RESPONSECODE (*wait)(DWORD, int) = &WaitForCardEvent;
      return PutValue(wait, Length, Value);
    }
    case TAG_IFD_STOP_POLLING_THREAD: {
      RESPONSECODE (*stop)(DWORD) = &StopWaitingForCardEvent;
      return PutValue(stop, Length, Value);
    }
    case TAG_IFD_ATR: {
      const auto card = channel->AnsweringCard();
      if (!card) return IFD_ICC_NOT_PRESENT;
      return Put(card->atr, Value, *Length, Length);
    }
    default: break;
  }
  const Scenario scenario = channel->CurrentScenario();
  if (Tag == kAttrVendorIfdSerialNo) Delay(scenario.DelayOf("serial"));
  if (Tag == kAttrChannelId) Delay(scenario.DelayOf("channel"));
  const VendorAnswer answer = AnswerAttribute(scenario, channel->AnsweringCard(), static_cast<std::uint32_t>(Tag));
  if (answer.outcome == Outcome::NotSupported) return IFD_ERROR_TAG;
  if (answer.outcome != Outcome::Ok) return ControlCode(answer.outcome);
  return Put(answer.data, Value, *Length, Length);
}

RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR) { return IFD_NOT_SUPPORTED; }

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR, UCHAR, UCHAR) {
  const auto channel = Channel(Lun);
  if (!channel) return IFD_COMMUNICATION_ERROR;
  return channel->AcceptsProtocol(Protocol) ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED;
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  const auto channel = Channel(Lun);
  if (!channel) return IFD_COMMUNICATION_ERROR;
  if (Action == IFD_POWER_DOWN) return IFD_SUCCESS;
  if (Action != IFD_POWER_UP && Action != IFD_RESET) return IFD_NOT_SUPPORTED;
  const auto atr = channel->PowerUp();
  if (!atr) {
    *AtrLength = 0;
    return IFD_ERROR_POWER_ACTION;  // absent, or a mute card that does not answer the reset
  }
  const std::size_t length = std::min<std::size_t>(atr->size(), MAX_ATR_SIZE);
  std::memcpy(Atr, atr->data(), length);
  *AtrLength = static_cast<DWORD>(length);
  return IFD_SUCCESS;
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                               PDWORD RxLength, PSCARD_IO_HEADER) {
  const auto channel = Channel(Lun);
  if (!channel) return IFD_COMMUNICATION_ERROR;
  const auto card = channel->AnsweringCard();
  if (!card) {
    *RxLength = 0;
    return IFD_ICC_NOT_PRESENT;
  }
  const Bytes response = AnswerApdu(*card, {TxBuffer, TxLength});
  const DWORD capacity = *RxLength;
  return Put(response, RxBuffer, capacity, RxLength);
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
  *pdwBytesReturned = 0;
  const auto channel = Channel(Lun);
  if (!channel) return IFD_COMMUNICATION_ERROR;
  if (dwControlCode < kControlCodeBase) return IFD_ERROR_NOT_SUPPORTED;
  const Scenario scenario = channel->CurrentScenario();
  const auto function = static_cast<std::uint32_t>(dwControlCode - kControlCodeBase);
  Delay(scenario.DelayOf(std::to_string(function)));
  const VendorAnswer answer =
      AnswerControl(scenario, channel->AnsweringCard(), function, {TxBuffer, TxBuffer ? TxLength : 0});
  if (answer.outcome != Outcome::Ok) return ControlCode(answer.outcome);
  return Put(answer.data, RxBuffer, RxLength, pdwBytesReturned);
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
  const auto channel = Channel(Lun);
  if (!channel) return IFD_COMMUNICATION_ERROR;
  switch (channel->CheckPresence()) {
    case Presence::Present: return IFD_ICC_PRESENT;
    case Presence::Absent: return IFD_ICC_NOT_PRESENT;
    case Presence::Unplugged: break;
  }
  // pcscd then reports the reader as unavailable until a check succeeds again.
  return IFD_COMMUNICATION_ERROR;
}

}  // extern "C"
