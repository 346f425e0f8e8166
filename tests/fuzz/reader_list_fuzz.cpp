// libFuzzer target for the reader enumeration's handling of pcsc-lite's
// answers: the listed multi-string with any claimed size (larger than the
// buffer too), a list that grows between the calls, refusals, and the
// readers' states. pcsc-lite's calls are replaced in this program by answers
// read from the input, as no real pcscd answers like this. Oracles:
// - the list holds only listed names, in their order, each as often as
//   listed at most, read no further than the claimed size and the buffer,
//   and none whose last state said unknown or unavailable;
// - the list is asked for at most a few times, and a refusal gives no names;
// - the splitter agrees with a second reading of the same bytes.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <map>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "card/pcsc.h"
#include "status/reader_enumeration.h"

namespace {

FuzzedDataProvider* g_input = nullptr;
int g_listCalls = 0;
// What the last successful listing put in the buffer, as far as it may be read.
std::vector<char> g_listed;
bool g_listedOk = false;
// The last state answered for each reader entry asked about (names may repeat).
std::map<const char*, std::pair<std::string, DWORD>> g_states;

// Names of a multi-string read without the code under test: each up to its
// zero byte or the end, the list ending at an empty name.
std::vector<std::string> ReferenceNames(const std::vector<char>& bytes) {
  std::vector<std::string> names;
  std::string current;
  bool any = false;
  for (const char c : bytes) {
    if (c != '\0') {
      current += c;
      any = true;
      continue;
    }
    if (current.empty()) return names;
    names.push_back(current);
    current.clear();
  }
  if (any && !current.empty()) names.push_back(current);
  return names;
}

}  // namespace

extern "C" {

LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
  *context = 1;
  return g_input->ConsumeBool() ? SCARD_S_SUCCESS : SCARD_E_NO_SERVICE;
}

LONG SCardReleaseContext(SCARDCONTEXT) { return SCARD_S_SUCCESS; }

LONG SCardListReaders(SCARDCONTEXT, LPCSTR, LPSTR readers, LPDWORD size) {
  ++g_listCalls;
  static constexpr LONG kResults[] = {SCARD_S_SUCCESS, SCARD_E_INSUFFICIENT_BUFFER, SCARD_E_NO_READERS_AVAILABLE,
                                      SCARD_E_NO_SERVICE};
  const LONG result = g_input->PickValueInArray(kResults);
  const DWORD room = *size;
  const DWORD claimed = g_input->ConsumeIntegralInRange<DWORD>(0, 3 * room + 16);
  *size = claimed;
  g_listedOk = false;
  if (result == SCARD_S_SUCCESS && readers != nullptr) {
    const std::string bytes = g_input->ConsumeRandomLengthString(std::min(room, claimed));
    std::copy(bytes.begin(), bytes.end(), readers);
    // The caller may read up to the claimed size within its buffer: what was
    // not written there is its own zero fill.
    g_listed.assign(readers, readers + std::min(room, claimed));
    g_listedOk = true;
  }
  return result;
}

LONG SCardGetStatusChange(SCARDCONTEXT, DWORD, SCARD_READERSTATE* states, DWORD count) {
  const LONG result = g_input->ConsumeIntegralInRange(0, 3) == 0 ? SCARD_E_TIMEOUT : SCARD_S_SUCCESS;
  for (DWORD i = 0; i < count; ++i) {
    states[i].dwEventState = g_input->ConsumeIntegral<std::uint8_t>() & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE |
                                                                          SCARD_STATE_PRESENT | SCARD_STATE_EMPTY);
    g_states[states[i].szReader] = {states[i].szReader, states[i].dwEventState};
  }
  return result;
}

}  // extern "C"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  g_input = &input;
  g_listCalls = 0;
  g_listed.clear();
  g_listedOk = false;
  g_states.clear();

  // The splitter alone agrees with the second reading.
  const std::string raw = input.ConsumeRandomLengthString(512);
  const std::vector<char> bytes(raw.begin(), raw.end());
  FUZZ_CHECK(SplitMultiString(bytes) == ReferenceNames(bytes));

  static const CReaderModelMaps maps = CReaderModelMaps::Unbuilt();
  const AdditionalReaderTest everyReader = [](const std::string&) { return true; };
  CReaderEnumerator enumerator;
  std::vector<std::string> list;
  const bool listed = enumerator.Enumerate(list, maps, everyReader);
  // A kept context that died is taken anew once: two rounds of attempts.
  FUZZ_CHECK(g_listCalls <= 8);
  if (!listed || !g_listedOk) {
    FUZZ_CHECK(list.empty() || g_listedOk);
    return 0;
  }
  const std::vector<std::string> names = ReferenceNames(g_listed);
  // The present readers keep the listed order.
  auto next = names.begin();
  for (const std::string& reader : list) {
    next = std::find(next, names.end(), reader);
    FUZZ_CHECK(next != names.end());
    ++next;
    FUZZ_CHECK(std::any_of(g_states.begin(), g_states.end(), [&](const auto& entry) {
      return entry.second.first == reader && (entry.second.second & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE)) == 0;
    }));
  }
  return 0;
}
