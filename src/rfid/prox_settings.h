#pragma once
// The "Proxcard settings" tab: how the reader driver turns a proximity card's
// data into its ATR.

#include <array>
#include <cstdint>
#include <string>

#include "app/property_page.h"
#include "rfid/prox_settings_store.h"

class QButtonGroup;
class QLabel;
class QRadioButton;

class CProxSettings : public CPropertyPage {
  Q_OBJECT

 public:
  static CProxSettings* Create() { return new CProxSettings; }

  void OnApply();
  void OnReset();

  std::uint32_t ProxFormatValue() const { return m_dwProxFormat; }
  QRadioButton* FormatButton(std::size_t row) const { return m_radios.at(row); }
  // The checked button's text; empty when none is checked.
  QString CheckedFormat() const;
  // Why the tab does not show what is stored; empty while it does.
  QString StoreNote() const;

 protected:
  CProxSettings();
  bool OnInitDialog() override;

 private:
  void CheckValue(std::uint32_t value);
  void StoreOrTell();
  void ShowStoreNote(const std::string& note);

  std::uint32_t m_dwProxFormat = 0;
  std::array<QRadioButton*, g_proxFormats.size()> m_radios{};
  QButtonGroup* m_group;
  QLabel* m_lblStore;
};
