#include "driver/vendor_answers.h"

#include <algorithm>
#include <string>

#include "scenario/sim_constants.h"

namespace velkaro::sim {

namespace {

VendorAnswer Value(std::uint32_t value) {
  VendorAnswer answer;
  answer.data.resize(sizeof value);
  std::copy_n(reinterpret_cast<const std::uint8_t*>(&value), sizeof value, answer.data.begin());  // host order
  return answer;
}

VendorAnswer Fail() { return {Outcome::Failed, {}}; }

VendorAnswer CardValue(const std::optional<CardFacts>& card, std::uint32_t CardFacts::*field) {
  if (!card) return {Outcome::NoCard, {}};
  return Value((*card).*field);
}

std::string EscapeId(std::uint8_t command) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return std::string("3105:") + kDigits[command >> 4] + kDigits[command & 0x0F];
}

VendorAnswer Escape(const Scenario& scenario, const std::optional<CardFacts>& card, std::span<const std::uint8_t> input) {
  if (input.empty()) return Fail();
  const std::uint8_t command = input[0];
  if (scenario.Fails(EscapeId(command))) return Fail();
  switch (command) {
    case kEscapeCardIdentifier:
      if (!card) return {Outcome::NoCard, {}};
      if (card->uid.empty()) return Fail();
      return {Outcome::Ok, card->uid};
    case kEscapeAntennaCount:
      if (!scenario.HasRegisters()) return {Outcome::NotSupported, {}};
      return {Outcome::Ok, {static_cast<std::uint8_t>(scenario.AntennaCount())}};
    case kEscapeRegisterRead: {
      // Bytes 1..4 hold the number 1 (least significant first), byte 5 the antenna.
      static constexpr std::uint8_t kOne[] = {0x01, 0x00, 0x00, 0x00};
      if (!scenario.HasRegisters()) return {Outcome::NotSupported, {}};
      if (input.size() <= kRegisterReadAntennaByte || !std::equal(kOne, kOne + 4, input.begin() + 1)) return Fail();
      const std::size_t antenna = input[kRegisterReadAntennaByte];
      if (antenna >= scenario.AntennaCount() || antenna >= scenario.reader.antennas.size()) return Fail();
      return {Outcome::Ok, scenario.reader.antennas[antenna]};
    }
    default:
      return {Outcome::NotSupported, {}};
  }
}

VendorAnswer ContactlessInfo(const std::optional<CardFacts>& card, std::span<const std::uint8_t> input) {
  if (input.size() != 2 || input[0] != 0x01 || input[1] != 0x00) return Fail();
  if (!card) return {Outcome::NoCard, {}};
  if (card->type == CardType::Contact) return Fail();
  VendorAnswer answer{Outcome::Ok, Bytes(kContactlessInfoSize, 0)};
  answer.data[kReceiveRateByte] = card->receiveRate;
  answer.data[kSendRateByte] = card->sendRate;
  answer.data[kCardKindByte] = card->kind;
  return answer;
}

// The answer before any `short` entry cuts it.
VendorAnswer AnswerFullControl(const Scenario& scenario, const std::optional<CardFacts>& card, std::uint32_t function,
                               std::span<const std::uint8_t> input) {
  switch (function) {
    case kFirmwareVersion: return Value(scenario.reader.firmware);
    case kLibraryVersion: return Value(scenario.reader.library);
    case kClockFrequency: return CardValue(card, &CardFacts::clock);
    case kTa1InUse: return CardValue(card, &CardFacts::ta1);
    case kVoltageClass: return CardValue(card, &CardFacts::voltage);
    case kEscape: return Escape(scenario, card, input);
    case kContactlessInfo: return ContactlessInfo(card, input);
    default: return {Outcome::NotSupported, {}};
  }
}

}  // namespace

VendorAnswer AnswerControl(const Scenario& scenario, const std::optional<CardFacts>& card, std::uint32_t function,
                           std::span<const std::uint8_t> input) {
  if (scenario.Fails(std::to_string(function))) return Fail();
  VendorAnswer answer = AnswerFullControl(scenario, card, function, input);
  if (scenario.Shortens(std::to_string(function)) && answer.data.size() == sizeof(std::uint32_t)) {
    answer.data.resize(sizeof(std::uint16_t));
  }
  return answer;
}

VendorAnswer AnswerAttribute(const Scenario& scenario, const std::optional<CardFacts>& card, std::uint32_t attribute) {
  switch (attribute) {
    case kAttrVendorIfdSerialNo:
      if (scenario.Fails("serial")) return Fail();
      return {Outcome::Ok, Bytes(scenario.reader.serial.begin(), scenario.reader.serial.end())};
    case kAttrChannelId:
      if (scenario.Fails("channel")) return Fail();
      return Value(scenario.reader.channel);
    case kAttrVendorName: {
      // The maker's name is the first word of the reader's name.
      const std::string& name = scenario.reader.name;
      const std::string vendor = name.substr(0, name.find(' '));
      return {Outcome::Ok, Bytes(vendor.begin(), vendor.end())};
    }
    case kAttrVendorIfdVersion: return Value(scenario.reader.firmware);
    case kAttrAtrString:
      if (!card) return {Outcome::NoCard, {}};
      return {Outcome::Ok, card->atr};
    default: return {Outcome::NotSupported, {}};
  }
}

Bytes AnswerApdu(const CardFacts& card, std::span<const std::uint8_t> command) {
  for (const ApduRule& rule : card.apdus)
    if (command.size() >= rule.prefix.size() && std::equal(rule.prefix.begin(), rule.prefix.end(), command.begin()))
      return rule.response;
  static constexpr std::uint8_t kGetUid[] = {0xFF, 0xCA, 0x00, 0x00};
  if (IsContactless(card.type) && command.size() >= 4 && std::equal(kGetUid, kGetUid + 4, command.begin())) {
    if (card.uid.empty()) return {0x6A, 0x81};
    Bytes answer = card.uid;
    answer.insert(answer.end(), {0x90, 0x00});
    return answer;
  }
  return {0x90, 0x00};
}

}  // namespace velkaro::sim
