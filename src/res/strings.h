#pragma once
// The tool's user-visible texts that several files share. Numbers in comments
// are the texts' numbers in the string table the support documents refer to.
// These texts are the tool's own and are never translated.

namespace res {

inline constexpr const char kAppTitle[] = "VELKARO Diagnostic Tool";
inline constexpr const char kVersionFormat[] = " (Ver. %s)";
inline constexpr const char kNotAvailable[] = "n/a";  // 110

// Configuration file.
inline constexpr const char kConfigFileName[] = "diagtool.ini";
inline constexpr const char kReadConfigFailed[] = "Read config file failed";
inline constexpr const char kGetVersionFailed[] = "Call to GetVersionEx failed with error code %ld";
inline constexpr const char kUnknownOs[] = "Unknown operating system code %ld detected";
inline constexpr const char kUnknownNtOs[] = "Unknown NT operating system code %ld detected";
inline constexpr const char kWildcardMissing[] = "Please use option %s with at least one wildcard symbol \"%s\"";
inline constexpr const char kConfigNotRead[] = "The configuration file %s was not read: %s.";

// Main window menu.
inline constexpr const char kMenuAbout[] = "&About ...";
inline constexpr const char kMenuCreateLogfile[] = "&Create Logfile";
inline constexpr const char kMenuView[] = "&View";
inline constexpr const char kMenuRfidSettings[] = "RFID settings";
inline constexpr const char kMenuProxSettings[] = "Prox settings";
inline constexpr const char kMenuRfidRegisters[] = "RFID registers";
inline constexpr const char kOnlyInContactlessTabs[] = "The function is only available in contactless reader tabs";
// Status bar of a window started without administrator rights.
inline constexpr const char kNotAdministratorNote[] =
    "\"Create Logfile\" and the driver settings need administrator rights; without them, "
    "velkaro-diag-log writes a log without the settings dump. Start elevated with: pkexec velkaro-diag";
inline constexpr const char kCaptionNotice[] = "Notice";
inline constexpr const char kCaptionCritical[] = "Critical";

// General page.
inline constexpr const char kGeneralPageCaption[] = "General";
inline constexpr const char kCreateLogfile[] = "Create Logfile";

}  // namespace res
