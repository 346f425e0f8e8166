#include "log/log_writer.h"

#include <cstdlib>

#include "apis/installed_apis.h"
#include "card/reader_info.h"
#include "log/log_file.h"
#include "log/log_report.h"
#include "log/log_texts.h"
#include "log/registry_dump.h"
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

void WriteFileRows(CReportWriter& out, const LogSetting& setting) {
  CFileInfo info;
  // Unlike the General page, optional files that are not found are listed.
  for (const auto* list : {&setting.mandatoryFiles, &setting.optionalFiles}) {
    for (const std::string& name : *list) {
      info.Inspect(name);
      out << FileRow(name, info.m_strVersion, info.m_strCompany);
    }
  }
}

void WriteReaders(CReportWriter& out, const LogSetting& setting) {
  // As a General page that was never shown lists them: its model maps are
  // built only when it is first shown, so a reader counts here only as a
  // configured additional reader or by the brand word.
  std::vector<std::string> readers;
  EnumerateReaders(readers, CReaderModelMaps::Unbuilt(), setting.isAdditionalReader);

  // One session for every reader, never initialised: no monitor thread.
  CReaderSession session;
  session.ModelFlags().m_bContactless = 1;
  session.ModelFlags().column5 = 1;
  for (std::size_t i = 0; i < readers.size() && out.Ok(); ++i) {
    std::string library;
    std::string serial;
    const std::string firmware = GetReaderInfo(readers[i], library, serial);
    out << velkaro::Format(logtext::kPresentReader, static_cast<int>(i), readers[i].c_str(), firmware.c_str(),
                           library.c_str(), serial.c_str());
    session.SetReaderName(readers[i]);
    const CRegisterRead read = session.ReadRegisters();
    if (read.failure) continue;  // no registers, no antenna or a failed read: nothing for this reader
    if (const std::string dump = FormatDump(read.antennas); !dump.empty()) out << dump;
  }
}

bool WriteReport(CLogFile& file, const LogSetting& setting, const std::optional<velkaro::OsVersionRecord>& version) {
  CReportWriter out(file);
  CFileInfo program;
  program.Inspect(velkaro::SystemInfo().ModulePath());
  out << logtext::kGeneralInformation << "" << ComposeOsLine(version)
      << std::string(logtext::kToolVersion) + program.m_strVersion
      << std::string(logtext::kRmStatus) + LogStatusText(CheckResourceManager()) << "" << logtext::kFiles << "";
  WriteFileRows(out, setting);
  out << "" << "";
  CFileInfo api;
  for (const InstalledApi& entry : g_installedApis) {
    if (api.Inspect(entry.library) != 0) continue;
    out << velkaro::Format(logtext::kInstalledApi, entry.name, entry.library, api.m_strVersion.c_str());
  }
  out << "\r\n";
  WriteReaders(out, setting);
  out << "\r\n";
  return out.Ok();
}

LogMessage Failure(int code, const std::string& detail) { return {DumpResultMessage(code, detail), {}, velkaro::MB_OK}; }

std::string Where(const std::string& path, const CLogFile& file) { return path + ": " + DescribeLogFileError(file); }

}  // namespace

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
  long error = 0;
  const auto version = velkaro::SystemInfo().QueryVersion(error);
  if (!version) outcome.messages.push_back({velkaro::Format(logtext::kGetVersionFailed, error), {}, velkaro::MB_OK});

  CLogFile file;
  if (OpenLogFile(path, velkaro::LogOpenMode::kCreateAlways, file) != 0) {
    outcome.messages.push_back({std::string(logtext::kFileCannotBeCreated) + "\n" + Where(path, file), {},
                                velkaro::MB_OK});
    return outcome;
  }
  {
    CLogFileGuard guard(file);
    // A disk that fills while the report is written must not end in a
    // message of success.
    if (!WriteReport(file, setting, version)) {
      outcome.messages.push_back(Failure(DUMP_E_WRITE, Where(path, file)));
      return outcome;
    }
    if (!setting.administrator) {
      CReportWriter out(file);
      out << "\r\n\t" << logtext::kRegistryScanSkipped << logtext::kNoAdministrator;
      if (!out.Ok()) {
        outcome.messages.push_back(Failure(DUMP_E_WRITE, Where(path, file)));
        return outcome;
      }
    }
    if (CloseLogFile(file) != 0) {
      outcome.messages.push_back(Failure(DUMP_E_CLOSE, Where(path, file)));
      return outcome;
    }
  }
  if (!setting.administrator) {
    outcome.result = LogResult::kWithoutRegistry;
    outcome.messages.push_back(
        {std::string(logtext::kRegistryScanSkipped) + "\r\n" + logtext::kNoAdministrator, {}, velkaro::MB_OK});
    return outcome;
  }

  std::string detail;
  const int result = DumpRegistry(path, setting.configPath, &detail);
  if (result == DUMP_SUCCESS) {
    outcome.result = LogResult::kComplete;
    outcome.messages.push_back({logtext::kLogCreated, logtext::kCaptionDiagnosticTool, velkaro::MB_OK});
  } else {
    outcome.messages.push_back(Failure(result, detail));
  }
  return outcome;
}
