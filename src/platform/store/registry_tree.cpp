#include "platform/store/registry_tree.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <utility>

namespace velkaro {

namespace {

// Next code point of UTF-8 text, or the byte itself (as a negative number, so
// it sorts apart from every character) when the text is not well formed.
UChar32 NextUpper(std::string_view text, std::int32_t& index) {
  const auto byte = static_cast<unsigned char>(text[static_cast<std::size_t>(index)]);
  if (byte < 0x80) {
    ++index;
    return byte >= 'a' && byte <= 'z' ? byte - ('a' - 'A') : byte;
  }
  UChar32 c;
  const std::int32_t start = index;
  U8_NEXT(text.data(), index, static_cast<std::int32_t>(text.size()), c);
  if (c < 0) {
    index = start + 1;
    return -static_cast<UChar32>(byte);
  }
  return u_toupper(c);
}

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char ch) {
    const auto byte = static_cast<unsigned char>(ch);
    return byte < 0x20 || byte == 0x7F;
  });
}

// Work done on names by this thread (see RegTreeSteps).
thread_local std::uint64_t t_steps = 0;

// The name in one case, as the index keys it: equal exactly when
// CompareRegNames calls the names equal. Each upper-cased code point goes
// in as UTF-8; a byte that is not UTF-8 goes in as 0xFF and itself, which no
// UTF-8 text contains.
std::string FoldName(std::string_view text) {
  ++t_steps;
  std::string folded;
  folded.reserve(text.size());
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(text.size());) {
    const UChar32 c = NextUpper(text, i);
    if (c < 0x80 && c >= 0) {
      folded += static_cast<char>(c);
    } else if (c < 0) {
      folded += '\xFF';
      folded += static_cast<char>(-c);
    } else {
      char bytes[U8_MAX_LENGTH];
      std::int32_t length = 0;
      U8_APPEND_UNSAFE(bytes, length, c);
      folded.append(bytes, static_cast<std::size_t>(length));
    }
  }
  return folded;
}

// After an entry at `position` went (-1) or came (+1), the entries behind it
// moved by one.
void ShiftPositions(std::unordered_map<std::string, std::size_t>& index, std::size_t position, int by) {
  t_steps += index.size();
  for (auto& entry : index) {
    if (entry.second >= position) entry.second = by > 0 ? entry.second + 1 : entry.second - 1;
  }
}

// Drops the entries at `marked` positions, keeping the order of the rest.
template <typename T>
void DropMarked(std::vector<T>& entries, std::vector<std::size_t>& marked) {
  if (marked.empty()) return;
  t_steps += entries.size();
  std::vector<bool> dead(entries.size());
  for (const std::size_t position : marked) dead[position] = true;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (dead[i]) continue;
    if (kept != i) entries[kept] = std::move(entries[i]);
    ++kept;
  }
  entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(kept), entries.end());
  marked.clear();
}

constexpr std::array<RegRoot, 7> kRoots{{
    {"HKEY_CLASSES_ROOT", "HKCR", 0x80000000u, RegStoreKind::Machine},
    {"HKEY_CURRENT_USER", "HKCU", 0x80000001u, RegStoreKind::User},
    {"HKEY_LOCAL_MACHINE", "HKLM", 0x80000002u, RegStoreKind::Machine},
    {"HKEY_USERS", "HKU", 0x80000003u, RegStoreKind::Machine},
    {"HKEY_PERFORMANCE_DATA", "", 0x80000004u, RegStoreKind::None},
    {"HKEY_CURRENT_CONFIG", "HKCC", 0x80000005u, RegStoreKind::Machine},
    {"HKEY_DYN_DATA", "", 0x80000006u, RegStoreKind::None},
}};

}  // namespace

