#include "platform/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/text.h"
#include "platform/unique_fd.h"

namespace velkaro {

namespace {

// Up to this many keys a section is searched in order; beyond, through its
// index. Card sections have two to four keys, numbered lists can have many.
constexpr std::size_t kKeysWithoutIndex = 8;

// UTF-16 text either starts with its byte-order mark or, without one, has a
// zero byte in every other place (its ASCII characters); binary junk has
// neither pattern.
bool LooksLikeUtf16(std::string_view content) {
  if (content.starts_with("\xFF\xFE") || content.starts_with("\xFE\xFF")) return true;
  const std::size_t pairs = std::min<std::size_t>(content.size() / 2, 512);
  if (pairs < 2) return false;
  std::size_t zeroEven = 0;
  std::size_t zeroOdd = 0;
  for (std::size_t i = 0; i < pairs; ++i) {
    zeroEven += content[2 * i] == '\0';
    zeroOdd += content[2 * i + 1] == '\0';
  }
  const auto most = [pairs](std::size_t n) { return n * 4 >= pairs * 3; };
  const auto few = [pairs](std::size_t n) { return n * 4 < pairs; };
  return (most(zeroOdd) && few(zeroEven)) || (most(zeroEven) && few(zeroOdd));
}

std::size_t LoneCrCount(std::string_view content) {
  std::size_t count = 0;
  for (std::size_t at = content.find('\r'); at != std::string_view::npos; at = content.find('\r', at + 1)) {
    count += at + 1 == content.size() || content[at + 1] != '\n';
  }
  return count;
}

// Why text this reader cannot take line by line would read as empty.
std::string TextProblem(std::string_view content) {
  if (LooksLikeUtf16(content)) return "it is UTF-16 text; save it as UTF-8";
  // More lines ending in CR alone than in LF: the editor that wrote it ended
  // its lines there (a last line may still end in CR LF), and this reader
  // would join them without a word.
  if (LoneCrCount(content) > static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n'))) {
    return "its lines end in CR alone; save it with LF or CR LF line ends";
  }
  return {};
}

}  // namespace

std::size_t ProfileFile::NoCaseHash::operator()(std::string_view name) const noexcept {
  // FNV-1a over the upper-case bytes, so names equal without regard to case
  // hash alike.
  std::size_t hash = 14695981039346656037ull;
  for (char c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  return hash;
}

bool ProfileFile::NoCaseEqual::operator()(std::string_view a, std::string_view b) const noexcept {
  return EqualsNoCase(a, b);
}

void ProfileFile::Clear() {
  m_sections.clear();
  m_sectionIndex.clear();
}

bool ProfileFile::Load(const std::string& path) {
  Clear();
  m_loadProblem.clear();
  // Non-blocking, so a FIFO or device put in the file's place cannot stall
  // start-up; everything but a regular file is refused after the open.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.Get() < 0) {
    if (errno != ENOENT) m_loadProblem = std::string("it cannot be opened: ") + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) {
    m_loadProblem = std::string("it cannot be read: ") + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    m_loadProblem = "it is not a regular file";
    return false;
  }
  const std::string tooLarge = Format("it is larger than %zu MiB", kMaxFileSize / (1024 * 1024));
  if (static_cast<unsigned long long>(st.st_size) > kMaxFileSize) {
    m_loadProblem = tooLarge;
    return false;
  }
  // Read to the end, but never past the limit: the file may grow after fstat.
  std::string content;
  content.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(fd.Get(), chunk, sizeof chunk);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      m_loadProblem = std::string("it cannot be read: ") + std::strerror(errno);
      return false;
    }
    if (content.size() + static_cast<std::size_t>(got) > kMaxFileSize) {
      m_loadProblem = tooLarge;
      return false;
    }
    content.append(chunk, static_cast<std::size_t>(got));
  }
  m_loadProblem = TextProblem(content);
  if (!m_loadProblem.empty()) return false;
  Parse(content);
  return true;
}

