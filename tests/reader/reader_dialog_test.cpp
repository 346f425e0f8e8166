// The reader page as a widget against the private pcscd: what it shows, its
// labels, many insertions and removals, and its destruction while its
// monitor thread waits.

#include "reader/reader_dialog.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTextDocument>
#include <QVBoxLayout>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "card/reader_models.h"
#include "fakes.h"
#include "reader/atr_details_dlg.h"
#include "reader/field_view.h"
#include "rfid/reg_entries.h"
#include "sandbox_environment.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;

const auto* const g_environment = PcscdSandboxEnvironment::Install(VELKARO_TEST_DATA "/reader/pages");

std::unique_ptr<CReaderDialog> OpenPage(const std::string& model, unsigned slot = 0,
                                        std::shared_ptr<const CCardNames> cardNames = nullptr) {
  static const CReaderModelMaps maps;
  const std::string reader = Sandbox().ReaderName(model, slot);
  std::unique_ptr<CReaderDialog> page(CReaderDialog::Create());
  page->SetReaderName(reader);
  page->SetModelFlags(maps.FindReaderModel(reader));
  if (cardNames) page->SetCardNames(std::move(cardNames));
  page->Session().SetCtApiModule(VELKARO_ZELBRIC_MODULE);
  EXPECT_TRUE(page->EnsureInitialised());
  return page;
}

// The status shown and no card update under way: the texts are final.
bool WaitForStatus(CReaderDialog& page, const QString& status, int timeoutMs = 5000) {
  return QTest::qWaitFor(
      [&] {
        return page.ShownText(&CReaderFields::m_strStatus) == status &&
               page.CardUpdatesShown() == page.Session().PostedCount();
      },
      timeoutMs);
}

const QString kInserted = QStringLiteral("Smart card inserted");
const QString kEmpty = QStringLiteral("No smart card inserted");

}  // namespace

TEST(ReaderDialogTest, ContactPageShowsTheCardAndItsLabels) {
  VELKARO_REQUIRE_SANDBOX();
  auto page = OpenPage("VELKARO CT 200");
  ASSERT_TRUE(WaitForStatus(*page, kInserted));
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strFirmware), "1.23");
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strPort), "COM3");
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strVoltage), "5V");
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strATR),
            "3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0C");
  EXPECT_EQ(page->LabelText(CReaderDialog::IDC_TA1_IN_USE_LABEL), "TA1 in use:");
  EXPECT_FALSE(page->IsLabelVisible(CReaderDialog::IDC_TA1_LABEL));
  EXPECT_TRUE(page->IsLabelVisible(CReaderDialog::IDC_VOLTAGE_LABEL));
}

TEST(ReaderDialogTest, ContactlessPageRelabelsItsRateLines) {
  VELKARO_REQUIRE_SANDBOX();
  auto page = OpenPage("VELKARO CL 3700", 1);
  ASSERT_TRUE(WaitForStatus(*page, kInserted));
  EXPECT_EQ(page->LabelText(CReaderDialog::IDC_TA1_IN_USE_LABEL), "PICCtoPCD:");
  EXPECT_EQ(page->LabelText(CReaderDialog::IDC_TA1_LABEL), "PCDtoPICC:");
  EXPECT_FALSE(page->IsLabelVisible(CReaderDialog::IDC_VOLTAGE_LABEL));
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strTA1InUse), "212 kbps");
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strTA1), "424 kbps");
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strCardName), "UID:5A 3C 01 99");
}

// Markup in a driver's serial number or a configured card name must not
// restyle the window or fetch an image: such text is shown as written.
TEST(ReaderDialogTest, DriverAndConfigurationTextIsShownAsWritten) {
  VELKARO_REQUIRE_SANDBOX();
  // Markup stays text; control bytes are shown, never sent to the screen.
  const std::string cardName = std::string(R"(<img src="/etc/hostname"> &amp; <b>card</b>)") + "\x1b]0;t\x07\r";
  auto page = OpenPage("VELKARO CT 230", 0,
                       std::make_shared<const CCardNames>(CardNameMap{{"3B 02 14 51", cardName}}, CardPatternMap{}));
  ASSERT_TRUE(WaitForStatus(*page, kInserted));
  const struct {
    const std::string CReaderFields::*field;
    std::string text;
  } cases[] = {
      {&CReaderFields::m_strSerialNumber, R"(<h1 style="color:red">X</h1>)"},
      {&CReaderFields::m_strCardName, R"(<img src="/etc/hostname"> &amp; <b>card</b>\x1B]0;t\x07\x0D)"},
  };
  for (const auto& c : cases) {
    const QString text = QString::fromStdString(c.text);
    EXPECT_EQ(page->ShownText(c.field).toStdString(), c.text);
    int labels = 0;
    for (const QLabel* label : page->findChildren<QLabel*>()) {
      if (label->text() != text) continue;
      ++labels;
      EXPECT_EQ(label->textFormat(), Qt::PlainText) << c.text;
    }
    EXPECT_EQ(labels, 1) << c.text;
  }
}

