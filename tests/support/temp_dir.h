#pragma once
// A directory of its own for one test, removed with everything in it.

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace testing_support {

class TempDir {
 public:
  explicit TempDir(const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
    std::string pattern = (base / "velkaro-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  // A path inside the directory; a leading '/' does not lead out of it.
  std::string operator/(std::string_view name) const { return Inside(name).string(); }

  // Writes `content` byte for byte and answers the file's path.
  std::string Write(std::string_view name, std::string_view content) const {
    const auto file = Inside(name);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return file.string();
  }

 private:
  std::filesystem::path Inside(std::string_view name) const {
    while (!name.empty() && name.front() == '/') name.remove_prefix(1);
    return m_path / name;
  }

  std::filesystem::path m_path;
};

}  // namespace testing_support
