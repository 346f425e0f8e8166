// The other maker's contactless reader tab: its card update against the
// private pcscd and the simulated driver, and its air speed setting against
// a settings store of the test's own.

#include "reader/kestrel_dialog.h"

#include <gtest/gtest.h>

#include <QAction>

#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "fakes.h"
#include "platform/store/registry.h"
#include "registry_fixture.h"
#include "rfid/rfid_settings.h"
#include "sandbox_environment.h"

namespace {

using namespace testing_support;

const auto* const g_environment = PcscdSandboxEnvironment::Install(VELKARO_TEST_DATA "/reader/pages");

std::unique_ptr<CKestrel> OpenPage(const std::string& reader) {
  std::unique_ptr<CKestrel> page(CKestrel::Create());
  page->SetReaderName(reader);
  page->Session().SetCtApiModule(VELKARO_ZELBRIC_MODULE);
  EXPECT_TRUE(page->EnsureInitialised());
  // The air speed list is decided when the monitor thread has read the store.
  EXPECT_TRUE(QTest::qWaitFor([&] { return page->Session().AirSpeedLoaded(); }, 10000));
  return page;
}

// The text shown and no card update under way: the texts are final.
bool WaitForShown(CKestrel& page, CFieldView::Field field, const QString& text) {
  return QTest::qWaitFor(
      [&] { return page.ShownText(field) == text && page.CardUpdatesShown() == page.Session().PostedCount(); }, 10000);
}

const QString kInserted = QStringLiteral("Smart card inserted");
const QString kEmpty = QStringLiteral("No smart card inserted");

// The stored "AirSpeedMax" bytes; nothing when the value is missing.
std::optional<std::uint32_t> StoredAirSpeed() {
  velkaro::ScopedHKey key;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kAirSpeedKey, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return std::nullopt;
  std::uint32_t value = 0;
  std::uint32_t size = sizeof value;
  if (RegQueryValueEx(key.Get(), kAirSpeedValue, nullptr, nullptr, reinterpret_cast<std::uint8_t*>(&value), &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

bool KeyExists() {
  velkaro::ScopedHKey key;
  return RegOpenKeyEx(HKEY_LOCAL_MACHINE, kAirSpeedKey, 0, KEY_READ, key.Receive()) == ERROR_SUCCESS;
}

}  // namespace

TEST(KestrelTest, ContactlessCardShowsTClItsIdentifierAndTheReadersVersions) {
  VELKARO_REQUIRE_SANDBOX();
  auto page = OpenPage(Sandbox().ReaderName("HALVORN KR210 Proximity"));
  // No reader information query: the versions come with the first card.
  ASSERT_TRUE(WaitForShown(*page, &CReaderFields::m_strStatus, kInserted));
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strProtocol), "T=CL");
  EXPECT_TRUE(page->ShownText(&CReaderFields::m_strCardName).endsWith("UID:5A 3C 01 99"))
      << page->ShownText(&CReaderFields::m_strCardName).toStdString();
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strFirmware), "3.05");
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strLibrary), "1.20");
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strPort), "USB");
  EXPECT_NE(page->ShownText(&CReaderFields::m_strCtApiPort), "n/a");
  const auto* atrDetails = page->findChild<QAction*>("atrDetailsAction");
  ASSERT_NE(atrDetails, nullptr);
  EXPECT_TRUE(atrDetails->isEnabled());

  RunSim({"remove", "f_kr210"});
  ASSERT_TRUE(WaitForShown(*page, &CReaderFields::m_strStatus, kEmpty));
  for (const auto field : {&CReaderFields::m_strFirmware, &CReaderFields::m_strLibrary, &CReaderFields::m_strPort,
                           &CReaderFields::m_strProtocol}) {
    EXPECT_EQ(page->ShownText(field), "n/a");
  }
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strATR), "");
  EXPECT_FALSE(atrDetails->isEnabled());

  RunSim({"insert", "f_kr210"});
  ASSERT_TRUE(WaitForShown(*page, &CReaderFields::m_strFirmware, "3.05"));
  EXPECT_EQ(page->ShownText(&CReaderFields::m_strLibrary), "1.20");
}

TEST(KestrelTest, RestartedPcscdBringsThePageBack) {
  VELKARO_REQUIRE_SANDBOX();
  auto page = OpenPage(Sandbox().ReaderName("HALVORN KR210 Proximity"));
  ASSERT_TRUE(WaitForShown(*page, &CReaderFields::m_strStatus, kInserted));
  Sandbox().Stop();
  RunSim({"remove", "f_kr210"});
  ASSERT_EQ(Sandbox().Start(), std::nullopt);
  // A new context, and the reader's state afresh.
  EXPECT_TRUE(WaitForShown(*page, &CReaderFields::m_strStatus, kEmpty));
  RunSim({"insert", "f_kr210"});
  EXPECT_TRUE(WaitForShown(*page, &CReaderFields::m_strProtocol, "T=CL"));
}

