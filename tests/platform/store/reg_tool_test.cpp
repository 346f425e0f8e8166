// velkaro-reg through its own process: output, messages and exit status.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "registry_fixture.h"

using testing_support::RegistryStores;

namespace {

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Where the command's standard output goes.
enum class Output { Pipe, FullDisk, Closed };

class RegToolTest : public ::testing::Test {
 protected:
  // Runs the command; one that has not ended after 20 s is killed (status -1).
  ToolResult Run(std::vector<std::string> args, bool unprivileged = false, const char* program = VELKARO_REG_BINARY,
                 Output output = Output::Pipe) {
    int out[2];
    int err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
    const pid_t child = testing_support::StartChild(
        [&] {
          if (output == Output::Pipe) ::dup2(out[1], 1);
          if (output == Output::FullDisk) ::dup2(::open("/dev/full", O_WRONLY), 1);
          if (output == Output::Closed) ::close(1);
          ::dup2(err[1], 2);
          std::vector<char*> argv{const_cast<char*>(program)};
          for (auto& arg : args) argv.push_back(arg.data());
          argv.push_back(nullptr);
          ::execv(program, argv.data());
          return 127;
        },
        unprivileged);
    ::close(out[1]);
    ::close(err[1]);
    ToolResult result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int open = 2; open > 0;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || ::poll(fds, 2, static_cast<int>(left.count())) <= 0) break;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
        if (got > 0) {
          sinks[i]->append(buffer, static_cast<std::size_t>(got));
        } else {
          ::close(fds[i].fd);
          fds[i].fd = -1;
          --open;
        }
      }
    }
    for (const pollfd& fd : fds) {
      if (fd.fd >= 0) ::close(fd.fd);
    }
    result.status = testing_support::WaitChildWithin(child, std::chrono::seconds(2));
    return result;
  }

  RegistryStores m_stores;
};

}  // namespace

TEST_F(RegToolTest, SetQueryAndExportShowTheStoredValues) {
  const std::string key = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Tessaro\\RFID";
  EXPECT_EQ(Run({"set", key, "CardSearch", "REG_BINARY", "03 01 00 00 00"}).status, 0);
  EXPECT_EQ(Run({"set", key + "\\MaximumBaudrates", "ISO14443A", "reg_dword", "0xff"}).status, 0);
  EXPECT_EQ(Run({"set", key, "", "REG_SZ", "say \"hi\""}).status, 0);
  EXPECT_EQ(Run({"set", key, "List", "REG_MULTI_SZ", "a\\0b"}).status, 0);
  EXPECT_EQ(Run({"set", key, "Odd", "0x20", "dead"}).status, 0);
  EXPECT_EQ(Run({"set", "HKCU\\Software\\VELKARO", "Mine", "REG_QWORD", "1"}).status, 0);

  auto result = Run({"query", "hklm\\system\\currentcontrolset\\control\\tessaro\\rfid"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Tessaro\\RFID]\n"
            "\"CardSearch\"=hex:03,01,00,00,00\n"
            "@=\"say \\\"hi\\\"\"\n"
            "\"List\"=hex(7):61,00,62,00,00\n"
            "\"Odd\"=hex(20):de,ad\n"
            "; subkey: MaximumBaudrates\n");
  result = Run({"query", key + "\\MaximumBaudrates", "iso14443a"});
  EXPECT_EQ(result.out, "\"ISO14443A\"=dword:000000ff\n");
  result = Run({"query", "HKEY_CURRENT_USER\\Software\\VELKARO", "Mine"});
  EXPECT_EQ(result.out, "\"Mine\"=hex(b):01,00,00,00,00,00,00,00\n");
  EXPECT_NE(RegistryStores::ReadFile(m_stores.UserPath()).find("Mine"), std::string::npos);
  EXPECT_EQ(m_stores.ReadMachine().find("Mine"), std::string::npos);

  // The whole of both stores exports as one text that imports back the same.
  const ToolResult exported = Run({"export"});
  ASSERT_EQ(exported.status, 0);
  EXPECT_TRUE(exported.out.starts_with("Windows Registry Editor Version 5.00\n\n"));
  EXPECT_NE(exported.out.find("[HKEY_CURRENT_USER\\Software\\VELKARO]\n\"Mine\""), std::string::npos);
  m_stores.Dir().Write("saved.reg", exported.out);
  EXPECT_EQ(Run({"delete", "HKLM\\SYSTEM"}).status, 0);
  EXPECT_EQ(Run({"delete", "HKCU\\Software"}).status, 0);
  EXPECT_EQ(Run({"query", key}).status, 1);
  EXPECT_EQ(Run({"import", m_stores.Dir() / "saved.reg"}).status, 0);
  EXPECT_EQ(Run({"export"}).out, exported.out);

  result = Run({"export", key + "\\MaximumBaudrates"});
  EXPECT_EQ(result.out,
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Tessaro\\RFID\\MaximumBaudrates]\n"
            "\"ISO14443A\"=dword:000000ff\n\n");
  EXPECT_EQ(Run({"delete", key, "CardSearch"}).status, 0);
  EXPECT_EQ(Run({"query", key, "CardSearch"}).status, 1);
}

