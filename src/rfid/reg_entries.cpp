#include "rfid/reg_entries.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

CRegEntries::CRegEntries(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), m_edtText(new QPlainTextEdit(this)) {
  setWindowTitle(QStringLiteral("Dialog"));
  setModal(false);
  setAttribute(Qt::WA_DeleteOnClose);
  resize(420, 550);

  m_edtText->setReadOnly(true);
  m_edtText->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_edtText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_edtText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // Register pairs stand in columns only in a fixed-pitch font.
  m_edtText->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

  auto* close = new QPushButton(QStringLiteral("Close"), this);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(close);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_edtText, 1);
  layout->addLayout(buttons);
}

void CRegEntries::FormatDump(std::span<const CAntennaBuffer> antennas) {
  m_strText = ::FormatDump(antennas);
  // Shown as plain text: the bytes come from the reader.
  m_edtText->setPlainText(QString::fromStdString(m_strText).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}
