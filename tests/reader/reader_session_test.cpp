// Reader pages' facts and card updates against the private pcscd and the
// simulated driver.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "app/diag_tool_app.h"
#include "fakes.h"
#include "sandbox_environment.h"
#include "session_driver.h"
#include "temp_dir.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;

const auto* const g_environment = PcscdSandboxEnvironment::Install(VELKARO_TEST_DATA "/reader/pages");

constexpr char kSignatureAtr[] = "3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0C";

// The application object with a configuration that names the test cards.
class ReaderSessionTest : public ::testing::Test {
 protected:
  ReaderSessionTest() {
    system.modulePath = program / "velkaro-diag";
    program.Write("diagtool.ini",
                  std::string("[Card 1]\nCARDNAME=VELKARO Signature Card\nATR=") + kSignatureAtr +
                      "\n[Card 2]\nVARTEXT=Contactless card, kind byte !!\n"
                      "VARATR=3B 8F 80 01 80 4F 0C A0 00 00 03 06 !! ?? ?? ?? ?? ?? ?? ??\n");
    EXPECT_TRUE(app.LoadConfiguration());
  }

  // The CT-API port libzelbric gives a reader: its place in PC/SC's list.
  static std::string CtApiPortOf(const std::string& reader) {
    const auto readers = Sandbox().ListReaders();
    for (std::size_t i = 0; i < readers.size(); ++i) {
      if (readers[i] == reader) return std::to_string(i + 1);
    }
    return "n/a";
  }

  TempDir program;
  FakeSystemInfo system;
  CDiagToolApp app;
};

}  // namespace

TEST_F(ReaderSessionTest, CardAlreadyInIsShownInTheFirstCycle) {
  VELKARO_REQUIRE_SANDBOX();
  const std::string reader = Sandbox().ReaderName("VELKARO CT 200");
  SessionDriver driver(reader, false, app.CardTables());
  ASSERT_TRUE(driver.Start());
  const CReaderFields facts = driver.Fields();
  EXPECT_EQ(facts.m_strFirmware, "1.23");
  EXPECT_EQ(facts.m_strLibrary, "3.10");
  EXPECT_EQ(facts.m_strSerialNumber, "CT200-004711");
  EXPECT_EQ(facts.m_strCtApiPort, CtApiPortOf(reader));

  ASSERT_TRUE(driver.Update());
  const CReaderFields f = driver.Fields();
  EXPECT_EQ(f.m_strStatus, "Smart card inserted");
  EXPECT_EQ(f.m_strATR, kSignatureAtr);
  EXPECT_EQ(f.m_strCardName, "VELKARO Signature Card");
  EXPECT_EQ(f.m_strProtocol, "T=1");
  EXPECT_EQ(f.m_strPort, "COM3");
  EXPECT_EQ(f.m_strFrequency, "4.0 MHz");
  EXPECT_EQ(f.m_strVoltage, "5V");
  EXPECT_EQ(f.m_strTA1InUse, "0x18");
  EXPECT_EQ(f.m_strTA1, "n/a");
  EXPECT_EQ(f.m_strLibrary, "3.10");
}

