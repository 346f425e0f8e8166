#include "rfid/rfid_settings.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/store/registry.h"
#include "rfid/card_search_settings.h"
#include "registry_fixture.h"

using testing_support::RegistryStores;

namespace {

using Bytes = std::vector<std::uint8_t>;

class RfidSettingsTest : public ::testing::Test {
 protected:
  static void CreateKey(const char* path) {
    velkaro::ScopedHKey key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr),
              ERROR_SUCCESS);
  }
  static bool KeyExists(const char* path) {
    velkaro::ScopedHKey key;
    return RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.Receive()) == ERROR_SUCCESS;
  }
  static void SetRaw(const char* path, const char* name, std::uint32_t type, const Bytes& data) {
    velkaro::ScopedHKey key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key.Get(), name, 0, type, data.data(), static_cast<std::uint32_t>(data.size())),
              ERROR_SUCCESS);
  }
  // The stored type and bytes; type 0xFFFFFFFF when there is no such value.
  static std::pair<std::uint32_t, Bytes> GetRaw(const char* path, const char* name) {
    velkaro::ScopedHKey key;
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS ||
        RegQueryValueEx(key.Get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
      return {0xFFFFFFFF, {}};
    }
    Bytes data(size);
    RegQueryValueEx(key.Get(), name, nullptr, &type, data.data(), &size);
    return {type, data};
  }

  RegistryStores m_stores;
};

}  // namespace

TEST(RfidRateCodeTest, StoredFormsFollowTheFixedRule) {
  // Page code -> per-type DWORD, and the byte of the older binary value.
  const std::uint32_t dwords[] = {255, 0, 1, 2, 3};
  const std::uint8_t legacy[] = {0, 0, 1, 2, 3};
  for (std::uint8_t code = 0; code <= 4; ++code) {
    EXPECT_EQ(RateCodeToDword(code), dwords[code]) << int(code);
    EXPECT_EQ(DwordToRateCode(dwords[code]), code) << int(code);
    EXPECT_EQ(RateCodeToLegacyByte(code), legacy[code]) << int(code);
  }
  // The older form cannot tell the default from 106 kbaud: 0 reads as 106.
  EXPECT_EQ(LegacyByteToRateCode(0), 1);
  EXPECT_EQ(LegacyByteToRateCode(3), 4);
  // Taken as a byte both ways.
  EXPECT_EQ(DwordToRateCode(0x1FF), 0);
  EXPECT_EQ(LegacyByteToRateCode(255), 0);
}

TEST(CardSearchMergeTest, CodesReuseSlotsUpToSixAndBytesAboveStayPut) {
  const struct {
    Bytes stored;
    std::vector<std::string> order;
    Bytes merged;
  } cases[] = {
      {{0x03, 0x00, 0x09, 0x01}, {"ISO14443B", "ISO14443A"}, {0x03, 0x01, 0x09}},
      // 06 is the last code: a slot like any other, dropped when unused.
      {{0x06, 0x01}, {"ISO14443A"}, {0x01}},
      {{0x06, 0x07, 0x00}, {}, {0x07}},
      // 07 is the first byte above the codes: it keeps its place.
      {{0x07, 0x06}, {"ISO14443B"}, {0x07, 0x03}},
      {{0x01, 0x07}, {"ICODE1", "ISO14443A"}, {0x06, 0x07, 0x01}},
      {{}, {"ICODE1"}, {0x06}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MergeCardSearch(c.stored, c.order), c.merged) << testing::PrintToString(c.stored);
  }
}

