#include "app/about_info.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/store/registry.h"
#include "platform/services.h"
#include "platform/text.h"
#include "platform/url_opener.h"
#include "res/strings.h"
#include "status/file_info.h"

namespace about {
namespace {

constexpr std::size_t kSetupDirBufferSize = 1024;
constexpr std::size_t kClassValueBufferSize = 260;

struct ErrorText {
  int code;
  const char* text;
};
constexpr ErrorText kErrorTexts[] = {
    {0, "The operating system is out\nof memory or resources."},
    {2, "The specified file was not found."},
    {3, "The specified path was not found."},
    {5, "The operating system denied\naccess to the specified file."},
    {8, "There was not enough memory to complete the operation."},
    {11, "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image)."},
    {26, "A sharing violation occurred. "},
    {27, "The filename association is\nincomplete or invalid."},
    {28, "The DDE transaction could not\nbe completed because the request timed out."},
    {29, "The DDE transaction failed."},
    {30, "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed."},
    {31, "There is no application associated\nwith the given filename extension."},
    {32, "The specified dynamic-link library was not found."},
};

// A value's text, ending at its first zero byte; nothing when it cannot be
// read into a buffer of `bufferSize` bytes.
std::optional<std::string> ReadText(HKEY root, const std::string& path, const char* name, std::size_t bufferSize) {
  velkaro::ScopedHKey key;
  std::vector<std::uint8_t> data;
  if (key.Open(root, path.c_str(), KEY_READ) != ERROR_SUCCESS || key.QueryBytes(name, data) != ERROR_SUCCESS ||
      data.size() > bufferSize) {
    return std::nullopt;
  }
  const auto end = std::find(data.begin(), data.end(), std::uint8_t{0});
  return std::string(data.begin(), end);
}

}  // namespace

std::string ProgramLine() {
  CFileInfo info;
  info.Inspect(velkaro::SystemInfo().ModulePath());
  return std::string(res::kAppTitle) + " V" + info.m_strFileVersion;
}

std::string SetupPathLine() {
  std::string text = "unknown";
  velkaro::ScopedHKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, kSetupKey, KEY_READ) != ERROR_SUCCESS) {
    const std::string module = velkaro::SystemInfo().ModulePath();
    const std::size_t slash = module.rfind('/');
    text = slash == std::string::npos ? std::string() : module.substr(0, slash + 1);
  } else if (const auto stored = ReadText(HKEY_LOCAL_MACHINE, kSetupKey, kSetupValue, kSetupDirBufferSize)) {
    text = *stored;
  }
  return velkaro::Format(kSetupPathFormat, text.c_str());
}

std::string FallbackCommandLine(const std::string& command, const std::string& url) {
  std::string line = command;
  std::size_t placeholder = line.find("\"%1\"");
  if (placeholder == std::string::npos) placeholder = line.find("%1");
  if (placeholder != std::string::npos) line.resize(placeholder);
  return line + " " + url;
}

int GotoURL(const std::string& url) {
  velkaro::IUrlOpener& opener = velkaro::UrlOpener();
  const int result = opener.OpenUrl(url);
  if (result > 32) return result;
  const auto fileClass = ReadText(HKEY_CLASSES_ROOT, ".htm", nullptr, kClassValueBufferSize);
  if (!fileClass) return result;
  const auto command =
      ReadText(HKEY_CLASSES_ROOT, *fileClass + "\\shell\\open\\command", nullptr, kClassValueBufferSize);
  if (!command) return result;
  return opener.RunCommandLine(FallbackCommandLine(*command, url));
}

std::string HyperlinkErrorMessage(int code) {
  std::string text = velkaro::Format("Unknown Error (%d) occurred.", code);
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.code == code) text = entry.text;
  }
  return "Unable to open hyperlink:\n\n" + text;
}

}  // namespace about
