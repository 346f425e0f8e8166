// A reader page and its session and the log against vsmartcard's vpcd, a reader
// driver nobody here wrote: it knows no vendor control code, and its card
// (vpcd_card, a process of the tests' own) can be stopped, which makes every
// driver call on its reader wait in pcscd.

#include <gtest/gtest.h>

#include <QAction>
#include <QTest>
#include <QWidget>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/diag_tool_app.h"
#include "fakes.h"
#include "log/log_writer.h"
#include "platform/deadline.h"
#include "reader/atr_details_dlg.h"
#include "reader/card_decoding.h"
#include "reader/reader_dialog.h"
#include "registry_fixture.h"
#include "sandbox_environment.h"
#include "session_driver.h"
#include "status/reader_enumeration.h"
#include "temp_dir.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;

// Debian's vicc card (T=1) in slot 0, a T=0 card in slot 1.
constexpr char kT1Atr[] = "3B 95 13 81 01 80 73 FF 01 00 0B";
constexpr char kT0Atr[] = "3B 02 14 50";

const auto* const g_environment = PcscdSandboxEnvironment::Install("")->WithVpcdCard(kT1Atr, kT0Atr);

// How long work left behind by a time-out may take once the card answers again.
constexpr auto kDrainTimeout = 10s;
// Longer than two of pcscd's presence polls (every 400 ms): after it, pcscd
// waits in the driver for the stopped card and holds the reader, and every
// call that needs the reader waits too.
constexpr auto kPollRunsIntoTheCard = 1200ms;

// Stops the card, and waits until pcscd is stuck on it.
bool StopTheCard() {
  if (!SandboxEnvironment().Card().Pause()) return false;
  std::this_thread::sleep_for(kPollRunsIntoTheCard);
  return true;
}

// Runs `work` on a thread that is never joined and waits up to `limit`. After
// a time-out the card is resumed and the work awaited again, so that nothing
// it uses goes away under it; work that hangs even then ends the program,
// since no test may hang the run.
bool FinishesWithin(const char* what, std::chrono::milliseconds limit, std::function<void()> work) {
  struct Done {
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
  };
  const auto done = std::make_shared<Done>();
  const bool started = velkaro::StartAbandonableThread([done, work = std::move(work)] {
    work();
    {
      std::lock_guard lock(done->lock);
      done->done = true;
    }
    done->changed.notify_all();
  });
  if (!started) {
    ADD_FAILURE() << "no thread for " << what;
    return false;
  }
  const auto waitFor = [&done](auto timeout) {
    std::unique_lock lock(done->lock);
    return done->changed.wait_for(lock, timeout, [&done] { return done->done; });
  };
  if (waitFor(limit)) return true;
  ADD_FAILURE() << what << " did not return within " << limit.count() << " ms while the card did not answer";
  SandboxEnvironment().Card().Resume();
  if (!waitFor(kDrainTimeout)) {
    std::fprintf(stderr, "%s still waits %lld s after the card was resumed: ending the test program\n", what,
                 static_cast<long long>(kDrainTimeout.count()));
    std::fflush(nullptr);
    std::_Exit(1);
  }
  return false;
}

// The tool with a configuration that admits the vpcd readers, and nothing
// else that would name them.
class VpcdTest : public ::testing::Test {
 protected:
  VpcdTest() {
    system.modulePath = program / "velkaro-diag";
    program.Write("diagtool.ini", std::string("[Additional_Readers]\nReader1=") + kVpcdReaderName + "\n");
    EXPECT_TRUE(app.LoadConfiguration());
  }
  // The card answers again before pcscd is stopped.
  ~VpcdTest() override { SandboxEnvironment().Card().Resume(); }

  static std::string Slot(unsigned slot) { return Sandbox().ReaderName(kVpcdReaderName, slot); }
  AdditionalReaderTest Admission() {
    return [this](const std::string& name) { return app.IsAdditionalReader(name); };
  }

  TempDir program;
  FakeSystemInfo system;
  CDiagToolApp app;
};

}  // namespace

