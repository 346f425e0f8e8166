#include "apis/api_dialog.h"

#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "platform/services.h"

namespace {
constexpr int kFileNameWidth = 130;
constexpr int kVersionWidth = 83;
}  // namespace

CApiDialog::CApiDialog() : CPropertyPage(QStringLiteral("APIs")), m_ctlApis(new QTreeWidget(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(MakeCaptionLabel(QStringLiteral("Installed APIs"), this));
  layout->addWidget(m_ctlApis, 1);
  m_ctlApis->setRootIsDecorated(false);
  m_ctlApis->setSelectionBehavior(QAbstractItemView::SelectRows);  // full-row selection
  m_ctlApis->header()->setSectionsMovable(true);                   // header drag and drop
  m_ctlApis->setHeaderLabels({QStringLiteral("FileName"), QStringLiteral("Version"), QStringLiteral("API Name")});
  m_ctlApis->setColumnWidth(0, kFileNameWidth);
  m_ctlApis->setColumnWidth(1, kVersionWidth);
}

CApiDialog::~CApiDialog() {
  // The search hands its rows to this page: it must be over first.
  if (m_search.joinable()) m_search.join();
}

bool CApiDialog::OnInitDialog() {
  try {
    m_search = std::thread([this] {
      std::vector<InstalledApiRow> rows = FindInstalledApis();
      {
        // The rows travel beside the post: the order inside Qt's event queue
        // is invisible to the thread checker.
        std::lock_guard lock(m_rowsLock);
        m_foundRows = std::move(rows);
      }
      // The page is the context: a post for a page that is gone is dropped.
      QMetaObject::invokeMethod(
          this,
          [this] {
            std::vector<InstalledApiRow> found;
            {
              std::lock_guard lock(m_rowsLock);
              found = std::move(m_foundRows);
            }
            FillApiList(found);
          },
          Qt::QueuedConnection);
    });
  } catch (const std::system_error&) {
    FillApiList(FindInstalledApis());
  }
  return true;
}

void CApiDialog::resizeEvent(QResizeEvent* event) {
  CPropertyPage::resizeEvent(event);
  m_ctlApis->setColumnWidth(2, std::max(0, m_ctlApis->viewport()->width() - kFileNameWidth - kVersionWidth));
}

bool CApiDialog::FillApiList(const std::vector<InstalledApiRow>& rows) {
  int row = 0;
  for (const InstalledApiRow& api : rows) {
    auto* item = new QTreeWidgetItem(
        {ShownOutsideText(api.fileName), ShownOutsideText(api.version), ShownOutsideText(api.apiName)});
    m_ctlApis->insertTopLevelItem(row, item);
    if (m_ctlApis->indexOfTopLevelItem(item) != row) {
      delete item;
      velkaro::ShowMessageBox("ERROR @ INSERTITEM", {}, velkaro::MB_OK);
      continue;
    }
    ++row;
  }
  m_bFilled = true;
  return row > 0;
}
