#pragma once
// The log's section on USB devices and reader drivers: every plugged-in
// smart card device with the driver pcscd takes for it and the reader pcscd
// lists, then the installed drivers and the configured serial readers.

#include <string>
#include <vector>

#include "log/log_file.h"
#include "status/usb_devices.h"

// The section's lines, without their line ends.
std::vector<std::string> UsbSectionLines(const UsbReport& report);

// Gathers and writes the section; 0 or the write's error code.
std::uint32_t WriteUsbSection(CLogFile& file);