TEST(KestrelTest, AirSpeedListFollowsTheStore) {
  const struct {
    const char* stored;  // the value line in the store, or nothing
    bool enabled;
    const char* shown;
  } cases[] = {
      {nullptr, true, "848"},
      {"dword:00000002", true, "212"},
      {"dword:00000003", false, "106"},           // not one of the list's values
      {"dword:00000000", false, "106"},
      {"dword:00000010", false, "106"},
      {"dword:ffffffff", false, "106"},
      {"hex:04", true, "424"},                    // the type is not asked
      {"\"8\"", false, "106"},                    // a text is no number of the list
      {"hex:08,00,00,00,00", false, "106"},       // longer than a number
  };
  for (const auto& c : cases) {
    RegistryStores stores;
    std::string content = "Windows Registry Editor Version 5.00\n\n";
    if (c.stored) content += std::string("[HKEY_LOCAL_MACHINE\\") + kAirSpeedKey + "]\n\"AirSpeedMax\"=" + c.stored + "\n";
    stores.WriteMachine(content);
    auto page = OpenPage("HALVORN KR210 Proximity 00 00");
    EXPECT_EQ(page->AirSpeedList()->isEnabled(), c.enabled) << (c.stored ? c.stored : "missing");
    EXPECT_EQ(page->AirSpeedList()->currentText(), c.shown) << (c.stored ? c.stored : "missing");
    EXPECT_FALSE(page->ApplyButton()->isEnabled());
    EXPECT_TRUE(KeyExists()) << "the read creates the key";
  }
}

TEST(KestrelTest, ApplyIsOfferedOnlyForADifferentSpeedAndStoresIt) {
  RegistryStores stores;
  auto page = OpenPage("HALVORN KR210 Proximity 00 00");
  page->AirSpeedList()->setCurrentIndex(2);  // 424
  EXPECT_TRUE(page->ApplyButton()->isEnabled());
  page->AirSpeedList()->setCurrentIndex(3);  // back to 848
  EXPECT_FALSE(page->ApplyButton()->isEnabled());
  page->AirSpeedList()->setCurrentIndex(2);
  QTest::mouseClick(page->ApplyButton(), Qt::LeftButton);
  EXPECT_EQ(StoredAirSpeed(), 4u);
  EXPECT_FALSE(page->ApplyButton()->isEnabled());
  EXPECT_EQ(page->Session().AirSpeed(), 2);
}

TEST(KestrelTest, FailedApplyIsToldAndTheListShowsWhatIsStored) {
  RegistryStores stores;
  RecordingMessageBox messages;
  stores.WriteMachine(std::string("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\") + kAirSpeedKey +
                      "]\n\"AirSpeedMax\"=dword:00000008\n");
  auto page = OpenPage("HALVORN KR210 Proximity 00 00");
  page->AirSpeedList()->setCurrentIndex(0);  // 106
  {
    const ScopedFileSizeLimit full(16);
    QTest::mouseClick(page->ApplyButton(), Qt::LeftButton);
  }
  ASSERT_EQ(messages.Texts().size(), 1u);
  EXPECT_NE(messages.Texts()[0].find("could not be stored"), std::string::npos) << messages.Texts()[0];
  EXPECT_NE(messages.Texts()[0].find("AirSpeedMax"), std::string::npos);
  EXPECT_EQ(StoredAirSpeed(), 8u);
  EXPECT_EQ(page->AirSpeedList()->currentText(), "848");
  EXPECT_EQ(page->Session().AirSpeed(), 3);
  EXPECT_FALSE(page->ApplyButton()->isEnabled());
  // Choosing the stored speed again offers nothing to apply.
  page->AirSpeedList()->setCurrentIndex(0);
  EXPECT_TRUE(page->ApplyButton()->isEnabled());
}

// As on the reader page, every card change is read: cards swapped in quick
// succession, and a card that goes mute and answers again.
TEST(KestrelTest, EveryCardChangeReachesThePage) {
  VELKARO_REQUIRE_SANDBOX();
  auto page = OpenPage(Sandbox().ReaderName("HALVORN KR210 Proximity"));
  ASSERT_TRUE(WaitForShown(*page, &CReaderFields::m_strStatus, kInserted));
  struct Step {
    std::vector<std::string> command;
    QString status, uidEnd, firmware;
  };
  std::vector<Step> steps;
  for (int i = 0; i < 4; ++i) {
    const std::string uid = "5A 3C 01 A" + std::to_string(i);
    steps.push_back({{"swap", "f_kr210", "type=ISO14443B", "kind=8", "uid=" + uid}, kInserted,
                     QString::fromStdString("UID:" + uid), "3.05"});
  }
  steps.push_back({{"mute", "f_kr210"}, "The smart card is not responding to a reset", "", "n/a"});
  steps.push_back({{"mute", "f_kr210", "no"}, kInserted, "UID:5A 3C 01 A3", "3.05"});
  for (const Step& step : steps) {
    SCOPED_TRACE(step.command.front() + " " + step.command.back());
    RunSim(step.command);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          return page->ShownText(&CReaderFields::m_strStatus) == step.status &&
                 page->ShownText(&CReaderFields::m_strCardName).endsWith(step.uidEnd) &&
                 page->ShownText(&CReaderFields::m_strFirmware) == step.firmware &&
                 page->CardUpdatesShown() == page->Session().PostedCount();
        },
        5000))
        << page->ShownText(&CReaderFields::m_strStatus).toStdString() << " / "
        << page->ShownText(&CReaderFields::m_strCardName).toStdString();
  }
}
