#include "Directory.h"
#include "TestDataRoot.h"
#include "TestLogCapture.h"

#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvane {
namespace {

namespace fs = std::filesystem;

// Restores an environment variable on scope exit.
class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    const char* v = std::getenv(name);
    if (v != nullptr) old_ = v;
  }
  ~EnvGuard() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  void Set(const std::string& value) { setenv(name_, value.c_str(), 1); }
  void Unset() { unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.Path().empty());
    root_ = folder_.Path();
  }

  static void WriteFile(const std::string& path, const std::string& content = "x") {
    std::ofstream(path, std::ios::binary) << content;
  }
  static unsigned Mode(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
  }

  test::TempFolder folder_{"corvane-dir"};
  std::string root_;
};

TEST_F(DirectoryTest, PlantedLinksAndOtherUsersFoldersBelowTheBaseAreNotUsed) {
  EnvGuard env("CORVANE_DATA_ROOT");
  env.Set(root_);
  std::string victim = root_ + "/victim";
  ASSERT_TRUE(CreateDirectoryPath(victim));
  test::ScopedCapture log;

  // A link in place of the last level, and in place of the first.
  ASSERT_TRUE(CreateDirectoryPath(root_ + "/Corvane/Talvenor/DiscoveryService"));
  ASSERT_EQ(symlink(victim.c_str(), (root_ + "/Corvane/Talvenor/DiscoveryService/Logs").c_str()), 0);
  std::string path;
  EXPECT_EQ(OpenDataDirectory("Corvane", "Talvenor", "DiscoveryService/Logs", false, &path), -1);
  EXPECT_EQ(path, root_ + "/Corvane/Talvenor/DiscoveryService/Logs");
  EXPECT_TRUE(log->Has(Log_Warning, "DiscoveryService/Logs is a symbolic link"));

  ASSERT_TRUE(RemoveDirectoryTree(root_ + "/Corvane"));
  ASSERT_EQ(symlink(victim.c_str(), (root_ + "/Corvane").c_str()), 0);
  EXPECT_EQ(OpenDataDirectory("Corvane", "Talvenor", "DiscoveryService/Logs", false, nullptr), -1);
  GetDataDirectory("Corvane", "Talvenor", "Logs", true, false);
  EXPECT_TRUE(fs::is_empty(victim)) << "nothing is made through the link";
  ASSERT_EQ(unlink((root_ + "/Corvane").c_str()), 0);

  // A level another user made first is not trusted either (root's are).
  ASSERT_TRUE(CreateDirectoryPath(root_ + "/Corvane/Talvenor"));
  if (geteuid() == 0) {
    ASSERT_EQ(chown((root_ + "/Corvane/Talvenor").c_str(), 4242, 4242), 0);
    EXPECT_EQ(OpenDataDirectory("Corvane", "Talvenor", "DiscoveryService/Logs", false, nullptr), -1);
    EXPECT_TRUE(log->Has(Log_Warning, "Talvenor is owned by another user"));
    ASSERT_EQ(chown((root_ + "/Corvane/Talvenor").c_str(), 0, 0), 0);
  }
  int fd = OpenDataDirectory("Corvane", "Talvenor", "DiscoveryService/Logs", false, nullptr);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
  EXPECT_EQ(Mode(root_ + "/Corvane/Talvenor/DiscoveryService/Logs"), 01777u);
}

TEST_F(DirectoryTest, DataDirectoryLayoutUnderTheOverrideRoot) {
  EnvGuard env("CORVANE_DATA_ROOT");
  env.Set(root_ + "/");  // a trailing separator is not doubled
  EXPECT_EQ(GetDataDirectory("", "", "", false, false), root_ + "/Corvane");
  EXPECT_FALSE(fs::exists(root_ + "/Corvane"));

  std::string logs = GetDataDirectory("Corvane", "Talvenor", "DiscoveryService/Logs", true, false);
  EXPECT_EQ(logs, root_ + "/Corvane/Talvenor/DiscoveryService/Logs");
  EXPECT_TRUE(IsDirectory(logs));
  // Every level made here is writable by everyone, sticky like /tmp.
  for (const char* level : {"/Corvane", "/Corvane/Talvenor", "/Corvane/Talvenor/DiscoveryService",
                            "/Corvane/Talvenor/DiscoveryService/Logs"}) {
    EXPECT_EQ(Mode(root_ + level), 01777u) << level;
  }
  // "\" in the company and parts reads as the separator.
  EXPECT_EQ(GetDataDirectory("Acme\\Labs", "a\\b", "", false, false), root_ + "/Acme/Labs/a/b");
}

