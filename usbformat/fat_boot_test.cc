// The volume boot program installed into FAT32 volumes that mkfs.fat made (when it is installed),
// judged by fsck.fat; the master boot record's program written in front of a partition table.
#include "fat_boot.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "boot_code.h"
#include "platform/temp_dir.h"

namespace quenvar::usbformat {

namespace {

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

int RunShell(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveMkfs() {
  return RunShell("PATH=$PATH:/usr/sbin:/sbin command -v mkfs.fat") == 0 &&
         RunShell("PATH=$PATH:/usr/sbin:/sbin command -v fsck.fat") == 0;
}

// A FAT volume image of mkfs.fat; empty path when mkfs.fat failed.
std::string MakeVolume(const platform::ScopedTempDir& dir, const std::string& options) {
  const std::string image = dir.Child("volume.img");
  unlink(image.c_str());
  if (RunShell("PATH=$PATH:/usr/sbin:/sbin mkfs.fat -C " + options + " '" + image + "' 40960") != 0)
    return "";
  return image;
}

FatBootResult Install(const std::string& image, std::string_view name = kFatBootLoader,
                      uint64_t offset = 0, int flags = O_RDWR) {
  const int fd = open(image.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return FatBootResult::kReadFailed;
  const FatBootResult result = InstallFatBootProgram(fd, offset, name);
  close(fd);
  return result;
}

// fsck.fat finds nothing to repair (it compares the boot sector with its backup too).
::testing::AssertionResult FsckClean(const std::string& image) {
  const std::string report = image + ".fsck";
  const int rc = RunShell("PATH=$PATH:/usr/sbin:/sbin fsck.fat -n '" + image + "' >'" + report +
                          "' 2>&1; exit $(( $? ))");
  const std::vector<uint8_t> text = ReadFile(report);
  const std::string out(text.begin(), text.end());
  if (rc != 0 || out.find("differences") != std::string::npos)
    return ::testing::AssertionFailure() << "fsck.fat exit " << rc << ": " << out;
  return ::testing::AssertionSuccess();
}

TEST(FatBootSector, AssembledProgramKeepsTheLayoutTheInstallerExpects) {
  // A short jump to the code area, the default loader name where the installer writes it, and
  // the signature: the source and these constants must agree.
  EXPECT_EQ(kFatBootSector[0], 0xEB);
  EXPECT_EQ(kFatBootSector[1] + 2, static_cast<int>(kFatBootCodeStart));
  EXPECT_EQ(0, std::memcmp(kFatBootSector + kFatLoaderNameOffset, "QVBOOT  BIN", 11));
  EXPECT_EQ(kFatBootSector[510], 0x55);
  EXPECT_EQ(kFatBootSector[511], 0xAA);
  const std::string code(kFatBootSector + kFatBootCodeStart, kFatBootSector + kFatLoaderNameOffset);
  EXPECT_NE(code.find("Not a bootable medium: no loader"), std::string::npos);
  EXPECT_NE(code.find("Disk read error"), std::string::npos);
}

TEST(FatBootSector, ShortNames) {
  std::array<char, 11> stored;
  ASSERT_TRUE(ShortDirectoryName("QVBOOT.BIN", &stored));
  EXPECT_EQ(std::string(stored.begin(), stored.end()), "QVBOOT  BIN");
  ASSERT_TRUE(ShortDirectoryName("LOADER", &stored));
  EXPECT_EQ(std::string(stored.begin(), stored.end()), "LOADER     ");
  ASSERT_TRUE(ShortDirectoryName("A_1-Z.S", &stored));
  EXPECT_EQ(std::string(stored.begin(), stored.end()), "A_1-Z   S  ");
  for (const char* bad : {"", ".BIN", "qvboot.bin", "TOOLONGNAME.BIN", "LOADER.BINX", "LOADER.",
                          "A.B.C", "SP ACE.BIN", "\xc3\x89T\xc3\x89.BIN"}) {
    EXPECT_FALSE(ShortDirectoryName(bad, &stored)) << bad;
  }
}

TEST(FatBootSector, InstallsIntoAMkfsVolumeKeepingItsParameterBlockAndBackup) {
  if (!HaveMkfs()) GTEST_SKIP() << "mkfs.fat is not installed";
  platform::ScopedTempDir dir;
  const std::string image = MakeVolume(dir, "-F 32 -n QV_TEST -h 2048");
  ASSERT_FALSE(image.empty());
  const std::vector<uint8_t> before = ReadFile(image);
  ASSERT_EQ(Install(image, "LOADER.SYS"), FatBootResult::kInstalled);
  const std::vector<uint8_t> after = ReadFile(image);
  ASSERT_EQ(before.size(), after.size());

  const size_t backup = 512 * (before[0x32] | (before[0x33] << 8));
  ASSERT_EQ(backup, 6u * 512);
  for (size_t at : {size_t{0}, backup}) {
    const uint8_t* s = after.data() + at;
    // The formatter's jump, parameter block (with the label and hidden sectors) and signature.
    EXPECT_EQ(0, std::memcmp(s, before.data() + at, kFatBootCodeStart)) << at;
    EXPECT_EQ(s[510], 0x55);
    EXPECT_EQ(s[511], 0xAA);
    EXPECT_EQ(0, std::memcmp(s + kFatBootCodeStart, kFatBootSector + kFatBootCodeStart,
                             kFatLoaderNameOffset - kFatBootCodeStart))
        << at;
    EXPECT_EQ(0, std::memcmp(s + kFatLoaderNameOffset, "LOADER  SYS", 11)) << at;
  }
  // Nothing else changed: not the FSInfo sector, the FATs or the root folder.
  size_t changed_elsewhere = 0;
  for (size_t i = 0; i < after.size(); ++i) {
    if (after[i] != before[i] && i / 512 != 0 && i / 512 != 6) ++changed_elsewhere;
  }
  EXPECT_EQ(changed_elsewhere, 0u);
  EXPECT_TRUE(FsckClean(image));
  // A second installation changes nothing more.
  ASSERT_EQ(Install(image, "LOADER.SYS"), FatBootResult::kInstalled);
  EXPECT_EQ(ReadFile(image), after);
}

TEST(FatBootSector, VolumesItCannotReadAreLeftAlone) {
  if (!HaveMkfs()) GTEST_SKIP() << "mkfs.fat is not installed";
  platform::ScopedTempDir dir;

  std::string image = MakeVolume(dir, "-F 16");
  ASSERT_FALSE(image.empty());
  std::vector<uint8_t> before = ReadFile(image);
  EXPECT_EQ(Install(image), FatBootResult::kNotFat32);
  EXPECT_EQ(ReadFile(image), before);

  // A backup whose parameter block is not the boot sector's: the volume is not as mkfs.fat left
  // it, and fsck.fat would have to choose between them.
  image = MakeVolume(dir, "-F 32");
  ASSERT_FALSE(image.empty());
  before = ReadFile(image);
  before[6 * 512 + 0x0D] ^= 0x02;
  WriteFile(image, before);
  EXPECT_EQ(Install(image), FatBootResult::kBackupDiffers);
  EXPECT_EQ(ReadFile(image), before);

  // A cluster size that is no power of two, and a loader name that is no 8.3 name.
  image = MakeVolume(dir, "-F 32");
  before = ReadFile(image);
  std::vector<uint8_t> big = before;
  big[0x0D] = 0;
  big[6 * 512 + 0x0D] = 0;
  WriteFile(image, big);
  EXPECT_EQ(Install(image), FatBootResult::kNotFat32);
  WriteFile(image, before);
  EXPECT_EQ(Install(image, "qvboot.bin"), FatBootResult::kBadLoaderName);
  EXPECT_EQ(ReadFile(image), before);

  // A read-only descriptor: the write fails and is reported, nothing is changed.
  EXPECT_EQ(Install(image, kFatBootLoader, 0, O_RDONLY), FatBootResult::kWriteFailed);
  EXPECT_EQ(ReadFile(image), before);

  // A volume cut short after its first sectors: the backup cannot be read.
  before.resize(3 * 512);
  WriteFile(image, before);
  EXPECT_EQ(Install(image), FatBootResult::kReadFailed);
  EXPECT_EQ(ReadFile(image), before);
}

TEST(FatBootSector, VolumeAtAnOffsetAndTheMasterBootRecord) {
  if (!HaveMkfs() || RunShell("PATH=$PATH:/usr/sbin:/sbin command -v sfdisk") != 0)
    GTEST_SKIP() << "mkfs.fat or sfdisk is not installed";
  platform::ScopedTempDir dir;
  const std::string disk = dir.Child("disk.img");
  ASSERT_EQ(
      RunShell("truncate -s 48M '" + disk +
               "' && printf 'label: dos\\nlabel-id: 0x1234abcd\\n"
               "start=2048, type=c, bootable\\n' | PATH=$PATH:/usr/sbin:/sbin sfdisk -q '" +
               disk + "' && PATH=$PATH:/usr/sbin:/sbin mkfs.fat -F 32 -h 2048 --offset 2048 '" +
               disk + "'"),
      0);
  const std::vector<uint8_t> before = ReadFile(disk);
  // The partitioner leaves the program area empty.
  EXPECT_EQ(std::vector<uint8_t>(before.begin(), before.begin() + 440),
            std::vector<uint8_t>(440, 0));

  const int fd = open(disk.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(WriteMasterBootCode(fd));
  EXPECT_EQ(InstallFatBootProgram(fd, 2048 * 512, kFatBootLoader), FatBootResult::kInstalled);
  close(fd);
  const std::vector<uint8_t> after = ReadFile(disk);
  // The program in front; the disk signature, partition table and 0x55AA as sfdisk wrote them.
  EXPECT_EQ(0, std::memcmp(after.data(), BootCode().data(), 440));
  EXPECT_EQ(std::vector<uint8_t>(BootCode().begin() + 440, BootCode().end()),
            std::vector<uint8_t>(6, 0))
      << "the program must leave the disk signature's place free";
  EXPECT_EQ(0, std::memcmp(after.data() + 440, before.data() + 440, 72));
  EXPECT_EQ(after[440], 0xcd);
  EXPECT_EQ(0, std::memcmp(after.data() + 2048 * 512 + kFatLoaderNameOffset, "QVBOOT  BIN", 11));

  const std::string volume = dir.Child("volume.img");
  std::vector<uint8_t> part(after.begin() + 2048 * 512, after.end());
  WriteFile(volume, part);
  EXPECT_TRUE(FsckClean(volume));

  // A first sector without the signature is no master boot record to write into.
  std::vector<uint8_t> blank(1024, 0);
  WriteFile(volume, blank);
  const int blank_fd = open(volume.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(blank_fd, 0);
  EXPECT_FALSE(WriteMasterBootCode(blank_fd));
  close(blank_fd);
  EXPECT_EQ(ReadFile(volume), blank);
}

}  // namespace
}  // namespace quenvar::usbformat
