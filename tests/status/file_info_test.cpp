#include "status/file_info.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "fakes.h"
#include "platform/file_limits.h"
#include "temp_dir.h"

using testing_support::TempDir;

namespace {

const std::string kLibDir = "/usr/lib/" VELKARO_MULTIARCH_TRIPLET;

// A fake system tree under VELKARO_SYSTEM_ROOT for the life of the test.
class FileInfoTest : public ::testing::Test {
 protected:
  FileInfoTest() {
    setenv("VELKARO_SYSTEM_ROOT", root.path().c_str(), 1);
    system.modulePath = program.path().string() + "/velkaro-diag";
  }
  ~FileInfoTest() override { unsetenv("VELKARO_SYSTEM_ROOT"); }

  void Copy(const std::string& from, const std::string& to) {
    std::filesystem::create_directories(std::filesystem::path(root / to).parent_path());
    std::filesystem::copy_file(from, root / to);
  }

  TempDir root;
  TempDir program;
  testing_support::FakeSystemInfo system;
  CFileInfo info;
};

}  // namespace

TEST_F(FileInfoTest, LibraryWithPackageNote) {
  Copy(VELKARO_DIAG_BINARY, kLibDir + "/libvelkaro_test.so.1");
  ASSERT_EQ(info.Inspect("libvelkaro_test.so.1"), 0);
  EXPECT_EQ(info.m_strName, "libvelkaro_test.so.1");
  EXPECT_EQ(info.m_strPath, root / (kLibDir.substr(1) + "/"));
  EXPECT_EQ(info.m_strVersion, VELKARO_VERSION);
  EXPECT_EQ(info.m_strFileVersion, VELKARO_VERSION);
  EXPECT_EQ(info.m_strCompany, "VELKARO");
  EXPECT_TRUE(std::regex_match(info.m_strDate, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d\.\d\d)"))) << info.m_strDate;
}

TEST_F(FileInfoTest, LibraryDirectoriesAreSearchedInOrder) {
  Copy(VELKARO_FIXTURE_NO_NOTE, "/usr/local/lib/libvelkaro_order.so");
  Copy(VELKARO_DIAG_BINARY, "/usr/lib/libvelkaro_order.so");
  ASSERT_EQ(info.Inspect("libvelkaro_order.so"), 0);
  EXPECT_EQ(info.m_strPath, root / "usr/lib/");
}

TEST_F(FileInfoTest, FoundWithoutAnyVersionSource) {
  root.Write("usr/bin/velkaro-plain", "#!/bin/sh\n");
  EXPECT_EQ(info.Inspect("velkaro-plain"), -1);
  EXPECT_EQ(info.m_strPath, root / "usr/bin/");
  EXPECT_EQ(info.m_strVersion, "");
  EXPECT_EQ(info.m_strCompany, "n/a");
  EXPECT_EQ(info.m_strFileVersion, "<missing>");
  EXPECT_EQ(info.m_strDate, "<missing>");
}

TEST_F(FileInfoTest, NotFoundAndEmptyNamesKeepTheDefaults) {
  EXPECT_EQ(info.Inspect("libnowhere.so.3"), -1);
  EXPECT_EQ(info.m_strPath, "");
  EXPECT_EQ(info.m_strName, "libnowhere.so.3");
  EXPECT_EQ(info.Inspect(""), -1);
  EXPECT_EQ(info.m_strName, "");
  EXPECT_EQ(info.m_strCompany, "n/a");
  std::filesystem::create_directories(root / "usr/sbin/pcscd");  // a directory is no file
  EXPECT_EQ(info.Inspect("pcscd"), -1);
  EXPECT_EQ(info.m_strPath, "");
}

TEST_F(FileInfoTest, DpkgDatabaseIsTheLastResort) {
  root.Write("usr/sbin/velkaro-owned", "data");
  root.Write("var/lib/dpkg/info/velkaro-owned:amd64.list", "/.\n/usr\n/usr/sbin/velkaro-owned\n");
  root.Write("var/lib/dpkg/status",
             "Package: other\nVersion: 9.9\n\nPackage: velkaro-owned\nStatus: install ok installed\n"
             "Version: 1:2.3.4-5\nMaintainer: Someone\n\n");
  ASSERT_EQ(info.Inspect("velkaro-owned"), 0);
  EXPECT_EQ(info.m_strVersion, "2.3.4.5");
  EXPECT_EQ(info.m_strFileVersion, "1:2.3.4-5");
  EXPECT_EQ(info.m_strCompany, "n/a");
}

TEST_F(FileInfoTest, FilesInspectedTogetherEachFindTheirOwnPackage) {
  root.Write("usr/sbin/velkaro-a", "a");
  // Found under /usr/lib through a link; dpkg names the link's target under /lib.
  root.Write(kLibDir + "/libvelkaro_b.so.1.2.3", "b");
  std::filesystem::create_symlink("libvelkaro_b.so.1.2.3", root / (kLibDir + "/libvelkaro_b.so.1"));
  root.Write("usr/bin/velkaro-unowned", "c");
  Copy(VELKARO_DIAG_BINARY, "/usr/bin/velkaro-noted");
  root.Write("var/lib/dpkg/info/pkg-a:amd64.list", "/.\n/usr/sbin\n/usr/sbin/velkaro-a\n");
  root.Write("var/lib/dpkg/info/pkg-b.list", "/lib/" VELKARO_MULTIARCH_TRIPLET "/libvelkaro_b.so.1.2.3\n");
  root.Write("var/lib/dpkg/info/pkg-b.md5sums", "/usr/bin/velkaro-unowned\n");
  root.Write("var/lib/dpkg/status",
             "Package: pkg-b\nVersion: 1:1.2.13.dfsg-1\n\nPackage: unrelated\nVersion: 3\n\n"
             "Package: pkg-a\nVersion: 20230311\n\n");
  const std::vector<std::string> names = {"velkaro-a", "libvelkaro_b.so.1", "velkaro-unowned", "libnowhere.so",
                                          "velkaro-noted", ""};
  const std::vector<CFileInfo> infos = InspectFiles(names);
  ASSERT_EQ(infos.size(), names.size());
  const std::vector<std::string> versions = {"20230311.0.0.0", "1.2.13.1", "", "", VELKARO_VERSION, ""};
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(infos[i].m_strName, names[i]);
    EXPECT_EQ(infos[i].m_strVersion, versions[i]) << names[i];
    // The same facts as inspecting the file on its own.
    CFileInfo single;
    single.Inspect(names[i]);
    EXPECT_EQ(infos[i].m_strFileVersion, single.m_strFileVersion) << names[i];
    EXPECT_EQ(infos[i].m_strVersion, single.m_strVersion) << names[i];
    EXPECT_EQ(infos[i].m_strPath, single.m_strPath) << names[i];
  }
}

