#pragma once
// The tab of one reader: the reader's facts and the card in it, kept up to
// date by the session's card-status monitor.

#include <memory>

#include "app/property_page.h"
#include "reader/field_view.h"
#include "reader/reader_session.h"

class QAction;
class QLabel;
struct ReaderModel;

// Page command: the monitor saw a change of the card status.
inline constexpr int ID_CARD_STATUS_CHANGED = 4003;
// Page command: the monitor thread has gathered the reader's facts.
inline constexpr int ID_READER_FACTS_READY = 4004;

class CReaderDialog : public CPropertyPage, public IRegisterViewPage {
  Q_OBJECT

 public:
  static CReaderDialog* Create() { return new CReaderDialog; }
  ~CReaderDialog() override;

  void SetReaderName(const std::string& name);
  // Columns 1 to 5 of the model row; without a row only column 1, as 1.
  void SetModelFlags(const ReaderModel* row);
  void SetCardNames(std::shared_ptr<const CCardNames> names) { m_session->SetCardNames(std::move(names)); }

  // Page commands; 4003 shows the texts of a card update the monitor thread
  // has run (parameter 1: without redraw), 4004 shows the reader facts.
  void OnCommand(int id, int parameter);
  // How many card updates the page has shown; when it equals the session's
  // posted count, no update is under way and the texts are final.
  int CardUpdatesShown() const { return m_nCardUpdatesShown; }

  // "RFID registers": reads the registers off the user-interface thread,
  // then opens one more register view with them, or shows the notice that
  // says why there are none. For the log, keeps the dump in m_strRegDump
  // instead and shows nothing.
  void ReadRegisterDump(bool forLog) override;
  const std::string& RegDump() const { return m_strRegDump; }

  CReaderSession& Session() { return *m_session; }
  CReaderFields Fields() const { return m_session->Fields(); }

  // The shown value of a field (tests read the screen through it).
  QString ShownText(const std::string CReaderFields::*field) const;
  QWidget* ValueWidget(const std::string CReaderFields::*field) const { return m_view.Widget(field); }
  bool IsLabelVisible(int labelId) const;
  QString LabelText(int labelId) const;

  // Labels that change with the reader's kind.
  static constexpr int IDC_TA1_IN_USE_LABEL = 1014;
  static constexpr int IDC_TA1_LABEL = 1019;
  static constexpr int IDC_VOLTAGE_LABEL = 1047;

 protected:
  CReaderDialog();
  bool OnInitDialog() override;

 private:
  // Copies the fields into the controls.
  void UpdateData();
  void OnRegistersRead(bool forLog, const CRegisterRead& read);

  std::string m_strRegDump;
  std::shared_ptr<CReaderSession> m_session;  // shared with its threads, which may outlive the page
  CFieldView m_view;
  QLabel* m_lblTa1InUse = nullptr;
  QLabel* m_lblTa1 = nullptr;
  QLabel* m_lblVoltage = nullptr;
  QLabel* m_stcTa1 = nullptr;
  QLabel* m_stcVoltage = nullptr;
  QLabel* m_stcSubProtocol = nullptr;
  QAction* m_actAtrDetails = nullptr;
  int m_nCardUpdatesShown = 0;
};
