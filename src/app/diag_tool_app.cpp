#include "app/diag_tool_app.h"

#include <atomic>

#include "platform/package_note.h"
#include "platform/services.h"
#include "platform/text.h"
#include "res/strings.h"

namespace {
std::atomic<CDiagToolApp*> g_theApp{nullptr};
}  // namespace

CDiagToolApp::CDiagToolApp() { g_theApp.store(this); }

CDiagToolApp::~CDiagToolApp() {
  CDiagToolApp* self = this;
  g_theApp.compare_exchange_strong(self, nullptr);
}

CDiagToolApp* CDiagToolApp::Instance() { return g_theApp.load(); }

bool CDiagToolApp::LoadConfiguration() {
  // Written only here, before any other thread exists; read-only afterwards.
  if (!ReadConfigFile(m_lstMandatoryFiles, m_lstOptionalFiles, m_mapCardNames, m_lstAdditionalReaders,
                      m_mapVarCardTexts)) {
    velkaro::ShowMessageBox(res::kReadConfigFailed, {}, velkaro::MB_OK);
    return false;
  }
  return true;
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

void CDiagToolApp::LookupCardName(const std::string& atrText, std::string& name) {
  if (atrText.empty() || !name.empty()) return;
  const std::string key = velkaro::ToUpper(atrText);
  std::lock_guard lock(m_csCardNames);
  const auto entry = m_mapCardNames.find(key);
  name = entry == m_mapCardNames.end() ? std::string() : entry->second;
}

std::string CDiagToolApp::MatchCardPattern(const std::string& atrText) {
  const std::size_t length = atrText.size();
  if (length < 2 || (length - 2) % 3 != 0) return {};
  std::lock_guard lock(m_csVarCards);
  for (const CardPatternMap::Entry& entry : m_mapVarCardTexts.Entries()) {
    const std::string& pattern = entry.pattern;
    if (pattern.size() != length) continue;
    std::string capture;
    bool matches = true;
    for (std::size_t i = 0; i < length && matches; i += 3) {
      const std::string_view want(pattern.data() + i, 2);
      const std::string_view have(atrText.data() + i, 2);
      if (want == "??") continue;
      if (want == "!!") {
        if (!capture.empty()) capture += ' ';
        capture.append(have);
        capture += ' ';
        continue;
      }
      matches = want == have;
    }
    if (!matches) continue;
    std::string text = entry.text;
    if (const std::size_t marker = text.find("!!"); marker != std::string::npos) text.replace(marker, 2, capture);
    return text;
  }
  return {};
}

CardNameMap CDiagToolApp::CardNames() {
  std::lock_guard lock(m_csCardNames);
  return m_mapCardNames;
}

CardPatternMap CDiagToolApp::VarCardTexts() {
  std::lock_guard lock(m_csVarCards);
  return m_mapVarCardTexts;
}
