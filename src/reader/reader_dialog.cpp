#include "reader/reader_dialog.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStyle>
#include <QVBoxLayout>
#include <memory>
#include <mutex>

#include "card/reader_models.h"
#include "reader/atr_details_dlg.h"
#include "platform/services.h"
#include "res/strings.h"
#include "rfid/reg_entries.h"

CReaderDialog::CReaderDialog()
    : CPropertyPage(QStringLiteral("ReaderNameX")), m_session(std::make_shared<CReaderSession>()) {
  auto* layout = new QVBoxLayout(this);

  const auto value = [this](const std::string CReaderFields::*field) { return m_view.AddLabel(this, field); };

  QFormLayout* readerForm = CFieldView::AddReaderGroup(this, layout);
  readerForm->addRow(QStringLiteral("Status :"), value(&CReaderFields::m_strStatus));
  readerForm->addRow(QStringLiteral("FW :"), value(&CReaderFields::m_strFirmware));
  readerForm->addRow(QStringLiteral("Lib:"), value(&CReaderFields::m_strLibrary));
  readerForm->addRow(QStringLiteral("Port :"), value(&CReaderFields::m_strPort));
  readerForm->addRow(QStringLiteral("CT-API Port (ptn)"), value(&CReaderFields::m_strCtApiPort));
  readerForm->addRow(QStringLiteral("Serial Number:"), value(&CReaderFields::m_strSerialNumber));

  auto* cardGroup = new QGroupBox(QStringLiteral("Inserted Smart Card"), this);
  auto* cardForm = new QFormLayout(cardGroup);
  cardForm->addRow(QStringLiteral("Smart Card Name:"), value(&CReaderFields::m_strCardName));
  QPlainTextEdit* atrBox = m_view.AddBox(cardGroup, &CReaderFields::m_strATR);
  cardForm->addRow(QStringLiteral("ATR:"), atrBox);
  m_actAtrDetails = AddAtrDetailsAction(atrBox, [this] {
    const CReaderFields fields = m_session->Fields();
    // A contactless tab shows data rates where a contact tab shows TA1.
    return AtrDetailsValues{m_session->ReaderName(), fields.m_strATR,
                            {fields.m_strProtocol, m_session->IsContactless()
                                                       ? std::nullopt
                                                       : std::optional<std::string>(fields.m_strTA1InUse)}};
  });
  cardForm->addRow(QStringLiteral("Protocol : "), value(&CReaderFields::m_strProtocol));
  m_stcSubProtocol = value(&CReaderFields::m_strSubProtocol);
  cardForm->addRow(QString(), m_stcSubProtocol);
  m_lblTa1InUse = MakeCaptionLabel(QStringLiteral("TA1 in use:"), cardGroup);
  cardForm->addRow(m_lblTa1InUse, value(&CReaderFields::m_strTA1InUse));
  m_lblTa1 = MakeCaptionLabel(QStringLiteral("TA1:"), cardGroup);
  m_stcTa1 = value(&CReaderFields::m_strTA1);
  cardForm->addRow(m_lblTa1, m_stcTa1);
  cardForm->addRow(QStringLiteral("Frequ. :"), value(&CReaderFields::m_strFrequency));
  m_lblVoltage = MakeCaptionLabel(QStringLiteral("Voltage:"), cardGroup);
  m_stcVoltage = value(&CReaderFields::m_strVoltage);
  cardForm->addRow(m_lblVoltage, m_stcVoltage);
  layout->addWidget(cardGroup);
  layout->addStretch(1);
}

CReaderDialog::~CReaderDialog() {
  // Never waits: a thread that a driver holds keeps the session, not the
  // page, and calls into the page no more.
  m_session->Stop();
}

void CReaderDialog::SetReaderName(const std::string& name) { m_session->SetReaderName(name); }

void CReaderDialog::SetModelFlags(const ReaderModel* row) {
  CReaderModelFlags& flags = m_session->ModelFlags();
  if (!row) {
    flags = CReaderModelFlags{1, 0, 0, 0, 0};
    return;
  }
  flags = CReaderModelFlags{row->column1, row->column2, row->column3, row->column4, row->column5};
}

