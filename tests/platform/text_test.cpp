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
