#include "status/diag_tool_dlg.h"

#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

#include "apis/installed_apis.h"
#include "app/diag_tool_app.h"
#include "platform/deadline.h"
#include "platform/services.h"
#include "res/strings.h"
#include "status/devices_dlg.h"
#include "status/file_info.h"
#include "status/os_code.h"
#include "status/resource_manager.h"

namespace {

constexpr int kRefreshPeriodMs = 1000;
constexpr int kTabTextLimit = 255;
constexpr char kCheckingText[] = "... checking ...";
constexpr char kNoAdminText[] =
    "You do not have administrative rights! The diagnostic tool will exit. Please restart the application logged on "
    "as administrator.";

class DepthGuard {
 public:
  explicit DepthGuard(int& depth) : m_depth(depth), m_entered(++m_depth == 1) {}
  ~DepthGuard() { --m_depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  bool Entered() const { return m_entered; }

 private:
  int& m_depth;
  bool m_entered;
};

std::atomic<int> g_runningRefreshThreads{0};

QTreeWidget* MakeReportList(QWidget* parent, const QStringList& columns) {
  auto* list = new QTreeWidget(parent);
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setUniformRowHeights(true);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);  // full-row selection
  list->header()->setSectionsMovable(true);                   // header drag and drop
  list->setHeaderLabels(columns);
  return list;
}

// The page as threads that may outlive it see it: posts to it and its
// additional-reader test (which asks the program's configuration) pass only
// while it is open. Closing waits at most for one such quick call.
struct PageGate {
  std::mutex lock;
  CDiagToolDlg* page = nullptr;
  bool open = true;
  AdditionalReaderTest isAdditional;

  // Only the flags change once a thread may hold the gate: the test itself
  // is set before and goes with the gate, wherever its last owner is.
  void Close() {
    const std::lock_guard guard(lock);
    page = nullptr;
    open = false;
  }
  static AdditionalReaderTest Test(const std::shared_ptr<PageGate>& gate) {
    return [gate](const std::string& name) {
      const std::lock_guard guard(gate->lock);
      return gate->open && gate->isAdditional && gate->isAdditional(name);
    };
  }
};

}  // namespace

struct CDiagToolDlg::RefreshLink {
  std::shared_ptr<PageGate> gate = std::make_shared<PageGate>();
  std::shared_ptr<const CReaderModelMaps> maps;  // fixed before the thread starts

  std::mutex lock;  // everything below
  std::condition_variable wake;
  bool stop = false;
  bool refreshDue = true;            // the page has applied the last facts
  std::optional<bool> apiInstalled;  // the file thread's word on the card API libraries
  RefreshFacts pending;
};

int CDiagToolDlg::RunningRefreshThreads() { return g_runningRefreshThreads.load(); }

CDiagToolDlg::CDiagToolDlg(IPageHost* sheet, QWidget* parent)
    : CPropertyPage(QString::fromUtf8(res::kGeneralPageCaption), parent), m_pSheet(sheet) {
  auto* layout = new QVBoxLayout(this);

  auto* status = new QFormLayout;
  m_stcRmStatus = new QLabel(this);
  m_stcRmStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
  status->addRow(new QLabel(QStringLiteral("Resource Manager Status :"), this), m_stcRmStatus);
  layout->addLayout(status);

  layout->addWidget(new QLabel(QStringLiteral("Found Readers"), this));
  m_ctlFoundReaders = MakeReportList(this, {QStringLiteral("Name")});
  layout->addWidget(m_ctlFoundReaders, 1);

  layout->addWidget(new QLabel(QStringLiteral("File Versions"), this));
  m_ctlFileVersions = MakeReportList(this, {QStringLiteral("Name"), QStringLiteral("Version"), QStringLiteral("Vendor")});
  m_ctlFileVersions->setColumnWidth(0, 130);
  m_ctlFileVersions->setColumnWidth(1, 83);
  layout->addWidget(m_ctlFileVersions, 2);

  m_btnCreateLogfile = new QPushButton(QString::fromUtf8(res::kCreateLogfile), this);
  connect(m_btnCreateLogfile, &QPushButton::clicked, this, [this] {
    if (m_onCreateLogfile) m_onCreateLogfile();
  });
  // Anyone may open it: it changes nothing.
  m_btnDevices = new QPushButton(QStringLiteral("Devices..."), this);
  connect(m_btnDevices, &QPushButton::clicked, this, [this] {
    auto* devices = new CDevicesDlg(this);
    devices->setAttribute(Qt::WA_DeleteOnClose);
    devices->show();
  });
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(m_btnCreateLogfile);
  buttons->addWidget(m_btnDevices);
  layout->addLayout(buttons);
}

