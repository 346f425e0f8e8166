#pragma once
// The diagnostic log: the report (system, smart card service, files, card
// APIs, readers with their RFID registers) and, for administrators, the
// settings dump after it. One implementation for the window's "Create
// Logfile" and for velkaro-diag-log; neither shows anything from here; the
// caller shows or prints the messages. Asks pcscd, the settings store and the
// file system, so it runs off the user-interface thread; every call that pcscd
// or a driver may never answer is waited for only up to a deadline, so the
// log always ends. It is written beside the chosen path and renamed onto it
// when complete: a failed or cancelled log leaves the old file or nothing.

#include <functional>
#include <string>
#include <vector>

#include "platform/services.h"
#include "status/reader_enumeration.h"

// Copied into the writer's thread, which may outlive its caller: the test and
// the callbacks must own what they use.
struct LogSetting {
  std::vector<std::string> mandatoryFiles;
  std::vector<std::string> optionalFiles;
  AdditionalReaderTest isAdditionalReader;
  std::string configPath;
  bool administrator = false;
  // Told, on the writer's thread, the text of each step as it begins.
  std::function<void(const std::string& step)> onStep;
  // Asked before each step; true ends the log with nothing at the path.
  std::function<bool()> isCancelled;
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
  kCancelled,         // stopped by the user: nothing written, nothing to show
};

// A call that did not answer in time, or was not made because an earlier
// one had not answered (pcsc-lite would have queued it behind that one).
struct UnansweredStep {
  std::string step;    // logtext::kStepName...
  std::string reader;  // empty for a step that is not a reader's
  bool notAsked = false;
};

struct LogOutcome {
  LogResult result = LogResult::kFailed;
  std::vector<LogMessage> messages;  // in the order they are to be shown
  std::vector<UnansweredStep> unanswered;  // written as "n/a" in the log
};

// "No answer: the reader information of \"VELKARO CT 200 01 00\"".
std::string UnansweredLine(const UnansweredStep& step);

// "diagtool.log" in $TEMP, else $TMP, else /tmp.
std::string ProposedLogPath();

// Writes the whole log and puts it at `path`.
LogOutcome WriteDiagnosticLog(const std::string& path, const LogSetting& setting);
