#pragma once
// The ELF package metadata note (section ".note.package", owner "FDO",
// type 0xcafe1a7e, a JSON object) that our binaries carry and that Linux
// distributions put into theirs. It is the version resource of a Linux file.

#include <optional>
#include <string>

namespace velkaro {

struct PackageNote {
  std::string name;
  std::string version;
  std::string vendor;  // empty when the note has none
};

// Nothing when the file is not ELF, has no such note, or its JSON is broken or
// not an object with a string "version".
std::optional<PackageNote> ReadPackageNote(const std::string& path);

// The note of an ELF image already in memory; the same rules as above.
std::optional<PackageNote> ParsePackageNoteImage(std::string image);

// Parses the note's JSON text; the same rules as above.
std::optional<PackageNote> ParsePackageNoteJson(const std::string& json);

}  // namespace velkaro
