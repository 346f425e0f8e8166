// The window run as root with HOME and XDG_* variables that su without "-"
// or sudo -E kept: Qt's files go to root's own places only.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

using testing_support::TempDir;
namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

// Every entry under `root` with its type, mode, owner, size and times.
std::vector<std::string> Listing(const fs::path& root) {
  std::vector<std::string> lines;
  const auto add = [&lines](const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    const auto time = [](const timespec& t) { return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec); };
    std::string line = path.string() + " mode " + std::to_string(st.st_mode) + " uid " + std::to_string(st.st_uid) +
                       " size " + std::to_string(st.st_size) + " mtime " + time(st.st_mtim) + " ctime " +
                       time(st.st_ctim);
    if (S_ISLNK(st.st_mode)) line += " -> " + fs::read_symlink(path).string();
    lines.push_back(line);
  };
  add(root);
  for (const auto& entry : fs::recursive_directory_iterator(root)) add(entry.path());
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void MakeDirectory(const std::string& path, uid_t owner, mode_t mode) {
  fs::create_directories(path);
  ::chown(path.c_str(), owner, owner);
  ::chmod(path.c_str(), mode);
}

}  // namespace

TEST(RootPlacesTest, QtFilesNeverGoToAnotherUsersDirectories) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir dir;
  const std::string user = dir / "user";
  const std::string rootHome = dir / "root";
  MakeDirectory(rootHome, 0, 0700);
  MakeDirectory(dir / "secret", 0, 0700);
  const std::string secret = dir.Write("secret/key", "root's only\n");
  ::chmod(secret.c_str(), 0600);
  struct stat secretBefore {};
  ::stat(secret.c_str(), &secretBefore);

  const char* const places[][2] = {{"HOME", ""},
                                   {"XDG_CONFIG_HOME", "/.config"},
                                   {"XDG_CACHE_HOME", "/.cache"},
                                   {"XDG_DATA_HOME", "/.local/share"},
                                   {"XDG_STATE_HOME", "/.local/state"},
                                   {"XDG_RUNTIME_DIR", "/run"}};
  struct Case {
    const char* name;
    std::string base;  // every place lies under it
    uid_t owner;
    mode_t mode;
    bool replaced;
  };
  const Case cases[] = {
      {"another user's", user, kNobody, 0700, true},
      {"root's, but others may write them", dir / "shared", 0, 0777, true},
      {"root's own", rootHome, 0, 0700, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string environment = "env -i PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen VELKARO_DEBUG=1";
    MakeDirectory(c.base + "/.local", c.owner, c.mode);
    for (const auto& [variable, below] : places) {
      MakeDirectory(c.base + below, c.owner, c.mode);
      environment += std::string(" ") + variable + "=" + c.base + below;
    }
    // The link the other user plants where Qt keeps the file dialog's history.
    const std::string planted = c.base + "/.config/QtProject.conf";
    if (c.replaced) {
      fs::create_symlink(secret, planted);
      ::lchown(planted.c_str(), kNobody, kNobody);
    }
    // Places from which Qt would load plugins, and fontconfig its configuration.
    MakeDirectory(c.base + "/plugins", c.owner, c.mode);
    const std::string fonts = dir.Write("fonts.conf", "<fontconfig/>\n");
    ::chown(fonts.c_str(), c.owner, c.owner);
    ::chmod(fonts.c_str(), c.mode & 0666);
    const std::string loaders[][2] = {{"QT_PLUGIN_PATH", "/usr/lib:" + c.base + "/plugins"},
                                      {"XDG_CONFIG_DIRS", c.base + "/plugins"},
                                      {"FONTCONFIG_FILE", fonts}};
    for (const auto& [variable, value] : loaders) environment += " " + variable + "=" + value;
    const std::vector<std::string> before = Listing(c.base);

    const std::string command = environment + " timeout 60 " + VELKARO_ROOT_WINDOW + " " + rootHome + " >" +
                                (dir / "stdout") + " 2>" + (dir / "stderr");
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << Read(dir / "stderr");

    const std::string debug = Read(dir / "stderr");
    for (const auto& [variable, below] : places) {
      const std::string line = std::string("Running as root: ") + variable + "=" + c.base + below + " replaced by ";
      EXPECT_EQ(debug.find(line) != std::string::npos, c.replaced) << variable << "\n" << debug;
    }
    for (const auto& [variable, value] : loaders) {
      const std::string line = "Running as root: " + variable + "=" + value + " dropped";
      EXPECT_EQ(debug.find(line) != std::string::npos, c.replaced) << variable << "\n" << debug;
    }
    if (c.replaced) {
      EXPECT_EQ(Listing(c.base), before);
    }
    // What Qt and fontconfig were left with: root's places, or those given.
    std::istringstream used(Read(dir / "stdout"));
    int count = 0;
    for (std::string line; std::getline(used, line); ++count) {
      const std::string path = line.substr(line.find('=') + 1);
      EXPECT_TRUE(path.starts_with(c.replaced ? rootHome : c.base) || path == "/run/user/0") << line;
    }
    EXPECT_EQ(count, 10);
    // The history went to root's own configuration.
    EXPECT_TRUE(fs::is_regular_file(rootHome + "/.config/QtProject.conf"));
  }
  struct stat secretAfter {};
  ASSERT_EQ(::stat(secret.c_str(), &secretAfter), 0);
  EXPECT_EQ(Read(secret), "root's only\n");
  EXPECT_EQ(secretAfter.st_mtim.tv_sec, secretBefore.st_mtim.tv_sec);
  EXPECT_EQ(secretAfter.st_mtim.tv_nsec, secretBefore.st_mtim.tv_nsec);
  EXPECT_EQ(secretAfter.st_mode, secretBefore.st_mode);
}
