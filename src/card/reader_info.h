#pragma once
// Firmware version, driver library version and serial number of one reader,
// asked of the reader driver over a direct connection (card or no card).

#include <string>

// Returns the firmware version text; fills the library version and the serial
// number, or leaves them at "n/a". Failures go to the debug output only. A
// query that fails before the firmware answer returns "n/a"; an empty reader
// name returns an empty text.
std::string GetReaderInfo(const std::string& readerName, std::string& library, std::string& serialNumber);

// "%ld.%02ld" of a version times 100: 123 gives 1.23, 5 gives 0.05.
std::string FormatVersion(unsigned long valueTimes100);
