// The settings dump over stores of the tests' own: the line forms, which
// sections apply, and how failures of the store and of the log end it.

#include "log/registry_dump.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "fakes.h"
#include "registry_fixture.h"
#include "temp_dir.h"

namespace {

using namespace testing_support;

constexpr char kStoreHeader[] = "Windows Registry Editor Version 5.00\n\n";
constexpr char kStars[] = "*****************************************************************************";

// The lines joined as the log holds them.
std::string Lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

class RegistryDumpTest : public ::testing::Test {
 protected:
  // Dumps into a fresh, empty log and answers the result; the log's text
  // is in `dumped`.
  int Dump(const std::string& config, const std::string& store, mode_t storeMode = 0644) {
    stores.WriteMachine(kStoreHeader + store);
    ::chmod(stores.MachinePath().c_str(), storeMode);
    const std::string log = dir.Write("diag.log", "");
    const int result = DumpRegistry(log, dir.Write("diagtool.ini", config), &detail);
    dumped = RegistryStores::ReadFile(log);
    return result;
  }

  RegistryStores stores;
  FakeSystemInfo system;  // Linux, build number 0
  TempDir dir;
  std::string dumped;
  std::string detail;
};

}  // namespace

TEST_F(RegistryDumpTest, EdgeCasesOfTheLineForms) {
  const std::string heading = Lines({"General Information", "OS: Linux  BuildNumber: 0", ""});
  struct Case {
    const char* name;
    std::string config;
    std::string store;
    std::string dump;
  };
  const Case cases[] = {
      {"a path with or without its final backslash",
       "[Reg_Linux]\nHKEY_LOCAL_MACHINE\\SOFTWARE\\X=\nHKEY_LOCAL_MACHINE\\SOFTWARE\\X\\=\n",
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"Flags\"=dword:00000001\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\\Y]\n",
       Lines({kStars, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\\]", "\"Flags\"=\"00000001\"  (REG_DWORD)", "",
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\\Y]", "", kStars, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\\]",
              "\"Flags\"=\"00000001\"  (REG_DWORD)", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\\Y]", ""})},
      {"a root name in lower case", "[Reg_Linux]\nhkey_local_machine\\SOFTWARE=\n", "",
       Lines({kStars, "Unable to open key hkey_local_machine in hkey_local_machine\\SOFTWARE\\", kStars, ""})},
      {"a missing key in the middle: one block, for the first missing name",
       "[Reg_Linux]\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Missing\\Deeper=\n", "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n",
       Lines({kStars, "Unable to open key Missing in HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing\\Deeper\\", kStars, ""})},
      {"data texts and type names",
       "[Reg_Linux]\nHKEY_LOCAL_MACHINE\\T=\n",
       "[HKEY_LOCAL_MACHINE\\T]\n@=\"default\"\n\"Multi\"=hex(7):61,00,62,00,00\n\"Number\"=dword:00000102\n"
       "\"Bytes\"=hex:01,ab\n\"Quad\"=hex(b):01,00,00,00,00,00,00,00\n\"Say \\\"hi\\\"\"=hex(1):61,0d,0a,1b,5d,ff,62,00\n"
       "\"Odd\"=hex(4):01,02,03\n\"Literal\"=\"\\\\x41\"\n",
       Lines({kStars, "[HKEY_LOCAL_MACHINE\\T\\]", "\"\"=\"default\"  (REG_SZ)", "\"Multi\"=\"a\"  (REG_MULTI_SZ)",
              "\"Number\"=\"00000102\"  (REG_DWORD)", "\"Bytes\"=\"01AB\"  (REG_BINARY)",
              "\"Quad\"=\"0100000000000000\"  ()", "\"Say \"hi\"\"=\"a\\x0D\\x0A\\x1B]\\xFFb\"  (REG_SZ)",
              "\"Odd\"=\"030201\"  (REG_DWORD)", "\"Literal\"=\"\\x41\"  (REG_SZ)", ""})},
      {"only sections named exactly, in file order",
       "[Reg_AllOS]\nHKEY_LOCAL_MACHINE\\A=\n[reg_linux]\nHKEY_LOCAL_MACHINE\\B=\n[Reg_W2k]\nHKEY_LOCAL_MACHINE\\B=\n"
       "[Reg_Linux]\nHKEY_LOCAL_MACHINE\\C=\n",
       "[HKEY_LOCAL_MACHINE\\A]\n\n[HKEY_LOCAL_MACHINE\\B]\n\n[HKEY_LOCAL_MACHINE\\C]\n",
       Lines({kStars, "[HKEY_LOCAL_MACHINE\\A\\]", "", kStars, "[HKEY_LOCAL_MACHINE\\C\\]", ""})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Dump(c.config, c.store), DUMP_SUCCESS) << c.name << ": " << detail;
    EXPECT_EQ(dumped, heading + c.dump) << c.name;
  }
}

