#pragma once
// Files for targets whose parser reads a path: one private directory in
// memory (/dev/shm) per fuzzing process, removed when the process ends.

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "fuzz_check.h"

// Never destroyed: the removal at exit runs after static destructors.
inline const std::string& FuzzDirectory() {
  static const std::string* const directory = [] {
    char name[] = "/dev/shm/velkaro-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(name) != nullptr);
    const auto* made = new std::string(name);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(FuzzDirectory(), ignored);
    });
    return made;
  }();
  return *directory;
}

// Writes `content` to `relative` below the directory (making its parents) and
// returns the full path.
inline std::string WriteFuzzFile(const std::string& relative, std::string_view content) {
  const std::string path = FuzzDirectory() + "/" + relative;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  FUZZ_CHECK(out.good());
  return path;
}

// Text for an XML element: markup characters and every control character as
// references, so the parser's line-end and space handling leave them alone.
inline std::string XmlText(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (byte < 0x20) {
      char reference[8];
      std::snprintf(reference, sizeof reference, "&#%u;", byte);
      out += reference;
    } else {
      out += c;
    }
  }
  return out;
}

// The spaces the plist reader trims (C isspace in the "C" locale).
inline bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

