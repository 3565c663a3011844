#include "RegistryKey.h"
#include "TestDataRoot.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace corvane::platform {
namespace {

constexpr char kKey[] = "SOFTWARE\\Corvane\\DirectoryService";

class RegistryKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(config_.Path().empty());
    root_ = config_.Path();
  }

  std::string File() const { return root_ + "/Corvane/DirectoryService.conf"; }

  // Written in place, as an editor that truncates and rewrites does.
  void WriteInPlace(const std::string& text) {
    std::ofstream out(File(), std::ios::binary | std::ios::trunc);
    out << text;
  }
  // Written beside and renamed over, as packaging tools do.
  void WriteByRename(const std::string& text) {
    std::string temp = File() + ".new";
    {
      std::ofstream out(temp, std::ios::binary | std::ios::trunc);
      out << text;
    }
    ASSERT_EQ(std::rename(temp.c_str(), File().c_str()), 0);
  }

  static uint32_t Read(const std::string& name, uint32_t fallback) {
    uint32_t value = fallback;
    ReadRegistryDword(kKey, name, &value);
    return value;
  }

  test::TempConfigRoot config_;
  std::string root_;
};

TEST_F(RegistryKeyTest, KeyPathsMapToFilesUnderTheRoot) {
  EXPECT_EQ(RegistryKeyFilePath(kKey), File());
  EXPECT_EQ(RegistryKeyFilePath("software\\Corvane"), root_ + "/Corvane.conf");

  setenv("CORVANE_REGISTRY_ROOT", (root_ + "//").c_str(), 1);
  EXPECT_EQ(RegistryKeyFilePath(kKey), File());
  unsetenv("CORVANE_REGISTRY_ROOT");
  EXPECT_EQ(RegistryKeyFilePath(kKey), "/etc/Corvane/DirectoryService.conf");
  setenv("CORVANE_REGISTRY_ROOT", "", 1);
  EXPECT_EQ(RegistryKeyFilePath(kKey), "/etc/Corvane/DirectoryService.conf");

  // Nothing outside the root can be named, and only SOFTWARE keys exist.
  for (const char* bad : {"", "SOFTWARE", "SOFTWARE\\", "SYSTEM\\Corvane", "SOFTWARE\\..\\passwd",
                          "SOFTWARE\\Corvane\\..\\..\\x", "SOFTWARE\\.\\x", "SOFTWARE\\a\\\\b", "SOFTWARE\\a/b",
                          "SOFTWARE\\Corvane\\"}) {
    EXPECT_EQ(RegistryKeyFilePath(bad), "") << bad;
  }
  EXPECT_EQ(RegistryKeyFilePath(std::string("SOFTWARE\\a\0b", 12)), "");
}

TEST_F(RegistryKeyTest, ValidValuesAreReadWhateverTheLayout) {
  WriteInPlace(
      "# Corvane directory service\r\n"
      "httpPort=8080\r\n"
      "  disablev1 \t=\t 1   # protocol 1 off\r\n"
      "LOGLEVEL=0x1F\n"
      "\n"
      "   \t\n"
      "PublisherPurgeTimeout = 0XfFfFfFfF\n"
      "Zero=0\n"
      "Padded=007\n"
      "last=1\n"
      "Last=2");  // no final line end
  EXPECT_EQ(Read("httpPort", 80), 8080u);
  EXPECT_EQ(Read("HTTPPORT", 80), 8080u);
  EXPECT_EQ(Read("disablev1", 9), 1u);
  EXPECT_EQ(Read("LogLevel", 9), 31u);
  EXPECT_EQ(Read("publisherpurgetimeout", 60), 0xFFFFFFFFu);
  EXPECT_EQ(Read("Zero", 9), 0u);
  EXPECT_EQ(Read("Padded", 9), 7u);  // decimal, not octal
  EXPECT_EQ(Read("LAST", 9), 2u);
}

TEST_F(RegistryKeyTest, BadOrMissingValuesLeaveTheDefault) {
  WriteInPlace(
      "Negative=-5\n"
      "Word=five\n"
      "Suffix=5s\n"
      "Signed=+5\n"
      "TooBig=4294967296\n"
      "TooBigHex=0x100000000\n"
      "Huge=99999999999999999999999999\n"
      "HexNoDigits=0x\n"
      "BadHex=0x1G\n"
      "Empty=\n"
      "Spaced=1 2\n"
      "=7\n"
      "NoEquals\n"
      "Hidden=#5\n"
      "Good=5\n"
      "Good=bad\n");
  for (const char* name : {"Negative", "Word", "Suffix", "Signed", "TooBig", "TooBigHex", "Huge", "HexNoDigits",
                           "BadHex", "Empty", "Spaced", "", "NoEquals", "Hidden", "Missing", "Good"}) {
    uint32_t value = 1234;
    EXPECT_FALSE(ReadRegistryDword(kKey, name, &value)) << name;
    EXPECT_EQ(value, 1234u) << name;
  }
  uint32_t value = 1234;
  EXPECT_FALSE(ReadRegistryDword("SOFTWARE\\Corvane\\Missing", "Good", &value));
  EXPECT_FALSE(ReadRegistryDword(kKey, "Good", nullptr));
  EXPECT_EQ(value, 1234u);
}