TEST_F(RegistryDumpTest, TheSystemChoosesTheSections) {
  const std::string config = "[Reg_W2k]\nHKEY_LOCAL_MACHINE\\A=\n[Reg_Linux]\nHKEY_LOCAL_MACHINE\\B=\n"
                             "[Reg_AllOS]\nHKEY_LOCAL_MACHINE\\C=\n";
  const std::string store = "[HKEY_LOCAL_MACHINE\\A]\n\n[HKEY_LOCAL_MACHINE\\B]\n\n[HKEY_LOCAL_MACHINE\\C]\n";
  system.SetWindows(velkaro::VER_PLATFORM_WIN32_NT, 5, 1, "Service Pack 3", 2600);
  EXPECT_EQ(Dump(config, store), DUMP_SUCCESS);
  EXPECT_EQ(dumped, Lines({"General Information", "OS: Windows XP  BuildNumber: 2600", "", kStars,
                           "[HKEY_LOCAL_MACHINE\\A\\]", "", kStars, "[HKEY_LOCAL_MACHINE\\C\\]", ""}));
  // Windows 8 has no code: not even "Reg_AllOS" applies.
  system.SetWindows(velkaro::VER_PLATFORM_WIN32_NT, 6, 2, "", 9200);
  EXPECT_EQ(Dump(config, store), DUMP_SUCCESS);
  EXPECT_EQ(dumped, Lines({"General Information", "General Information  BuildNumber: 9200", ""}));
}

TEST_F(RegistryDumpTest, FailuresGiveTheirCodes) {
  EXPECT_EQ(Dump("; no sections at all\n", ""), DUMP_E_CONFIG);
  EXPECT_EQ(DumpRegistry(dir / "missing.log", dir.Write("diagtool.ini", "[Reg_Linux]\n"), &detail), DUMP_E_OPEN);
  system.version.reset();
  EXPECT_EQ(Dump("[Reg_Linux]\n", ""), DUMP_E_OS);
}

// The dump shows the store as it was at its first look: a store damaged
// while the dump writes is dumped whole as it was; one damaged before that
// look ends the dump as a failure.
TEST_F(RegistryDumpTest, AStoreDamagedDuringTheDumpIsDumpedAsItWasWhenTheDumpBegan) {
  std::string store;
  for (const char* key : {"A", "B", "C"}) {
    store += std::string("[HKEY_LOCAL_MACHINE\\K\\") + key + "]\n\"v1\"=dword:00000001\n\"v2\"=dword:00000002\n\n";
  }
  const std::string config = "[Reg_Linux]\nHKEY_LOCAL_MACHINE\\K=\nHKEY_LOCAL_MACHINE\\Other=\n";
  const struct {
    const char* trigger;
    int result;
  } cases[] = {{"[HKEY_LOCAL_MACHINE\\K\\B]", DUMP_SUCCESS},
               {"[HKEY_LOCAL_MACHINE\\K\\C]", DUMP_SUCCESS},
               {"OS: Linux  BuildNumber: 0", DUMP_E_REGISTRY}};
  for (const auto& c : cases) {
    FakeLogFileSystem disk;
    disk.onWrite = [&](std::string_view bytes) {
      if (bytes == c.trigger) stores.WriteMachine("this is no settings store\n");
    };
    EXPECT_EQ(Dump(config, store), c.result) << c.trigger;
    if (c.result == DUMP_SUCCESS) {
      EXPECT_NE(dumped.find("[HKEY_LOCAL_MACHINE\\K\\C]\r\n\"v1\"=\"00000001\"  (REG_DWORD)\r\n\"v2\"=\"00000002\""),
                std::string::npos)
          << c.trigger << ": " << dumped;
    } else {
      EXPECT_NE(detail.find("the settings store is damaged"), std::string::npos) << detail;
    }
  }
}