// "ATR details..." in the ATR box's context menu: greyed without a card, and
// with one it opens the details of the card the tab shows.
TEST(ReaderDialogTest, AtrDetailsOpenWithTheTabsCard) {
  VELKARO_REQUIRE_SANDBOX();
  auto empty = OpenPage("VELKARO CL 3700");
  ASSERT_TRUE(WaitForStatus(*empty, kEmpty));
  const auto* greyed = empty->findChild<QAction*>("atrDetailsAction");
  ASSERT_NE(greyed, nullptr);
  EXPECT_FALSE(greyed->isEnabled());

  auto page = OpenPage("VELKARO CT 200");
  ASSERT_TRUE(WaitForStatus(*page, kInserted));
  auto* action = page->findChild<QAction*>("atrDetailsAction");
  ASSERT_NE(action, nullptr);
  EXPECT_EQ(action->text(), "ATR details...");
  ASSERT_TRUE(action->isEnabled());
  auto* box = page->findChild<QPlainTextEdit*>();
  emit box->customContextMenuRequested(QPoint(2, 2));
  const auto menus = box->findChildren<QMenu*>();
  ASSERT_EQ(menus.size(), 1);
  EXPECT_TRUE(menus[0]->actions().contains(action));
  menus[0]->close();

  action->trigger();
  const auto dialogs = page->findChildren<CAtrDetailsDlg*>();
  ASSERT_EQ(dialogs.size(), 1);
  EXPECT_TRUE(dialogs[0]->isVisible());
  for (const char* line : {"ATR: 3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0C\n",
                           "TA1 in use (driver): 0x18\n", "Compared: The driver's values agree with the ATR.\n"}) {
    EXPECT_TRUE(dialogs[0]->Text().contains(line)) << dialogs[0]->Text().toStdString();
  }
}

TEST(ReaderDialogTest, MuteCardIsShownAtOnce) {
  VELKARO_REQUIRE_SANDBOX();
  auto page = OpenPage("VELKARO CT 110");
  ASSERT_TRUE(WaitForStatus(*page, "The smart card is not responding to a reset"));
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strProtocol), "n/a");
  // The vendor's driver, which has no serial number set: no note on that "n/a".
  EXPECT_EQ(page->ValueWidget(&CReaderFields::m_strSerialNumber)->toolTip().toStdString(), "");
}

// The card is read by the monitor thread: its texts are ready while the
// window's thread is busy elsewhere, and the window only shows them.
TEST(ReaderDialogTest, CardIsReadWhileTheWindowIsBusy) {
  VELKARO_REQUIRE_SANDBOX();
  auto page = OpenPage("VELKARO CT 220");
  ASSERT_TRUE(WaitForStatus(*page, kEmpty));
  RunSim({"insert", "e_ct220"});
  // No events are processed meanwhile: this thread stands for a busy window.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (page->Fields().m_strPort != "PCMCIA" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(page->Fields().m_strATR, "3B 04 49 32 43 2E");
  EXPECT_EQ(page->Fields().m_strPort, "PCMCIA");
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strATR), "");
  ASSERT_TRUE(WaitForStatus(*page, kInserted));
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strATR), "3B 04 49 32 43 2E");
}

// A new ATR is painted inside the update, before the event loop runs on:
// after an insertion it is what the user waits for. Its box keeps no undo
// history however many cards pass.
TEST(ReaderDialogTest, NewAtrIsPaintedAtOnce) {
  struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  CFieldView view;
  QPlainTextEdit* box = view.AddBox(&window, &CReaderFields::m_strATR);
  layout->addWidget(box);
  layout->addWidget(view.AddLabel(&window, &CReaderFields::m_strStatus));
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QApplication::processEvents();
  box->viewport()->installEventFilter(&counter);
  CReaderFields fields;
  for (const char* atr : {"3B 02 14 51", "", "3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0C"}) {
    fields.m_strATR = atr;
    const int before = counter.paints;
    view.Update(fields);
    EXPECT_GT(counter.paints, before) << atr;
    EXPECT_EQ(box->toPlainText(), atr);
  }
  const int before = counter.paints;
  fields.m_strStatus = "Smart card inserted";
  view.Update(fields);
  EXPECT_EQ(counter.paints, before) << "painted again with the same ATR";
  EXPECT_EQ(box->document()->availableUndoSteps(), 0);
}

