#pragma once
// The card terminal interface (CT-API) of the reader vendor's library, loaded
// at run time by its module name, and the search for the CT-API port at which
// a PC/SC reader answers.

#include <cstdint>
#include <span>
#include <string>

#include "platform/shared_library.h"

// The module name of the vendor's CT-API library; the platform's library
// prefix and extension are added ("libzelbric.so").
inline constexpr char kCtApiModuleName[] = "zelbric";

std::string CtApiLibraryFileName(const std::string& moduleName);

// Loads the module, searches the reader's CT-API port and unloads it again.
// Searches from several threads take turns: they share one terminal number,
// which the library opens only once, and a library's load and unload must not
// meet another thread's.
std::string FindCtApiPort(const std::string& moduleName, const std::string& readerName);

// The terminal's name from its answer to the name query: the bytes up to the
// first zero byte, within both the length the library claims and the buffer.
std::string TerminalNameFromAnswer(std::span<const std::uint8_t> response, std::uint16_t length);

class CCtApi {
 public:
  using InitFunction = std::int8_t (*)(std::uint16_t ctn, std::uint16_t pn);
  using DataFunction = std::int8_t (*)(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                                       const std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response);
  using CloseFunction = std::int8_t (*)(std::uint16_t ctn);

  explicit CCtApi(const std::string& moduleName = kCtApiModuleName);
  virtual ~CCtApi() = default;
  CCtApi(const CCtApi&) = delete;
  CCtApi& operator=(const CCtApi&) = delete;

  bool IsUsable() const { return m_pInit != nullptr; }

  // The port number (1 to 255) whose terminal names this reader, as decimal
  // text, or "n/a".
  std::string GetCtApiPort(const std::string& readerName) const;

 private:
  velkaro::SharedLibrary m_library;
  InitFunction m_pInit = nullptr;
  DataFunction m_pData = nullptr;
  CloseFunction m_pClose = nullptr;
};
