// The contactless settings tabs over a settings store of the test's own:
// what they show for stored values, and what Apply and Reset store.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "fakes.h"
#include "platform/store/registry.h"
#include "registry_fixture.h"
#include "rfid/dlg_baudrates.h"
#include "rfid/prox_settings.h"
#include "rfid/rfid_setting_dlg.h"

namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";
const std::string kRfid = std::string("[HKEY_LOCAL_MACHINE\\") + kRfidKey + "]\n";
const std::string kRates = std::string("[HKEY_LOCAL_MACHINE\\") + kRateKey + "]\n";
const std::string kDriver = std::string("[HKEY_LOCAL_MACHINE\\") + kTessaroKey + "]\n";

// A stored value's bytes; nothing when it is missing.
std::optional<Bytes> Stored(const char* key, const char* name) {
  velkaro::ScopedHKey handle;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, handle.Receive()) != ERROR_SUCCESS) return std::nullopt;
  std::uint32_t size = 0;
  if (RegQueryValueEx(handle.Get(), name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
  Bytes data(size);
  RegQueryValueEx(handle.Get(), name, nullptr, nullptr, data.data(), &size);
  return data;
}

Bytes Dword(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

QStringList Items(const QListWidget* list) {
  QStringList items;
  for (int row = 0; row < list->count(); ++row) items << list->item(row)->text();
  return items;
}

template <typename Page>
std::unique_ptr<Page> Open() {
  std::unique_ptr<Page> page(Page::Create());
  EXPECT_TRUE(page->EnsureInitialised());
  return page;
}

void Select(QListWidget* list, const QStringList& texts) {
  list->clearSelection();
  for (const QString& text : texts) list->findItems(text, Qt::MatchExactly).front()->setSelected(true);
}

// Ways a store refuses a write, each with the words the user must see and
// whether the store can still be read; `Break` answers how to repair it.
// A held lock costs the whole lock wait (5 s) per write tried.
struct StoreFault {
  const char* name;
  std::function<std::function<void()>(const RegistryStores&)> Break;
  std::function<std::string(const RegistryStores&)> reason;
  bool readable;
  bool slow = false;
};

const StoreFault kStoreFaults[] = {
    {"damaged",
     [](const RegistryStores& stores) {
       const std::string good = stores.ReadMachine();
       stores.WriteMachine(kHeader + "[HKEY_LOCAL_MACHINE\\SYSTEM]\nnot a value\n");
       return std::function<void()>([&stores, good] { stores.WriteMachine(good); });
     },
     [](const RegistryStores& stores) {
       return "the settings store is damaged (error 1009): " + stores.MachinePath() + ":4: ";
     },
     false},
    {"writable for others",
     [](const RegistryStores& stores) {
       ::chmod(stores.MachinePath().c_str(), 0666);
       return std::function<void()>([&stores] { ::chmod(stores.MachinePath().c_str(), 0644); });
     },
     [](const RegistryStores& stores) {
       return "access denied (error 5): " + stores.MachinePath() + ": is writable for other users (mode 0666)";
     },
     false},
    {"lock held",
     [](const RegistryStores& stores) {
       const int fd = ::open((stores.Dir() / "etc/.registry.reg.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
       EXPECT_EQ(::flock(fd, LOCK_EX), 0);
       return std::function<void()>([fd] { ::close(fd); });
     },
     [](const RegistryStores& stores) {
       return "the settings store cannot be written (error 1013): " + stores.MachinePath() + ": the lock file " +
              (stores.Dir() / "etc/.registry.reg.lock") + " is held by process " + std::to_string(::getpid());
     },
     true, true},
    {"disk full",
     [](const RegistryStores&) {
       auto full = std::make_shared<ScopedFileSizeLimit>(16);
       return std::function<void()>([full]() mutable { full.reset(); });
     },
     [](const RegistryStores& stores) {
       return "the settings store cannot be written (error 1013): " + stores.MachinePath() + ": ";
     },
     true},
};

}  // namespace

TEST(CardSearchPageTest, ListsFollowTheStoredOrder) {
  const struct {
    std::string value;
    QStringList order;
    QStringList available;
  } cases[] = {
      {"", {}, {"ZENTRA15693", "ICODE1", "ISO14443A", "ISO15693", "ISO14443B", "STM14443B"}},
      {"\"CardSearch\"=hex:03,00,09,01\n", {"ISO14443B", "ISO14443A"}, {"ZENTRA15693", "ICODE1", "ISO15693", "STM14443B"}},
      // A code named twice is listed once; bytes above 6 name no type.
      {"\"CardSearch\"=hex:06,ff,06,ff,ff,04\n", {"ICODE1", "ISO15693"},
       {"ZENTRA15693", "ISO14443A", "ISO14443B", "STM14443B"}},
      {"\"CardSearch\"=hex:05\n", {"STM14443B"}, {"ZENTRA15693", "ICODE1", "ISO14443A", "ISO15693", "ISO14443B"}},
  };
  for (const auto& c : cases) {
    RegistryStores stores;
    stores.WriteMachine(kHeader + kRfid + c.value);
    auto page = Open<CRFIDSettingDlg>();
    EXPECT_EQ(Items(page->SearchOrderList()), c.order) << c.value;
    EXPECT_EQ(Items(page->AvailableList()), c.available) << c.value;
    for (const char* button : {"Up", "Down", "Add", "Remove", "Apply", "Reset"}) {
      EXPECT_FALSE(page->Button(button)->isEnabled()) << button;
    }
  }
}

TEST(CardSearchPageTest, ApplyMergesTheOrderIntoTheStoredBytes) {
  RegistryStores stores;
  stores.WriteMachine(kHeader + kRfid + "\"CardSearch\"=hex:03,00,09,01\n");
  auto page = Open<CRFIDSettingDlg>();
  page->OnApply();
  EXPECT_EQ(Stored(kRfidKey, "CardSearch"), (Bytes{0x03, 0x01, 0x09, 0x00, 0x00}));

  // Everything removed: only the byte that names no type stays.
  Select(page->SearchOrderList(), {"ISO14443B", "ISO14443A"});
  page->OnRemove();
  EXPECT_TRUE(page->Button("Apply")->isEnabled());
  page->OnApply();
  EXPECT_EQ(Stored(kRfidKey, "CardSearch"), (Bytes{0x09, 0x00, 0x00, 0x00, 0x00}));

  RegistryStores plain;
  plain.WriteMachine(kHeader + kRfid + "\"CardSearch\"=hex:01,03\n");
  auto second = Open<CRFIDSettingDlg>();
  Select(second->SearchOrderList(), {"ISO14443A", "ISO14443B"});
  second->OnRemove();
  second->OnApply();
  EXPECT_EQ(Stored(kRfidKey, "CardSearch"), std::nullopt) << "no type left: the value goes";

  // A stored 06 is a slot like any code: removed, it goes.
  RegistryStores icode;
  icode.WriteMachine(kHeader + kRfid + "\"CardSearch\"=hex:06,01\n");
  auto third = Open<CRFIDSettingDlg>();
  Select(third->SearchOrderList(), {"ICODE1"});
  third->OnRemove();
  third->OnApply();
  EXPECT_EQ(Stored(kRfidKey, "CardSearch"), (Bytes{0x01, 0x00, 0x00, 0x00, 0x00}));
}

TEST(CardSearchPageTest, AddUpAndDownChangeTheOrderAndResetBringsBackTheStoredOne) {
  RegistryStores stores;
  stores.WriteMachine(kHeader + kRfid + "\"CardSearch\"=hex:01\n");
  auto page = Open<CRFIDSettingDlg>();
  Select(page->AvailableList(), {"ICODE1", "ISO15693"});
  EXPECT_TRUE(page->Button("Add")->isEnabled());
  page->OnAdd();
  EXPECT_EQ(Items(page->SearchOrderList()), (QStringList{"ISO14443A", "ICODE1", "ISO15693"}));
  Select(page->SearchOrderList(), {"ISO15693"});
  EXPECT_TRUE(page->Button("Up")->isEnabled());
  EXPECT_FALSE(page->Button("Down")->isEnabled());
  page->OnUp();
  page->OnUp();
  EXPECT_EQ(Items(page->SearchOrderList()), (QStringList{"ISO15693", "ISO14443A", "ICODE1"}));
  EXPECT_FALSE(page->Button("Up")->isEnabled());
  EXPECT_TRUE(page->Button("Down")->isEnabled());

  page->OnReset();
  EXPECT_EQ(Items(page->SearchOrderList()), QStringList{"ISO14443A"});
  // Types that come back are appended to the available list.
  EXPECT_EQ(Items(page->AvailableList()), (QStringList{"ZENTRA15693", "ISO14443B", "STM14443B", "ICODE1", "ISO15693"}));
  for (const char* button : {"Add", "Up", "Down", "Remove", "Apply", "Reset"}) {
    EXPECT_FALSE(page->Button(button)->isEnabled()) << button;
  }
  EXPECT_EQ(Stored(kRfidKey, "CardSearch"), Bytes{0x01}) << "Reset writes nothing";
}

TEST(CardSearchPageTest, RatesKeepBothStoredForms) {
  // Only type A under the rate key: both codes come from the older value,
  // and opening writes both per-type values.
  RegistryStores stores;
  stores.WriteMachine(kHeader + kRfid + "\"CardSearch\"=hex:01,03\n\"MaximumBaudrate\"=hex:02,01\n\n" + kRates +
                      "\"ISO14443A\"=dword:00000003\n");
  auto page = Open<CRFIDSettingDlg>();
  EXPECT_EQ(Stored(kRateKey, "ISO14443A"), Dword(2));  // code 3 (424)
  EXPECT_EQ(Stored(kRateKey, "ISO14443B"), Dword(0xFF)) << "byte 1 counts only with code 2 in the order";

  // Removing type B stores its default; with type A at default too, the
  // older value goes.
  Select(page->SearchOrderList(), {"ISO14443B"});
  page->OnRemove();
  page->OnApply();
  EXPECT_EQ(Stored(kRateKey, "ISO14443B"), Dword(255));
  EXPECT_EQ(Stored(kRfidKey, "MaximumBaudrate"), (Bytes{0x02, 0x00, 0x00, 0x00, 0x00}));
  Select(page->SearchOrderList(), {"ISO14443A"});
  page->OnRemove();
  page->OnApply();
  EXPECT_EQ(Stored(kRateKey, "ISO14443A"), Dword(255));
  EXPECT_EQ(Stored(kRfidKey, "MaximumBaudrate"), std::nullopt);
}

TEST(CardSearchPageTest, FailedApplyIsToldOnceAndLosesNothing) {
  const QStringList stored = {"ISO14443B", "ISO14443A"};
  const QStringList chosen = {"ISO14443B", "ISO14443A", "ICODE1"};
  for (const StoreFault& fault : kStoreFaults) {
    SCOPED_TRACE(fault.name);
    RegistryStores stores;
    stores.WriteMachine(kHeader + kRfid + "\"CardSearch\"=hex:03,01,09,00,00\n\n" + kRates +
                        "\"ISO14443A\"=dword:000000ff\n\"ISO14443B\"=dword:000000ff\n");
    auto page = Open<CRFIDSettingDlg>();
    Select(page->AvailableList(), {"ICODE1"});
    page->OnAdd();
    const std::function<void()> repair = fault.Break(stores);
    const std::string broken = stores.ReadMachine();
    const std::string reason = fault.reason(stores);
    RecordingMessageBox messages;
    page->OnApply();
    const std::vector<std::string> told = messages.Texts();
    EXPECT_EQ(told.size(), 1u);
    EXPECT_NE(told.empty() ? std::string::npos : told[0].find("\"CardSearch\"\n\n" + reason), std::string::npos)
        << testing::PrintToString(told);
    EXPECT_EQ(stores.ReadMachine(), broken) << "nothing was written";
    // What is stored, or, with nothing readable, the choice kept for another try.
    EXPECT_EQ(Items(page->SearchOrderList()), fault.readable ? stored : chosen);
    EXPECT_EQ(page->Button("Apply")->isEnabled(), !fault.readable);
    EXPECT_EQ(page->StoreNote().contains("Not stored"), !fault.readable) << page->StoreNote().toStdString();
    EXPECT_TRUE(fault.readable || page->StoreNote().contains(QString::fromStdString(reason)));

    repair();
    if (fault.readable) {
      Select(page->AvailableList(), {"ICODE1"});
      page->OnAdd();
    }
    page->OnApply();
    EXPECT_EQ(messages.Texts().size(), 1u);
    EXPECT_EQ(Stored(kRfidKey, "CardSearch"), (Bytes{0x03, 0x01, 0x09, 0x06, 0x00})) << "the 09 keeps its place";
    EXPECT_EQ(page->StoreNote(), "");
  }
}

TEST(CardSearchPageTest, ResetOnAnUnreadableStoreBringsBackTheRatesLastRead) {
  RegistryStores stores;
  stores.WriteMachine(kHeader + kRfid + "\"CardSearch\"=hex:01,03\n\n" + kRates +
                      "\"ISO14443A\"=dword:00000002\n\"ISO14443B\"=dword:00000001\n");
  auto page = Open<CRFIDSettingDlg>();
  Select(page->SearchOrderList(), {"ISO14443B"});
  page->OnRemove();  // its rate goes to the default
  const std::function<void()> repair = kStoreFaults[0].Break(stores);
  page->OnReset();
  repair();
  page->OnApply();
  EXPECT_EQ(Items(page->SearchOrderList()), (QStringList{"ISO14443A", "ISO14443B"}));
  EXPECT_EQ(Stored(kRateKey, "ISO14443B"), Dword(1));
}

TEST(SettingsTabsTest, AStoreThatCannotBeReadIsNamedAsATabOpens) {
  for (const StoreFault& fault : kStoreFaults) {
    if (fault.readable) continue;
    SCOPED_TRACE(fault.name);
    RegistryStores stores;
    stores.WriteMachine(kHeader + kRfid + "\"CardSearch\"=hex:01\n\n" + kRates + "\"ISO14443A\"=dword:00000002\n\n" +
                        kDriver + "\"ProxFormat\"=dword:00000014\n");
    const std::function<void()> repair = fault.Break(stores);
    const QString reason = QString::fromStdString(fault.reason(stores));
    auto search = Open<CRFIDSettingDlg>();
    EXPECT_TRUE(search->StoreNote().contains(reason)) << search->StoreNote().toStdString();
    EXPECT_EQ(search->AvailableList()->count(), 0);
    auto rates = Open<CDlgBaudrates>();
    rates->TypeList()->setCurrentIndex(0);
    EXPECT_EQ(rates->CheckedRate(), "") << "no stored 106 kbaud";
    EXPECT_TRUE(rates->StoreNote().contains(reason)) << rates->StoreNote().toStdString();
    auto prox = Open<CProxSettings>();
    EXPECT_EQ(prox->CheckedFormat(), "") << "no stored Raw";
    EXPECT_TRUE(prox->StoreNote().contains(reason)) << prox->StoreNote().toStdString();

    // Readable now, the store still gets nothing merged into a read that failed.
    repair();
    RecordingMessageBox messages;
    search->OnApply();
    EXPECT_EQ(Stored(kRfidKey, "CardSearch"), Bytes{0x01});
  }
}

TEST(SettingsTabsTest, RateAndFormatTabsTellAFailedApplyOnceAndLoseNothing) {
  for (const StoreFault& fault : kStoreFaults) {
    if (fault.slow) continue;
    SCOPED_TRACE(fault.name);
    RegistryStores stores;
    stores.WriteMachine(kHeader + kRates + "\"ISO14443A\"=dword:00000001\n\"ISO14443B\"=dword:00000001\n\n" + kDriver +
                        "\"ProxFormat\"=dword:00000014\n");
    auto rates = Open<CDlgBaudrates>();
    auto prox = Open<CProxSettings>();
    rates->TypeList()->setCurrentIndex(0);
    rates->RateButton(3)->setChecked(true);
    prox->FormatButton(7)->setChecked(true);
    const std::function<void()> repair = fault.Break(stores);
    const std::string broken = stores.ReadMachine();
    const std::string reason = fault.reason(stores);
    RecordingMessageBox messages;
    rates->OnApply();
    prox->OnApply();
    const std::vector<std::string> told = messages.Texts();
    ASSERT_EQ(told.size(), 2u);
    EXPECT_NE(told[0].find("\"ISO14443A\"\n\n" + reason), std::string::npos) << told[0];
    EXPECT_NE(told[1].find("\"ProxFormat\"\n\n" + reason), std::string::npos) << told[1];
    EXPECT_EQ(stores.ReadMachine(), broken) << "nothing was written";
    EXPECT_EQ(rates->CheckedRate(), fault.readable ? "212 kbaud" : "848 kbaud");
    EXPECT_EQ(prox->CheckedFormat(), fault.readable ? "Format D" : "Customer Mode");
    EXPECT_EQ(rates->StoreNote().contains("Not stored"), !fault.readable) << rates->StoreNote().toStdString();
    EXPECT_EQ(prox->StoreNote().contains("Not stored"), !fault.readable) << prox->StoreNote().toStdString();

    repair();
    rates->RateButton(3)->setChecked(true);
    prox->FormatButton(7)->setChecked(true);
    rates->OnApply();
    prox->OnApply();
    EXPECT_EQ(Stored(kRateKey, "ISO14443A"), Dword(3));
    EXPECT_EQ(Stored(kTessaroKey, "ProxFormat"), Dword(255));
    EXPECT_EQ(rates->StoreNote() + prox->StoreNote(), "");
  }
}

TEST(BaudratePageTest, StoredValuesCheckTheirButtons) {
  const struct {
    const char* stored;
    QString checked;
  } cases[] = {
      {"dword:00000002", "424 kbaud"}, {"dword:000000ff", "default"}, {"dword:00000005", "default"},
      {"dword:00000007", ""},          {"hex:02", "106 kbaud"},  // not a DWORD: reads as 0
  };
  for (const auto& c : cases) {
    RegistryStores stores;
    stores.WriteMachine(kHeader + kRates + "\"ISO14443A\"=dword:00000000\n\"ISO14443B\"=" + c.stored + "\n");
    auto page = Open<CDlgBaudrates>();
    EXPECT_EQ(page->CheckedRate(), "") << "nothing before a type is chosen";
    page->TypeList()->setCurrentIndex(1);
    EXPECT_EQ(page->CheckedRate(), c.checked) << c.stored;
  }
}

TEST(BaudratePageTest, ApplyAndResetStoreForTheChosenTypeOnly) {
  RegistryStores stores;
  stores.WriteMachine(kHeader + kRates + "\"ISO14443A\"=dword:00000001\n\"ISO14443B\"=dword:00000001\n");
  const std::string before = stores.ReadMachine();
  auto page = Open<CDlgBaudrates>();
  page->RateButton(2)->setChecked(true);
  page->OnApply();
  EXPECT_EQ(stores.ReadMachine(), before) << "no type chosen: nothing is written";

  page->TypeList()->setCurrentIndex(0);
  page->RateButton(3)->setChecked(true);
  page->OnApply();
  EXPECT_EQ(Stored(kRateKey, "ISO14443A"), Dword(3));
  page->OnReset();
  EXPECT_EQ(Stored(kRateKey, "ISO14443A"), Dword(255));
  EXPECT_EQ(page->CheckedRate(), "default");
  EXPECT_EQ(Stored(kRateKey, "ISO14443B"), Dword(1));
}

TEST(ProxPageTest, StoredFormatsCheckTheirButtonsWithTheDebugLine) {
  const struct {
    std::string store;
    QString checked;
    std::string debug;
  } cases[] = {
      {"", "Raw", "m_dwProxFormat: 00000000, uiButtonID: 0000041a"},
      {kDriver + "\"ProxFormat\"=dword:00000014\n", "Format D", "m_dwProxFormat: 00000014, uiButtonID: 0000041e"},
      {kDriver + "\"ProxFormat\"=hex:ff\n", "Customer Mode", "m_dwProxFormat: 000000ff, uiButtonID: 00000443"},
      {kDriver + "\"ProxFormat\"=dword:ffffffff\n", "", "m_dwProxFormat: ffffffff, uiButtonID: 00000000"},
      {kDriver + "\"ProxFormat\"=hex:14,00,00,00,00\n", "Raw", "m_dwProxFormat: 00000000, uiButtonID: 0000041a"},
  };
  for (const auto& c : cases) {
    RegistryStores stores;
    RecordingDebugOutput debug;
    stores.WriteMachine(kHeader + c.store);
    auto page = Open<CProxSettings>();
    EXPECT_EQ(page->CheckedFormat(), c.checked) << c.store;
    ASSERT_EQ(debug.Lines().size(), 1u);
    EXPECT_NE(debug.Lines()[0].find("CProxSettings::OnInitDialog: " + c.debug), std::string::npos) << debug.Lines()[0];
  }
}

TEST(ProxPageTest, ResetStoresAutoAndApplyTheCheckedFormat) {
  RegistryStores stores;
  stores.WriteMachine(kHeader);
  auto page = Open<CProxSettings>();
  EXPECT_EQ(Stored(kTessaroKey, "ProxFormat"), std::nullopt) << "the key is created empty";
  EXPECT_EQ(page->CheckedFormat(), "Raw");
  page->OnReset();
  EXPECT_EQ(Stored(kTessaroKey, "ProxFormat"), Dword(254));
  EXPECT_EQ(page->CheckedFormat(), "Auto");
  page->FormatButton(7)->setChecked(true);  // Customer Mode
  page->OnApply();
  EXPECT_EQ(Stored(kTessaroKey, "ProxFormat"), Dword(255));
}