TEST_F(DirectoryTest, PerUserFolderCarriesTheEffectiveUsersName) {
  EnvGuard env("CORVANE_DATA_ROOT");
  env.Set(root_);
  struct passwd* pw = getpwuid(geteuid());
  std::string user = pw != nullptr ? pw->pw_name : std::to_string(geteuid());
  EXPECT_EQ(GetDataDirectory("", "requests", "x", false, true), root_ + "/Corvane/" + user + "/requests/x");
}

TEST_F(DirectoryTest, BaseFolderFallsBackButNeverToTheRoot) {
  EnvGuard data("CORVANE_DATA_ROOT");
  EnvGuard tmpdir("TMPDIR");
  const bool varLibWritable = access("/var/lib", W_OK) == 0;
  const std::string viaTmp = varLibWritable ? "/var/lib/Corvane" : root_ + "/Corvane";

  data.Unset();
  tmpdir.Set(root_);
  EXPECT_EQ(GetDataDirectory("", "", "", false, false), viaTmp);
  // A root or relative override is ignored, never used.
  for (const char* bad : {"/", "//", "relative/dir", ""}) {
    data.Set(bad);
    EXPECT_EQ(GetDataDirectory("", "", "", false, false), viaTmp) << bad;
  }
  data.Unset();
  if (!varLibWritable) {
    // Neither /var/lib nor $TMPDIR usable: /tmp, not "/Corvane".
    for (const char* bad : {"/", "/nonexistent-corvane-dir", "relative"}) {
      tmpdir.Set(bad);
      EXPECT_EQ(GetDataDirectory("", "", "", false, false), "/tmp/Corvane") << bad;
    }
  }
}

TEST_F(DirectoryTest, CreatingAPathLeavesExistingLevelsAlone) {
  std::string parent = root_ + "/existing";
  ASSERT_EQ(mkdir(parent.c_str(), 0750), 0);
  ASSERT_EQ(chmod(parent.c_str(), 0750), 0);
  EXPECT_TRUE(CreateDirectoryPath(parent + "/new//deeper/"));
  EXPECT_EQ(Mode(parent), 0750u);
  EXPECT_EQ(Mode(parent + "/new"), 01777u);
  EXPECT_EQ(Mode(parent + "/new/deeper"), 01777u);
  // An existing folder: nothing to do, still true.
  EXPECT_TRUE(CreateDirectoryPath(parent));
  EXPECT_TRUE(CreateDirectoryForEveryone(parent));
  EXPECT_EQ(Mode(parent), 0750u);
  // A file in the way: the path is not a folder afterwards.
  WriteFile(root_ + "/file");
  EXPECT_FALSE(CreateDirectoryPath(root_ + "/file/sub"));
  EXPECT_FALSE(CreateDirectoryPath(""));
}

TEST_F(DirectoryTest, NormalizePathMapsSeparators) {
  std::string p = "a\\b/c";
  NormalizePath(p, false);
  EXPECT_EQ(p, "a/b/c");
  NormalizePath(p, true);
  EXPECT_EQ(p, "a/b/c/");
  NormalizePath(p, true);
  EXPECT_EQ(p, "a/b/c/");
  std::string empty;
  NormalizePath(empty, true);
  EXPECT_EQ(empty, "");
}

TEST_F(DirectoryTest, PathChecks) {
  WriteFile(root_ + "/f");
  EXPECT_TRUE(PathExists(root_ + "/f"));
  EXPECT_TRUE(PathExists(root_));
  EXPECT_FALSE(PathExists(root_ + "/missing"));
  EXPECT_FALSE(PathExists(""));
  EXPECT_TRUE(IsDirectory(root_));
  EXPECT_FALSE(IsDirectory(root_ + "/f"));
  EXPECT_FALSE(IsDirectory(""));
  // A PEM text handed over in place of a file name.
  std::string pem = "-----BEGIN CERTIFICATE-----\n";
  for (int i = 0; i < 80; ++i) pem += std::string(64, 'A') + "\n";
  pem += "-----END CERTIFICATE-----\n";
  EXPECT_FALSE(PathExists(pem));
}

TEST_F(DirectoryTest, RemoveTreeHandlesHostileNamesWithoutAShell) {
  // Every name here would misbehave if it reached a command interpreter.
  const std::vector<std::string> names = {"a b", "it's", "semi;colon", "amp&er", "$(touch pwned)", "`tick`",
                                          "quo\"te", "star*", "new\nline", "-rf"};
  for (const std::string& name : names) {
    std::string dir = root_ + "/" + name;
    ASSERT_TRUE(CreateDirectoryPath(dir + "/inner/deep")) << name;
    WriteFile(dir + "/inner/deep/body.data");
    WriteFile(dir + "/top");
  }
  // A sibling whose name is a prefix of the first must survive.
  ASSERT_TRUE(CreateDirectoryPath(root_ + "/a"));
  for (const std::string& name : names) {
    EXPECT_TRUE(RemoveDirectoryTree(root_ + "/" + name)) << name;
    EXPECT_FALSE(PathExists(root_ + "/" + name)) << name;
  }
  EXPECT_TRUE(IsDirectory(root_ + "/a"));
  EXPECT_FALSE(PathExists("pwned"));
  EXPECT_FALSE(PathExists(root_ + "/pwned"));
}

