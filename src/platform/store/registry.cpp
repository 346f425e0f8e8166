// The Win32 registry calls over the store files. A handle names a store and
// a key path; every call reads the store again (see registry_store.h), so a
// handle always sees the current content, and a key deleted meanwhile
// answers ERROR_KEY_DELETED as on Windows.

#include "platform/store/registry.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/store/registry_store.h"

struct RegistryKeyHandle {
  std::shared_ptr<velkaro::RegistryStore> store;
  const velkaro::RegRoot* root = nullptr;
  std::vector<std::string> path;  // below the root key, with the stored case
  REGSAM access = 0;
};

namespace {

using velkaro::RegKeyNode;
using velkaro::RegSnapshot;
using velkaro::RegStoreKind;
using velkaro::RegValue;

constexpr REGSAM kDelete = 0x00010000;
constexpr REGSAM kWriteDac = 0x00040000;
constexpr REGSAM kWriteOwner = 0x00080000;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericRead = 0x80000000;
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | kDelete | kWriteDac | kWriteOwner;

// Windows checks a handle's rights on every call; so do we, so that code
// which opened a key for reading cannot write through it unnoticed.
REGSAM EffectiveAccess(REGSAM requested, bool writable) {
  REGSAM access = requested & 0x00FFFFFF;
  if (requested & kGenericRead) access |= KEY_READ;
  if (requested & kGenericWrite) access |= KEY_WRITE;
  if (requested & kGenericAll) access |= KEY_ALL_ACCESS;
  if (requested & kMaximumAllowed) access |= writable ? KEY_ALL_ACCESS : KEY_READ;
  return access & ~kMaximumAllowed;
}

class HandleTable {
 public:
  HKEY Add(std::shared_ptr<RegistryKeyHandle> handle) {
    const HKEY key = handle.get();
    std::lock_guard lock(m_mutex);
    m_handles.emplace(key, std::move(handle));
    return key;
  }
  std::shared_ptr<RegistryKeyHandle> Find(HKEY key) {
    std::lock_guard lock(m_mutex);
    const auto it = m_handles.find(key);
    return it == m_handles.end() ? nullptr : it->second;
  }
  bool Remove(HKEY key) {
    std::lock_guard lock(m_mutex);
    return m_handles.erase(key) > 0;
  }

 private:
  std::mutex m_mutex;
  std::unordered_map<HKEY, std::shared_ptr<RegistryKeyHandle>> m_handles;
};

HandleTable& Handles() {
  static HandleTable table;
  return table;
}

// The key a handle or predefined root names, as a value the call owns: a
// concurrent RegCloseKey cannot pull it away.
LSTATUS Resolve(HKEY key, RegistryKeyHandle& out) {
  if (const velkaro::RegRoot* root = velkaro::FindRegRoot(reinterpret_cast<std::uintptr_t>(key))) {
    if (root->store == RegStoreKind::None) return ERROR_INVALID_HANDLE;
    out = RegistryKeyHandle{velkaro::StoreFor(root->store), root, {}, KEY_ALL_ACCESS};
    return ERROR_SUCCESS;
  }
  const auto handle = Handles().Find(key);
  if (!handle) return ERROR_INVALID_HANDLE;
  out = *handle;
  return ERROR_SUCCESS;
}

// A relative key path: components separated by backslashes, one trailing
// backslash allowed; null or empty is the key itself.
LSTATUS SplitPath(const char* subKey, std::size_t baseDepth, std::vector<std::string>& parts) {
  parts.clear();
  if (subKey == nullptr) return ERROR_SUCCESS;
  std::string_view rest(subKey);
  if (rest.ends_with('\\')) rest.remove_suffix(1);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('\\');
    const std::string_view name = rest.substr(0, slash);
    if (!velkaro::IsValidKeyName(name)) return ERROR_BAD_PATHNAME;
    parts.emplace_back(name);
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
    if (rest.empty()) return ERROR_BAD_PATHNAME;
  }
  return baseDepth + parts.size() > velkaro::kMaxKeyDepth ? ERROR_BAD_PATHNAME : ERROR_SUCCESS;
}

