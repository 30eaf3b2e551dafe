#include "platform/env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "gtest/gtest.h"
#include "platform/fault_injection_env.h"
#include "platform/file_time.h"
#include "platform/temp_dir.h"

namespace quenvar::platform {
namespace {

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class EnvTest : public ::testing::Test {
 protected:
  Env* env_ = Env::Default();
  ScopedTempDir dir_;
};

TEST_F(EnvTest, ListingReportsLinksToFilesAsFilesAndNeverFollowsFolderLinks) {
  WriteText(dir_.Child("b.txt"), "hello");
  ASSERT_EQ(mkdir(dir_.Child("a").c_str(), 0755), 0);
  ASSERT_EQ(symlink("b.txt", dir_.Child("file-link").c_str()), 0);
  ASSERT_EQ(symlink("a", dir_.Child("folder-link").c_str()), 0);
  ASSERT_EQ(symlink("missing", dir_.Child("dangling").c_str()), 0);
  ASSERT_EQ(symlink(".", dir_.Child("a/loop").c_str()), 0);

  std::vector<DirectoryEntry> entries;
  ASSERT_TRUE(env_->ListDirectory(dir_.path(), &entries).ok());
  ASSERT_EQ(entries.size(), 5u);
  // Sorted by name, no "." or "..".
  EXPECT_EQ(entries[0].name, "a");
  EXPECT_EQ(entries[1].name, "b.txt");
  EXPECT_EQ(entries[2].name, "dangling");
  EXPECT_EQ(entries[3].name, "file-link");
  EXPECT_EQ(entries[4].name, "folder-link");

  EXPECT_TRUE(entries[0].info.is_directory);
  EXPECT_FALSE(entries[0].info.is_symlink);
  EXPECT_TRUE(entries[1].info.is_regular);
  EXPECT_EQ(entries[1].info.size, 5u);
  EXPECT_TRUE(entries[2].info.is_symlink);
  EXPECT_FALSE(entries[2].info.is_regular);
  EXPECT_TRUE(entries[3].info.is_symlink);
  EXPECT_TRUE(entries[3].info.is_regular);
  EXPECT_EQ(entries[3].info.size, 5u);  // the target's size, not the link's
  EXPECT_TRUE(entries[4].info.is_symlink);
  EXPECT_FALSE(entries[4].info.is_directory);

  FileInfo info;
  ASSERT_TRUE(env_->Stat(dir_.Child("folder-link"), true, &info).ok());
  EXPECT_TRUE(info.is_directory);
  EXPECT_FALSE(info.is_symlink);
  ASSERT_TRUE(env_->Stat(dir_.Child("folder-link"), false, &info).ok());
  EXPECT_TRUE(info.is_symlink);
  EXPECT_FALSE(info.is_directory);

  Status s = env_->ListDirectory(dir_.Child("nothing"), &entries);
  EXPECT_EQ(s.code(), ENOENT);
  EXPECT_NE(s.ToString().find(dir_.Child("nothing")), std::string::npos);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(env_->ListDirectory(dir_.Child("b.txt"), &entries).code(), ENOTDIR);
}

TEST_F(EnvTest, ReadsStopAtTheEndOfTheFile) {
  WriteText(dir_.Child("f"), "0123456789");
  std::unique_ptr<ReadableFile> file;
  ASSERT_TRUE(env_->OpenReadable(dir_.Child("f"), &file).ok());
  EXPECT_EQ(file->Size(), 10u);
  EXPECT_GE(file->NativeHandle(), 0);
  char buffer[16] = {};
  size_t got = 99;
  ASSERT_TRUE(file->ReadAt(7, sizeof(buffer), buffer, &got).ok());
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(std::string(buffer, 3), "789");
  ASSERT_TRUE(file->ReadAt(100, 4, buffer, &got).ok());
  EXPECT_EQ(got, 0u);

  EXPECT_EQ(env_->OpenReadable(dir_.path(), &file).code(), EISDIR);
  EXPECT_EQ(env_->OpenReadable(dir_.Child("none"), &file).code(), ENOENT);
}

TEST_F(EnvTest, WriteModesCreateTruncateOrAppend) {
  std::string path = dir_.Child("w");
  std::unique_ptr<WritableFile> file;
  EXPECT_EQ(env_->OpenWritable(path, WriteMode::kOpenExisting, &file).code(), ENOENT);
  ASSERT_TRUE(env_->OpenWritable(path, WriteMode::kCreateNew, &file).ok());
  ASSERT_TRUE(file->Append("abcdef", 6).ok());
  ASSERT_TRUE(file->WriteAt(0, "X", 1).ok());  // does not move the append position
  ASSERT_TRUE(file->Append("gh", 2).ok());
  ASSERT_TRUE(file->Sync().ok());
  ASSERT_TRUE(file->Close().ok());
  EXPECT_FALSE(file->Append("z", 1).ok());
  EXPECT_FALSE(file->Close().ok());
  EXPECT_EQ(ReadText(path), "Xbcdefgh");

  EXPECT_EQ(env_->OpenWritable(path, WriteMode::kCreateNew, &file).code(), EEXIST);
  ASSERT_TRUE(env_->OpenWritable(path, WriteMode::kOpenExisting, &file).ok());
  ASSERT_TRUE(file->Append("ij", 2).ok());  // continues at the end
  ASSERT_TRUE(file->Truncate(4).ok());
  ASSERT_TRUE(file->Append("k", 1).ok());  // the end moved back with the truncation
  file.reset();                            // closes
  EXPECT_EQ(ReadText(path), "Xbcdk");

  ASSERT_TRUE(env_->OpenWritable(path, WriteMode::kCreateOrTruncate, &file).ok());
  file.reset();
  EXPECT_EQ(ReadText(path), "");
}

TEST_F(EnvTest, DeviceAndInodeNameAFileWhateverPathReachedIt) {
  WriteText(dir_.Child("one.txt"), "same");
  WriteText(dir_.Child("other.txt"), "same");
  ASSERT_EQ(link(dir_.Child("one.txt").c_str(), dir_.Child("twin.txt").c_str()), 0);
  FileInfo one, twin, other;
  ASSERT_TRUE(env_->Stat(dir_.Child("one.txt"), true, &one).ok());
  ASSERT_TRUE(env_->Stat(dir_.Child("twin.txt"), true, &twin).ok());
  ASSERT_TRUE(env_->Stat(dir_.Child("other.txt"), true, &other).ok());
  EXPECT_NE(one.inode, 0u);
  EXPECT_EQ(std::make_pair(one.device, one.inode), std::make_pair(twin.device, twin.inode));
  EXPECT_NE(one.inode, other.inode);
  std::vector<DirectoryEntry> entries;
  ASSERT_TRUE(env_->ListDirectory(dir_.path(), &entries).ok());
  for (const DirectoryEntry& entry : entries) {
    if (entry.name == "twin.txt") {
      EXPECT_EQ(entry.info.inode, one.inode);
    }
  }

  // An open file keeps naming the file opened when another takes its path.
  std::unique_ptr<ReadableFile> opened;
  ASSERT_TRUE(env_->OpenReadable(dir_.Child("one.txt"), &opened).ok());
  ASSERT_EQ(rename(dir_.Child("other.txt").c_str(), dir_.Child("one.txt").c_str()), 0);
  FileInfo now_at_path, of_opened;
  ASSERT_TRUE(env_->Stat(dir_.Child("one.txt"), false, &now_at_path).ok());
  ASSERT_TRUE(opened->Stat(&of_opened).ok());
  EXPECT_TRUE(of_opened.is_regular);
  EXPECT_EQ(of_opened.size, 4u);
  EXPECT_EQ(std::make_pair(of_opened.device, of_opened.inode),
            std::make_pair(one.device, one.inode));
  EXPECT_NE(of_opened.inode, now_at_path.inode);
}

TEST_F(EnvTest, ADuplicatedDescriptorReadsAtOffsetsAndOutlivesTheOriginal) {
  WriteText(dir_.Child("image.bin"), "0123456789");
  const int fd = open(dir_.Child("image.bin").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(lseek(fd, 3, SEEK_SET), 3);
  std::unique_ptr<ReadableFile> file;
  ASSERT_TRUE(DuplicateReadableDescriptor(fd, &file).ok());
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3);  // the caller's offset stays
  close(fd);
  EXPECT_EQ(file->Size(), 10u);
  char buffer[8] = {};
  size_t n = 0;
  ASSERT_TRUE(file->ReadAt(6, sizeof buffer, buffer, &n).ok());
  EXPECT_EQ(std::string(buffer, n), "6789");
  EXPECT_NE(file->NativeHandle(), fd);

  // A descriptor that is not open is refused, not wrapped.
  std::unique_ptr<ReadableFile> none;
  const Status bad = DuplicateReadableDescriptor(fd, &none);
  EXPECT_EQ(bad.code(), EBADF);
  EXPECT_EQ(none, nullptr);
}

TEST_F(EnvTest, FolderAndFileOperations) {
  std::string sub = dir_.Child("sub");
  ASSERT_TRUE(env_->CreateDirectory(sub).ok());
  EXPECT_TRUE(env_->CreateDirectory(sub).ok());  // already there
  WriteText(dir_.Child("plain"), "x");
  EXPECT_EQ(env_->CreateDirectory(dir_.Child("plain")).code(), EEXIST);  // a file is in the way
  EXPECT_EQ(env_->CreateDirectory(dir_.Child("no/such")).code(), ENOENT);

  ASSERT_TRUE(env_->RenameFile(dir_.Child("plain"), sub + "/moved").ok());
  EXPECT_EQ(env_->RemoveDirectory(sub).code(), ENOTEMPTY);
  ASSERT_TRUE(env_->RemoveFile(sub + "/moved").ok());
  EXPECT_EQ(env_->RemoveFile(sub + "/moved").code(), ENOENT);
  ASSERT_TRUE(env_->RemoveDirectory(sub).ok());
  Status s = env_->RenameFile(dir_.Child("a"), dir_.Child("b"));
  EXPECT_EQ(s.code(), ENOENT);
  EXPECT_NE(s.message().find("rename"), std::string::npos);
}

TEST_F(EnvTest, ClocksAndTemporaryFolder) {
  uint64_t start = env_->TickCountMs();
  env_->SleepMs(30);
  uint64_t elapsed = env_->TickCountMs() - start;
  EXPECT_GE(elapsed, 30u);
  EXPECT_LT(elapsed, 2000u);
  int64_t now = UnixSecondsFromFileTime(env_->Now());
  EXPECT_LE(std::llabs(now - static_cast<int64_t>(time(nullptr))), 2);

  const char* old = getenv("TMPDIR");
  std::string saved = old ? old : "";
  setenv("TMPDIR", "/var/tmp/", 1);
  EXPECT_EQ(env_->TemporaryDirectory(), "/var/tmp");
  unsetenv("TMPDIR");
  EXPECT_EQ(env_->TemporaryDirectory(), "/tmp");
  if (old) setenv("TMPDIR", saved.c_str(), 1);
}

TEST(FileTimeTest, ConversionsMatchTheFileTimeEpochAndClamp) {
  EXPECT_EQ(FileTimeFromUnixSeconds(0), kFileTimeUnixEpoch);
  // 2001-09-09 01:46:40 UTC.
  EXPECT_EQ(FileTimeFromUnixSeconds(1000000000), 126444736000000000ull);
  timespec ts{1000000000, 123456789};
  FileTime t = FileTimeFromTimespec(ts);
  EXPECT_EQ(t, 126444736001234567ull);
  timespec back = TimespecFromFileTime(t);
  EXPECT_EQ(back.tv_sec, 1000000000);
  EXPECT_EQ(back.tv_nsec, 123456700);
  EXPECT_EQ(FileTimeFromUnixSeconds(-11644473600ll), 0u);  // 1601-01-01
  EXPECT_EQ(FileTimeFromUnixSeconds(-11644473601ll), 0u);  // earlier clamps
  EXPECT_EQ(UnixSecondsFromFileTime(0), -11644473600ll);
  timespec before{-1, 500000000};  // 1969-12-31 23:59:59.5
  EXPECT_EQ(FileTimeFromTimespec(before), kFileTimeUnixEpoch - 5000000);
  FILETIME split = ToFILETIME(t);
  EXPECT_EQ(FromFILETIME(split), t);
}

TEST_F(EnvTest, FaultsHitTheChosenCallOnly) {
  WriteText(dir_.Child("f"), "data");
  FaultInjectionEnv faults;
  std::unique_ptr<ReadableFile> file;
  faults.FailNthCall(FaultKind::kOpen, 2, EACCES);
  EXPECT_TRUE(faults.OpenReadable(dir_.Child("f"), &file).ok());
  EXPECT_EQ(faults.OpenReadable(dir_.Child("f"), &file).code(), EACCES);
  EXPECT_TRUE(faults.OpenReadable(dir_.Child("f"), &file).ok());
  EXPECT_EQ(faults.CallCount(FaultKind::kOpen), 3u);

  faults.FailFromCall(FaultKind::kRead, 2);
  char buffer[8];
  size_t got;
  EXPECT_TRUE(file->ReadAt(0, 4, buffer, &got).ok());
  EXPECT_EQ(file->ReadAt(0, 4, buffer, &got).code(), EIO);
  EXPECT_EQ(file->ReadAt(0, 4, buffer, &got).code(), EIO);

  // Only paths under the filter count.
  faults.Reset();
  faults.SetPathFilter(dir_.Child("sub"));
  faults.FailFromCall(FaultKind::kStat, 1, EPERM);
  FileInfo info;
  EXPECT_TRUE(faults.Stat(dir_.Child("f"), true, &info).ok());
  EXPECT_TRUE(faults.Stat(dir_.Child("subway"), true, &info).code() == ENOENT);  // real answer
  EXPECT_EQ(faults.Stat(dir_.Child("sub/x"), true, &info).code(), EPERM);
  EXPECT_EQ(faults.CallCount(FaultKind::kStat), 1u);

  // The status of an open file is a stat call of its path.
  WriteText(dir_.Child("sub"), "file");
  ASSERT_TRUE(faults.OpenReadable(dir_.Child("sub"), &file).ok());
  EXPECT_EQ(file->Stat(&info).code(), EPERM);
  EXPECT_EQ(faults.CallCount(FaultKind::kStat), 2u);
  faults.Reset();
  ASSERT_TRUE(file->Stat(&info).ok());
  EXPECT_EQ(info.size, 4u);
}

TEST_F(EnvTest, AFullDiskWritesWhatFitsThenFails) {
  FaultInjectionEnv faults;
  faults.LimitWrites(10);
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(faults.OpenWritable(dir_.Child("w"), WriteMode::kCreateOrTruncate, &file).ok());
  EXPECT_TRUE(file->Append("123456", 6).ok());
  Status s = file->Append("abcdef", 6);
  EXPECT_EQ(s.code(), ENOSPC);
  EXPECT_EQ(file->Append("z", 1).code(), ENOSPC);
  EXPECT_EQ(file->WriteAt(0, "z", 1).code(), ENOSPC);
  ASSERT_TRUE(file->Close().ok());
  EXPECT_EQ(ReadText(dir_.Child("w")), "123456abcd");

  faults.Reset();
  faults.FailNthCall(FaultKind::kSync, 1);
  ASSERT_TRUE(faults.OpenWritable(dir_.Child("w"), WriteMode::kOpenExisting, &file).ok());
  EXPECT_EQ(file->Sync().code(), EIO);
  EXPECT_TRUE(file->Sync().ok());
}

TEST_F(EnvTest, AFolderVanishesOnceListed) {
  std::string sub = dir_.Child("sub");
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  WriteText(sub + "/f", "x");
  FaultInjectionEnv faults;
  faults.VanishAfterListing(sub);
  std::vector<DirectoryEntry> entries;
  ASSERT_TRUE(faults.ListDirectory(sub, &entries).ok());
  ASSERT_EQ(entries.size(), 1u);
  FileInfo info;
  EXPECT_EQ(faults.Stat(sub + "/f", true, &info).code(), ENOENT);
  std::unique_ptr<ReadableFile> file;
  EXPECT_EQ(faults.OpenReadable(sub + "/f", &file).code(), ENOENT);
  EXPECT_EQ(faults.ListDirectory(sub, &entries).code(), ENOENT);
  EXPECT_EQ(faults.Stat(sub, true, &info).code(), ENOENT);
  EXPECT_TRUE(faults.Stat(dir_.path(), true, &info).ok());  // the parent is still there
}

TEST(ScopedTempDirTest, RemovesEverythingEvenUnreadableFolders) {
  std::string path;
  {
    ScopedTempDir dir;
    path = dir.path();
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(mkdir(dir.Child("locked").c_str(), 0755), 0);
    WriteText(dir.Child("locked/f"), "x");
    ASSERT_EQ(chmod(dir.Child("locked").c_str(), 0), 0);
  }
  struct stat st;
  EXPECT_NE(lstat(path.c_str(), &st), 0);
}

}  // namespace
}  // namespace quenvar::platform