TEST_F(DirectoryTest, RemoveTreeNeverFollowsLinks) {
  std::string outside = root_ + "/outside";
  ASSERT_TRUE(CreateDirectoryPath(outside));
  WriteFile(outside + "/keep.txt");
  std::string tree = root_ + "/tree";
  ASSERT_TRUE(CreateDirectoryPath(tree + "/sub"));
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/link-to-dir").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/keep.txt").c_str(), (tree + "/sub/link-to-file").c_str()), 0);
  ASSERT_EQ(symlink("/", (tree + "/link-to-root").c_str()), 0);

  EXPECT_TRUE(RemoveDirectoryTree(tree + "/"));
  EXPECT_FALSE(PathExists(tree));
  EXPECT_TRUE(PathExists(outside + "/keep.txt"));

  // The path itself a link to a folder: refused, both left in place.
  std::string link = root_ + "/link";
  ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);
  EXPECT_FALSE(RemoveDirectoryTree(link));
  EXPECT_FALSE(RemoveDirectoryTree(link + "/"));
  EXPECT_FALSE(RemoveDirectoryTree(link + "/."));
  EXPECT_TRUE(PathExists(outside + "/keep.txt"));
  struct stat st;
  EXPECT_EQ(lstat(link.c_str(), &st), 0);
}

TEST_F(DirectoryTest, RemoveTreeFailsOnMissingOrNonFolder) {
  EXPECT_FALSE(RemoveDirectoryTree(root_ + "/missing"));
  WriteFile(root_ + "/file");
  EXPECT_FALSE(RemoveDirectoryTree(root_ + "/file"));
  EXPECT_TRUE(PathExists(root_ + "/file"));
  // A relative path that names the working folder is refused.
  EXPECT_FALSE(RemoveDirectoryTree("."));
  EXPECT_FALSE(RemoveDirectoryTree("sub/.."));
}

