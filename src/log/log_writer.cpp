#include "log/log_writer.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>

#include "apis/installed_apis.h"
#include "card/reader_info.h"
#include "log/log_cards.h"
#include "log/log_deadlines.h"
#include "log/log_devices.h"
#include "log/log_file.h"
#include "log/log_report.h"
#include "log/log_texts.h"
#include "log/registry_dump.h"
#include "platform/deadline.h"
#include "platform/log_files.h"
#include "platform/text.h"
#include "reader/reader_session.h"
#include "rfid/register_dump.h"
#include "status/file_info.h"
#include "status/resource_manager.h"

namespace {

constexpr char kLogFileName[] = "diagtool.log";
constexpr char kFallbackDirectory[] = "/tmp";

// Writes lines until one fails; the failure is kept for the message.
class CReportWriter {
 public:
  explicit CReportWriter(CLogFile& file) : m_file(file) {}
  CReportWriter& operator<<(const std::string& line) {
    if (m_ok) m_ok = WriteLogLine(m_file, line) == 0;
    return *this;
  }
  bool Ok() const { return m_ok; }

 private:
  CLogFile& m_file;
  bool m_ok = true;
};

// Each step is announced, and the user may have cancelled before it.
class CLogSteps {
 public:
  explicit CLogSteps(const LogSetting& setting) : m_setting(setting) {}
  // False when the log is to stop here.
  bool Begin(const std::string& text) {
    if (m_setting.isCancelled && m_setting.isCancelled()) return false;
    if (m_setting.onStep) m_setting.onStep(text);
    return true;
  }

 private:
  const LogSetting& m_setting;
};

// The log's pcsc-lite calls, each on an abandonable thread with its deadline.
// pcsc-lite holds one lock for the whole of SCardEstablishContext and queues
// the calls on a context, so after one call has missed its deadline every
// later one would only wait behind it: none is made.
class CPcscCalls {
 public:
  explicit CPcscCalls(std::vector<UnansweredStep>& unanswered) : m_unanswered(unanswered) {}

  template <class T>
  std::optional<T> Call(std::function<T()> work, std::chrono::milliseconds deadline, const char* step,
                        const std::string& reader, const char* threadName) {
    if (m_missed) {
      m_unanswered.push_back({step, reader, true});
      return std::nullopt;
    }
    auto answer = velkaro::RunWithDeadline<T>(std::move(work), deadline, threadName);
    if (!answer) {
      m_missed = true;
      m_unanswered.push_back({step, reader, false});
    }
    return answer;
  }
  bool Missed() const { return m_missed; }

 private:
  std::vector<UnansweredStep>& m_unanswered;
  bool m_missed = false;
};

enum class ReportEnd { kWritten, kWriteFailed, kCancelled };

// A text from a reader, a driver or a file, as the log's lines carry it: no
// value may end or split a line, nor drive the terminal of whoever reads it.
std::string Shown(const std::string& outside) { return velkaro::EscapeControls(outside); }

struct ReaderFacts {
  std::string firmware = logtext::kNotAvailable;
  std::string library = logtext::kNotAvailable;
  std::string serial = logtext::kNotAvailable;
};

// The program's own file, the configured files and the card APIs' libraries,
// inspected together: one reading of the dpkg database for the whole log.
struct LogFiles {
  explicit LogFiles(const LogSetting& setting) {
    names.push_back(velkaro::SystemInfo().ModulePath());
    names.insert(names.end(), setting.mandatoryFiles.begin(), setting.mandatoryFiles.end());
    names.insert(names.end(), setting.optionalFiles.begin(), setting.optionalFiles.end());
    firstApi = names.size();
    for (const InstalledApi& entry : g_installedApis) names.push_back(entry.library);
    infos = InspectFiles(names);
  }
  const CFileInfo& Program() const { return infos.front(); }

