// Service registration as a systemd unit, against a temporary unit folder.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "Service.h"
#include "ServiceControl.h"
#include "ServiceTestSupport.h"

namespace corvane::test {
namespace {

class ServiceInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(units_.Path().empty());
    setenv("CORVANE_SYSTEMD_DIR", units_.Path().c_str(), 1);
  }
  void TearDown() override { unsetenv("CORVANE_SYSTEMD_DIR"); }

  std::string Unit(const std::string& file) {
    std::string text;
    ReadTextFile(units_ / file, &text);
    return text;
  }

  TempFolder units_;
};

TEST_F(ServiceInstallTest, UnitNamesKeepOnlyCharactersSystemdAllows) {
  EXPECT_EQ(platform::ServiceUnitName("Talvenor Discovery Service"), "Talvenor-Discovery-Service.service");
  EXPECT_EQ(platform::ServiceUnitName("a/b\\c@d_e.f:g-h"), "a-b-c-d_e.f:g-h.service");
}

TEST_F(ServiceInstallTest, UnitFolderComesFromTheEnvironment) {
  EXPECT_EQ(platform::ServiceUnitDirectory(), units_.Path());
  setenv("CORVANE_SYSTEMD_DIR", "", 1);
  EXPECT_EQ(platform::ServiceUnitDirectory(), "/etc/systemd/system");
}

TEST_F(ServiceInstallTest, RestartOnFailureAndDependenciesShapeTheUnit) {
  ASSERT_TRUE(InstallService("\"/opt/x/app\"", "My App", "My App", "", std::string("db\0cache", 8), true));
  EXPECT_EQ(Unit("My-App.service"),
            "# My App\n"
            "[Unit]\n"
            "After=network.target db.service cache.service\n"
            "Requires=db.service cache.service\n"
            "StartLimitIntervalSec=0\n"
            "\n"
            "[Service]\n"
            "Type=simple\n"
            "ExecStart=\"/opt/x/app\"\n"
            "Restart=on-failure\n"
            "RestartSec=1\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
  EXPECT_TRUE(UninstallService("My App"));
  EXPECT_FALSE(UninstallService("My App"));
}

TEST_F(ServiceInstallTest, LineBreaksInAnyFieldRefuseTheInstall) {
  EXPECT_FALSE(InstallService("\"/opt/x/app\"\nExecStartPre=/bin/sh", "S", "S", "d", "", false));
  EXPECT_FALSE(InstallService("\"/opt/x/app\"", "S", "S\n[Service]", "d", "", false));
  EXPECT_FALSE(InstallService("\"/opt/x/app\"", "S", "S", "d\rx", "", false));
  EXPECT_FALSE(InstallService("\"/opt/x/app\"", "S", "S", "d", "a\nb", false));
  EXPECT_FALSE(InstallService("\"/opt/x/app\"", "S\n", "S", "d", "", false));
  EXPECT_FALSE(InstallService("", "S", "S", "d", "", false));
  EXPECT_FALSE(InstallService("\"\"", "S", "S", "d", "", false));
  EXPECT_FALSE(InstallService("\"/opt/x/app", "S", "S", "d", "", false));
  EXPECT_FALSE(InstallService("\"/opt/\"x/app\"", "S", "S", "d", "", false));
  struct stat st;
  EXPECT_NE(stat((units_ / "S.service").c_str(), &st), 0);
}

TEST_F(ServiceInstallTest, PercentSignsAreKeptFromSpecifierExpansion) {
  ASSERT_TRUE(InstallService("/opt/50%/app", "S", "S", "100% up", "", false));
  std::string unit = Unit("S.service");
  EXPECT_NE(unit.find("\nDescription=100%% up\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nExecStart=/opt/50%%/app\n"), std::string::npos) << unit;
}

TEST_F(ServiceInstallTest, DollarSignsAreKeptFromVariableExpansion) {
  ASSERT_TRUE(InstallService("\"/opt/$HOME/${USER}/app\"", "S", "S", "costs $5", "", false));
  std::string unit = Unit("S.service");
  EXPECT_NE(unit.find("\nExecStart=\"/opt/$$HOME/$${USER}/app\"\n"), std::string::npos) << unit;
  // Only the command line expands variables.
  EXPECT_NE(unit.find("\nDescription=costs $5\n"), std::string::npos) << unit;
}

TEST_F(ServiceInstallTest, UnwritableUnitFolderFails) {
  // A file where the folder should be: nothing can be created in it.
  ASSERT_TRUE(WriteTextFile(units_ / "plain", "x"));
  setenv("CORVANE_SYSTEMD_DIR", (units_ / "plain").c_str(), 1);
  EXPECT_FALSE(InstallService("\"/opt/x/app\"", "S", "S", "d", "", false));
  EXPECT_FALSE(UninstallService("S"));
}

TEST_F(ServiceInstallTest, ExistingUnitIsNeitherReplacedNorFollowed) {
  // A symbolic link in place of the unit must not redirect the write.
  ASSERT_EQ(symlink((units_ / "target").c_str(), (units_ / "S.service").c_str()), 0);
  EXPECT_FALSE(InstallService("\"/opt/x/app\"", "S", "S", "d", "", false));
  struct stat st;
  EXPECT_NE(stat((units_ / "target").c_str(), &st), 0);
}

}  // namespace
}  // namespace corvane::test
