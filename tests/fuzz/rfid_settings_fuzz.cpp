// libFuzzer target for the contactless settings as the settings pages decode
// them from the store: the card search order, the maximum rates in both
// stored forms and the proximity card format, each value of any type and
// length (an administrator or another program may have written it). The
// store is a file in memory holding the input's values. Oracles:
// - the search order lists each known card code of the stored bytes once, in
//   their order, and the other types after it: every type exactly once;
// - merging that order back into the stored bytes keeps every byte above 6
//   in its place among the codes, and gives the bytes the pages would write
//   again when nothing changed;
// - a stored rate of up to one byte is written back unchanged;
// - the format is the value's bytes (up to 4, low byte first), or 0;
// - the simulated reader driver, which reads the same store with its own
//   code, finds the same search bytes, rates and format.

#include <fuzzer/FuzzedDataProvider.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_files.h"
#include "platform/store/registry.h"
#include "rfid/card_search_settings.h"
#include "rfid/prox_settings_store.h"
#include "scenario/driver_settings.h"

namespace {

struct Stored {
  bool present = false;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> bytes;
};

Stored Take(FuzzedDataProvider& input) {
  static constexpr std::uint32_t kTypes[] = {REG_BINARY, REG_DWORD, REG_SZ, REG_NONE, REG_QWORD};
  Stored value;
  value.present = input.ConsumeBool();
  value.type = input.PickValueInArray(kTypes);
  value.bytes = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange(0, 300));
  return value;
}

std::string Line(const char* name, const Stored& value) {
  if (!value.present) return {};
  char head[64];
  std::snprintf(head, sizeof head, "\"%s\"=hex(%x):", name, value.type);
  std::string line = head;
  for (std::size_t i = 0; i < value.bytes.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, i ? ",%02x" : "%02x", value.bytes[i]);
    line += byte;
  }
  return line + "\n";
}

// The card codes of bytes (1..6) and, for each byte above 6, how many codes
// stand before it.
struct Layout {
  std::vector<std::uint8_t> codes;
  std::vector<std::pair<std::uint8_t, std::size_t>> others;
};
Layout LayoutOf(const std::vector<std::uint8_t>& bytes) {
  Layout layout;
  std::size_t slots = 0;
  for (const std::uint8_t byte : bytes) {
    if (byte > kCardTypeCount) {
      layout.others.emplace_back(byte, slots);
    } else {
      layout.codes.push_back(byte);
      ++slots;
    }
  }
  return layout;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool storeSet = [] {
    ::setenv("VELKARO_REGISTRY", (FuzzDirectory() + "/registry.reg").c_str(), 1);
    return true;
  }();
  (void)storeSet;
  FuzzedDataProvider input(data, size);
  const Stored search = Take(input), legacy = Take(input), rateA = Take(input), rateB = Take(input),
               format = Take(input);
  WriteFuzzFile("registry.reg",
                "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\" + std::string(kTessaroKey) + "]\n" +
                    Line(kProxFormatValue, format) + "\n[HKEY_LOCAL_MACHINE\\" + kRfidKey + "]\n" +
                    Line(kCardSearchValue, search) + Line(kLegacyRateValue, legacy) + "\n[HKEY_LOCAL_MACHINE\\" +
                    kRateKey + "]\n" + Line(g_aszIso14443Types[0], rateA) + Line(g_aszIso14443Types[1], rateB));

  CCardSearchSettings settings;
  const bool loaded = settings.LoadCardSearch();
  FUZZ_CHECK(loaded == (!search.present || search.bytes.size() <= kMaxRegBinarySize));
  if (loaded) FUZZ_CHECK(settings.m_abCardSearch == (search.present ? search.bytes : std::vector<std::uint8_t>{}));
  settings.BuildCardLists();
  std::vector<std::string> expected;
  for (const std::uint8_t code : settings.m_abCardSearch) {
    if (code == 0 || code > kCardTypeCount) continue;
    if (std::find(expected.begin(), expected.end(), g_aszCardTypes[code - 1]) == expected.end()) {
      expected.push_back(g_aszCardTypes[code - 1]);
    }
  }
  FUZZ_CHECK(settings.m_lstSearchOrder == expected);
  std::vector<std::string> all = settings.m_lstSearchOrder;
  all.insert(all.end(), settings.m_lstAvailable.begin(), settings.m_lstAvailable.end());
  std::sort(all.begin(), all.end());
  std::vector<std::string> types(g_aszCardTypes.begin(), g_aszCardTypes.end());
  std::sort(types.begin(), types.end());
  FUZZ_CHECK(all == types);

  const auto merged = MergeCardSearch(settings.m_abCardSearch, settings.m_lstSearchOrder);
  const Layout before = LayoutOf(settings.m_abCardSearch), after = LayoutOf(merged);
  std::vector<std::uint8_t> orderCodes;
  for (const auto& keyword : settings.m_lstSearchOrder) orderCodes.push_back(CardCodeOf(keyword));
  FUZZ_CHECK(after.codes == orderCodes);
  FUZZ_CHECK(after.others.size() == before.others.size());
  for (std::size_t i = 0; i < before.others.size(); ++i) {
    FUZZ_CHECK(after.others[i].first == before.others[i].first &&
               after.others[i].second == std::min(before.others[i].second, orderCodes.size()));
  }
  FUZZ_CHECK(MergeCardSearch(merged, settings.m_lstSearchOrder) == merged);

  // Rates: a one-byte DWORD comes back as written.
  const bool ratesRead = settings.LoadRateCodes();
  const auto dword = [](const Stored& value) { return value.present && value.type == REG_DWORD && !value.bytes.empty() && value.bytes.size() <= 4; };
  FUZZ_CHECK(ratesRead == (dword(rateA) && dword(rateB)));
  if (ratesRead) {
    for (std::size_t i = 0; i < kIso14443TypeCount; ++i) {
      const Stored& value = i == 0 ? rateA : rateB;
      const bool small = std::all_of(value.bytes.begin() + 1, value.bytes.end(), [](std::uint8_t b) { return b == 0; });
      if (small) FUZZ_CHECK(RateCodeToDword(settings.RateCode(i)) == value.bytes[0]);
    }
  }
  // The driver's reading of the same store agrees on what the page shows.
  const velkaro::sim::StoredSettings driver = velkaro::sim::ReadStoredSettings();
  if (loaded) {
    FUZZ_CHECK(driver.cardSearch.value_or(velkaro::sim::Bytes{}) == settings.m_abCardSearch);
  }
  FUZZ_CHECK((driver.rateA && driver.rateB) == ratesRead);
  if (ratesRead) FUZZ_CHECK(DwordToRateCode(*driver.rateA) == settings.RateCode(0) && DwordToRateCode(*driver.rateB) == settings.RateCode(1));

  settings.LoadLegacyRateCodes();
  FUZZ_CHECK(settings.m_abRateCodes.size() >= kIso14443TypeCount);

  std::uint32_t expectedFormat = 0;
  if (format.present && !format.bytes.empty() && format.bytes.size() <= 4) {
    for (std::size_t i = format.bytes.size(); i-- > 0;) expectedFormat = expectedFormat << 8 | format.bytes[i];
  }
  const std::uint32_t read = ReadProxFormat();
  FUZZ_CHECK(read == expectedFormat);
  FUZZ_CHECK(driver.proxFormat.value_or(0) == read);
  const auto row = ProxFormatRow(read);
  FUZZ_CHECK(row ? g_proxFormats[*row].value == read
                 : std::none_of(g_proxFormats.begin(), g_proxFormats.end(), [&](const ProxFormat& f) { return f.value == read; }));
  return 0;
}
