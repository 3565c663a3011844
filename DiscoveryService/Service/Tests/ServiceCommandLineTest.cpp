// The executable's command line: console texts byte for byte, and what
// installing and uninstalling leave in a temporary unit folder.

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "ServiceTestSupport.h"

namespace corvane::test {
namespace {

const std::string kProgram = TDS_SERVICE_EXECUTABLE;
const std::string kUsage =
    "\n\nUsage:\n"
    "    -i     To install this as a service\n"
    "    -u     To uninstall this as a service\n"
    "    -e     To run this as an executable\n";
const std::string kInstalled = "\n\nService Installed Successfully\n";
const std::string kInstallFailed = "\n\nError Installing Service\n";
const std::string kUninstalled = "\n\nService UnInstalled Successfully\n";
const std::string kUninstallFailed = "\n\nError UnInstalling Service\n";
const std::string kUnitFile = "Talvenor-Discovery-Service.service";

std::string UnitText(const std::string& execStart) {
  return "# Talvenor Discovery Service\n"
         "[Unit]\n"
         "Description=Provides Talvenor Display Name Resolution\n"
         "After=network.target\n"
         "\n"
         "[Service]\n"
         "Type=simple\n"
         "ExecStart=" +
         execStart +
         "\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

std::string RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(units_.Path().empty());
    ASSERT_FALSE(work_.Path().empty());
    workPath_ = RealPath(work_.Path());
  }

  RunResult Run(const std::vector<std::string>& args, const std::string& cwd = "") {
    return RunToEnd(kProgram, args, {{"CORVANE_SYSTEMD_DIR", units_.Path()}, {"CORVANE_DATA_ROOT", work_.Path()}},
                    cwd.empty() ? work_.Path() : cwd);
  }

  bool UnitExists() {
    struct stat st;
    return stat((units_ / kUnitFile).c_str(), &st) == 0;
  }

  std::string Unit() {
    std::string text;
    ReadTextFile(units_ / kUnitFile, &text);
    return text;
  }

  // Installs with args and expects success and the given ExecStart value.
  void ExpectInstall(const std::vector<std::string>& args, const std::string& execStart,
                     const std::string& cwd = "") {
    SCOPED_TRACE(args.empty() ? std::string("(none)") : args[0]);
    RunResult r = Run(args, cwd);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, kInstalled);
    EXPECT_EQ(Unit(), UnitText(execStart));
    unlink((units_ / kUnitFile).c_str());
  }

  void ExpectInstallFails(const std::vector<std::string>& args) {
    SCOPED_TRACE(args[0]);
    RunResult r = Run(args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, kInstallFailed);
    EXPECT_FALSE(UnitExists());
  }

  TempFolder units_;
  TempFolder work_;
  std::string workPath_;
};

TEST_F(CommandLineTest, UnknownFirstWordsPrintTheUsage) {
  // Comparisons are exact and case-sensitive; only the first word counts.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"-I"}, {"/i"}, {"-ix"}, {""}, {"-E"}, {"/e"}, {"-U"}, {"-e2"},
                                              {"-u:"}, {"--help"}, {"x", "-e"}, {"-i;/opt"}}) {
    SCOPED_TRACE(args[0]);
    RunResult r = Run(args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, kUsage);
  }
  EXPECT_FALSE(UnitExists());
}

TEST_F(CommandLineTest, InstallFolderRules) {
  const std::string exec = "/opt/tds/TalvenorDiscoveryService";
  // With and without a trailing separator: one separator.
  ExpectInstall({"-i:/opt/tds"}, "\"" + exec + "\"");
  ExpectInstall({"-i:/opt/tds/"}, "\"" + exec + "\"");
  // An empty folder gives the root.
  ExpectInstall({"-i:"}, "\"/TalvenorDiscoveryService\"");
  // "-i" takes the current folder, not the executable's; later words are
  // ignored.
  ExpectInstall({"-i"}, "\"" + workPath_ + "/TalvenorDiscoveryService\"");
  ExpectInstall({"-i", "-u"}, "\"" + workPath_ + "/TalvenorDiscoveryService\"");
  // A relative folder is made absolute against the current folder.
  ExpectInstall({"-i:rel/dir"}, "\"" + workPath_ + "/rel/dir/TalvenorDiscoveryService\"");
  // Blanks stay inside the quotes; "%" is doubled so that systemd does not
  // read it as a specifier ("$" is not expanded in the executable's path).
  ExpectInstall({"-i:/opt/my tds"}, "\"/opt/my tds/TalvenorDiscoveryService\"");
  ExpectInstall({"-i:/opt/100%$HOME"}, "\"/opt/100%%$$HOME/TalvenorDiscoveryService\"");
}

TEST_F(CommandLineTest, InstallRefusesFoldersThatBreakTheUnit) {
  ExpectInstallFails({"-i:/opt/a\"b"});
  ExpectInstallFails({"-i:/opt/a\nb"});
  ExpectInstallFails({"-i:/opt/a\rb"});
  ExpectInstallFails({"-i:\n[Service]\nExecStartPre=/bin/sh"});
  // Characters systemd refuses in an executable's path.
  ExpectInstallFails({"-i:/opt/a\\b"});
  ExpectInstallFails({"-i:/opt/a'b"});
  ExpectInstallFails({"-i:/opt/a\tb"});
}

TEST_F(CommandLineTest, InstallOverAnExistingUnitFailsAndKeepsIt) {
  RunResult first = Run({"-i:/opt/one"});
  EXPECT_EQ(first.output, kInstalled);
  RunResult second = Run({"-i:/opt/two"});
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(second.output, kInstallFailed);
  EXPECT_EQ(Unit(), UnitText("\"/opt/one/TalvenorDiscoveryService\""));
}

TEST_F(CommandLineTest, InstallIntoAMissingUnitFolderFails) {
  RunResult r = RunToEnd(kProgram, {"-i:/opt/tds"}, {{"CORVANE_SYSTEMD_DIR", units_ / "missing"}}, work_.Path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, kInstallFailed);
}

TEST_F(CommandLineTest, UninstallRemovesTheUnitOnce) {
  RunResult missing = Run({"-u"});
  EXPECT_EQ(missing.exitCode, 0);
  EXPECT_EQ(missing.output, kUninstallFailed);

  ASSERT_EQ(Run({"-i:/opt/tds"}).output, kInstalled);
  RunResult removed = Run({"-u"});
  EXPECT_EQ(removed.exitCode, 0);
  EXPECT_EQ(removed.output, kUninstalled);
  EXPECT_FALSE(UnitExists());
  EXPECT_EQ(Run({"-u"}).output, kUninstallFailed);

  // Words after "-u" are ignored.
  ASSERT_EQ(Run({"-i:/opt/tds"}).output, kInstalled);
  EXPECT_EQ(Run({"-u", "extra"}).output, kUninstalled);
  EXPECT_FALSE(UnitExists());
}

}  // namespace
}  // namespace corvane::test