TEST_F(FileInfoTest, DriverBundleSpeaksForItsLibrary) {
  root.Write("usr/lib/pcsc/drivers/velkaro.bundle/Contents/Linux/libvelkaro_driver.so", "not elf");
  root.Write("usr/lib/pcsc/drivers/velkaro.bundle/Contents/Info.plist",
             "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>\n"
             "<key>CFBundleExecutable</key><string>libvelkaro_driver.so</string>\n"
             "<key>ifdVendorID</key><array><string>0x1234</string></array>\n"
             "<key>CFBundleShortVersionString</key><string> 1.5.2 </string>\n"
             "<key>ifdManufacturerString</key><string>VELKARO</string>\n</dict></plist>\n");
  ASSERT_EQ(info.Inspect("libvelkaro_driver.so"), 0);
  EXPECT_EQ(info.m_strPath, root / "usr/lib/pcsc/drivers/velkaro.bundle/Contents/Linux/");
  EXPECT_EQ(info.m_strVersion, "1.5.2.0");
  EXPECT_EQ(info.m_strCompany, "VELKARO");
}

// A plist yields only what it holds: no entity is declared or expanded, no
// text runs past its bound, and only a regular file is read.
TEST_F(FileInfoTest, InfoPlistIsReadWithinItsBounds) {
  const auto plist = [](const std::string& doctype, const std::string& version) {
    return "<?xml version=\"1.0\"?>\n" + doctype + "<plist version=\"1.0\"><dict>\n" +
           "<key>CFBundleShortVersionString</key><string>" + version + "</string>\n</dict></plist>\n";
  };
  std::string bomb;
  for (int i = 0; i < 2000; ++i) bomb += "&e;";
  const struct {
    const char* what;
    std::string text;  // empty: a FIFO
    const char* version;
  } cases[] = {
      {"CDATA", plist("", "<![CDATA[2.0.1]]>"), "2.0.1.0"},
      {"external DTD named",
       plist("<!DOCTYPE plist PUBLIC \"-//Example//DTD PLIST 1.0//EN\" \"http://example.invalid/PropertyList-1.0.dtd\">\n",
             "2.2 &amp; more"),
       "2.2.0.0"},
      {"entity bomb", plist("<!DOCTYPE plist [<!ENTITY e \"" + std::string(10000, ' ') + "\">]>\n", "5." + bomb), ""},
      {"declared entity", plist("<!DOCTYPE plist [<!ENTITY unused \"x\">]>\n", "3.0"), ""},
      {"local file entity", plist("<!DOCTYPE plist [<!ENTITY f SYSTEM \"/etc/hostname\">]>\n", "4.&f;"), ""},
      {"overlong value", plist("", "1.2" + std::string(velkaro::kMaxInfoPlistValueSize, 'x')), ""},
      {"FIFO", "", ""},
  };
  for (const auto& c : cases) {
    const std::string bundle = std::string("usr/lib/pcsc/drivers/") + (c.text.empty() ? "fifo" : c.what) + ".bundle";
    root.Write(bundle + "/Contents/Linux/libvelkaro_bounded.so", "x");
    if (c.text.empty()) {
      ASSERT_EQ(::mkfifo((root / (bundle + "/Contents/Info.plist")).c_str(), 0644), 0);
    } else {
      root.Write(bundle + "/Contents/Info.plist", c.text);
    }
    testing_support::RecordingDebugOutput debug;
    info.Inspect("/" + bundle + "/Contents/Linux/libvelkaro_bounded.so");
    EXPECT_EQ(info.m_strVersion, c.version) << c.what;
    const auto lines = debug.Lines();
    const bool refusedAloud = std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
      return line.starts_with("Info.plist: ") && line.find("/Contents/Info.plist") != std::string::npos;
    });
    EXPECT_EQ(refusedAloud, *c.version == '\0') << c.what;
  }
}