int CompareRegNames(std::string_view a, std::string_view b) {
  ++t_steps;
  // ASCII names (nearly all of them) compare without decoding.
  const std::size_t common = std::min(a.size(), b.size());
  std::size_t i = 0;
  for (; i < common; ++i) {
    const auto x = static_cast<unsigned char>(a.data()[i]);
    const auto y = static_cast<unsigned char>(b.data()[i]);
    if ((x | y) & 0x80) break;
    if (x == y) continue;
    const int ux = x >= 'a' && x <= 'z' ? x - ('a' - 'A') : x;
    const int uy = y >= 'a' && y <= 'z' ? y - ('a' - 'A') : y;
    if (ux != uy) return ux < uy ? -1 : 1;
  }
  if (i == common) return (a.size() > common) - (b.size() > common);
  a.remove_prefix(i);
  b.remove_prefix(i);
  std::int32_t j = 0;
  std::int32_t k = 0;
  const auto na = static_cast<std::int32_t>(a.size());
  const auto nb = static_cast<std::int32_t>(b.size());
  while (j < na && k < nb) {
    const UChar32 ca = NextUpper(a, j);
    const UChar32 cb = NextUpper(b, k);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return (j < na) - (k < nb);
}

bool IsValidUtf8(std::string_view text) {
  const auto length = static_cast<std::int32_t>(text.size());
  for (std::int32_t i = 0; i < length;) {
    if (static_cast<unsigned char>(text[static_cast<std::size_t>(i)]) < 0x80) {
      ++i;
      continue;
    }
    UChar32 c;
    U8_NEXT(text.data(), i, length, c);
    if (c < 0) return false;
  }
  return true;
}

bool IsValidKeyName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxKeyNameLength && name.find('\\') == std::string_view::npos &&
         !HasControlCharacter(name) && IsValidUtf8(name);
}

bool IsValidValueName(std::string_view name) {
  return name.size() <= kMaxValueNameLength && !HasControlCharacter(name) && IsValidUtf8(name);
}

std::span<const RegRoot> RegRoots() { return kRoots; }

const RegRoot* FindRegRoot(std::string_view name, bool allowShortName) {
  for (const RegRoot& root : kRoots) {
    if (RegNamesEqual(root.name, name)) return &root;
    if (allowShortName && *root.shortName != '\0' && RegNamesEqual(root.shortName, name)) return &root;
  }
  return nullptr;
}

const RegRoot* FindRegRoot(std::uintptr_t handle) {
  for (const RegRoot& root : kRoots) {
    if (root.handle == handle) return &root;
  }
  return nullptr;
}

RegKeyNode::RegKeyNode(const RegKeyNode& other)
    : m_name(other.m_name),
      m_values(other.m_values),
      m_subkeys(other.m_subkeys),
      m_index(other.m_index != nullptr ? std::make_unique<Index>(*other.m_index) : nullptr),
      m_unsorted(other.m_unsorted) {}

RegKeyNode& RegKeyNode::operator=(const RegKeyNode& other) {
  if (this != &other) *this = RegKeyNode(other);
  return *this;
}

std::size_t RegKeyNode::ValuePosition(std::string_view name) const {
  if (ValuesIndexed()) {
    const auto it = m_index->values.find(FoldName(name));
    return it == m_index->values.end() ? kNone : it->second;
  }
  for (std::size_t i = 0; i < m_values.size(); ++i) {
    if (RegNamesEqual(m_values[i].name, name)) return i;
  }
  return kNone;
}

std::size_t RegKeyNode::SubkeyPosition(std::string_view name) const {
  if (SubkeysIndexed()) {
    const auto it = m_index->subkeys.find(FoldName(name));
    return it == m_index->subkeys.end() ? kNone : it->second;
  }
  for (std::size_t i = 0; i < m_subkeys.size(); ++i) {
    if (RegNamesEqual(m_subkeys[i].m_name, name)) return i;
  }
  return kNone;
}

void RegKeyNode::NoteLastValue() {
  if (ValuesIndexed()) {
    m_index->values.emplace(FoldName(m_values.back().name), m_values.size() - 1);
  } else if (m_values.size() > kUnindexed) {
    IndexValues();
  }
}

void RegKeyNode::NoteLastSubkey() {
  if (SubkeysIndexed()) {
    m_index->subkeys.emplace(FoldName(m_subkeys.back().m_name), m_subkeys.size() - 1);
  } else if (m_subkeys.size() > kUnindexed) {
    IndexSubkeys();
  }
}