TEST_F(RfidSettingsTest, WriteRegBinaryPadsToFiveBytes) {
  CreateKey(kRfidKey);
  ASSERT_TRUE(WriteRegBinary(kRfidKey, kCardSearchValue, Bytes{0x03, 0x01}));
  EXPECT_EQ(GetRaw(kRfidKey, kCardSearchValue), std::make_pair(REG_BINARY, Bytes{3, 1, 0, 0, 0}));
  ASSERT_TRUE(WriteRegBinary(kRfidKey, kCardSearchValue, Bytes{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(GetRaw(kRfidKey, kCardSearchValue).second, (Bytes{1, 2, 3, 4, 5, 6, 7}));
  // No bytes delete the value; deleting what is gone is no failure.
  EXPECT_TRUE(WriteRegBinary(kRfidKey, kCardSearchValue, Bytes{}));
  EXPECT_EQ(GetRaw(kRfidKey, kCardSearchValue).first, 0xFFFFFFFFu);
  EXPECT_TRUE(WriteRegBinary(kRfidKey, kCardSearchValue, Bytes{}));
}

TEST_F(RfidSettingsTest, OnlyTheWriteOfBinaryValuesNeedsAnExistingKey) {
  EXPECT_FALSE(WriteRegBinary(kRfidKey, kCardSearchValue, Bytes{1}));
  EXPECT_FALSE(KeyExists(kRfidKey));
  EXPECT_FALSE(std::filesystem::exists(m_stores.MachinePath())) << "nothing was created";

  EXPECT_TRUE(WriteRegDword(kRateKey, "ISO14443A", 255));
  EXPECT_EQ(GetRaw(kRateKey, "ISO14443A"), std::make_pair(REG_DWORD, Bytes{255, 0, 0, 0}));
  std::uint32_t value = 0;
  EXPECT_FALSE(ReadRegDword("SYSTEM\\New\\Key", "Missing", value));
  EXPECT_TRUE(KeyExists("SYSTEM\\New\\Key")) << "reading creates the key";
  Bytes bytes;
  EXPECT_TRUE(ReadRegBinary("SYSTEM\\Other\\Key", kCardSearchValue, bytes));
  EXPECT_TRUE(bytes.empty());
  EXPECT_TRUE(KeyExists("SYSTEM\\Other\\Key"));
}

TEST_F(RfidSettingsTest, ReadRegBinaryTakesRawBytesUpTo255) {
  SetRaw(kRfidKey, "Dword", REG_DWORD, Bytes{1, 2, 3, 4});
  Bytes bytes;
  ASSERT_TRUE(ReadRegBinary(kRfidKey, "Dword", bytes));
  EXPECT_EQ(bytes, (Bytes{1, 2, 3, 4}));

  EXPECT_FALSE(ReadRegBinary(kRfidKey, "Dword", bytes)) << "the caller must pass an empty array";
  EXPECT_EQ(bytes, (Bytes{1, 2, 3, 4}));

  SetRaw(kRfidKey, "Max", REG_BINARY, Bytes(255, 7));
  bytes.clear();
  EXPECT_TRUE(ReadRegBinary(kRfidKey, "Max", bytes));
  EXPECT_EQ(bytes.size(), 255u);

  SetRaw(kRfidKey, "TooLong", REG_BINARY, Bytes(256, 7));
  bytes.clear();
  EXPECT_FALSE(ReadRegBinary(kRfidKey, "TooLong", bytes));
  EXPECT_TRUE(bytes.empty());
  EXPECT_EQ(GetRaw(kRfidKey, "TooLong").second.size(), 256u) << "a refused value is left alone";
}

TEST_F(RfidSettingsTest, ReadRegBinaryDeletesAZeroLengthValue) {
  SetRaw(kRfidKey, kCardSearchValue, REG_BINARY, Bytes{});
  Bytes bytes;
  EXPECT_TRUE(ReadRegBinary(kRfidKey, kCardSearchValue, bytes));
  EXPECT_TRUE(bytes.empty());
  EXPECT_EQ(GetRaw(kRfidKey, kCardSearchValue).first, 0xFFFFFFFFu);
}

TEST_F(RfidSettingsTest, ReadRegDwordAcceptsOnlyDwords) {
  SetRaw(kRateKey, "Dword", REG_DWORD, Bytes{0x02, 0x01, 0, 0});
  SetRaw(kRateKey, "Binary", REG_BINARY, Bytes{1, 0, 0, 0});
  SetRaw(kRateKey, "Qword", REG_QWORD, Bytes{1, 0, 0, 0, 0, 0, 0, 0});
  std::uint32_t value = 7;
  EXPECT_TRUE(ReadRegDword(kRateKey, "Dword", value));
  EXPECT_EQ(value, 258u);
  value = 7;
  EXPECT_FALSE(ReadRegDword(kRateKey, "Binary", value));
  EXPECT_FALSE(ReadRegDword(kRateKey, "Qword", value));
  EXPECT_EQ(value, 7u) << "a refused value is not handed out";
}

TEST_F(RfidSettingsTest, DeleteRegValueIsTrueWhenTheValueIsGone) {
  SetRaw(kRfidKey, kLegacyRateValue, REG_BINARY, Bytes{2, 1, 0, 0, 0});
  EXPECT_TRUE(DeleteRegValue(kRfidKey, kLegacyRateValue));
  EXPECT_EQ(GetRaw(kRfidKey, kLegacyRateValue).first, 0xFFFFFFFFu);
  EXPECT_TRUE(DeleteRegValue(kRfidKey, kLegacyRateValue)) << "no such value";
  EXPECT_TRUE(DeleteRegValue("SYSTEM\\No\\Such\\Key", kLegacyRateValue)) << "no such key";
  EXPECT_FALSE(KeyExists("SYSTEM\\No\\Such\\Key"));
}

TEST_F(RfidSettingsTest, DeleteRegValueReportsAValueItCouldNotDelete) {
  SetRaw(kRfidKey, kLegacyRateValue, REG_BINARY, Bytes{2, 1, 0, 0, 0});
  m_stores.MakeReadOnlyForChildren();
  EXPECT_EQ(testing_support::RunInChild([] { return DeleteRegValue(kRfidKey, kLegacyRateValue) ? 1 : 0; }, true), 0);
  EXPECT_EQ(GetRaw(kRfidKey, kLegacyRateValue).second, (Bytes{2, 1, 0, 0, 0}));
}

TEST_F(RfidSettingsTest, EmptyKeyOrNameIsRefusedAtOnce) {
  Bytes bytes;
  std::uint32_t value = 0;
  EXPECT_FALSE(ReadRegBinary("", kCardSearchValue, bytes));
  EXPECT_FALSE(ReadRegBinary(kRfidKey, "", bytes));
  EXPECT_FALSE(WriteRegBinary("", kCardSearchValue, Bytes{1}));
  EXPECT_FALSE(DeleteRegValue(kRfidKey, ""));
  EXPECT_FALSE(ReadRegDword(kRateKey, "", value));
  EXPECT_FALSE(WriteRegDword("", "ISO14443A", 1));
  EXPECT_FALSE(std::filesystem::exists(m_stores.MachinePath()));
}

TEST_F(RfidSettingsTest, ADamagedStoreFailsEveryHelperWithItsLine) {
  m_stores.WriteMachine("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SYSTEM\n");
  const std::string reason = "the settings store is damaged (error 1009): " + m_stores.MachinePath() + ":2: ";
  std::string why[6];
  Bytes bytes;
  std::uint32_t value = 0;
  EXPECT_FALSE(ReadRegBinary(kRfidKey, kCardSearchValue, bytes, &why[0]));
  EXPECT_FALSE(WriteRegBinary(kRfidKey, kCardSearchValue, Bytes{1}, &why[1]));
  EXPECT_FALSE(DeleteRegValue(kRfidKey, kLegacyRateValue, &why[2]));
  EXPECT_FALSE(ReadRegDword(kRateKey, "ISO14443A", value, &why[3]));
  EXPECT_FALSE(WriteRegDword(kRateKey, "ISO14443A", 1, &why[4]));
  why[5] = SettingsStoreFailure().value_or("");
  for (const std::string& text : why) EXPECT_TRUE(text.starts_with(reason)) << text;
}
