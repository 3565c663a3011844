#include "FileStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Directory.h"
#include "Logger.h"
#include "RefCount.h"
#include "Scheduler.h"
#include "TestDataRoot.h"

namespace corvane {
namespace {

// "MM/DD/YYYY HH:MM:SS.mmm" in shape (digits and separators).
bool IsTimestamp(const std::string& text) {
  const std::string shape = "00/00/0000 00:00:00.000";
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '0' ? (text[i] < '0' || text[i] > '9') : text[i] != shape[i]) return false;
  }
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::set<std::string> ListFolder(const std::string& folder) {
  struct Collect : IFileEntry {
    std::set<std::string> names;
    void OnFile(const FileEntry& e) override { names.insert(e.name); }
    void OnDirectory(const FileEntry& e) override { names.insert(e.name + "/"); }
  } collect;
  Directory(&collect, "", "").Scan(folder + "/", "", false);
  return collect.names;
}

// Local wall-clock ms (counted as if UTC) of a calendar time.
int64_t LocalMs(int year, int month, int day, int hour, int minute, int second, int ms) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return static_cast<int64_t>(timegm(&t)) * 1000 + ms;
}

class FileStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(data_.Path().empty());
    root_ = data_.Path();
    dir_ = root_ + "/Logs";
    ASSERT_TRUE(CreateDirectoryPath(dir_));
    SetLocalTime(2026, 12, 7, 12, 0, 0, 0);
  }

  void TearDown() override {
    GetDefaultScheduler()->SetTestTimeOffsetMs(0);
  }

  // Moves the scheduler's clocks so that local time reads as given now.
  void SetLocalTime(int year, int month, int day, int hour, int minute, int second, int ms) {
    auto* s = GetDefaultScheduler();
    s->SetTestTimeOffsetMs(0);
    // GetLocalTimeMs rounds to the nearest ms while calendar readings
    // truncate: one ms more keeps the reading from falling short.
    s->SetTestTimeOffsetMs(LocalMs(year, month, day, hour, minute, second, ms) - s->GetLocalTimeMs() + 1);
  }

  RefPtr<ILogStore> MakeStore(uint64_t maxBytes, const std::string& name = "DiscoveryService") {
    RefPtr<ILogStore> store;
    EXPECT_EQ(CreateFileStore(name, dir_, maxBytes, store.Receive()), 0);
    return store;
  }

  static void WriteLine(ILogStore* store, const std::string& message) {
    store->Write(Log_Information, "Common/X/Src/X.cpp", "corvane::X::Y", 0, 77, 12, message);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  test::TempDataRoot data_;
  std::string root_;
  std::string dir_;
};

TEST_F(FileStoreTest, WritesOneTabSeparatedCrLfLinePerMessage) {
  auto store = MakeStore(0xA00000);
  EXPECT_TRUE(ListFolder(dir_).empty()) << "no file before the first write";

  store->Write(Log_Severe, "Common/Logger/Src/FileStore.cpp", "corvane::Foo::Bar", 123456, 4242, 99,
               "text with\ttab and %s and \r\n inside");
  store->Write(3, "f.cpp", "fn", 0, 0xFFFFFFFFu, -5, "");

  EXPECT_EQ(ListFolder(dir_), std::set<std::string>{"DiscoveryService_2026_12_07_00.log"});
  std::string text = ReadFile(Path("DiscoveryService_2026_12_07_00.log"));
  const std::string line1 =
      "\t4242\t* Severe      *\tcorvane::Foo::Bar\ttext with\ttab and %s and \r\n inside"
      "\tCommon/Logger/Src/FileStore.cpp\t99\r\n";
  // An unknown level flag leaves the label empty; the thread id is signed.
  const std::string line2 = "\t-1\t\tfn\t\tf.cpp\t-5\r\n";
  ASSERT_EQ(text.size(), 23 + line1.size() + 23 + line2.size()) << text;
  EXPECT_TRUE(IsTimestamp(text.substr(0, 23))) << text;
  EXPECT_EQ(text.substr(0, 17), "12/07/2026 12:00:");
  EXPECT_EQ(text.substr(23, line1.size()), line1);
  EXPECT_TRUE(IsTimestamp(text.substr(23 + line1.size(), 23))) << text;
  EXPECT_EQ(text.substr(23 + line1.size() + 23), line2);
}

