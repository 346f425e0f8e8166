#include "platform/package_note.h"

#include "platform/file_limits.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

namespace velkaro {
namespace {

constexpr std::uint32_t kFdoPackagingMetadata = 0xcafe1a7e;

struct ElfCloser {
  void operator()(Elf* elf) const { elf_end(elf); }
};

std::optional<std::string> FindNoteText(Elf* elf) {
  for (Elf_Scn* section = elf_nextscn(elf, nullptr); section; section = elf_nextscn(elf, section)) {
    GElf_Shdr header;
    if (!gelf_getshdr(section, &header) || header.sh_type != SHT_NOTE) continue;
    // A note section is small; a huge one is not read into memory.
    if (header.sh_size > kMaxNoteSectionSize) continue;
    Elf_Data* data = elf_getdata(section, nullptr);
    if (!data || !data->d_buf) continue;
    std::size_t offset = 0;
    GElf_Nhdr note;
    std::size_t nameOffset = 0;
    std::size_t descOffset = 0;
    while ((offset = gelf_getnote(data, offset, &note, &nameOffset, &descOffset)) > 0) {
      const char* base = static_cast<const char*>(data->d_buf);
      if (note.n_type != kFdoPackagingMetadata || note.n_namesz != 4 ||
          std::memcmp(base + nameOffset, "FDO", 4) != 0 || note.n_descsz > kMaxNoteSectionSize) {
        continue;
      }
      // The JSON text is NUL-terminated inside the descriptor; stop at the NUL.
      const char* desc = base + descOffset;
      return std::string(desc, strnlen(desc, note.n_descsz));
    }
  }
  return std::nullopt;
}

std::optional<PackageNote> NoteOf(const std::unique_ptr<Elf, ElfCloser>& elf) {
  if (!elf || elf_kind(elf.get()) != ELF_K_ELF) return std::nullopt;
  const auto text = FindNoteText(elf.get());
  if (!text) return std::nullopt;
  return ParsePackageNoteJson(*text);
}

}  // namespace

std::optional<PackageNote> ParsePackageNoteJson(const std::string& json) {
  const auto parsed = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return std::nullopt;
  const auto text = [&](const char* key) -> std::optional<std::string> {
    const auto it = parsed.find(key);
    if (it == parsed.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  };
  PackageNote note;
  auto version = text("version");
  if (!version) return std::nullopt;
  note.version = *version;
  note.name = text("name").value_or("");
  note.vendor = text("vendor").value_or("");
  return note;
}

std::optional<PackageNote> ReadPackageNote(const std::string& path) {
  if (elf_version(EV_CURRENT) == EV_NONE) return std::nullopt;
  // Non-blocking so that a FIFO or device given by name cannot hang us.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return NoteOf(std::unique_ptr<Elf, ElfCloser>(elf_begin(fd.Get(), ELF_C_READ, nullptr)));
}

std::optional<PackageNote> ParsePackageNoteImage(std::string image) {
  if (elf_version(EV_CURRENT) == EV_NONE || image.empty()) return std::nullopt;
  return NoteOf(std::unique_ptr<Elf, ElfCloser>(elf_memory(image.data(), image.size())));
}

}  // namespace velkaro
