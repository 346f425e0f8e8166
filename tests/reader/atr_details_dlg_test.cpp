// The ATR details window from values a tab would give it: the breakdown,
// the driver's values beside the ATR's, and outside text shown as text.

#include "reader/atr_details_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

// The text of the value label named `caption`, or "(absent)".
QString Row(const CAtrDetailsDlg& dialog, const QString& caption) {
  for (const QLabel* label : dialog.findChildren<QLabel*>()) {
    if (label->accessibleName() == caption) return label->text();
  }
  return QStringLiteral("(absent)");
}

}  // namespace

TEST(AtrDetailsDlgTest, ShowsTheBytesAndTheDriversValuesBesideThem) {
  const std::string atr = "3B 95 13 81 01 80 73 FF 01 00 0B";
  const QString nothing = "Nothing to compare: the driver reports neither T=0 nor T=1 in use, nor a TA1 value.";
  const struct {
    const char* name;
    AtrDriverValues driver;
    QString ta1InUse;
    QString compared;
  } cases[] = {
      // vpcd's driver reports neither value.
      {"no driver values", {"n/a", "n/a"}, "n/a", nothing},
      {"agreeing", {"T=1", "0x13"}, "0x13", "The driver's values agree with the ATR."},
      {"mismatch", {"T=0", "0x11"}, "0x11",
       "The protocol in use, T=0, is not among those the ATR offers (T=1).\n"
       "TA1 in use, 0x11, differs from the ATR's 0x13."},
      // A contactless tab shows rates instead of TA1: no TA1 row, no TA1 compared.
      {"contactless", {"T=CL", std::nullopt}, "(absent)", nothing},
      // Whatever a driver sends stays on its line, its control bytes visible.
      {"control bytes", {"T=1", "0x13\x1b]0;x\x07"}, "0x13\\x1B]0;x\\x07", "The driver's values agree with the ATR."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CAtrDetailsDlg dialog({"Virtual PCD 00 00", atr, c.driver}, nullptr);
    EXPECT_EQ(Row(dialog, "TA1 (ATR):"), "0x13: Fi = 372, Di = 4, f max = 5 MHz");
    EXPECT_EQ(Row(dialog, "Protocols offered (ATR):"), "T=1");
    EXPECT_EQ(Row(dialog, "TA1 in use (driver):"), c.ta1InUse);
    EXPECT_EQ(Row(dialog, "Compared:"), c.compared);
    for (const QLabel* label : dialog.findChildren<QLabel*>()) EXPECT_EQ(label->textFormat(), Qt::PlainText);
  }

  const CAtrDetailsDlg dialog({"Virtual PCD 00 00", atr, {"T=1", "0x13"}}, nullptr);
  const QString view = dialog.View()->toPlainText();
  for (const char* line : {
           "  2  13            TA1           Fi = 372, fmax = 5 MHz, Di = 4; F/D = 93 clock cycles per ETU",
           "  4  01            TD2           protocol T=1; Y3 = 0000 (no interface bytes)",
           "Historical bytes: 80 73 FF 01 00", "Summary: T=1; Fi=372 Di=4; TCK ok"}) {
    EXPECT_TRUE(view.split('\n').contains(QString::fromUtf8(line))) << line << "\n" << view.toStdString();
  }
  EXPECT_TRUE(dialog.View()->isReadOnly());
  EXPECT_FALSE(dialog.View()->accessibleName().isEmpty());
  EXPECT_FALSE(dialog.CopyButton()->accessibleName().isEmpty());
  dialog.CopyButton()->click();
  EXPECT_EQ(QApplication::clipboard()->text(), dialog.Text());
  EXPECT_TRUE(dialog.Text().contains("Protocol in use (driver): T=1\n")) << dialog.Text().toStdString();
  EXPECT_TRUE(dialog.Text().endsWith(view));
}
