#include "card/ct_api.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

#include "platform/services.h"
#include "platform/system_files.h"
#include "res/strings.h"

namespace {

constexpr std::uint16_t kTerminalNumber = 1;
constexpr std::uint8_t kAddressTerminal = 1;
constexpr std::uint8_t kAddressHost = 2;
constexpr std::uint16_t kLastPort = 255;
constexpr std::size_t kResponseSize = 128;
// Asks the terminal for its name.
constexpr std::array<std::uint8_t, 5> kGetTerminalName = {0x20, 0xFF, 0x00, 0x00, 0x00};

std::mutex g_searchLock;  // see FindCtApiPort

}  // namespace

std::string CtApiLibraryFileName(const std::string& moduleName) {
  // A module name may carry a directory: "dir/name" loads "dir/libname.so".
  const size_t slash = moduleName.rfind('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  return moduleName.substr(0, base) + "lib" + moduleName.substr(base) + ".so";
}

std::string TerminalNameFromAnswer(std::span<const std::uint8_t> response, std::uint16_t length) {
  // The answer need not end in a zero byte, and a library may claim more
  // than the buffer holds: read neither past the answer nor the buffer.
  const auto* text = reinterpret_cast<const char*>(response.data());
  return std::string(text, strnlen(text, std::min<std::size_t>(length, response.size())));
}

std::string FindCtApiPort(const std::string& moduleName, const std::string& readerName) {
  const std::lock_guard search(g_searchLock);
  const CCtApi ctApi(moduleName);
  return ctApi.GetCtApiPort(readerName);
}

namespace {

// The library the file search finds, so that the reader tabs ask the library
// the General page lists, or none when it lists none.
std::string FoundLibrary(const std::string& moduleName) {
  const std::string fileName = CtApiLibraryFileName(moduleName);
  const auto path = velkaro::FindSystemFile(fileName);
  if (!path) velkaro::OutputDebugString("CT-API: " + fileName + " is not installed");
  return path.value_or(std::string());
}

}  // namespace

CCtApi::CCtApi(const std::string& moduleName) : m_library(FoundLibrary(moduleName)) {
  m_pInit = m_library.Symbol<InitFunction>("CT_init");
  m_pData = m_library.Symbol<DataFunction>("CT_data");
  m_pClose = m_library.Symbol<CloseFunction>("CT_close");
  if (!m_pInit || !m_pData || !m_pClose) {
    m_pInit = nullptr;
    m_pData = nullptr;
    m_pClose = nullptr;
  }
}

std::string CCtApi::GetCtApiPort(const std::string& readerName) const {
  if (!m_pInit) return res::kNotAvailable;
  for (std::uint16_t port = 1; port <= kLastPort; ++port) {
    if (m_pInit(kTerminalNumber, port) != 0) continue;
    std::uint8_t destination = kAddressTerminal;
    std::uint8_t source = kAddressHost;
    std::array<std::uint8_t, kResponseSize> response{};
    std::uint16_t length = kResponseSize;
    bool found = false;
    if (m_pData(kTerminalNumber, &destination, &source, kGetTerminalName.size(), kGetTerminalName.data(), &length,
                response.data()) == 0) {
      found = TerminalNameFromAnswer(response, length).find(readerName) != std::string::npos;
    }
    m_pClose(kTerminalNumber);
    if (found) return std::to_string(port);
  }
  return res::kNotAvailable;
}
