// Reading a file by a path that others must not be able to redirect.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "platform/trusted_file.h"
#include "temp_dir.h"

namespace {

using testing_support::TempDir;
using velkaro::ReadTrustedFile;
using Status = velkaro::TrustedFileText::Status;

constexpr uid_t kOtherUser = 65534;  // nobody

}  // namespace

TEST(TrustedFileTest, OnlyPathsThatRootOrWeAloneMayChangeAreRead) {
  const TempDir dir;
  const std::string file = dir.Write("data/list.txt", "0123456789");
  const auto directory = [&](const std::string& name, mode_t mode, uid_t owner = 0) {
    std::filesystem::create_directories(dir / name);
    ::chmod((dir / name).c_str(), mode);
    EXPECT_EQ(::chown((dir / name).c_str(), owner, 0), 0);
    return dir / name;
  };
  const auto link = [&](const std::string& target, const std::string& name, uid_t owner = 0) {
    std::filesystem::create_symlink(target, dir / name);
    EXPECT_EQ(::lchown((dir / name).c_str(), owner, 0), 0);
    return dir / name;
  };

  const struct {
    const char* what;
    std::function<std::string()> path;
    Status status;
  } cases[] = {
      {"plain file", [&] { return file; }, Status::kRead},
      {"links within our directories",
       [&] {
         link(file, "absolute");
         directory("up", 0755);
         return link("../absolute", "up/relative");
       },
       Status::kRead},
      {"link in a directory others may write",
       [&] {
         directory("open", 0777);
         return link(file, "open/link");
       },
       Status::kRefused},
      {"another user's link in a sticky directory",
       [&] {
         directory("sticky", 01777);
         return link(file, "sticky/theirs", kOtherUser);
       },
       Status::kRefused},
      {"our link in a sticky directory",
       [&] { return link(file, "sticky/ours"); },
       Status::kRead},
      {"another user's directory on the way",
       [&] {
         directory("theirs", 0755, kOtherUser);
         return dir.Write("theirs/list.txt", "x");
       },
       Status::kRefused},
      {"FIFO", [&] { ::mkfifo((dir / "fifo").c_str(), 0600); return dir / "fifo"; }, Status::kRefused},
      {"directory", [&] { return dir.path().string(); }, Status::kRefused},
      {"missing", [&] { return dir / "data/none.txt"; }, Status::kMissing},
      {"relative", [] { return std::string("data/list.txt"); }, Status::kRefused},
  };
  if (::geteuid() != 0) GTEST_SKIP() << "giving files to another user needs root";
  for (const auto& c : cases) {
    const auto result = ReadTrustedFile(c.path(), 64);
    EXPECT_EQ(result.status, c.status) << c.what << ": " << result.reason;
    if (c.status == Status::kRead) {
      EXPECT_EQ(result.text, "0123456789") << c.what;
    } else {
      EXPECT_NE(result.reason, "") << c.what;  // what failed and where
    }
  }

  const auto bounded = ReadTrustedFile(file, 4);
  EXPECT_EQ(bounded.status, Status::kRead);
  EXPECT_EQ(bounded.text, "0123");
  EXPECT_TRUE(bounded.truncated);
}

// /proc files report a size of 0: they are read to their end, up to the bound;
// a FIFO or device is refused without waiting on it.
TEST(TrustedFileTest, RegularFilesAreReadToTheirEndWithinTheBound) {
  const TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const struct {
    std::string path;
    std::size_t bound;
    Status status;
    const char* holds;  // found in the text read
    bool truncated;
  } cases[] = {
      {"/proc/self/status", 1 << 20, Status::kRead, "\nPid:", false},
      {"/proc/self/status", 5, Status::kRead, "Name:", true},
      {dir / "fifo", 64, Status::kRefused, "", false},
      {"/dev/zero", 64, Status::kRefused, "", false},
      {dir / "missing", 64, Status::kMissing, "", false},
  };
  for (const auto& c : cases) {
    const auto result = velkaro::ReadRegularFile(c.path, c.bound);
    EXPECT_EQ(result.status, c.status) << c.path << ": " << result.reason;
    EXPECT_NE(result.text.find(c.holds), std::string::npos) << c.path;
    EXPECT_EQ(result.truncated, c.truncated) << c.path;
    EXPECT_LE(result.text.size(), c.bound) << c.path;
  }
}
