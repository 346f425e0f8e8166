#include "reader/atr_details_dlg.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <utility>
#include <vector>

#include "app/property_page.h"
#include "res/strings.h"

namespace {

struct Row {
  QString caption;
  std::vector<std::string> lines;  // from the driver or the card: shown as outside text
};

std::vector<Row> ComparisonRows(const AtrDetailsValues& values, const AtrText& parsed, const AtrSummary& summary) {
  const auto orNa = [](const std::string& text) { return text.empty() ? std::string(res::kNotAvailable) : text; };
  std::vector<Row> rows{{QStringLiteral("Reader:"), {values.reader}}, {QStringLiteral("ATR:"), {values.atr}}};
  rows.push_back({QStringLiteral("Protocol in use (driver):"), {orNa(values.driver.protocolInUse)}});
  if (!parsed.error.empty()) {
    rows.push_back({QStringLiteral("Decoded:"), {"the ATR text was not read: " + parsed.error}});
    return rows;
  }
  rows.push_back({QStringLiteral("Protocols offered (ATR):"), {AtrProtocolsOffered(summary)}});
  if (values.driver.ta1InUse) {
    rows.push_back({QStringLiteral("TA1 in use (driver):"), {orNa(*values.driver.ta1InUse)}});
  }
  rows.push_back({QStringLiteral("TA1 (ATR):"), {AtrTa1Text(summary)}});
  rows.push_back({QStringLiteral("Compared:"), CompareWithDriver(summary, values.driver)});
  return rows;
}

// Each line through the outside-text rule, so no control byte reaches the screen.
QString Lines(const std::vector<std::string>& lines) {
  QStringList shown;
  for (const std::string& line : lines) shown << ShownOutsideText(line);
  return shown.join(QLatin1Char('\n'));
}

}  // namespace

CAtrDetailsDlg::CAtrDetailsDlg(const AtrDetailsValues& values, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("ATR details - ") + ShownOutsideText(values.reader));
  auto* layout = new QVBoxLayout(this);

  const AtrText parsed = ParseAtrText(values.atr);
  const AtrDecoding decoding = DecodeAtr(parsed.bytes);
  auto* form = new QFormLayout;
  QStringList copied;
  for (const Row& row : ComparisonRows(values, parsed, decoding.summary)) {
    QLabel* value = MakeValueLabel(this);
    value->setText(Lines(row.lines));
    value->setAccessibleName(row.caption);
    QLabel* caption = MakeCaptionLabel(row.caption, this);
    caption->setBuddy(value);
    form->addRow(caption, value);
    copied << row.caption + QLatin1Char(' ') + value->text();
  }
  layout->addLayout(form);

  std::vector<std::string> lines;
  if (parsed.error.empty()) {
    for (const AtrEntry& entry : decoding.entries) lines.push_back(AtrEntryLine(entry));
    const std::vector<std::string> summary = AtrSummaryLines(decoding.summary);
    lines.insert(lines.end(), summary.begin(), summary.end());
  }
  m_view = new QPlainTextEdit(this);
  m_view->setReadOnly(true);
  m_view->setUndoRedoEnabled(false);
  m_view->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  m_view->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  m_view->setAccessibleName(QStringLiteral("ATR bytes and their meaning"));
  m_view->setPlainText(Lines(lines));
  m_view->setMinimumSize(m_view->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 90,
                         m_view->fontMetrics().lineSpacing() * 14);
  layout->addWidget(m_view, 1);
  copied << QString() << m_view->toPlainText();
  m_strText = copied.join(QLatin1Char('\n'));

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  m_btnCopy = buttons->addButton(QStringLiteral("&Copy"), QDialogButtonBox::ActionRole);
  m_btnCopy->setAccessibleName(QStringLiteral("Copy the ATR details"));
  buttons->button(QDialogButtonBox::Close)->setAccessibleName(QStringLiteral("Close"));
  connect(m_btnCopy, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(m_strText); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  m_view->setFocus();
}

QAction* AddAtrDetailsAction(QPlainTextEdit* box, std::function<AtrDetailsValues()> values) {
  auto* action = new QAction(QStringLiteral("ATR details..."), box);
  action->setObjectName(QStringLiteral("atrDetailsAction"));
  action->setEnabled(false);
  QObject::connect(action, &QAction::triggered, box, [box, values = std::move(values)] {
    // Owned by the tab's window, so it closes with the window, not the tab.
    auto* dialog = new CAtrDetailsDlg(values(), box->window());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
  });
  box->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(box, &QWidget::customContextMenuRequested, box, [box, action](const QPoint& at) {
    QMenu* menu = box->createStandardContextMenu(at);
    menu->addSeparator();
    menu->addAction(action);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(box->viewport()->mapToGlobal(at));
  });
  return action;
}