void RegKeyNode::IndexValues() {
  if (m_index == nullptr) m_index = std::make_unique<Index>();
  m_index->values.clear();
  m_index->values.reserve(m_values.size());
  for (std::size_t i = 0; i < m_values.size(); ++i) m_index->values.emplace(FoldName(m_values[i].name), i);
  m_index->valuesIndexed = true;
}

void RegKeyNode::IndexSubkeys() {
  if (m_index == nullptr) m_index = std::make_unique<Index>();
  m_index->subkeys.clear();
  m_index->subkeys.reserve(m_subkeys.size());
  for (std::size_t i = 0; i < m_subkeys.size(); ++i) m_index->subkeys.emplace(FoldName(m_subkeys[i].m_name), i);
  m_index->subkeysIndexed = true;
}

const RegValue* RegKeyNode::FindValue(std::string_view name) const {
  const std::size_t position = ValuePosition(name);
  return position == kNone ? nullptr : &m_values[position];
}

bool RegKeyNode::SetValue(std::string_view name, std::uint32_t type, std::span<const std::uint8_t> data) {
  const std::size_t position = ValuePosition(name);
  if (position == kNone) {
    m_values.push_back(RegValue{std::string(name), type, {data.begin(), data.end()}});
    NoteLastValue();
    return true;
  }
  RegValue& value = m_values[position];
  if (value.type == type && std::equal(value.data.begin(), value.data.end(), data.begin(), data.end())) return false;
  value.type = type;
  value.data.assign(data.begin(), data.end());
  return true;
}

bool RegKeyNode::DeleteValue(std::string_view name) {
  const std::size_t position = ValuePosition(name);
  if (position == kNone) return false;
  if (ValuesIndexed()) {
    m_index->values.erase(FoldName(name));
    ShiftPositions(m_index->values, position, -1);
  }
  m_values.erase(m_values.begin() + static_cast<std::ptrdiff_t>(position));
  return true;
}

const RegKeyNode* RegKeyNode::FindSubkey(std::string_view name) const {
  const std::size_t position = SubkeyPosition(name);
  return position == kNone ? nullptr : &m_subkeys[position];
}

RegKeyNode* RegKeyNode::FindSubkey(std::string_view name) {
  return const_cast<RegKeyNode*>(std::as_const(*this).FindSubkey(name));
}

RegKeyNode& RegKeyNode::AddSubkey(std::string_view name, bool* added) {
  const std::size_t found = SubkeyPosition(name);
  if (added != nullptr) *added = found == kNone;
  if (found != kNone) return m_subkeys[found];
  const auto position =
      std::lower_bound(m_subkeys.begin(), m_subkeys.end(), name,
                       [](const RegKeyNode& key, std::string_view n) { return CompareRegNames(key.m_name, n) < 0; });
  const auto index = static_cast<std::size_t>(position - m_subkeys.begin());
  m_subkeys.insert(position, RegKeyNode(std::string(name)));
  if (SubkeysIndexed()) {
    ShiftPositions(m_index->subkeys, index, 1);
    m_index->subkeys.emplace(FoldName(name), index);
  } else if (m_subkeys.size() > kUnindexed) {
    IndexSubkeys();
  }
  return m_subkeys[index];
}

bool RegKeyNode::DeleteSubkey(std::string_view name) {
  const std::size_t position = SubkeyPosition(name);
  if (position == kNone) return false;
  if (SubkeysIndexed()) {
    m_index->subkeys.erase(FoldName(name));
    ShiftPositions(m_index->subkeys, position, -1);
  }
  m_subkeys.erase(m_subkeys.begin() + static_cast<std::ptrdiff_t>(position));
  return true;
}

bool RegKeyNode::Clear() {
  const bool hadContent = !m_values.empty() || !m_subkeys.empty();
  m_values.clear();
  m_subkeys.clear();
  m_index.reset();
  m_unsorted = false;
  return hadContent;
}

