// The store under stress, damage and attack: concurrent processes, a writer
// killed mid-write, a store that cannot be parsed, no permission, a full
// disk, and a store another user could steer.

#include "platform/store/registry_store.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "fakes.h"
#include "platform/store/registry.h"
#include "registry_fixture.h"

using testing_support::RegistryStores;
using testing_support::RunInChild;
using velkaro::ScopedHKey;

namespace {

using Bytes = std::vector<std::uint8_t>;

LSTATUS SetDword(HKEY key, const std::string& name, std::uint32_t value) {
  return RegSetValueEx(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const std::uint8_t*>(&value), 4);
}

HKEY CreateKey(const std::string& path) {
  HKEY key = nullptr;
  RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  return key;
}

// The store as a fresh process would read it.
velkaro::RegSnapshot ReadFresh(const std::string& path, LSTATUS& status) {
  velkaro::RegistryStore store(path, velkaro::RegStoreKind::Machine);
  velkaro::RegSnapshot snapshot;
  status = store.Read(snapshot);
  return snapshot;
}

// The temporary files of writes under way or killed.
int TemporaryFiles(const std::filesystem::path& dir) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename();
    count += name.starts_with(".registry.reg.") && name != ".registry.reg.lock";
  }
  return count;
}

// The value V of SOFTWARE\Edited as the store answers it now (0 when absent).
std::uint32_t EditedValue() {
  HKEY key = nullptr;
  std::uint32_t value = 0;
  std::uint32_t size = sizeof value;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Edited", 0, KEY_READ, &key) != ERROR_SUCCESS) return 0u;
  const ScopedHKey owned(key);
  RegQueryValueEx(key, "V", nullptr, nullptr, reinterpret_cast<std::uint8_t*>(&value), &size);
  return value;
}

// Writes the store file by hand (as an editor would) with V = digit.
void EditStore(RegistryStores& stores, char digit) {
  stores.WriteMachine(std::string("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Edited]\n"
                                  "\"V\"=dword:0000000") + digit + "\n");
}

}  // namespace

