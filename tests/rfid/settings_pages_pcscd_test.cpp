// The settings tabs against the private pcscd: what they store changes what
// the simulated contactless reader reports for the next card.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QListWidget>
#include <QRadioButton>
#include <memory>

#include "pcsc_calls.h"
#include "platform/store/registry.h"
#include "rfid/dlg_baudrates.h"
#include "rfid/rfid_setting_dlg.h"
#include "sandbox_environment.h"

namespace {

using namespace testing_support;

const auto* const g_environment = PcscdSandboxEnvironment::Install(VELKARO_TEST_DATA "/sim/settings");

const std::string kCl3700 = "VELKARO CL 3700 00 00";

// The generated contactless ATR names the card's standard in this byte.
constexpr std::size_t kStandardByte = 12;
constexpr std::uint8_t kIso15693 = 0x0B;
constexpr std::uint8_t kIso14443A = 0x03;

bool ReportsCard(std::uint8_t standard) {
  return Sandbox()
      .WaitForReader(kCl3700,
                     [&](const SCARD_READERSTATE& s) {
                       return (s.dwEventState & SCARD_STATE_PRESENT) && s.cbAtr > kStandardByte &&
                              s.rgbAtr[kStandardByte] == standard;
                     })
      .has_value();
}

// The card's receive and send rate indexes (bytes 7 and 8 of its answer).
std::pair<int, int> Rates() {
  ScopedContext context;
  ScopedCard card(context.Get(), kCl3700, SCARD_SHARE_SHARED);
  LONG result = 0;
  const Bytes info = card.Control(3215, {0x01, 0x00}, result, 16);
  return info.size() == 16 ? std::make_pair<int, int>(info[7], info[8]) : std::make_pair(-1, -1);
}

}  // namespace

TEST(SettingsPagesPcscdTest, SearchOrderAndRateCapChangeTheNextCard) {
  VELKARO_REQUIRE_SANDBOX();
  RegDeleteTree(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Tessaro");
  ASSERT_TRUE(ReportsCard(kIso14443A)) << "without a stored order type A comes first";

  std::unique_ptr<CRFIDSettingDlg> search(CRFIDSettingDlg::Create());
  ASSERT_TRUE(search->EnsureInitialised());
  for (const char* type : {"ISO15693", "ISO14443A"}) {
    search->AvailableList()->clearSelection();
    search->AvailableList()->findItems(type, Qt::MatchExactly).front()->setSelected(true);
    search->OnAdd();
  }
  search->OnApply();
  EXPECT_TRUE(ReportsCard(kIso15693)) << "ISO 15693 is searched first now";

  // Type A first again, then at most 212 kbps for it.
  search->SearchOrderList()->clearSelection();
  search->SearchOrderList()->findItems("ISO14443A", Qt::MatchExactly).front()->setSelected(true);
  search->OnUp();
  search->OnApply();
  ASSERT_TRUE(ReportsCard(kIso14443A));
  EXPECT_EQ(Rates(), std::make_pair(3, 3));

  std::unique_ptr<CDlgBaudrates> rates(CDlgBaudrates::Create());
  ASSERT_TRUE(rates->EnsureInitialised());
  rates->TypeList()->setCurrentIndex(0);
  rates->RateButton(1)->setChecked(true);  // 212 kbaud
  rates->OnApply();
  ASSERT_TRUE(Sandbox().WaitForReader(kCl3700, [](const SCARD_READERSTATE& s) {
    return (s.dwEventState & SCARD_STATE_PRESENT) && Rates() == std::make_pair(1, 1);
  }));
}
