#include "app/about_dlg.h"

#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "app/about_info.h"
#include "app/hyper_link.h"
#include "app/property_page.h"

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent), m_stcVersion(MakeValueLabel(this)), m_ctlLink(new CHyperLink(this)), m_stcNotice(MakeValueLabel(this)),
      m_stcSetupPath(MakeValueLabel(this)) {
  setWindowTitle(QStringLiteral("About..."));
  auto* picture = new QLabel(this);
  picture->setPixmap(QPixmap(QStringLiteral(":/velkaro/velkaro-diag.png")).scaled(48, 48, Qt::KeepAspectRatio,
                                                                                  Qt::SmoothTransformation));
  auto* texts = new QVBoxLayout;
  texts->addWidget(m_stcVersion);
  texts->addWidget(m_ctlLink, 0, Qt::AlignLeft);
  texts->addWidget(m_stcNotice);
  texts->addWidget(m_stcSetupPath);
  auto* row = new QHBoxLayout;
  row->addWidget(picture, 0, Qt::AlignTop);
  row->addLayout(texts, 1);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addWidget(buttons);

  m_stcVersion->setText(QString::fromStdString(about::ProgramLine()));
  m_ctlLink->setText(QString::fromUtf8(about::kVendorAddress));
  m_ctlLink->SetURL(about::kVendorAddress);
  m_stcNotice->setText(QString::fromUtf8(about::kNotice));
  ShowSetupPath(QString::fromStdString(about::SetupPathLine()));
}

void CAboutDlg::ShowSetupPath(const QString& line) {
  // A path from the store can be a thousand characters without a space to
  // wrap at: elided in the middle it keeps the box, and OK, on the screen;
  // the tooltip and the accessible description keep it whole.
  const QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
  const int widest = screen ? screen->availableGeometry().width() / 2 : 640;
  const QFontMetrics metrics(m_stcSetupPath->font());
  if (metrics.horizontalAdvance(line) <= widest) {
    m_stcSetupPath->setText(line);
    return;
  }
  m_stcSetupPath->setText(metrics.elidedText(line, Qt::ElideMiddle, widest));
  m_stcSetupPath->setToolTip(line);
  m_stcSetupPath->setAccessibleDescription(line);
}