TEST_F(VpcdTest, ConfiguredReaderIsListedAndReadWithoutVendorCodes) {
  VELKARO_REQUIRE_SANDBOX();
  // No model, alias or brand word names these readers: only the configuration.
  std::vector<std::string> unconfigured;
  std::vector<std::string> configured;
  EXPECT_TRUE(EnumerateReaders(unconfigured, CReaderModelMaps::Unbuilt(), {}));
  EXPECT_TRUE(EnumerateReaders(configured, CReaderModelMaps::Unbuilt(), Admission()));
  EXPECT_EQ(unconfigured, std::vector<std::string>{});
  EXPECT_EQ(configured, (std::vector<std::string>{"Virtual PCD 00 00", "Virtual PCD 00 01"}));

  const struct {
    unsigned slot;
    const char* atr;
    const char* protocol;
  } kCards[] = {{0, kT1Atr, "T=1"}, {1, kT0Atr, "T=0"}};
  for (const auto& card : kCards) {
    SCOPED_TRACE(Slot(card.slot));
    SessionDriver driver(Slot(card.slot), false, app.CardTables());
    ASSERT_TRUE(driver.Start());
    ASSERT_TRUE(driver.UpdateUntilStatus("Smart card inserted"));
    const CReaderFields f = driver.Fields();
    EXPECT_EQ(f.m_strATR, card.atr);
    EXPECT_EQ(f.m_strProtocol, card.protocol);
    // The driver answers no vendor code and no channel id.
    const std::pair<const char*, const std::string*> vendorFields[] = {
        {"firmware", &f.m_strFirmware}, {"library", &f.m_strLibrary},     {"serial number", &f.m_strSerialNumber},
        {"port", &f.m_strPort},         {"frequency", &f.m_strFrequency}, {"voltage", &f.m_strVoltage},
        {"TA1", &f.m_strTA1InUse}};
    for (const auto& [name, value] : vendorFields) EXPECT_EQ(*value, "n/a") << name;
    // The refused facts say so before any card is read.
    EXPECT_EQ(driver.FactsNotes().m_strFirmware, kDriverRefusesVendorRequests);
  }
}

// Its page says why the driver's values are "n/a", to the eye and to a
// screen reader; known values have no such note.
TEST_F(VpcdTest, PageSaysWhyTheDriversValuesAreNotAvailable) {
  VELKARO_REQUIRE_SANDBOX();
  std::unique_ptr<CReaderDialog> page(CReaderDialog::Create());
  page->SetReaderName(Slot(0));
  page->SetModelFlags(nullptr);
  page->Session().SetCtApiModule(VELKARO_ZELBRIC_MODULE);
  ASSERT_TRUE(page->EnsureInitialised());
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return page->ShownText(&CReaderFields::m_strStatus) == kCardInserted &&
               page->CardUpdatesShown() == page->Session().PostedCount();
      },
      5000));
  const struct {
    const std::string CReaderFields::*field;
    const char* shown;
    const char* note;
  } kCases[] = {
      {&CReaderFields::m_strFirmware, "n/a", kDriverRefusesVendorRequests},
      {&CReaderFields::m_strLibrary, "n/a", kDriverRefusesVendorRequests},
      {&CReaderFields::m_strSerialNumber, "n/a", kDriverRefusesVendorRequests},
      {&CReaderFields::m_strPort, "n/a", kDriverRefusesVendorRequests},
      {&CReaderFields::m_strFrequency, "n/a", kDriverRefusesVendorRequests},
      {&CReaderFields::m_strVoltage, "n/a", kDriverRefusesVendorRequests},
      {&CReaderFields::m_strTA1InUse, "n/a", kDriverRefusesVendorRequests},
      {&CReaderFields::m_strProtocol, "T=1", ""},
      {&CReaderFields::m_strStatus, kCardInserted, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "row " << &c - kCases);
    EXPECT_EQ(page->ShownText(c.field), c.shown);
    const QWidget* label = page->ValueWidget(c.field);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->toolTip().toStdString(), c.note);
    EXPECT_EQ(label->accessibleDescription().toStdString(), c.note);
  }
  // The ATR tells what the driver does not: TA1, the protocols offered.
  auto* details = page->findChild<QAction*>("atrDetailsAction");
  ASSERT_NE(details, nullptr);
  ASSERT_TRUE(details->isEnabled());
  details->trigger();
  const auto dialogs = page->findChildren<CAtrDetailsDlg*>();
  ASSERT_EQ(dialogs.size(), 1);
  for (const char* line : {"ATR: 3B 95 13 81 01 80 73 FF 01 00 0B\n", "TA1 (ATR): 0x13: Fi = 372, Di = 4",
                           "Protocols offered (ATR): T=1\n", "TA1 in use (driver): n/a\n",
                           "Historical bytes: 80 73 FF 01 00\n"}) {
    EXPECT_TRUE(dialogs[0]->Text().contains(line)) << line << "\n" << dialogs[0]->Text().toStdString();
  }
}

