#pragma once
// The settings store's content in memory: a tree of keys, each holding its
// values in the order they were first written and its subkeys sorted by name.
// Names compare case-insensitively (by Unicode upper case, as the Windows
// registry compares them) and keep the case they were first given.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
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

class RegTreeBatch;

class RegKeyNode {
 public:
  RegKeyNode() = default;
  explicit RegKeyNode(std::string name) : m_name(std::move(name)) {}
  RegKeyNode(const RegKeyNode& other);
  RegKeyNode& operator=(const RegKeyNode& other);
  RegKeyNode(RegKeyNode&&) noexcept = default;
  RegKeyNode& operator=(RegKeyNode&&) noexcept = default;
  ~RegKeyNode() = default;

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
  bool operator==(const RegKeyNode& other) const;

 private:
  friend class RegTreeBatch;
  // A key of a few names is searched name by name; one of more has an index
  // of folded name -> position, so that a look-up costs the same among ten
  // names as among a hundred thousand. Most keys are small, and stay light.
  static constexpr std::size_t kUnindexed = 8;
  struct Index {
    std::unordered_map<std::string, std::size_t> values;
    std::unordered_map<std::string, std::size_t> subkeys;
    bool valuesIndexed = false;
    bool subkeysIndexed = false;
    // Left by a batch until it ends: entries of indexed kinds marked deleted,
    // by position. (Small kinds lose their entries at once.)
    std::vector<std::size_t> deadValues;
    std::vector<std::size_t> deadSubkeys;
  };
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  std::size_t ValuePosition(std::string_view name) const;
  std::size_t SubkeyPosition(std::string_view name) const;
  bool ValuesIndexed() const { return m_index != nullptr && m_index->valuesIndexed; }
  bool SubkeysIndexed() const { return m_index != nullptr && m_index->subkeysIndexed; }
  // After an entry went last: indexes it, or the whole kind once it grew past
  // kUnindexed.
  void NoteLastValue();
  void NoteLastSubkey();
  void IndexValues();
  void IndexSubkeys();
  // Drops what a batch marked deleted, sorts the subkeys and reindexes,
  // here and in every key below.
  void Settle();

  std::string m_name;
  std::vector<RegValue> m_values;
  std::vector<RegKeyNode> m_subkeys;
  std::unique_ptr<Index> m_index;
  bool m_unsorted = false;  // subkeys a batch added in arrival order
};

// Many changes to one tree, as reading a whole file makes them, in time
// linear in the tree's size: while the batch is open, new subkeys go last
// and deletions only mark their entry, and Finish (or the destructor) puts
// every key below `top` in order once. Until then the tree may be changed
// through the batch and SetValue only, and read through Find/FindSubkey/
// FindValue only.
class RegTreeBatch {
 public:
  explicit RegTreeBatch(RegKeyNode& top) : m_top(&top) {}
  ~RegTreeBatch() { Finish(); }
  RegTreeBatch(const RegTreeBatch&) = delete;
  RegTreeBatch& operator=(const RegTreeBatch&) = delete;

  // As RegKeyNode's calls of the same names.
  RegKeyNode& AddSubkey(RegKeyNode& parent, std::string_view name);
  void DeleteSubkey(RegKeyNode& parent, std::string_view name);
  void DeleteValue(RegKeyNode& key, std::string_view name);

  void Finish();

 private:
  RegKeyNode* m_top;
};

// The comparisons, foldings and moves of names this thread's trees have
// made: a test reads it to see the work grow with the store, not with its
// square, without timing anything.
std::uint64_t RegTreeSteps();

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
