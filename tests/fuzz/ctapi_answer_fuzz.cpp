// libFuzzer target for the CT-API terminal's answer to the name query, as a
// library hands it back: any bytes, and any length it claims. The answer is
// given in a buffer of exactly its size, so the sanitizer sees every read past
// it. Oracle: the name is the answer's bytes up to the first zero, within the
// claimed length and the buffer, and a reader name is found in it exactly when
// the answer holds that name there.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "card/ct_api.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto claimed = input.ConsumeIntegral<std::uint16_t>();
  const std::string reader = input.ConsumeRandomLengthString(48);
  const auto bytes = input.ConsumeRemainingBytes<std::uint8_t>();
  // A heap block of exactly the answer's size (the vector may keep spare room).
  const auto answer = std::make_unique<std::uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), answer.get());

  const std::string name = TerminalNameFromAnswer({answer.get(), bytes.size()}, claimed);
  const std::size_t bound = std::min<std::size_t>(claimed, bytes.size());
  FUZZ_CHECK(name.size() <= bound && name.find('\0') == std::string::npos);
  FUZZ_CHECK(std::memcmp(name.data(), answer.get(), name.size()) == 0);
  FUZZ_CHECK(name.size() == bound || answer[name.size()] == 0);

  const std::string text(reinterpret_cast<const char*>(answer.get()), bound);
  const std::string upToZero = text.substr(0, text.find('\0'));
  FUZZ_CHECK((name.find(reader) != std::string::npos) == (upToZero.find(reader) != std::string::npos));
  return 0;
}
