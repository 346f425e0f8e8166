#pragma once
// The tab of the other maker's contactless reader: reader and card facts
// kept up to date by the shared card monitor, and the maximum air speed of
// its driver, chosen from a list and stored with "&Apply".

#include <memory>

#include "app/property_page.h"
#include "reader/field_view.h"
#include "reader/kestrel_session.h"

class QAction;
class QComboBox;
class QPushButton;

class CKestrel : public CPropertyPage {
  Q_OBJECT

 public:
  static CKestrel* Create() { return new CKestrel; }
  ~CKestrel() override;

  void SetReaderName(const std::string& name) { m_session->SetReaderName(name); }
  void SetColumn1(std::uint32_t value) { m_session->SetColumn1(value); }
  void SetCardNames(std::shared_ptr<const CCardNames> names) { m_session->SetCardNames(std::move(names)); }

  // Page command 4003 shows the texts of a card update the monitor thread has
  // run, whatever its parameter; 4004 shows the CT-API port.
  void OnCommand(int id, int parameter);
  // How many card updates the page has shown; when it equals the session's
  // posted count, no update is under way and the texts are final.
  int CardUpdatesShown() const { return m_nCardUpdatesShown; }

  CKestrelSession& Session() { return *m_session; }
  QString ShownText(CFieldView::Field field) const { return m_view.ShownText(field); }
  QComboBox* AirSpeedList() const { return m_cboAirSpeed; }
  QPushButton* ApplyButton() const { return m_btnApply; }

 protected:
  CKestrel();
  bool OnInitDialog() override;

 private:
  void OnAirSpeedChanged();
  void OnApply();
  void UpdateData();

  std::shared_ptr<CKestrelSession> m_session;  // shared with its threads, which may outlive the page
  CFieldView m_view;
  QComboBox* m_cboAirSpeed = nullptr;
  QPushButton* m_btnApply = nullptr;
  QAction* m_actAtrDetails = nullptr;
  int m_nCardUpdatesShown = 0;
};
