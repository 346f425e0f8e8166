// velkaro-reg: query, set, delete, export and import settings store entries.
// For administrators inspecting a machine and for tests that prepare one.
// It works on the store files directly (under their locks), so it can name
// the file and line of a damaged store.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/store/registry_types.h"
#include "platform/store/registry_store.h"
#include "platform/store/registry_text.h"

namespace {

using namespace velkaro;

constexpr int kExitFailed = 1;  // the operation failed
constexpr int kExitUsage = 2;   // the command line is wrong
// A change's answer for a missing key, apart from a missing value (2).
constexpr LSTATUS kKeyMissing = 3;  // ERROR_PATH_NOT_FOUND

constexpr char kUsage[] =
    "usage: velkaro-reg query KEY [VALUE]\n"
    "       velkaro-reg set KEY VALUE TYPE DATA\n"
    "       velkaro-reg delete KEY [VALUE]\n"
    "       velkaro-reg export [KEY]\n"
    "       velkaro-reg import FILE|-\n"
    "\n"
    "KEY    a full key path such as 'HKEY_LOCAL_MACHINE\\SOFTWARE\\VELKARO'\n"
    "       (HKLM, HKCU, HKCR, HKU and HKCC may stand for the root key)\n"
    "VALUE  a value name; \"\" or @ is the key's default value\n"
    "TYPE   REG_SZ, REG_EXPAND_SZ: DATA is the text\n"
    "       REG_MULTI_SZ: the strings separated by \\0\n"
    "       REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_QWORD: a number, decimal or 0x hex\n"
    "       REG_BINARY, REG_NONE or a type number: hex bytes such as \"03 01\"\n"
    "\n"
    "delete without VALUE removes the key with everything below it. export\n"
    "without KEY writes both stores. The stores are VELKARO_REGISTRY (default\n"
    "/etc/velkaro/registry.reg) and, for HKEY_CURRENT_USER, VELKARO_USER_REGISTRY\n"
    "(default $XDG_CONFIG_HOME/velkaro/user.reg or ~/.config/velkaro/user.reg).\n"
    "Exit status: 0 done, 1 the operation failed, 2 wrong command line.\n";

// Names from the command line reach the terminal as plain text: control
// bytes show as \xNN, and a name longer than kShownLimit bytes (a value name
// may have 16 KB) shows its start and its length.
constexpr std::size_t kShownLimit = 200;

std::string Shown(std::string_view text) {
  const std::size_t size = text.size();
  if (size > kShownLimit) {
    std::size_t cut = kShownLimit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a UTF-8 character
    text = text.substr(0, cut);
  }
  std::string out;
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte >= 0x20 && byte != 0x7F) {
      out += ch;
      continue;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  if (size > kShownLimit) out += "\u2026 (" + std::to_string(size) + " bytes)";
  return out;
}

std::string Quoted(std::string_view text) { return '"' + Shown(text) + '"'; }

int Fail(int status, const std::string& message) {
  std::cerr << "velkaro-reg: " << message << '\n';
  return status;
}

// Set when the program started without a standard output: the descriptor
// then holds /dev/null, so that no file opened later takes its place.
bool g_stdoutClosed = false;

void GuardStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == 1) g_stdoutClosed = true;
    const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
}

// Writes the command's output; a closed or full output is a failure, or a
// script would take a cut-off export for a whole one.
int Print(const std::string& text) {
  int error = g_stdoutClosed ? EBADF : 0;
  for (std::size_t done = 0; error == 0 && done < text.size();) {
    const ssize_t put = ::write(1, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) error = errno;
    else done += static_cast<std::size_t>(put);
  }
  if (error != 0) return Fail(kExitFailed, std::string("cannot write the output: ") + std::strerror(error));
  return 0;
}

struct KeyPath {
  const RegRoot* root = nullptr;
  std::vector<std::string> parts;
  std::string text;  // as given, made fit for messages
};

