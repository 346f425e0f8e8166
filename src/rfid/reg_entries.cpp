#include "rfid/reg_entries.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextDocument>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace {

// The designed size; a dump never opens the view smaller than this.
constexpr QSize kLeastSize(420, 550);

// The view's frame is unknown until it is shown; the window it opens over
// wears the same decorations.
QSize FrameExtent(const QWidget& view) {
  const QWidget* owner = view.parentWidget() != nullptr ? view.parentWidget()->window() : nullptr;
  if (owner == nullptr || !owner->isVisible()) return {};
  return owner->frameGeometry().size() - owner->geometry().size();
}

}  // namespace

CRegEntries::CRegEntries(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_edtText(new QPlainTextEdit(this)),
      m_buttons(new QHBoxLayout) {
  setWindowTitle(QStringLiteral("Dialog"));
  setModal(false);
  setAttribute(Qt::WA_DeleteOnClose);
  resize(kLeastSize);

  m_edtText->setReadOnly(true);
  m_edtText->setLineWrapMode(QPlainTextEdit::NoWrap);
  // Wrapping would break the register columns, so a text wider or taller
  // than the screen is scrolled instead.
  m_edtText->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  m_edtText->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  // Register pairs stand in columns only in a fixed-pitch font.
  m_edtText->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

  auto* close = new QPushButton(QStringLiteral("Close"), this);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  m_buttons->addStretch(1);
  m_buttons->addWidget(close);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_edtText, 1);
  layout->addLayout(m_buttons);
}

void CRegEntries::FormatDump(std::span<const CAntennaBuffer> antennas) {
  m_strText = ::FormatDump(antennas);
  // Shown as plain text: the bytes come from the reader.
  m_edtText->setPlainText(QString::fromStdString(m_strText).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  FitToText();
}

// The font's own metrics give the text's extent, so the size holds for any
// fixed-pitch font the system picks; the screen's free area bounds it.
void CRegEntries::FitToText() {
  const QFontMetricsF metrics(m_edtText->font());
  const QString text = m_edtText->toPlainText();
  qreal widest = 0;
  qsizetype lines = 0;
  for (const QStringView line : QStringView(text).split(u'\n')) {
    widest = std::max(widest, metrics.horizontalAdvance(line.toString()));
    ++lines;
  }

  // Around the text: the document's margins, the cursor, the field's frame,
  // then the dialog's margins, spacing and button row.
  const int textMargin = static_cast<int>(std::ceil(m_edtText->document()->documentMargin()));
  const int frame = m_edtText->frameWidth();
  const QMargins margins = layout()->contentsMargins();
  const int chromeWidth = 2 * (textMargin + frame) + m_edtText->cursorWidth() + margins.left() + margins.right();
  const int chromeHeight = 2 * (textMargin + frame) + margins.top() + margins.bottom() + layout()->spacing() +
                           m_buttons->sizeHint().height();
  const int textWidth = static_cast<int>(std::ceil(widest));
  const int textHeight = static_cast<int>(std::ceil(static_cast<qreal>(lines) * metrics.lineSpacing()));

  const QScreen* shown = screen();
  const QSize room = (shown != nullptr ? shown->availableGeometry().size() : kLeastSize) - FrameExtent(*this);
  const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_edtText);
  int width = textWidth + chromeWidth;
  int height = textHeight + chromeHeight;
  // A scroll bar in one direction takes room from the other; twice settles it.
  bool across = false;
  bool down = false;
  for (int pass = 0; pass < 2; ++pass) {
    if (!down && height > room.height()) {
      down = true;
      width += bar;
    }
    if (!across && width > room.width()) {
      across = true;
      height += bar;
    }
  }
  resize(std::clamp(width, std::min(kLeastSize.width(), room.width()), room.width()),
         std::clamp(height, std::min(kLeastSize.height(), room.height()), room.height()));
}
