#include "rfid/rfid_settings.h"

#include <functional>

#include "platform/store/registry.h"
#include "platform/store/registry_store.h"

namespace {

using velkaro::RegKeyNode;
using velkaro::ScopedHKey;

std::string CodeText(LSTATUS status) {
  switch (status) {
    case ERROR_FILE_NOT_FOUND: return "the key does not exist";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_BADDB: return "the settings store is damaged";
    case ERROR_CANTREAD: return "the settings store cannot be read";
    case ERROR_CANTWRITE: return "the settings store cannot be written";
    case ERROR_KEY_DELETED: return "the key was deleted meanwhile";
    case ERROR_UNSUPPORTED_TYPE: return "the value is not a REG_DWORD";
    default: return "the settings store failed";
  }
}

// The code's meaning, then the store's own words (they name the file, and
// the line of a damaged store or the holder of its lock).
std::string Reason(LSTATUS status, const std::string& storeMessage) {
  std::string text = CodeText(status) + " (error " + std::to_string(status) + ")";
  if (!storeMessage.empty()) text += ": " + storeMessage;
  return text;
}

std::shared_ptr<velkaro::RegistryStore> MachineStore() {
  return velkaro::StoreFor(velkaro::FindRegRoot(reinterpret_cast<std::uintptr_t>(HKEY_LOCAL_MACHINE))->store);
}

// The calls through key handles answer only a code: the store is asked
// again for its reason.
bool Fail(LSTATUS status, std::string* why) {
  if (why == nullptr) return false;
  std::string message;
  velkaro::RegSnapshot snapshot;
  if (MachineStore()->Read(snapshot, &message) == ERROR_SUCCESS) message.clear();
  *why = Reason(status, message);
  return false;
}

bool Refuse(const std::string& text, std::string* why) {
  if (why != nullptr) *why = text;
  return false;
}

// One locked read-modify-write of the key `key`, so that the store's reason
// for a failed write (a lock held by another process among them) reaches the
// caller. A missing key is created with `create`, and otherwise answers
// `missing` without writing anything.
bool ChangeKey(const std::string& key, bool create, LSTATUS missing,
               const std::function<LSTATUS(RegKeyNode&, bool&)>& change, std::string* why) {
  std::vector<std::string> parts;
  for (std::size_t start = 0; start <= key.size();) {
    const std::size_t slash = std::min(key.find('\\', start), key.size());
    if (slash > start) parts.push_back(key.substr(start, slash - start));
    start = slash + 1;
  }
  const char* rootName = velkaro::FindRegRoot(reinterpret_cast<std::uintptr_t>(HKEY_LOCAL_MACHINE))->name;
  std::string message;
  const LSTATUS status = MachineStore()->Modify(
      [&](RegKeyNode& top, bool& changed) {
        RegKeyNode* node = top.FindSubkey(rootName);
        if (create) {
          for (const std::string& part : parts) {
            bool added = false;
            node = &node->AddSubkey(part, &added);
            changed = changed || added;
          }
        } else {
          node = node->Find(parts);
        }
        return node != nullptr ? change(*node, changed) : missing;
      },
      &message);
  if (status == ERROR_SUCCESS) return true;
  if (why != nullptr) *why = Reason(status, message);
  return false;
}

}  // namespace

bool ReadRegBinary(const std::string& key, const std::string& name, std::vector<std::uint8_t>& bytes,
                   std::string* why) {
  if (key.empty() || name.empty() || !bytes.empty()) return Refuse("no key, no value name, or bytes given", why);
  ScopedHKey handle;
  if (const LSTATUS open = handle.Create(HKEY_LOCAL_MACHINE, key.c_str(), KEY_ALL_ACCESS)) return Fail(open, why);

  std::vector<std::uint8_t> stored;
  const LSTATUS query = handle.QueryBytes(name.c_str(), stored);
  // Only an absent value reads as no bytes; a store that cannot be read is a
  // failure, or the page would show (and later write) an empty setting.
  if (query == ERROR_FILE_NOT_FOUND) return true;
  if (query != ERROR_SUCCESS) return Fail(query, why);
  if (stored.size() > kMaxRegBinarySize) {
    return Refuse("the value holds " + std::to_string(stored.size()) + " bytes, more than the " +
                      std::to_string(kMaxRegBinarySize) + " it may have",
                  why);
  }
  if (stored.empty()) {
    RegDeleteValue(handle.Get(), name.c_str());
    return true;
  }
  bytes = std::move(stored);
  return true;
}

bool WriteRegBinary(const std::string& key, const std::string& name, std::span<const std::uint8_t> bytes,
                    std::string* why) {
  if (key.empty() || name.empty()) return Refuse("no key or no value name", why);
  std::vector<std::uint8_t> padded(bytes.begin(), bytes.end());
  if (!padded.empty() && padded.size() < kMinRegBinarySize) padded.resize(kMinRegBinarySize, 0);
  return ChangeKey(
      key, false, ERROR_FILE_NOT_FOUND,
      [&](RegKeyNode& node, bool& changed) {
        changed = padded.empty() ? node.DeleteValue(name) : node.SetValue(name, REG_BINARY, padded);
        return ERROR_SUCCESS;
      },
      why);
}

bool DeleteRegValue(const std::string& key, const std::string& name, std::string* why) {
  if (key.empty() || name.empty()) return Refuse("no key or no value name", why);
  // A missing key holds no value; any other failure (no permission, a
  // damaged store) leaves the value where it was.
  return ChangeKey(
      key, false, ERROR_SUCCESS,
      [&](RegKeyNode& node, bool& changed) {
        changed = node.DeleteValue(name);
        return ERROR_SUCCESS;
      },
      why);
}

bool ReadRegDword(const std::string& key, const std::string& name, std::uint32_t& value, std::string* why) {
  if (key.empty() || name.empty()) return Refuse("no key or no value name", why);
  ScopedHKey handle;
  if (const LSTATUS open = handle.Create(HKEY_LOCAL_MACHINE, key.c_str(), KEY_ALL_ACCESS)) return Fail(open, why);
  const LSTATUS query = handle.QueryDword(name.c_str(), value);
  if (query == ERROR_FILE_NOT_FOUND) return Refuse("there is no such value", why);
  return query == ERROR_SUCCESS || Fail(query, why);
}

bool WriteRegDword(const std::string& key, const std::string& name, std::uint32_t value, std::string* why) {
  if (key.empty() || name.empty()) return Refuse("no key or no value name", why);
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  return ChangeKey(
      key, true, ERROR_SUCCESS,
      [&](RegKeyNode& node, bool& changed) {
        changed = node.SetValue(name, REG_DWORD, bytes) || changed;
        return ERROR_SUCCESS;
      },
      why);
}

std::optional<std::string> SettingsStoreFailure() {
  std::string message;
  velkaro::RegSnapshot snapshot;
  const LSTATUS status = MachineStore()->Read(snapshot, &message);
  if (status == ERROR_SUCCESS) return std::nullopt;
  return Reason(status, message);
}
