#include "app/prop_sheet.h"

#include <QAction>
#include <QCloseEvent>
#include <QEventLoop>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>

#include "platform/services.h"
#include "res/strings.h"

namespace {
// Set while the window is shown; user-interface thread only.
CDiagToolPropSheet* g_mainWindow = nullptr;

// A tab bar reads "&" as the mark of a keyboard shortcut; tab texts are reader
// names as their drivers give them, shown as they are.
QString TabBarText(QString text) { return text.replace(QLatin1Char('&'), QLatin1String("&&")); }
}  // namespace

CDiagToolPropSheet* CDiagToolPropSheet::MainWindow() { return g_mainWindow; }

CDiagToolPropSheet::CDiagToolPropSheet(const QString& title, QWidget* parent, int selectPage)
    : QMainWindow(parent), m_tabs(new QTabWidget(this)), m_hIcon(":/velkaro/velkaro-diag.png"),
      m_nSelectPage(selectPage) {
  setWindowTitle(title);
  // One row of tabs that scrolls, however many readers there are.
  m_tabs->setUsesScrollButtons(true);
  m_tabs->tabBar()->setExpanding(false);
  m_tabs->setDocumentMode(false);
  setCentralWidget(m_tabs);
  resize(800, 600);
  connect(m_tabs, &QTabWidget::currentChanged, this, &CDiagToolPropSheet::OnCurrentTabChanged);
}

CDiagToolPropSheet::~CDiagToolPropSheet() {
  if (g_mainWindow == this) g_mainWindow = nullptr;
  // The first page coordinates the others and takes them down with it; it
  // must go while the window it talks to is still whole.
  delete GetPage(0);
}

void CDiagToolPropSheet::AddPage(CPropertyPage* page) {
  const int index = m_tabs->addTab(page, TabBarText(page->Caption()));
  // Adding a tab never moves the selection (the very first tab selects itself).
  if (m_bCreated && index == m_tabs->currentIndex()) page->EnsureInitialised();
}

void CDiagToolPropSheet::RemovePage(CPropertyPage* page) { RemovePage(GetPageIndex(page)); }

void CDiagToolPropSheet::RemovePage(int index) {
  if (index < 0 || index >= m_tabs->count()) return;
  QWidget* page = m_tabs->widget(index);
  m_tabs->removeTab(index);
  // The caller owns (and destroys) the page from here on.
  page->setParent(nullptr);
}

int CDiagToolPropSheet::GetPageCount() const { return m_tabs->count(); }

CPropertyPage* CDiagToolPropSheet::GetPage(int index) const {
  return qobject_cast<CPropertyPage*>(m_tabs->widget(index));
}

int CDiagToolPropSheet::GetPageIndex(const CPropertyPage* page) const {
  return m_tabs->indexOf(const_cast<CPropertyPage*>(page));
}

CPropertyPage* CDiagToolPropSheet::GetActivePage() const { return GetPage(m_tabs->currentIndex()); }

int CDiagToolPropSheet::GetActiveIndex() const { return m_tabs->currentIndex(); }

bool CDiagToolPropSheet::SetActivePage(int index) {
  if (index < 0 || index >= m_tabs->count()) return false;
  m_tabs->setCurrentIndex(index);
  return true;
}

bool CDiagToolPropSheet::SetActivePage(CPropertyPage* page) { return SetActivePage(GetPageIndex(page)); }

void CDiagToolPropSheet::SetTabText(int index, const QString& text) { m_tabs->setTabText(index, TabBarText(text)); }

QString CDiagToolPropSheet::GetTabText(int index) const {
  return m_tabs->tabText(index).replace(QLatin1String("&&"), QLatin1String("&"));
}

void CDiagToolPropSheet::Create() {
  if (m_bCreated) return;
  m_bCreated = true;
  BuildWindowMenu();
  setWindowIcon(m_hIcon);
  SetActivePage(m_nSelectPage);
  if (CPropertyPage* page = GetActivePage()) page->EnsureInitialised();
  show();
  g_mainWindow = this;
}

int CDiagToolPropSheet::DoModal() {
  Create();
  QEventLoop loop;
  m_loop = &loop;
  const int result = isVisible() ? loop.exec() : 1;
  m_loop = nullptr;
  return result;
}

QAction* CDiagToolPropSheet::AddMenuCommand(QMenu* menu, const char* caption, unsigned id, bool checkable) {
  QAction* action = new QAction(QString::fromUtf8(caption), this);
  action->setData(id);
  action->setCheckable(checkable);
  // Check marks follow OnSysCommand, not Qt's own toggling on a click.
  connect(action, &QAction::triggered, this, [this, id] { OnSysCommand(id); });
  if (menu) {
    menu->addAction(action);
  } else {
    menuBar()->addAction(action);
  }
  return action;
}

