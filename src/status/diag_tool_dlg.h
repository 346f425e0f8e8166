#pragma once
// The General page: the smart card service's state, the handled readers and
// the versions of the configured files. It also coordinates the other tabs:
// a refresh every second adds a page for each new reader, removes the pages
// of readers that have gone, and adds or removes the settings tabs the user
// asked for.

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/property_page.h"
#include "card/reader_models.h"
#include "status/reader_enumeration.h"
#include "status/resource_manager.h"

class CFileInfo;
class QLabel;
class QPushButton;
class QTreeWidget;

// Page command: the refresh thread asks for a refresh.
inline constexpr int ID_REFRESH = 4001;

// Page groups of the General page, by index.
enum PageGroupIndex : int {
  kGroupReaderPages = 0,    // CReaderDialog pages, keyed by reader name
  kGroupKestrelPages = 1,   // CKestrel pages, keyed by reader name
  kGroupRfidSettings = 2,   // "RFID settings"
  kGroupProxSettings = 3,   // "Proxcard settings"
  kGroupRfidBaudrates = 4,  // "RFID baudrate settings"
  kPageGroupCount = 5,
};

class CDiagToolDlg : public CPropertyPage, public IPageCoordinator {
  Q_OBJECT

 public:
  using PageFactory = std::function<CPropertyPage*()>;
  // Creates a reader page for a reader name and its model row (null when the
  // reader has no row).
  using ReaderPageFactory = std::function<CPropertyPage*(const std::string& name, const ReaderModel* row)>;

  explicit CDiagToolDlg(IPageHost* sheet, QWidget* parent = nullptr);
  ~CDiagToolDlg() override;

  bool SetRfidPagesWanted(bool wanted) override;
  bool SetProxPageWanted(bool wanted) override;
  bool StopRefreshThread() override;
  bool RemoveAllPages() override;

  // Page commands: 4001 runs the refresh and the settings-tab updates.
  // What a refresh shows, gathered on the refresh thread: the service state
  // and, where PC/SC could be asked, the present readers this tool handles.
  struct RefreshFacts {
    RmStatus status = RMS_NOT_INSTALLED;
    bool listed = false;
    std::vector<std::string> present;
    std::optional<bool> apiInstalled;  // the first refresh only: whether the APIs tab is wanted
    double gatherMs = 0;               // how long the refresh thread took for these facts
  };

  // Page commands: 4001 applies the facts the refresh thread gathered, then
  // runs the settings-tab updates.
  void OnCommand(int id);
  // Gathers the facts here and now (the refresh thread's work) and applies
  // them; for callers without a refresh thread.
  void Refresh();
  void ApplyRefresh(const RefreshFacts& facts);
  void UpdateRfidPages();
  void UpdateProxPage();

  // The full names of the present readers this tool handles, in the order
  // PC/SC lists them; false when PC/SC cannot be asked.
  bool EnumerateReaders(std::vector<std::string>& list);

  // Wired by the program's composition root: what "Create Logfile" runs,
  // which readers the configuration adds, and the page factories of the
  // reader kinds, the settings tabs and the APIs tab. A kind without a
  // factory gets no page.
  void SetCreateLogfileHandler(std::function<void()> handler) { m_onCreateLogfile = std::move(handler); }
  void SetAdditionalReaderTest(AdditionalReaderTest test) { m_isAdditionalReader = std::move(test); }
  void SetReaderPageFactory(int pageKind, ReaderPageFactory factory);
  void SetSettingsPageFactory(int group, PageFactory factory);
  void SetApiPageFactory(PageFactory factory) { m_apiFactory = std::move(factory); }

