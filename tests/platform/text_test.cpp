#include "platform/text.h"

#include <gtest/gtest.h>

using velkaro::CompareNoCase;
using velkaro::EqualsNoCase;
using velkaro::Format;
using velkaro::ToUpper;

TEST(TextTest, UpperCasesAsciiAndUtf8Letters) {
  EXPECT_EQ(ToUpper("Acme Reader 3b ?? !!"), "ACME READER 3B ?? !!");
  // One character in, one character out: ß has no single upper-case letter.
  EXPECT_EQ(ToUpper("Lesegerät für Straße"), "LESEGERÄT FÜR STRAßE");
  EXPECT_EQ(ToUpper("gerät"), "GERÄT");
  EXPECT_EQ(ToUpper("čtečka"), "ČTEČKA");
}

TEST(TextTest, UpperCasingKeepsInvalidUtf8Bytes) {
  const std::string junk("a\xff\xc3(b\xe2\x82", 7);
  EXPECT_EQ(ToUpper(junk), std::string("A\xff\xc3(B\xe2\x82", 7));
}

TEST(TextTest, FormatsLikePrintf) {
  EXPECT_EQ(Format("%s%ld", "MFILE", 12L), "MFILE12");
  EXPECT_EQ(Format("%u.%u.%u.%u", 10u, 0u, 0u, 255u), "10.0.0.255");
  EXPECT_EQ(Format("%s", std::string(1000, 'z').c_str()).size(), 1000u);
}

TEST(TextTest, ComparesNamesWithoutCase) {
  EXPECT_TRUE(EqualsNoCase("Reg_AllOS", "REG_ALLOS"));
  EXPECT_FALSE(EqualsNoCase("Reg_AllOS", "Reg_AllOS2"));
  EXPECT_LT(CompareNoCase("abc", "ABD"), 0);
  EXPECT_GT(CompareNoCase("b", "A"), 0);
  EXPECT_LT(CompareNoCase("ab", "AB_"), 0);
}

TEST(TextTest, EscapesControlsAndBytesThatAreNotUtf8) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain \\path\\ ok", "plain \\path\\ ok"},
      {"\x1b]0;pwned\x07", "\\x1B]0;pwned\\x07"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"tab\there\r\nend\x1f", "tab\\x09here\\x0D\\x0Aend\\x1F"},
      {"del\x7f~", "del\\x7F~"},
      // C1 controls in UTF-8: every byte of the character is shown.
      {"\xc2\x80|\xc2\x85|\xc2\x9f", "\\xC2\\x80|\\xC2\\x85|\\xC2\\x9F"},
      {"\xc2\xa0\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80", "\xc2\xa0\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"\xff\xfe", "\\xFF\\xFE"},
      {"\xc0\xaf\xe0\x80\xaf", "\\xC0\\xAF\\xE0\\x80\\xAF"},  // overlong
      {"\xed\xa0\x80", "\\xED\\xA0\\x80"},                  // a surrogate
      {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},        // past U+10FFFF
      {"\xe2\x82x\xc3", "\\xE2\\x82x\\xC3"},               // cut short
      {"\x80\xbf", "\\x80\\xBF"},                          // continuations alone
  };
  for (const Case& c : cases) EXPECT_EQ(velkaro::EscapeControls(c.in), c.out) << c.in;
}