TEST_F(RegToolTest, EveryErrorHasAMessageAndANonZeroStatus) {
  ASSERT_EQ(Run({"set", "HKLM\\SOFTWARE\\X", "v", "REG_DWORD", "1"}).status, 0);
  const std::string utf16 = m_stores.Dir().Write("utf16.reg", std::string("\xFF\xFEW\0i\0n\0", 8));
  const std::string regedit4 = m_stores.Dir().Write("old.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, 2, "usage: velkaro-reg"},
      {{"frobnicate"}, 2, "unknown command \"frobnicate\""},
      {{"set", "HKLM\\SOFTWARE\\X", "v", "REG_DWORD"}, 2, "wrong number of arguments for set"},
      {{"set", "HKLM\\SOFTWARE\\X", "v", "REG_FOO", "1"}, 2, "unknown type \"REG_FOO\""},
      {{"set", "HKLM\\SOFTWARE\\X", "v", "REG_DWORD", "4294967296"}, 2, "is not a 32-bit number"},
      {{"set", "HKLM\\SOFTWARE\\X", "v", "REG_DWORD", "-1"}, 2, "is not a 32-bit number"},
      {{"set", "HKLM\\SOFTWARE\\X", "v", "REG_BINARY", "0g"}, 2, "is not a list of hex bytes"},
      {{"set", "HKLM\\SOFTWARE\\X", "v", "REG_MULTI_SZ", "a\\0\\0b"}, 2, "holds an empty string, which would end"},
      {{"set", "HKLM\\SOFTWARE\\X", "v", "REG_MULTI_SZ", "\\0a"}, 2, "holds an empty string, which would end"},
      {{"set", "HKLM\\SOFTWARE\\X", "v", "REG_BINARY", "031"}, 2, "odd number of hex digits"},
      {{"set", "HKLM\\SOFTWARE\\X\\\\Y", "v", "REG_SZ", "x"}, 2, "invalid key name"},
      {{"query", "HKEY_NOWHERE\\X"}, 2, "unknown root key"},
      {{"query", "HKEY_DYN_DATA\\X"}, 2, "HKEY_DYN_DATA does not exist"},
      {{"query", "HKLM\\SOFTWARE\\Missing"}, 1, "key not found: HKLM\\SOFTWARE\\Missing"},
      {{"query", "HKLM\\SOFTWARE\\X", "w"}, 1, "value not found: \"w\""},
      {{"delete", "HKLM\\SOFTWARE\\Missing"}, 1, "key not found"},
      {{"delete", "HKLM\\SOFTWARE\\X", "w"}, 1, "value not found"},
      {{"delete", "HKLM"}, 2, "a root key cannot be deleted"},
      {{"export", "HKLM\\SOFTWARE\\Missing"}, 1, "key not found"},
      {{"import", "/nonexistent/file.reg"}, 1, "/nonexistent/file.reg: cannot open"},
      {{"import", m_stores.Dir().path()}, 1, m_stores.Dir().path().string() + ": is a directory (nothing imported)"},
      {{"import", "/dev/zero"}, 1, "/dev/zero: larger than 67108864 bytes (nothing imported)"},
      {{"import", utf16}, 1, utf16 + ":1: text is UTF-16, as Windows regedit saves it"},
      {{"import", regedit4}, 1, regedit4 + ":1: REGEDIT4 files (the older regedit format"},
  };
  for (const Case& c : cases) {
    const ToolResult result = Run(c.args);
    EXPECT_EQ(result.status, c.status) << (c.args.empty() ? "" : c.args[0]) << ": " << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_TRUE(result.out.empty()) << result.out;
  }
}

