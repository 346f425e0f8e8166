#include "app/diag_tool_app.h"

#include <atomic>

#include "platform/background.h"
#include "platform/package_note.h"
#include "platform/services.h"
#include "platform/text.h"
#include "res/strings.h"

namespace {
std::atomic<CDiagToolApp*> g_theApp{nullptr};

// Linux has no "*.*": every file matches "*".
constexpr char kLogFileFilter[] = "LogFiles (*.log);;RegFiles (*.reg);;All Files (*)";
constexpr char kLogFileExtension[] = "log";
}  // namespace

CDiagToolApp::CDiagToolApp() { g_theApp.store(this); }

CDiagToolApp::~CDiagToolApp() {
  CDiagToolApp* self = this;
  g_theApp.compare_exchange_strong(self, nullptr);
}

CDiagToolApp* CDiagToolApp::Instance() { return g_theApp.load(); }

bool CDiagToolApp::LoadConfiguration() {
  // Written only here, before the pages and their threads exist; read-only afterwards.
  CardNameMap names;
  CardPatternMap patterns;
  if (!ReadConfigFile(m_lstMandatoryFiles, m_lstOptionalFiles, names, m_lstAdditionalReaders, patterns)) {
    velkaro::ShowMessageBox(res::kReadConfigFailed, {}, velkaro::MB_OK);
    return false;
  }
  m_cardNames = std::make_shared<const CCardNames>(std::move(names), std::move(patterns), m_cardNames->AtrList());
  return true;
}

void CDiagToolApp::SetAtrList(std::shared_ptr<const CAtrList> list) {
  m_cardNames = std::make_shared<const CCardNames>(m_cardNames->Names(), m_cardNames->Patterns(), std::move(list));
}

std::string CDiagToolApp::BuildWindowTitle() {
  return std::string(res::kAppTitle) + velkaro::Format(res::kVersionFormat, GetProductVersion().c_str());
}

bool CDiagToolApp::IsAdditionalReader(const std::string& name) {
  if (name.empty()) return false;
  const std::string upper = velkaro::ToUpper(name);
  std::lock_guard lock(m_csVarCards);
  for (const std::string& reader : m_lstAdditionalReaders) {
    if (reader == upper) return true;
  }
  return false;
}

std::string CDiagToolApp::GetProductVersion() {
  if (m_strProductVersion.empty()) {
    if (const auto note = velkaro::ReadPackageNote(velkaro::SystemInfo().ModulePath())) {
      m_strProductVersion = note->version;
    }
  }
  return m_strProductVersion;
}

void CDiagToolApp::LookupCardName(const std::string& atrText, std::string& name) const {
  m_cardNames->LookupCardName(atrText, name);
}

std::string CDiagToolApp::MatchCardPattern(const std::string& atrText) const {
  return m_cardNames->MatchCardPattern(atrText);
}

bool CDiagToolApp::IsAdministrator() { return velkaro::IsUserAnAdmin(); }

LogOutcome CDiagToolApp::WriteLog(const std::string& path) {
  LogSetting setting;
  setting.mandatoryFiles = m_lstMandatoryFiles;
  setting.optionalFiles = m_lstOptionalFiles;
  setting.isAdditionalReader = [this](const std::string& name) { return IsAdditionalReader(name); };
  setting.configPath = GetConfigFilePath();
  setting.administrator = IsAdministrator();
  return WriteDiagnosticLog(path, setting);
}

void CDiagToolApp::CreateLogfile() {
  const velkaro::SaveFileRequest request{{}, ProposedLogPath(), kLogFileFilter, kLogFileExtension};
  const auto path = velkaro::SaveFileDialog().Ask(request);
  if (!path) return;
  LogOutcome outcome;
  velkaro::BackgroundRunner().Run([&] { outcome = WriteLog(*path); });
  for (const LogMessage& message : outcome.messages) velkaro::ShowMessageBox(message.text, message.caption, message.style);
}
