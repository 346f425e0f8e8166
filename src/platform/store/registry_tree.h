#pragma once
// The settings store's content in memory: a tree of keys, each holding its
// values in the order they were first written and its subkeys sorted by name.
// Names compare case-insensitively (by Unicode upper case, as the Windows
// registry compares them) and keep the case they were first given.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

// Limits of names and data, in bytes of UTF-8. Key names stay within the
// 256-character buffers that callers enumerate subkeys into; a value is a
// setting, not a file, so a megabyte is plenty and a runaway writer cannot
// balloon the store.
inline constexpr std::size_t kMaxKeyNameLength = 255;
inline constexpr std::size_t kMaxValueNameLength = 16383;
inline constexpr std::size_t kMaxValueSize = 1024 * 1024;
inline constexpr std::size_t kMaxKeyDepth = 512;  // components below the root key

struct RegValue {
  std::string name;  // empty: the key's default value
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;

  bool operator==(const RegValue&) const = default;
};

class RegKeyNode {
 public:
  RegKeyNode() = default;
  explicit RegKeyNode(std::string name) : m_name(std::move(name)) {}

  const std::string& Name() const { return m_name; }
  const std::vector<RegValue>& Values() const { return m_values; }
  const std::vector<RegKeyNode>& Subkeys() const { return m_subkeys; }

  const RegValue* FindValue(std::string_view name) const;
  // A value of the same name in any case keeps its place and its name;
  // a new one goes last. Answers whether anything changed.
  bool SetValue(std::string_view name, std::uint32_t type, std::span<const std::uint8_t> data);
  bool DeleteValue(std::string_view name);

  const RegKeyNode* FindSubkey(std::string_view name) const;
  RegKeyNode* FindSubkey(std::string_view name);
  // The subkey of that name, added in sorted place when missing. References
  // to other subkeys of this key do not survive an addition.
  RegKeyNode& AddSubkey(std::string_view name, bool* added = nullptr);
  bool DeleteSubkey(std::string_view name);
  // Drops every value and subkey; the key itself stays.
  bool Clear();

  // The key at `path` below this one (each component one name); null when
  // any component is missing. An empty path is this key.
  const RegKeyNode* Find(std::span<const std::string> path) const;
  RegKeyNode* Find(std::span<const std::string> path);

  // Exact equality, names compared with their case.
  bool operator==(const RegKeyNode&) const = default;

 private:
  std::vector<RegKeyNode>::const_iterator LowerBound(std::string_view name) const;

  std::string m_name;
  std::vector<RegValue> m_values;
  std::vector<RegKeyNode> m_subkeys;
};

// Case-insensitive order of names: <0, 0 or >0.
int CompareRegNames(std::string_view a, std::string_view b);
inline bool RegNamesEqual(std::string_view a, std::string_view b) { return CompareRegNames(a, b) == 0; }

bool IsValidUtf8(std::string_view text);
// A key name: 1 to 255 bytes of UTF-8, no backslash, no control character.
bool IsValidKeyName(std::string_view name);
// A value name: up to 16383 bytes of UTF-8, no control character.
bool IsValidValueName(std::string_view name);

// The root keys and the store file that holds each.
enum class RegStoreKind { Machine, User, None };

struct RegRoot {
  const char* name;       // HKEY_LOCAL_MACHINE
  const char* shortName;  // HKLM
  std::uintptr_t handle;  // the predefined HKEY value
  RegStoreKind store;     // None: the root does not exist on Linux
};

std::span<const RegRoot> RegRoots();
// By full name in any case, and by the short name when `allowShortName`.
const RegRoot* FindRegRoot(std::string_view name, bool allowShortName = false);
const RegRoot* FindRegRoot(std::uintptr_t handle);

}  // namespace velkaro
