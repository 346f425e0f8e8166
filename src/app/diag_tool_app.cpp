#include "app/diag_tool_app.h"

#include <atomic>
#include <memory>

#include "log/log_texts.h"
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
  *m_self = nullptr;
  // A log still running is left to end; its file is its own.
  if (m_bLogRunning) velkaro::ProgressDialog().Close();
  CDiagToolApp* self = this;
  g_theApp.compare_exchange_strong(self, nullptr);
}

CDiagToolApp* CDiagToolApp::Instance() { return g_theApp.load(); }

bool CDiagToolApp::LoadConfiguration() {
  // Written only here, before the pages and their threads exist; read-only afterwards.
  CardNameMap names;
  CardPatternMap patterns;
  if (!ReadConfigFile(m_lstMandatoryFiles, m_lstOptionalFiles, names, m_lstAdditionalReaders, patterns,
                      &m_strConfigProblem)) {
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

LogSetting CDiagToolApp::MakeLogSetting() {
  LogSetting setting;
  setting.mandatoryFiles = m_lstMandatoryFiles;
  setting.optionalFiles = m_lstOptionalFiles;
  StringList additional;
  {
    const std::lock_guard lock(m_csVarCards);
    additional = m_lstAdditionalReaders;
  }
  // The same test as IsAdditionalReader, on a copy the writer owns.
  setting.isAdditionalReader = [additional = std::move(additional)](const std::string& name) {
    if (name.empty()) return false;
    const std::string upper = velkaro::ToUpper(name);
    for (const std::string& reader : additional) {
      if (reader == upper) return true;
    }
    return false;
  };
  setting.configPath = GetConfigFilePath();
  setting.administrator = IsAdministrator();
  return setting;
}

LogOutcome CDiagToolApp::WriteLog(const std::string& path) { return WriteDiagnosticLog(path, MakeLogSetting()); }

namespace {

void ShowOutcome(const LogOutcome& outcome) {
  if (!outcome.unanswered.empty()) {
    std::string text = logtext::kUnansweredHeading;
    for (const UnansweredStep& step : outcome.unanswered) text += "\n" + UnansweredLine(step);
    velkaro::ShowMessageBox(text, {}, velkaro::MB_OK | velkaro::MB_ICONWARNING);
  }
  for (const LogMessage& message : outcome.messages) velkaro::ShowMessageBox(message.text, message.caption, message.style);
}

}  // namespace

void CDiagToolApp::CreateLogfile() {
  if (m_bLogRunning) {
    velkaro::ProgressDialog().Raise();
    return;
  }
  const velkaro::SaveFileRequest request{{}, ProposedLogPath(), kLogFileFilter, kLogFileExtension};
  const auto path = velkaro::SaveFileDialog().Ask(request);
  if (!path) return;

  // Cancel closes the window at once; the writer sees the flag before its
  // next step, removes its file and ends with nothing to show.
  const auto cancelled = std::make_shared<std::atomic<bool>>(false);
  LogSetting setting = MakeLogSetting();
  setting.isCancelled = [cancelled] { return cancelled->load(); };
  m_bLogRunning = true;
  velkaro::ProgressDialog().Open(logtext::kProgressTitle, logtext::kStepSystem, [cancelled, self = m_self] {
    cancelled->store(true);
    if (*self) (*self)->m_bLogRunning = false;
  });
  const bool started = velkaro::BackgroundRunner().Start(
      [path = *path, setting = std::move(setting), cancelled, self = m_self](const velkaro::UiPost& post) mutable {
        setting.onStep = [post, cancelled](const std::string& step) {
          post([step, cancelled] {
            if (!cancelled->load()) velkaro::ProgressDialog().SetStep(step);
          });
        };
        LogOutcome outcome = WriteDiagnosticLog(path, setting);
        post([outcome = std::move(outcome), cancelled, self] {
          // A cancelled log, or one whose application has gone, shows nothing.
          if (cancelled->load() || !*self) return;
          (*self)->m_bLogRunning = false;
          velkaro::ProgressDialog().Close();
          ShowOutcome(outcome);
        });
      });
  if (!started) {
    m_bLogRunning = false;
    velkaro::ProgressDialog().Close();
    velkaro::ShowMessageBox(logtext::kNoWorker, {}, velkaro::MB_OK | velkaro::MB_ICONSTOP);
  }
}