  std::vector<std::string> names;
  std::vector<CFileInfo> infos;  // as `names`
  std::size_t firstApi = 0;
};

void WriteFileRows(CReportWriter& out, const LogFiles& files) {
  // Unlike the General page, optional files that are not found are listed.
  for (std::size_t i = 1; i < files.firstApi; ++i) {
    out << FileRow(files.names[i], files.infos[i].m_strVersion, files.infos[i].m_strCompany);
  }
  out << "" << "";
  for (std::size_t i = 0; i < g_installedApis.size(); ++i) {
    const InstalledApi& entry = g_installedApis[i];
    const CFileInfo& api = files.infos[files.firstApi + i];
    if (api.m_strVersion.empty()) continue;  // not found or without a version
    out << velkaro::Format(logtext::kInstalledApi, entry.name, entry.library, Shown(api.m_strVersion).c_str());
  }
}

ReportEnd WriteReaders(CReportWriter& out, const LogSetting& setting, CLogSteps& steps, CPcscCalls& calls,
                       std::vector<std::string>& readers) {
  if (!steps.Begin(logtext::kStepReaders)) return ReportEnd::kCancelled;
  // As a General page that was never shown lists them: its model maps are
  // built only when it is first shown, so a reader counts here only as a
  // configured additional reader or by the brand word.
  if (auto listed = calls.Call<std::vector<std::string>>(
          [isAdditional = setting.isAdditionalReader] {
            std::vector<std::string> list;
            EnumerateReaders(list, CReaderModelMaps::Unbuilt(), isAdditional);
            return list;
          },
          logdeadline::kReaderList, logtext::kStepNameReaderList, {}, "log-readers")) {
    readers = std::move(*listed);
  }

  for (std::size_t i = 0; i < readers.size() && out.Ok(); ++i) {
    const std::string& name = readers[i];
    if (!steps.Begin(velkaro::Format(logtext::kStepReader, static_cast<int>(i), name.c_str()))) {
      return ReportEnd::kCancelled;
    }
    ReaderFacts facts;
    if (auto answer = calls.Call<ReaderFacts>(
            [name] {
              ReaderFacts asked;
              asked.firmware = GetReaderInfo(name, asked.library, asked.serial);
              return asked;
            },
            logdeadline::kReaderInfo, logtext::kStepNameReaderInfo, name, "log-reader")) {
      facts = std::move(*answer);
    }
    out << velkaro::Format(logtext::kPresentReader, static_cast<int>(i), Shown(name).c_str(),
                           Shown(facts.firmware).c_str(), Shown(facts.library).c_str(), Shown(facts.serial).c_str());
    // Its information was not asked for, and that is already said.
    if (calls.Missed()) continue;

    // Never initialised: no monitor thread. Shared with the read's thread,
    // which may outlive this loop.
    auto session = std::make_shared<CReaderSession>();
    session->ModelFlags().m_bContactless = 1;
    session->ModelFlags().column5 = 1;
    session->SetReaderName(name);
    const auto read = calls.Call<CRegisterRead>([session] { return session->ReadRegisters(); },
                                                logdeadline::kRegisterRead, logtext::kStepNameRegisters, name,
                                                "log-registers");
    // No registers, no antenna or a failed read: nothing for this reader.
    if (!read || read->failure) continue;
    if (const std::string dump = FormatDump(read->antennas); !dump.empty()) out << dump;
  }
  return out.Ok() ? ReportEnd::kWritten : ReportEnd::kWriteFailed;
}

// The service check asks systemd and probes pcscd's socket; it takes no
// pcsc-lite lock, so its miss does not stop the calls after it.
std::string ServiceStatusLine(std::vector<UnansweredStep>& unanswered) {
  const auto status =
      velkaro::RunWithDeadline<RmStatus>([] { return CheckResourceManager(); }, logdeadline::kServiceCheck,
                                         "log-service");
  if (!status) unanswered.push_back({logtext::kStepNameService, {}, false});
  return std::string(logtext::kRmStatus) + (status ? LogStatusText(*status) : kRmStateUnknownText);
}

ReportEnd WriteReport(CLogFile& file, const LogSetting& setting, const std::optional<velkaro::OsVersionRecord>& version,
                      CLogSteps& steps, std::vector<UnansweredStep>& unanswered, CPcscCalls& calls,
                      std::vector<std::string>& readers) {
  CReportWriter out(file);
  if (!steps.Begin(logtext::kStepService)) return ReportEnd::kCancelled;
  const std::string status = ServiceStatusLine(unanswered);
  const LogFiles files(setting);
  out << logtext::kGeneralInformation << "" << ComposeOsLine(version)
      << std::string(logtext::kToolVersion) + Shown(files.Program().m_strVersion) << status << "" << logtext::kFiles
      << "";
  WriteFileRows(out, files);
  out << "\r\n";
  if (!out.Ok()) return ReportEnd::kWriteFailed;
  if (const ReportEnd end = WriteReaders(out, setting, steps, calls, readers); end == ReportEnd::kCancelled) return end;
  out << "\r\n";
  return out.Ok() ? ReportEnd::kWritten : ReportEnd::kWriteFailed;
}

LogMessage Failure(int code, const std::string& detail) { return {DumpResultMessage(code, detail), {}, velkaro::MB_OK}; }

LogMessage NotCreated(const std::string& where) {
  return {std::string(logtext::kFileCannotBeCreated) + "\n" + where, {}, velkaro::MB_OK};
}

std::string Where(const std::string& path, const CLogFile& file) { return path + ": " + DescribeLogFileError(file); }

// The cards in the report's readers, asked under the same rule as its other
// pcsc-lite calls. False when the disk refused the lines (the message is in
// `outcome`).
bool WriteCards(CLogFile& file, const std::vector<std::string>& readers, CPcscCalls& calls, LogOutcome& outcome,
                const std::string& path) {
  std::optional<ReaderCards> cards = ReaderCards{};
  if (!readers.empty() || calls.Missed()) {
    cards = calls.Call<ReaderCards>([readers] { return ReadReaderCards(readers); }, logdeadline::kCardStates,
                                    logtext::kStepNameCards, {}, "log-cards");
  }
  CReportWriter out(file);
  for (const std::string& line : CardsSection(cards)) out << line;
  if (!out.Ok()) outcome.messages.push_back(Failure(DUMP_E_WRITE, Where(path, file)));
  return out.Ok();
}

LogOutcome& Cancelled(LogOutcome& outcome) {
  outcome = LogOutcome{};
  outcome.result = LogResult::kCancelled;
  return outcome;
}

}  // namespace

