// libzelbric, the CT-API over PC/SC, against the private pcscd.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "card/ct_api.h"
#include "platform/system_files.h"
#include "pcsc_calls.h"
#include "sandbox_environment.h"

namespace {

using namespace testing_support;

const auto* const g_environment = PcscdSandboxEnvironment::Install(VELKARO_TEST_DATA "/sim/driver");

// Ports follow pcsc-lite's reader list (see tests/data/sim/driver).
constexpr std::uint16_t kPortEmptySlot = 1;  // VELKARO CL 3700 00 00
constexpr std::uint16_t kPortCt200 = 3;      // VELKARO CT 200 01 00
constexpr std::uint16_t kPortMute = 5;       // VELKARO CT 110 03 00
constexpr std::uint16_t kCtn = 1;

// The library, loaded from the build tree.
class CtApi {
 public:
  CtApi() : m_module(dlopen(VELKARO_ZELBRIC, RTLD_NOW | RTLD_LOCAL)) {
    if (!m_module) return;
    init = reinterpret_cast<CCtApi::InitFunction>(dlsym(m_module, "CT_init"));
    data = reinterpret_cast<CCtApi::DataFunction>(dlsym(m_module, "CT_data"));
    close = reinterpret_cast<CCtApi::CloseFunction>(dlsym(m_module, "CT_close"));
  }
  ~CtApi() {
    if (m_module) dlclose(m_module);
  }
  bool Loaded() const { return init && data && close; }

  struct Answer {
    std::int8_t result;
    Bytes bytes;
    std::uint8_t dad, sad;
  };
  Answer Send(std::uint8_t destination, const Bytes& command) const {
    Answer answer{0, Bytes(512), destination, 2};
    std::uint16_t length = static_cast<std::uint16_t>(answer.bytes.size());
    answer.result = data(kCtn, &answer.dad, &answer.sad, static_cast<std::uint16_t>(command.size()), command.data(),
                         &length, answer.bytes.data());
    answer.bytes.resize(answer.result == 0 ? length : 0);
    return answer;
  }
  Bytes Terminal(const Bytes& command) const { return Send(1, command).bytes; }

  CCtApi::InitFunction init = nullptr;
  CCtApi::DataFunction data = nullptr;
  CCtApi::CloseFunction close = nullptr;

