#pragma once
// "ATR details": what each byte of a card's ATR means, beside the protocol
// and TA1 the driver reports, so a card that offers one thing and a reader
// that uses another can be told apart at a glance. Filled from the values a
// reader tab already holds; it asks pcscd nothing.

#include <QDialog>
#include <functional>
#include <string>

#include "card/atr_breakdown.h"

class QAction;
class QPlainTextEdit;
class QPushButton;

struct AtrDetailsValues {
  std::string reader;
  std::string atr;  // as the tab shows it: hex bytes
  AtrDriverValues driver;
};

class CAtrDetailsDlg : public QDialog {
  Q_OBJECT

 public:
  CAtrDetailsDlg(const AtrDetailsValues& values, QWidget* parent);

  // Everything the window shows, as "Copy" puts it on the clipboard.
  const QString& Text() const { return m_strText; }
  QPlainTextEdit* View() const { return m_view; }
  QPushButton* CopyButton() const { return m_btnCopy; }

 private:
  QString m_strText;
  QPlainTextEdit* m_view = nullptr;
  QPushButton* m_btnCopy = nullptr;
};

// Adds "ATR details..." to the context menu of a tab's ATR box (reached with
// the menu key as well as the mouse, so the tab's layout and tab order stay
// as they are). `values` is asked when it is chosen. The tab enables the
// action while it shows a card.
QAction* AddAtrDetailsAction(QPlainTextEdit* box, std::function<AtrDetailsValues()> values);