TEST(RegistryStoreTest, TwoProcessesIncrementingAThousandTimesEachLoseNoUpdate) {
  RegistryStores stores;
  constexpr int kWrites = 1000;
  // Each write reads the counter and stores it plus one: a write that did
  // not see the other process's last one would lose an increment.
  const auto incrementer = [&] {
    velkaro::RegistryStore store(stores.MachinePath(), velkaro::RegStoreKind::Machine);
    for (int i = 0; i < kWrites; ++i) {
      const LSTATUS status = store.Modify([](velkaro::RegKeyNode& top, bool& changed) {
        auto& key = top.FindSubkey("HKEY_LOCAL_MACHINE")->AddSubkey("Counter");
        const velkaro::RegValue* value = key.FindValue("Count");
        std::uint32_t count = 0;
        if (value != nullptr) std::memcpy(&count, value->data.data(), 4);
        ++count;
        changed = key.SetValue("Count", REG_DWORD, std::span(reinterpret_cast<const std::uint8_t*>(&count), 4));
        return ERROR_SUCCESS;
      });
      if (status != ERROR_SUCCESS) return 1;
    }
    return 0;
  };
  const pid_t first = testing_support::StartChild(incrementer);
  const pid_t second = testing_support::StartChild(incrementer);
  ASSERT_EQ(testing_support::WaitChild(first), 0);
  ASSERT_EQ(testing_support::WaitChild(second), 0);

  ScopedHKey key;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Counter", 0, KEY_READ, key.Receive()), ERROR_SUCCESS);
  std::uint32_t count = 0;
  std::uint32_t size = sizeof count;
  ASSERT_EQ(RegQueryValueEx(key.Get(), "Count", nullptr, nullptr, reinterpret_cast<std::uint8_t*>(&count), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(count, 2u * kWrites);
}

TEST(RegistryStoreTest, TwoProcessesSettingValuesThroughHandlesLoseNone) {
  RegistryStores stores;
  constexpr int kWrites = 200;
  const auto writer = [](int process) {
    return [process] {
      // Both processes create the same key, then each adds its own values.
      ScopedHKey key(CreateKey("SOFTWARE\\Shared"));
      for (int i = 0; i < kWrites; ++i) {
        if (SetDword(key.Get(), "P" + std::to_string(process) + "_" + std::to_string(i), i) != ERROR_SUCCESS) return 1;
      }
      return 0;
    };
  };
  const pid_t first = testing_support::StartChild(writer(0));
  const pid_t second = testing_support::StartChild(writer(1));
  ASSERT_EQ(testing_support::WaitChild(first), 0);
  ASSERT_EQ(testing_support::WaitChild(second), 0);

  LSTATUS status = 0;
  const auto snapshot = ReadFresh(stores.MachinePath(), status);
  ASSERT_EQ(status, ERROR_SUCCESS);
  const auto* key = snapshot.top->Find(std::vector<std::string>{"HKEY_LOCAL_MACHINE", "SOFTWARE", "Shared"});
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->Values().size(), 2u * kWrites);
}

TEST(RegistryStoreTest, WriterKilledMidWriteLeavesTheOldOrTheNewFile) {
  RegistryStores stores;
  constexpr std::size_t kBlob = 64 * 1024;
  // Every complete version of the store has the same size: one value whose
  // bytes all agree, rewritten with another fill byte each time.
  const auto writeBlob = [](HKEY key, std::uint8_t fill) {
    const Bytes blob(kBlob, fill);
    return RegSetValueEx(key, "Blob", 0, REG_BINARY, blob.data(), kBlob);
  };
  {
    ScopedHKey key(CreateKey("SOFTWARE\\Killed"));
    ASSERT_EQ(writeBlob(key.Get(), 0), ERROR_SUCCESS);
  }
  const auto completeSize = std::filesystem::file_size(stores.MachinePath());
  const auto etc = stores.Dir().path() / "etc";

  std::mt19937 random(12345);
  int killedMidWrite = 0;
  for (int round = 0; round < 12; ++round) {
    const pid_t child = testing_support::StartChild([&] {
      HKEY key = CreateKey("SOFTWARE\\Killed");
      for (std::uint8_t fill = 1;; ++fill) writeBlob(key, fill);
      return 0;
    });
    ASSERT_GT(child, 0);
    // Most rounds kill the writer the moment a write is seen under way (a
    // temporary file exists, or the store is not a complete version); the
    // others at a random time.
    const bool waitForWrite = round % 3 != 2;
    const auto deadline = std::chrono::steady_clock::now() +
                          (waitForWrite ? std::chrono::microseconds(3000000)
                                        : std::chrono::microseconds(std::uniform_int_distribution<int>(1000, 40000)(random)));
    bool midWrite = false;
    while (!midWrite && std::chrono::steady_clock::now() < deadline) {
      std::error_code error;
      midWrite = TemporaryFiles(etc) > 0 ||
                 std::filesystem::file_size(stores.MachinePath(), error) != completeSize;
    }
    ::kill(child, SIGKILL);
    testing_support::WaitChild(child);
    killedMidWrite += midWrite;

    LSTATUS result = 0;
    const auto snapshot = ReadFresh(stores.MachinePath(), result);
    ASSERT_EQ(result, ERROR_SUCCESS) << "round " << round;
    const auto* key = snapshot.top->Find(std::vector<std::string>{"HKEY_LOCAL_MACHINE", "SOFTWARE", "Killed"});
    const auto* blob = key != nullptr ? key->FindValue("Blob") : nullptr;
    ASSERT_NE(blob, nullptr) << "round " << round;
    ASSERT_EQ(blob->data.size(), kBlob);
    EXPECT_EQ(std::count(blob->data.begin(), blob->data.end(), blob->data[0]), static_cast<long>(kBlob));
    // A killed writer may leave its temporary file behind; it is never read.
    for (const auto& entry : std::filesystem::directory_iterator(etc)) {
      if (entry.path() != stores.MachinePath()) std::filesystem::remove(entry.path());
    }
  }
  EXPECT_GT(killedMidWrite, 0) << "no kill landed inside a write; the test proved nothing";
}

TEST(RegistryStoreTest, AStoreThatCannotBeParsedIsNeverWrittenOver) {
  RegistryStores stores;
  testing_support::RecordingDebugOutput debug;
  const std::string header = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n";
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {header + "\"a\"=hex:01,02,\\\n", ":4: file ends inside a continued hex list"},
      {header + "\"a\"=hex:0g\n", ":4: bad hex byte"},
      {header + "\"a\"=\"\xff\xfe\"\n", ":4: text is not valid UTF-8"},
      {header + "\"a\"=\"x\"\n" + std::string("\0\0\0", 3), ":5: NUL byte"},
      {header + "[HKEY_CURRENT_USER\\Software]\n", ":4: HKEY_CURRENT_USER is not kept in this store"},
      {header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\n", ":4: key line without closing"},
      {"\"a\"=\"no header\"\n", ":1: first line is not"},
  };
  for (const auto& [text, where] : damaged) {
    stores.WriteMachine(text);
    struct stat before {};
    ASSERT_EQ(::stat(stores.MachinePath().c_str(), &before), 0);

    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_BADDB);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_BADDB);
    EXPECT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE"), ERROR_BADDB);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_BADDB);

    struct stat after {};
    ASSERT_EQ(::stat(stores.MachinePath().c_str(), &after), 0);
    EXPECT_EQ(stores.ReadMachine(), text);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the file was replaced";
    ASSERT_FALSE(debug.Lines().empty());
    EXPECT_NE(debug.Lines().back().find(stores.MachinePath() + where), std::string::npos) << debug.Lines().back();
  }
  EXPECT_EQ(TemporaryFiles(stores.Dir().path() / "etc"), 0);

  // A store file far too large is refused unread (sparse: costs no memory).
  stores.WriteMachine("");
  ASSERT_EQ(::truncate(stores.MachinePath().c_str(), 65 * 1024 * 1024), 0);
  EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_BADDB);
  EXPECT_EQ(std::filesystem::file_size(stores.MachinePath()), 65u * 1024 * 1024);
}