void ProfileFile::Parse(std::string_view content) {
  Clear();
  if (content.starts_with("\xEF\xBB\xBF")) content.remove_prefix(3);

  Section* current = nullptr;
  while (!content.empty()) {
    const size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);

    line = TrimSpaces(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;

    if (line.front() == '[') {
      // "[name]" ; a header without its closing bracket still names a section
      // up to the end of the line, as the system service reads it.
      line.remove_prefix(1);
      const size_t close = line.find(']');
      const std::string_view name = TrimSpaces(line.substr(0, close));
      // A repeated section is never looked up: its keys go nowhere.
      const bool added = m_sectionIndex.try_emplace(std::string(name), m_sections.size()).second;
      current = added ? &m_sections.emplace_back(Section{std::string(name), {}, {}}) : nullptr;
      continue;
    }
    if (current == nullptr) continue;  // keys before the first section belong nowhere

    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = TrimSpaces(line.substr(0, equals));
    std::string_view value = TrimSpaces(line.substr(equals + 1));
    // A value wrapped in matching quotes is given without them.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    if (FindEntry(*current, key) != nullptr) continue;  // the first key of a name wins
    current->entries.push_back(Entry{std::string(key), std::string(value)});
    std::vector<Entry>& entries = current->entries;
    if (entries.size() == kKeysWithoutIndex + 1) {
      for (std::size_t i = 0; i < entries.size(); ++i) current->keyIndex.try_emplace(entries[i].key, i);
    } else if (entries.size() > kKeysWithoutIndex + 1) {
      current->keyIndex.try_emplace(entries.back().key, entries.size() - 1);
    }
  }
}

const ProfileFile::Entry* ProfileFile::FindEntry(const Section& section, std::string_view key) const {
  if (section.entries.size() > kKeysWithoutIndex) {
    const auto found = section.keyIndex.find(key);
    return found == section.keyIndex.end() ? nullptr : &section.entries[found->second];
  }
  for (const Entry& entry : section.entries) {
    if (EqualsNoCase(entry.key, key)) return &entry;
  }
  return nullptr;
}

std::string ProfileFile::GetString(std::string_view section, std::string_view key,
                                   std::string_view defaultValue) const {
  std::string_view found = defaultValue;
  if (const auto s = m_sectionIndex.find(section); s != m_sectionIndex.end()) {
    if (const Entry* entry = FindEntry(m_sections[s->second], key)) found = entry->value;
  }
  // The value is handed out as a C string would be: it ends at its first NUL.
  found = found.substr(0, found.find('\0'));
  return std::string(found.substr(0, kMaxValueLength));
}

std::vector<std::string> ProfileFile::SectionNames() const {
  std::vector<std::string> names;
  names.reserve(m_sections.size());
  for (const Section& section : m_sections) names.push_back(section.name);
  return names;
}

std::vector<std::string> ProfileFile::KeyNames(std::string_view sectionName) const {
  std::vector<std::string> names;
  const auto s = m_sectionIndex.find(sectionName);
  if (s == m_sectionIndex.end()) return names;
  for (const Entry& entry : m_sections[s->second].entries) names.push_back(entry.key);
  return names;
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, const std::string& path) {
  ProfileFile profile;
  profile.Load(path);
  return profile.GetString(section, key, defaultValue);
}

std::optional<std::vector<ProfileSectionKeys>> ReadRawProfileSections(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<unsigned long long>(st.st_size) > ProfileFile::kMaxFileSize) {
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return ParseRawProfileSections(text);
}

std::vector<ProfileSectionKeys> ParseRawProfileSections(std::string_view content) {
  if (content.starts_with("\xEF\xBB\xBF")) content.remove_prefix(3);
  std::vector<ProfileSectionKeys> sections;
  while (!content.empty()) {
    const size_t end = content.find('\n');
    std::string_view line = TrimSpaces(content.substr(0, end));
    content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      line.remove_prefix(1);
      sections.push_back({std::string(TrimSpaces(line.substr(0, line.find(']')))), {}});
    } else if (const size_t equals = line.find('='); equals != std::string_view::npos && !sections.empty()) {
      sections.back().keys.emplace_back(TrimSpaces(line.substr(0, equals)));
    }
  }
  return sections;
}

}  // namespace velkaro