TEST_F(RegistryKeyTest, AMissingOrUnreadableKeyIsMissing) {
  EXPECT_EQ(Read("httpPort", 80), 80u);
  std::filesystem::create_directory(File());  // a folder where the file should be
  EXPECT_EQ(Read("httpPort", 80), 80u);
  std::filesystem::remove(File());
  // Larger than any configuration file: refused rather than parsed.
  WriteInPlace("httpPort=81\n" + std::string(2 << 20, '#'));
  EXPECT_EQ(Read("httpPort", 80), 80u);
}

TEST_F(RegistryKeyTest, AFifoOrDeviceInPlaceOfTheFileIsNeverWaitedFor) {
  ASSERT_EQ(mkfifo(File().c_str(), 0644), 0);
  // A blocking open would wait here for a writer that never comes.
  EXPECT_EQ(Read("PublisherPurgeTimeout", 60), 60u);
  ASSERT_EQ(unlink(File().c_str()), 0);
  ASSERT_EQ(symlink("/dev/zero", File().c_str()), 0);
  EXPECT_EQ(Read("PublisherPurgeTimeout", 60), 60u);
  ASSERT_EQ(unlink(File().c_str()), 0);

  // A link to a regular file is read, as administrators use one.
  std::string real = root_ + "/real.conf";
  std::ofstream(real) << "PublisherPurgeTimeout=7\n";
  ASSERT_EQ(symlink(real.c_str(), File().c_str()), 0);
  EXPECT_EQ(Read("PublisherPurgeTimeout", 60), 7u);
}

TEST_F(RegistryKeyTest, EveryBadValueIsReportedOnceWithFileAndLineOnStandardError) {
  WriteByRename("# settings\nPublisherPurgeTimeout=abc\nLogLevel=-1\n");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Read("LogLevel", 0), 0u);
  EXPECT_EQ(Read("PublisherPurgeTimeout", 60), 60u);
  std::string err = ::testing::internal::GetCapturedStderr();
  std::string line2 = "line 2 of " + File();
  std::string line3 = "line 3 of " + File();
  EXPECT_NE(err.find(line2), std::string::npos) << err;
  EXPECT_NE(err.find(line3), std::string::npos) << err;
  EXPECT_EQ(err.find(line2), err.rfind(line2)) << "reported twice: " << err;
}

TEST_F(RegistryKeyTest, EveryReadSeesTheFileAsItIsNow) {
  WriteInPlace("PublisherPurgeTimeout=5\n");
  EXPECT_EQ(Read("PublisherPurgeTimeout", 60), 5u);
  // Same size, same second, same inode: only a fresh parse can tell.
  WriteInPlace("PublisherPurgeTimeout=7\n");
  EXPECT_EQ(Read("PublisherPurgeTimeout", 60), 7u);
  WriteByRename("PublisherPurgeTimeout=8\n");
  EXPECT_EQ(Read("PublisherPurgeTimeout", 60), 8u);
  WriteInPlace("PublisherPurgeTimeout=x\n");
  EXPECT_EQ(Read("PublisherPurgeTimeout", 60), 60u);
  std::filesystem::remove(File());
  EXPECT_EQ(Read("PublisherPurgeTimeout", 60), 60u);
  WriteInPlace("PublisherPurgeTimeout=9\n");
  EXPECT_EQ(Read("PublisherPurgeTimeout", 60), 9u);

  // An old file is served from the cache until it changes.
  WriteInPlace("PublisherPurgeTimeout=10\n");
  struct timespec old[2] = {{1000000, 0}, {1000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, File().c_str(), old, 0), 0);
  EXPECT_EQ(Read("PublisherPurgeTimeout", 60), 10u);
  EXPECT_EQ(Read("PublisherPurgeTimeout", 60), 10u);
  WriteInPlace("PublisherPurgeTimeout=11\n");
  EXPECT_EQ(Read("PublisherPurgeTimeout", 60), 11u);
}

// Readers racing a writer that replaces the file see one whole version or the
// other, never a missing value, and the cache stays consistent.
TEST_F(RegistryKeyTest, ConcurrentReadersSeeWholeVersions) {
  WriteByRename("PublisherPurgeTimeout=100\nLogLevel=1\n");
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        uint32_t value = 0;
        if (!ReadRegistryDword(kKey, "PublisherPurgeTimeout", &value) || value < 100 || value >= 300) ++bad;
        uint32_t level = 0;
        if (!ReadRegistryDword(kKey, "loglevel", &level) || level != 1) ++bad;
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    WriteByRename("PublisherPurgeTimeout=" + std::to_string(100 + i) + "\nLogLevel=1\n");
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(Read("PublisherPurgeTimeout", 60), 299u);
}

}  // namespace
}  // namespace corvane::platform
