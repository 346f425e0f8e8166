#pragma once
// The "APIs" tab: which of the vendor's card API libraries are installed.

#include "app/property_page.h"

class QTreeWidget;

class CApiDialog : public CPropertyPage {
  Q_OBJECT

 public:
  static CApiDialog* Create() { return new CApiDialog; }

  // Lists the installed libraries; true when at least one was listed.
  bool FillApiList();
  QTreeWidget* ApiList() const { return m_ctlApis; }

 protected:
  CApiDialog();
  bool OnInitDialog() override;

 private:
  QTreeWidget* m_ctlApis;
};
