// libFuzzer target for reader.conf.d files, where any package configures a
// serial reader for pcscd. Oracles, besides "does not crash":
// - no value holds a line feed or a double quote (pcscd takes them off);
// - the readers survive a round trip: a file written from them, each value
//   quoted, configures the same readers.

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "platform/driver_bundles.h"

namespace {

std::string Described(const std::vector<velkaro::SerialReader>& readers) {
  std::string text;
  for (const auto& r : readers)
    text += r.friendlyName + '|' + r.deviceName + '|' + r.libraryPath + '|' + r.channelId + '\n';
  return text;
}

std::string Quoted(const std::string& value) { return "\"" + value + "\""; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<velkaro::SerialReader> readers = velkaro::ParseReaderConf(text);
  std::string written;
  for (const auto& r : readers) {
    for (const std::string* value : {&r.friendlyName, &r.deviceName, &r.libraryPath, &r.channelId}) {
      FUZZ_CHECK(value->find('\n') == std::string::npos && value->find('"') == std::string::npos);
    }
    // The reader is complete at its last line, LIBPATH.
    written += "FRIENDLYNAME " + Quoted(r.friendlyName) + "\n";
    if (!r.channelId.empty()) written += "CHANNELID " + Quoted(r.channelId) + "\n";
    written += "DEVICENAME " + Quoted(r.deviceName) + "\nLIBPATH " + Quoted(r.libraryPath) + "\n";
  }
  FUZZ_CHECK_EQUAL(Described(velkaro::ParseReaderConf(written)), Described(readers));
  return 0;
}
