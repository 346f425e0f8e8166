#include "rfid/prox_settings.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
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
  m_lblStore = MakeValueLabel(this);
  m_lblStore->setWordWrap(true);
  m_lblStore->hide();
  layout->addWidget(m_lblStore);
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

QString CProxSettings::StoreNote() const { return m_lblStore->text(); }

void CProxSettings::ShowStoreNote(const std::string& note) {
  m_lblStore->setText(QString::fromStdString(note));
  m_lblStore->setVisible(!note.empty());
}

bool CProxSettings::OnInitDialog() {
  std::string why;
  m_dwProxFormat = ReadProxFormat(&why);
  // Unread, the 0 is no stored "Raw": no button is checked.
  const auto row = why.empty() ? ProxFormatRow(m_dwProxFormat) : std::nullopt;
  // No native window handle stands behind a page here: its id, or 0.
  const auto handle = static_cast<unsigned>(internalWinId());
  velkaro::OutputDebugString(velkaro::Format("CProxSettings::OnInitDialog: m_dwProxFormat: %08x, uiButtonID: %08x, m_hWnd: %08x",
                                             m_dwProxFormat, row ? g_proxFormats[*row].controlId : 0u, handle));
  if (why.empty()) {
    CheckValue(m_dwProxFormat);
  } else {
    ShowStoreNote(UnreadableNote("format", why));
  }
  return true;
}

void CProxSettings::StoreOrTell() {
  std::string why;
  if (WriteProxFormat(m_dwProxFormat, &why)) {
    ShowStoreNote("");
    return;
  }
  velkaro::ShowMessageBox(ValueWriteFailure({kTessaroKey, kProxFormatValue, why}), kSettingsCaption,
                          velkaro::MB_ICONERROR | velkaro::MB_OK);
  std::string unreadable;
  const std::uint32_t stored = ReadProxFormat(&unreadable);
  if (!unreadable.empty()) {
    // Nothing stored to show instead: the buttons keep the choice.
    ShowStoreNote(UnsavedChoiceNote("format", unreadable));
    return;
  }
  // Show what is stored, not what could not be stored.
  ShowStoreNote("");
  m_dwProxFormat = stored;
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