TEST_F(FileStoreTest, LevelLabelsAndTimestampText) {
  EXPECT_STREQ(GetLevelName(Log_Config), "* Config      *");
  EXPECT_STREQ(GetLevelName(Log_Information), "* Information *");
  EXPECT_STREQ(GetLevelName(Log_Warning), "* Warning     *");
  EXPECT_STREQ(GetLevelName(Log_Severe), "* Severe      *");
  EXPECT_STREQ(GetLevelName(Log_Spew), "* Spew        *");
  EXPECT_STREQ(GetLevelName(Log_All), "* All         *");
  EXPECT_STREQ(GetLevelName(3), "");
  EXPECT_STREQ(GetLevelName(32), "");

  // Seconds since 1970 are shown without zone conversion.
  EXPECT_EQ(TimestampText(LocalMs(2026, 12, 7, 9, 5, 3, 0) / 1000), "12/07/2026 09:05:03.000");
  EXPECT_EQ(TimestampText(-1), "12/31/1969 23:59:59.000");

  SetLocalTime(2026, 12, 7, 9, 5, 3, 7);
  std::string now = TimestampText(0);
  EXPECT_TRUE(IsTimestamp(now)) << now;
  EXPECT_EQ(now.substr(0, 18), "12/07/2026 09:05:0") << now;
}

TEST_F(FileStoreTest, ParseAndOrderFileNames) {
  std::string prefix, date;
  uint32_t index = 7;
  FileStore::ParseFileName("DiscoveryService_2026_12_07_03.log", &prefix, &date, &index);
  EXPECT_EQ(prefix, "DiscoveryService");
  EXPECT_EQ(date, "2026_12_07");
  EXPECT_EQ(index, 3u);

  FileStore::ParseFileName("Discovery_Service_2026_1_2_42x.log", &prefix, &date, &index);
  EXPECT_EQ(prefix, "Discovery_Service");
  EXPECT_EQ(date, "2026_1_2");
  EXPECT_EQ(index, 42u);

  FileStore::ParseFileName("a_b_c.log", &prefix, &date, &index);
  EXPECT_EQ(prefix, "");
  EXPECT_EQ(date, "");
  EXPECT_EQ(index, 0u);
  FileStore::ParseFileName("_a_b_c_7.log", &prefix, &date, &index);
  EXPECT_EQ(prefix, "");
  EXPECT_EQ(date, "a_b_c");
  EXPECT_EQ(index, 7u);

  // Overflowing and missing indexes.
  FileStore::ParseFileName("D_2026_12_07_99999999999999999999.log", &prefix, &date, &index);
  EXPECT_EQ(index, 0xFFFFFFFFu);
  FileStore::ParseFileName("D_2026_12_07_.log", &prefix, &date, &index);
  EXPECT_EQ(index, 0u);

  auto entry = [](const std::string& name) {
    FileEntry e;
    e.name = name;
    return e;
  };
  FileStore::FileCompareName less;
  EXPECT_TRUE(less(entry("DiscoveryService_2026_12_07_9.log"), entry("DiscoveryService_2026_12_07_10.log")));
  EXPECT_TRUE(less(entry("DiscoveryService_2026_12_07_10.log"), entry("DiscoveryService_2026_12_08_00.log")));
  EXPECT_FALSE(less(entry("DiscoveryService_2026_12_07_3.log"), entry("DiscoveryService_2026_12_07_03.log")));
  EXPECT_FALSE(less(entry("DiscoveryService_2026_12_07_03.log"), entry("DiscoveryService_2026_12_07_3.log")));

  FileFinder<FileStore::FileCompareName> finder;
  finder.OnFile(entry("DiscoveryService_2026_12_07_3.log"));
  finder.OnFile(entry("DiscoveryService_2026_12_07_03.log"));
  finder.OnFile(entry("DiscoveryService_2026_12_07_10.log"));
  finder.OnDirectory(entry("DiscoveryService_2026_12_07_11.log"));
  ASSERT_EQ(finder.Files().size(), 2u);
  EXPECT_EQ(finder.Files().begin()->name, "DiscoveryService_2026_12_07_3.log") << "the first of equals stays";
}

