#pragma once
// The registry export text format, in which the settings store lives on disk
// and which the admin command imports and exports. UTF-8, one item a line:
//
//   Windows Registry Editor Version 5.00       first line, always
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Key]          a key ([-...] deletes it)
//   "Name"="text"                              REG_SZ; \\ and \" escaped
//   @="text"                                   the key's default value
//   "Name"=dword:0000000a                      REG_DWORD
//   "Name"=hex:01,02,ff                        REG_BINARY
//   "Name"=hex(b):...                          any other type, number in hex
//   "Name"=-                                   deletes the value
//   ; comment
//
// A hex list may end a line with "\" and go on in the next. String types
// hold the bytes the calls were given (UTF-8 with its terminating zero), so
// hex(2) and hex(7) data are UTF-8 here, where Windows writes UTF-16. Data
// that the quoted or dword form cannot carry exactly is written as hex(N),
// so writing and reading back gives every value byte for byte.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/store/registry_tree.h"

namespace velkaro {

inline constexpr std::string_view kRegTextHeader = "Windows Registry Editor Version 5.00";
// Larger files are refused before they are read: a store this size is damage.
inline constexpr std::size_t kMaxRegTextSize = 64 * 1024 * 1024;

struct RegValueEntry {
  std::string name;
  bool remove = false;  // "Name"=-
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  std::size_t line = 0;
};

struct RegKeySection {
  const RegRoot* root = nullptr;
  std::vector<std::string> path;  // below the root key
  bool remove = false;            // [-...]
  std::vector<RegValueEntry> values;
  std::size_t line = 0;
};

struct RegDocument {
  std::vector<RegKeySection> sections;
};

struct RegTextError {
  std::size_t line = 0;  // 1-based; 0 when the whole text is at fault
  std::string message;
};

// Parses the whole text; on failure nothing of it is to be used. An empty
// text is an empty document (a store file just created).
bool ParseRegText(std::string_view text, RegDocument& document, RegTextError& error);
// The same, handing on each section as soon as it is complete, so that a
// large store is not held a second time as sections; a key of very many
// values comes in several sections of the same key, in order. On failure,
// what was handed on is not to be used either. The section is valid during
// the call.
using RegSectionTaker = std::function<void(const RegKeySection&)>;
bool ParseRegText(std::string_view text, const RegSectionTaker& take, RegTextError& error);

// Applies sections one at a time to `top`, as ApplyRegSections does, in one
// RegTreeBatch: `top` is in order once the applier is finished or gone.
class RegSectionApplier {
 public:
  explicit RegSectionApplier(RegKeyNode& top) : m_top(top), m_batch(top) {}
  void Apply(const RegKeySection& section);
  void Finish() { m_batch.Finish(); }

 private:
  RegKeyNode& m_top;
  RegTreeBatch m_batch;
};

// Applies the sections in their order to `top`, whose subkeys are the root
// keys; a section of a root key that `top` lacks is left out. Deleting what
// is not there does nothing. One call for a whole document: the tree is put
// in order once, at the end.
void ApplyRegSections(std::span<const RegKeySection> sections, RegKeyNode& top);

// The text of a whole store: header, then every key of every root key in
// name order. A root key is written only when it has values of its own.
std::string FormatRegText(const RegKeyNode& top);
// The same without the header line, to put several stores in one text.
void AppendRegRootsText(std::string& out, const RegKeyNode& top);
// Appends the key line of `key` under its full `path`, its values, and then
// every subkey, depth first.
void AppendRegKeyText(std::string& out, const std::string& path, const RegKeyNode& key);
// One value as its line (ending in a newline; a long hex list spans lines).
std::string FormatRegValue(const RegValue& value);

}  // namespace velkaro