// Runs the root-looking paths in a child confined to a scratch root, so that
// a faulty guard could only ever empty the scratch folder.
TEST_F(DirectoryTest, RemoveTreeRefusesEveryFormOfTheRoot) {
  const std::vector<std::string> roots = {"", "/", "\\", "//", "///", "/.", "/./", "/..", "/../..", "\\.\\",
                                          "/./../", ".", "./", "..", "a/../.."};
  std::string jail = root_ + "/jail";
  ASSERT_TRUE(CreateDirectoryPath(jail + "/etc"));
  WriteFile(jail + "/etc/marker");

  pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    if (geteuid() != 0) {
      // An unprivileged run maps itself to root in a new user namespace.
      if (unshare(CLONE_NEWUSER) != 0) _exit(77);
      std::ofstream("/proc/self/setgroups") << "deny";
      std::ofstream("/proc/self/uid_map") << "0 " << getuid() << " 1";
    }
    if (chroot(jail.c_str()) != 0 || chdir("/") != 0) _exit(77);
    int refusedAll = 1;
    for (const std::string& r : roots) {
      if (RemoveDirectoryTree(r)) refusedAll = 0;
    }
    _exit(refusedAll ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot confine the child to a scratch root";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(PathExists(jail + "/etc/marker"));
}

class Collector : public IFileEntry {
 public:
  void OnFile(const FileEntry& e) override { files[e.path + e.name] = e; }
  void OnDirectory(const FileEntry& e) override { dirs[e.path + e.name] = e; }
  std::map<std::string, FileEntry> files;
  std::map<std::string, FileEntry> dirs;
};

TEST_F(DirectoryTest, ScanMatchesSuffixCaseInsensitivelyAndReportsNamesAsFound) {
  std::string base = root_ + "/";
  WriteFile(base + "Server.LOG", "12345");
  WriteFile(base + "other.txt");
  WriteFile(base + "\xC3\xA9t\xC3\xA9.log");
  ASSERT_TRUE(CreateDirectoryPath(base + "Sub.log"));
  // A known write time, in ms since 1970.
  struct timespec times[2] = {{1700000000, 123000000}, {1700000000, 123000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, (base + "Server.LOG").c_str(), times, 0), 0);

  Collector c;
  Directory(&c, "", ".LOG").Scan(base, "", false);
  ASSERT_EQ(c.files.size(), 2u);
  ASSERT_EQ(c.files.count(base + "Server.LOG"), 1u);
  const FileEntry& server = c.files[base + "Server.LOG"];
  EXPECT_EQ(server.name, "Server.LOG");
  EXPECT_EQ(server.path, base);
  EXPECT_EQ(server.size, 5u);
  EXPECT_EQ(server.lastWriteMs, 1700000000123);
  EXPECT_EQ(c.files.count(base + "\xC3\xA9t\xC3\xA9.log"), 1u);
  // A folder is reported to OnDirectory, with size and time 0, and without
  // recursion it goes no further.
  ASSERT_EQ(c.dirs.size(), 1u);
  EXPECT_EQ(c.dirs.begin()->second.name, "Sub.log");
  EXPECT_EQ(c.dirs.begin()->second.size, 0u);
  EXPECT_EQ(c.dirs.begin()->second.lastWriteMs, 0);
}

TEST_F(DirectoryTest, RecursiveScanKeepsMixedCaseFoldersAndSkipsLinks) {
  std::string base = root_ + "/";
  ASSERT_TRUE(CreateDirectoryPath(base + "Logs/Old"));
  WriteFile(base + "Logs/Old/A.log");
  WriteFile(base + "Logs/b.log");
  ASSERT_EQ(symlink(".", (base + "Logs/loop").c_str()), 0);
  ASSERT_EQ(symlink(root_.c_str(), (base + "Logs/Old/up").c_str()), 0);

  Collector c;
  Directory(&c, "", "").Scan(base, "", true);
  EXPECT_EQ(c.files.count(base + "Logs/Old/A.log"), 1u);
  EXPECT_EQ(c.files[base + "Logs/Old/A.log"].path, base + "Logs/Old/");
  EXPECT_EQ(c.files.count(base + "Logs/b.log"), 1u);
  // Folders passing the filters reach OnFile as well as OnDirectory.
  EXPECT_EQ(c.files.count(base + "Logs"), 1u);
  EXPECT_EQ(c.dirs.count(base + "Logs"), 1u);
  EXPECT_EQ(c.dirs.count(base + "Logs/Old"), 1u);
  // Links are entries, not folders to enter.
  EXPECT_EQ(c.files.count(base + "Logs/loop"), 1u);
  EXPECT_EQ(c.dirs.count(base + "Logs/loop"), 0u);
  for (const auto& [path, entry] : c.files) EXPECT_EQ(path.find("loop/"), std::string::npos) << path;
  EXPECT_EQ(c.files.size(), 6u);  // Logs, b.log, loop, Old, Old/A.log, Old/up
}

TEST_F(DirectoryTest, TextFilterAppliesToTheSubPath) {
  std::string base = root_ + "/";
  ASSERT_TRUE(CreateDirectoryPath(base + "Keep"));
  ASSERT_TRUE(CreateDirectoryPath(base + "drop"));
  WriteFile(base + "Keep/x.log");
  WriteFile(base + "drop/y.log");
  Collector c;
  Directory(&c, "KEEP", ".log").Scan(base, "", true);
  ASSERT_EQ(c.files.size(), 1u);
  EXPECT_EQ(c.files.begin()->first, base + "Keep/x.log");
}

TEST_F(DirectoryTest, ScanOfAMissingOrUnreadableFolderReportsNothing) {
  Collector c;
  Directory(&c, "", "").Scan(root_ + "/missing/", "", true);
  Directory(nullptr, "", "").Scan(root_ + "/", "", true);  // no callback: no crash
  WriteFile(root_ + "/plain");
  Directory(&c, "", "").Scan(root_ + "/plain/", "", true);
  EXPECT_TRUE(c.files.empty());
  EXPECT_TRUE(c.dirs.empty());
}

TEST_F(DirectoryTest, SizeIsTheLow32Bits) {
  std::string path = root_ + "/big.log";
  int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  // Sparse: no disk space used.
  ASSERT_EQ(ftruncate(fd, (off_t{1} << 32) + 7), 0);
  close(fd);
  Collector c;
  Directory(&c, "", "").Scan(root_ + "/", "", false);
  ASSERT_EQ(c.files.count(path), 1u);
  EXPECT_EQ(c.files[path].size, 7u);
}

TEST_F(DirectoryTest, RemoveFileJoinsPathAndName) {
  WriteFile(root_ + "/old.log");
  EXPECT_TRUE(RemoveFile(FileEntry{"old.log", root_ + "/", 0, 0}));
  EXPECT_FALSE(PathExists(root_ + "/old.log"));
  EXPECT_FALSE(RemoveFile(FileEntry{"old.log", root_ + "/", 0, 0}));
  WriteFile(root_ + "/other.log");
  EXPECT_TRUE(RemoveFile(FileEntry{"other.log", root_, 0, 0}));
  EXPECT_FALSE(RemoveFile(FileEntry{"", root_ + "/", 0, 0}));
  EXPECT_TRUE(IsDirectory(root_));
}

}  // namespace
}  // namespace corvane
