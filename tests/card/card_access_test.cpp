// The run-time bound PC/SC and CT-API layers against stand-in libraries, for
// the failures a real pcscd and terminal do not produce.

#include <gtest/gtest.h>
#include <dlfcn.h>
#include <stdlib.h>

#include "card/byte_buffer.h"
#include "card/ct_api.h"
#include "card/ms_card.h"

TEST(MSCardTest, MissingLibraryAnswersNotReadyWithoutTouchingOutputs) {
  CMSCard card("libvelkaro-no-such-library.so.1");
  EXPECT_FALSE(card.IsLoaded());
  SCARDCONTEXT context = 77;
  EXPECT_EQ(card.EstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_E_NOT_READY);
  EXPECT_EQ(context, 77);
  SCARDHANDLE handle = 5;
  DWORD protocol = 9;
  EXPECT_EQ(card.Connect(context, "r", SCARD_SHARE_SHARED, 3, &handle, &protocol), SCARD_E_NOT_READY);
  EXPECT_EQ(handle, 5);
  EXPECT_EQ(card.GetStatusChange(context, 0, nullptr, 0), SCARD_E_NOT_READY);
  EXPECT_EQ(card.Cancel(context), SCARD_E_NOT_READY);
  card.Unload();  // nothing loaded: nothing to free
}

TEST(MSCardTest, LibraryWithoutOneFunctionOnlyFailsThatCall) {
  CMSCard card(VELKARO_FIXTURES "/libvelkaro_fake_pcsclite.so");
  ASSERT_TRUE(card.IsLoaded());
  SCARDCONTEXT context = 0;
  EXPECT_EQ(card.EstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  SCARDHANDLE handle = 0;
  DWORD protocol = 0;
  EXPECT_EQ(card.Connect(context, "r", SCARD_SHARE_SHARED, 3, &handle, &protocol), SCARD_S_SUCCESS);
  std::uint32_t value = 0;
  DWORD returned = 0;
  EXPECT_EQ(card.Control(handle, 1, nullptr, 0, &value, sizeof value, &returned), SCARD_S_SUCCESS);
  EXPECT_EQ(value, 0x0A0B0C0Du);
  BYTE buffer[4];
  DWORD length = sizeof buffer;
  EXPECT_EQ(card.GetAttrib(handle, SCARD_ATTR_CHANNEL_ID, buffer, &length), SCARD_E_NOT_READY);
  EXPECT_EQ(card.Disconnect(handle, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  EXPECT_EQ(card.ReleaseContext(context), SCARD_S_SUCCESS);
  card.Unload();
  EXPECT_EQ(card.EstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_E_NOT_READY);
}

namespace {

bool IsInProcess(const char* library) {
  void* module = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
  if (module) dlclose(module);
  return module != nullptr;
}

}  // namespace

TEST(MSCardTest, UnloadAndDestructionReleaseTheLibrary) {
  constexpr char kFake[] = VELKARO_FIXTURES "/libvelkaro_fake_pcsclite.so";
  ASSERT_FALSE(IsInProcess(kFake));
  {
    CMSCard card(kFake);
    EXPECT_TRUE(IsInProcess(kFake));
    card.Unload();
    EXPECT_FALSE(IsInProcess(kFake));
  }
  { CMSCard card(kFake); }
  EXPECT_FALSE(IsInProcess(kFake));
}

namespace {

int (*CtApiBalance())() {
  void* module = dlopen(VELKARO_FIXTURES "/libvelkaro_fake_ctapi.so", RTLD_NOW | RTLD_NOLOAD);
  return module ? reinterpret_cast<int (*)()>(dlsym(module, "fake_ctapi_balance")) : nullptr;
}

class CtApiTest : public ::testing::Test {
 protected:
  void SetTerminals(const char* terminals) { setenv("VELKARO_FAKE_CTAPI", terminals, 1); }
  ~CtApiTest() override { unsetenv("VELKARO_FAKE_CTAPI"); }
};

}  // namespace

TEST_F(CtApiTest, LowestPortWhoseTerminalNamesTheReaderWins) {
  SetTerminals("4=VELKARO CT 200 00 00 (second)|2=Other|3=VELKARO CT 200 00 00");
  CCtApi api(VELKARO_FIXTURES "/velkaro_fake_ctapi");
  ASSERT_TRUE(api.IsUsable());
  EXPECT_EQ(api.GetCtApiPort("VELKARO CT 200 00 00"), "3");
  EXPECT_EQ(api.GetCtApiPort("CT 200"), "3");  // part of a longer terminal name
  EXPECT_EQ(api.GetCtApiPort("velkaro ct 200 00 00"), "n/a");
  ASSERT_NE(CtApiBalance(), nullptr);
  EXPECT_EQ(CtApiBalance()(), 0);  // every opened port closed again
}

TEST_F(CtApiTest, AnswerWithoutZeroByteIsReadOnlyWithinTheBuffer) {
  SetTerminals("1=#junk|9=Reader X");
  CCtApi api(VELKARO_FIXTURES "/velkaro_fake_ctapi");
  EXPECT_EQ(api.GetCtApiPort(std::string(128, 'J')), "1");
  EXPECT_EQ(api.GetCtApiPort(std::string(129, 'J')), "n/a");
  EXPECT_EQ(api.GetCtApiPort("Reader X"), "9");
}

TEST_F(CtApiTest, MissingLibraryGivesNotAvailable) {
  CCtApi api("velkaro-no-such-ctapi");
  EXPECT_FALSE(api.IsUsable());
  EXPECT_EQ(api.GetCtApiPort("VELKARO CT 200 00 00"), "n/a");
  EXPECT_EQ(CtApiLibraryFileName("zelbric"), "libzelbric.so");
  EXPECT_EQ(CtApiLibraryFileName("/opt/x/zelbric"), "/opt/x/libzelbric.so");
}

TEST(ByteBufferTest, HexFormAndReassignment) {
  CByteBuffer buffer;
  EXPECT_EQ(buffer.ToHex(), "");
  const std::uint8_t one[] = {0x05};
  buffer.Assign(one, 1);
  EXPECT_EQ(buffer.ToHex(), "05");
  const std::uint8_t two[] = {0x3B, 0xFF, 0x00, 0x9A};
  buffer.Assign(two, 4);
  EXPECT_EQ(buffer.ToHex(), "3b ff 00 9a");
  buffer.Assign(two, 2);
  EXPECT_EQ(buffer.ToHex(), "3b ff");
  buffer.Assign(nullptr, 0);
  EXPECT_EQ(buffer.GetSize(), 0u);
  EXPECT_EQ(HexText(two), "3B FF 00 9A");
}