std::string UnansweredLine(const UnansweredStep& step) {
  // Printed on standard error by velkaro-diag-log.
  std::string line = step.reader.empty() ? velkaro::Format(logtext::kNoAnswer, step.step.c_str())
                                         : velkaro::Format(logtext::kNoAnswerForReader, step.step.c_str(),
                                                           Shown(step.reader).c_str());
  if (step.notAsked) line += logtext::kNotAsked;
  return line;
}

std::string ProposedLogPath() {
  std::string directory;
  for (const char* name : {"TEMP", "TMP"}) {
    const char* value = std::getenv(name);
    if (value && *value) {
      directory = value;
      break;
    }
  }
  if (directory.empty()) directory = kFallbackDirectory;
  if (!directory.ends_with('/')) directory += '/';
  return directory + kLogFileName;
}

LogOutcome WriteDiagnosticLog(const std::string& path, const LogSetting& setting) {
  LogOutcome outcome;
  CLogSteps steps(setting);
  if (!steps.Begin(logtext::kStepSystem)) return Cancelled(outcome);
  long error = 0;
  const auto version = velkaro::SystemInfo().QueryVersion(error);
  if (!version) outcome.messages.push_back({velkaro::Format(logtext::kGetVersionFailed, error), {}, velkaro::MB_OK});

  // Removed again on every way out but the last.
  velkaro::PendingLogFile pending;
  CLogFile file;
  if (const int created = pending.Create(path, file.handle, file.reason)) {
    file.systemError = created;
    outcome.messages.push_back(NotCreated(Where(path, file)));
    return outcome;
  }
  CLogFileGuard guard(file);
  CPcscCalls calls(outcome.unanswered);
  std::vector<std::string> readers;  // those of the report, for the sections after the dump
  switch (WriteReport(file, setting, version, steps, outcome.unanswered, calls, readers)) {
    case ReportEnd::kWritten: break;
    case ReportEnd::kCancelled: return Cancelled(outcome);
    case ReportEnd::kWriteFailed:
      // A disk that fills while the report is written must not end in a
      // message of success, nor leave a log that looks whole.
      outcome.messages.push_back(Failure(DUMP_E_WRITE, Where(path, file)));
      return outcome;
  }

  int dumped = DUMP_SUCCESS;
  std::string detail;
  if (!setting.administrator) {
    CReportWriter out(file);
    out << "\r\n\t" << logtext::kRegistryScanSkipped << logtext::kNoAdministrator;
    if (!out.Ok()) {
      outcome.messages.push_back(Failure(DUMP_E_WRITE, Where(path, file)));
      return outcome;
    }
  } else {
    if (!steps.Begin(logtext::kStepSettings)) return Cancelled(outcome);
    dumped = DumpRegistry(file, path, setting.configPath, &detail);
    // A dump cut short by the disk is no log; any other failure leaves a
    // whole report, which is kept with the dump's message.
    if (dumped == DUMP_E_WRITE) {
      outcome.messages.push_back(Failure(dumped, detail));
      return outcome;
    }
  }

  if (!WriteCards(file, readers, calls, outcome, path)) return outcome;
  if (WriteUsbSection(file, outcome.unanswered) != 0) {
    outcome.messages.push_back(Failure(DUMP_E_WRITE, Where(path, file)));
    return outcome;
  }
  if (!steps.Begin(logtext::kStepFinishing)) return Cancelled(outcome);
  if (const int handed = pending.HandOver(file.handle)) {
    file.systemError = handed;
    outcome.messages.push_back(NotCreated(Where(path, file)));
    return outcome;
  }
  if (CloseLogFile(file) != 0) {
    outcome.messages.push_back(Failure(DUMP_E_CLOSE, Where(path, file)));
    return outcome;
  }
  if (const int placed = pending.PutInPlace(file.reason)) {
    file.systemError = placed;
    outcome.messages.push_back(NotCreated(Where(path, file)));
    return outcome;
  }

  if (!setting.administrator) {
    outcome.result = LogResult::kWithoutRegistry;
    outcome.messages.push_back(
        {std::string(logtext::kRegistryScanSkipped) + "\r\n" + logtext::kNoAdministrator, {}, velkaro::MB_OK});
  } else if (dumped == DUMP_SUCCESS) {
    outcome.result = LogResult::kComplete;
    outcome.messages.push_back({logtext::kLogCreated, logtext::kCaptionDiagnosticTool, velkaro::MB_OK});
  } else {
    outcome.messages.push_back(Failure(dumped, detail));
  }
  return outcome;
}
