#include "platform/profile_file.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "platform/text.h"

namespace velkaro {

bool ProfileFile::Load(const std::string& path) {
  m_sections.clear();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<unsigned long long>(st.st_size) > kMaxFileSize) {
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  Parse(content);
  return true;
}

void ProfileFile::Parse(std::string_view content) {
  m_sections.clear();
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
      current = &m_sections.emplace_back(Section{std::string(name), {}});
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
    current->entries.push_back(Entry{std::string(key), std::string(value)});
  }
}

const ProfileFile::Section* ProfileFile::FindSection(std::string_view name) const {
  for (const Section& section : m_sections) {
    if (EqualsNoCase(section.name, name)) return &section;
  }
  return nullptr;
}

std::string ProfileFile::GetString(std::string_view section, std::string_view key,
                                   std::string_view defaultValue) const {
  std::string_view found = defaultValue;
  if (const Section* s = FindSection(section)) {
    for (const Entry& entry : s->entries) {
      if (EqualsNoCase(entry.key, key)) {
        found = entry.value;
        break;
      }
    }
  }
  return std::string(found.substr(0, kMaxValueLength));
}

std::vector<std::string> ProfileFile::SectionNames() const {
  std::vector<std::string> names;
  for (const Section& section : m_sections) {
    if (FindSection(section.name) == &section) names.push_back(section.name);
  }
  return names;
}

std::vector<std::string> ProfileFile::KeyNames(std::string_view sectionName) const {
  std::vector<std::string> names;
  const Section* section = FindSection(sectionName);
  if (section == nullptr) return names;
  for (const Entry& entry : section->entries) {
    bool seen = false;
    for (const std::string& name : names) seen = seen || EqualsNoCase(name, entry.key);
    if (!seen) names.push_back(entry.key);
  }
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

  std::string_view content = text;
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
