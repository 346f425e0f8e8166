#include "platform/qt_dialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

// Messages carry file, reader and key names from outside the program; markup
// in them is shown as written, not rendered.
TEST(QtMessageBoxTest, TextIsShownAsWritten) {
  const std::string text = R"(/tmp/<h1 style="color:red">X</h1>/<img src="/etc/hostname">/diagtool.ini)";
  Qt::TextFormat format = Qt::AutoText;
  QString shown;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    format = box->textFormat();
    shown = box->text();
    box->button(QMessageBox::Ok)->click();
  });
  answer.start(10);
  velkaro::QtMessageBox service("Caption");
  EXPECT_EQ(service.Show(text, {}, velkaro::MB_OK | velkaro::MB_ICONEXCLAMATION), velkaro::IDOK);
  EXPECT_EQ(format, Qt::PlainText);
  EXPECT_EQ(shown.toStdString(), text);
}
