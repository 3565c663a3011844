// The service object's configuration reads, logger set-up and singleton.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "DiscoveryServiceMain.h"
#include "Result.h"
#include "ServiceTestSupport.h"

namespace corvane::test {
namespace {

class ServiceMainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(config_.Path().empty());
    ASSERT_FALSE(data_.Path().empty());
  }
  bool Configure(const std::string& text) { return config_.Write(text); }
  std::string LogFolder() { return data_ / "Corvane/Talvenor/DiscoveryService/Logs"; }

  TempConfigRoot config_;
  TempDataRoot data_;
};

TEST_F(ServiceMainTest, DefaultsWithoutConfiguration) {
  EXPECT_EQ(ReadHttpPort(), 80);
  EXPECT_FALSE(ReadDisableV1());
  EXPECT_EQ(ReadLogLevel(), 0u);
}

TEST_F(ServiceMainTest, ValuesFromTheConfigurationFile) {
  // Only the low 16 bits of httpPort are the port.
  ASSERT_TRUE(Configure("httpPort=0x10050\ndisablev1=1\nLogLevel=3\n"));
  EXPECT_EQ(ReadHttpPort(), 80);
  EXPECT_TRUE(ReadDisableV1());
  EXPECT_EQ(ReadLogLevel(), 3u);

  ASSERT_TRUE(Configure("# site settings\r\nHTTPPORT = 8080\r\ndisablev1=0x7\r\nloglevel=junk\r\n"));
  EXPECT_EQ(ReadHttpPort(), 8080);
  EXPECT_TRUE(ReadDisableV1());  // any non-zero value
  EXPECT_EQ(ReadLogLevel(), 0u);  // unreadable: the default

  ASSERT_TRUE(Configure("httpPort=0\ndisablev1=0\nLogLevel=-1\n"));
  EXPECT_EQ(ReadHttpPort(), 0);
  EXPECT_FALSE(ReadDisableV1());
  EXPECT_EQ(ReadLogLevel(), 0u);
}

TEST_F(ServiceMainTest, SingletonConfiguresTheLoggerOnce) {
  ASSERT_TRUE(Configure("LogLevel=3\n"));
  TalvenorDiscoveryServiceMain* first = nullptr;
  TalvenorDiscoveryServiceMain* second = nullptr;
  ASSERT_EQ(GetServiceInstance(&first), 0);
  ASSERT_EQ(GetServiceInstance(&second), 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->GetRefCount(), 3);  // the process's and ours
  EXPECT_EQ(first->GetServiceName(), "Talvenor Discovery Service");
  EXPECT_EQ(first->GetDisplayName(), "Talvenor Discovery Service");
  EXPECT_EQ(first->GetDescription(), "Provides Talvenor Display Name Resolution");
  EXPECT_EQ(first->GetPersistent(), nullptr);

  IService* object = nullptr;
  ASSERT_EQ(GetServiceObject(&object), 0);
  EXPECT_EQ(object, static_cast<IService*>(first));
  object->Release();

  // With LogLevel 3 the set-up's own result line (Spew, verbosity 3) is in
  // the new store, under the set-up's name and this object's source path.
  std::string logs = ReadLogs(LogFolder());
  EXPECT_NE(logs.find("\tConfigureLogger\tRETURN Result: 0x"), std::string::npos) << logs;
  EXPECT_NE(logs.find("\tDiscoveryService/Src/DiscoveryServiceMain\t"), std::string::npos) << logs;

  second->Release();
  first->Release();
  ReleaseServiceInstance();
  TalvenorDiscoveryServiceMain* after = nullptr;
  EXPECT_EQ(GetServiceInstance(&after), Result_Fail);
  EXPECT_EQ(after, nullptr);
  ReleaseServiceInstance();  // a second release does nothing
}

}  // namespace
}  // namespace corvane::test
