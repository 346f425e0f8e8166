// The driver settings in the settings store change what the simulated
// readers report, as soon as they are written.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "pcsc_calls.h"
#include "platform/store/registry.h"
#include "registry_fixture.h"
#include "sandbox_environment.h"

namespace {

using namespace testing_support;

const auto* const g_environment = PcscdSandboxEnvironment::Install(VELKARO_TEST_DATA "/sim/settings");

const std::string kCl3700 = "VELKARO CL 3700 00 00";
const std::string kRf600 = "VELKARO RF 600 01 00";
const std::string kKr210 = "HALVORN KR210 Proximity 02 00";

const char kRfidKey[] = "SYSTEM\\CurrentControlSet\\Control\\Tessaro\\RFID";
const char kRateKey[] = "SYSTEM\\CurrentControlSet\\Control\\Tessaro\\RFID\\MaximumBaudrates";
const char kDriverKey[] = "SYSTEM\\CurrentControlSet\\Control\\Tessaro";
const char kAirSpeedKey[] = "SYSTEM\\CurrentControlSet\\Control\\QBX";

// Writes a value as the settings pages do.
void Store(const char* path, const char* name, std::uint32_t type, const Bytes& data) {
  velkaro::ScopedHKey key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueEx(key.Get(), name, 0, type, data.data(), static_cast<std::uint32_t>(data.size())),
            ERROR_SUCCESS);
}

// Each test starts without driver settings, even when one process runs them all.
class SimSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELKARO_REQUIRE_SANDBOX();
    RegDeleteTree(HKEY_LOCAL_MACHINE, kDriverKey);
    RegDeleteTree(HKEY_LOCAL_MACHINE, kAirSpeedKey);
    ASSERT_TRUE(Sandbox().WaitForState(kCl3700, HasState(SCARD_STATE_PRESENT)));
  }
};