TEST_F(FileStoreTest, NewStoreAppendsToTodaysNewestFile) {
  WriteFile(Path("DiscoveryService_2026_12_07_00.log"), "zero\r\n");
  WriteFile(Path("DiscoveryService_2026_12_07_01.log"), "one\r\n");
  WriteFile(Path("DiscoveryService_2026_12_06_05.log"), "yesterday\r\n");
  WriteFile(Path("DiscoveryService_2026_12_07_04.txt"), "not a log\r\n");
  auto store = MakeStore(0xA00000);
  WriteLine(store.Get(), "appended");
  EXPECT_EQ(ReadFile(Path("DiscoveryService_2026_12_07_00.log")), "zero\r\n");
  std::string one = ReadFile(Path("DiscoveryService_2026_12_07_01.log"));
  EXPECT_EQ(one.rfind("one\r\n", 0), 0u);
  EXPECT_NE(one.find("\tappended\t"), std::string::npos);
}

TEST_F(FileStoreTest, BackslashFolderIsReadWithSlashes) {
  RefPtr<ILogStore> store;
  ASSERT_EQ(CreateFileStore("DiscoveryService", root_ + "\\Logs\\", 100, store.Receive()), 0);
  WriteLine(store.Get(), "m");
  EXPECT_EQ(ListFolder(dir_), std::set<std::string>{"DiscoveryService_2026_12_07_00.log"});
}

TEST_F(FileStoreTest, UpperCaseSuffixCountsForTheCounter) {
  WriteFile(Path("DiscoveryService_2026_12_07_06.LOG"), "x");
  auto store = MakeStore(0xA00000);
  WriteLine(store.Get(), "m");
  EXPECT_EQ(static_cast<FileStore*>(store.Get())->CurrentFileName(), "DiscoveryService_2026_12_07_06.log");
}

TEST_F(FileStoreTest, RollsOverOnlyOnceTheFileIsPastTheLimit) {
  // A file of exactly the limit is written once more.
  WriteFile(Path("DiscoveryService_2026_12_07_00.log"), std::string(100, 'x'));
  auto store = MakeStore(100);
  WriteLine(store.Get(), "first");
  EXPECT_NE(ReadFile(Path("DiscoveryService_2026_12_07_00.log")).find("\tfirst\t"), std::string::npos);
  EXPECT_FALSE(PathExists(Path("DiscoveryService_2026_12_07_01.log")));
  WriteLine(store.Get(), "second");
  EXPECT_EQ(ReadFile(Path("DiscoveryService_2026_12_07_00.log")).find("\tsecond\t"), std::string::npos);
  EXPECT_NE(ReadFile(Path("DiscoveryService_2026_12_07_01.log")).find("\tsecond\t"), std::string::npos);
}

TEST_F(FileStoreTest, CounterDoesNotRestartWhenTheDateChanges) {
  auto store = MakeStore(10);
  WriteLine(store.Get(), "a");  // _07_00, now past the limit
  SetLocalTime(2026, 12, 8, 0, 0, 1, 0);
  WriteLine(store.Get(), "b");
  auto names = ListFolder(dir_);
  EXPECT_EQ(names, (std::set<std::string>{"DiscoveryService_2026_12_07_00.log", "DiscoveryService_2026_12_08_01.log"}));
}

TEST_F(FileStoreTest, OpenTriesFiveNamesThenRetriesAtTheNextWrite) {
  RefPtr<ILogStore> store;
  ASSERT_EQ(CreateFileStore("DiscoveryService", dir_, 20, store.Receive()), 0);
  auto* fs = static_cast<FileStore*>(store.Get());
  EXPECT_EQ(fs->Counter(), 0u);
  // A folder (cannot be opened for writing), a file already too large, a
  // symbolic link and a FIFO (which must not block the writer) each make an
  // attempt fail.
  ASSERT_EQ(mkdir(Path("DiscoveryService_2026_12_07_00.log").c_str(), 0755), 0);
  WriteFile(Path("DiscoveryService_2026_12_07_01.log"), std::string(50, 'x'));
  ASSERT_EQ(symlink((root_ + "/target").c_str(), Path("DiscoveryService_2026_12_07_02.log").c_str()), 0);
  ASSERT_EQ(mkfifo(Path("DiscoveryService_2026_12_07_03.log").c_str(), 0644), 0);
  WriteLine(store.Get(), "fifth");
  EXPECT_EQ(fs->Counter(), 4u);
  EXPECT_EQ(fs->CurrentFileName(), "DiscoveryService_2026_12_07_04.log");
  EXPECT_NE(ReadFile(Path("DiscoveryService_2026_12_07_04.log")).find("\tfifth\t"), std::string::npos);
  EXPECT_FALSE(PathExists(root_ + "/target")) << "the link was followed";

  // Now five blockers ahead of the counter: the line is lost, the counter
  // moves by 5, and the next write tries again.
  RefPtr<ILogStore> store2;
  ASSERT_EQ(CreateFileStore("Other", dir_, 20, store2.Receive()), 0);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(mkdir(Path("Other_2026_12_07_0" + std::to_string(i) + ".log").c_str(), 0755), 0);
  }
  auto* other = static_cast<FileStore*>(store2.Get());
  EXPECT_EQ(other->Counter(), 0u);
  WriteLine(store2.Get(), "lost");
  EXPECT_EQ(other->Counter(), 5u);
  EXPECT_EQ(other->CurrentFileName(), "");
  WriteLine(store2.Get(), "kept");
  EXPECT_EQ(other->CurrentFileName(), "Other_2026_12_07_05.log");
  EXPECT_NE(ReadFile(Path("Other_2026_12_07_05.log")).find("\tkept\t"), std::string::npos);
  EXPECT_EQ(ReadFile(Path("Other_2026_12_07_05.log")).find("\tlost\t"), std::string::npos);
}

