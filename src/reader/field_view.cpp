#include "reader/field_view.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStyle>
#include <QTextCursor>

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
  // Nobody edits it, so it keeps no undo history (which would grow with
  // every card); an ATR is hexadecimal digits and spaces, with nothing to
  // shape.
  box->setUndoRedoEnabled(false);
  QFont font = box->font();
  font.setStyleStrategy(QFont::PreferNoShaping);
  box->setFont(font);
  box->setMaximumHeight(box->fontMetrics().lineSpacing() * 3 + 12);
  m_values.push_back({field, box});
  return box;
}

void CFieldView::Update(const CReaderFields& fields, const CReaderFields& notes) const {
  // A new ATR is painted at once, before the labels: it is what the user
  // waits for when a card goes in, and its box keeps its size whatever it
  // holds, so it needs no new layout first.
  for (const Value& v : m_values) {
    auto* box = qobject_cast<QPlainTextEdit*>(v.widget);
    if (!box) continue;
    const QString text = ShownOutsideText(fields.*(v.field));
    if (box->toPlainText() == text) continue;
    QTextCursor all(box->document());
    all.select(QTextCursor::Document);
    all.insertText(text);
    box->viewport()->repaint();
  }
  for (const Value& v : m_values) {
    if (auto* label = qobject_cast<QLabel*>(v.widget)) {
      const QString text = ShownOutsideText(fields.*(v.field));
      label->setText(text);
      // A screen reader tells the note where the tooltip shows it.
      const QString note = QString::fromStdString(notes.*(v.field));
      if (label->toolTip() != note) {
        label->setToolTip(note);
        label->setAccessibleDescription(note);
      }
    }
  }
}

QWidget* CFieldView::Widget(Field field) const {
  for (const Value& v : m_values) {
    if (v.field == field) return v.widget;
  }
  return nullptr;
}

QString CFieldView::ShownText(Field field) const {
  for (const Value& v : m_values) {
    if (v.field != field) continue;
    if (auto* label = qobject_cast<QLabel*>(v.widget)) return label->text();
    if (auto* box = qobject_cast<QPlainTextEdit*>(v.widget)) return box->toPlainText();
  }
  return {};
}