// Two pages follow many quick changes; every change reaches its page and the
// threads leave cleanly (run under ThreadSanitizer in the tsan preset).
TEST(ReaderDialogTest, TwoReadersFollowTwoHundredInsertionsAndRemovals) {
  VELKARO_REQUIRE_SANDBOX();
  auto first = OpenPage("VELKARO CT 220");
  auto second = OpenPage("VELKARO CT 200");
  ASSERT_TRUE(WaitForStatus(*first, kEmpty));
  ASSERT_TRUE(WaitForStatus(*second, kInserted));
  for (int cycle = 0; cycle < 200; ++cycle) {
    RunSim({"insert", "e_ct220"});
    RunSim({"remove", "a_ct200"});
    ASSERT_TRUE(WaitForStatus(*first, kInserted)) << "cycle " << cycle;
    ASSERT_TRUE(WaitForStatus(*second, kEmpty)) << "cycle " << cycle;
    RunSim({"remove", "e_ct220"});
    RunSim({"insert", "a_ct200"});
    ASSERT_TRUE(WaitForStatus(*first, kEmpty)) << "cycle " << cycle;
    ASSERT_TRUE(WaitForStatus(*second, kInserted)) << "cycle " << cycle;
  }
  EXPECT_EQ(first->ShownText(&CReaderFields::m_strATR), "");
  EXPECT_EQ(second->ShownText(&CReaderFields::m_strPort), "COM3");
}