// A dpkg file beyond its bound, or in a directory others may change, reads
// as missing, and says so: the file has no version.
TEST_F(FileInfoTest, DpkgFilesOutOfBoundsGiveNoVersion) {
  root.Write("usr/sbin/velkaro-owned", "data");
  const std::string info = root / "var/lib/dpkg/info";
  const auto grow = [&](const char* file) { std::filesystem::resize_file(root / file, velkaro::kMaxDpkgFileSize + 1); };
  const struct {
    const char* what;
    std::function<void()> spoil;
    const char* version;
  } cases[] = {
      {"within bounds", [] {}, "2.3.0.0"},
      {"status over size", [&] { grow("var/lib/dpkg/status"); }, ""},  // sparse, nothing is written
      {"list over size", [&] { grow("var/lib/dpkg/info/velkaro-owned.list"); }, ""},
      {"lists others may change", [&] { ::chmod(info.c_str(), 0777); }, ""},
  };
  for (const auto& c : cases) {
    root.Write("var/lib/dpkg/info/velkaro-owned.list", "/usr/sbin/velkaro-owned\n");
    root.Write("var/lib/dpkg/status", "Package: velkaro-owned\nVersion: 2.3\n\n");
    ::chmod(info.c_str(), 0755);
    c.spoil();
    testing_support::RecordingDebugOutput debug;
    this->info.Inspect("velkaro-owned");
    EXPECT_EQ(this->info.m_strVersion, c.version) << c.what;
    const auto lines = debug.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                              return line.starts_with("dpkg database: ") && line.find("; ") != std::string::npos;
                            }),
              *c.version ? 0 : 1)
        << c.what;
  }
}