 private:
  void* m_module;
};

Bytes With(Bytes data, std::initializer_list<std::uint8_t> sw) {
  data.insert(data.end(), sw);
  return data;
}

const Bytes kCt200Atr = {0x3B, 0xDA, 0x18, 0xFF, 0x81, 0xB1, 0xFE, 0x75, 0x1F, 0x03, 0x00,
                         0x31, 0xC5, 0x73, 0xC0, 0x01, 0x40, 0x00, 0x90, 0x00, 0x0C};

TEST(CtApiTest, EveryPortAnswersTheNameOfItsReader) {
  VELKARO_REQUIRE_SANDBOX();
  CtApi api;
  ASSERT_TRUE(api.Loaded()) << dlerror();
  const std::vector<std::string> readers = Sandbox().ListReaders();
  ASSERT_EQ(readers.size(), 6u);
  for (std::uint16_t port = 1; port <= readers.size(); ++port) {
    ASSERT_EQ(api.init(kCtn, port), 0) << port;
    const auto answer = api.Send(1, {0x20, 0xFF, 0x00, 0x00, 0x00});
    EXPECT_EQ(answer.result, 0);
    EXPECT_EQ(answer.bytes, With(Bytes(readers[port - 1].begin(), readers[port - 1].end()), {0x90, 0x00}));
    EXPECT_EQ(answer.dad, 2) << "the answer goes to the host";
    EXPECT_EQ(answer.sad, 1) << "from the terminal";
    EXPECT_EQ(api.close(kCtn), 0);
  }
  EXPECT_NE(api.init(kCtn, static_cast<std::uint16_t>(readers.size() + 1)), 0) << "no reader at that port";
  EXPECT_NE(api.init(kCtn, 0), 0);
}

TEST(CtApiTest, TheToolFindsEachReadersPort) {
  VELKARO_REQUIRE_SANDBOX();
  // The tool asks the library that the file search finds, here through the
  // program's run path, so the reader tabs and the General page agree.
  const auto found = velkaro::FindSystemFile("libzelbric.so");
  ASSERT_TRUE(found);
  EXPECT_EQ(std::filesystem::canonical(*found), std::filesystem::canonical(VELKARO_ZELBRIC));
  const CCtApi api;
  ASSERT_TRUE(api.IsUsable());
  const std::vector<std::string> readers = Sandbox().ListReaders();
  for (std::size_t i = 0; i < readers.size(); ++i) EXPECT_EQ(api.GetCtApiPort(readers[i]), std::to_string(i + 1));
  EXPECT_EQ(api.GetCtApiPort("VELKARO CT 900 Secure 00 00"), "n/a");
}

TEST(CtApiTest, BasicCommandsDriveTheCard) {
  VELKARO_REQUIRE_SANDBOX();
  CtApi api;
  ASSERT_TRUE(api.Loaded());
  ASSERT_EQ(api.init(kCtn, kPortCt200), 0);
  EXPECT_EQ(api.Terminal({0x20, 0x13, 0x00, 0x80, 0x00}), (Bytes{0x01, 0x90, 0x00})) << "present, not activated";
  EXPECT_EQ(api.Terminal({0x20, 0x12, 0x01, 0x01, 0x00}), With(kCt200Atr, {0x90, 0x01}));
  EXPECT_EQ(api.Terminal({0x20, 0x12, 0x01, 0x01, 0x00}), (Bytes{0x62, 0x01})) << "already activated";
  EXPECT_EQ(api.Terminal({0x20, 0x13, 0x00, 0x80, 0x00}), (Bytes{0x05, 0x90, 0x00}));

  const auto apdu = api.Send(0, {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00});
  EXPECT_EQ(apdu.result, 0);
  EXPECT_EQ(apdu.bytes, (Bytes{0x6F, 0x04, 0x84, 0x02, 0x3F, 0x00, 0x90, 0x00}));
  EXPECT_EQ(apdu.sad, 0) << "from the card";

  EXPECT_EQ(api.Terminal({0x20, 0x11, 0x01, 0x02, 0x00}),
            (Bytes{0x00, 0x31, 0xC5, 0x73, 0xC0, 0x01, 0x40, 0x00, 0x90, 0x00, 0x90, 0x01}))
      << "reset with the historical bytes";
  EXPECT_EQ(api.Terminal({0x20, 0x15, 0x01, 0x00}), (Bytes{0x90, 0x00}));
  EXPECT_EQ(api.Terminal({0x20, 0x13, 0x00, 0x80, 0x00}), (Bytes{0x01, 0x90, 0x00}));
  EXPECT_EQ(api.Terminal({0x20, 0x77, 0x00, 0x00}), (Bytes{0x6D, 0x00}));
  EXPECT_EQ(api.Terminal({0x00, 0x12, 0x01, 0x00}), (Bytes{0x6E, 0x00}));
  EXPECT_EQ(api.close(kCtn), 0);
}

TEST(CtApiTest, EmptyAndMuteReadersRefuseTheCardRequest) {
  VELKARO_REQUIRE_SANDBOX();
  CtApi api;
  ASSERT_TRUE(api.Loaded());
  ASSERT_EQ(api.init(kCtn, kPortEmptySlot), 0);
  EXPECT_EQ(api.Terminal({0x20, 0x12, 0x01, 0x00, 0x00}), (Bytes{0x62, 0x00}));
  EXPECT_EQ(api.Terminal({0x20, 0x13, 0x00, 0x80, 0x00}), (Bytes{0x00, 0x90, 0x00}));
  EXPECT_EQ(api.Send(0, {0x00, 0xB0, 0x00, 0x00, 0x00}).result, -10) << "ERR_TRANS: no card to talk to";
  EXPECT_EQ(api.close(kCtn), 0);

  ASSERT_EQ(api.init(kCtn, kPortMute), 0);
  EXPECT_EQ(api.Terminal({0x20, 0x12, 0x01, 0x00, 0x00}), (Bytes{0x64, 0x00}));
  EXPECT_EQ(api.close(kCtn), 0);
}

TEST(CtApiTest, CloseReleasesTheTerminalAndItsCard) {
  VELKARO_REQUIRE_SANDBOX();
  CtApi api;
  ASSERT_TRUE(api.Loaded());
  ASSERT_EQ(api.init(kCtn, kPortCt200), 0);
  EXPECT_NE(api.init(kCtn, kPortCt200), 0) << "the terminal number is taken";
  ASSERT_EQ(api.Terminal({0x20, 0x12, 0x01, 0x00, 0x00}), (Bytes{0x90, 0x01}));

  ScopedContext context;
  const std::string reader = Sandbox().ListReaders()[kPortCt200 - 1];
  EXPECT_EQ(ScopedCard(context.Get(), reader, SCARD_SHARE_EXCLUSIVE).Result(), SCARD_E_SHARING_VIOLATION);
  EXPECT_EQ(api.close(kCtn), 0);
  EXPECT_EQ(ScopedCard(context.Get(), reader, SCARD_SHARE_EXCLUSIVE).Result(), SCARD_S_SUCCESS);

  EXPECT_NE(api.close(kCtn), 0);
  EXPECT_NE(api.Send(1, {0x20, 0xFF, 0x00, 0x00, 0x00}).result, 0);
}

}  // namespace
