#include "platform/package_note.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/file_limits.h"
#include "temp_dir.h"

using velkaro::ParsePackageNoteJson;
using velkaro::ParsePackageNoteImage;
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

// A note section beyond its bound is not read, whatever it holds.
TEST(PackageNoteTest, NoteSectionLargerThanItsBoundIsSkipped) {
  std::ifstream in("/proc/self/exe", std::ios::binary);
  std::string own(std::filesystem::file_size("/proc/self/exe"), '\0');
  ASSERT_TRUE(in.read(own.data(), static_cast<std::streamsize>(own.size())));
  // This program is a 64-bit little-endian ELF file: find its note's section header.
  const auto field = [&](std::size_t at, std::size_t size) {
    std::uint64_t value = 0;
    std::memcpy(&value, own.data() + at, size);
    return value;
  };
  ASSERT_EQ(own[4], 2);  // ELFCLASS64
  const std::uint64_t table = field(0x28, 8);
  const std::uint64_t entry = field(0x3a, 2);
  const std::uint64_t names = field(table + entry * field(0x3e, 2) + 0x18, 8);
  for (std::size_t i = 0; i < field(0x3c, 2); ++i) {
    const std::size_t header = table + i * entry;
    if (std::strcmp(own.c_str() + names + field(header, 4), ".note.package") != 0) continue;
    const std::uint64_t offset = field(header + 0x18, 8);
    for (const std::uint64_t size : {std::uint64_t{velkaro::kMaxNoteSectionSize}, velkaro::kMaxNoteSectionSize + 1}) {
      ASSERT_LE(offset + size, own.size());
      std::string image = own;
      std::memcpy(image.data() + header + 0x20, &size, 8);
      EXPECT_EQ(ParsePackageNoteImage(std::move(image)).has_value(), size <= velkaro::kMaxNoteSectionSize) << size;
    }
    return;
  }
  FAIL() << "no .note.package section";
}
