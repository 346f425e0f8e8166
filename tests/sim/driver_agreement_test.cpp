// The simulated driver keeps its own copy of the settings' key paths and
// value names and of the control codes, as the vendor's driver does; these
// tests prove the copies agree with the tool's.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card/pcsc.h"
#include "rfid/rfid_settings.h"
#include "scenario/card_types.h"
#include "scenario/driver_settings.h"
#include "scenario/sim_constants.h"

namespace {

namespace sim = velkaro::sim;

TEST(DriverAgreementTest, TheDriverReadsTheKeysValuesAndCardCodesTheSettingsPagesWrite) {
  const std::vector<std::pair<std::string, std::string>> names = {
      {sim::kRfidKey, kRfidKey},
      {sim::kRateKey, kRateKey},
      {sim::kDriverKey, kTessaroKey},
      {sim::kCardSearchValue, kCardSearchValue},
      {sim::kLegacyRateValue, kLegacyRateValue},
      {sim::kRateValueA, g_aszIso14443Types[0]},
      {sim::kRateValueB, g_aszIso14443Types[1]},
      {sim::kProxFormatValue, kProxFormatValue},
      {sim::kAirSpeedKey, kAirSpeedKey},
      {sim::kAirSpeedValue, kAirSpeedValue},
  };
  for (const auto& [driver, tool] : names) EXPECT_EQ(driver, tool);
  for (std::uint8_t code = 1; code <= kCardTypeCount; ++code) {
    const auto type = sim::CardTypeFromSearchCode(code);
    ASSERT_TRUE(type.has_value()) << int(code);
    EXPECT_STREQ(sim::InfoOf(*type).keyword, g_aszCardTypes[code - 1]) << int(code);
  }
}

TEST(DriverAgreementTest, TheDriverAnswersTheControlCodesAndAttributesTheToolAsksFor) {
  const std::vector<std::pair<std::uint32_t, DWORD>> numbers = {
      {sim::kControlCodeBase + sim::kFirmwareVersion, VendorControlCode(kCtlFirmwareVersion)},
      {sim::kControlCodeBase + sim::kLibraryVersion, VendorControlCode(kCtlLibraryVersion)},
      {sim::kControlCodeBase + sim::kClockFrequency, VendorControlCode(kCtlClockFrequency)},
      {sim::kControlCodeBase + sim::kTa1InUse, VendorControlCode(kCtlTa1InUse)},
      {sim::kControlCodeBase + sim::kVoltageClass, VendorControlCode(kCtlVoltageClass)},
      {sim::kControlCodeBase + sim::kEscape, VendorControlCode(kCtlEscape)},
      {sim::kControlCodeBase + sim::kContactlessInfo, VendorControlCode(kCtlContactlessInfo)},
      {sim::kEscapeCardIdentifier, kEscapeCardIdentifier},
      {sim::kEscapeAntennaCount, kEscapeRegisterInfo},
      {sim::kEscapeRegisterRead, kEscapeRegisterRead},
      {sim::kEscapeAnswerMax, kEscapeAnswerSize},
      {sim::kContactlessInfoSize, kContactlessInfoSize},
      {sim::kReceiveRateByte, kContactlessReceiveRateByte},
      {sim::kSendRateByte, kContactlessSendRateByte},
      {sim::kCardKindByte, kContactlessKindByte},
      {sim::kAttrVendorName, SCARD_ATTR_VENDOR_NAME},
      {sim::kAttrVendorIfdVersion, SCARD_ATTR_VENDOR_IFD_VERSION},
      {sim::kAttrVendorIfdSerialNo, SCARD_ATTR_VENDOR_IFD_SERIAL_NO},
      {sim::kAttrChannelId, SCARD_ATTR_CHANNEL_ID},
      {sim::kAttrAtrString, SCARD_ATTR_ATR_STRING},
  };
  for (std::size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i].first, numbers[i].second) << "row " << i;
}

}  // namespace
