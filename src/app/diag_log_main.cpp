// velkaro-diag-log [FILE]: the diagnostic log without a window, for machines
// reached over SSH. The same report and settings dump as the window's
// "Create Logfile", from the same code; no dialogs. The messages go to
// standard error, the path of a written log to standard output.

#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <string>
#include <string_view>

#include "app/diag_tool_app.h"
#include "card/atr_breakdown.h"
#include "log/log_texts.h"
#include "platform/systemd_service.h"

namespace {

enum ExitStatus : int {
  kExitComplete = 0,         // report and settings dump written
  kExitFailed = 1,           // no log, or an incomplete one
  kExitUsage = 2,            // wrong command line
  kExitWithoutRegistry = 3,  // report written; the dump needs root
  kExitUnanswered = 4,       // written, some steps did not answer (shown as n/a)
  kExitWithoutConfig = 5,    // written, but the configuration was refused: no file rows, no settings dump
};

constexpr char kUsage[] =
    "Usage: velkaro-diag-log [FILE]\n"
    "       velkaro-diag-log --atr \"3B 95 13 81 01 80 73 FF 01 00 0B\"\n"
    "Writes the diagnostic log to FILE (default: diagtool.log in $TEMP, $TMP or /tmp).\n"
    "Run it as root: without root the settings dump is left out.\n"
    "Exit status: 0 written, 1 failed, 2 wrong command line, 3 written without the settings dump,\n"
    "4 written, some steps did not answer in time (pcscd or a reader driver; shown as n/a),\n"
    "5 written, the configuration was not read (no file rows, no settings dump).\n"
    "--atr prints what each byte of the ATR means and exits (0; 2 for text that is not hex bytes);\n"
    "it reads no configuration, asks no pcscd and needs no root.\n";

std::string ForConsole(std::string text) {
  for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
  return text;
}

class InstalledServiceControl {
 public:
  InstalledServiceControl() { velkaro::InstallServiceControl(&m_control); }
  ~InstalledServiceControl() { velkaro::InstallServiceControl(nullptr); }
  InstalledServiceControl(const InstalledServiceControl&) = delete;
  InstalledServiceControl& operator=(const InstalledServiceControl&) = delete;

 private:
  velkaro::SystemdServiceControl m_control;
};

// A step that did not answer may still hold its thread inside pcsc-lite,
// using the program's objects: it leaves without their destructors (nor
// pcsc-lite's, which frees its contexts). The log is closed by then.
[[noreturn]] void Leave(int code) {
  std::fflush(nullptr);
  _exit(code);
}

// --atr: the decoder alone, for an ATR copied from anywhere; nothing else of
// the program is set up.
int PrintAtr(const char* text) {
  const AtrText parsed = ParseAtrText(text);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "velkaro-diag-log: the ATR was refused: %s\n", parsed.error.c_str());
    return kExitUsage;
  }
  const AtrDecoding decoding = DecodeAtr(parsed.bytes);
  for (const AtrEntry& entry : decoding.entries) std::printf("%s\n", AtrEntryLine(entry).c_str());
  for (const std::string& line : AtrSummaryLines(decoding.summary)) std::printf("%s\n", line.c_str());
  return std::fflush(stdout) == 0 ? kExitComplete : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == "--atr") return PrintAtr(argv[2]);
  // "--atr" without its ATR is a slip, not the name of a log file.
  if (argc > 2 || (argc == 2 && std::string_view(argv[1]) == "--atr")) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return kExitComplete;
  }
  const std::string path = argc == 2 ? argv[1] : ProposedLogPath();

  // systemd answers over the system bus, and Qt's bus wants an application
  // object; no display is needed.
  int qtArgc = 1;
  QCoreApplication qapp(qtArgc, argv);
  const InstalledServiceControl serviceControl;

  CDiagToolApp app;
  if (!app.LoadConfiguration()) return kExitFailed;  // its message is on standard error
  const LogOutcome outcome = app.WriteLog(path);

  for (const UnansweredStep& step : outcome.unanswered) std::fprintf(stderr, "%s\n", UnansweredLine(step).c_str());
  // Without its configuration the log lacks the file rows and the settings
  // dump: it is not called a success.
  const bool withoutConfig = !app.ConfigurationProblem().empty();
  for (const LogMessage& message : outcome.messages) {
    if (withoutConfig && message.text == logtext::kLogCreated) continue;
    std::fprintf(stderr, "%s\n", ForConsole(message.text).c_str());
  }
  int status = kExitFailed;
  switch (outcome.result) {
    case LogResult::kComplete: status = kExitComplete; break;
    case LogResult::kWithoutRegistry: status = kExitWithoutRegistry; break;
    case LogResult::kFailed:
    case LogResult::kCancelled: Leave(kExitFailed);
  }
  std::printf("%s\n", path.c_str());
  if (withoutConfig) Leave(kExitWithoutConfig);
  Leave(outcome.unanswered.empty() ? status : kExitUnanswered);
}
