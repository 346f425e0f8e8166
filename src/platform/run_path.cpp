#include "platform/run_path.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "platform/unique_fd.h"

namespace velkaro {
namespace {

struct ElfCloser {
  void operator()(Elf* elf) const { elf_end(elf); }
};

std::string ReadRunPathText(const std::string& program) {
  if (elf_version(EV_CURRENT) == EV_NONE) return {};
  const UniqueFd fd(::open(program.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  const std::unique_ptr<Elf, ElfCloser> elf(elf_begin(fd.Get(), ELF_C_READ, nullptr));
  if (!elf || elf_kind(elf.get()) != ELF_K_ELF) return {};
  std::string runPath;
  std::string rPath;
  for (Elf_Scn* section = elf_nextscn(elf.get(), nullptr); section; section = elf_nextscn(elf.get(), section)) {
    GElf_Shdr header;
    if (!gelf_getshdr(section, &header) || header.sh_type != SHT_DYNAMIC || header.sh_entsize == 0) continue;
    Elf_Data* data = elf_getdata(section, nullptr);
    if (!data) continue;
    const std::size_t count = header.sh_size / header.sh_entsize;
    for (std::size_t i = 0; i < count; ++i) {
      GElf_Dyn entry;
      if (!gelf_getdyn(data, static_cast<int>(i), &entry) || entry.d_tag == DT_NULL) break;
      if (entry.d_tag != DT_RUNPATH && entry.d_tag != DT_RPATH) continue;
      const char* text = elf_strptr(elf.get(), header.sh_link, entry.d_un.d_val);
      if (text) (entry.d_tag == DT_RUNPATH ? runPath : rPath) = text;
    }
  }
  // The loader ignores DT_RPATH when DT_RUNPATH is there.
  return runPath.empty() ? rPath : runPath;
}

}  // namespace

std::vector<std::string> RunPathDirectories(std::string_view runPath, const std::string& origin) {
  std::vector<std::string> directories;
  while (true) {
    const std::size_t colon = runPath.find(':');
    std::string entry(runPath.substr(0, colon));
    for (const std::string_view token : {"${ORIGIN}", "$ORIGIN"}) {
      for (std::size_t at = entry.find(token); at != std::string::npos; at = entry.find(token, at + origin.size())) {
        entry.replace(at, token.size(), origin);
      }
    }
    if (entry.starts_with('/')) directories.push_back(entry);
    if (colon == std::string_view::npos) break;
    runPath.remove_prefix(colon + 1);
  }
  return directories;
}

const std::vector<std::string>& ProgramRunPath() {
  static const std::vector<std::string> directories = [] {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::vector<std::string>();
    return RunPathDirectories(ReadRunPathText("/proc/self/exe"), program.parent_path().string());
  }();
  return directories;
}

}  // namespace velkaro
