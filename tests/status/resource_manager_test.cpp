#include "status/resource_manager.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <utime.h>

#include <ctime>
#include <filesystem>

#include "fakes.h"
#include "platform/service_state.h"
#include "status/os_code.h"
#include "temp_dir.h"

using testing_support::TempDir;
using velkaro::ServiceRunState;
using velkaro::ServiceStartType;
using velkaro::VER_PLATFORM_WIN32_NT;
using velkaro::VER_PLATFORM_WIN32_WINDOWS;

namespace {

class FakeServiceControl final : public velkaro::IServiceControl {
 public:
  FakeServiceControl() { velkaro::InstallServiceControl(this); }
  ~FakeServiceControl() override { velkaro::InstallServiceControl(nullptr); }

  bool QueryServiceState(const std::string& name, std::uint32_t& state) override {
    asked.push_back(name);
    if (!serviceState) return false;
    state = *serviceState;
    return true;
  }
  velkaro::SmartCardServiceStatus QuerySmartCardService(velkaro::PcscdReply reply) override {
    replies.push_back(reply);
    return pcscd;
  }
  std::string WindowsDirectory() override { return windowsDirectory; }

  std::optional<std::uint32_t> serviceState;
  velkaro::SmartCardServiceStatus pcscd;
  std::string windowsDirectory;
  std::vector<std::string> asked;
  std::vector<velkaro::PcscdReply> replies;
};

constexpr char kService[] = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SCardSvr]\n";
constexpr char kHelper[] = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SCardDrv]\n";
constexpr char kGoodAccount[] = "\"ObjectName\"=\"NT AUTHORITY\\\\LocalService\"\n";

class ResourceManagerTest : public ::testing::Test {
 protected:
  ~ResourceManagerTest() override { unsetenv("VELKARO_REGISTRY"); }

  // A fresh settings store holding these keys.
  void Store(const std::string& keys) {
    const std::string path = dir.Write("store" + std::to_string(++stores) + ".reg",
                                       "Windows Registry Editor Version 5.00\n\n" + keys);
    setenv("VELKARO_REGISTRY", path.c_str(), 1);
  }

  TempDir dir;
  int stores = 0;
  testing_support::FakeSystemInfo system;
  FakeServiceControl services;
};

}  // namespace

TEST_F(ResourceManagerTest, UnknownAndUnreadableSystems) {
  system.SetWindows(VER_PLATFORM_WIN32_NT, 6, 2);  // Windows 8
  EXPECT_EQ(CheckResourceManager(), RMS_UNKNOWN_OS);
  EXPECT_STREQ(ResourceManagerStatusText(RMS_UNKNOWN_OS), "Unknown OS");
  system.version.reset();
  EXPECT_EQ(CheckResourceManager(), RMS_GENERAL_ERROR);
}

TEST_F(ResourceManagerTest, Nt4DecidesByStartTypeAlone) {
  system.SetWindows(VER_PLATFORM_WIN32_NT, 4, 0);
  Store(std::string(kService) + "\"Start\"=dword:00000002\n");
  services.serviceState = velkaro::SERVICE_STOPPED;
  EXPECT_EQ(CheckResourceManager(), RMS_RUNNING);
  EXPECT_TRUE(services.asked.empty());
  Store(std::string(kService) + "\"Start\"=dword:00000003\n");
  EXPECT_EQ(CheckResourceManager(), RMS_MANUAL);
  Store(std::string(kService) + "\"Start\"=dword:00000004\n");
  EXPECT_EQ(CheckResourceManager(), RMS_DISABLED);
}

TEST_F(ResourceManagerTest, BaseComponentsComeFirst) {
  system.SetWindows(VER_PLATFORM_WIN32_NT, 5, 0);
  Store(std::string(kService) + "\"Start\"=dword:00000004\n\"DependOnGroup\"=\"SmartCardGroup\"\n");
  EXPECT_EQ(CheckResourceManager(), RMS_WRONG_BASE_COMPONENTS);
  Store("");
  EXPECT_EQ(CheckResourceManager(), RMS_WRONG_BASE_COMPONENTS);
  Store(std::string(kService) + "\"DependOnGroup\"=\"\"\n");
  services.serviceState = velkaro::SERVICE_RUNNING;
  EXPECT_EQ(CheckResourceManager(), RMS_RUNNING);
}