CDiagToolDlg::~CDiagToolDlg() {
  StopRefreshThread();
  if (m_hFileThread.joinable()) m_hFileThread.join();
  RemoveAllPages();
  if (m_pApiPage && m_pSheet) m_pSheet->RemovePage(m_pApiPage.get());
}

void CDiagToolDlg::SetReaderPageFactory(int pageKind, ReaderPageFactory factory) {
  m_readerFactories.at(static_cast<std::size_t>(pageKind)) = std::move(factory);
}

void CDiagToolDlg::SetSettingsPageFactory(int group, PageFactory factory) {
  m_settingsFactories.at(static_cast<std::size_t>(group)) = std::move(factory);
}

bool CDiagToolDlg::InsertFileRow(int position, const CFileInfo& info) {
  auto* item = new QTreeWidgetItem(
      {ShownOutsideText(info.m_strName), ShownOutsideText(info.m_strVersion), ShownOutsideText(info.m_strCompany)});
  m_ctlFileVersions->insertTopLevelItem(position, item);
  return true;
}

void CDiagToolDlg::InspectConfiguredFiles(std::vector<std::string> mandatory, std::vector<std::string> optional) {
  // Finding the files and asking the dpkg database takes longer than a window
  // may wait, so the list fills when the facts arrive. Posted with the page as
  // context; the destructor joins the worker, so the page outlives the post.
  // The facts travel under a lock of their own beside the post, an ordering
  // that thread checkers can see (they cannot see inside Qt's event queue).
  struct Facts {
    std::mutex lock;
    std::vector<CFileInfo> infos;
  };
  const auto facts = std::make_shared<Facts>();
  const std::size_t mandatoryCount = mandatory.size();
  std::vector<std::string> names = std::move(mandatory);
  names.insert(names.end(), optional.begin(), optional.end());
  // The card API libraries first: the refresh thread's first facts wait for
  // them, so that the APIs tab comes before the reader tabs.
  const auto inspect = [this, facts, link = m_link, mandatoryCount, names = std::move(names)] {
    const bool apis = AnyApiInstalled();
    {
      const std::lock_guard lock(link->lock);
      link->apiInstalled = apis;
    }
    link->wake.notify_all();
    {
      std::vector<CFileInfo> infos = InspectFiles(names);
      std::lock_guard lock(facts->lock);
      facts->infos = std::move(infos);
    }
    QMetaObject::invokeMethod(
        this,
        [this, facts, mandatoryCount] {
          std::lock_guard lock(facts->lock);
          FillFileVersions(facts->infos, mandatoryCount);
        },
        Qt::QueuedConnection);
  };
  try {
    m_hFileThread = std::thread(inspect);
  } catch (const std::system_error&) {
    inspect();  // no thread to be had: the list still fills, only later
  }
}

void CDiagToolDlg::FillFileVersions(const std::vector<CFileInfo>& infos, std::size_t mandatoryCount) {
  for (std::size_t i = 0; i < mandatoryCount && i < infos.size(); ++i) {
    InsertFileRow(m_ctlFileVersions->topLevelItemCount(), infos[i]);
  }
  // Found optional files stand above the mandatory ones, in their order.
  int position = 0;
  for (std::size_t i = mandatoryCount; i < infos.size(); ++i) {
    if (infos[i].m_strPath.empty()) continue;
    InsertFileRow(position++, infos[i]);
  }
}

