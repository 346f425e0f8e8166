#include "card/reader_info.h"

#include <cstring>

#include "card/pcsc.h"
#include "platform/services.h"
#include "platform/text.h"
#include "res/strings.h"

namespace {

constexpr std::size_t kSerialBufferSize = 256;
// Drivers without a programmed serial number answer this placeholder.
constexpr char kUnsetSerialNumber[] = "12345678";

struct QueryError {
  const char* text;
};

// The version text of a 4-byte answer; "n/a" for an answer of another
// length, which would leave part of the value unset.
std::string ReadVersion(SCARDHANDLE card, VendorFunction function) {
  DriverValue value = 0;
  DWORD returned = 0;
  if (SCardControl(card, VendorControlCode(function), nullptr, 0, &value, sizeof value, &returned) !=
      SCARD_S_SUCCESS) {
    throw QueryError{"Error: SCardControl()!"};
  }
  return returned == sizeof value ? FormatVersion(value) : std::string(res::kNotAvailable);
}

}  // namespace

std::string FormatVersion(unsigned long valueTimes100) {
  return velkaro::Format("%ld.%02ld", static_cast<long>(valueTimes100 / 100), static_cast<long>(valueTimes100 % 100));
}

std::string GetReaderInfo(const std::string& readerName, std::string& library, std::string& serialNumber,
                          const ReaderInfoProgress& progress, bool* refused) {
  if (refused) *refused = false;
  library = res::kNotAvailable;
  serialNumber = res::kNotAvailable;

  // Each query answers only what its own reader said: a query that stops
  // before the firmware answer shows "n/a", never an earlier reader's text.
  std::string firmware = res::kNotAvailable;

  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
    velkaro::OutputDebugString("Error: SCardEstablishContext()!");
    return firmware;
  }
  if (readerName.empty()) {
    SCardReleaseContext(context);
    return {};
  }

  bool connected = false;
  try {
    SCardCancel(context);
    SCARDHANDLE card = static_cast<SCARDHANDLE>(0xFFFFFFFF);
    DWORD protocol = 0;
    connected = SCardConnect(context, readerName.c_str(), SCARD_SHARE_DIRECT, 0, &card, &protocol) == SCARD_S_SUCCESS;
    if (!connected && card == 0) {
      throw QueryError{"Error: SCardConnect()!"};
    }

    const auto answered = [&] {
      if (progress) progress(CReaderInfo{firmware, library, serialNumber});
    };
    firmware = ReadVersion(card, kCtlFirmwareVersion);
    answered();
    library = ReadVersion(card, kCtlLibraryVersion);
    answered();

    char serial[kSerialBufferSize] = {};
    DWORD length = sizeof serial;
    if (SCardGetAttrib(card, SCARD_ATTR_VENDOR_IFD_SERIAL_NO, reinterpret_cast<BYTE*>(serial), &length) !=
        SCARD_S_SUCCESS) {
      throw QueryError{"Error: SCardGetAttrib()!"};
    }
    // The text ends at the first zero byte and never runs past the buffer.
    const std::string text(serial, strnlen(serial, std::min<std::size_t>(length, sizeof serial - 1)));
    serialNumber = text == kUnsetSerialNumber ? res::kNotAvailable : text;
    answered();
  } catch (const QueryError& error) {
    if (error.text && *error.text) velkaro::OutputDebugString(error.text);
    // A request on a connection that was never made says nothing of the
    // driver.
    if (refused) *refused = connected;
  }

  // Releasing the context ends the direct connection.
  SCardReleaseContext(context);
  return firmware;
}