TEST_F(ResourceManagerTest, ServiceAccountOnEarlyWindowsXpOnly) {
  const std::string wrong = "\"ObjectName\"=\"LocalSystem\"\n";
  services.serviceState = velkaro::SERVICE_RUNNING;

  system.SetWindows(VER_PLATFORM_WIN32_NT, 5, 1, "Service Pack 3");
  Store(std::string(kService) + wrong);
  EXPECT_EQ(CheckResourceManager(), RMS_RUNNING);

  system.SetWindows(VER_PLATFORM_WIN32_NT, 5, 1, "");
  Store(std::string(kService) + kGoodAccount);  // helper key missing
  EXPECT_EQ(CheckResourceManager(), RMS_OBJECTNAME_INVALID);

  system.SetWindows(VER_PLATFORM_WIN32_NT, 5, 1, "Service Pack 1a");
  Store(std::string(kService) + "\"ObjectName\"=\"NT AUTHORITY\\\\localservice\"\n" + kHelper);
  EXPECT_EQ(CheckResourceManager(), RMS_OBJECTNAME_INVALID);

  Store(std::string(kService) + kGoodAccount + kHelper + kGoodAccount);
  EXPECT_EQ(CheckResourceManager(), RMS_RUNNING);
  Store(std::string(kService) + kHelper);  // no account values: passes
  EXPECT_EQ(CheckResourceManager(), RMS_RUNNING);
}

TEST_F(ResourceManagerTest, StartTypeAndServiceState) {
  system.SetWindows(VER_PLATFORM_WIN32_NT, 6, 1);
  Store(std::string(kService) + "\"Start\"=dword:00000003\n");
  services.serviceState = velkaro::SERVICE_RUNNING;
  EXPECT_EQ(CheckResourceManager(), RMS_RUNNING);
  services.serviceState = velkaro::SERVICE_STOPPED;
  EXPECT_EQ(CheckResourceManager(), RMS_MANUAL);
  services.serviceState.reset();
  EXPECT_EQ(CheckResourceManager(), RMS_DISABLED);

  Store(std::string(kService) + "\"Start\"=dword:00000002\n");
  services.serviceState = velkaro::SERVICE_START_PENDING;
  EXPECT_EQ(CheckResourceManager(), RMS_DISABLED);
  services.serviceState = velkaro::SERVICE_STOPPED;
  EXPECT_EQ(CheckResourceManager(), RMS_STOPPED);
  Store(std::string(kService));  // no start type
  EXPECT_EQ(CheckResourceManager(), RMS_STOPPED);
  EXPECT_EQ(services.asked.back(), "ScardSvr");
}

TEST_F(ResourceManagerTest, Windows95Family) {
  system.SetWindows(VER_PLATFORM_WIN32_WINDOWS, 4, 10, " A ");
  EXPECT_EQ(CheckResourceManager(), RMS_GENERAL_ERROR);  // no Windows directory

  services.windowsDirectory = dir / "WINDOWS";
  const std::string smclib = dir.Write("WINDOWS/system32/drivers/smclib.sys", "driver");
  std::tm when{};
  when.tm_year = 97;
  when.tm_mon = 5;
  when.tm_mday = 1;
  const utimbuf times{timegm(&when), timegm(&when)};
  ASSERT_EQ(::utime(smclib.c_str(), &times), 0);
  Store("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunServices]\n\"ScardSvr\"=\"scardsvr.exe\"\n");
  EXPECT_EQ(CheckResourceManager(), RMS_OLD_SMCLIB);

  std::filesystem::remove(smclib);
  EXPECT_EQ(CheckResourceManager(), RMS_RUNNING);
  Store("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunServices]\n\"DelayedScardSvr\"=\"x\"\n");
  EXPECT_EQ(CheckResourceManager(), RMS_RUNNING);
  Store("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunServices]\n\"Other\"=\"x\"\n");
  EXPECT_EQ(CheckResourceManager(), RMS_NOT_INSTALLED);
  Store("");
  EXPECT_EQ(CheckResourceManager(), RMS_NOT_INSTALLED);
}

