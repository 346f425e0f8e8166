#pragma once
// A text that looks and works like a web link: link or visited colour,
// underlined, a hand cursor, the target as tooltip; a click opens the target
// and reports a failure in a message box.

#include <QColor>
#include <QLabel>
#include <string>

class CHyperLink : public QLabel {
  Q_OBJECT

 public:
  explicit CHyperLink(QWidget* parent = nullptr);

  // Sets the target, refits the control and updates the tooltip; an empty
  // text shows the target.
  void SetURL(const std::string& url);
  const std::string& URL() const { return m_strURL; }
  void SetVisited(bool visited);
  bool IsVisited() const { return m_bVisited; }
  QColor TextColour() const;

  // Resizes the control to its text: vertically centred or from the top,
  // horizontally centred, from the right or from the left edge, as its
  // alignment says.
  void FitToText();
  static QRect FitRect(const QRect& current, const QSize& text, Qt::Alignment alignment);

  // What a click does: open the target, turn visited on success, else tell.
  void Open();

  static constexpr QColor kLinkColour{0, 0, 238};
  static constexpr QColor kVisitedColour{85, 26, 139};

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void ApplyColour();

  bool m_bVisited = false;
  bool m_bUnderline = true;
  bool m_bAdjustToFit = true;
  std::string m_strURL;
};