// The ATR and the card's name come with the reader's state, so the page gets
// them before the connection is made; a card that cannot be connected (here
// another client holds it) keeps no ATR once its update has ended.
TEST_F(ReaderSessionTest, AtrAndNameGoUpBeforeTheConnection) {
  VELKARO_REQUIRE_SANDBOX();
  const std::string reader = Sandbox().ReaderName("VELKARO CT 200");
  const struct {
    const char* label;
    bool held;
    const char* atr;
    const char* name;
    const char* protocol;
  } cases[] = {
      {"card free", false, kSignatureAtr, "VELKARO Signature Card", "T=1"},
      {"card held by another client", true, "", "", "n/a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScopedContext other;
    ASSERT_TRUE(other.IsValid());
    SCARDHANDLE held = 0;
    DWORD protocol = 0;
    if (c.held) {
      ASSERT_EQ(SCardConnect(other.Get(), reader.c_str(), SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                             &held, &protocol),
                SCARD_S_SUCCESS);
    }
    {
      SessionDriver driver(reader, false, app.CardTables());
      ASSERT_TRUE(driver.Begin());
      ASSERT_TRUE(driver.Update());
      const auto redrawn = driver.Redrawn();
      const auto early = std::find_if(redrawn.begin(), redrawn.end(),
                                      [](const CReaderFields& f) { return !f.m_strATR.empty(); });
      ASSERT_NE(early, redrawn.end());
      EXPECT_EQ(early->m_strATR, kSignatureAtr);
      EXPECT_EQ(early->m_strCardName, "VELKARO Signature Card");
      EXPECT_EQ(early->m_strStatus, "Smart card inserted");
      EXPECT_EQ(early->m_strProtocol, "n/a");  // not connected yet
      const CReaderFields f = driver.Fields();
      EXPECT_EQ(f.m_strATR, c.atr);
      EXPECT_EQ(f.m_strCardName, c.name);
      EXPECT_EQ(f.m_strProtocol, c.protocol);
    }
    if (c.held) SCardDisconnect(held, SCARD_LEAVE_CARD);
  }
}

// Pages opened together search the CT-API ports at the same time, each on
// its own thread, with the library's one terminal number.
TEST_F(ReaderSessionTest, PagesOpenedTogetherEachFindTheirCtApiPort) {
  VELKARO_REQUIRE_SANDBOX();
  std::vector<std::string> readers;
  std::vector<std::unique_ptr<SessionDriver>> drivers;
  for (const char* model : {"VELKARO CT 200", "VELKARO CT 220", "HALVORN KR210 Proximity"}) {
    readers.push_back(Sandbox().ReaderName(model));
    drivers.push_back(std::make_unique<SessionDriver>(readers.back()));
  }
  for (auto& driver : drivers) ASSERT_TRUE(driver->Begin());
  for (std::size_t i = 0; i < drivers.size(); ++i) {
    ASSERT_TRUE(drivers[i]->WaitForFacts()) << readers[i];
    EXPECT_EQ(drivers[i]->Fields().m_strCtApiPort, CtApiPortOf(readers[i])) << readers[i];
  }
}

TEST_F(ReaderSessionTest, InsertionAndRemovalAreEachShown) {
  VELKARO_REQUIRE_SANDBOX();
  SessionDriver driver(Sandbox().ReaderName("VELKARO CT 220"), false, app.CardTables());
  ASSERT_TRUE(driver.Start());
  ASSERT_TRUE(driver.UpdateUntilStatus("No smart card inserted"));
  CReaderFields f = driver.Fields();
  EXPECT_EQ(f.m_strProtocol, "n/a");
  EXPECT_EQ(f.m_strATR, "");

  for (int round = 0; round < 3; ++round) {
    RunSim({"insert", "e_ct220"});
    ASSERT_TRUE(driver.UpdateUntilStatus("Smart card inserted")) << round;
    f = driver.Fields();
    // A synchronous memory card: its type stands for the protocol, TA1 means nothing.
    EXPECT_EQ(f.m_strATR, "3B 04 49 32 43 2E");
    EXPECT_EQ(f.m_strProtocol, "I2C");
    EXPECT_EQ(f.m_strTA1InUse, "n/a");
    EXPECT_EQ(f.m_strPort, "PCMCIA");

    RunSim({"remove", "e_ct220"});
    ASSERT_TRUE(driver.UpdateUntilStatus("No smart card inserted")) << round;
    f = driver.Fields();
    // The card's fields are reset; the reader's facts stay.
    EXPECT_EQ(f.m_strATR, "");
    EXPECT_EQ(f.m_strCardName, "");
    for (const std::string* text : {&f.m_strProtocol, &f.m_strSubProtocol, &f.m_strPort, &f.m_strFrequency,
                                    &f.m_strTA1InUse, &f.m_strTA1, &f.m_strVoltage}) {
      EXPECT_EQ(*text, "n/a");
    }
    EXPECT_EQ(f.m_strFirmware, "1.01");
    EXPECT_EQ(f.m_strLibrary, "3.12");
    EXPECT_EQ(f.m_strSerialNumber, "CT220-1");
    EXPECT_NE(f.m_strCtApiPort, "n/a");
  }
}

TEST_F(ReaderSessionTest, MuteCardShowsTheResetText) {
  VELKARO_REQUIRE_SANDBOX();
  SessionDriver driver(Sandbox().ReaderName("VELKARO CT 110"));
  ASSERT_TRUE(driver.Start());
  ASSERT_TRUE(driver.UpdateUntilStatus("The smart card is not responding to a reset"));
  const CReaderFields f = driver.Fields();
  EXPECT_EQ(f.m_strATR, "");
  EXPECT_EQ(f.m_strProtocol, "n/a");
  EXPECT_EQ(f.m_strPort, "n/a");
  EXPECT_EQ(f.m_strSerialNumber, "n/a");  // the driver's placeholder serial number
}

TEST_F(ReaderSessionTest, ContactlessCardShowsKindRatesAndIdentifier) {
  VELKARO_REQUIRE_SANDBOX();
  SessionDriver driver(Sandbox().ReaderName("VELKARO CL 3700", 1), /*contactless=*/true, app.CardTables());
  ASSERT_TRUE(driver.Start());
  ASSERT_TRUE(driver.UpdateUntilStatus("Smart card inserted"));
  const CReaderFields f = driver.Fields();
  EXPECT_EQ(f.m_strProtocol, "ISO 14443B");
  EXPECT_EQ(f.m_strSubProtocol, "Part 2");
  EXPECT_EQ(f.m_strTA1InUse, "212 kbps");
  EXPECT_EQ(f.m_strTA1, "424 kbps");
  EXPECT_EQ(f.m_strFrequency, "13.56 MHz");
  // The name from the pattern, then the identifier.
  EXPECT_EQ(f.m_strCardName, "Contactless card, kind byte 07  UID:5A 3C 01 99");
}

TEST_F(ReaderSessionTest, FailingClockQueryKeepsTheLaterFields) {
  VELKARO_REQUIRE_SANDBOX();
  SessionDriver driver(Sandbox().ReaderName("VELKARO CT 210"));
  ASSERT_TRUE(driver.Start());
  ASSERT_TRUE(driver.UpdateUntilStatus("Smart card inserted"));
  const CReaderFields f = driver.Fields();
  EXPECT_EQ(f.m_strATR, "3B 02 14 50");
  EXPECT_EQ(f.m_strProtocol, "T=0");
  EXPECT_EQ(f.m_strPort, "USB");
  EXPECT_EQ(f.m_strFrequency, "n/a");
  EXPECT_EQ(f.m_strVoltage, "n/a");
  EXPECT_EQ(f.m_strTA1InUse, "n/a");
  EXPECT_EQ(f.m_strFirmware, "2.50");
  EXPECT_EQ(f.m_strLibrary, "3.11");  // from the page's initialisation
  // The vendor's driver, one query short: its "n/a" means what it always did.
  EXPECT_EQ(driver.Session().DriverNotes(f).m_strFrequency, "");
}

// The vendor's driver refusing its firmware query: the card's answers show
// whose driver it is, and the "n/a" carries no note.
TEST_F(ReaderSessionTest, OneRefusedQueryOfTheVendorsDriverGivesNoNote) {
  VELKARO_REQUIRE_SANDBOX();
  RunSim({"fail", "a_ct200", "3001"});
  SessionDriver driver(Sandbox().ReaderName("VELKARO CT 200"));
  const bool started = driver.Start();
  RunSim({"unfail", "a_ct200"});
  ASSERT_TRUE(started);
  ASSERT_TRUE(driver.UpdateUntilStatus("Smart card inserted"));
  const CReaderFields f = driver.Fields();
  EXPECT_EQ(f.m_strFirmware, "n/a");
  EXPECT_EQ(driver.Session().DriverNotes(f).m_strFirmware, "");
}

TEST_F(ReaderSessionTest, MonitorRestsWhilePcscdIsGoneAndComesBackWithIt) {
  VELKARO_REQUIRE_SANDBOX();
  SessionDriver driver(Sandbox().ReaderName("VELKARO CT 200"));
  ASSERT_TRUE(driver.Start());
  ASSERT_TRUE(driver.UpdateUntilStatus("Smart card inserted"));

  Sandbox().Stop();
  const int waitsBefore = driver.Session().WaitCount();
  std::this_thread::sleep_for(2500ms);
  // Every call on a dead context fails at once; a pause after each failure
  // keeps the thread from spinning (a few waits, not thousands).
  EXPECT_LE(driver.Session().WaitCount() - waitsBefore, 5);

  ASSERT_EQ(Sandbox().Start(), std::nullopt);
  // The session takes a new context and reports the reader's state afresh.
  ASSERT_TRUE(driver.Update(10s));
  EXPECT_EQ(driver.Fields().m_strStatus, "Smart card inserted");
  EXPECT_EQ(driver.Fields().m_strATR, kSignatureAtr);
}

// A reader unplugged after its tab opened: the register read says it could
// not connect, and reads nothing.
TEST_F(ReaderSessionTest, RegisterReadOfAReaderThatWentSaysSo) {
  VELKARO_REQUIRE_SANDBOX();
  SessionDriver driver(Sandbox().ReaderName("VELKARO CL 3700"));
  ASSERT_TRUE(driver.Start());
  ASSERT_EQ(RunSim({"unplug", "b_cl3700"}).exitCode, 0);
  ASSERT_TRUE(Sandbox().WaitForState(driver.Session().ReaderName(), HasState(SCARD_STATE_UNAVAILABLE)).has_value());
  const CRegisterRead read = driver.Session().ReadRegisters();
  EXPECT_STREQ(read.failure, kConnectingFailed);
  EXPECT_TRUE(read.antennas.empty());
}

// A pcscd that does not answer holds the monitor thread, never the caller:
// Begin() returns while pcscd is still stopped (a watchdog lets pcscd go on
// after 5 s, so a caller that waits fails instead of hanging).
TEST_F(ReaderSessionTest, StartingWhilePcscdIsFrozenReturnsAtOnce) {
  VELKARO_REQUIRE_SANDBOX();
  SessionDriver driver(Sandbox().ReaderName("VELKARO CT 200"));
  const pid_t pcscd = Sandbox().Pid();
  ASSERT_EQ(::kill(pcscd, SIGSTOP), 0);
  std::atomic<bool> begun{false};
  std::atomic<bool> rescued{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 500 && !begun.load(); ++i) std::this_thread::sleep_for(10ms);
    rescued = !begun.load();
    ::kill(pcscd, SIGCONT);
  });
  const bool started = driver.Begin();
  begun = true;
  watchdog.join();
  ASSERT_TRUE(started);
  EXPECT_FALSE(rescued.load());
  ASSERT_TRUE(driver.UpdateUntilStatus("Smart card inserted"));
}