TEST_F(FileStoreTest, MissingFolderLosesLinesQuietly) {
  RefPtr<ILogStore> store;
  ASSERT_EQ(CreateFileStore("DiscoveryService", root_ + "/missing/", 100, store.Receive()), 0);
  for (int i = 0; i < 3; ++i) WriteLine(store.Get(), "nowhere");
  EXPECT_FALSE(PathExists(root_ + "/missing"));
  EXPECT_EQ(static_cast<FileStore*>(store.Get())->Counter(), 15u);
}

TEST_F(FileStoreTest, CleanUpKeepsTheNewestSeven) {
  // Seven files: nothing goes.
  for (int day = 1; day <= 6; ++day) {
    WriteFile(Path("DiscoveryService_2026_12_0" + std::to_string(day) + "_00.log"), "old\r\n");
  }
  WriteFile(Path("Unrelated_2026_01_01_00.log"), "keep\r\n");
  ASSERT_EQ(mkdir(Path("DiscoveryService_2020_01_01_00.log").c_str(), 0755), 0);
  auto store = MakeStore(10);
  WriteLine(store.Get(), "a");  // opens _07_00: seven store files
  EXPECT_EQ(ListFolder(dir_).size(), 9u);

  // Two more files after rollovers: the two oldest go.
  WriteLine(store.Get(), "b");  // _07_01: eight
  auto names = ListFolder(dir_);
  EXPECT_FALSE(names.count("DiscoveryService_2026_12_01_00.log"));
  EXPECT_TRUE(names.count("DiscoveryService_2026_12_02_00.log"));
  WriteLine(store.Get(), "c");  // _07_02
  names = ListFolder(dir_);
  EXPECT_FALSE(names.count("DiscoveryService_2026_12_02_00.log"));
  EXPECT_TRUE(names.count("DiscoveryService_2026_12_03_00.log"));
  EXPECT_TRUE(names.count("DiscoveryService_2026_12_07_02.log"));
  EXPECT_TRUE(names.count("Unrelated_2026_01_01_00.log"));
  EXPECT_TRUE(names.count("DiscoveryService_2020_01_01_00.log/")) << "folders are not log files";
  EXPECT_EQ(names.size(), 9u);
}

TEST_F(FileStoreTest, PruningDeletesOnlyInsideTheFolderItOpened) {
  int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  RefPtr<ILogStore> store;
  ASSERT_EQ(CreateFileStoreAt("DiscoveryService", dir_, fd, 10, store.Receive()), 0);
  for (int day = 1; day <= 6; ++day) {
    WriteFile(Path("DiscoveryService_2026_12_0" + std::to_string(day) + "_00.log"), "old\r\n");
  }
  // The folder's path is swapped for a link to another folder of logs.
  std::string victim = root_ + "/victim";
  ASSERT_TRUE(CreateDirectoryPath(victim));
  for (int day = 1; day <= 9; ++day) {
    WriteFile(victim + "/DiscoveryService_2026_11_0" + std::to_string(day) + "_00.log", "theirs\r\n");
  }
  ASSERT_EQ(rename(dir_.c_str(), (root_ + "/opened").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), dir_.c_str()), 0);

  for (const char* line : {"a", "b", "c"}) WriteLine(store.Get(), line);
  EXPECT_EQ(ListFolder(victim).size(), 9u) << "nothing deleted or written through the link";
  auto names = ListFolder(root_ + "/opened");
  EXPECT_EQ(names.size(), 7u);
  EXPECT_TRUE(names.count("DiscoveryService_2026_12_07_02.log"));
  EXPECT_FALSE(names.count("DiscoveryService_2026_12_02_00.log"));
}

