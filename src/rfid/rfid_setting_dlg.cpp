#include "rfid/rfid_setting_dlg.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>

#include "platform/services.h"
#include "platform/text.h"
#include "rfid/settings_messages.h"

namespace {

QPushButton* IconButton(QWidget* parent, QStyle::StandardPixmap icon, const QString& text) {
  auto* button = new QPushButton(parent->style()->standardIcon(icon), QString(), parent);
  button->setAccessibleName(text);
  button->setToolTip(text);
  button->setObjectName(text);
  button->setEnabled(false);
  return button;
}

std::vector<int> SelectedRows(const QListWidget* list) {
  std::vector<int> rows;
  for (int row = 0; row < list->count(); ++row) {
    if (list->item(row)->isSelected()) rows.push_back(row);
  }
  return rows;
}

std::vector<std::string> Keywords(const QListWidget* list) {
  std::vector<std::string> keywords;
  for (int row = 0; row < list->count(); ++row) keywords.push_back(list->item(row)->text().toStdString());
  return keywords;
}

bool Holds(const QListWidget* list, const std::string& keyword) {
  return !list->findItems(QString::fromStdString(keyword), Qt::MatchExactly | Qt::MatchCaseSensitive).isEmpty();
}

void Delete(QListWidget* list, const std::string& keyword) {
  for (QListWidgetItem* item : list->findItems(QString::fromStdString(keyword), Qt::MatchExactly | Qt::MatchCaseSensitive)) {
    delete item;
  }
}

}  // namespace

CRFIDSettingDlg::CRFIDSettingDlg()
    : CPropertyPage(QStringLiteral("RFID settings")), m_lstSearch(new QListWidget(this)),
      m_lstAvailable(new QListWidget(this)) {
  for (QListWidget* list : {m_lstSearch, m_lstAvailable}) list->setSelectionMode(QAbstractItemView::MultiSelection);
  m_btnUp = IconButton(this, QStyle::SP_ArrowUp, QStringLiteral("Up"));
  m_btnDown = IconButton(this, QStyle::SP_ArrowDown, QStringLiteral("Down"));
  m_btnAdd = IconButton(this, QStyle::SP_ArrowLeft, QStringLiteral("Add"));
  m_btnRemove = IconButton(this, QStyle::SP_ArrowRight, QStringLiteral("Remove"));
  m_btnApply = new QPushButton(QStringLiteral("Apply"), this);
  m_btnReset = new QPushButton(QStringLiteral("Reset"), this);
  m_btnApply->setEnabled(false);
  m_btnReset->setEnabled(false);

  auto* searchGroup = new QGroupBox(QStringLiteral("Search type and order"), this);
  (new QVBoxLayout(searchGroup))->addWidget(m_lstSearch);
  auto* availableGroup = new QGroupBox(QStringLiteral("Available cards"), this);
  (new QVBoxLayout(availableGroup))->addWidget(m_lstAvailable);
  auto* arrows = new QVBoxLayout;
  arrows->addStretch(1);
  for (QPushButton* button : {m_btnUp, m_btnDown, m_btnAdd, m_btnRemove}) arrows->addWidget(button);
  arrows->addStretch(1);
  auto* lists = new QHBoxLayout;
  lists->addWidget(searchGroup, 1);
  lists->addLayout(arrows);
  lists->addWidget(availableGroup, 1);

  // The rate selector takes part in the page's logic but is never shown.
  auto* rateGroup = new QGroupBox(QStringLiteral("Maximum Baudrate"), this);
  m_rateSelector = new QScrollBar(Qt::Vertical, rateGroup);
  m_rateSelector->setRange(0, 0);
  m_rateSelector->setEnabled(false);
  rateGroup->hide();

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(rateGroup);
  buttons->addStretch(1);
  buttons->addWidget(m_btnApply);
  buttons->addWidget(m_btnReset);
  m_lblStore = MakeValueLabel(this);
  m_lblStore->setWordWrap(true);
  m_lblStore->hide();
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(lists, 1);
  layout->addWidget(m_lblStore);
  layout->addLayout(buttons);

  connect(m_lstAvailable, &QListWidget::itemSelectionChanged, this, [this] { OnAvailableSelectionChanged(); });
  connect(m_lstSearch, &QListWidget::itemSelectionChanged, this, [this] { OnSearchSelectionChanged(); });
  connect(m_rateSelector, &QScrollBar::valueChanged, this, [this](int line) { OnRateSelectorScrolled(line); });
  connect(m_btnAdd, &QPushButton::clicked, this, [this] { OnAdd(); });
  connect(m_btnRemove, &QPushButton::clicked, this, [this] { OnRemove(); });
  connect(m_btnUp, &QPushButton::clicked, this, [this] { OnUp(); });
  connect(m_btnDown, &QPushButton::clicked, this, [this] { OnDown(); });
  connect(m_btnReset, &QPushButton::clicked, this, [this] { OnReset(); });
  connect(m_btnApply, &QPushButton::clicked, this, [this] { OnApply(); });
}