bool ParseKeyPath(std::string_view text, KeyPath& key, std::string& error) {
  key.text = Shown(text);
  if (text.ends_with('\\')) text.remove_suffix(1);
  const std::size_t slash = text.find('\\');
  key.root = FindRegRoot(text.substr(0, slash), true);
  if (key.root == nullptr) {
    error = "unknown root key in \"" + key.text + "\"";
    return false;
  }
  if (key.root->store == RegStoreKind::None) {
    error = std::string(key.root->name) + " does not exist on this system";
    return false;
  }
  text = slash == std::string_view::npos ? std::string_view() : text.substr(slash + 1);
  while (!text.empty()) {
    const std::size_t next = text.find('\\');
    const std::string_view name = text.substr(0, next);
    if (!IsValidKeyName(name)) {
      error = "invalid key name " + Quoted(name) + " in \"" + key.text + "\"";
      return false;
    }
    key.parts.emplace_back(name);
    if (next == std::string_view::npos) break;
    text.remove_prefix(next + 1);
  }
  if (key.parts.size() > kMaxKeyDepth) {
    error = "key path too deep: \"" + key.text + "\"";
    return false;
  }
  return true;
}

std::string ValueName(std::string_view name) { return name == "@" ? std::string() : std::string(name); }

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& ch : out) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  return out;
}

// A whole unsigned number: decimal, or hex after 0x.
bool ParseNumber(std::string_view text, std::uint64_t limit, std::uint64_t& number) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.find_first_not_of(base == 16 ? "0123456789abcdefABCDEF" : "0123456789") !=
                          std::string_view::npos) {
    return false;
  }
  errno = 0;
  number = std::strtoull(std::string(text).c_str(), nullptr, base);
  return errno == 0 && number <= limit;
}

bool ParseType(std::string_view text, std::uint32_t& type) {
  static const std::pair<const char*, std::uint32_t> kTypes[] = {
      {"REG_NONE", REG_NONE},         {"REG_SZ", REG_SZ},
      {"REG_EXPAND_SZ", REG_EXPAND_SZ}, {"REG_BINARY", REG_BINARY},
      {"REG_DWORD", REG_DWORD},       {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN},
      {"REG_LINK", REG_LINK},         {"REG_MULTI_SZ", REG_MULTI_SZ},
      {"REG_RESOURCE_LIST", REG_RESOURCE_LIST}, {"REG_QWORD", REG_QWORD},
  };
  const std::string upper = Upper(text);
  for (const auto& [name, number] : kTypes) {
    if (upper == name) {
      type = number;
      return true;
    }
  }
  std::uint64_t number = 0;
  if (!ParseNumber(text, 0xFFFFFFFFu, number)) return false;
  type = static_cast<std::uint32_t>(number);
  return true;
}

bool ParseData(std::uint32_t type, std::string_view text, std::vector<std::uint8_t>& data, std::string& error) {
  data.clear();
  const auto appendText = [&](std::string_view part) {
    data.insert(data.end(), part.begin(), part.end());
    data.push_back(0);
  };
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    appendText(text);
  } else if (type == REG_MULTI_SZ) {
    const std::string_view whole = text;
    while (!text.empty()) {
      const std::size_t separator = text.find("\\0");
      // Readers stop at the first empty string: every string after it would be lost.
      if (separator == 0) {
        error = Quoted(whole) + " holds an empty string, which would end the list";
        return false;
      }
      appendText(text.substr(0, separator));
      if (separator == std::string_view::npos) break;
      text.remove_prefix(separator + 2);
    }
    data.push_back(0);
  } else if (type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN || type == REG_QWORD) {
    const int size = type == REG_QWORD ? 8 : 4;
    std::uint64_t number = 0;
    if (!ParseNumber(text, type == REG_QWORD ? ~0ull : 0xFFFFFFFFull, number)) {
      error = Quoted(text) + " is not a " + std::to_string(size * 8) +
              "-bit number (decimal, or hex after 0x)";
      return false;
    }
    for (int i = 0; i < size; ++i) {
      const int shift = type == REG_DWORD_BIG_ENDIAN ? (size - 1 - i) * 8 : i * 8;
      data.push_back(static_cast<std::uint8_t>(number >> shift));
    }
  } else {
    std::string digits;
    for (const char ch : text) {
      if (ch == ' ' || ch == ',' || ch == ':') continue;
      if (!std::isxdigit(static_cast<unsigned char>(ch))) {
        error = Quoted(text) + " is not a list of hex bytes";
        return false;
      }
      digits += ch;
    }
    if (digits.size() % 2 != 0) {
      error = Quoted(text) + " has an odd number of hex digits";
      return false;
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
      data.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
  }
  if (data.size() > kMaxValueSize) {
    error = "data larger than " + std::to_string(kMaxValueSize) + " bytes";
    return false;
  }
  return true;
}