bool CReaderDialog::OnInitDialog() {
  if (m_session->IsContactless()) {
    m_lblTa1InUse->setText(QStringLiteral("PICCtoPCD:"));
    m_lblTa1->setText(QStringLiteral("PCDtoPICC:"));
    m_lblVoltage->hide();
    m_stcVoltage->hide();
  } else {
    m_stcTa1->setEnabled(false);
    m_stcTa1->hide();
    m_lblTa1->hide();
    m_stcSubProtocol->hide();
  }
  // The monitor thread reads the facts and each change and posts what it
  // found; the facts go ahead of the first change.
  const bool started = m_session->Initialise(PostingTo([this] { OnCommand(ID_CARD_STATUS_CHANGED, 0); }),
                                             PostingTo([this] { UpdateData(); }),
                                             PostingTo([this] { OnCommand(ID_READER_FACTS_READY, 0); }));
  if (!started) return false;
  UpdateData();
  return true;
}

void CReaderDialog::OnCommand(int id, int parameter) {
  // The card update has run on the monitor thread: only its texts are left.
  if (id == ID_CARD_STATUS_CHANGED) {
    ++m_nCardUpdatesShown;
    if (parameter != 1) UpdateData();
  }
  if (id == ID_READER_FACTS_READY) m_session->ApplyReaderFacts();
}

void CReaderDialog::ReadRegisterDump(bool forLog) {
  // The page is the context: a read that ends after the page has gone shows
  // nothing. The bytes travel beside the post under a lock of their own, an
  // ordering that thread checkers can see (they cannot see into Qt's queue).
  struct Delivery {
    std::mutex lock;
    CRegisterRead read;
  };
  const auto delivery = std::make_shared<Delivery>();
  m_session->ReadRegistersInBackground([this, forLog, delivery](CRegisterRead read) {
    {
      const std::lock_guard lock(delivery->lock);
      delivery->read = std::move(read);
    }
    QMetaObject::invokeMethod(
        this,
        [this, forLog, delivery] {
          CRegisterRead arrived;
          {
            const std::lock_guard lock(delivery->lock);
            arrived = std::move(delivery->read);
          }
          OnRegistersRead(forLog, arrived);
        },
        Qt::QueuedConnection);
  });
}

void CReaderDialog::OnRegistersRead(bool forLog, const CRegisterRead& read) {
  if (forLog) {
    if (!read.failure) m_strRegDump = ::FormatDump(read.antennas);
    return;
  }
  if (read.failure) {
    velkaro::ShowMessageBox(read.failure, res::kCaptionNotice, velkaro::MB_ICONEXCLAMATION | velkaro::MB_OK);
    return;
  }
  // Owned by the main window, so an open view outlives its reader's tab.
  auto* view = new CRegEntries(window());
  view->FormatDump(read.antennas);
  view->setWindowTitle(QString::fromStdString(m_session->ReaderName()));
  view->show();
}

void CReaderDialog::UpdateData() {
  const CReaderFields fields = m_session->Fields();
  m_view.Update(fields, m_session->DriverNotes(fields));
  m_actAtrDetails->setEnabled(!fields.m_strATR.empty());
}

QString CReaderDialog::ShownText(const std::string CReaderFields::*field) const { return m_view.ShownText(field); }

bool CReaderDialog::IsLabelVisible(int labelId) const {
  switch (labelId) {
    case IDC_TA1_IN_USE_LABEL: return !m_lblTa1InUse->isHidden();
    case IDC_TA1_LABEL: return !m_lblTa1->isHidden();
    case IDC_VOLTAGE_LABEL: return !m_lblVoltage->isHidden();
    default: return false;
  }
}

QString CReaderDialog::LabelText(int labelId) const {
  switch (labelId) {
    case IDC_TA1_IN_USE_LABEL: return m_lblTa1InUse->text();
    case IDC_TA1_LABEL: return m_lblTa1->text();
    case IDC_VOLTAGE_LABEL: return m_lblVoltage->text();
    default: return {};
  }
}
