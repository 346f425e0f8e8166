#pragma once
// The one application object: the configuration read at start-up, with the
// lookups that pages and the log make on it.

#include <memory>
#include <mutex>
#include <string>

#include "app/config_file.h"
#include "log/log_writer.h"

class CDiagToolApp {
 public:
  CDiagToolApp();
  ~CDiagToolApp();
  CDiagToolApp(const CDiagToolApp&) = delete;
  CDiagToolApp& operator=(const CDiagToolApp&) = delete;

  // The application object of this process (the latest one constructed).
  static CDiagToolApp* Instance();

  // Start-up step 1: reads the configuration file into the members; on failure
  // shows "Read config file failed" and answers false.
  bool LoadConfiguration();

  // "VELKARO Diagnostic Tool (Ver. x.y.z.w)".
  std::string BuildWindowTitle();

  const StringList& GetMandatoryFiles() const { return m_lstMandatoryFiles; }
  // Why the configuration file that is there was not read (its message was
  // shown); empty when it was read or is missing.
  const std::string& ConfigurationProblem() const { return m_strConfigProblem; }
  const StringList& GetOptionalFiles() const { return m_lstOptionalFiles; }

  // Whether a reader name (without its index) is one of the configured
  // additional readers; compared in upper case.
  bool IsAdditionalReader(const std::string& name);

  // The product version of our own package note, read once; empty when the
  // running program carries none.
  std::string GetProductVersion();

  // "Create Logfile": asks for the file (proposed: diagtool.log in $TEMP,
  // $TMP or /tmp), starts the log off the user-interface thread with a
  // progress window and returns; the messages of how it ended are shown when
  // the log has ended (at once with the inline runner of tests and commands).
  // While a log runs, it brings the progress window forward instead.
  void CreateLogfile();
  // The log for `path` without any dialog: what "Create Logfile" writes
  // after its file dialog, and what velkaro-diag-log writes.
  LogOutcome WriteLog(const std::string& path);
  // What the log is given: copies of the lists, owned by the writer.
  LogSetting MakeLogSetting();
  bool IsLogRunning() const { return m_bLogRunning; }
  // Whether the settings dump may run: the effective user is root.
  static bool IsAdministrator();

  // The card name for an ATR text from the exact table. Does nothing when the
  // text is empty or `name` already holds a name.
  void LookupCardName(const std::string& atrText, std::string& name) const;
  // The text of the first wildcard pattern (in configuration order) matching
  // the ATR text, with "!!" replaced by the captured bytes; empty if none.
  std::string MatchCardPattern(const std::string& atrText) const;

  // The shared ATR list that names cards the card tables leave unnamed; set
  // before the pages that name cards exist.
  void SetAtrList(std::shared_ptr<const CAtrList> list);

  // The card tables, shared read-only with the pages that name cards.
  std::shared_ptr<const CCardNames> CardTables() const { return m_cardNames; }
  const CardNameMap& CardNames() const { return m_cardNames->Names(); }
  const CardPatternMap& VarCardTexts() const { return m_cardNames->Patterns(); }

 private:
  StringList m_lstMandatoryFiles;
  StringList m_lstOptionalFiles;
  StringList m_lstAdditionalReaders;
  // Written only by LoadConfiguration and SetAtrList, before the pages and their
  // threads exist.
  std::shared_ptr<const CCardNames> m_cardNames = std::make_shared<const CCardNames>();
  std::mutex m_csVarCards;  // guards m_lstAdditionalReaders
  std::string m_strProductVersion;
  std::string m_strConfigProblem;  // written only by LoadConfiguration
  // User-interface thread only: a log has been started and has not ended
  // or been cancelled.
  bool m_bLogRunning = false;
  // Cleared by the destructor, so that a log ending later finds no object.
  std::shared_ptr<CDiagToolApp*> m_self = std::make_shared<CDiagToolApp*>(this);
};