TEST_F(ResourceManagerTest, LinuxFollowsPcscdStartTypeAndState) {
  struct Case {
    bool installed;
    ServiceStartType start;
    ServiceRunState run;
    RmStatus expected;
  };
  const Case cases[] = {
      {false, ServiceStartType::kUnknown, ServiceRunState::kStopped, RMS_NOT_INSTALLED},
      {false, ServiceStartType::kUnknown, ServiceRunState::kRunning, RMS_RUNNING},
      {true, ServiceStartType::kDisabled, ServiceRunState::kRunning, RMS_DISABLED},
      {true, ServiceStartType::kManual, ServiceRunState::kRunning, RMS_RUNNING},
      {true, ServiceStartType::kManual, ServiceRunState::kStopped, RMS_MANUAL},
      {true, ServiceStartType::kManual, ServiceRunState::kPending, RMS_MANUAL},
      {true, ServiceStartType::kAutomatic, ServiceRunState::kRunning, RMS_RUNNING},
      {true, ServiceStartType::kAutomatic, ServiceRunState::kStopped, RMS_STOPPED},
      {true, ServiceStartType::kAutomatic, ServiceRunState::kPending, RMS_DISABLED},
      {true, ServiceStartType::kUnknown, ServiceRunState::kStopped, RMS_STOPPED},
      {true, ServiceStartType::kUnknown, ServiceRunState::kUnknown, RMS_DISABLED},
      // pcscd takes connections and does not answer: neither running nor stopped.
      {true, ServiceStartType::kAutomatic, ServiceRunState::kNotAnswering, RMS_NOT_ANSWERING},
      {true, ServiceStartType::kManual, ServiceRunState::kNotAnswering, RMS_NOT_ANSWERING},
      {true, ServiceStartType::kUnknown, ServiceRunState::kNotAnswering, RMS_NOT_ANSWERING},
      {true, ServiceStartType::kDisabled, ServiceRunState::kNotAnswering, RMS_DISABLED},
  };
  for (const Case& c : cases) {
    services.pcscd = {c.installed, c.start, c.run};
    EXPECT_EQ(CheckResourceManager(), c.expected)
        << c.installed << " " << static_cast<int>(c.start) << " " << static_cast<int>(c.run);
  }
  // The caller's word on pcscd reaches the service control.
  CheckResourceManager(true);
  CheckResourceManager(velkaro::PcscdReply::kNoAnswer);
  CheckResourceManager();
  EXPECT_EQ(std::vector(services.replies.end() - 3, services.replies.end()),
            (std::vector{velkaro::PcscdReply::kAnswered, velkaro::PcscdReply::kNoAnswer, velkaro::PcscdReply::kNotAsked}));
}

TEST(ResourceManagerTextTest, EveryCodeHasItsText) {
  EXPECT_STREQ(ResourceManagerStatusText(RMS_RUNNING), "Started and Running");
  EXPECT_STREQ(ResourceManagerStatusText(RMS_GENERAL_ERROR), "General Error");
  EXPECT_STREQ(ResourceManagerStatusText(RMS_DISABLED), "is 'Disabled'");
  EXPECT_STREQ(ResourceManagerStatusText(RMS_MANUAL), "is configured as 'Manual'");
  EXPECT_STREQ(ResourceManagerStatusText(RMS_OBJECTNAME_INVALID), "ObjectName is invalid (reinstalled)");
  EXPECT_STREQ(ResourceManagerStatusText(RMS_WRONG_BASE_COMPONENTS), "Wrong Version of SC Base Components");
  EXPECT_STREQ(ResourceManagerStatusText(RMS_OLD_SMCLIB), "Old SMCLIB");
  EXPECT_STREQ(ResourceManagerStatusText(RMS_NOT_INSTALLED), "Not installed properly!");
  EXPECT_STREQ(ResourceManagerStatusText(RMS_STOPPED), "is 'Stopped'");
  EXPECT_STREQ(ResourceManagerStatusText(0x80008107), "State of Resource Manager unknown !");
  EXPECT_STREQ(ResourceManagerStatusText(RMS_NOT_ANSWERING), "State of Resource Manager unknown !");
}
