#include "platform/package_note.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "temp_dir.h"

using velkaro::ParsePackageNoteJson;
using velkaro::ReadPackageNote;

TEST(PackageNoteTest, OwnBinaryCarriesTheProjectVersion) {
  // This test program is linked with the same note as every shipped binary.
  const auto note = ReadPackageNote("/proc/self/exe");
  ASSERT_TRUE(note);
  EXPECT_EQ(note->name, "velkaro");
  EXPECT_EQ(note->version, VELKARO_VERSION);
  EXPECT_EQ(note->vendor, "VELKARO");
}

TEST(PackageNoteTest, JsonRules) {
  auto note = ParsePackageNoteJson(R"({"name":"pcsc-lite","version":"1.9.9-2","vendor":"Debian"})");
  ASSERT_TRUE(note);
  EXPECT_EQ(note->version, "1.9.9-2");
  note = ParsePackageNoteJson(R"({"version":"1.2.x-rc1"})");
  ASSERT_TRUE(note);
  EXPECT_EQ(note->version, "1.2.x-rc1");
  EXPECT_EQ(note->vendor, "");
  EXPECT_FALSE(ParsePackageNoteJson(R"({"name":"x","version":)"));
  EXPECT_FALSE(ParsePackageNoteJson(R"({"name":"x"})"));
  EXPECT_FALSE(ParsePackageNoteJson(R"({"version":3})"));
  EXPECT_FALSE(ParsePackageNoteJson(R"(["version"])"));
  EXPECT_FALSE(ParsePackageNoteJson(""));
}

TEST(PackageNoteTest, FilesWithoutANoteGiveNothing) {
  testing_support::TempDir dir;
  EXPECT_FALSE(ReadPackageNote(dir.Write("text", "not an ELF file")));
  EXPECT_FALSE(ReadPackageNote(dir.Write("fake-elf", std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(100, '\0'))));
  EXPECT_FALSE(ReadPackageNote(dir.path().string()));
  EXPECT_FALSE(ReadPackageNote(dir / "missing"));
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(ReadPackageNote(fifo));  // must not block
}

TEST(PackageNoteTest, ElfFilesWithoutOrWithBrokenNotes) {
  EXPECT_FALSE(ReadPackageNote(VELKARO_FIXTURE_NO_NOTE));
  EXPECT_FALSE(ReadPackageNote(VELKARO_FIXTURE_BROKEN_NOTE));
  const auto odd = ReadPackageNote(VELKARO_FIXTURE_ODD_VERSION_NOTE);
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->version, "4294967296.1");
}