const RegKeyNode* Locate(const RegKeyNode& top, const RegistryKeyHandle& key) {
  const RegKeyNode* root = top.FindSubkey(key.root->name);
  return root != nullptr ? root->Find(key.path) : nullptr;
}

RegKeyNode* Locate(RegKeyNode& top, const RegistryKeyHandle& key) {
  return const_cast<RegKeyNode*>(Locate(std::as_const(top), key));
}

// Reads the store and finds the handle's key, checking the right the call
// needs. Root keys always exist; any other key may have been deleted after
// it was opened.
LSTATUS ReadKey(HKEY key, REGSAM needed, RegSnapshot& snapshot, const RegKeyNode*& node) {
  RegistryKeyHandle handle;
  if (const LSTATUS status = Resolve(key, handle)) return status;
  if ((handle.access & needed) != needed) return ERROR_ACCESS_DENIED;
  if (const LSTATUS status = handle.store->Read(snapshot)) return status;
  node = Locate(*snapshot.top, handle);
  return node != nullptr ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

FILETIME ToFileTime(std::int64_t unixNs) {
  // FILETIME counts 100 ns steps from 1601-01-01.
  constexpr std::uint64_t kEpochDifference = 116444736000000000ull;
  const std::uint64_t ticks = unixNs > 0 ? static_cast<std::uint64_t>(unixNs) / 100 + kEpochDifference : 0;
  return FILETIME{static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32)};
}

// Copies a name into a caller's buffer of `*length` characters, as the
// enumeration calls do: the length answered leaves out the terminating zero.
LSTATUS CopyName(const std::string& name, char* buffer, std::uint32_t* length) {
  if (buffer == nullptr || length == nullptr) return ERROR_INVALID_PARAMETER;
  if (name.size() >= *length) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.data(), name.size());
  buffer[name.size()] = '\0';
  *length = static_cast<std::uint32_t>(name.size());
  return ERROR_SUCCESS;
}

