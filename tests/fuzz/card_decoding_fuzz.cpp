// libFuzzer target for the decoders of what a reader driver answers about a
// card: the ATR (its text, its synchronous card type, the contactless form),
// the channel id, the contactless information answer and the 4-byte driver
// values. The oracles read each text back: the ATR text gives the same bytes,
// a clock text brackets the clock it came from, a TA1 text gives its value,
// and every decoded field is one of the texts the pages know.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "card/byte_buffer.h"
#include "card/pcsc.h"
#include "card/reader_info.h"
#include "reader/card_decoding.h"
#include "reader/card_steps.h"

namespace {

void CheckAtr(const std::vector<std::uint8_t>& atr) {
  const std::string text = HexText(atr);
  FUZZ_CHECK(text.size() == (atr.empty() ? 0 : atr.size() * 3 - 1));
  for (std::size_t i = 0; i < atr.size(); ++i) {
    unsigned value = 0;
    FUZZ_CHECK(std::sscanf(text.c_str() + 3 * i, "%2X", &value) == 1 && value == atr[i]);
    FUZZ_CHECK(i + 1 == atr.size() || text[3 * i + 2] == ' ');
  }
  const std::string type = GetSyncCardType(atr.data(), atr.size());
  FUZZ_CHECK(type.empty() || ((type == "I2C" || type == "2WBP" || type == "3WBP") && atr.size() == 6 && atr[0] == 0x3B));
  FUZZ_CHECK(IsContactlessAtr(atr) == (atr.size() >= 4 && atr[0] == 0x3B && atr[1] >= 0x80 && atr[2] == 0x80 && atr[3] == 1));
}

// "COM", "COM<n>" with the low word, "USB", "PCMCIA" or "n/a".
void CheckChannel(std::uint32_t channel) {
  const std::string text = ChannelText(channel);
  if (text.starts_with("COM") && text.size() > 3) {
    FUZZ_CHECK(channel >> 16 == 1 && std::to_string(channel & 0xFFFF) == text.substr(3));
    return;
  }
  static const std::set<std::string> kTexts = {"COM", "USB", "PCMCIA", "n/a"};
  FUZZ_CHECK(kTexts.contains(text));
}

// "M.hh MHz" or "M.h MHz" (hundredths, one digit only for .0) and "k.h kHz" bracket the clock.
void CheckFrequency(std::uint32_t hertz) {
  const std::string text = FrequencyText(hertz);
  if (hertz == 0) {
    FUZZ_CHECK(text == "n/a");
    return;
  }
  unsigned long whole = 0;
  unsigned long fraction = 0;
  char unit[4] = {};
  int used = 0;
  FUZZ_CHECK(std::sscanf(text.c_str(), "%lu.%lu %3s%n", &whole, &fraction, unit, &used) == 3 &&
        static_cast<std::size_t>(used) == text.size());
  const std::string unitText = unit;
  const std::size_t dot = text.find('.');
  const std::size_t digits = text.find(' ') - dot - 1;
  if (unitText == "MHz") {
    FUZZ_CHECK(hertz > 1000000 && (digits == 2 || (digits == 1 && fraction == 0)));
    const unsigned long low = whole * 1000000 + fraction * 10000;
    FUZZ_CHECK(low <= hertz && hertz < low + 10000);
  } else {
    FUZZ_CHECK(unitText == "kHz" && hertz <= 1000000 && digits == 1);
    const unsigned long low = whole * 1000 + fraction * 100;
    FUZZ_CHECK(low <= hertz && hertz < low + 100);
  }
}

void CheckContactless(const std::vector<std::uint8_t>& answer) {
  const ContactlessCardInfo info = DecodeContactlessInfo(answer);
  static const std::set<std::string> kProtocols = {"n/a", "T=CL", "ISO 14443A", "ISO 14443B", "ISO 15693"};
  static const std::set<std::string> kParts = {"n/a", "Part 1", "Part 2", "Part 3", "T=CL"};
  static const std::set<std::string> kRates = {"n/a", "106 kbps", "212 kbps", "424 kbps", "848 kbps", "1,66 kbps",
                                               "26,48 kbps"};
  FUZZ_CHECK(kProtocols.contains(info.protocol) && kParts.contains(info.subProtocol));
  FUZZ_CHECK(kRates.contains(info.receiveRate) && kRates.contains(info.sendRate));
  if (answer.size() <= kContactlessKindByte) {
    FUZZ_CHECK(info.protocol == "n/a" && info.receiveRate == "n/a" && info.sendRate == "n/a");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto channel = input.ConsumeIntegral<std::uint32_t>();
  const auto hertz = input.ConsumeIntegral<std::uint32_t>();
  const auto ta1 = input.ConsumeIntegral<std::uint32_t>();
  const auto voltage = input.ConsumeIntegral<std::uint32_t>();
  const auto version = input.ConsumeIntegral<std::uint32_t>();
  const auto claimedAtrLength = input.ConsumeIntegral<DWORD>();
  const auto answer = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 24));
  const auto atr = input.ConsumeRemainingBytes<std::uint8_t>();

  CheckAtr(atr);
  CheckChannel(channel);
  CheckFrequency(hertz);
  CheckContactless(answer);

  unsigned long value = 0;
  const std::string ta1Text = Ta1Text(ta1);
  FUZZ_CHECK(std::sscanf(ta1Text.c_str(), "0x%lX", &value) == 1 && value == ta1 && ta1Text.size() >= 4);
  const auto volts = VoltageText(voltage);
  FUZZ_CHECK(!volts || *volts == "5V" || *volts == "3V" || *volts == "1.8V");
  FUZZ_CHECK(!FormatVersion(version).empty());

  // A reader state's ATR never reaches past its buffer, whatever its length says.
  SCARD_READERSTATE state{};
  std::copy_n(atr.begin(), std::min(atr.size(), sizeof state.rgbAtr), state.rgbAtr);
  state.cbAtr = claimedAtrLength;
  const auto span = card_steps::AtrOf(state);
  FUZZ_CHECK(span.size() <= sizeof state.rgbAtr && span.size() == std::min<std::size_t>(claimedAtrLength, sizeof state.rgbAtr));
  CheckAtr(std::vector<std::uint8_t>(span.begin(), span.end()));
  return 0;
}
