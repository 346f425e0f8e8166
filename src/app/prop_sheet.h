#pragma once
// The main window: a row of tabs (General page first) with the window menu
// that leads to the log, the contactless settings tabs, the register view and
// the about box.

#include <QMainWindow>
#include <functional>

#include "app/property_page.h"

class QAction;
class QEventLoop;
class QMenu;
class QTabWidget;

// Window menu command identifiers.
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;
inline constexpr unsigned IDM_CREATE_LOGFILE = 0x0100;
inline constexpr unsigned ID_VIEW_RFID_SETTINGS = 40001;
inline constexpr unsigned ID_VIEW_RFID_REGISTERS = 40002;
inline constexpr unsigned ID_VIEW_PROX_SETTINGS = 40005;

class CDiagToolPropSheet : public QMainWindow, public IPageHost {
  Q_OBJECT

 public:
  explicit CDiagToolPropSheet(const QString& title, QWidget* parent = nullptr, int selectPage = 0);
  ~CDiagToolPropSheet() override;

  // Tabs, addressed by page or by index. The window owns the first page (the
  // General page), which owns the others.
  void AddPage(CPropertyPage* page) override;
  void RemovePage(CPropertyPage* page) override;
  void RemovePage(int index);
  int GetPageCount() const override;
  CPropertyPage* GetPage(int index) const;
  int GetPageIndex(const CPropertyPage* page) const override;
  CPropertyPage* GetActivePage() const;
  int GetActiveIndex() const override;
  bool SetActivePage(int index) override;
  bool SetActivePage(CPropertyPage* page);
  void SetTabText(int index, const QString& text) override;
  QString GetTabText(int index) const;

  // The program's main window while it is shown, or null.
  static CDiagToolPropSheet* MainWindow();

  // Builds the window menu and icon, initialises the selected page and shows
  // the window. DoModal does that and runs the window's loop until it closes.
  void Create();
  int DoModal();

  void SetRfidSettingsAvailable(bool available) override;

  // The window menu's command handler.
  void OnSysCommand(unsigned id);

  // State of a window menu item; nothing when the item does not exist.
  QAction* MenuItem(unsigned id) const;
  bool IsMenuItemChecked(unsigned id) const;
  bool IsMenuItemEnabled(unsigned id) const;

  // The operations behind "&About ..." and "&Create Logfile".
  void SetAboutHandler(std::function<void()> handler) { m_onAbout = std::move(handler); }
  void SetCreateLogfileHandler(std::function<void()> handler) { m_onCreateLogfile = std::move(handler); }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  IPageCoordinator* Coordinator() const;
  void BuildWindowMenu();
  QAction* AddMenuCommand(QMenu* menu, const char* caption, unsigned id, bool checkable);
  void ToggleWanted(unsigned id, bool (IPageCoordinator::*setWanted)(bool));
  void OnCurrentTabChanged(int index);

  QTabWidget* m_tabs;
  QIcon m_hIcon;
  QEventLoop* m_loop = nullptr;
  int m_nSelectPage;
  bool m_bCreated = false;
  std::function<void()> m_onAbout;
  std::function<void()> m_onCreateLogfile;
};