// Names reach the terminal as plain text: control bytes as \xNN, a long name
// cut to its start and its length.
TEST_F(RegToolTest, MessagesShowControlBytesAndCutLongNames) {
  const std::string longName(16384, 'n');
  const std::string cut = std::string(200, 'n') + "\u2026 (16384 bytes)";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"frob\x1b]0;x\a"}, "unknown command \"frob\\x1b]0;x\\x07\""},
      {{"query", "HKLM\\Missing\r\x7f"}, "invalid key name \"Missing\\x0d\\x7f\" in \"HKLM\\Missing\\x0d\\x7f\"\n"},
      {{"query", "HKLM", "a\nb\tc"}, "value not found: \"a\\x0ab\\x09c\" in HKLM\n"},
      {{"set", "HKLM\\SOFTWARE", "v", "REG_DWORD", "1\n"}, "\"1\\x0a\" is not a 32-bit number"},
      {{"import", "/nonexistent/\x1b[2J"}, "/nonexistent/\\x1b[2J: cannot open"},
      {{"query", "HKLM", longName}, "value not found: \"" + cut + "\" in HKLM\n"},
      {{"set", "HKLM\\SOFTWARE", longName + "x", "REG_SZ", "x"}, "invalid value name \"" + std::string(200, 'n') +
                                                                 "\u2026 (16385 bytes)\"\n"},
      {{"query", "HKLM\\" + longName}, "invalid key name \"" + cut + "\" in \"HKLM\\" + std::string(195, 'n') +
                                          "\u2026 (16389 bytes)\""},
  };
  for (const Case& c : cases) {
    const ToolResult result = Run(c.args);
    EXPECT_NE(result.status, 0) << c.message;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err.substr(0, 600);
    EXPECT_LT(result.err.size(), 2048u);  // with the usage text
  }
}

TEST_F(RegToolTest, ADamagedStoreIsNamedWithFileAndLineAndLeftAlone) {
  const std::string damaged =
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"v\"=dword:1\n\"w\"=hex:01,0x\n";
  m_stores.WriteMachine(damaged);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"set", "HKLM\\SOFTWARE\\X", "v", "REG_SZ", "x"},
                                               std::vector<std::string>{"query", "HKLM\\SOFTWARE\\X"},
                                               std::vector<std::string>{"export"}}) {
    const ToolResult result = Run(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(m_stores.MachinePath() + ":5: bad hex byte \"0x\""), std::string::npos) << result.err;
  }
  EXPECT_EQ(m_stores.ReadMachine(), damaged);
}

TEST_F(RegToolTest, ImportAppliesDeletionsAndRefusesABadFileWhole) {
  ASSERT_EQ(Run({"set", "HKLM\\SOFTWARE\\Old\\Sub", "v", "REG_SZ", "x"}).status, 0);
  ASSERT_EQ(Run({"set", "HKLM\\SOFTWARE\\Keep", "gone", "REG_SZ", "x"}).status, 0);
  const std::string good = m_stores.Dir().Write("good.reg",
                                                "Windows Registry Editor Version 5.00\n"
                                                "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n"
                                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep]\n"
                                                "\"gone\"=-\n"
                                                "\"new\"=dword:00000007\n"
                                                "[HKEY_CURRENT_USER\\Software\\Mine]\n"
                                                "@=\"user value\"\n");
  ASSERT_EQ(Run({"import", good}).status, 0);
  EXPECT_EQ(Run({"query", "HKLM\\SOFTWARE\\Old"}).status, 1);
  EXPECT_EQ(Run({"query", "HKLM\\SOFTWARE\\Keep"}).out, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep]\n\"new\"=dword:00000007\n");
  EXPECT_EQ(Run({"query", "HKCU\\Software\\Mine", "@"}).out, "@=\"user value\"\n");

  // A store that cannot take its part keeps the other store from being written.
  const std::string machine = m_stores.ReadMachine();
  const std::string user = m_stores.Dir().Write("home/user.reg", "Windows Registry Editor Version 5.00\n\"x\"\n");
  const std::string both = m_stores.Dir().Write("both.reg",
                                                "Windows Registry Editor Version 5.00\n"
                                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep]\n"
                                                "\"first\"=dword:1\n"
                                                "[HKEY_CURRENT_USER\\Software\\Mine]\n"
                                                "\"second\"=dword:2\n");
  ToolResult result = Run({"import", both});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find(user + ":2: value line before the first key line (nothing imported)"), std::string::npos) << result.err;
  EXPECT_EQ(m_stores.ReadMachine(), machine);

  const std::string bad = m_stores.Dir().Write("bad.reg",
                                               "Windows Registry Editor Version 5.00\n"
                                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep]\n"
                                               "\"first\"=dword:1\n"
                                               "\"second\"=dword:xyz\n");
  result = Run({"import", bad});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find(bad + ":4: dword: needs 1 to 8 hex digits (nothing imported)"), std::string::npos)
      << result.err;
  EXPECT_EQ(m_stores.ReadMachine(), machine);
}

