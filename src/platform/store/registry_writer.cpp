// Writing the registry export text format (see registry_text.h).

#include <cstdio>

#include "platform/store/registry_types.h"
#include "platform/store/registry_text.h"

namespace velkaro {

namespace {

// Hex lists wrap before this column, as registry exports do, so that a
// long binary value stays readable in an editor.
constexpr std::size_t kWrapColumn = 76;

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (;;) {
    const std::size_t special = text.find_first_of("\\\"");
    out.append(text.substr(0, special));
    if (special == std::string_view::npos) break;
    out += '\\';
    out += text[special];
    text.remove_prefix(special + 1);
  }
  out += '"';
}

// Whether REG_SZ data can be written as a quoted string and read back the
// same: UTF-8 text ending in its one terminating zero, nothing that would
// break the line.
bool IsPlainString(const std::vector<std::uint8_t>& data) {
  if (data.empty() || data.back() != 0) return false;
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size() - 1);
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) return false;
  }
  return IsValidUtf8(text);
}

void AppendHexList(std::string& out, const std::vector<std::uint8_t>& data, std::size_t lineStart) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::size_t column = out.size() - lineStart;
  for (std::size_t i = 0; i < data.size(); ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0x0F];
    column += 2;
    if (i + 1 == data.size()) break;
    out += ',';
    ++column;
    if (column >= kWrapColumn) {
      out += "\\\n  ";
      column = 2;
    }
  }
}

void AppendValue(std::string& out, const RegValue& value) {
  const std::size_t lineStart = out.size();
  if (value.name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, value.name);
  }
  out += '=';
  if (value.type == REG_SZ && IsPlainString(value.data)) {
    AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1));
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    const std::uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                 (static_cast<std::uint32_t>(value.data[3]) << 24);
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", number);
    out += text;
  } else {
    if (value.type == REG_BINARY) {
      out += "hex:";
    } else {
      char text[16];
      std::snprintf(text, sizeof text, "hex(%x):", value.type);
      out += text;
    }
    AppendHexList(out, value.data, lineStart);
  }
  out += '\n';
}

}  // namespace

std::string FormatRegValue(const RegValue& value) {
  std::string out;
  AppendValue(out, value);
  return out;
}

void AppendRegKeyText(std::string& out, const std::string& path, const RegKeyNode& key) {
  out += '[';
  out += path;
  out += "]\n";
  for (const RegValue& value : key.Values()) AppendValue(out, value);
  out += '\n';
  for (const RegKeyNode& subkey : key.Subkeys()) AppendRegKeyText(out, path + '\\' + subkey.Name(), subkey);
}

void AppendRegRootsText(std::string& out, const RegKeyNode& top) {
  for (const RegKeyNode& root : top.Subkeys()) {
    if (!root.Values().empty()) {
      out += '[' + root.Name() + "]\n";
      for (const RegValue& value : root.Values()) AppendValue(out, value);
      out += '\n';
    }
    for (const RegKeyNode& subkey : root.Subkeys()) AppendRegKeyText(out, root.Name() + '\\' + subkey.Name(), subkey);
  }
}

std::string FormatRegText(const RegKeyNode& top) {
  std::string out(kRegTextHeader);
  out += "\n\n";
  AppendRegRootsText(out, top);
  return out;
}

}  // namespace velkaro
