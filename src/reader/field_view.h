#pragma once
// The value controls of a reader tab, each tied to one of the page's texts.
// The texts come from drivers, cards and the configuration, so every control
// shows them as plain text.

#include <QString>
#include <string>
#include <vector>

#include "reader/reader_fields.h"

class QBoxLayout;
class QFormLayout;
class QLabel;
class QPlainTextEdit;
class QWidget;

class CFieldView {
 public:
  using Field = const std::string CReaderFields::*;

  // A selectable plain-text label for `field`.
  QLabel* AddLabel(QWidget* parent, Field field);
  // A read-only box of three lines for a long text (the ATR).
  QPlainTextEdit* AddBox(QWidget* parent, Field field);

  // The "Reader" group of a reader tab, added to `layout`: the reader's
  // icon beside a form that the caller fills.
  static QFormLayout* AddReaderGroup(QWidget* page, QBoxLayout* layout);

  // Copies the texts into the controls; a box whose text changed is painted
  // before this returns. Each label takes its note from `notes` as its
  // tooltip and accessible description (none where the note is empty).
  void Update(const CReaderFields& fields, const CReaderFields& notes = {}) const;
  // The shown text of a field (tests read the screen through it).
  QString ShownText(Field field) const;
  // The control of a field, or null.
  QWidget* Widget(Field field) const;

 private:
  struct Value {
    Field field;
    QWidget* widget;
  };
  std::vector<Value> m_values;
};
