#pragma once
// The "RFID settings" tab: which contactless card types the reader driver
// searches for, and in which order. It also keeps the two ISO 14443 maximum
// rates in both their stored forms.

#include "app/property_page.h"
#include "rfid/card_search_settings.h"

class QLabel;
class QListWidget;
class QPushButton;
class QScrollBar;

class CRFIDSettingDlg : public CPropertyPage {
  Q_OBJECT

 public:
  static CRFIDSettingDlg* Create() { return new CRFIDSettingDlg; }

  // The button handlers, as the buttons run them.
  void OnAdd();
  void OnRemove();
  void OnUp();
  void OnDown();
  void OnReset();
  void OnApply();

  const CCardSearchSettings& Settings() const { return m_settings; }
  QListWidget* SearchOrderList() const { return m_lstSearch; }
  QListWidget* AvailableList() const { return m_lstAvailable; }
  QPushButton* Button(const char* text) const;
  QScrollBar* RateSelector() const { return m_rateSelector; }
  // Why the tab does not show what is stored; empty while it does.
  QString StoreNote() const;

 protected:
  CRFIDSettingDlg();
  bool OnInitDialog() override;

 private:
  void OnAvailableSelectionChanged();
  void OnSearchSelectionChanged();
  void OnRateSelectorScrolled(int line);
  void ScrollRateSelector(std::uint8_t code);
  void FillList(QListWidget* list, const std::vector<std::string>& keywords);
  void ShowSavedState();
  void SetChanged(bool changed);
  void ReportWriteFailure(const SettingWriteFailure& failure);
  void ShowStoreNote(const std::string& note);

  CCardSearchSettings m_settings;
  QListWidget* m_lstSearch;
  QListWidget* m_lstAvailable;
  QPushButton* m_btnUp;
  QPushButton* m_btnDown;
  QPushButton* m_btnAdd;
  QPushButton* m_btnRemove;
  QPushButton* m_btnApply;
  QPushButton* m_btnReset;
  QScrollBar* m_rateSelector;
  QLabel* m_lblStore;
};
