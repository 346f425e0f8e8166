// libFuzzer target for the log's settings dump and its data texts: one value
// of any type and bytes in a store of its own (a file in memory), dumped into
// an empty log. The value's bytes are anyone's who can write the store.
// Oracles, besides "does not crash":
// - the dump succeeds and the value takes exactly one log line, ending in
//   its type's name: no byte of the data ends or splits the line;
// - for types shown in hex the text gives back every byte (a REG_DWORD last
//   byte first); string types show the text up to the first zero byte, its
//   control bytes and bytes that are not UTF-8 escaped.

#include <fuzzer/FuzzedDataProvider.h>

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_files.h"
#include "log/registry_dump.h"
#include "platform/store/registry_types.h"
#include "platform/text.h"

namespace {

const char* TypeName(std::uint32_t type) {
  static constexpr const char* kNames[] = {"REG_NONE", "REG_SZ",   "REG_EXPAND_SZ", "REG_BINARY",        "REG_DWORD",
                                           "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST"};
  return type < std::size(kNames) ? kNames[type] : "";
}

std::string Hex(const std::vector<std::uint8_t>& bytes, bool lastFirst) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", bytes[lastFirst ? bytes.size() - 1 - i : i]);
    text += pair;
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string config = [] {
    ::setenv("VELKARO_REGISTRY", (FuzzDirectory() + "/registry.reg").c_str(), 1);
    return WriteFuzzFile("diagtool.ini", "[Reg_Linux]\nHKEY_LOCAL_MACHINE\\Fuzz=\n");
  }();
  FuzzedDataProvider input(data, size);
  const std::uint32_t type = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::uint32_t>(0, 11)
                                                 : input.ConsumeIntegral<std::uint32_t>();
  const std::vector<std::uint8_t> bytes = input.ConsumeRemainingBytes<std::uint8_t>();
  char head[48];
  std::snprintf(head, sizeof head, "\"V\"=hex(%x):", type);
  std::string store = std::string("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Fuzz]\n") + head;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, i ? ",%02x" : "%02x", bytes[i]);
    store += byte;
  }
  WriteFuzzFile("registry.reg", store + "\n");
  const std::string log = WriteFuzzFile("diag.log", "");

  std::string detail;
  const int result = DumpRegistry(log, config, &detail);
  FUZZ_CHECK(result == DUMP_SUCCESS);
  std::ifstream in(log, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  const std::size_t start = text.find("\r\n\"V\"=\"");
  FUZZ_CHECK(start != std::string::npos);
  const std::size_t end = text.find("\r\n", start + 2);
  const std::string line = text.substr(start + 2, end - start - 2);
  FUZZ_CHECK_EQUAL(line, line.substr(0, line.find_first_of("\r\n")));
  const std::string suffix = std::string("\"  (") + TypeName(type) + ")";
  FUZZ_CHECK_EQUAL(line.substr(0, 5) + "..." + line.substr(line.size() < suffix.size() ? 0 : line.size() - suffix.size()),
                   "\"V\"=\"..." + suffix);
  const std::string shown = line.substr(5, line.size() - 5 - suffix.size());
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    std::string expected;
    for (const std::uint8_t byte : bytes) {
      if (byte == 0) break;
      expected += static_cast<char>(byte);
    }
    FUZZ_CHECK_EQUAL(shown, velkaro::EscapeControls(expected));
  } else {
    FUZZ_CHECK_EQUAL(shown, Hex(bytes, type == REG_DWORD));
  }
  return 0;
}
