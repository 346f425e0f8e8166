#pragma once
// The pieces of the log file report that are pure text: the OS line, the
// log's own status texts, the file rows and the final message.

#include <optional>
#include <string>

#include "platform/os_version.h"
#include "status/resource_manager.h"

// The texts these take from outside (the record's names, file names,
// versions and vendors) are written with their control bytes escaped.

// "OS Version: ..." with the service-pack text (on Linux the kernel
// release) and "  BuildNumber: ..."; "OS Version: n/a" without a record.
std::string ComposeOsLine(const std::optional<velkaro::OsVersionRecord>& record);

// The log's text for a status code. Unlike the General page, a stopped
// service reads "State of Resource Manager unknown !".
const char* LogStatusText(RmStatus status);

// Name, version and vendor, each of the first two followed by two tabs when
// it is shorter than 8 characters and by one otherwise.
std::string FileRow(const std::string& name, const std::string& version, const std::string& company);

// The message for a registry dump result (and for the report's own write
// and close failures, which share its codes): "LogFile created
// successfully" for 0, otherwise the result's text, "\nErrorcode: " and the
// code, then `detail` on a line of its own when there is one.
std::string DumpResultMessage(int result, const std::string& detail);
