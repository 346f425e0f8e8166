// libFuzzer target for the simulated reader driver's answers and settings
// rules. The input is a scenario file, a line "%%", then the queries (control
// codes with their input, attributes, APDUs) and the stored settings, read as
// binary. Oracles, besides "does not crash":
// - an answer that is not Ok carries no bytes, "no card" only comes without
//   a card, and a code or attribute the scenario makes fail fails;
// - version answers are the scenario's numbers in 4 bytes, or 2 where the
//   scenario shortens them; escape answers fit the 256 bytes the code has;
// - a card's answer to an APDU ends in a status word (at least 2 bytes);
// - the settings rules give the caps the stored values stand for: a rate of
//   0..3 caps at itself, any other per-type value means no limit, and
//   without one the older byte 1..3 caps; AirSpeedMax 1, 2, 4, 8 (or none)
//   cap at 0..3.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "driver/vendor_answers.h"
#include "scenario/driver_settings.h"
#include "scenario/scenario.h"
#include "scenario/sim_constants.h"

namespace {

using namespace velkaro::sim;

std::uint32_t ValueOf(const Bytes& data) {
  std::uint32_t value = 0;
  std::memcpy(&value, data.data(), sizeof value);
  return value;
}

void CheckAnswer(const VendorAnswer& answer, const std::optional<CardFacts>& card) {
  if (answer.outcome != Outcome::Ok) FUZZ_CHECK(answer.data.empty());
  if (answer.outcome == Outcome::NoCard) FUZZ_CHECK(!card.has_value());
}

void CheckControl(const Scenario& scenario, const std::optional<CardFacts>& card, std::uint32_t function,
                  const Bytes& input) {
  const VendorAnswer answer = AnswerControl(scenario, card, function, input);
  CheckAnswer(answer, card);
  if (scenario.Fails(std::to_string(function))) FUZZ_CHECK(answer.outcome == Outcome::Failed);
  if (answer.outcome != Outcome::Ok) return;
  if (function == kFirmwareVersion || function == kLibraryVersion) {
    const std::uint32_t expected = function == kFirmwareVersion ? scenario.reader.firmware : scenario.reader.library;
    if (scenario.Shortens(std::to_string(function))) {
      FUZZ_CHECK(answer.data.size() == 2 && std::memcmp(answer.data.data(), &expected, 2) == 0);
    } else {
      FUZZ_CHECK(answer.data.size() == 4 && ValueOf(answer.data) == expected);
    }
  }
  if (function == kEscape) FUZZ_CHECK(answer.data.size() <= kEscapeAnswerMax);
}

void CheckRules(FuzzedDataProvider& input) {
  const auto maybe = [&](auto value) { return input.ConsumeBool() ? std::optional(value) : std::nullopt; };
  StoredSettings stored;
  stored.rateA = maybe(input.ConsumeIntegralInRange<std::uint32_t>(0, 300));
  stored.rateB = maybe(input.ConsumeIntegral<std::uint32_t>());
  stored.legacyRates = maybe(input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange(0, 4)));
  stored.airSpeed = maybe(input.ConsumeIntegralInRange<std::uint32_t>(0, 10));
  stored.proxFormat = maybe(input.ConsumeIntegral<std::uint32_t>());
  const DriverSettings settings = ApplySettingRules(stored);
  for (std::size_t i = 0; i < 2; ++i) {
    const auto& perType = i == 0 ? stored.rateA : stored.rateB;
    std::optional<std::uint8_t> expected;
    if (perType) {
      if (*perType <= 3) expected = static_cast<std::uint8_t>(*perType);
    } else if (stored.legacyRates && stored.legacyRates->size() > i && (*stored.legacyRates)[i] >= 1 &&
               (*stored.legacyRates)[i] <= 3) {
      expected = (*stored.legacyRates)[i];
    }
    FUZZ_CHECK((i == 0 ? settings.maxRateA : settings.maxRateB) == expected);
  }
  const std::uint32_t air = stored.airSpeed.value_or(8);
  const std::optional<std::uint8_t> airCap = air == 1 ? 0 : air == 2 ? 1 : air == 4 ? 2 : air == 8 ? 3 : std::optional<std::uint8_t>();
  FUZZ_CHECK(settings.airSpeedCap == airCap);
  FUZZ_CHECK(settings.proxFormat == stored.proxFormat.value_or(0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view whole(reinterpret_cast<const char*>(data), size);
  const std::size_t split = whole.find("\n%%\n");
  if (split == std::string_view::npos) return 0;
  const ParsedScenario parsed = ParseScenario(whole.substr(0, split + 1));
  const std::string_view rest = whole.substr(split + 4);
  FuzzedDataProvider input(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size());
  CheckRules(input);
  if (!parsed.scenario) return 0;
  const Scenario& scenario = *parsed.scenario;

  static constexpr std::uint32_t kFunctions[] = {kFirmwareVersion, kLibraryVersion, kClockFrequency, kTa1InUse,
                                                 kVoltageClass,    kEscape,         kContactlessInfo, 1234};
  static constexpr std::uint32_t kAttributes[] = {kAttrVendorName, kAttrVendorIfdVersion, kAttrVendorIfdSerialNo,
                                                  kAttrChannelId, kAttrAtrString, 0x7A007};
  while (input.remaining_bytes() > 0) {
    std::optional<CardFacts> card;
    const std::size_t pick = input.ConsumeIntegralInRange<std::size_t>(0, scenario.cards.size());
    if (pick < scenario.cards.size()) card = scenario.cards[pick];
    switch (input.ConsumeIntegralInRange(0, 2)) {
      case 0: {
        const std::uint32_t function = input.PickValueInArray(kFunctions);
        CheckControl(scenario, card, function, input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange(0, 8)));
        break;
      }
      case 1: {
        const std::uint32_t attribute = input.PickValueInArray(kAttributes);
        const VendorAnswer answer = AnswerAttribute(scenario, card, attribute);
        CheckAnswer(answer, card);
        if (attribute == kAttrVendorIfdSerialNo && scenario.Fails("serial")) FUZZ_CHECK(answer.outcome == Outcome::Failed);
        break;
      }
      default:
        if (card) FUZZ_CHECK(AnswerApdu(*card, input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange(0, 8))).size() >= 2);
        break;
    }
  }
  return 0;
}