void CDiagToolPropSheet::BuildWindowMenu() {
  QMenuBar* bar = menuBar();
  if (velkaro::IsUserAnAdmin()) {
    bar->addSeparator();
    QMenu* view = bar->addMenu(QString::fromUtf8(res::kMenuView));
    AddMenuCommand(view, res::kMenuRfidSettings, ID_VIEW_RFID_SETTINGS, true);
    AddMenuCommand(view, res::kMenuProxSettings, ID_VIEW_PROX_SETTINGS, true);
    AddMenuCommand(view, res::kMenuRfidRegisters, ID_VIEW_RFID_REGISTERS, false);
    AddMenuCommand(nullptr, res::kMenuCreateLogfile, IDM_CREATE_LOGFILE, false);
  } else {
    // A permanent label, not a status message: menu hover tips would wipe a message.
    auto* note = new QLabel(QString::fromUtf8(res::kNotAdministratorNote), this);
    note->setTextFormat(Qt::PlainText);
    note->setTextInteractionFlags(Qt::TextSelectableByMouse);
    note->setWordWrap(true);  // never wider than the window
    statusBar()->addWidget(note, 1);
  }
  bar->addSeparator();
  AddMenuCommand(nullptr, res::kMenuAbout, IDM_ABOUTBOX, false);
}

QAction* CDiagToolPropSheet::MenuItem(unsigned id) const {
  // The commands are the window's own children (AddMenuCommand); the pages'
  // widget trees below are not searched, the General page asks every second.
  for (QAction* action : findChildren<QAction*>(Qt::FindDirectChildrenOnly)) {
    if (action->data().isValid() && action->data().toUInt() == id) return action;
  }
  return nullptr;
}

bool CDiagToolPropSheet::IsMenuItemChecked(unsigned id) const {
  const QAction* item = MenuItem(id);
  return item && item->isChecked();
}

bool CDiagToolPropSheet::IsMenuItemEnabled(unsigned id) const {
  const QAction* item = MenuItem(id);
  return item && item->isEnabled();
}

IPageCoordinator* CDiagToolPropSheet::Coordinator() const { return dynamic_cast<IPageCoordinator*>(GetPage(0)); }

void CDiagToolPropSheet::ToggleWanted(unsigned id, bool (IPageCoordinator::*setWanted)(bool)) {
  QAction* item = MenuItem(id);
  IPageCoordinator* coordinator = Coordinator();
  if (!item || !coordinator) return;
  // Qt has already flipped a checkable action when the user clicked it, so the
  // state before the click is kept in the action's own property.
  const bool wasChecked = item->property("velkaroChecked").toBool();
  (coordinator->*setWanted)(!wasChecked);
  item->setProperty("velkaroChecked", !wasChecked);
  item->setChecked(!wasChecked);
}

void CDiagToolPropSheet::OnSysCommand(unsigned id) {
  if ((id & 0xFFF0) == IDM_ABOUTBOX) {
    if (m_onAbout) m_onAbout();
  } else if ((id & 0xFFF0) == IDM_CREATE_LOGFILE) {
    if (m_onCreateLogfile) m_onCreateLogfile();
  } else if (id == ID_VIEW_RFID_SETTINGS) {
    ToggleWanted(id, &IPageCoordinator::SetRfidPagesWanted);
  } else if (id == ID_VIEW_PROX_SETTINGS) {
    ToggleWanted(id, &IPageCoordinator::SetProxPageWanted);
  } else if (id == ID_VIEW_RFID_REGISTERS) {
    if (auto* page = dynamic_cast<IRegisterViewPage*>(GetActivePage())) {
      page->ReadRegisterDump(false);
    } else {
      velkaro::ShowMessageBox(res::kOnlyInContactlessTabs, res::kCaptionNotice,
                              velkaro::MB_ICONEXCLAMATION | velkaro::MB_OK);
    }
  }
}

void CDiagToolPropSheet::SetRfidSettingsAvailable(bool available) {
  QAction* item = MenuItem(ID_VIEW_RFID_SETTINGS);
  if (!item) return;  // not an administrator: there is no such item
  if (available) {
    item->setEnabled(true);
    return;
  }
  if (item->property("velkaroChecked").toBool()) {
    if (IPageCoordinator* coordinator = Coordinator()) coordinator->SetRfidPagesWanted(false);
    item->setProperty("velkaroChecked", false);
    item->setChecked(false);
  }
  item->setEnabled(false);
}

void CDiagToolPropSheet::OnCurrentTabChanged(int index) {
  if (!m_bCreated) return;
  if (CPropertyPage* page = GetPage(index)) page->EnsureInitialised();
}

void CDiagToolPropSheet::closeEvent(QCloseEvent* event) {
  SetActivePage(0);
  if (IPageCoordinator* coordinator = Coordinator()) {
    coordinator->StopRefreshThread();
    coordinator->RemoveAllPages();
  }
  if (m_loop) m_loop->exit(1);
  if (g_mainWindow == this) g_mainWindow = nullptr;
  event->accept();
}