  // The pages of one group, owned here from creation to removal; the main
  // window only shows them.
  struct PageGroup {
    bool bWanted = false;
    bool bShown = false;
    std::map<std::string, std::unique_ptr<CPropertyPage>> pages;
  };
  const PageGroup& Group(int index) const { return m_aPageGroups.at(static_cast<std::size_t>(index)); }
  const std::vector<std::string>& KnownReaders() const { return m_lstKnownReaders; }
  bool IsRefreshThreadRunning() const { return m_link != nullptr; }
  // Refresh threads of any page that have not ended yet: a stopped thread
  // is never joined but ends by itself (tests wait for it before their
  // fakes of the platform services go).
  static int RunningRefreshThreads();
  int RefreshCount() const { return m_nRefreshes; }
  // How long the refresh thread took to gather the facts applied last.
  double LastGatherMs() const { return m_lastGatherMs; }
  CPropertyPage* ApiPage() const { return m_pApiPage.get(); }

  // The page's controls, for tests.
  QLabel* StatusText() const { return m_stcRmStatus; }
  QTreeWidget* FoundReaders() const { return m_ctlFoundReaders; }
  QTreeWidget* FileVersions() const { return m_ctlFileVersions; }
  QPushButton* CreateLogfileButton() const { return m_btnCreateLogfile; }
  QPushButton* DevicesButton() const { return m_btnDevices; }

 protected:
  bool OnInitDialog() override;

 private:
  bool InsertFileRow(int position, const CFileInfo& info);
  // Gathers the configured files' facts on m_hFileThread and posts them.
  void InspectConfiguredFiles(std::vector<std::string> mandatory, std::vector<std::string> optional);
  // The mandatory files come first in `infos`, then the optional ones.
  void FillFileVersions(const std::vector<CFileInfo>& infos, std::size_t mandatoryCount);
  // What the refresh thread shares with the page; the thread owns it too.
  struct RefreshLink;
  static void RefreshThreadProc(std::shared_ptr<RefreshLink> link);
  // Whether a card API library with a version is installed (file system and
  // dpkg database: for the file thread).
  static bool AnyApiInstalled();
  static RefreshFacts GatherRefreshFacts(CTimedReaderEnumerator& enumerator,
                                         const std::shared_ptr<const CReaderModelMaps>& maps,
                                         const AdditionalReaderTest& isAdditional);
  void AddReaderPage(const std::string& name);
  void RemoveReaderPage(const std::string& name);
  int PageKindOf(const std::string& name) const;
  // Removes one page of a group from the window and destroys it; the tab to
  // its left becomes active when it was the active one.
  void RemoveGroupPage(int group, const std::string& key);
  void UpdateSettingsGroup(int group, const char* key);

  IPageHost* m_pSheet;
  CReaderModelMaps m_maps;  // m_mapReaderModels and m_mapReaderAliases
  std::vector<std::string> m_lstKnownReaders;
  std::array<PageGroup, kPageGroupCount> m_aPageGroups;
  std::array<ReaderPageFactory, 2> m_readerFactories;
  std::array<PageFactory, kPageGroupCount> m_settingsFactories;
  PageFactory m_apiFactory;
  AdditionalReaderTest m_isAdditionalReader;
  std::unique_ptr<CPropertyPage> m_pApiPage;
  // Guard against re-entry of the settings-tab updates, which may run a
  // nested event loop through a page's initialisation.
  int m_nRfidUpdateDepth = 0;
  int m_nProxUpdateDepth = 0;

  // Holds copies only; joined before the page goes (it uses the platform
  // services the program installs, and ends after the last file).
  std::thread m_hFileThread;
  // The refresh thread is never joined: it may be inside pcsc-lite or the
  // service check for as long as pcscd or the bus take. Null once stopped.
  std::shared_ptr<RefreshLink> m_link;
  bool m_bStopThread = false;
  int m_nRefreshes = 0;
  double m_lastGatherMs = 0;

  QLabel* m_stcRmStatus;
  QTreeWidget* m_ctlFoundReaders;
  QTreeWidget* m_ctlFileVersions;
  QPushButton* m_btnCreateLogfile;
  QPushButton* m_btnDevices;
  std::function<void()> m_onCreateLogfile;
};
