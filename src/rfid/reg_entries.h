#pragma once
// The register view: a reader's RFID register dump in a window of its own,
// in a fixed-pitch font, closed by "Close" or Escape. Modeless; each use of
// "RFID registers" opens one more, and each keeps its text. It opens wide and
// tall enough for its text where the screen allows, and scrolls otherwise.

#include <QDialog>
#include <span>
#include <string>

#include "rfid/register_dump.h"

class QHBoxLayout;
class QPlainTextEdit;

class CRegEntries : public QDialog {
  Q_OBJECT

 public:
  // Created hidden; the view deletes itself when it is closed.
  explicit CRegEntries(QWidget* parent = nullptr);

  // Builds the dump text of the antennas, shows it and sizes the view to it.
  void FormatDump(std::span<const CAntennaBuffer> antennas);

  const std::string& Text() const { return m_strText; }
  QPlainTextEdit* TextField() const { return m_edtText; }

 private:
  void FitToText();

  QPlainTextEdit* m_edtText;
  QHBoxLayout* m_buttons;
  std::string m_strText;
};