QPushButton* CRFIDSettingDlg::Button(const char* text) const {
  for (QPushButton* button : {m_btnUp, m_btnDown, m_btnAdd, m_btnRemove, m_btnApply, m_btnReset}) {
    if (button->objectName() == QLatin1String(text) || button->text() == QLatin1String(text)) return button;
  }
  return nullptr;
}

bool CRFIDSettingDlg::OnInitDialog() {
  std::string why;
  if (!m_settings.LoadCardSearch(&why)) {
    ShowStoreNote(UnreadableNote("search order", why));
    return true;
  }
  m_settings.BuildCardLists();
  if (!m_settings.LoadRateCodes() && !m_settings.LoadLegacyRateCodes()) m_settings.m_abRateCodes.assign(kIso14443TypeCount, 0);
  if (const auto failure = m_settings.SaveRateCodes()) ReportWriteFailure(*failure);
  FillList(m_lstAvailable, m_settings.m_lstAvailable);
  FillList(m_lstSearch, m_settings.m_lstSearchOrder);
  m_rateSelector->setRange(0, static_cast<int>(g_aszRateLabels.size()) - 1);
  return true;
}

QString CRFIDSettingDlg::StoreNote() const { return m_lblStore->text(); }

void CRFIDSettingDlg::ShowStoreNote(const std::string& note) {
  m_lblStore->setText(QString::fromStdString(note));
  m_lblStore->setVisible(!note.empty());
}

void CRFIDSettingDlg::FillList(QListWidget* list, const std::vector<std::string>& keywords) {
  const QSignalBlocker quiet(list);
  list->clear();
  for (const std::string& keyword : keywords) list->addItem(QString::fromStdString(keyword));
}

void CRFIDSettingDlg::SetChanged(bool changed) {
  m_btnApply->setEnabled(changed);
  m_btnReset->setEnabled(changed);
}

void CRFIDSettingDlg::ReportWriteFailure(const SettingWriteFailure& failure) {
  velkaro::ShowMessageBox(ValueWriteFailure(failure), kSettingsCaption, velkaro::MB_ICONERROR | velkaro::MB_OK);
}

void CRFIDSettingDlg::OnAvailableSelectionChanged() { m_btnAdd->setEnabled(!SelectedRows(m_lstAvailable).empty()); }

void CRFIDSettingDlg::ScrollRateSelector(std::uint8_t code) { m_rateSelector->setValue(code); }

void CRFIDSettingDlg::OnSearchSelectionChanged() {
  const std::vector<int> selected = SelectedRows(m_lstSearch);
  if (selected.empty()) {
    for (QWidget* control : {static_cast<QWidget*>(m_btnRemove), static_cast<QWidget*>(m_btnUp),
                             static_cast<QWidget*>(m_btnDown), static_cast<QWidget*>(m_rateSelector)}) {
      control->setEnabled(false);
    }
    return;
  }
  m_btnRemove->setEnabled(true);
  if (selected.size() == 1) {
    const int row = selected.front();
    m_btnDown->setEnabled(row != m_lstSearch->count() - 1);
    m_btnUp->setEnabled(row != 0);
    if (const auto index = RateIndexOf(m_lstSearch->item(row)->text().toStdString())) {
      m_settings.m_nRateIndex = *index;
      m_rateSelector->setEnabled(true);
      ScrollRateSelector(m_settings.RateCode(*index));
    }
    return;
  }
  m_btnUp->setEnabled(false);
  m_btnDown->setEnabled(false);
  m_rateSelector->setEnabled(false);
}

void CRFIDSettingDlg::OnRateSelectorScrolled(int line) {
  const auto index = m_settings.m_nRateIndex;
  if (!index || *index >= m_settings.m_abRateCodes.size()) return;
  if (line != m_settings.RateCode(*index)) SetChanged(true);
  m_settings.SetRateCode(*index, static_cast<std::uint8_t>(line));
}

void CRFIDSettingDlg::OnAdd() {
  {
    const QSignalBlocker quietAvailable(m_lstAvailable);
    const QSignalBlocker quietSearch(m_lstSearch);
    for (int row = 0; row < m_lstAvailable->count();) {
      if (!m_lstAvailable->item(row)->isSelected()) {
        ++row;
        continue;
      }
      m_lstSearch->addItem(m_lstAvailable->takeItem(row));
    }
  }
  m_btnAdd->setEnabled(false);
  if (SelectedRows(m_lstSearch).size() == 1) m_btnDown->setEnabled(true);
  SetChanged(true);
}

