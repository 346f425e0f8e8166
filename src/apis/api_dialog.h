#pragma once
// The "APIs" tab: which of the vendor's card API libraries are installed.
// The libraries are looked for on a thread of the page's own; the list fills
// when their facts arrive.

#include <mutex>
#include <thread>
#include <vector>

#include "apis/installed_apis.h"
#include "app/property_page.h"

class QTreeWidget;

class CApiDialog : public CPropertyPage {
  Q_OBJECT

 public:
  static CApiDialog* Create() { return new CApiDialog; }
  ~CApiDialog() override;

  // Lists the rows; true when at least one was listed. A row the list
  // refuses costs only that row, after "ERROR @ INSERTITEM".
  bool FillApiList(const std::vector<InstalledApiRow>& rows);
  QTreeWidget* ApiList() const { return m_ctlApis; }
  // Whether the facts have arrived and were listed.
  bool IsFilled() const { return m_bFilled; }

 protected:
  CApiDialog();
  bool OnInitDialog() override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QTreeWidget* m_ctlApis;
  std::thread m_search;
  std::mutex m_rowsLock;  // guards m_foundRows
  std::vector<InstalledApiRow> m_foundRows;
  bool m_bFilled = false;
};