// The store's own message when there is one (file and line of a damaged
// store, a denied write), otherwise the text for the change's result.
std::string Reason(LSTATUS status, const std::string& storeMessage, const std::string& notFound) {
  if (!storeMessage.empty()) return storeMessage;
  switch (status) {
    case ERROR_FILE_NOT_FOUND: return notFound;
    case ERROR_ACCESS_DENIED: return "permission denied";
    default: return "failed with error " + std::to_string(status);
  }
}

int Report(LSTATUS status, const std::string& storeMessage, const std::string& notFound) {
  return Fail(kExitFailed, Reason(status, storeMessage, notFound));
}

std::string StoredPath(const KeyPath& key, const RegKeyNode& top) {
  const RegKeyNode* node = top.FindSubkey(key.root->name);
  std::string path = key.root->name;
  for (const std::string& part : key.parts) {
    node = node->FindSubkey(part);
    path += '\\' + node->Name();
  }
  return path;
}

int Query(const KeyPath& key, const char* valueName) {
  const auto store = StoreFor(key.root->store);
  RegSnapshot snapshot;
  std::string message;
  if (const LSTATUS status = store->Read(snapshot, &message)) return Report(status, message, "");
  const RegKeyNode* node = snapshot.top->FindSubkey(key.root->name)->Find(key.parts);
  if (node == nullptr) return Fail(kExitFailed, "key not found: " + key.text);
  if (valueName != nullptr) {
    const RegValue* value = node->FindValue(ValueName(valueName));
    if (value == nullptr) return Fail(kExitFailed, "value not found: " + Quoted(valueName) + " in " + key.text);
    return Print(FormatRegValue(*value));
  }
  std::string out = '[' + StoredPath(key, *snapshot.top) + "]\n";
  for (const RegValue& value : node->Values()) out += FormatRegValue(value);
  for (const RegKeyNode& subkey : node->Subkeys()) out += "; subkey: " + subkey.Name() + '\n';
  return Print(out);
}

int Set(const KeyPath& key, const char* valueName, const char* typeText, const char* dataText) {
  std::uint32_t type = 0;
  if (!ParseType(typeText, type)) return Fail(kExitUsage, "unknown type " + Quoted(typeText));
  std::vector<std::uint8_t> data;
  std::string error;
  if (!ParseData(type, dataText, data, error)) return Fail(kExitUsage, error);
  const std::string name = ValueName(valueName);
  if (!IsValidValueName(name)) return Fail(kExitUsage, "invalid value name " + Quoted(name));

  std::string message;
  const LSTATUS status = StoreFor(key.root->store)->Modify(
      [&](RegKeyNode& top, bool& changed) {
        RegKeyNode* node = top.FindSubkey(key.root->name);
        for (const std::string& part : key.parts) {
          bool added = false;
          node = &node->AddSubkey(part, &added);
          changed = changed || added;
        }
        changed = node->SetValue(name, type, data) || changed;
        return ERROR_SUCCESS;
      },
      &message);
  return status == ERROR_SUCCESS ? 0 : Report(status, message, "");
}

int Delete(const KeyPath& key, const char* valueName) {
  if (valueName == nullptr && key.parts.empty()) return Fail(kExitUsage, "a root key cannot be deleted");
  std::string message;
  const LSTATUS status = StoreFor(key.root->store)->Modify(
      [&](RegKeyNode& top, bool& changed) {
        RegKeyNode* root = top.FindSubkey(key.root->name);
        if (valueName != nullptr) {
          RegKeyNode* node = root->Find(key.parts);
          if (node == nullptr) return kKeyMissing;
          changed = node->DeleteValue(ValueName(valueName));
          return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
        }
        const std::span<const std::string> parts(key.parts);
        RegKeyNode* parent = root->Find(parts.first(parts.size() - 1));
        changed = parent != nullptr && parent->DeleteSubkey(parts.back());
        return changed ? ERROR_SUCCESS : kKeyMissing;
      },
      &message);
  if (status == kKeyMissing) return Fail(kExitFailed, "key not found: " + key.text);
  if (status == ERROR_SUCCESS) return 0;
  return Report(status, message, "value not found: " + Quoted(valueName ? valueName : "") + " in " + key.text);
}

int Export(const KeyPath* key) {
  std::string out(kRegTextHeader);
  out += "\n\n";
  for (const RegStoreKind kind : {RegStoreKind::Machine, RegStoreKind::User}) {
    if (key != nullptr && key->root->store != kind) continue;
    RegSnapshot snapshot;
    std::string message;
    if (const LSTATUS status = StoreFor(kind)->Read(snapshot, &message)) return Report(status, message, "");
    if (key == nullptr) {
      AppendRegRootsText(out, *snapshot.top);
      continue;
    }
    const RegKeyNode* node = snapshot.top->FindSubkey(key->root->name)->Find(key->parts);
    if (node == nullptr) return Fail(kExitFailed, "key not found: " + key->text);
    AppendRegKeyText(out, StoredPath(*key, *snapshot.top), *node);
  }
  return Print(out);
}

