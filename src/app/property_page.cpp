#include "app/property_page.h"

#include <QLabel>

QLabel* MakeValueLabel(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

QLabel* MakeCaptionLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setText(text);
  return label;
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
