#pragma once
// The General page: the smart card service's state, the handled readers and
// the versions of the configured files; it also decides which other tabs the
// main window shows.

#include <array>
#include <functional>
#include <map>
#include <string>

#include "app/property_page.h"

class CDiagToolPropSheet;
class QLabel;
class QPushButton;
class QTreeWidget;

// Page groups of the General page, by index.
enum PageGroupIndex : int {
  kGroupReaderPages = 0,     // CReaderDialog pages, keyed by reader name
  kGroupKestrelPages = 1,    // CKestrel pages, keyed by reader name
  kGroupRfidSettings = 2,    // "RFID settings"
  kGroupProxSettings = 3,    // "Proxcard settings"
  kGroupRfidBaudrates = 4,   // "RFID baudrate settings"
  kPageGroupCount = 5,
};

class CDiagToolDlg : public CPropertyPage, public IPageCoordinator {
  Q_OBJECT

 public:
  explicit CDiagToolDlg(CDiagToolPropSheet* sheet, QWidget* parent = nullptr);
  ~CDiagToolDlg() override;

  bool SetRfidPagesWanted(bool wanted) override;
  bool SetProxPageWanted(bool wanted) override;
  bool StopRefreshThread() override;
  bool RemoveAllPages() override;

  // What "Create Logfile" runs.
  void SetCreateLogfileHandler(std::function<void()> handler) { m_onCreateLogfile = std::move(handler); }

  struct PageGroup {
    bool bWanted = false;
    bool bShown = false;
    std::map<std::string, CPropertyPage*> pages;
  };
  const PageGroup& Group(int index) const { return m_aPageGroups.at(static_cast<std::size_t>(index)); }

  // The page's controls, for tests and the later steps of the refresh.
  QLabel* StatusText() const { return m_stcRmStatus; }
  QTreeWidget* FoundReaders() const { return m_ctlFoundReaders; }
  QTreeWidget* FileVersions() const { return m_ctlFileVersions; }
  QPushButton* CreateLogfileButton() const { return m_btnCreateLogfile; }

 protected:
  bool OnInitDialog() override;

 private:
  // Removes one page of a group from the window and destroys it; the tab to
  // its left becomes active when it was the active one.
  void RemoveGroupPage(int group, const std::string& key);

  CDiagToolPropSheet* m_pSheet;
  std::array<PageGroup, kPageGroupCount> m_aPageGroups;
  QLabel* m_stcRmStatus;
  QTreeWidget* m_ctlFoundReaders;
  QTreeWidget* m_ctlFileVersions;
  QPushButton* m_btnCreateLogfile;
  std::function<void()> m_onCreateLogfile;
};