void CRFIDSettingDlg::OnRemove() {
  {
    const QSignalBlocker quietAvailable(m_lstAvailable);
    const QSignalBlocker quietSearch(m_lstSearch);
    for (int row = 0; row < m_lstSearch->count();) {
      if (!m_lstSearch->item(row)->isSelected()) {
        ++row;
        continue;
      }
      QListWidgetItem* item = m_lstSearch->takeItem(row);
      const std::string keyword = item->text().toStdString();
      m_lstAvailable->addItem(item);
      if (const auto index = RateIndexOf(keyword)) {
        m_settings.SetRateCode(*index, 0);
        m_settings.m_nRateIndex = *index;
      }
    }
  }
  for (QWidget* control : {static_cast<QWidget*>(m_btnRemove), static_cast<QWidget*>(m_btnDown),
                           static_cast<QWidget*>(m_btnUp), static_cast<QWidget*>(m_rateSelector)}) {
    control->setEnabled(false);
  }
  SetChanged(true);
}

void CRFIDSettingDlg::OnUp() {
  const std::vector<int> selected = SelectedRows(m_lstSearch);
  if (selected.size() != 1 || selected.front() == 0) return;
  const int row = selected.front();
  {
    const QSignalBlocker quiet(m_lstSearch);
    QListWidgetItem* item = m_lstSearch->takeItem(row);
    m_lstSearch->insertItem(row - 1, item);
    item->setSelected(true);
  }
  m_btnUp->setEnabled(row - 1 != 0);
  m_btnDown->setEnabled(true);
  SetChanged(true);
}

void CRFIDSettingDlg::OnDown() {
  const std::vector<int> selected = SelectedRows(m_lstSearch);
  if (selected.size() != 1 || selected.front() == m_lstSearch->count() - 1) return;
  const int row = selected.front();
  {
    const QSignalBlocker quiet(m_lstSearch);
    QListWidgetItem* item = m_lstSearch->takeItem(row);
    m_lstSearch->insertItem(row + 1, item);
    item->setSelected(true);
  }
  m_btnDown->setEnabled(row + 1 != m_lstSearch->count() - 1);
  m_btnUp->setEnabled(true);
  SetChanged(true);
}

void CRFIDSettingDlg::ShowSavedState() {
  {
    const QSignalBlocker quietAvailable(m_lstAvailable);
    const QSignalBlocker quietSearch(m_lstSearch);
    for (const std::string& keyword : m_settings.m_lstAvailable) {
      if (Holds(m_lstAvailable, keyword)) continue;
      m_lstAvailable->addItem(QString::fromStdString(keyword));
      Delete(m_lstSearch, keyword);
    }
    m_lstSearch->clear();
    for (const std::string& keyword : m_settings.m_lstSearchOrder) {
      m_lstSearch->addItem(QString::fromStdString(keyword));
      Delete(m_lstAvailable, keyword);
    }
  }
}

void CRFIDSettingDlg::OnReset() {
  ShowStoreNote("");
  ShowSavedState();
  if (!m_settings.LoadLegacyRateCodes()) m_settings.RestoreRateCodes();
  if (m_rateSelector->isEnabled() && m_settings.m_nRateIndex) {
    const QSignalBlocker quiet(m_rateSelector);
    ScrollRateSelector(m_settings.RateCode(*m_settings.m_nRateIndex));
  }
  for (QPushButton* button : {m_btnAdd, m_btnUp, m_btnDown, m_btnRemove, m_btnReset, m_btnApply}) {
    button->setEnabled(false);
  }
}

void CRFIDSettingDlg::OnApply() {
  const auto failure = m_settings.Apply(Keywords(m_lstSearch));
  if (!failure) {
    ShowStoreNote("");
    SetChanged(false);
    return;
  }
  ReportWriteFailure(*failure);
  std::string why;
  if (!m_settings.LoadCardSearch(&why)) {
    // Nothing to show in its place: the lists keep the choice, and Apply
    // stays to try again once the store can be read.
    ShowStoreNote(UnsavedChoiceNote("search order", why));
    SetChanged(true);
    return;
  }
  // Show what is stored rather than what was wished for.
  m_settings.BuildCardLists();
  if (!m_settings.LoadRateCodes()) m_settings.LoadLegacyRateCodes();
  ShowStoreNote("");
  ShowSavedState();
  for (QWidget* control : {static_cast<QWidget*>(m_btnAdd), static_cast<QWidget*>(m_btnRemove),
                           static_cast<QWidget*>(m_btnUp), static_cast<QWidget*>(m_btnDown),
                           static_cast<QWidget*>(m_rateSelector)}) {
    control->setEnabled(false);
  }
  SetChanged(false);
}