TEST(RegistryStoreTest, WritingWithoutPermissionAnswersAccessDenied) {
  RegistryStores stores;
  {
    ScopedHKey key(CreateKey("SOFTWARE\\Protected"));
    ASSERT_EQ(SetDword(key.Get(), "v", 1), ERROR_SUCCESS);
  }
  const std::string before = stores.ReadMachine();
  stores.MakeReadOnlyForChildren();

  const int failures = RunInChild(
      [] {
        int failed = 0;
        const auto check = [&failed](bool ok, int bit) { failed |= ok ? 0 : bit; };
        HKEY key = nullptr;
        // Reading works; every kind of write answers 5.
        check(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Protected", 0, KEY_READ, &key) == ERROR_SUCCESS, 1);
        std::uint32_t size = 0;
        check(RegQueryValueEx(key, "v", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size == 4, 2);
        HKEY writable = nullptr;
        check(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Protected", 0, KEY_ALL_ACCESS, &writable) ==
                  ERROR_ACCESS_DENIED,
              4);
        check(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", 0, nullptr, 0, KEY_READ, nullptr, &writable,
                             nullptr) == ERROR_ACCESS_DENIED,
              8);
        check(SetDword(HKEY_LOCAL_MACHINE, "v", 2) == ERROR_ACCESS_DENIED, 16);
        check(RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Protected") == ERROR_ACCESS_DENIED, 32);
        // A missing key is still reported as missing.
        check(RegDeleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing") == ERROR_FILE_NOT_FOUND, 64);
        return failed;
      },
      true);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(stores.ReadMachine(), before);
}

TEST(RegistryStoreTest, AFullDiskDuringAWriteKeepsTheOldFile) {
  RegistryStores stores;
  {
    ScopedHKey key(CreateKey("SOFTWARE\\Full"));
    ASSERT_EQ(SetDword(key.Get(), "v", 1), ERROR_SUCCESS);
  }
  const std::string before = stores.ReadMachine();
  // A file size limit makes the write of the new file fail part-way, as a
  // full disk does.
  const int result = RunInChild([] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{256, 256};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const Bytes big(4096, 0xAB);
    return RegSetValueEx(HKEY_LOCAL_MACHINE, "big", 0, REG_BINARY, big.data(), 4096) == ERROR_CANTWRITE ? 0 : 1;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(stores.ReadMachine(), before);
  EXPECT_EQ(TemporaryFiles(stores.Dir().path() / "etc"), 0) << "the temporary file is removed";
}

// Modes other than the temporary file's own 0600, so that a lost mode shows.
// A writer killed before its rename leaves a whole copy of the store behind;
// the next writer removes such copies while it holds the lock, and nothing
// that only looks like one.
TEST(RegistryStoreTest, TheNextWriterRemovesLeftoverCopiesAndNothingElse) {
  RegistryStores stores;
  stores.WriteMachine("Windows Registry Editor Version 5.00\n");
  const auto etc = stores.Dir().path() / "etc";
  const std::string target = stores.Dir().Write("target", "not the store's");
  enum class Kind { File, Link, Directory, OtherUsersFile };
  struct Entry {
    const char* name;
    Kind kind;
    bool removed;
  };
  std::vector<Entry> entries{
      {".registry.reg.Ab3xYz", Kind::File, true},
      {".registry.reg.000000", Kind::File, true},
      {".registry.reg.link00", Kind::Link, false},
      {".registry.reg.dir000", Kind::Directory, false},
      {".registry.reg.Ab3xY", Kind::File, false},     // five characters
      {".registry.reg.Ab3xYz0", Kind::File, false},   // seven
      {".registry.reg.Ab-xYz", Kind::File, false},    // not a name a writer makes
      {".user.reg.Ab3xYz", Kind::File, false},        // another store's
      {"registry.reg.Ab3xYz", Kind::File, false},
  };
  // Only root can make a file of another user here.
  if (::geteuid() == 0) entries.push_back({".registry.reg.nobody", Kind::OtherUsersFile, false});
  for (const Entry& entry : entries) {
    const std::string path = etc / entry.name;
    if (entry.kind == Kind::Link) {
      ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    } else if (entry.kind == Kind::Directory) {
      ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    } else {
      stores.Dir().Write(std::string("etc/") + entry.name, "a copy");
      if (entry.kind == Kind::OtherUsersFile) {
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
      }
    }
  }
  const auto present = [&](const Entry& entry) {
    struct stat info {};
    return ::lstat((etc / entry.name).c_str(), &info) == 0;
  };
  velkaro::RegistryStore store(stores.MachinePath(), velkaro::RegStoreKind::Machine, std::chrono::milliseconds(50));
  const auto setValue = [](velkaro::RegKeyNode& top, bool& changed) {
    const std::uint8_t one[4] = {1, 0, 0, 0};
    changed = top.FindSubkey("HKEY_LOCAL_MACHINE")->SetValue("v", REG_DWORD, one);
    return ERROR_SUCCESS;
  };

  // Neither a reader nor a writer waiting for the lock removes anything.
  velkaro::RegSnapshot snapshot;
  ASSERT_EQ(store.Read(snapshot), ERROR_SUCCESS);
  {
    velkaro::UniqueFd lock(::open((etc / ".registry.reg.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(::flock(lock.Get(), LOCK_EX), 0);
    ASSERT_NE(store.Modify(setValue), ERROR_SUCCESS);
  }
  for (const Entry& entry : entries) EXPECT_TRUE(present(entry)) << entry.name;

  ASSERT_EQ(store.Modify(setValue), ERROR_SUCCESS);
  for (const Entry& entry : entries) EXPECT_EQ(present(entry), !entry.removed) << entry.name;
  EXPECT_EQ(RegistryStores::ReadFile(target), "not the store's");
}

TEST(RegistryStoreTest, ReplacingKeepsTheFilesMode) {
  for (const mode_t mode : {0644u, 0640u}) {
    RegistryStores stores;
    stores.WriteMachine("");
    ::chmod(stores.MachinePath().c_str(), mode);
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, "v", 1), ERROR_SUCCESS);
    EXPECT_NE(stores.ReadMachine().find("\"v\"=dword:00000001"), std::string::npos);
    struct stat info {};
    ASSERT_EQ(::stat(stores.MachinePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, mode) << std::oct << mode;
  }
}

// Root must not be led by another user (played by a process running as
// nobody) to read or write where that user points, nor hang on what is no
// file: each case is refused with its reason, and the file a link points
// at stays as it was.
TEST(RegistryStoreTest, AStoreAnotherUserCouldSteerIsRefusedWithTheReason) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play two users";
  constexpr uid_t kNobody = 65534;
  const testing_support::TempDir dir(testing_support::FastTempBase());
  ::chmod(dir.path().c_str(), 0755);
  const std::string base = dir.path();
  const std::string victim = dir.Write("victim", "precious");
  const auto makeDirectory = [](const std::string& path, mode_t mode, uid_t owner) {
    std::filesystem::create_directories(path);
    ::chmod(path.c_str(), mode);
    ::chown(path.c_str(), owner, owner);
  };
  const auto linkAsNobody = [](const std::string& target, const std::string& link) {
    ASSERT_EQ(RunInChild([&] { return ::symlink(target.c_str(), link.c_str()) == 0 ? 0 : 1; }, true), 0);
  };
  struct Case {
    std::string store;
    std::function<void()> make;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {base + "/a/home/user.reg",
       [&] {
         makeDirectory(base + "/a/home", 0755, kNobody);
         linkAsNobody(victim, base + "/a/home/user.reg");
       },
       "its directory " + base + "/a/home is owned by user nobody (65534), not by root"},
      {base + "/b/etc/registry.reg",
       [&] {
         makeDirectory(base + "/b/etc", 0755, 0);
         std::filesystem::create_symlink(base + "/b/nologin", base + "/b/etc/registry.reg");
       },
       "is a symbolic link"},
      {base + "/c/tmp/velkaro/registry.reg",
       [&] {
         makeDirectory(base + "/c/tmp", 01777, 0);
         makeDirectory(base + "/c/elsewhere", 0755, 0);
         linkAsNobody(base + "/c/elsewhere", base + "/c/tmp/velkaro");
       },
       "its directory " + base + "/c/tmp/velkaro is a symbolic link owned by user nobody (65534)"},
      {base + "/d/tmp/registry.reg", [&] { makeDirectory(base + "/d/tmp", 01777, 0); },
       "its directory " + base + "/d/tmp is writable for other users (mode 1777)"},
      {base + "/e/registry.reg",
       [&] {
         dir.Write("e/registry.reg", "");
         ::chown((base + "/e/registry.reg").c_str(), kNobody, kNobody);
       },
       "is owned by user nobody (65534), not by root"},
      {base + "/f/registry.reg",
       [&] {
         dir.Write("f/registry.reg", "");
         ::chmod((base + "/f/registry.reg").c_str(), 0666);
       },
       "is writable for other users (mode 0666)"},
      {base + "/g/registry.reg",
       [&] {
         makeDirectory(base + "/g", 0755, 0);
         ::mkfifo((base + "/g/registry.reg").c_str(), 0644);
       },
       "is not a regular file"},
      {base + "/h/registry.reg", [&] { makeDirectory(base + "/h/registry.reg", 0755, 0); }, "is not a regular file"},
      {"/dev/zero", [] {}, "is not a regular file"},
  };
  for (const Case& c : cases) {
    c.make();
    // In a child with a time limit: a store that hangs fails the case.
    const pid_t child = testing_support::StartChild([&] {
      velkaro::RegistryStore store(c.store, velkaro::RegStoreKind::Machine);
      velkaro::RegSnapshot snapshot;
      std::string readMessage;
      std::string writeMessage;
      const LSTATUS read = store.Read(snapshot, &readMessage);
      const LSTATUS write = store.Modify(
          [](velkaro::RegKeyNode& top, bool& changed) {
            changed = top.FindSubkey("HKEY_LOCAL_MACHINE")->SetValue("v", REG_DWORD, Bytes{1, 0, 0, 0});
            return ERROR_SUCCESS;
          },
          &writeMessage);
      const std::string expected = c.store + ": " + c.reason;
      return (read == ERROR_SUCCESS ? 1 : 0) | (write == ERROR_SUCCESS ? 2 : 0) |
             (readMessage.starts_with(expected) ? 0 : 4) | (writeMessage.starts_with(expected) ? 0 : 8);
    });
    EXPECT_EQ(testing_support::WaitChildWithin(child, std::chrono::seconds(10)), 0) << c.store << ": " << c.reason;
  }
  EXPECT_EQ(RegistryStores::ReadFile(victim), "precious");
  EXPECT_FALSE(std::filesystem::exists(base + "/b/nologin"));
  EXPECT_FALSE(std::filesystem::exists(base + "/c/elsewhere/registry.reg"));
  EXPECT_FALSE(std::filesystem::exists("/dev/.zero.lock"));
}

TEST(RegistryStoreTest, NothingIsCreatedUntilThereIsSomethingToWrite) {
  RegistryStores stores;
  const std::string path = stores.Dir() / "deep/er/registry.reg";
  velkaro::RegistryStore store(path, velkaro::RegStoreKind::Machine);
  velkaro::RegSnapshot snapshot;
  EXPECT_EQ(store.Read(snapshot), ERROR_SUCCESS);
  EXPECT_EQ(*snapshot.top, velkaro::RegistryStore::EmptyTop(velkaro::RegStoreKind::Machine));
  EXPECT_EQ(store.Modify([](velkaro::RegKeyNode&, bool&) { return ERROR_FILE_NOT_FOUND; }), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(store.Modify([](velkaro::RegKeyNode&, bool& changed) {
    changed = false;
    return ERROR_SUCCESS;
  }),
            ERROR_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(stores.Dir() / "deep"));
  EXPECT_TRUE(store.IsWritable());

  EXPECT_EQ(store.Modify([](velkaro::RegKeyNode& top, bool& changed) {
    changed = top.FindSubkey("HKEY_LOCAL_MACHINE")->SetValue("v", REG_DWORD, Bytes{1, 0, 0, 0});
    return ERROR_SUCCESS;
  }),
            ERROR_SUCCESS);
  EXPECT_TRUE(std::filesystem::exists(path));
}

// The parsed store is reused on the file's identity alone only once its
// times are seconds old; an edit in place, even of the same size and in the
// same clock tick, is seen at once either way.
TEST(RegistryStoreTest, EditsInPlaceAreSeenBeforeAndAfterTheFileSettles) {
  RegistryStores stores;
  const auto valueNow = EditedValue;
  const auto edit = [&](char digit) { EditStore(stores, digit); };
  edit('1');
  EXPECT_EQ(valueNow(), 1u);
  edit('2');
  EXPECT_EQ(valueNow(), 2u);
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_EQ(valueNow(), 2u);
  edit('3');
  EXPECT_EQ(valueNow(), 3u);
}

// A read scope pins what its thread first read of a store, for that thread
// only, until the outermost scope ends or the thread itself changes the store.
TEST(RegistryStoreTest, AReadScopeShowsItsThreadOneVersionOfTheStore) {
  RegistryStores stores;
  const auto valueNow = EditedValue;
  const auto edit = [&](char digit) { EditStore(stores, digit); };
  const auto valueOnAnotherThread = [&] {
    std::uint32_t value = 0;
    std::thread([&] { value = valueNow(); }).join();
    return value;
  };
  edit('1');
  {
    const velkaro::RegReadScope outer;
    EXPECT_EQ(valueNow(), 1u);
    edit('2');
    {
      const velkaro::RegReadScope inner;
      EXPECT_EQ(valueNow(), 1u);
    }
    EXPECT_EQ(valueNow(), 1u) << "an inner scope's end keeps the pins";
    EXPECT_EQ(valueOnAnotherThread(), 2u);
    HKEY key = CreateKey("SOFTWARE\\Edited");
    ASSERT_NE(key, nullptr);
    const ScopedHKey owned(key);
    ASSERT_EQ(SetDword(key, "V", 5), ERROR_SUCCESS);
    EXPECT_EQ(valueNow(), 5u) << "the thread's own change is seen";
    edit('6');
    EXPECT_EQ(valueNow(), 5u);
  }
  EXPECT_EQ(valueNow(), 6u);
}