TEST_F(ReaderSessionTest, SessionWithoutPcscLibraryStaysQuiet) {
  CReaderSession session("libvelkaro-no-such-pcsclite.so.1");
  session.SetReaderName("VELKARO CT 200 00 00");
  session.SetCtApiModule("velkaro-no-such-ctapi");
  ASSERT_TRUE(session.Initialise([] {}, [] {}));
  EXPECT_EQ(session.Context(), kNoContext);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(session.PostedCount(), 0);
  // A card that arrived, handed over without a context: only the end steps
  // run, so nothing of the card is shown.
  SCARD_READERSTATE arrived{};
  arrived.dwCurrentState = SCARD_STATE_EMPTY;
  arrived.dwEventState = SCARD_STATE_CHANGED | SCARD_STATE_PRESENT;
  session.Monitor().HandOverForTest(arrived);
  session.UpdateCardInfo();
  EXPECT_EQ(session.Fields().m_strStatus, "");
  EXPECT_EQ(session.Fields().m_strProtocol, "n/a");
}

// Stopping cancels the pending status-change wait, which has no time-out of
// its own.
TEST_F(ReaderSessionTest, StopCancelsThePendingWait) {
  VELKARO_REQUIRE_SANDBOX();
  SessionDriver driver(Sandbox().ReaderName("VELKARO CT 220"));
  ASSERT_TRUE(driver.Start());
  ASSERT_TRUE(driver.UpdateUntilStatus("No smart card inserted"));
  const int waits = driver.Session().WaitCount();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (driver.Session().WaitCount() == waits && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(100ms);  // inside the wait, well before its time-out
  driver.Session().Stop();
  ASSERT_TRUE(driver.Session().WaitForExit(2s));
  EXPECT_EQ(driver.Session().Monitor().LastWaitResult(), SCARD_E_CANCELLED);
}

namespace {

SCARD_READERSTATE HandedState(DWORD current, DWORD event, const std::vector<BYTE>& atr) {
  SCARD_READERSTATE state{};
  state.dwCurrentState = current;
  state.dwEventState = event;
  state.cbAtr = static_cast<DWORD>(atr.size());
  std::copy(atr.begin(), atr.end(), state.rgbAtr);
  return state;
}

}  // namespace

// Each step hands the update a state as the monitor would: a card that
// stays present is read again only when the event counter (high 16 bits)
// moved or it came out of the mute state; going mute ends the card read.
TEST_F(ReaderSessionTest, CardChangesBetweenPresentStatesAreRead) {
  VELKARO_REQUIRE_SANDBOX();
  const std::vector<BYTE> first = {0x3B, 0x02, 0x14, 0x50};
  const std::vector<BYTE> second = {0x3B, 0x02, 0x14, 0x51};
  constexpr DWORD kPresent = SCARD_STATE_CHANGED | SCARD_STATE_PRESENT;
  constexpr DWORD kMute = SCARD_STATE_PRESENT | SCARD_STATE_MUTE;
  const struct {
    const char* step;
    DWORD current, event;
    std::vector<BYTE> atr;
    const char *status, *shownAtr, *protocol;
  } steps[] = {
      {"first update", SCARD_STATE_UNAWARE, kPresent | 0x30000, first, "Smart card inserted", "3B 02 14 50", "T=1"},
      {"same card, other state", kPresent | 0x30000, kPresent | SCARD_STATE_INUSE | 0x30000, second,
       "Smart card inserted", "3B 02 14 50", "T=1"},
      {"swapped unseen", kPresent | 0x30000, kPresent | 0x50000, second, "Smart card inserted", "3B 02 14 51", "T=1"},
      {"goes mute", kPresent | 0x50000, kMute | 0x50000, {}, "The smart card is not responding to a reset", "",
       "n/a"},
      {"answers again", kMute | 0x50000, kPresent | 0x50000, first, "Smart card inserted", "3B 02 14 50", "T=1"},
  };
  CReaderSession session;
  session.SetReaderName(Sandbox().ReaderName("VELKARO CT 200"));
  ASSERT_TRUE(session.Monitor().EstablishContextForTest());
  for (const auto& s : steps) {
    SCOPED_TRACE(s.step);
    session.Monitor().HandOverForTest(HandedState(s.current, s.event, s.atr));
    session.UpdateCardInfo();
    const CReaderFields f = session.Fields();
    EXPECT_EQ(f.m_strStatus, s.status);
    EXPECT_EQ(f.m_strATR, s.shownAtr);
    EXPECT_EQ(f.m_strProtocol, s.protocol);
  }
}

// Against pcscd: every card the simulated reader is given shows, swaps in
// quick succession included, and a present card that goes mute and comes
// back is shown without it and with it again.
TEST_F(ReaderSessionTest, EveryCardChangeReachesThePage) {
  VELKARO_REQUIRE_SANDBOX();
  // First a swap while the tab reads the card it found (a slow port
  // query holds it): pcscd's counter moves from 0, which pcsc-lite does not
  // report as a change by itself.
  RunSim({"set", "a_ct200", "slow=channel", "delay=600"});
  SessionDriver driver(Sandbox().ReaderName("VELKARO CT 200"), false, app.CardTables());
  ASSERT_TRUE(driver.Start());
  std::this_thread::sleep_for(200ms);
  RunSim({"swap", "a_ct200", "atr=3B 02 14 5F"});
  RunSim({"set", "a_ct200", "slow=", "delay=0"});
  EXPECT_TRUE(driver.UpdateUntil([](const CReaderFields& f) { return f.m_strATR == "3B 02 14 5F"; }))
      << "shown: " << driver.Fields().m_strATR;
  struct Step {
    std::vector<std::string> command;
    std::string status, atr, frequency;
  };
  std::vector<Step> steps;
  for (int i = 0; i < 6; ++i) {
    const std::string atr = "3B 02 14 5" + std::to_string(i);
    steps.push_back({{"swap", "a_ct200", "atr=" + atr}, "Smart card inserted", atr, "4.0 MHz"});
  }
  steps.push_back({{"mute", "a_ct200"}, "The smart card is not responding to a reset", "", "n/a"});
  steps.push_back({{"mute", "a_ct200", "no"}, "Smart card inserted", "3B 02 14 55", "4.0 MHz"});
  for (const Step& step : steps) {
    SCOPED_TRACE(step.command.front() + " " + step.command.back());
    RunSim(step.command);
    EXPECT_TRUE(driver.UpdateUntil([&step](const CReaderFields& f) {
      return f.m_strStatus == step.status && f.m_strATR == step.atr && f.m_strFrequency == step.frequency;
    })) << "shown: " << driver.Fields().m_strStatus << " / " << driver.Fields().m_strATR;
  }
}

// At rest the monitor stays in one wait, whether pcscd's event counter is
// still 0 (a card present since pcscd started) or has moved. Swaps show in
// both cases, one made while the page still reads the first card included:
// pcsc-lite sees no change in that one by itself.
TEST_F(ReaderSessionTest, RestingMonitorSeesSwaps) {
  VELKARO_REQUIRE_SANDBOX();
  SessionDriver moved(Sandbox().ReaderName("VELKARO CT 200"));
  {
    // The first card update waits for the page lock while the card is swapped.
    const std::lock_guard hold(moved.Session().Monitor().PageLock());
    ASSERT_TRUE(moved.Begin());
    for (int i = 0; i < 500 && moved.Session().PostedCount() == 0; ++i) std::this_thread::sleep_for(10ms);
    RunSim({"swap", "a_ct200", "atr=3B 02 14 5A"});
    std::this_thread::sleep_for(300ms);
  }
  ASSERT_TRUE(moved.WaitForFacts());
  ASSERT_TRUE(moved.UpdateUntil([](const CReaderFields& f) { return f.m_strATR == "3B 02 14 5A"; }, 8s))
      << "shown: " << moved.Fields().m_strATR;
  SessionDriver fromStart(Sandbox().ReaderName("VELKARO CT 210"));
  ASSERT_TRUE(fromStart.Start());
  ASSERT_TRUE(fromStart.UpdateUntilStatus("Smart card inserted"));
  const struct {
    SessionDriver& driver;
    const char *file, *atr;
  } readers[] = {{moved, "a_ct200", "3B 02 14 5B"}, {fromStart, "d_ct210", "3B 02 14 5C"}};
  std::this_thread::sleep_for(1000ms);  // both back in their waits
  std::vector<int> waits;
  for (const auto& r : readers) waits.push_back(r.driver.Session().WaitCount());
  std::this_thread::sleep_for(2500ms);
  for (std::size_t i = 0; i < std::size(readers); ++i) {
    SCOPED_TRACE(readers[i].file);
    // Without a time-out, a resting monitor stays in one wait.
    if (kStatusChangeTimeoutMs == INFINITE) {
      EXPECT_EQ(readers[i].driver.Session().WaitCount(), waits[i]);
    }
    RunSim({"swap", readers[i].file, std::string("atr=") + readers[i].atr});
    EXPECT_TRUE(readers[i].driver.UpdateUntil([&](const CReaderFields& f) { return f.m_strATR == readers[i].atr; }, 8s))
        << "shown: " << readers[i].driver.Fields().m_strATR;
  }
}

// A driver slow to answer the reader query: the CT-API port comes at once,
// the driver's facts show "n/a" at the deadline and their late answers fill
// them in; the card is read meanwhile.
TEST_F(ReaderSessionTest, SlowReaderFactsShowNotAvailableUntilTheyCome) {
  VELKARO_REQUIRE_SANDBOX();
  RunSim({"set", "a_ct200", "slow=3001", "delay=1500"});
  const std::string reader = Sandbox().ReaderName("VELKARO CT 200");
  SessionDriver driver(reader, false, app.CardTables());
  driver.Session().SetFactsDeadline(300ms);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(driver.Start());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1200ms);
  CReaderFields f = driver.Session().Fields();
  EXPECT_EQ(f.m_strCtApiPort, CtApiPortOf(reader));
  EXPECT_EQ(f.m_strFirmware, "n/a");
  EXPECT_EQ(f.m_strLibrary, "n/a");
  EXPECT_EQ(f.m_strSerialNumber, "n/a");
  EXPECT_EQ(driver.Session().DriverNotes(f).m_strFirmware,
            "The reader's driver did not answer within 0.3 s, so this value is not known");
  ASSERT_TRUE(driver.UpdateUntilStatus("Smart card inserted"));
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (driver.Session().Fields().m_strSerialNumber != "CT200-004711" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  f = driver.Session().Fields();
  EXPECT_EQ(f.m_strFirmware, "1.23");
  EXPECT_EQ(f.m_strLibrary, "3.10");
  EXPECT_EQ(f.m_strSerialNumber, "CT200-004711");
  EXPECT_EQ(f.m_strATR, kSignatureAtr);
  // Once the driver has answered, a fact it leaves unknown carries no note.
  f.m_strFirmware = "n/a";
  EXPECT_EQ(driver.Session().DriverNotes(f).m_strFirmware, "");
}