TEST_F(VpcdTest, StopAndDestructionDoNotWaitForACardThatStoppedAnswering) {
  VELKARO_REQUIRE_SANDBOX();
  // Shared with the callbacks, which the monitor thread may still run after
  // the test has let the session go.
  struct Shown {
    std::mutex lock;
    std::condition_variable changed;
    bool cardStopped = false;
  };
  const auto shown = std::make_shared<Shown>();
  auto session = std::make_shared<CReaderSession>();
  session->SetReaderName(Slot(0));
  session->SetCtApiModule(VELKARO_ZELBRIC_MODULE);
  CReaderSession* const page = session.get();
  ASSERT_TRUE(session->Initialise(
      [] {},
      [shown, page] {
        // The card stops once the page shows its ATR, before the update's
        // next driver call, which then waits for good.
        std::unique_lock lock(shown->lock);
        if (shown->cardStopped || page->Fields().m_strATR.empty()) return;
        EXPECT_TRUE(StopTheCard());
        shown->cardStopped = true;
        shown->changed.notify_all();
      }));
  {
    std::unique_lock lock(shown->lock);
    ASSERT_TRUE(shown->changed.wait_for(lock, 10s, [&shown] { return shown->cardStopped; }))
        << "the page never showed the card's ATR";
  }
  // The work holds the session, so a stop that is left waiting frees nothing.
  EXPECT_TRUE(FinishesWithin("CReaderSession::Stop()", 500ms, [session] { session->Stop(); }));
  EXPECT_TRUE(FinishesWithin("destroying the CReaderSession", 500ms,
                             [owned = std::move(session)]() mutable { owned.reset(); }));
}

TEST_F(VpcdTest, LogIsCompleteWhileTheCardHangs) {
  VELKARO_REQUIRE_SANDBOX();
  TempDir out;
  const struct {
    const char* card;
    bool stopped;
    const char* readerLine;  // expected in the log; nullptr: not checked
    const char* cardLine;
  } kCases[] = {
      {"answering", false,
       "Present reader 0: Virtual PCD 00 00, FW Version = n/a, Lib Version = n/a, Serial Number = n/a\r\n",
       "\r\nVirtual PCD 00 00: ATR = 3B 95 13 81 01 80 73 FF 01 00 0B, T=1; Fi=372 Di=4; TCK ok\r\n"},
      // What the log says of a reader that does not answer is its own
      // business; that it ends, and in time, is the point.
      {"stopped", true, nullptr, nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string("card ") + c.card);
    if (c.stopped) {
      ASSERT_TRUE(StopTheCard());
    }
    LogSetting setting;
    setting.isAdditionalReader = Admission();
    const std::string path = out / (std::string(c.card) + ".log");
    LogOutcome outcome;
    if (!FinishesWithin("WriteDiagnosticLog", 20s, [&] { outcome = WriteDiagnosticLog(path, setting); })) continue;
    EXPECT_EQ(outcome.result, LogResult::kWithoutRegistry);
    const std::string log = RegistryStores::ReadFile(path);
    // Whole: the report, the cards, then the devices and drivers, vpcd's
    // reader among the configured serial readers.
    const std::size_t cards = log.find("\r\nRegistry scan skipped\r\nYou do not have administration privileges on this machine\r\n"
                                       "\r\nCards:\r\n\r\n");
    EXPECT_NE(cards, std::string::npos) << log;
    EXPECT_NE(log.find("\r\n\r\nUSB Devices:\r\n", cards), std::string::npos) << log;
    const std::size_t drivers = log.find("\r\nDrivers:\r\n");
    EXPECT_NE(log.find("\r\nVirtual PCD, Device = /dev/null:", drivers), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("\r\n"));
    if (c.readerLine) {
      EXPECT_NE(log.find(c.readerLine), std::string::npos) << log;
      EXPECT_NE(log.find(c.cardLine), std::string::npos) << log;
    }
  }
}
