#include "FileIo.h"
#include "TestDataRoot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace corvane {
namespace {

TEST(FileIoTest, WriteFullyReportsADeviceThatTakesNoMore) {
  int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (fd < 0) GTEST_SKIP() << "no /dev/full";
  const std::string text(100, 'x');
  EXPECT_FALSE(platform::WriteFully(fd, text.data(), text.size()));
  platform::CloseFile(fd);
}

TEST(FileIoTest, ReadAtReadsFromAnOffsetAndGivesZeroAtTheEnd) {
  test::TempFolder folder;
  const std::string path = folder / "data";
  int fd = platform::CreatePrivateFile(path, true);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(platform::WriteFully(fd, "0123456789", 10));
  char buf[4];
  EXPECT_EQ(platform::ReadAt(fd, buf, sizeof(buf), 6), 4);
  EXPECT_EQ(std::string(buf, 4), "6789");
  EXPECT_EQ(platform::ReadAt(fd, buf, sizeof(buf), 10), 0);
  uint64_t size = 0;
  bool regular = false;
  ASSERT_TRUE(platform::FileStatus(fd, &size, &regular));
  EXPECT_EQ(size, 10u);
  EXPECT_TRUE(regular);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  platform::CloseFile(fd);
}

TEST(FileIoTest, ReadSmallFileGivesWholeFilesAndNothingOfWhatIsNotOne) {
  test::TempFolder folder;
  { std::ofstream(folder / "small") << "0123456789"; }
  std::string bytes = "stale";
  ASSERT_TRUE(platform::ReadSmallFile(folder / "small", 10, &bytes));
  EXPECT_EQ(bytes, "0123456789");
  // Larger than allowed, or a folder: opened, but nothing of it is taken.
  EXPECT_TRUE(platform::ReadSmallFile(folder / "small", 9, &bytes));
  EXPECT_EQ(bytes, "");
  EXPECT_TRUE(platform::ReadSmallFile(folder.Path(), 1024, &bytes));
  EXPECT_EQ(bytes, "");
  EXPECT_FALSE(platform::ReadSmallFile(folder / "missing", 1024, &bytes));
  EXPECT_TRUE(platform::PathExists(folder / "small"));
  EXPECT_FALSE(platform::PathExists(folder / "missing"));
  EXPECT_FALSE(platform::PathExists(""));
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(platform::CurrentDirectory(), cwd);
}

TEST(FileIoTest, AppendFilesRefuseALinkInTheirLastComponent) {
  test::TempFolder folder;
  { std::ofstream(folder / "target") << "kept"; }
  ASSERT_EQ(::symlink((folder / "target").c_str(), (folder / "link.log").c_str()), 0);
  EXPECT_LT(platform::OpenAppendFile(folder / "link.log"), 0);
  int dir = platform::OpenFolder(folder.Path());
  ASSERT_GE(dir, 0);
  EXPECT_LT(platform::OpenAppendFileAt(dir, "link.log"), 0);
  EXPECT_LT(platform::CreatePrivateFile(folder / "link.log", false), 0);
  std::ifstream in(folder / "target");
  std::string text;
  in >> text;
  EXPECT_EQ(text, "kept");
  platform::CloseFile(dir);
}

TEST(FileIoTest, ListFolderAtNamesLinksAndFilesButOnlyRealFoldersAsFolders) {
  test::TempFolder folder;
  ASSERT_EQ(::mkdir((folder / "sub").c_str(), 0700), 0);
  { std::ofstream(folder / "a.log") << "12345"; }
  ASSERT_EQ(::symlink((folder / "sub").c_str(), (folder / "to-sub").c_str()), 0);
  int dir = platform::OpenFolder(folder.Path());
  ASSERT_GE(dir, 0);
  std::vector<platform::FolderEntry> entries;
  ASSERT_TRUE(platform::ListFolderAt(dir, &entries));
  std::sort(entries.begin(), entries.end(),
            [](const platform::FolderEntry& x, const platform::FolderEntry& y) { return x.name < y.name; });
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "a.log");
  EXPECT_FALSE(entries[0].isFolder);
  EXPECT_EQ(entries[0].size, 5u);
  EXPECT_EQ(entries[1].name, "sub");
  EXPECT_TRUE(entries[1].isFolder);
  EXPECT_EQ(entries[2].name, "to-sub");
  EXPECT_FALSE(entries[2].isFolder);
  // The listing used a descriptor of its own: the folder's stays usable.
  EXPECT_TRUE(platform::RemoveFileAt(dir, "a.log"));
  EXPECT_FALSE(platform::RemoveFileAt(dir, "a.log"));
  platform::CloseFile(dir);
  EXPECT_FALSE(platform::ListFolderAt(-1, &entries));
}

}  // namespace
}  // namespace corvane
