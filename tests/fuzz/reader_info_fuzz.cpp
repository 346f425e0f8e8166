// libFuzzer target for the reader information query's handling of the
// driver's answers: version answers of any length, a serial number of any
// bytes with any claimed length (past the buffer too), and failures at any
// step. pcsc-lite's calls are replaced in this program by answers read from
// the input, as no real driver answers like this. Oracles:
// - a version is "n/a" or the 4-byte answer shown as hundredths;
// - the serial number is the answer's text up to its first zero byte, cut
//   at the claimed length and the buffer, or "n/a" (no answer, or the
//   placeholder "12345678");
// - a step that fails leaves the facts after it "n/a", and the progress
//   callback hears each answer with the facts known then.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "card/pcsc.h"
#include "card/reader_info.h"

namespace {

FuzzedDataProvider* g_input = nullptr;
// What the fake driver answered, for the oracle.
std::vector<std::string> g_versions;  // per version call, the expected text ("" when the call failed)
bool g_serialAnswered = false;
std::string g_serialExpected;

LONG Result() { return g_input->ConsumeIntegralInRange(0, 7) == 0 ? SCARD_E_NOT_TRANSACTED : SCARD_S_SUCCESS; }

}  // namespace

extern "C" {

LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
  *context = 1;
  return SCARD_S_SUCCESS;
}
LONG SCardReleaseContext(SCARDCONTEXT) { return SCARD_S_SUCCESS; }
LONG SCardCancel(SCARDCONTEXT) { return SCARD_S_SUCCESS; }

LONG SCardConnect(SCARDCONTEXT, LPCSTR, DWORD, DWORD, LPSCARDHANDLE card, LPDWORD protocol) {
  *protocol = 0;
  const LONG result = Result();
  *card = result == SCARD_S_SUCCESS ? 7 : 0;
  return result;
}

LONG SCardControl(SCARDHANDLE, DWORD, LPCVOID, DWORD, LPVOID out, DWORD outSize, LPDWORD returned) {
  const LONG result = Result();
  if (result != SCARD_S_SUCCESS) {
    g_versions.push_back("");
    return result;
  }
  const auto bytes = g_input->ConsumeBytes<std::uint8_t>(g_input->ConsumeIntegralInRange<DWORD>(0, outSize));
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  *returned = static_cast<DWORD>(bytes.size());
  std::string expected = "n/a";
  if (bytes.size() == 4) {
    DriverValue value = 0;
    std::memcpy(&value, bytes.data(), 4);
    expected = std::to_string(value / 100) + "." + (value % 100 < 10 ? "0" : "") + std::to_string(value % 100);
  }
  g_versions.push_back(expected);
  return SCARD_S_SUCCESS;
}

LONG SCardGetAttrib(SCARDHANDLE, DWORD, LPBYTE buffer, LPDWORD length) {
  const LONG result = Result();
  if (result != SCARD_S_SUCCESS) return result;
  const DWORD room = *length;
  const auto bytes = g_input->ConsumeBytes<std::uint8_t>(g_input->ConsumeIntegralInRange<DWORD>(0, room));
  if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
  // A driver may claim more than it wrote, or than the buffer holds.
  const DWORD claimed = g_input->ConsumeBool() ? static_cast<DWORD>(bytes.size()) : g_input->ConsumeIntegral<std::uint16_t>();
  *length = claimed;
  g_serialAnswered = true;
  // The caller's buffer starts zeroed: what was not written reads as zero.
  std::vector<char> seen(room, '\0');
  std::copy(bytes.begin(), bytes.end(), seen.begin());
  std::string text;
  for (std::size_t i = 0; i < std::min<std::size_t>({claimed, room - 1, seen.size()}) && seen[i] != '\0'; ++i) text += seen[i];
  g_serialExpected = text == "12345678" ? "n/a" : text;
  return SCARD_S_SUCCESS;
}

}  // extern "C"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  g_input = &input;
  g_versions.clear();
  g_serialAnswered = false;
  g_serialExpected.clear();

  std::vector<CReaderInfo> heard;
  std::string library, serial;
  const std::string firmware =
      GetReaderInfo("Reader 00 00", library, serial, [&](const CReaderInfo& info) { heard.push_back(info); });

  const auto expectedVersion = [](std::size_t i) {
    return i < g_versions.size() && !g_versions[i].empty() ? g_versions[i] : std::string("n/a");
  };
  FUZZ_CHECK_EQUAL(firmware, expectedVersion(0));
  FUZZ_CHECK_EQUAL(library, expectedVersion(1));
  FUZZ_CHECK_EQUAL(serial, g_serialAnswered ? g_serialExpected : std::string("n/a"));
  // One answer heard per step that answered, each with the facts of its time.
  std::size_t answered = 0;
  while (answered < g_versions.size() && !g_versions[answered].empty()) ++answered;
  answered += g_serialAnswered ? 1 : 0;
  FUZZ_CHECK(heard.size() == answered);
  if (!heard.empty()) FUZZ_CHECK(heard.front().firmware == firmware && heard.front().library == "n/a");
  if (heard.size() == 3) FUZZ_CHECK(heard.back().serialNumber == serial && heard.back().library == library);
  return 0;
}
