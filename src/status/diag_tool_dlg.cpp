#include "status/diag_tool_dlg.h"

#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/prop_sheet.h"
#include "res/strings.h"

namespace {

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

}  // namespace

CDiagToolDlg::CDiagToolDlg(CDiagToolPropSheet* sheet, QWidget* parent)
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
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(m_btnCreateLogfile);
  layout->addLayout(buttons);
}

CDiagToolDlg::~CDiagToolDlg() {
  StopRefreshThread();
  RemoveAllPages();
}

bool CDiagToolDlg::OnInitDialog() {
  m_stcRmStatus->setText(QStringLiteral("... checking ..."));
  for (PageGroup& group : m_aPageGroups) group = PageGroup{};
  return true;
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

bool CDiagToolDlg::StopRefreshThread() { return true; }

void CDiagToolDlg::RemoveGroupPage(int group, const std::string& key) {
  auto& pages = m_aPageGroups[static_cast<std::size_t>(group)].pages;
  const auto it = pages.find(key);
  if (it == pages.end()) return;
  CPropertyPage* page = it->second;
  pages.erase(it);
  if (m_pSheet) {
    const int index = m_pSheet->GetPageIndex(page);
    if (index >= 0 && index == m_pSheet->GetActiveIndex()) m_pSheet->SetActivePage(index - 1);
    m_pSheet->RemovePage(page);
  }
  delete page;
}

bool CDiagToolDlg::RemoveAllPages() {
  for (int group : {kGroupReaderPages, kGroupKestrelPages, kGroupRfidSettings, kGroupProxSettings,
                    kGroupRfidBaudrates}) {
    auto& pages = m_aPageGroups[static_cast<std::size_t>(group)].pages;
    while (!pages.empty()) RemoveGroupPage(group, pages.begin()->first);
    m_aPageGroups[static_cast<std::size_t>(group)].bShown = false;
  }
  return true;
}