bool CDiagToolDlg::OnInitDialog() {
  auto link = std::make_shared<RefreshLink>();
  link->maps = std::make_shared<const CReaderModelMaps>(m_maps);
  link->gate->page = this;
  link->gate->isAdditional = m_isAdditionalReader;
  m_link = link;
  if (const CDiagToolApp* app = CDiagToolApp::Instance()) {
    InspectConfiguredFiles(app->GetMandatoryFiles(), app->GetOptionalFiles());
  } else {
    InspectConfiguredFiles({}, {});
  }

  m_stcRmStatus->setText(QString::fromUtf8(kCheckingText));
  for (PageGroup& group : m_aPageGroups) group = PageGroup{};

  m_bStopThread = false;
  ++g_runningRefreshThreads;  // before the start, so that no waiter misses it
  if (!velkaro::StartAbandonableThread([link] { RefreshThreadProc(link); }, "refresh")) {
    --g_runningRefreshThreads;
    m_link->gate->Close();
    m_link.reset();
    return false;
  }

  int osCode = OS_UNKNOWN;
  std::uint32_t build = 0;
  GetOsCode(osCode, build);
  if (!velkaro::IsUserAnAdmin()) {
    m_btnCreateLogfile->setEnabled(false);
    // Linux runs on without root, with the reduced menu.
    if (osCode >= OS_VISTA && osCode != OS_LINUX) {
      velkaro::ShowMessageBox(kNoAdminText, res::kCaptionCritical, velkaro::MB_ICONSTOP | velkaro::MB_OK);
      velkaro::SystemInfo().ExitProcess(0);
    }
  }
  return true;
}

CDiagToolDlg::RefreshFacts CDiagToolDlg::GatherRefreshFacts(CTimedReaderEnumerator& enumerator,
                                                             const std::shared_ptr<const CReaderModelMaps>& maps,
                                                             const AdditionalReaderTest& isAdditional) {
  RefreshFacts facts;
  // The readers are asked first: pcscd's own reply needs no probe of its
  // socket, and decides whether it runs whatever the units say.
  std::vector<std::string> present;
  const velkaro::PcscdReply reply = enumerator.Enumerate(present, maps, isAdditional);
  facts.status = CheckResourceManager(reply);
  const bool answered = reply == velkaro::PcscdReply::kAnswered;
  // A pcscd that has not answered in time keeps the reader tabs as they are.
  facts.listed = answered || (facts.status != RMS_RUNNING && facts.status != RMS_NOT_ANSWERING);
  if (facts.status == RMS_RUNNING && answered) facts.present = std::move(present);
  return facts;
}

bool CDiagToolDlg::AnyApiInstalled() {
  std::vector<std::string> libraries;
  for (const InstalledApi& api : g_installedApis) libraries.push_back(api.library);
  const std::vector<CFileInfo> infos = InspectFiles(libraries);
  // A library counts when its version was found, as for its row on the tab.
  return std::any_of(infos.begin(), infos.end(), [](const CFileInfo& info) { return !info.m_strVersion.empty(); });
}

void CDiagToolDlg::RefreshThreadProc(std::shared_ptr<RefreshLink> link) {
  // pcsc-lite, the service manager and a mute card (400 ms in pcsc-lite's
  // status call) may each take their time: this thread waits for them up to
  // their deadlines, and the window only shows what it found. The thread
  // touches nothing of the page but `link`, so the page may go at any time.
  struct Running {
    ~Running() { --g_runningRefreshThreads; }
  } running;
  CTimedReaderEnumerator enumerator;
  const AdditionalReaderTest isAdditional = PageGate::Test(link->gate);
  bool first = true;
  std::unique_lock lock(link->lock);
  while (!link->stop) {
    if (std::exchange(link->refreshDue, false)) {
      lock.unlock();
      const auto started = std::chrono::steady_clock::now();
      RefreshFacts facts = GatherRefreshFacts(enumerator, link->maps, isAdditional);
      facts.gatherMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
      lock.lock();
      if (std::exchange(first, false)) {
        link->wake.wait(lock, [&link] { return link->stop || link->apiInstalled.has_value(); });
        facts.apiInstalled = link->apiInstalled;
      }
      if (link->stop) break;
      // The facts travel under the lock beside the post, an ordering that
      // thread checkers can see (they cannot see inside Qt's event queue).
      link->pending = std::move(facts);
      lock.unlock();
      {
        // The page is the receiver: a post still queued when it goes is dropped.
        const std::lock_guard gate(link->gate->lock);
        if (CDiagToolDlg* page = link->gate->page) {
          QMetaObject::invokeMethod(page, [page] { page->OnCommand(ID_REFRESH); }, Qt::QueuedConnection);
        }
      }
      lock.lock();
    }
    link->wake.wait_for(lock, std::chrono::milliseconds(kRefreshPeriodMs), [&link] { return link->stop; });
  }
}

