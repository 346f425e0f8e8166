#pragma once
// Firmware version, driver library version and serial number of one reader,
// asked of the reader driver over a direct connection (card or no card).

#include <functional>
#include <string>

// The three facts as far as the driver has answered.
struct CReaderInfo {
  std::string firmware;
  std::string library;
  std::string serialNumber;
};
// Called after each answer of the driver, with the facts known so far.
using ReaderInfoProgress = std::function<void(const CReaderInfo&)>;

// Returns the firmware version text; fills the library version and the serial
// number, or leaves them at "n/a". Failures go to the debug output only. A
// query that fails before the firmware answer returns "n/a"; an empty reader
// name returns an empty text. An answer too short for its field leaves that
// field "n/a" and the query goes on; only an error ends it. `progress` hears
// of each answer as it comes, for callers that show facts before the query
// has ended. `refused`, when given, is set when the driver refused a request
// on the connection it granted, and cleared otherwise.
std::string GetReaderInfo(const std::string& readerName, std::string& library, std::string& serialNumber,
                          const ReaderInfoProgress& progress = {}, bool* refused = nullptr);

// "%ld.%02ld" of a version times 100: 123 gives 1.23, 5 gives 0.05.
std::string FormatVersion(unsigned long valueTimes100);
