#include "rfid/prox_settings.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "platform/services.h"
#include "platform/text.h"
#include "rfid/rfid_settings.h"
#include "rfid/settings_messages.h"

CProxSettings::CProxSettings() : CPropertyPage(QStringLiteral("Settings for Prox")), m_group(new QButtonGroup(this)) {
  auto* formats = new QGroupBox(QStringLiteral("ATR decoding format"), this);
  auto* grid = new QGridLayout(formats);
  constexpr int kRowsPerColumn = 4;
  for (std::size_t i = 0; i < g_proxFormats.size(); ++i) {
    m_radios[i] = new QRadioButton(QString::fromUtf8(g_proxFormats[i].label), formats);
    m_group->addButton(m_radios[i], static_cast<int>(i));
    grid->addWidget(m_radios[i], static_cast<int>(i) % kRowsPerColumn, static_cast<int>(i) / kRowsPerColumn);
  }
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(formats);
  layout->addLayout(MakeApplyResetRow(this, [this] { OnApply(); }, [this] { OnReset(); }));
  layout->addStretch(1);
}

QString CProxSettings::CheckedFormat() const {
  const int checked = m_group->checkedId();
  return checked < 0 ? QString() : m_radios[static_cast<std::size_t>(checked)]->text();
}

void CProxSettings::CheckValue(std::uint32_t value) {
  const auto row = ProxFormatRow(value);
  // A value the table lacks checks nothing.
  m_group->setExclusive(false);
  for (std::size_t i = 0; i < m_radios.size(); ++i) m_radios[i]->setChecked(row && *row == i);
  m_group->setExclusive(true);
}

bool CProxSettings::OnInitDialog() {
  m_dwProxFormat = ReadProxFormat();
  const auto row = ProxFormatRow(m_dwProxFormat);
  // No native window handle stands behind a page here: its id, or 0.
  const auto handle = static_cast<unsigned>(internalWinId());
  velkaro::OutputDebugString(velkaro::Format("CProxSettings::OnInitDialog: m_dwProxFormat: %08x, uiButtonID: %08x, m_hWnd: %08x",
                                             m_dwProxFormat, row ? g_proxFormats[*row].controlId : 0u, handle));
  CheckValue(m_dwProxFormat);
  return true;
}

void CProxSettings::StoreOrTell() {
  if (WriteProxFormat(m_dwProxFormat)) return;
  velkaro::ShowMessageBox(ValueWriteFailure(kTessaroKey, kProxFormatValue), kSettingsCaption,
                          velkaro::MB_ICONERROR | velkaro::MB_OK);
  // Show what is stored, not what could not be stored.
  m_dwProxFormat = ReadProxFormat();
  CheckValue(m_dwProxFormat);
}

void CProxSettings::OnApply() {
  const int checked = m_group->checkedId();
  if (checked < 0) return;  // nothing chosen: the stored value stays
  m_dwProxFormat = g_proxFormats[static_cast<std::size_t>(checked)].value;
  StoreOrTell();
}

void CProxSettings::OnReset() {
  m_dwProxFormat = kProxFormatAuto;
  CheckValue(m_dwProxFormat);
  StoreOrTell();
}
