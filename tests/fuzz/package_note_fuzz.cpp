// libFuzzer target for the package note that gives a file's version: the ELF
// image is walked for the note and its JSON text parsed. The file can be any
// file the configuration names, so every byte is hostile. Oracle: a note
// that is found survives being written as JSON and parsed again unchanged.

#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "platform/package_note.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto note = velkaro::ParsePackageNoteImage(std::string(reinterpret_cast<const char*>(data), size));
  if (!note) return 0;
  const nlohmann::json object = {{"name", note->name}, {"version", note->version}, {"vendor", note->vendor}};
  std::string text;
  try {
    text = object.dump();
  } catch (const nlohmann::json::type_error&) {
    return 0;  // not UTF-8: JSON cannot carry it back the same
  }
  const auto again = velkaro::ParsePackageNoteJson(text);
  FUZZ_CHECK(again && again->name == note->name && again->version == note->version && again->vendor == note->vendor);
  return 0;
}
