#include "rfid/dlg_baudrates.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "platform/services.h"
#include "rfid/rfid_settings.h"
#include "rfid/settings_messages.h"

namespace {

// The radio buttons from top to bottom, with the value each stores.
struct RateButton {
  const char* text;
  std::uint32_t stored;
};
constexpr std::array<RateButton, 5> kRateButtons = {{
    {"106 kbaud", 0},
    {"212 kbaud", 1},
    {"424 kbaud", 2},
    {"848 kbaud", 3},
    {"default", 255},
}};
constexpr std::size_t kDefaultRow = 4;
// A stored value that no button stands for.
constexpr std::uint8_t kNoButton = 0xFE;

}  // namespace

CDlgBaudrates::CDlgBaudrates()
    : CPropertyPage(QStringLiteral("RFID Baudrate Settings")), m_cboTypes(new QComboBox(this)),
      m_group(new QButtonGroup(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(MakeCaptionLabel(QStringLiteral("Available cards"), this));
  layout->addWidget(m_cboTypes);
  auto* rates = new QGroupBox(QStringLiteral("Baudrate"), this);
  auto* rateColumn = new QVBoxLayout(rates);
  for (std::size_t i = 0; i < kRateButtons.size(); ++i) {
    m_radios[i] = new QRadioButton(QString::fromUtf8(kRateButtons[i].text), rates);
    m_group->addButton(m_radios[i], static_cast<int>(i));
    rateColumn->addWidget(m_radios[i]);
  }
  layout->addWidget(rates);
  m_lblStore = MakeValueLabel(this);
  m_lblStore->setWordWrap(true);
  m_lblStore->hide();
  layout->addWidget(m_lblStore);
  layout->addLayout(MakeApplyResetRow(this, [this] { OnApply(); }, [this] { OnReset(); }));
  layout->addStretch(1);

  connect(m_cboTypes, &QComboBox::currentIndexChanged, this, [this] { OnTypeChanged(); });
}

bool CDlgBaudrates::OnInitDialog() {
  {
    const QSignalBlocker quiet(m_cboTypes);
    for (const char* type : g_aszIso14443Types) m_cboTypes->addItem(QString::fromUtf8(type));
    m_cboTypes->setCurrentIndex(-1);
  }
  if (const auto why = LoadCodes()) ShowStoreNote(UnreadableNote("maximum rates", *why));
  return true;
}

std::optional<std::string> CDlgBaudrates::LoadCodes() {
  std::array<std::uint8_t, 2> codes{0, 0};
  for (std::size_t i = 0; i < g_aszIso14443Types.size(); ++i) {
    std::uint32_t stored = 0;
    if (ReadRegDword(kRateKey, g_aszIso14443Types[i], stored)) {
      codes[i] = static_cast<std::uint8_t>(stored);
      continue;
    }
    // A missing value or one of another type reads as 0; a store that
    // cannot be read says nothing about either value.
    if (auto why = SettingsStoreFailure()) {
      m_bLoaded = false;
      return why;
    }
    break;
  }
  m_abCodes = codes;
  m_bLoaded = true;
  return std::nullopt;
}

QString CDlgBaudrates::StoreNote() const { return m_lblStore->text(); }

void CDlgBaudrates::ShowStoreNote(const std::string& note) {
  m_lblStore->setText(QString::fromStdString(note));
  m_lblStore->setVisible(!note.empty());
}

QString CDlgBaudrates::CheckedRate() const {
  for (const QRadioButton* radio : m_radios) {
    if (radio->isChecked()) return radio->text();
  }
  return {};
}

void CDlgBaudrates::CheckStoredValue(std::uint8_t stored) {
  // A group that allows no check at all for a moment: an unknown value
  // clears every button.
  m_group->setExclusive(false);
  for (std::size_t i = 0; i < kRateButtons.size(); ++i) {
    const bool isDefault = i == kDefaultRow && (stored == 5 || stored == 255);
    m_radios[i]->setChecked(isDefault || (i < kDefaultRow && kRateButtons[i].stored == stored));
  }
  m_group->setExclusive(true);
}

void CDlgBaudrates::OnTypeChanged() {
  const std::string text = m_cboTypes->currentText().toStdString();
  for (std::size_t i = 0; i < g_aszIso14443Types.size(); ++i) {
    // Unknown codes check nothing rather than "106 kbaud".
    if (text == g_aszIso14443Types[i]) CheckStoredValue(m_bLoaded ? m_abCodes[i] : kNoButton);
  }
}

void CDlgBaudrates::OnApply() {
  const std::string text = m_cboTypes->currentText().toStdString();
  const int checked = m_group->checkedId();
  for (std::size_t i = 0; i < g_aszIso14443Types.size(); ++i) {
    if (text != g_aszIso14443Types[i]) continue;
    // A type whose stored value no button stands for, with no button
    // chosen since: nothing to store.
    if (checked < 0) return;
    const std::uint32_t value = kRateButtons[static_cast<std::size_t>(checked)].stored;
    std::string why;
    if (WriteRegDword(kRateKey, g_aszIso14443Types[i], value, &why)) {
      m_abCodes[i] = static_cast<std::uint8_t>(value);
      // Until the store could be read, the other type's value is unknown.
      if (!m_bLoaded && LoadCodes()) return;
      ShowStoreNote("");
      return;
    }
    velkaro::ShowMessageBox(ValueWriteFailure({kRateKey, g_aszIso14443Types[i], why}), kSettingsCaption,
                            velkaro::MB_ICONERROR | velkaro::MB_OK);
    if (const auto unreadable = LoadCodes()) {
      // Nothing stored to show instead: the buttons keep the choice.
      ShowStoreNote(UnsavedChoiceNote("maximum rates", *unreadable));
      return;
    }
    // Show what is stored, not what could not be stored.
    ShowStoreNote("");
    CheckStoredValue(m_abCodes[i]);
    return;
  }
}

void CDlgBaudrates::OnReset() {
  CheckStoredValue(255);
  repaint();
  OnApply();
}
