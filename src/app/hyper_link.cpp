#include "app/hyper_link.h"

#include <QMouseEvent>

#include "app/about_info.h"
#include "platform/services.h"

CHyperLink::CHyperLink(QWidget* parent) : QLabel(parent) {
  // The target and its text come from outside the program: never rich text.
  setTextFormat(Qt::PlainText);
  setCursor(Qt::PointingHandCursor);
  QFont underlined = font();
  underlined.setUnderline(m_bUnderline);
  setFont(underlined);
  ApplyColour();
}

void CHyperLink::SetURL(const std::string& url) {
  m_strURL = url;
  if (text().isEmpty()) setText(QString::fromStdString(url));
  setToolTip(QString::fromStdString(url));
  FitToText();
}

void CHyperLink::SetVisited(bool visited) {
  m_bVisited = visited;
  ApplyColour();
  update();
}

QColor CHyperLink::TextColour() const { return palette().color(QPalette::WindowText); }

void CHyperLink::ApplyColour() {
  QPalette colours = palette();
  colours.setColor(QPalette::WindowText, m_bVisited ? kVisitedColour : kLinkColour);
  setPalette(colours);
}

QRect CHyperLink::FitRect(const QRect& current, const QSize& text, Qt::Alignment alignment) {
  QRect fitted = current;
  if (alignment & Qt::AlignVCenter) {
    fitted.setTop(current.top() + (current.height() - text.height()) / 2);
  }
  fitted.setHeight(text.height());
  if (alignment & Qt::AlignHCenter) {
    fitted.setLeft(current.left() + (current.width() - text.width()) / 2);
    fitted.setWidth(text.width());
  } else if (alignment & Qt::AlignRight) {
    fitted.setLeft(current.right() + 1 - text.width());
    fitted.setWidth(text.width());
  } else {
    fitted.setWidth(text.width());
  }
  return fitted;
}

void CHyperLink::FitToText() {
  if (!m_bAdjustToFit) return;
  const QSize size = fontMetrics().size(Qt::TextSingleLine, text());
  setGeometry(FitRect(geometry(), size, alignment()));
  setFixedSize(size);
}

void CHyperLink::Open() {
  const int result = about::GotoURL(m_strURL);
  if (result > 32) {
    SetVisited(true);
    return;
  }
  velkaro::ShowMessageBox(about::HyperlinkErrorMessage(result), {}, velkaro::MB_ICONEXCLAMATION | velkaro::MB_OK);
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) Open();
  QLabel::mouseReleaseEvent(event);
}
