#include "reader/field_view.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStyle>

#include "app/property_page.h"

QFormLayout* CFieldView::AddReaderGroup(QWidget* page, QBoxLayout* layout) {
  auto* group = new QGroupBox(QStringLiteral("Reader"), page);
  auto* row = new QHBoxLayout(group);
  auto* icon = new QLabel(group);
  icon->setPixmap(page->style()->standardIcon(QStyle::SP_DriveHDIcon).pixmap(32, 32));
  row->addWidget(icon, 0, Qt::AlignTop);
  auto* form = new QFormLayout;
  row->addLayout(form, 1);
  layout->addWidget(group);
  return form;
}

QLabel* CFieldView::AddLabel(QWidget* parent, Field field) {
  QLabel* label = MakeValueLabel(parent);
  m_values.push_back({field, label});
  return label;
}

QPlainTextEdit* CFieldView::AddBox(QWidget* parent, Field field) {
  auto* box = new QPlainTextEdit(parent);
  box->setReadOnly(true);
  box->setMaximumHeight(box->fontMetrics().lineSpacing() * 3 + 12);
  m_values.push_back({field, box});
  return box;
}

void CFieldView::Update(const CReaderFields& fields) const {
  for (const Value& v : m_values) {
    const QString text = QString::fromStdString(fields.*(v.field));
    if (auto* label = qobject_cast<QLabel*>(v.widget)) {
      label->setText(text);
    } else if (auto* box = qobject_cast<QPlainTextEdit*>(v.widget); box && box->toPlainText() != text) {
      box->setPlainText(text);
    }
  }
}

QString CFieldView::ShownText(Field field) const {
  for (const Value& v : m_values) {
    if (v.field != field) continue;
    if (auto* label = qobject_cast<QLabel*>(v.widget)) return label->text();
    if (auto* box = qobject_cast<QPlainTextEdit*>(v.widget)) return box->toPlainText();
  }
  return {};
}
