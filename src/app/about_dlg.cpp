#include "app/about_dlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
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
  m_stcSetupPath->setText(QString::fromStdString(about::SetupPathLine()));
}
