#include "app/property_page.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "platform/text.h"

QLabel* MakeValueLabel(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

QString ShownOutsideText(const std::string& text) { return QString::fromStdString(velkaro::EscapeControls(text)); }

QLabel* MakeCaptionLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setText(text);
  return label;
}

QHBoxLayout* MakeApplyResetRow(QWidget* page, std::function<void()> apply, std::function<void()> reset) {
  auto* applyButton = new QPushButton(QStringLiteral("Apply"), page);
  auto* resetButton = new QPushButton(QStringLiteral("Reset"), page);
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  row->addWidget(applyButton);
  row->addWidget(resetButton);
  QObject::connect(applyButton, &QPushButton::clicked, page, std::move(apply));
  QObject::connect(resetButton, &QPushButton::clicked, page, std::move(reset));
  return row;
}

std::function<void()> CPropertyPage::PostingTo(std::function<void()> command) {
  return [this, command = std::move(command)] { QMetaObject::invokeMethod(this, command, Qt::QueuedConnection); };
}

CPropertyPage::CPropertyPage(const QString& caption, QWidget* parent) : QWidget(parent), m_strCaption(caption) {}

CPropertyPage::~CPropertyPage() = default;

bool CPropertyPage::EnsureInitialised() {
  if (!m_bInitialised) {
    m_bInitialised = true;
    m_bInitResult = OnInitDialog();
  }
  return m_bInitResult;
}
