#pragma once
// The diagnostic log: the report (system, smart card service, files, card
// APIs, readers with their RFID registers) and, for administrators, the
// settings dump after it. One implementation for the window's "Create
// Logfile" and for velkaro-diag-log; neither shows anything from here; the
// caller shows or prints the messages. Asks pcscd, the settings store and the
// file system, so it runs off the user-interface thread.

#include <functional>
#include <string>
#include <vector>

#include "platform/services.h"
#include "status/reader_enumeration.h"

struct LogSetting {
  std::vector<std::string> mandatoryFiles;
  std::vector<std::string> optionalFiles;
  AdditionalReaderTest isAdditionalReader;
  std::string configPath;
  bool administrator = false;
};

struct LogMessage {
  std::string text;
  std::string caption;  // empty: the application's name
  unsigned style = velkaro::MB_OK;
};

enum class LogResult {
  kComplete,          // report and dump written
  kWithoutRegistry,   // report written, the dump skipped for a non-administrator
  kFailed,            // no log, or a log that is incomplete
};

struct LogOutcome {
  LogResult result = LogResult::kFailed;
  std::vector<LogMessage> messages;  // in the order they are to be shown
};

// "diagtool.log" in $TEMP, else $TMP, else /tmp.
std::string ProposedLogPath();

// Writes the whole log to `path`, created anew.
LogOutcome WriteDiagnosticLog(const std::string& path, const LogSetting& setting);
