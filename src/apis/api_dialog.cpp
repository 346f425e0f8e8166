#include "apis/api_dialog.h"

#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "apis/installed_apis.h"
#include "status/file_info.h"

CApiDialog::CApiDialog() : CPropertyPage(QStringLiteral("APIs")), m_ctlApis(new QTreeWidget(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("Installed APIs"), this));
  layout->addWidget(m_ctlApis, 1);
  m_ctlApis->setRootIsDecorated(false);
  m_ctlApis->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_ctlApis->header()->setSectionsMovable(true);
  m_ctlApis->setHeaderLabels({QStringLiteral("FileName"), QStringLiteral("Version"), QStringLiteral("API Name")});
  m_ctlApis->setColumnWidth(0, 130);
  m_ctlApis->setColumnWidth(1, 83);
}

bool CApiDialog::OnInitDialog() {
  FillApiList();
  return true;
}

bool CApiDialog::FillApiList() {
  CFileInfo info;
  int row = 0;
  for (const InstalledApi& api : g_installedApis) {
    if (info.Inspect(api.library) != 0) continue;
    auto* item = new QTreeWidgetItem(
        {QString::fromStdString(info.m_strName), QString::fromStdString(info.m_strVersion), QString::fromUtf8(api.name)});
    m_ctlApis->insertTopLevelItem(row++, item);
  }
  return row > 0;
}