TEST_F(RegToolTest, WritingWithoutPermissionFailsAndReadingStillWorks) {
  ASSERT_EQ(Run({"set", "HKLM\\SOFTWARE\\X", "v", "REG_DWORD", "1"}).status, 0);
  const std::string before = m_stores.ReadMachine();
  m_stores.MakeReadOnlyForChildren();
  // The program is copied where an unprivileged user may run it.
  const std::string program = m_stores.Dir() / "velkaro-reg";
  std::filesystem::copy_file(VELKARO_REG_BINARY, program);
  std::filesystem::permissions(program, std::filesystem::perms(0755));

  ToolResult result = Run({"query", "HKLM\\SOFTWARE\\X", "v"}, true, program.c_str());
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "\"v\"=dword:00000001\n");
  result = Run({"set", "HKLM\\SOFTWARE\\X", "v", "REG_DWORD", "2"}, true, program.c_str());
  EXPECT_EQ(result.status, 1);
  // Run by root, the lock file is root's and cannot be opened; run by an
  // ordinary user, the lock is the user's own and the store's directory
  // refuses the new file. Either way the message names the store and why.
  const std::string lockRefused = ": cannot open the lock file " + m_stores.Dir().path().string() +
                                  "/etc/.registry.reg.lock: Permission denied";
  const std::string fileRefused = ": cannot create a temporary file: Permission denied";
  EXPECT_NE(result.err.find(m_stores.MachinePath() + (::geteuid() == 0 ? lockRefused : fileRefused)), std::string::npos)
      << result.err;
  EXPECT_EQ(m_stores.ReadMachine(), before);
}

TEST_F(RegToolTest, AnOutputThatCannotBeWrittenFailsTheCommand) {
  ASSERT_EQ(Run({"set", "HKLM\\SOFTWARE\\X", "v", "REG_DWORD", "1"}).status, 0);
  for (const Output output : {Output::FullDisk, Output::Closed}) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"export"}, std::vector<std::string>{"query", "HKLM\\SOFTWARE\\X", "v"}}) {
      const ToolResult result = Run(args, false, VELKARO_REG_BINARY, output);
      EXPECT_EQ(result.status, 1) << args[0];
      EXPECT_NE(result.err.find("velkaro-reg: cannot write the output: "), std::string::npos) << result.err;
    }
  }
}

// Another user (nobody) may read the store file and lock it, and tries the
// lock file too; neither root's readers nor its writers may wait for that.
TEST_F(RegToolTest, AnotherUsersLockOnTheStoreHoldsUpNoOne) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play two users";
  ASSERT_EQ(Run({"set", "HKLM\\SOFTWARE\\X", "v", "REG_DWORD", "1"}).status, 0);
  ::chmod(m_stores.Dir().path().c_str(), 0755);
  const pid_t holder = testing_support::StartLockHolderAsNobody(
      {m_stores.MachinePath(), m_stores.Dir() / "etc/.registry.reg.lock"});
  ASSERT_GT(holder, 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run({"set", "HKLM\\SOFTWARE\\X", "v", "REG_DWORD", "2"}).status, 0);
  EXPECT_EQ(Run({"query", "HKLM\\SOFTWARE\\X", "v"}).out, "\"v\"=dword:00000002\n");
  // Held up, the first command alone would wait the whole lock wait (5 s);
  // two runs of the tool take well under 4 s even under the sanitizers.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  ::kill(holder, SIGKILL);
  testing_support::WaitChild(holder);
}

TEST_F(RegToolTest, AWriterWaitsABoundedTimeAndNamesTheLockHolder) {
  ASSERT_EQ(Run({"set", "HKLM\\SOFTWARE\\X", "v", "REG_DWORD", "1"}).status, 0);
  const std::string before = m_stores.ReadMachine();
  const std::string lockFile = m_stores.Dir() / "etc/.registry.reg.lock";
  const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  const auto start = std::chrono::steady_clock::now();
  const ToolResult result = Run({"set", "HKLM\\SOFTWARE\\X", "v", "REG_DWORD", "2"});
  const auto waited = std::chrono::steady_clock::now() - start;
  ::close(fd);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("the lock file " + lockFile + " is held by process " + std::to_string(::getpid())),
            std::string::npos)
      << result.err;
  EXPECT_GE(waited, std::chrono::seconds(5));
  EXPECT_LT(waited, std::chrono::seconds(8));
  EXPECT_EQ(m_stores.ReadMachine(), before);
}