bool CDiagToolDlg::StopRefreshThread() {
  // Never joined: the thread may be inside pcsc-lite or the service check.
  // It holds its own share of what it uses and ends when it next looks.
  if (m_link) {
    m_link->gate->Close();
    {
      const std::lock_guard lock(m_link->lock);
      m_link->stop = true;
    }
    m_link->wake.notify_all();
    m_link.reset();
  }
  m_bStopThread = true;
  return true;
}

void CDiagToolDlg::OnCommand(int id) {
  // A refresh already queued when the thread stopped is not run.
  if (id != ID_REFRESH || m_bStopThread || !m_link) return;
  RefreshFacts facts;
  {
    std::lock_guard lock(m_link->lock);
    facts = std::move(m_link->pending);
  }
  ApplyRefresh(facts);
  UpdateRfidPages();
  UpdateProxPage();
}

void CDiagToolDlg::Refresh() {
  // The enumeration may outlive this call: it asks the configuration only
  // through a gate closed before returning.
  const auto gate = std::make_shared<PageGate>();
  gate->isAdditional = m_isAdditionalReader;
  CTimedReaderEnumerator enumerator;
  const RefreshFacts facts =
      GatherRefreshFacts(enumerator, std::make_shared<const CReaderModelMaps>(m_maps), PageGate::Test(gate));
  gate->Close();
  ApplyRefresh(facts);
}

void CDiagToolDlg::ApplyRefresh(const RefreshFacts& facts) {
  if (facts.apiInstalled.value_or(false) && m_apiFactory && !m_pApiPage) {
    m_pApiPage.reset(m_apiFactory());
    if (m_pApiPage && m_pSheet) {
      m_pSheet->AddPage(m_pApiPage.get());
      m_pSheet->SetTabText(m_pSheet->GetPageIndex(m_pApiPage.get()), QStringLiteral("APIs"));
    }
  }
  ++m_nRefreshes;
  m_lastGatherMs = facts.gatherMs;
  m_stcRmStatus->setText(QString::fromUtf8(ResourceManagerStatusText(facts.status)));

  if (facts.listed) {
    const std::vector<std::string>& present = facts.present;
    const ReaderListChange change = DiffReaderLists(m_lstKnownReaders, present);
    if (!change.empty()) {
      m_ctlFoundReaders->clear();
      for (const std::string& name : present) {
        m_ctlFoundReaders->addTopLevelItem(new QTreeWidgetItem({ShownOutsideText(name)}));
      }
      m_lstKnownReaders = present;
    }
    for (const std::string& name : change.removed) RemoveReaderPage(name);
    for (const std::string& name : change.added) AddReaderPage(name);
    if (m_pSheet) {
      m_pSheet->SetRfidSettingsAvailable(!(m_aPageGroups[kGroupReaderPages].pages.empty() &&
                                           !m_aPageGroups[kGroupKestrelPages].pages.empty()));
    }
  }
  if (m_link) {
    const std::lock_guard lock(m_link->lock);
    m_link->refreshDue = true;
  }
}

bool CDiagToolDlg::EnumerateReaders(std::vector<std::string>& list) {
  return ::EnumerateReaders(list, m_maps, m_isAdditionalReader);
}

int CDiagToolDlg::PageKindOf(const std::string& name) const {
  const ReaderModel* row = m_maps.FindReaderModel(name);
  return row ? static_cast<int>(row->pageKind) : 0;
}