TEST(ReaderDialogTest, PageDestroyedWhileItsThreadWaitsGoesPromptly) {
  VELKARO_REQUIRE_SANDBOX();
  auto page = OpenPage("VELKARO CT 220");
  ASSERT_TRUE(WaitForStatus(*page, kEmpty));
  // Destroy the page while its thread is in the status-change wait, which
  // has no time-out: only the cancel ends it.
  ASSERT_TRUE(QTest::qWaitFor([&] { return page->Session().WaitCount() > 0; }, 5000));
  QTest::qWait(200);
  const auto start = std::chrono::steady_clock::now();
  page.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

// A driver may hold a call for as long as it likes: the page still goes at
// once, wherever its threads are held (the reader query before the first
// wait, a card update, a register read), and nothing they do later reaches
// it. The threads keep the session until they are back.
TEST(ReaderDialogTest, PageWhoseDriverIsHeldGoesAtOnce) {
  VELKARO_REQUIRE_SANDBOX();
  RecordingMessageBox messages;
  const struct {
    const char* held;
    const char* model;
    const char* file;
    const char* slow;
    std::vector<std::string> then;  // what brings the slow call
  } cases[] = {
      {"reader query", "VELKARO CT 220", "e_ct220", "3001", {}},
      {"card update", "VELKARO CT 220", "e_ct220", "channel", {"insert", "e_ct220"}},
      {"register read", "VELKARO CL 3700", "b_cl3700", "3105", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.held);
    RunSim({"set", c.file, std::string("slow=") + c.slow, "delay=1000"});
    auto page = OpenPage(c.model);
    if (!c.then.empty()) RunSim(c.then);
    if (std::string(c.slow) == "3105") page->ReadRegisterDump(false);
    QTest::qWait(300);  // well inside the slow call
    const std::weak_ptr<CReaderSession> session = page->Session().weak_from_this();
    const auto start = std::chrono::steady_clock::now();
    page.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_FALSE(session.expired());
    // Back from the driver, the threads let the session go.
    EXPECT_TRUE(QTest::qWaitFor([&] { return session.expired(); }, 10000));
    RunSim({"set", c.file, "slow=", "delay=0"});
    if (!c.then.empty()) RunSim({"remove", c.file});
  }
  QApplication::processEvents();
  EXPECT_TRUE(messages.Shown().empty());
}

TEST(ReaderDialogTest, NotificationForADestroyedPageIsDropped) {
  VELKARO_REQUIRE_SANDBOX();
  auto page = OpenPage("VELKARO CT 220");
  ASSERT_TRUE(WaitForStatus(*page, kEmpty));
  RunSim({"insert", "e_ct220"});
  // Let the monitor post its notification, then destroy the page before the
  // event loop delivers it.
  ASSERT_TRUE(QTest::qWaitFor([&] { return page->Session().PostedCount() >= 2; }, 5000));
  page.reset();
  // Delivering it now would touch freed memory (caught by ASan and TSan).
  QApplication::processEvents();
}

// "RFID registers" reads off the user-interface thread and then opens one
// more view per use, titled with the reader's name; Escape closes one.
TEST(ReaderDialogTest, RegisterViewShowsTheReadersDump) {
  VELKARO_REQUIRE_SANDBOX();
  RecordingMessageBox messages;
  auto page = OpenPage("VELKARO CL 3700");
  const auto views = [&] { return page->findChildren<CRegEntries*>(); };
  page->ReadRegisterDump(false);
  page->ReadRegisterDump(false);
  ASSERT_TRUE(QTest::qWaitFor([&] { return views().size() == 2; }, 5000));
  CRegEntries* view = views().front();
  EXPECT_EQ(view->windowTitle().toStdString(), Sandbox().ReaderName("VELKARO CL 3700"));
  EXPECT_TRUE(view->isVisible());
  EXPECT_EQ(view->Text(),
            "Antenna 1\r\n\r\nISO14443A [00] 11 [01] 22\r\nISO15693  [10] 3f\r\n\r\nAntenna 2\r\n\r\n\r\n");
  EXPECT_TRUE(view->TextField()->isReadOnly());
  QTest::keyClick(view, Qt::Key_Escape);
  ASSERT_TRUE(QTest::qWaitFor([&] { return views().size() == 1; }, 5000));
  EXPECT_TRUE(messages.Shown().empty());
}

// A full antenna gives the longest lines there are: the view opens wide
// enough for each, or lets the user scroll to its end, and stays on screen.
TEST(ReaderDialogTest, RegisterViewReachesTheEndOfEveryLine) {
  CAntennaBuffer antenna;
  antenna.data[0] = 0x81;
  antenna.data[1] = kAntennaBufferSize - 2;
  for (std::size_t i = 2; i < kAntennaBufferSize; ++i) antenna.data[i] = static_cast<std::uint8_t>(i);
  antenna.length = kAntennaBufferSize;
  QWidget owner;  // the view opens over the main window
  owner.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&owner));
  // Scroll bars make up only for what the screen cannot hold: forty antennas
  // are too tall, and at 40 points a line is too wide as well.
  const struct {
    int pointSize;  // 0: the system's size
    std::size_t antennas;
    bool across;
    bool down;
  } cases[] = {{0, 1, false, false}, {0, 40, false, true}, {40, 1, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pointSize << " points, " << c.antennas << " antennas");
    auto view = std::make_unique<CRegEntries>(&owner);
    QPlainTextEdit* field = view->TextField();
    if (c.pointSize != 0) {
      QFont font = field->font();
      font.setPointSize(c.pointSize);
      field->setFont(font);
    }
    const std::vector<CAntennaBuffer> antennas(c.antennas, antenna);
    view->FormatDump(antennas);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    QApplication::processEvents();

    const QScrollBar* across = field->horizontalScrollBar();
    const QScrollBar* down = field->verticalScrollBar();
    EXPECT_EQ(across->isVisible(), c.across);
    EXPECT_EQ(down->isVisible(), c.down);
    // The text starts after the document's margin.
    const int margin = static_cast<int>(field->document()->documentMargin());
    const int reach = field->viewport()->width() + (across->isVisible() ? across->maximum() : 0);
    const QFontMetrics metrics(field->font());
    const QStringList lines = field->toPlainText().split(u'\n');
    // Per antenna: heading, blank, 22 register lines, blank; then the last line end.
    ASSERT_EQ(static_cast<std::size_t>(lines.size()), 25 * c.antennas + 1);
    for (const QString& line : lines) {
      EXPECT_LE(margin + metrics.horizontalAdvance(line), reach) << line.toStdString();
    }
    // The field scrolls by lines downwards.
    const int rows = (field->viewport()->height() - margin) / metrics.lineSpacing();
    EXPECT_GE(rows + (down->isVisible() ? down->maximum() : 0), lines.size());
    EXPECT_TRUE(view->screen()->availableGeometry().contains(view->frameGeometry()));
  }
}

TEST(ReaderDialogTest, ReaderWithoutRegistersGivesTheNotice) {
  VELKARO_REQUIRE_SANDBOX();
  RecordingMessageBox messages;
  auto page = OpenPage("VELKARO CT 200");
  page->ReadRegisterDump(false);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.Shown().empty(); }, 5000));
  const ShownMessage notice = messages.Shown().front();
  EXPECT_EQ(notice.text, "This reader does not support any RFID registers");
  EXPECT_EQ(notice.caption, "Notice");
  EXPECT_EQ(notice.style, velkaro::MB_ICONEXCLAMATION | velkaro::MB_OK);
  EXPECT_TRUE(page->findChildren<CRegEntries*>().isEmpty());
}
