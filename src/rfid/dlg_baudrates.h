#pragma once
// The "RFID baudrate settings" tab: the maximum rate of ISO 14443 type A and
// type B cards, or the driver's default.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "app/property_page.h"

class QButtonGroup;
class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;

class CDlgBaudrates : public CPropertyPage {
  Q_OBJECT

 public:
  static CDlgBaudrates* Create() { return new CDlgBaudrates; }

  void OnApply();
  void OnReset();

  QComboBox* TypeList() const { return m_cboTypes; }
  // The checked button's text; empty when none is checked.
  QString CheckedRate() const;
  QRadioButton* RateButton(int row) const { return m_radios.at(static_cast<std::size_t>(row)); }
  std::uint8_t StoredCode(int type) const { return m_abCodes.at(static_cast<std::size_t>(type)); }
  // Why the tab does not show what is stored; empty while it does.
  QString StoreNote() const;

 protected:
  CDlgBaudrates();
  bool OnInitDialog() override;

 private:
  // Nothing when the store could be read, else why not (the codes stay).
  std::optional<std::string> LoadCodes();
  void ShowStoreNote(const std::string& note);
  void OnTypeChanged();
  void CheckStoredValue(std::uint8_t stored);

  std::array<std::uint8_t, 2> m_abCodes{};
  QComboBox* m_cboTypes;
  std::array<QRadioButton*, 5> m_radios{};
  QButtonGroup* m_group;
  QLabel* m_lblStore;
  bool m_bLoaded = false;  // m_abCodes hold what is stored
};