void CDiagToolDlg::AddReaderPage(const std::string& name) {
  const ReaderModel* row = m_maps.FindReaderModel(name);
  const int kind = row ? static_cast<int>(row->pageKind) : 0;
  if (kind != kGroupReaderPages && kind != kGroupKestrelPages) return;
  const ReaderPageFactory& factory = m_readerFactories[static_cast<std::size_t>(kind)];
  if (!factory) return;
  std::unique_ptr<CPropertyPage> owned(factory(name, row));
  if (!owned) return;
  CPropertyPage* page = owned.get();
  m_aPageGroups[static_cast<std::size_t>(kind)].pages[name] = std::move(owned);
  if (m_pSheet) {
    m_pSheet->AddPage(page);
    m_pSheet->SetTabText(m_pSheet->GetPageIndex(page), ShownOutsideText(name.substr(0, kTabTextLimit)));
  }
}

void CDiagToolDlg::RemoveReaderPage(const std::string& name) {
  const int kind = PageKindOf(name);
  if (kind != kGroupReaderPages && kind != kGroupKestrelPages) return;
  RemoveGroupPage(kind, name);
}

void CDiagToolDlg::RemoveGroupPage(int group, const std::string& key) {
  auto& pages = m_aPageGroups[static_cast<std::size_t>(group)].pages;
  const auto it = pages.find(key);
  if (it == pages.end()) return;
  std::unique_ptr<CPropertyPage> page = std::move(it->second);
  pages.erase(it);
  if (m_pSheet) {
    const int index = m_pSheet->GetPageIndex(page.get());
    if (index >= 0 && index == m_pSheet->GetActiveIndex()) m_pSheet->SetActivePage(index - 1);
    m_pSheet->RemovePage(page.get());
  }
}

void CDiagToolDlg::UpdateSettingsGroup(int group, const char* key) {
  PageGroup& g = m_aPageGroups[static_cast<std::size_t>(group)];
  if (g.bShown && !g.bWanted) {
    while (g.pages.count(key)) RemoveGroupPage(group, key);
    g.bShown = false;
  } else if (!g.bShown && g.bWanted) {
    const PageFactory& factory = m_settingsFactories[static_cast<std::size_t>(group)];
    if (!factory) return;
    std::unique_ptr<CPropertyPage> owned(factory());
    if (!owned) return;
    CPropertyPage* page = owned.get();
    g.pages[key] = std::move(owned);
    if (m_pSheet) {
      m_pSheet->AddPage(page);
      const int last = m_pSheet->GetPageCount() - 1;
      m_pSheet->SetTabText(last, QString::fromUtf8(key));
      m_pSheet->SetActivePage(last);
    }
    g.bShown = true;
  }
}

void CDiagToolDlg::UpdateRfidPages() {
  const DepthGuard guard(m_nRfidUpdateDepth);
  if (!guard.Entered()) return;
  UpdateSettingsGroup(kGroupRfidSettings, "RFID settings");
  UpdateSettingsGroup(kGroupRfidBaudrates, "RFID baudrate settings");
}

void CDiagToolDlg::UpdateProxPage() {
  const DepthGuard guard(m_nProxUpdateDepth);
  if (!guard.Entered()) return;
  UpdateSettingsGroup(kGroupProxSettings, "Proxcard settings");
}

bool CDiagToolDlg::SetRfidPagesWanted(bool wanted) {
  m_aPageGroups[kGroupRfidSettings].bWanted = wanted;
  m_aPageGroups[kGroupRfidBaudrates].bWanted = wanted;
  return true;
}

bool CDiagToolDlg::SetProxPageWanted(bool wanted) {
  m_aPageGroups[kGroupProxSettings].bWanted = wanted;
  return true;
}

bool CDiagToolDlg::RemoveAllPages() {
  for (int group : {kGroupReaderPages, kGroupKestrelPages}) {
    std::vector<std::string> names;
    for (const auto& entry : m_aPageGroups[static_cast<std::size_t>(group)].pages) names.push_back(entry.first);
    for (const std::string& name : names) RemoveGroupPage(group, name);
  }
  // The baudrate tab goes too: no page outlives the window.
  for (int group : {kGroupRfidSettings, kGroupProxSettings, kGroupRfidBaudrates}) {
    PageGroup& g = m_aPageGroups[static_cast<std::size_t>(group)];
    while (!g.pages.empty()) RemoveGroupPage(group, g.pages.begin()->first);
    g.bShown = false;
  }
  return true;
}
