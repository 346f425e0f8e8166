#include "platform/text.h"

#include <locale.h>
#include <wctype.h>

#include <cstdio>
#include <algorithm>
#include <optional>

namespace velkaro {

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (size <= 0) return {};
  std::string out(static_cast<size_t>(size) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(size));
  return out;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatV(format, args);
  va_end(args);
  return out;
}

namespace {

// Decodes one UTF-8 sequence at text[pos]; nothing when the bytes are not a
// well-formed, shortest-form sequence.
std::optional<char32_t> DecodeUtf8(std::string_view text, size_t pos, size_t& length) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  char32_t cp = 0;
  if (lead < 0x80) {
    length = 1;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    cp = lead & 0x07;
  } else {
    return std::nullopt;
  }
  if (pos + length > text.size()) return std::nullopt;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (byte(pos + i) & 0x3F);
  }
  static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

locale_t Utf8Locale() {
  // Independent of the process locale, which a GUI toolkit may change.
  static const locale_t locale = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return l ? l : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
  }();
  return locale;
}

}  // namespace

std::string ToUpper(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    size_t length = 1;
    const auto cp = DecodeUtf8(text, pos, length);
    if (!cp) {
      out += text[pos];
      ++pos;
      continue;
    }
    if (*cp < 0x80) {
      const char c = static_cast<char>(*cp);
      out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    } else {
      AppendUtf8(out, static_cast<char32_t>(towupper_l(static_cast<wint_t>(*cp), Utf8Locale())));
    }
    pos += length;
  }
  return out;
}

namespace {
char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

int CompareNoCase(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(AsciiUpper(a[i]));
    const auto cb = static_cast<unsigned char>(AsciiUpper(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

std::string_view TrimSpaces(std::string_view text) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

std::string EscapeControls(std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const auto escape = [&](std::string& out, std::string_view bytes) {
    for (const char c : bytes) {
      const auto byte = static_cast<unsigned char>(c);
      out += "\\x";
      out += kDigits[byte >> 4];
      out += kDigits[byte & 0x0F];
    }
  };
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    size_t length = 1;
    const auto cp = DecodeUtf8(text, pos, length);
    // A byte that starts no well-formed sequence is escaped alone; the next
    // one is looked at afresh.
    if (!cp) length = 1;
    const std::string_view piece = text.substr(pos, length);
    if (!cp || *cp < 0x20 || (*cp >= 0x7F && *cp <= 0x9F)) {
      escape(out, piece);
    } else {
      out += piece;
    }
    pos += length;
  }
  return out;
}

}  // namespace velkaro