// The file to import, read up to one byte past the store's size limit, so
// that an endless input (/dev/zero) ends with a message, not with the memory.
bool ReadImport(const std::string& file, std::string& text, std::string& error) {
  const int fd = file == "-" ? 0 : ::open(file.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    error = "is a directory";
  } else {
    text.resize(kMaxRegTextSize + 1);
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t got = ::read(fd, text.data() + done, text.size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) error = std::string("cannot read: ") + std::strerror(errno);
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    text.resize(done);
    if (error.empty() && done > kMaxRegTextSize) error = "larger than " + std::to_string(kMaxRegTextSize) + " bytes";
  }
  if (fd != 0) ::close(fd);
  return error.empty();
}

int Import(const std::string& file) {
  std::string text;
  std::string readError;
  if (!ReadImport(file, text, readError)) return Fail(kExitFailed, Shown(file) + ": " + readError + " (nothing imported)");
  RegDocument document;
  RegTextError error;
  if (!ParseRegText(text, document, error)) {
    return Fail(kExitFailed, Shown(file) + ":" + (error.line > 0 ? std::to_string(error.line) + ":" : "") + " " +
                                 error.message + " (nothing imported)");
  }
  // Each store takes all of its part of the file in one write, and both are
  // checked and written aside before either is put in place.
  struct Part {
    RegStoreKind kind;
    std::shared_ptr<RegistryStore> store;
    RegistryStore::PendingWrite write;
  };
  Part parts[] = {{RegStoreKind::Machine, StoreFor(RegStoreKind::Machine), {}},
                  {RegStoreKind::User, StoreFor(RegStoreKind::User), {}}};
  for (Part& part : parts) {
    const bool touched = std::any_of(document.sections.begin(), document.sections.end(),
                                     [&](const RegKeySection& section) { return section.root->store == part.kind; });
    if (!touched) continue;
    std::string message;
    const LSTATUS status = part.store->Prepare(
        [&](RegKeyNode& top, bool& changed) {
          const RegKeyNode before = top;
          // The other store's root keys are not in `top`, so their sections are left out.
          ApplyRegSections(document.sections, top);
          changed = !(top == before);
          return ERROR_SUCCESS;
        },
        part.write, &message);
    if (status != ERROR_SUCCESS) return Fail(kExitFailed, Reason(status, message, "") + " (nothing imported)");
  }
  std::string written;
  for (Part& part : parts) {
    const bool pending = part.write.IsPending();
    std::string message;
    if (const LSTATUS status = part.store->Commit(part.write, &message)) {
      return Fail(kExitFailed, Reason(status, message, "") +
                                   (written.empty() ? " (nothing imported)" : " (only " + written + " was written)"));
    }
    if (pending) written = part.store->Path();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  GuardStandardDescriptors();
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (args[0] == "-h" || args[0] == "--help" || args[0] == "help") return Print(kUsage);
  const std::string_view command = args[0];
  const std::size_t operands = args.size() - 1;
  const auto wrongCount = [&]() { return Fail(kExitUsage, "wrong number of arguments for " + std::string(command) +
                                                              "\n" + kUsage); };

  if (command == "import") {
    if (operands != 1) return wrongCount();
    return Import(argv[2]);
  }
  if (command == "export" && operands == 0) return Export(nullptr);

  const bool known = command == "query" || command == "set" || command == "delete" || command == "export";
  if (!known) return Fail(kExitUsage, "unknown command " + Quoted(command) + "\n" + kUsage);
  if (operands == 0) return wrongCount();
  KeyPath key;
  std::string error;
  if (!ParseKeyPath(args[1], key, error)) return Fail(kExitUsage, error);

  if (command == "query") {
    if (operands > 2) return wrongCount();
    return Query(key, operands == 2 ? argv[3] : nullptr);
  }
  if (command == "set") {
    if (operands != 4) return wrongCount();
    return Set(key, argv[3], argv[4], argv[5]);
  }
  if (command == "delete") {
    if (operands > 2) return wrongCount();
    return Delete(key, operands == 2 ? argv[3] : nullptr);
  }
  if (operands != 1) return wrongCount();
  return Export(&key);
}