bool RegKeyNode::operator==(const RegKeyNode& other) const {
  // The indexes follow from the names, so the content alone decides.
  return m_name == other.m_name && m_values == other.m_values && m_subkeys == other.m_subkeys;
}

void RegKeyNode::Settle() {
  ++t_steps;
  const bool valuesMoved = m_index != nullptr && !m_index->deadValues.empty();
  const bool subkeysDropped = m_index != nullptr && !m_index->deadSubkeys.empty();
  const bool subkeysMoved = m_unsorted || subkeysDropped;
  if (m_index != nullptr) {
    DropMarked(m_values, m_index->deadValues);
    DropMarked(m_subkeys, m_index->deadSubkeys);
  }
  bool subkeysRemapped = false;
  if (m_unsorted) {
    // Positions sort, and each key then moves once.
    std::vector<std::size_t> order(m_subkeys.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
      return CompareRegNames(m_subkeys[a].m_name, m_subkeys[b].m_name) < 0;
    });
    std::vector<RegKeyNode> sorted;
    sorted.reserve(m_subkeys.size());
    for (const std::size_t position : order) sorted.push_back(std::move(m_subkeys[position]));
    m_subkeys = std::move(sorted);
    m_unsorted = false;
    // Nothing dropped: the index keeps its names and learns their new
    // places, rather than being built again name by name.
    if (!subkeysDropped && SubkeysIndexed()) {
      std::vector<std::size_t> placed(order.size());
      for (std::size_t i = 0; i < order.size(); ++i) placed[order[i]] = i;
      for (auto& entry : m_index->subkeys) entry.second = placed[entry.second];
      subkeysRemapped = true;
    }
  }
  if (valuesMoved && ValuesIndexed()) IndexValues();
  if (subkeysMoved && !subkeysRemapped && SubkeysIndexed()) IndexSubkeys();
  for (RegKeyNode& subkey : m_subkeys) subkey.Settle();
}

RegKeyNode& RegTreeBatch::AddSubkey(RegKeyNode& parent, std::string_view name) {
  if (const std::size_t found = parent.SubkeyPosition(name); found != RegKeyNode::kNone) {
    return parent.m_subkeys[found];
  }
  // Input already in order (what this program writes) needs no sort.
  if (!parent.m_subkeys.empty() && CompareRegNames(parent.m_subkeys.back().m_name, name) > 0) {
    parent.m_unsorted = true;
  }
  parent.m_subkeys.emplace_back(std::string(name));
  parent.NoteLastSubkey();
  return parent.m_subkeys.back();
}

void RegTreeBatch::DeleteSubkey(RegKeyNode& parent, std::string_view name) {
  if (!parent.SubkeysIndexed()) {
    parent.DeleteSubkey(name);  // a few entries: no need to wait
    return;
  }
  auto& index = parent.m_index->subkeys;
  const auto it = index.find(FoldName(name));
  if (it == index.end()) return;
  parent.m_subkeys[it->second].Clear();  // its content goes now, the entry when the batch ends
  parent.m_index->deadSubkeys.push_back(it->second);
  index.erase(it);
}

void RegTreeBatch::DeleteValue(RegKeyNode& key, std::string_view name) {
  if (!key.ValuesIndexed()) {
    key.DeleteValue(name);
    return;
  }
  auto& index = key.m_index->values;
  const auto it = index.find(FoldName(name));
  if (it == index.end()) return;
  key.m_index->deadValues.push_back(it->second);
  index.erase(it);
}

void RegTreeBatch::Finish() {
  if (m_top != nullptr) m_top->Settle();
  m_top = nullptr;
}

std::uint64_t RegTreeSteps() { return t_steps; }

const RegKeyNode* RegKeyNode::Find(std::span<const std::string> path) const {
  const RegKeyNode* key = this;
  for (const std::string& name : path) {
    key = key->FindSubkey(name);
    if (key == nullptr) return nullptr;
  }
  return key;
}

RegKeyNode* RegKeyNode::Find(std::span<const std::string> path) {
  return const_cast<RegKeyNode*>(std::as_const(*this).Find(path));
}

}  // namespace velkaro
