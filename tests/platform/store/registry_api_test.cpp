#include "platform/store/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/store/registry_store.h"  // the store paths
#include "registry_fixture.h"

using testing_support::RegistryStores;
using velkaro::ScopedHKey;

namespace {

using Bytes = std::vector<std::uint8_t>;

class RegistryApiTest : public ::testing::Test {
 protected:
  HKEY Create(const char* path, HKEY root = HKEY_LOCAL_MACHINE, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyEx(root, path, 0, nullptr, 0, access, nullptr, &key, nullptr), ERROR_SUCCESS) << path;
    return key;
  }
  LSTATUS Open(const char* path, HKEY* key, REGSAM access = KEY_READ, HKEY root = HKEY_LOCAL_MACHINE) {
    return RegOpenKeyEx(root, path, 0, access, key);
  }
  static LSTATUS SetDword(HKEY key, const char* name, std::uint32_t value) {
    return RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const std::uint8_t*>(&value), 4);
  }
  static LSTATUS SetText(HKEY key, const char* name, const std::string& text) {
    return RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                         static_cast<std::uint32_t>(text.size() + 1));
  }
  static Bytes Query(HKEY key, const char* name, std::uint32_t* type = nullptr) {
    std::uint32_t size = 0;
    if (RegQueryValueEx(key, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return {0xEE};
    Bytes data(size);
    EXPECT_EQ(RegQueryValueEx(key, name, nullptr, type, data.data(), &size), ERROR_SUCCESS);
    return data;
  }
  static std::vector<std::string> SubkeyNames(HKEY key) {
    std::vector<std::string> names;
    char name[256];
    for (std::uint32_t i = 0;; ++i) {
      std::uint32_t length = sizeof name;
      const LSTATUS status = RegEnumKeyEx(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (status != ERROR_SUCCESS) {
        EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
        break;
      }
      names.emplace_back(name, length);
    }
    return names;
  }
  static std::vector<std::string> ValueNames(HKEY key) {
    std::vector<std::string> names;
    char name[512];
    for (std::uint32_t i = 0;; ++i) {
      std::uint32_t length = sizeof name;
      const LSTATUS status = RegEnumValue(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (status != ERROR_SUCCESS) {
        EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
        break;
      }
      names.emplace_back(name, length);
    }
    return names;
  }

  RegistryStores m_stores;
};

}  // namespace

TEST_F(RegistryApiTest, OpenFindsOnlyExistingKeysAndCreateMakesTheWholePath) {
  HKEY key = nullptr;
  EXPECT_EQ(Open("SOFTWARE\\VELKARO\\DiagnosticTool", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_FALSE(std::filesystem::exists(m_stores.MachinePath())) << "a failed open must not create the store";

  std::uint32_t disposition = 0;
  ScopedHKey created;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\VELKARO\\DiagnosticTool", 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, created.Receive(), &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ScopedHKey again;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "software\\velkaro\\diagnostictool", 0, nullptr, 0, KEY_READ, nullptr,
                           again.Receive(), &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  ScopedHKey opened;
  EXPECT_EQ(Open("SOFTWARE\\VELKARO", opened.Receive()), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(opened.Get()), (std::vector<std::string>{"DiagnosticTool"}));
  // Relative to an open key, and the key itself through an empty path.
  ScopedHKey child;
  EXPECT_EQ(RegOpenKeyEx(opened.Get(), "DiagnosticTool\\", 0, KEY_READ, child.Receive()), ERROR_SUCCESS);
  ScopedHKey self;
  EXPECT_EQ(RegOpenKeyEx(opened.Get(), "", 0, KEY_READ, self.Receive()), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(self.Get()), (std::vector<std::string>{"DiagnosticTool"}));
}

TEST_F(RegistryApiTest, MalformedPathsAreRefused) {
  HKEY key = nullptr;
  for (const char* path : {"\\SOFTWARE", "A\\\\B", "A\\B\\\\", "bad\nname"}) {
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_BAD_PATHNAME)
        << path;
  }
  EXPECT_EQ(Open(std::string(256, 'k').c_str(), &key), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Open("SOFTWARE", nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryApiTest, NamesMatchInAnyCaseAndKeepTheCaseFirstGiven) {
  ScopedHKey key(Create("SYSTEM\\Tessaro\\RFID"));
  ASSERT_EQ(SetDword(key.Get(), "CardSearch", 1), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key.Get(), "CARDSEARCH", 2), ERROR_SUCCESS);
  ASSERT_EQ(SetText(key.Get(), "Grüße", "x"), ERROR_SUCCESS);
  EXPECT_EQ(Query(key.Get(), "cardsearch"), (Bytes{2, 0, 0, 0}));
  EXPECT_EQ(Query(key.Get(), "GRÜSSE"), (Bytes{0xEE})) << "no full case folding: ß is not SS";
  EXPECT_EQ(Query(key.Get(), "GRÜßE"), (Bytes{'x', 0}));
  EXPECT_EQ(ValueNames(key.Get()), (std::vector<std::string>{"CardSearch", "Grüße"}));

  ScopedHKey other;
  ASSERT_EQ(Open("system\\TESSARO\\rfid", other.Receive()), ERROR_SUCCESS);
  ScopedHKey parent;
  ASSERT_EQ(Open("SYSTEM\\TESSARO", parent.Receive()), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(parent.Get()), (std::vector<std::string>{"RFID"}));
}

TEST_F(RegistryApiTest, EveryTypeComesBackByteForByte) {
  ScopedHKey key(Create("SOFTWARE\\Types"));
  const std::vector<std::pair<std::uint32_t, Bytes>> values = {
      {REG_NONE, {}},
      {REG_SZ, {'t', 'e', 'x', 't', 0}},
      {REG_SZ, {'n', 'o', ' ', 'z', 'e', 'r', 'o'}},
      {REG_EXPAND_SZ, {'$', 'H', 'O', 'M', 'E', 0}},
      {REG_BINARY, {0x03, 0x01, 0x00, 0xFF}},
      {REG_DWORD, {0x02, 0x01, 0x00, 0x00}},
      {REG_DWORD, {0x01}},
      {REG_DWORD_BIG_ENDIAN, {0, 0, 1, 2}},
      {REG_MULTI_SZ, {'a', 0, 'b', 0, 0}},
      {REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
      {0x1234, {0xDE, 0xAD}},
  };
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string name = "v" + std::to_string(i);
    ASSERT_EQ(RegSetValueEx(key.Get(), name.c_str(), 0, values[i].first, values[i].second.data(),
                            static_cast<std::uint32_t>(values[i].second.size())),
              ERROR_SUCCESS);
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::uint32_t type = 99;
    EXPECT_EQ(Query(key.Get(), ("v" + std::to_string(i)).c_str(), &type), values[i].second) << i;
    EXPECT_EQ(type, values[i].first);
  }
}

TEST_F(RegistryApiTest, QueryAnswersSizesAndMoreData) {
  ScopedHKey key(Create("SOFTWARE\\Q"));
  ASSERT_EQ(SetText(key.Get(), "SetupDir", "/opt/velkaro"), ERROR_SUCCESS);
  std::uint32_t size = 0;
  std::uint32_t type = 0;
  EXPECT_EQ(RegQueryValueEx(key.Get(), "SetupDir", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 13u);
  EXPECT_EQ(type, REG_SZ);
  char small[4] = {'k', 'e', 'e', 'p'};
  size = sizeof small;
  EXPECT_EQ(RegQueryValueEx(key.Get(), "SetupDir", nullptr, nullptr, reinterpret_cast<std::uint8_t*>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 13u);
  EXPECT_EQ(std::string(small, 4), "keep") << "a short buffer is left alone";
  EXPECT_EQ(RegQueryValueEx(key.Get(), "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueEx(key.Get(), "SetupDir", nullptr, nullptr, reinterpret_cast<std::uint8_t*>(small), nullptr),
            ERROR_INVALID_PARAMETER);
  // The default value has no name.
  ASSERT_EQ(SetText(key.Get(), nullptr, "default"), ERROR_SUCCESS);
  EXPECT_EQ(Query(key.Get(), ""), (Bytes{'d', 'e', 'f', 'a', 'u', 'l', 't', 0}));
}

TEST_F(RegistryApiTest, KeyOwnerReadsNumbersTextAndBytesByTheirRules) {
  ScopedHKey key;
  Bytes nothing;
  EXPECT_EQ(key.QueryBytes("v", nothing), ERROR_INVALID_HANDLE) << "no key held";
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Readers", KEY_ALL_ACCESS), ERROR_SUCCESS);
  struct Case {
    const char* name;
    std::uint32_t type;
    Bytes data;
    LSTATUS dword;   // QueryDword's answer, and the number when it succeeds
    LSTATUS number;  // QueryNumber's
    std::uint32_t value;
    std::string text;  // QueryString's
  };
  const std::vector<Case> cases = {
      {"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, ERROR_SUCCESS, ERROR_SUCCESS, 0x12345678, "xV4\x12"},
      {"short", REG_DWORD, {0x02, 0x01}, ERROR_SUCCESS, ERROR_SUCCESS, 0x0102, "\x02\x01"},
      {"empty", REG_DWORD, {}, ERROR_UNSUPPORTED_TYPE, ERROR_UNSUPPORTED_TYPE, 0, ""},
      {"long", REG_DWORD, {1, 0, 0, 0, 0}, ERROR_UNSUPPORTED_TYPE, ERROR_UNSUPPORTED_TYPE, 0, "\x01"},
      {"binary", REG_BINARY, {0x05, 0x00}, ERROR_UNSUPPORTED_TYPE, ERROR_SUCCESS, 5, "\x05"},
      {"text", REG_SZ, {'a', 'b', 0, 'c', 0}, ERROR_UNSUPPORTED_TYPE, ERROR_UNSUPPORTED_TYPE, 0, "ab"},
      {"unended", REG_SZ, {'a', 'b'}, ERROR_UNSUPPORTED_TYPE, ERROR_SUCCESS, 0x6261, "ab"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(RegSetValueEx(key.Get(), c.name, 0, c.type, c.data.data(), static_cast<std::uint32_t>(c.data.size())),
              ERROR_SUCCESS);
    Bytes data;
    std::uint32_t type = 0;
    EXPECT_EQ(key.QueryBytes(c.name, data, &type), ERROR_SUCCESS) << c.name;
    EXPECT_EQ(data, c.data) << c.name;
    EXPECT_EQ(type, c.type) << c.name;
    std::uint32_t value = 0xEEEEEEEE;
    EXPECT_EQ(key.QueryDword(c.name, value), c.dword) << c.name;
    if (c.dword == ERROR_SUCCESS) {
      EXPECT_EQ(value, c.value) << c.name;
    }
    value = 0xEEEEEEEE;
    EXPECT_EQ(key.QueryNumber(c.name, value), c.number) << c.name;
    if (c.number == ERROR_SUCCESS) {
      EXPECT_EQ(value, c.value) << c.name;
    }
    std::string text;
    EXPECT_EQ(key.QueryString(c.name, text), ERROR_SUCCESS) << c.name;
    EXPECT_EQ(text, c.text) << c.name;
  }
  std::uint32_t value = 0;
  EXPECT_EQ(key.QueryDword("missing", value), ERROR_FILE_NOT_FOUND);
  ScopedHKey missing;
  EXPECT_EQ(missing.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nowhere", KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing.Get(), nullptr);
}

TEST_F(RegistryApiTest, EnumerationSortsSubkeysAndKeepsValueOrder) {
  ScopedHKey key(Create("SOFTWARE\\Enum"));
  for (const char* name : {"beta", "Alpha", "gamma", "ALPHA2"}) ScopedHKey sub(Create(name, key.Get()));
  for (const char* name : {"z", "A", "m"}) ASSERT_EQ(SetDword(key.Get(), name, 1), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key.Get(), "a", 7), ERROR_SUCCESS);  // rewriting keeps the place
  EXPECT_EQ(SubkeyNames(key.Get()), (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "gamma"}));
  EXPECT_EQ(ValueNames(key.Get()), (std::vector<std::string>{"z", "A", "m"}));

  char name[3];
  std::uint32_t length = 3;
  EXPECT_EQ(RegEnumKeyEx(key.Get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  length = 6;
  char longer[6];
  EXPECT_EQ(RegEnumKeyEx(key.Get(), 0, longer, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(length, 5u);
  std::uint8_t data[4];
  std::uint32_t dataSize = 2;
  length = sizeof longer;
  std::uint32_t type = 0;
  EXPECT_EQ(RegEnumValue(key.Get(), 1, longer, &length, nullptr, &type, data, &dataSize), ERROR_MORE_DATA);
  EXPECT_EQ(dataSize, 4u);
  EXPECT_EQ(RegEnumValue(key.Get(), 3, longer, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  std::uint32_t subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValue = 0;
  FILETIME time{};
  ASSERT_EQ(RegQueryInfoKey(key.Get(), nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr, &values,
                            &maxValueName, &maxValue, nullptr, &time),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 4u);
  EXPECT_EQ(maxSubKey, 6u);
  EXPECT_EQ(values, 3u);
  EXPECT_EQ(maxValueName, 1u);
  EXPECT_EQ(maxValue, 4u);
  EXPECT_GT(time.dwHighDateTime, 0u) << "the store file's time, counted from 1601";
}

TEST_F(RegistryApiTest, HandlesAreCheckedNotTrusted) {
  HKEY key = Create("SOFTWARE\\H");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  std::uint32_t size = 0;
  EXPECT_EQ(RegQueryValueEx(key, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueEx(reinterpret_cast<HKEY>(&size), "x", nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

  // Root keys that Linux does not have.
  for (HKEY root : {HKEY_PERFORMANCE_DATA, HKEY_DYN_DATA}) {
    EXPECT_EQ(RegOpenKeyEx(root, nullptr, 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    char name[8];
    std::uint32_t length = sizeof name;
    EXPECT_EQ(RegEnumValue(root, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
  }
}

TEST_F(RegistryApiTest, HandleRightsAreEnforced) {
  ScopedHKey(Create("SOFTWARE\\R"));
  ScopedHKey reading;
  ASSERT_EQ(Open("SOFTWARE\\R", reading.Receive(), KEY_QUERY_VALUE), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(reading.Get(), "x", 1), ERROR_ACCESS_DENIED);
  char name[16];
  std::uint32_t length = sizeof name;
  EXPECT_EQ(RegEnumKeyEx(reading.Get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED)
      << "enumeration needs its right too";
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyEx(reading.Get(), "New", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr),
            ERROR_ACCESS_DENIED);
  ScopedHKey setting;
  ASSERT_EQ(Open("SOFTWARE\\R", setting.Receive(), KEY_SET_VALUE), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(setting.Get(), "x", 1), ERROR_SUCCESS);
  std::uint32_t size = 0;
  EXPECT_EQ(RegQueryValueEx(setting.Get(), "x", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryApiTest, DeletingKeysAndValues) {
  ScopedHKey key(Create("SOFTWARE\\D\\Child\\Grandchild"));
  ASSERT_EQ(SetDword(key.Get(), "v", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValue(key.Get(), "v"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValue(key.Get(), "v"), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\D\\Child"), ERROR_ACCESS_DENIED) << "it has a subkey";
  EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\D\\Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, ""), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\D\\Child\\Grandchild"), ERROR_SUCCESS);
  // The handle outlives its key.
  EXPECT_EQ(SetDword(key.Get(), "v", 1), ERROR_KEY_DELETED);
  std::uint32_t count = 0;
  EXPECT_EQ(RegQueryInfoKey(key.Get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr),
            ERROR_KEY_DELETED);

  ScopedHKey(Create("SOFTWARE\\D\\Child\\A\\B"));
  EXPECT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\D"), ERROR_SUCCESS);
  HKEY gone = nullptr;
  EXPECT_EQ(Open("SOFTWARE\\D", &gone), ERROR_FILE_NOT_FOUND);
  ScopedHKey software;
  ASSERT_EQ(Open("SOFTWARE", software.Receive(), KEY_ALL_ACCESS), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(software.Get(), "v", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTree(software.Get(), nullptr), ERROR_SUCCESS) << "empties the key itself";
  EXPECT_TRUE(ValueNames(software.Get()).empty());
}

TEST_F(RegistryApiTest, CurrentUserLivesInTheUserStore) {
  ScopedHKey user(Create("Software\\VELKARO", HKEY_CURRENT_USER));
  ASSERT_EQ(SetDword(user.Get(), "InUserStore", 1), ERROR_SUCCESS);
  ScopedHKey machine(Create("Software\\VELKARO"));
  ASSERT_EQ(SetDword(machine.Get(), "InMachineStore", 1), ERROR_SUCCESS);
  const std::string userText = RegistryStores::ReadFile(m_stores.UserPath());
  EXPECT_NE(userText.find("[HKEY_CURRENT_USER\\Software\\VELKARO]\n\"InUserStore\""), std::string::npos) << userText;
  EXPECT_EQ(userText.find("InMachineStore"), std::string::npos);
  EXPECT_EQ(m_stores.ReadMachine().find("InUserStore"), std::string::npos);

  // Without overrides the user store follows the XDG base directory rules.
  testing_support::ScopedEnv noOverride("VELKARO_USER_REGISTRY", "");
  testing_support::ScopedEnv config("XDG_CONFIG_HOME", "/xdg/config");
  EXPECT_EQ(velkaro::UserStorePath(), "/xdg/config/velkaro/user.reg");
  testing_support::ScopedEnv relative("XDG_CONFIG_HOME", "relative/is/ignored");
  testing_support::ScopedEnv home("HOME", "/home/support");
  EXPECT_EQ(velkaro::UserStorePath(), "/home/support/.config/velkaro/user.reg");
  testing_support::ScopedEnv noMachine("VELKARO_REGISTRY", "");
  EXPECT_EQ(velkaro::MachineStorePath(), "/etc/velkaro/registry.reg");
}

TEST_F(RegistryApiTest, AnotherProcessesChangeIsSeenByTheNextCall) {
  ScopedHKey key(Create("SOFTWARE\\Shared"));
  ASSERT_EQ(SetDword(key.Get(), "Counter", 1), ERROR_SUCCESS);
  EXPECT_EQ(Query(key.Get(), "Counter"), (Bytes{1, 0, 0, 0}));

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HKEY own = nullptr;
    const bool ok = RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", 0, KEY_ALL_ACCESS, &own) == ERROR_SUCCESS &&
                    SetDword(own, "Counter", 2) == ERROR_SUCCESS;
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Query(key.Get(), "Counter"), (Bytes{2, 0, 0, 0}));

  // An edit by hand (same size, same second) is seen as well.
  std::string text = m_stores.ReadMachine();
  text.replace(text.find("dword:00000002"), 14, "dword:00000003");
  m_stores.WriteMachine(text);
  EXPECT_EQ(Query(key.Get(), "Counter"), (Bytes{3, 0, 0, 0}));
}

TEST_F(RegistryApiTest, ThreadsWritingAtOnceLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kWrites = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      ScopedHKey key;
      const std::string path = "SOFTWARE\\Threads\\T" + std::to_string(t);
      RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr);
      for (int i = 0; i < kWrites; ++i) SetDword(key.Get(), ("v" + std::to_string(i)).c_str(), i);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    ScopedHKey key;
    ASSERT_EQ(Open(("SOFTWARE\\Threads\\T" + std::to_string(t)).c_str(), key.Receive()), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(key.Get()).size(), static_cast<std::size_t>(kWrites)) << t;
  }
}