TEST_F(FileInfoTest, BrokenVersionSourcesShowTheDefaults) {
  Copy(VELKARO_FIXTURE_BROKEN_NOTE, kLibDir + "/libbroken.so");
  EXPECT_EQ(info.Inspect("libbroken.so"), -1);
  EXPECT_FALSE(info.m_strPath.empty());
  Copy(VELKARO_FIXTURE_ODD_VERSION_NOTE, kLibDir + "/libodd.so");
  EXPECT_EQ(info.Inspect("libodd.so"), -1);
  EXPECT_EQ(info.m_strVersion, "");
  EXPECT_EQ(info.m_strFileVersion, "<missing>");
  root.Write("usr/lib/pcsc/drivers/bad.bundle/Contents/Linux/libbad.so", "x");
  root.Write("usr/lib/pcsc/drivers/bad.bundle/Contents/Info.plist", "this is <not xml");
  EXPECT_EQ(info.Inspect("libbad.so"), -1);
  EXPECT_EQ(info.m_strCompany, "n/a");
}

TEST_F(FileInfoTest, OddNamesAndDirectoryParts) {
  root.Write("usr/bin/name with spaces", "x");
  EXPECT_EQ(info.Inspect("name with spaces"), -1);
  EXPECT_EQ(info.m_strPath, root / "usr/bin/");
  Copy(VELKARO_DIAG_BINARY, "/opt/velkaro/velkaro-tool");
  EXPECT_EQ(info.Inspect("/opt/velkaro/velkaro-tool"), 0);
  EXPECT_EQ(info.m_strPath, root / "opt/velkaro/");
  EXPECT_EQ(info.Inspect("../../etc/passwd\x01"), -1);
  // Another extension is looked for beside the program.
  program.Write("diagtool.ini", "[x]\n");
  EXPECT_EQ(info.Inspect("diagtool.ini"), -1);
  EXPECT_EQ(info.m_strPath, program.path().string() + "/");
}

TEST(FixedVersionTest, FirstFourRunsOfDigitsAfterTheEpoch) {
  using V = std::optional<std::array<unsigned, 4>>;
  const std::pair<const char*, V> cases[] = {
      {"1:1.2.13.dfsg-1", V{{1, 2, 13, 1}}},
      {"1.9.9-2", V{{1, 9, 9, 2}}},
      {"1.1.1w-0+deb12u1", V{{1, 1, 1, 0}}},
      {"20230311", V{{20230311, 0, 0, 0}}},
      {"1.2.x-rc1", V{{1, 2, 1, 0}}},
      {"10.0.0.255", V{{10, 0, 0, 255}}},
      {"2:007.01 build 3.4", V{{7, 1, 3, 4}}},
      {"4294967295.1", V{{4294967295u, 1, 0, 0}}},
      {"v2:3", V{{2, 3, 0, 0}}},        // not an epoch: letters before the colon
      {"4294967296.1", std::nullopt},  // above 32 bits
      {"1.2.3.99999999999999999999", std::nullopt},
      {"1:", std::nullopt},
      {"n/a", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseFixedVersion(text), expected) << text;
}
