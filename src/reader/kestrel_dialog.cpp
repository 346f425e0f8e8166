#include "reader/kestrel_dialog.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "platform/services.h"
#include "reader/atr_details_dlg.h"
#include "reader/reader_dialog.h"

CKestrel::CKestrel() : CPropertyPage(QString()), m_session(std::make_shared<CKestrelSession>()) {
  auto* layout = new QVBoxLayout(this);
  const auto value = [this](QWidget* parent, CFieldView::Field field) { return m_view.AddLabel(parent, field); };

  QFormLayout* readerForm = CFieldView::AddReaderGroup(this, layout);
  readerForm->addRow(QStringLiteral("Status :"), value(this, &CReaderFields::m_strStatus));
  readerForm->addRow(QStringLiteral("FW :"), value(this, &CReaderFields::m_strFirmware));
  readerForm->addRow(QStringLiteral("Lib:"), value(this, &CReaderFields::m_strLibrary));
  readerForm->addRow(QStringLiteral("Port :"), value(this, &CReaderFields::m_strPort));
  readerForm->addRow(QStringLiteral("CT-API Port (ptn)"), value(this, &CReaderFields::m_strCtApiPort));

  auto* cardGroup = new QGroupBox(QStringLiteral("Inserted Smart Card"), this);
  auto* cardForm = new QFormLayout(cardGroup);
  cardForm->addRow(QStringLiteral("Smart Card Name:"), value(cardGroup, &CReaderFields::m_strCardName));
  QPlainTextEdit* atrBox = m_view.AddBox(cardGroup, &CReaderFields::m_strATR);
  cardForm->addRow(QStringLiteral("ATR:"), atrBox);
  // The reader reports no TA1 here: only its protocol ("T=CL") stands beside the ATR's.
  m_actAtrDetails = AddAtrDetailsAction(atrBox, [this] {
    const CReaderFields fields = m_session->Fields();
    return AtrDetailsValues{m_session->ReaderName(), fields.m_strATR, {fields.m_strProtocol, std::nullopt}};
  });
  cardForm->addRow(QStringLiteral("Protocol : "), value(cardGroup, &CReaderFields::m_strProtocol));
  auto* speedRow = new QHBoxLayout;
  m_cboAirSpeed = new QComboBox(cardGroup);
  m_btnApply = new QPushButton(QStringLiteral("&Apply"), cardGroup);
  m_btnApply->setEnabled(false);
  speedRow->addWidget(m_cboAirSpeed);
  speedRow->addWidget(m_btnApply);
  speedRow->addStretch(1);
  cardForm->addRow(QStringLiteral("Air Speed (kBd):"), speedRow);
  layout->addWidget(cardGroup);
  layout->addStretch(1);

  connect(m_cboAirSpeed, &QComboBox::currentIndexChanged, this, [this] { OnAirSpeedChanged(); });
  connect(m_btnApply, &QPushButton::clicked, this, [this] { OnApply(); });
}

CKestrel::~CKestrel() {
  // Never waits: a thread that a driver holds keeps the session, not the
  // page, and calls into the page no more.
  m_session->Stop();
}

bool CKestrel::OnInitDialog() {
  // Changes and reader facts come from the monitor thread; the facts go
  // ahead of the first change.
  const bool started = m_session->Initialise(PostingTo([this] { OnCommand(ID_CARD_STATUS_CHANGED, 0); }),
                                             PostingTo([this] { UpdateData(); }),
                                             PostingTo([this] { OnCommand(ID_READER_FACTS_READY, 0); }));
  if (!started) return false;
  {
    const QSignalBlocker quiet(m_cboAirSpeed);
    for (const int kbd : kAirSpeedKbd) m_cboAirSpeed->addItem(QString::number(kbd));
    m_cboAirSpeed->setCurrentIndex(0);
    m_cboAirSpeed->setEnabled(false);  // until the monitor thread has read the store
  }
  UpdateData();
  return true;
}

void CKestrel::OnCommand(int id, int /*parameter*/) {
  // The card update has run on the monitor thread: only its texts are left.
  if (id == ID_CARD_STATUS_CHANGED) {
    ++m_nCardUpdatesShown;
    UpdateData();
  }
  if (id == ID_READER_FACTS_READY) {
    const bool loaded = m_session->AirSpeedLoaded();
    m_session->ApplyReaderFacts();
    if (!loaded && m_session->AirSpeedLoaded()) {
      const QSignalBlocker quiet(m_cboAirSpeed);
      if (m_session->AirSpeedReadable()) m_cboAirSpeed->setCurrentIndex(m_session->AirSpeed());
      m_cboAirSpeed->setEnabled(m_session->AirSpeedReadable());
    }
  }
}

void CKestrel::OnAirSpeedChanged() { m_btnApply->setEnabled(m_cboAirSpeed->currentIndex() != m_session->AirSpeed()); }

void CKestrel::OnApply() {
  long result = 0;
  if (!m_session->WriteAirSpeed(m_cboAirSpeed->currentIndex(), &result)) {
    velkaro::ShowMessageBox(AirSpeedWriteFailure(result), "Diagnostic Tool", velkaro::MB_OK | velkaro::MB_ICONSTOP);
    const QSignalBlocker quiet(m_cboAirSpeed);
    m_cboAirSpeed->setCurrentIndex(m_session->AirSpeed());
  }
  m_btnApply->setEnabled(false);
}

void CKestrel::UpdateData() {
  const CReaderFields fields = m_session->Fields();
  m_view.Update(fields);
  m_actAtrDetails->setEnabled(!fields.m_strATR.empty());
}
