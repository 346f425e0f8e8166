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

const RegValue* RegKeyNode::FindValue(std::string_view name) const {
  for (const RegValue& value : m_values) {
    if (RegNamesEqual(value.name, name)) return &value;
  }
  return nullptr;
}

bool RegKeyNode::SetValue(std::string_view name, std::uint32_t type, std::span<const std::uint8_t> data) {
  for (RegValue& value : m_values) {
    if (!RegNamesEqual(value.name, name)) continue;
    if (value.type == type && std::equal(value.data.begin(), value.data.end(), data.begin(), data.end())) {
      return false;
    }
    value.type = type;
    value.data.assign(data.begin(), data.end());
    return true;
  }
  m_values.push_back(RegValue{std::string(name), type, {data.begin(), data.end()}});
  return true;
}

bool RegKeyNode::DeleteValue(std::string_view name) {
  const auto it = std::find_if(m_values.begin(), m_values.end(),
                               [&](const RegValue& value) { return RegNamesEqual(value.name, name); });
  if (it == m_values.end()) return false;
  m_values.erase(it);
  return true;
}

std::vector<RegKeyNode>::const_iterator RegKeyNode::LowerBound(std::string_view name) const {
  return std::lower_bound(m_subkeys.begin(), m_subkeys.end(), name, [](const RegKeyNode& key, std::string_view n) {
    return CompareRegNames(key.m_name, n) < 0;
  });
}

const RegKeyNode* RegKeyNode::FindSubkey(std::string_view name) const {
  const auto it = LowerBound(name);
  return it != m_subkeys.end() && RegNamesEqual(it->m_name, name) ? &*it : nullptr;
}

RegKeyNode* RegKeyNode::FindSubkey(std::string_view name) {
  return const_cast<RegKeyNode*>(std::as_const(*this).FindSubkey(name));
}

RegKeyNode& RegKeyNode::AddSubkey(std::string_view name, bool* added) {
  const auto position = LowerBound(name);
  const bool exists = position != m_subkeys.end() && RegNamesEqual(position->m_name, name);
  if (added != nullptr) *added = !exists;
  const auto index = position - m_subkeys.begin();
  if (!exists) m_subkeys.insert(position, RegKeyNode(std::string(name)));
  return m_subkeys[static_cast<std::size_t>(index)];
}

bool RegKeyNode::DeleteSubkey(std::string_view name) {
  const auto it = LowerBound(name);
  if (it == m_subkeys.end() || !RegNamesEqual(it->m_name, name)) return false;
  m_subkeys.erase(it);
  return true;
}

bool RegKeyNode::Clear() {
  const bool hadContent = !m_values.empty() || !m_subkeys.empty();
  m_values.clear();
  m_subkeys.clear();
  return hadContent;
}

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
