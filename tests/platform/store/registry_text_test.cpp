#include "platform/store/registry_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "platform/store/registry_types.h"

using namespace std::string_literals;
using velkaro::RegKeyNode;
using velkaro::RegValue;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Fixture(const std::string& name) {
  std::ifstream in(std::string(VELKARO_TEST_DATA) + "/registry/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

RegKeyNode EmptyTop() {
  RegKeyNode top;
  for (const auto& root : velkaro::RegRoots()) top.AddSubkey(root.name);
  return top;
}

// As the store reads its file: section by section, straight into the tree.
RegKeyNode Load(std::string_view text) {
  velkaro::RegTextError error;
  RegKeyNode top = EmptyTop();
  velkaro::RegSectionApplier applier(top);
  EXPECT_TRUE(velkaro::ParseRegText(text, [&](const velkaro::RegKeySection& section) { applier.Apply(section); }, error))
      << "line " << error.line << ": " << error.message;
  applier.Finish();
  return top;
}

velkaro::RegTextError ParseError(std::string_view text) {
  velkaro::RegDocument document;
  velkaro::RegTextError error;
  EXPECT_FALSE(velkaro::ParseRegText(text, document, error)) << text;
  EXPECT_TRUE(document.sections.empty());
  return error;
}

const RegKeyNode& Key(const RegKeyNode& top, std::vector<std::string> path) {
  static const RegKeyNode missing("<missing>");
  const RegKeyNode* key = top.Find(path);
  EXPECT_NE(key, nullptr);
  return key != nullptr ? *key : missing;
}

Bytes Text(std::string_view text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

std::vector<std::string> ValueNames(const RegKeyNode& key) {
  std::vector<std::string> names;
  for (const RegValue& value : key.Values()) names.push_back(value.name);
  return names;
}

}  // namespace

TEST(RegistryTextTest, ReadsAnExportWithCommentsContinuationsAndDeletions) {
  const RegKeyNode top = Load(Fixture("driver_settings.reg"));
  const auto& rfid = Key(top, {"HKEY_LOCAL_MACHINE", "SYSTEM", "CurrentControlSet", "Control", "Tessaro", "RFID"});
  EXPECT_EQ(rfid.FindValue("CardSearch")->data, (Bytes{3, 1, 0, 0, 0}));
  EXPECT_EQ(rfid.FindValue("MaximumBaudrate")->data, (Bytes{2, 1, 0, 0, 0}));
  const auto& rates = *rfid.FindSubkey("MaximumBaudrates");
  EXPECT_EQ(rates.FindValue("ISO14443A")->data, (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(rates.FindValue("ISO14443B")->type, REG_DWORD);
  EXPECT_EQ(rates.FindValue("ISO14443B")->data, (Bytes{0xFF, 0, 0, 0}));

  const auto& tool = Key(top, {"HKEY_LOCAL_MACHINE", "SOFTWARE", "VELKARO", "DiagnosticTool"});
  EXPECT_EQ(tool.FindValue("")->data, Text("default text"));
  EXPECT_EQ(tool.FindValue("SetupDir")->data, Text("/opt/velkaro \"diag\"\\bin"));
  EXPECT_EQ(tool.FindValue("Path")->type, REG_EXPAND_SZ);
  EXPECT_EQ(tool.FindValue("Big")->type, REG_QWORD);
  EXPECT_EQ(tool.FindValue("Nothing")->type, REG_NONE);
  EXPECT_TRUE(tool.FindValue("Nothing")->data.empty());
  EXPECT_EQ(tool.FindValue("Custom")->type, 0x20u);
  EXPECT_EQ(tool.FindValue("Custom")->data, (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
  EXPECT_EQ(tool.FindValue("Removed"), nullptr);
  EXPECT_EQ(Key(top, {"HKEY_LOCAL_MACHINE", "SOFTWARE"}).FindSubkey("Obsolete"), nullptr);
}

TEST(RegistryTextTest, CrLfLineEndsAndByteOrderMarkReadTheSame) {
  std::string windows = "\xEF\xBB\xBF";
  for (const char ch : Fixture("driver_settings.reg")) {
    if (ch == '\n') windows += '\r';
    windows += ch;
  }
  EXPECT_EQ(Load(windows), Load(Fixture("driver_settings.reg")));
}

TEST(RegistryTextTest, EveryTypeSurvivesWriteAndReadByteForByte) {
  RegKeyNode top = Load(Fixture("every_type.reg"));
  // Data that only the hex form carries exactly, added through the model.
  auto& key = top.FindSubkey("HKEY_LOCAL_MACHINE")->AddSubkey("Made In Code");
  key.SetValue("BadUtf8", REG_SZ, Bytes{0xC3, 0x28, 0});
  key.SetValue("EmbeddedZero", REG_SZ, Bytes{'a', 0, 'b', 0});
  key.SetValue("Tab\u00e4", REG_SZ, Text("a\tb"));
  key.SetValue("Long", REG_BINARY, Bytes(700, 0x5A));
  key.SetValue("BigEndian", REG_DWORD_BIG_ENDIAN, Bytes{0, 0, 1, 2});
  key.SetValue("=;[]\\\"", REG_SZ, Text("odd name"));
  top.FindSubkey("HKEY_CLASSES_ROOT")->SetValue("", REG_SZ, Text("a value on a root key"));
  top.FindSubkey("HKEY_USERS")->AddSubkey("Empty Key");

  const std::string text = velkaro::FormatRegText(top);
  const RegKeyNode back = Load(text);
  EXPECT_EQ(back, top);
  EXPECT_EQ(velkaro::FormatRegText(back), text);

  // The forms chosen: quoted where exact, hex otherwise, long lists wrapped.
  EXPECT_NE(text.find("\"String\"=\"text with \\\"quotes\\\" and \\\\backslashes\\\\\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"Dword\"=dword:00000102\n"), std::string::npos);
  EXPECT_NE(text.find("\"ShortDword\"=hex(4):01,02\n"), std::string::npos);
  EXPECT_NE(text.find("\"Qword\"=hex(b):08,07,06,05,04,03,02,01\n"), std::string::npos);
  EXPECT_NE(text.find("\"BadUtf8\"=hex(1):c3,28,00\n"), std::string::npos);
  EXPECT_NE(text.find("\"Newline\"=hex(1):61,0a,62,00\n"), std::string::npos);
  EXPECT_NE(text.find("\"Unknown\"=hex(ffffffff):00,ff\n"), std::string::npos);
  EXPECT_NE(text.find("[HKEY_CLASSES_ROOT]\n@=\"a value on a root key\"\n"), std::string::npos);
  EXPECT_NE(text.find("[HKEY_USERS\\Empty Key]\n"), std::string::npos);
  std::size_t longest = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    longest = std::max(longest, end - start);
    start = end + 1;
  }
  EXPECT_LE(longest, 80u);
}

TEST(RegistryTextTest, SubkeysSortWithoutCaseAndValuesKeepFirstWrittenOrder) {
  const RegKeyNode top = Load(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\S\\beta]\n"
      "[HKEY_LOCAL_MACHINE\\S\\Alpha]\n"
      "[HKEY_LOCAL_MACHINE\\S\\gamma]\n"
      "[HKEY_LOCAL_MACHINE\\S\\ALPHA\\x]\n"  // the same key as Alpha
      "[HKEY_LOCAL_MACHINE\\S]\n"
      "\"zeta\"=dword:1\n"
      "\"Alpha\"=dword:2\n"
      "\"ZETA\"=dword:3\n");
  const auto& s = Key(top, {"HKEY_LOCAL_MACHINE", "S"});
  std::vector<std::string> names;
  for (const auto& subkey : s.Subkeys()) names.push_back(subkey.Name());
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma"}));
  EXPECT_NE(s.FindSubkey("alpha")->FindSubkey("X"), nullptr);
  // A later line for the same value keeps the first place and the first name.
  EXPECT_EQ(ValueNames(s), (std::vector<std::string>{"zeta", "Alpha"}));
  EXPECT_EQ(s.FindValue("Zeta")->data, (Bytes{3, 0, 0, 0}));
}

// Reading a store and then looking up each of its names costs work in step
// with its size. The tree counts its comparisons, foldings and moves of
// names, so this holds on any machine without timing anything: ten times
// the names may cost ten times the work, and a sort's log n on top, but not
// the hundred times of a scan or an insertion per name.
TEST(RegistryTextTest, ReadingAndLookingUpGrowLinearlyWithTheStore) {
  const auto numbered = [](const char* format, int n) {
    char text[64];
    std::snprintf(text, sizeof text, format, n);
    return std::string(text);
  };
  struct Shape {
    const char* what;
    bool keys;     // sibling keys, else values in one key
    bool reverse;  // written in reverse name order
    bool deleteOdd;  // later lines delete every odd-numbered one
  };
  const Shape kShapes[] = {
      {"values in one key", false, false, false},
      {"sibling keys in reverse order", true, true, false},
      {"values, half deleted by later lines", false, false, true},
      {"sibling keys in reverse order, half deleted by later sections", true, true, true},
  };
  for (const Shape& shape : kShapes) {
    const auto steps = [&](int count) {
      std::string text = "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n";
      for (int i = 0; i < count; ++i) {
        const int n = shape.reverse ? count - 1 - i : i;
        text += shape.keys ? numbered("[HKEY_LOCAL_MACHINE\\S\\K%06d]\n", n) : numbered("\"V%06d\"=dword:1\n", n);
      }
      if (!shape.keys) text += "[HKEY_LOCAL_MACHINE\\S]\n";
      for (int n = 1; shape.deleteOdd && n < count; n += 2) {
        text += shape.keys ? numbered("[-HKEY_LOCAL_MACHINE\\S\\K%06d]\n", n) : numbered("\"V%06d\"=-\n", n);
      }
      const std::uint64_t before = velkaro::RegTreeSteps();
      const RegKeyNode top = Load(text);
      const RegKeyNode& s = Key(top, {"HKEY_LOCAL_MACHINE", "S"});
      int found = 0;
      for (int n = 0; n < count; ++n) {
        // The name found, not only something: an index pointing at the wrong place answers another name.
        if (shape.keys) {
          const RegKeyNode* key = s.FindSubkey(numbered("k%06d", n));
          found += key != nullptr && velkaro::RegNamesEqual(key->Name(), numbered("k%06d", n));
        } else {
          const velkaro::RegValue* value = s.FindValue(numbered("v%06d", n));
          found += value != nullptr && velkaro::RegNamesEqual(value->name, numbered("v%06d", n));
        }
      }
      const std::uint64_t work = velkaro::RegTreeSteps() - before;
      EXPECT_EQ(found, shape.deleteOdd ? count / 2 : count) << shape.what;
      const std::size_t kept = shape.keys ? s.Subkeys().size() : s.Values().size();
      EXPECT_EQ(kept, static_cast<std::size_t>(found)) << shape.what;
      const std::string first = shape.keys ? s.Subkeys().front().Name() : s.Values().front().name;
      const std::string last = shape.keys ? s.Subkeys().back().Name() : s.Values().back().name;
      EXPECT_EQ(first.substr(1), "000000") << shape.what;
      EXPECT_EQ(last.substr(1), numbered("%06d", shape.deleteOdd ? count - 2 : count - 1)) << shape.what;
      return static_cast<double>(work);
    };
    const double small = steps(2000);
    const double large = steps(20000);
    ASSERT_GT(small, 0) << shape.what;
    EXPECT_LE(large / small, 16) << shape.what << ": " << small << " steps for 2,000 names, " << large
                                  << " for 20,000";
  }
}

// A key of a few names is searched name by name, a larger one through an
// index: both must find the same names, keep the same order, and put a
// value that a later line deletes and sets again last.
TEST(RegistryTextTest, SmallAndLargeKeysFindAndOrderNamesAlike) {
  const struct {
    const char* stored;
    const char* asked;
  } kNames[] = {
      {"grüße", "GRÜßE"}, {"Ärger", "ärger"}, {"ı", "I"}, {"straße", "STRASSE"}, {"Key", "Kex"},
  };
  for (const int fillers : {0, 20}) {
    std::string text = "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"Again\"=dword:1\n";
    std::string keys;
    for (int n = 0; n < fillers; ++n) {
      text += "\"F" + std::to_string(n) + "\"=dword:1\n";
      keys += "[HKEY_LOCAL_MACHINE\\S\\F" + std::to_string(n) + "]\n";
    }
    for (const auto& name : kNames) {
      text += "\"" + std::string(name.stored) + "\"=dword:1\n";
      keys += "[HKEY_LOCAL_MACHINE\\S\\" + std::string(name.stored) + "]\n";
    }
    text += "\"again\"=-\n\"AGAIN\"=dword:2\n" + keys;
    const RegKeyNode top = Load(text);
    const RegKeyNode& s = Key(top, {"HKEY_LOCAL_MACHINE", "S"});
    for (const auto& name : kNames) {
      const bool same = velkaro::CompareRegNames(name.stored, name.asked) == 0;
      EXPECT_EQ(s.FindValue(name.asked) != nullptr, same) << name.asked << " among " << fillers;
      EXPECT_EQ(s.FindSubkey(name.asked) != nullptr, same) << name.asked << " among " << fillers;
    }
    EXPECT_EQ(s.Values().back().name, "AGAIN") << fillers;
    EXPECT_EQ(s.Values().size(), std::size(kNames) + fillers + 1);
    EXPECT_TRUE(std::is_sorted(s.Subkeys().begin(), s.Subkeys().end(), [](const RegKeyNode& a, const RegKeyNode& b) {
      return velkaro::CompareRegNames(a.Name(), b.Name()) < 0;
    })) << fillers;
  }
}

TEST(RegistryTextTest, NamesCompareByUnicodeUpperCase) {
  EXPECT_EQ(velkaro::CompareRegNames("grüße", "GRÜßE"), 0);
  EXPECT_EQ(velkaro::CompareRegNames("Ärger", "ärger"), 0);
  EXPECT_LT(velkaro::CompareRegNames("a", "B"), 0);
  EXPECT_LT(velkaro::CompareRegNames("Z", "ä"), 0);
  EXPECT_LT(velkaro::CompareRegNames("abc", "ABCD"), 0);
}

TEST(RegistryTextTest, EmptyTextIsAnEmptyStore) {
  EXPECT_EQ(Load(""), EmptyTop());
  EXPECT_EQ(Load("Windows Registry Editor Version 5.00\r\n"), EmptyTop());
}

TEST(RegistryTextTest, MalformedTextNamesTheLine) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n";
  const std::string key = header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n";  // value lines go on line 4
  struct Case {
    std::string text;
    std::size_t line;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"REGEDIT4\n", 1, "REGEDIT4 files (the older regedit format, in a Windows code page) are not read"},
      {"W\0i\0n\0d\0"s, 1, "text is UTF-16"},
      {"; comment\n" + header, 1, "first line is not"},
      {key + "\"a\"=\"no closing quote\n", 4, "string without closing quote"},
      {key + "\"a\n", 4, "value name without closing quote"},
      {key + "\"a\"=hex:01,zz,03\n", 4, "bad hex byte \"zz\""},
      {key + "\"a\"=hex:01,\\\n  02,1234\n", 5, "bad hex byte \"1234\""},
      {key + "\"a\"=hex:01,02,\\\n", 4, "file ends inside a continued hex list"},
      {key + "\"a\"=dword:123456789\n", 4, "dword: needs 1 to 8 hex digits"},
      {key + "\"a\"=dword:\n", 4, "dword: needs"},
      {key + "\"a\"=hex(x1):00\n", 4, "hex(N): needs"},
      {key + "\"a\"=str:abc\n", 4, "unknown value data"},
      {key + "\"a\"\"b\"\n", 4, "\"=\" expected"},
      {key + "\"a\"=\"x\" trailing\n", 4, "unexpected text after the string"},
      {key + "\"a\"=\"C:\\Program Files\"\n", 4, "unknown escape \"\\P\""},
      {key + "\"\"=\"x\"\n", 4, "empty value name"},
      {header + "\"a\"=\"value before any key\"\n", 3, "value line before the first key line"},
      {header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\n", 3, "key line without closing \"]\""},
      {header + "[HKEY_LOCAL_MACHINE\\X] junk\n", 3, "unexpected text after \"]\""},
      {header + "[HKEY_LOCAL_MASHINE\\SOFTWARE]\n", 3, "unknown root key \"HKEY_LOCAL_MASHINE\""},
      {header + "[HKLM\\SOFTWARE]\n", 3, "unknown root key \"HKLM\""},
      {header + "[HKEY_DYN_DATA\\X]\n", 3, "HKEY_DYN_DATA does not exist"},
      {header + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 3, "empty key name"},
      {header + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n", 3, "key name longer than 255"},
      {header + "[-HKEY_LOCAL_MACHINE]\n", 3, "a root key cannot be deleted"},
      {header + "[-HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"x\"\n", 4, "value line under a key deletion line"},
      {header + "junk\n", 3, "unexpected text \"junk\""},
      {key + "\"a\"=\"x\0y\"\n"s, 4, "NUL byte in column 7"},
      {key + "\"a\"=\"\x1b[31m\"\n", 4, "control character 0x1b"},
      {key + "\"a\"=\"\xC3\x28\"\n", 4, "not valid UTF-8"},
      {key + "\"a\"=\"\xED\xA0\x80\"\n", 4, "not valid UTF-8"},  // an encoded surrogate
  };
  for (const Case& c : cases) {
    const auto error = ParseError(c.text);
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message << "\n" << c.text;
  }
}

TEST(RegistryTextTest, OversizedValuesAndDepthAreRefusedAtTheirLine) {
  const std::string key = "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n";
  // A 10 MB value, as hex and as a string: refused, not swallowed.
  std::string hex = key + "\"big\"=hex:00";
  for (int i = 0; i < 10 * 1024 * 1024 / 16; ++i) hex += ",00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00";
  auto error = ParseError(hex + "\n");
  EXPECT_EQ(error.line, 3u);
  EXPECT_NE(error.message.find("value larger than 1048576 bytes"), std::string::npos);
  error = ParseError(key + "\"big\"=\"" + std::string(10 * 1024 * 1024, 'x') + "\"\n");
  EXPECT_EQ(error.line, 3u);
  EXPECT_NE(error.message.find("string longer than"), std::string::npos);
  // Exactly the limit is fine.
  const RegKeyNode top = Load(key + "\"max\"=\"" + std::string(velkaro::kMaxValueSize - 1, 'x') + "\"\n");
  EXPECT_EQ(Key(top, {"HKEY_LOCAL_MACHINE", "X"}).FindValue("max")->data.size(), velkaro::kMaxValueSize);

  std::string deep = "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE";
  for (std::size_t i = 0; i <= velkaro::kMaxKeyDepth; ++i) deep += "\\k";
  error = ParseError(deep + "]\n");
  EXPECT_EQ(error.line, 2u);
  EXPECT_NE(error.message.find("deeper than 512"), std::string::npos);
}
