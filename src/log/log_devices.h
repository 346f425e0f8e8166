#pragma once
// The log's section on USB devices and reader drivers: every plugged-in
// smart card device with the driver pcscd takes for it and the reader pcscd
// lists, then the installed drivers and the configured serial readers.

#include <string>
#include <vector>

#include "log/log_file.h"
#include "log/log_writer.h"
#include "status/usb_devices.h"

// The section's lines, without their line ends.
std::vector<std::string> UsbSectionLines(const UsbReport& report);

// Gathers and writes the section; 0 or the write's error code. After a
// pcsc-lite call of the log's that did not answer (in `unanswered`), pcscd
// is not asked again: the new call would only wait behind the old one.
std::uint32_t WriteUsbSection(CLogFile& file, const std::vector<UnansweredStep>& unanswered);