void StoreDword(const char* path, const char* name, std::uint32_t value) {
  Store(path, name, REG_DWORD,
        {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
         static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
}

// The ATR the reader shows once it satisfies `want`; empty when it never does.
Bytes AtrOnceItShows(const std::string& reader, const std::function<bool(const Bytes&)>& want) {
  const auto state = Sandbox().WaitForReader(reader, [&](const SCARD_READERSTATE& s) {
    return (s.dwEventState & SCARD_STATE_PRESENT) && want(Bytes(s.rgbAtr, s.rgbAtr + s.cbAtr));
  });
  return state ? Bytes(state->rgbAtr, state->rgbAtr + state->cbAtr) : Bytes{};
}

// The rates of the card in the reader (bytes 7 and 8 of the contactless answer).
std::pair<int, int> Rates(const std::string& reader) {
  ScopedContext context;
  ScopedCard card(context.Get(), reader, SCARD_SHARE_SHARED);
  LONG result = 0;
  const Bytes info = card.Control(3215, {0x01, 0x00}, result, 16);
  if (info.size() != 16) return {-1, -1};
  return {info[7], info[8]};
}

// The standard byte of the generated contactless ATR tells the card type.
constexpr std::size_t kStandardByte = 12;
bool StandardIs(const Bytes& atr, std::uint8_t standard) { return atr.size() > kStandardByte && atr[kStandardByte] == standard; }

TEST_F(SimSettingsTest, SearchOrderDecidesWhichCardIsDetected) {
  EXPECT_FALSE(AtrOnceItShows(kCl3700, [](const Bytes& atr) { return StandardIs(atr, 0x03); }).empty())
      << "without a stored order type A comes first";

  Store(kRfidKey, "CardSearch", REG_BINARY, {0x04, 0x01, 0x00, 0x00, 0x00});
  EXPECT_FALSE(AtrOnceItShows(kCl3700, [](const Bytes& atr) { return StandardIs(atr, 0x0B); }).empty())
      << "ISO 15693 is searched first now";

  Store(kRfidKey, "CardSearch", REG_BINARY, {0x02, 0x06, 0x00, 0x00, 0x00});
  EXPECT_TRUE(Sandbox().WaitForState(kCl3700, HasState(SCARD_STATE_EMPTY))) << "no searched type in the field";
}

TEST_F(SimSettingsTest, RatesNeverExceedTheStoredMaximum) {
  ASSERT_TRUE(Sandbox().WaitForState(kCl3700, HasState(SCARD_STATE_PRESENT)));
  EXPECT_EQ(Rates(kCl3700), std::make_pair(3, 3));

  const DWORD before = *Sandbox().WaitForState(kCl3700, HasState(SCARD_STATE_PRESENT)) >> 16;
  StoreDword(kRateKey, "ISO14443A", 1);  // 212 kbps
  // A new limit shows as a new card, so a page decodes it again.
  ASSERT_TRUE(Sandbox().WaitForState(kCl3700, [&](DWORD s) { return (s & SCARD_STATE_PRESENT) && (s >> 16) >= before + 2; }));
  EXPECT_EQ(Rates(kCl3700), std::make_pair(1, 1));
  EXPECT_EQ(Rates(kKr210), std::make_pair(3, 3)) << "the other maker's reader does not read this limit";
}

TEST_F(SimSettingsTest, ProxFormatChangesTheAtrOfAProxCard) {
  const Bytes raw = {0x3B, 0x84, 0x80, 0x01, 0x00, 0xF6, 0x60, 0x72, 0xE1};
  EXPECT_EQ(AtrOnceItShows(kRf600, [](const Bytes&) { return true; }), raw);
  StoreDword(kDriverKey, "ProxFormat", 1);
  const Bytes formatA = {0x3B, 0x87, 0x80, 0x01, 0x01, 0x00, 0x7B, 0x00, 0x00, 0x30, 0x39, 0x75};
  EXPECT_EQ(AtrOnceItShows(kRf600, [&](const Bytes& atr) { return atr == formatA; }), formatA);
}

TEST_F(SimSettingsTest, AirSpeedMaximumLimitsTheOtherMakersReader) {
  ASSERT_TRUE(Sandbox().WaitForState(kKr210, HasState(SCARD_STATE_PRESENT)));
  EXPECT_EQ(Rates(kKr210), std::make_pair(3, 3)) << "no value: 848 kbps";
  const DWORD before = *Sandbox().WaitForState(kKr210, HasState(SCARD_STATE_PRESENT)) >> 16;
  StoreDword(kAirSpeedKey, "AirSpeedMax", 2);
  ASSERT_TRUE(Sandbox().WaitForState(kKr210, [&](DWORD s) { return (s & SCARD_STATE_PRESENT) && (s >> 16) >= before + 2; }));
  EXPECT_EQ(Rates(kKr210), std::make_pair(1, 1));
  EXPECT_EQ(Rates(kCl3700), std::make_pair(3, 3)) << "the vendor's readers do not read it";
}

// Another user (nobody) may read the store file and lock it; that must hold
// up neither the tool's write nor the driver's read inside pcscd.
TEST_F(SimSettingsTest, AnotherUsersLockOnTheStoreHoldsUpNeitherAWriteNorTheDriver) {
  StoreDword(kDriverKey, "ProxFormat", 0);
  ::chmod(Sandbox().Directory().c_str(), 0755);
  const pid_t holder = StartLockHolderAsNobody({Sandbox().SettingsStore()});
  ASSERT_GT(holder, 0);

  // In a child with a time limit, so that a write that waits fails the test.
  const pid_t writer = StartChild([] {
    Store(kRfidKey, "CardSearch", REG_BINARY, {0x04, 0x01, 0x00, 0x00, 0x00});
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  EXPECT_EQ(WaitChildWithin(writer, std::chrono::seconds(3)), 0);
  EXPECT_FALSE(AtrOnceItShows(kCl3700, [](const Bytes& atr) { return StandardIs(atr, 0x0B); }).empty())
      << "the driver reads the new search order";
  ::kill(holder, SIGKILL);
  WaitChild(holder);
}

}  // namespace
