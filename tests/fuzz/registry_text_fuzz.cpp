// libFuzzer target for the settings store's text format. Beyond "does not
// crash", it checks the property the store relies on: whatever the parser
// accepts, the writer writes so that reading it back gives the same keys and
// values, and writing that again gives the same text.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/store/registry_text.h"

namespace {

velkaro::RegKeyNode Apply(const velkaro::RegDocument& document) {
  velkaro::RegKeyNode top;
  for (const auto& root : velkaro::RegRoots()) top.AddSubkey(root.name);
  velkaro::ApplyRegSections(document.sections, top);
  return top;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  velkaro::RegDocument document;
  velkaro::RegTextError error;
  if (!velkaro::ParseRegText(text, document, error)) {
    if (error.message.empty() || !document.sections.empty()) std::abort();
    return 0;
  }
  const velkaro::RegKeyNode top = Apply(document);
  const std::string written = velkaro::FormatRegText(top);
  velkaro::RegDocument again;
  if (!velkaro::ParseRegText(written, again, error)) std::abort();
  const velkaro::RegKeyNode back = Apply(again);
  if (!(back == top) || velkaro::FormatRegText(back) != written) std::abort();
  return 0;
}