TEST_F(FileStoreTest, ALinkedLogsFolderIsNotWrittenThrough) {
  std::string victim = root_ + "/victim";
  ASSERT_TRUE(CreateDirectoryPath(victim));
  for (int day = 1; day <= 9; ++day) {
    WriteFile(victim + "/DiscoveryService_2026_12_0" + std::to_string(day) + "_00.log", "theirs\r\n");
  }
  ASSERT_EQ(rmdir(dir_.c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), dir_.c_str()), 0);
  RefPtr<ILogStore> store = MakeStore(10);
  for (const char* line : {"a", "b", "c"}) WriteLine(store.Get(), line);
  EXPECT_EQ(ListFolder(victim).size(), 9u) << "nothing written or deleted through the link";
  EXPECT_EQ(ReadFile(victim + "/DiscoveryService_2026_12_07_00.log"), "theirs\r\n");

  // Once a real folder stands there again, the store writes into it.
  ASSERT_EQ(unlink(dir_.c_str()), 0);
  ASSERT_TRUE(CreateDirectoryPath(dir_));
  WriteLine(store.Get(), "d");
  EXPECT_EQ(ListFolder(dir_).size(), 1u);
}

TEST_F(FileStoreTest, FutureDatedFilesNeverTakeTheCurrentFile) {
  // After the clock stepped back, files dated in the future sort after
  // today's file.
  for (int day = 1; day <= 8; ++day) {
    WriteFile(Path("DiscoveryService_2027_01_0" + std::to_string(day) + "_00.log"), "future\r\n");
  }
  WriteFile(Path("DiscoveryService_2026_12_06_00.log"), "older\r\n");
  auto store = MakeStore(0xA00000);
  WriteLine(store.Get(), "first");
  WriteLine(store.Get(), "second");

  auto names = ListFolder(dir_);
  ASSERT_TRUE(names.count("DiscoveryService_2026_12_07_00.log")) << "the current file was deleted";
  std::string text = ReadFile(Path("DiscoveryService_2026_12_07_00.log"));
  EXPECT_NE(text.find("\tfirst\t"), std::string::npos);
  EXPECT_NE(text.find("\tsecond\t"), std::string::npos);
  // Of the newest seven, those dated in the future are deleted; the rest are
  // older than the newest seven.
  for (const auto& n : names) EXPECT_EQ(n.find("2027"), std::string::npos) << n;
  EXPECT_FALSE(names.count("DiscoveryService_2026_12_06_00.log"));
}

TEST_F(FileStoreTest, ConcurrentWritersLeaveWholeLines) {
  auto store = MakeStore(4096);
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        store->Write(Log_Warning, "f.cpp", "fn", 0, static_cast<uint32_t>(t), i, "payload-" + std::to_string(i));
      }
    });
  }
  for (auto& th : threads) th.join();

  // Rollovers deleted all but the newest seven files; every line left is
  // whole, and each file stays near its limit.
  int lines = 0;
  for (const auto& name : ListFolder(dir_)) {
    std::string text = ReadFile(Path(name));
    EXPECT_LT(text.size(), 4096u + 200u) << name;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("\r\n", start);
      ASSERT_NE(end, std::string::npos) << name;
      std::string one = text.substr(start, end - start);
      ASSERT_GT(one.size(), 23u) << one;
      EXPECT_TRUE(IsTimestamp(one.substr(0, 23))) << one;
      // thread, label, function, message, file, line
      std::vector<std::string> fields;
      size_t pos = 24;
      for (;;) {
        size_t tab = one.find('\t', pos);
        fields.push_back(one.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
        if (tab == std::string::npos) break;
        pos = tab + 1;
      }
      ASSERT_EQ(fields.size(), 6u) << one;
      EXPECT_EQ(fields[1], "* Warning     *");
      EXPECT_EQ(fields[2], "fn");
      EXPECT_EQ(fields[3], "payload-" + fields[5]) << one;
      EXPECT_EQ(fields[4], "f.cpp");
      ++lines;
      start = end + 2;
    }
  }
  EXPECT_GT(lines, 0);
  EXPECT_LE(ListFolder(dir_).size(), 7u);
}

}  // namespace
}  // namespace corvane