// Copies value data; with no buffer only the size is answered.
LSTATUS CopyData(const std::vector<std::uint8_t>& data, std::uint8_t* buffer, std::uint32_t* size) {
  if (buffer != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  if (size == nullptr) return ERROR_SUCCESS;
  const auto needed = static_cast<std::uint32_t>(data.size());
  if (buffer != nullptr && *size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (buffer != nullptr && needed > 0) std::memcpy(buffer, data.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

// We keep no class names: they answer as empty.
LSTATUS EmptyClass(char* className, std::uint32_t* classLength) {
  if (className == nullptr) {
    if (classLength != nullptr) *classLength = 0;
    return ERROR_SUCCESS;
  }
  if (classLength == nullptr) return ERROR_INVALID_PARAMETER;
  if (*classLength < 1) return ERROR_MORE_DATA;
  className[0] = '\0';
  *classLength = 0;
  return ERROR_SUCCESS;
}

HKEY NewHandle(const RegistryKeyHandle& base, const RegKeyNode& baseNode, const std::vector<std::string>& parts,
               REGSAM access) {
  auto handle = std::make_shared<RegistryKeyHandle>(base);
  handle->access = access;
  const RegKeyNode* node = &baseNode;
  for (const std::string& part : parts) {
    node = node->FindSubkey(part);
    handle->path.push_back(node->Name());  // the stored case, not the caller's
  }
  return Handles().Add(std::move(handle));
}

}  // namespace

LSTATUS RegOpenKeyEx(HKEY key, const char* subKey, std::uint32_t, REGSAM access, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  RegistryKeyHandle base;
  if (const LSTATUS status = Resolve(key, base)) return status;
  std::vector<std::string> parts;
  if (const LSTATUS status = SplitPath(subKey, base.path.size(), parts)) return status;

  RegSnapshot snapshot;
  if (const LSTATUS status = base.store->Read(snapshot)) return status;
  const RegKeyNode* baseNode = Locate(*snapshot.top, base);
  if (baseNode == nullptr) return ERROR_KEY_DELETED;
  if (baseNode->Find(parts) == nullptr) return ERROR_FILE_NOT_FOUND;

  const bool writable = base.store->IsWritable();
  const REGSAM granted = EffectiveAccess(access, writable);
  if ((granted & kWriteRights) != 0 && !writable) return ERROR_ACCESS_DENIED;
  *result = NewHandle(base, *baseNode, parts, granted);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyEx(HKEY key, const char* subKey, std::uint32_t, char*, std::uint32_t, REGSAM access, void*,
                       HKEY* result, std::uint32_t* disposition) {
  if (result == nullptr || subKey == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  RegistryKeyHandle base;
  if (const LSTATUS status = Resolve(key, base)) return status;
  std::vector<std::string> parts;
  if (const LSTATUS status = SplitPath(subKey, base.path.size(), parts)) return status;

  const bool writable = base.store->IsWritable();
  const REGSAM granted = EffectiveAccess(access, writable);
  if ((granted & kWriteRights) != 0 && !writable) return ERROR_ACCESS_DENIED;

  RegSnapshot snapshot;
  if (const LSTATUS status = base.store->Read(snapshot)) return status;
  const RegKeyNode* baseNode = Locate(*snapshot.top, base);
  if (baseNode == nullptr) return ERROR_KEY_DELETED;
  if (baseNode->Find(parts) != nullptr) {
    if (disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
    *result = NewHandle(base, *baseNode, parts, granted);
    return ERROR_SUCCESS;
  }

  if ((base.access & KEY_CREATE_SUB_KEY) == 0 || !writable) return ERROR_ACCESS_DENIED;
  std::uint32_t created = REG_OPENED_EXISTING_KEY;
  std::vector<std::string> storedParts;  // the new handle's path, with the stored case
  const LSTATUS status = base.store->Modify([&](RegKeyNode& top, bool& changed) {
    RegKeyNode* node = Locate(top, base);
    if (node == nullptr) return ERROR_KEY_DELETED;
    storedParts.clear();
    for (const std::string& part : parts) {
      bool added = false;
      node = &node->AddSubkey(part, &added);
      changed = changed || added;
      storedParts.push_back(node->Name());
    }
    created = changed ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  });
  if (status != ERROR_SUCCESS) return status;
  auto handle = std::make_shared<RegistryKeyHandle>(base);
  handle->access = granted;
  handle->path.insert(handle->path.end(), storedParts.begin(), storedParts.end());
  if (disposition != nullptr) *disposition = created;
  *result = Handles().Add(std::move(handle));
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
  if (velkaro::FindRegRoot(reinterpret_cast<std::uintptr_t>(key)) != nullptr) return ERROR_SUCCESS;
  return Handles().Remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS RegQueryValueEx(HKEY key, const char* valueName, std::uint32_t* reserved, std::uint32_t* type,
                        std::uint8_t* data, std::uint32_t* dataSize) {
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
  RegSnapshot snapshot;
  const RegKeyNode* node = nullptr;
  if (const LSTATUS status = ReadKey(key, KEY_QUERY_VALUE, snapshot, node)) return status;
  const RegValue* value = node->FindValue(valueName != nullptr ? valueName : "");
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = value->type;
  return CopyData(value->data, data, dataSize);
}

LSTATUS RegSetValueEx(HKEY key, const char* valueName, std::uint32_t, std::uint32_t type, const std::uint8_t* data,
                      std::uint32_t dataSize) {
  const std::string_view name = valueName != nullptr ? valueName : "";
  if (!velkaro::IsValidValueName(name) || (data == nullptr && dataSize > 0) || dataSize > velkaro::kMaxValueSize) {
    return ERROR_INVALID_PARAMETER;
  }
  RegistryKeyHandle handle;
  if (const LSTATUS status = Resolve(key, handle)) return status;
  if ((handle.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  const std::span<const std::uint8_t> bytes(data, data != nullptr ? dataSize : 0);
  return handle.store->Modify([&](RegKeyNode& top, bool& changed) {
    RegKeyNode* node = Locate(top, handle);
    if (node == nullptr) return ERROR_KEY_DELETED;
    changed = node->SetValue(name, type, bytes);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteValue(HKEY key, const char* valueName) {
  const std::string_view name = valueName != nullptr ? valueName : "";
  RegistryKeyHandle handle;
  if (const LSTATUS status = Resolve(key, handle)) return status;
  if ((handle.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  return handle.store->Modify([&](RegKeyNode& top, bool& changed) {
    RegKeyNode* node = Locate(top, handle);
    if (node == nullptr) return ERROR_KEY_DELETED;
    changed = node->DeleteValue(name);
    return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

namespace {

// RegDeleteKey and RegDeleteTree: find the key first, so that a missing key
// answers "not found" even where the store cannot be written.
LSTATUS DeleteKey(HKEY key, const char* subKey, bool wholeTree) {
  RegistryKeyHandle handle;
  if (const LSTATUS status = Resolve(key, handle)) return status;
  std::vector<std::string> parts;
  if (const LSTATUS status = SplitPath(subKey, handle.path.size(), parts)) return status;
  if (parts.empty()) {
    if (!wholeTree) return ERROR_INVALID_PARAMETER;
    if ((handle.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  }
  RegSnapshot snapshot;
  if (const LSTATUS status = handle.store->Read(snapshot)) return status;
  const RegKeyNode* base = Locate(*snapshot.top, handle);
  if (base == nullptr) return ERROR_KEY_DELETED;
  if (base->Find(parts) == nullptr) return ERROR_FILE_NOT_FOUND;

  return handle.store->Modify([&](RegKeyNode& top, bool& changed) {
    RegKeyNode* node = Locate(top, handle);
    if (node == nullptr) return ERROR_KEY_DELETED;
    if (parts.empty()) {
      changed = node->Clear();
      return ERROR_SUCCESS;
    }
    RegKeyNode* parent = node->Find(std::span<const std::string>(parts).first(parts.size() - 1));
    const RegKeyNode* target = parent != nullptr ? parent->FindSubkey(parts.back()) : nullptr;
    if (target == nullptr) return ERROR_FILE_NOT_FOUND;
    // As on Windows, RegDeleteKey leaves a key with subkeys alone.
    if (!wholeTree && !target->Subkeys().empty()) return ERROR_ACCESS_DENIED;
    changed = parent->DeleteSubkey(parts.back());
    return ERROR_SUCCESS;
  });
}

}  // namespace

LSTATUS RegDeleteKey(HKEY key, const char* subKey) {
  if (subKey == nullptr || *subKey == '\0') return ERROR_INVALID_PARAMETER;
  return DeleteKey(key, subKey, false);
}

LSTATUS RegDeleteTree(HKEY key, const char* subKey) { return DeleteKey(key, subKey, true); }

LSTATUS RegEnumValue(HKEY key, std::uint32_t index, char* valueName, std::uint32_t* valueNameLength,
                     std::uint32_t* reserved, std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataSize) {
  if (valueName == nullptr || valueNameLength == nullptr || reserved != nullptr ||
      (data != nullptr && dataSize == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  RegSnapshot snapshot;
  const RegKeyNode* node = nullptr;
  if (const LSTATUS status = ReadKey(key, KEY_QUERY_VALUE, snapshot, node)) return status;
  if (index >= node->Values().size()) return ERROR_NO_MORE_ITEMS;
  const RegValue& value = node->Values()[index];
  if (const LSTATUS status = CopyName(value.name, valueName, valueNameLength)) return status;
  if (type != nullptr) *type = value.type;
  return CopyData(value.data, data, dataSize);
}

LSTATUS RegEnumKeyEx(HKEY key, std::uint32_t index, char* name, std::uint32_t* nameLength, std::uint32_t* reserved,
                     char* className, std::uint32_t* classLength, FILETIME* lastWriteTime) {
  if (name == nullptr || nameLength == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
  RegSnapshot snapshot;
  const RegKeyNode* node = nullptr;
  if (const LSTATUS status = ReadKey(key, KEY_ENUMERATE_SUB_KEYS, snapshot, node)) return status;
  if (index >= node->Subkeys().size()) return ERROR_NO_MORE_ITEMS;
  if (const LSTATUS status = CopyName(node->Subkeys()[index].Name(), name, nameLength)) return status;
  if (const LSTATUS status = EmptyClass(className, classLength)) return status;
  // The store keeps no time per key; the file's own time is the latest it can be.
  if (lastWriteTime != nullptr) *lastWriteTime = ToFileTime(snapshot.modifiedNs);
  return ERROR_SUCCESS;
}

LSTATUS RegQueryInfoKey(HKEY key, char* className, std::uint32_t* classLength, std::uint32_t* reserved,
                        std::uint32_t* subKeys, std::uint32_t* maxSubKeyLength, std::uint32_t* maxClassLength,
                        std::uint32_t* values, std::uint32_t* maxValueNameLength, std::uint32_t* maxValueLength,
                        std::uint32_t* securityDescriptorSize, FILETIME* lastWriteTime) {
  if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
  RegSnapshot snapshot;
  const RegKeyNode* node = nullptr;
  if (const LSTATUS status = ReadKey(key, KEY_QUERY_VALUE, snapshot, node)) return status;
  if (const LSTATUS status = EmptyClass(className, classLength)) return status;
  std::size_t longestKey = 0;
  for (const RegKeyNode& subkey : node->Subkeys()) longestKey = std::max(longestKey, subkey.Name().size());
  std::size_t longestName = 0;
  std::size_t largest = 0;
  for (const RegValue& value : node->Values()) {
    longestName = std::max(longestName, value.name.size());
    largest = std::max(largest, value.data.size());
  }
  const auto put = [](std::uint32_t* out, std::size_t number) {
    if (out != nullptr) *out = static_cast<std::uint32_t>(number);
  };
  put(subKeys, node->Subkeys().size());
  put(maxSubKeyLength, longestKey);
  put(maxClassLength, 0);
  put(values, node->Values().size());
  put(maxValueNameLength, longestName);
  put(maxValueLength, largest);
  put(securityDescriptorSize, 0);
  if (lastWriteTime != nullptr) *lastWriteTime = ToFileTime(snapshot.modifiedNs);
  return ERROR_SUCCESS;
}

namespace velkaro {

LSTATUS ScopedHKey::Open(HKEY parent, const char* subKey, REGSAM access) {
  return RegOpenKeyEx(parent, subKey, 0, access, Receive());
}

LSTATUS ScopedHKey::Create(HKEY parent, const char* subKey, REGSAM access, std::uint32_t* disposition) {
  return RegCreateKeyEx(parent, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, Receive(), disposition);
}

LSTATUS ScopedHKey::QueryBytes(const char* name, std::vector<std::uint8_t>& data, std::uint32_t* type) const {
  data.clear();
  if (m_key == nullptr) return ERROR_INVALID_HANDLE;
  // Another process may change the value between asking for its size and
  // reading it; a grown value is asked for again.
  for (;;) {
    std::uint32_t size = 0;
    if (const LSTATUS status = RegQueryValueEx(m_key, name, nullptr, type, nullptr, &size)) return status;
    data.resize(size);
    const LSTATUS status = RegQueryValueEx(m_key, name, nullptr, type, data.data(), &size);
    if (status == ERROR_MORE_DATA) continue;
    data.resize(status == ERROR_SUCCESS ? size : 0);
    return status;
  }
}

LSTATUS ScopedHKey::QueryNumber(const char* name, std::uint32_t& value) const {
  std::uint32_t type = REG_NONE;
  return QueryNumberOfType(name, value, type);
}

LSTATUS ScopedHKey::QueryDword(const char* name, std::uint32_t& value) const {
  std::uint32_t type = REG_NONE;
  std::uint32_t number = 0;
  if (const LSTATUS status = QueryNumberOfType(name, number, type)) return status;
  if (type != REG_DWORD) return ERROR_UNSUPPORTED_TYPE;
  value = number;
  return ERROR_SUCCESS;
}

LSTATUS ScopedHKey::QueryNumberOfType(const char* name, std::uint32_t& value, std::uint32_t& type) const {
  std::vector<std::uint8_t> data;
  if (const LSTATUS status = QueryBytes(name, data, &type)) return status;
  if (data.empty() || data.size() > 4) return ERROR_UNSUPPORTED_TYPE;
  value = 0;
  for (std::size_t i = data.size(); i-- > 0;) value = value << 8 | data[i];
  return ERROR_SUCCESS;
}

LSTATUS ScopedHKey::QueryString(const char* name, std::string& text) const {
  std::vector<std::uint8_t> data;
  const LSTATUS status = QueryBytes(name, data);
  const auto end = std::find(data.begin(), data.end(), 0);
  text.assign(data.begin(), end);
  return status;
}

}  // namespace velkaro