TEST_F(RegistryDumpTest, AFailingStoreIsNamedWhereAMissingKeyIsNot) {
  const std::string config = "[Reg_Linux]\nHKEY_LOCAL_MACHINE\\SOFTWARE\\VELKARO\\Sub1=\n";
  const std::string path = "HKEY_LOCAL_MACHINE\\SOFTWARE\\VELKARO\\Sub1\\";
  const std::string file = stores.MachinePath();
  struct Case {
    const char* name;
    std::string store;
    mode_t mode;
    std::string reason;  // empty: the key is really missing
    std::string line;
  };
  const std::string damaged =
      "the settings store is damaged (error 1009): " + file + ":4: unexpected text \"not a value\"";
  const std::string untrusted =
      "access denied (error 5): " + file + ": is writable for other users (mode 0666); the store is not used";
  const Case cases[] = {
      {"a store that cannot be parsed", "[HKEY_LOCAL_MACHINE\\SOFTWARE]\nnot a value\n", 0644, damaged,
       "The settings store failed at key SOFTWARE in " + path + ": " + damaged},
      {"a store that other users may write", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELKARO\\Sub1]\n", 0666, untrusted,
       "The settings store failed at key SOFTWARE in " + path + ": " + untrusted},
      {"a key that is really missing", "", 0644, "", "Unable to open key SOFTWARE in " + path},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Dump(config, c.store, c.mode), c.reason.empty() ? DUMP_SUCCESS : DUMP_E_REGISTRY) << c.name;
    EXPECT_EQ(dumped, Lines({"General Information", "OS: Linux  BuildNumber: 0", "", kStars, c.line, kStars, ""}))
        << c.name;
    // The message box gives the same reason.
    EXPECT_EQ(detail, c.reason.empty() ? "" : "HKEY_LOCAL_MACHINE\\SOFTWARE\\VELKARO\\Sub1: " + c.reason) << c.name;
  }
}

TEST_F(RegistryDumpTest, AFullDiskStopsTheDump) {
  std::string store = "[HKEY_LOCAL_MACHINE\\K]\n";
  for (int i = 0; i < 5; ++i) store += "[HKEY_LOCAL_MACHINE\\K\\S" + std::to_string(i) + "]\n\"v\"=\"x\"\n\n";
  // The disk is full for one value line of the third subkey, and has room
  // again right after (another program freed some).
  FakeLogFileSystem disk;
  int values = 0;
  disk.onWrite = [&](std::string_view bytes) {
    disk.capacity = bytes.starts_with("\"v\"") && ++values == 3 ? disk.written : SIZE_MAX;
  };
  EXPECT_EQ(Dump("[Reg_Linux]\nHKEY_LOCAL_MACHINE\\K=\n", store), DUMP_E_WRITE);
  EXPECT_NE(detail.find("No space left on device"), std::string::npos) << detail;
  EXPECT_EQ(dumped.find("access denied!"), std::string::npos);
}

TEST_F(RegistryDumpTest, ManyAndLargeValuesAreDumpedWhole) {
  std::string large;
  std::string store = "[HKEY_LOCAL_MACHINE\\Big]\n\"Large\"=hex:5a";
  for (int i = 1; i < 65536; ++i) store += ",5a";
  for (int i = 0; i < 65536; ++i) large += "5A";
  store += "\n\n";
  // 50,000 values in keys of 100, so that a dump that reads the whole store
  // again for every value takes minutes instead of seconds.
  for (int key = 0; key < 500; ++key) {
    store += "[HKEY_LOCAL_MACHINE\\Big\\K" + std::to_string(key) + "]\n";
    for (int i = 0; i < 100; ++i) store += "\"v" + std::to_string(i) + "\"=dword:00000001\n";
    store += "\n";
  }
  ASSERT_EQ(Dump("[Reg_Linux]\nHKEY_LOCAL_MACHINE\\Big=\n", store), DUMP_SUCCESS) << detail;
  EXPECT_NE(dumped.find("\"Large\"=\"" + large + "\"  (REG_BINARY)\r\n"), std::string::npos);
  std::size_t values = 0;
  for (std::size_t at = dumped.find("(REG_DWORD)"); at != std::string::npos; at = dumped.find("(REG_DWORD)", at + 1)) {
    ++values;
  }
  EXPECT_EQ(values, 50000u);
}
