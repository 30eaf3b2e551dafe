// Mounting a formatted USB disk on a private folder. The mount tests need root and loop devices
// and are skipped (with the reason) without them.
#include "usb_volume.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "loop_device.h"
#include "tarnfold/tarnfold.h"

namespace quenvar::usbmedia {
namespace {

constexpr uint64_t kMiB = 1 << 20;

std::array<unsigned char, 512> Sector(size_t name_at, const char* name, bool signed_sector) {
  std::array<unsigned char, 512> s{};
  std::memcpy(s.data() + name_at, name, std::strlen(name));
  if (signed_sector) {
    s[510] = 0x55;
    s[511] = 0xAA;
  }
  return s;
}

TEST(UsbVolume, DetectsTheFileSystemFromTheBootSector) {
  auto fat = Sector(82, "FAT32   ", true);
  EXPECT_EQ(DetectFileSystem(fat.data(), fat.size()), VolumeFileSystem::kFat32);
  auto ntfs = Sector(3, "NTFS    ", true);
  EXPECT_EQ(DetectFileSystem(ntfs.data(), ntfs.size()), VolumeFileSystem::kNtfs);
  // A FAT16 volume, an unsigned sector and a short read are nothing this program writes.
  auto fat16 = Sector(54, "FAT16   ", true);
  EXPECT_EQ(DetectFileSystem(fat16.data(), fat16.size()), VolumeFileSystem::kUnknown);
  auto unsigned_fat = Sector(82, "FAT32   ", false);
  EXPECT_EQ(DetectFileSystem(unsigned_fat.data(), unsigned_fat.size()), VolumeFileSystem::kUnknown);
  EXPECT_EQ(DetectFileSystem(fat.data(), 511), VolumeFileSystem::kUnknown);
  EXPECT_EQ(DetectFileSystem(nullptr, 512), VolumeFileSystem::kUnknown);
}

TEST(UsbVolume, RefusesLettersThatAreNoUsbDrive) {
  const platform::DriveMap map = platform::DriveMap::Parse("C=fixed:/dev/null;D=/dev/sr0");
  int error = 0;
  std::string why;
  EXPECT_EQ(UsbVolume::Mount(map, 'C', &error, &why), nullptr);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(UsbVolume::Mount(map, 'D', &error, &why), nullptr);
  EXPECT_EQ(UsbVolume::Mount(map, 'Q', &error, &why), nullptr);
  EXPECT_FALSE(why.empty());
}

class ScopedDrives {
 public:
  explicit ScopedDrives(const std::string& map) {
    if (const char* old = getenv("QUENVAR_DRIVES")) old_ = old, had_ = true;
    setenv("QUENVAR_DRIVES", map.c_str(), 1);
  }
  ~ScopedDrives() {
    if (had_) {
      setenv("QUENVAR_DRIVES", old_.c_str(), 1);
    } else {
      unsetenv("QUENVAR_DRIVES");
    }
  }

 private:
  bool had_ = false;
  std::string old_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Formats the loop device with Tarnfold, mounts it, writes a file, remounts it and reads the file
// back from the medium; after unmounting the folder is no mount point and the file is on the disk.
void RoundTrip(const char16_t* file_system, const char* driver_prefix) {
  usbformat::LoopDevice loop(96 * kMiB);
  if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.why();
  ScopedDrives drives("U=usb:" + loop.device());
  ASSERT_EQ(Tarnfold('U', file_system, u"VOLTEST"), TF_OK);
  const platform::DriveMap map = platform::DriveMap::Load();
  int error = 0;
  std::string why;
  std::unique_ptr<UsbVolume> volume = UsbVolume::Mount(map, 'U', &error, &why);
  if (!volume && error == ENODEV) GTEST_SKIP() << "no driver for the file system: " << why;
  ASSERT_NE(volume, nullptr) << why;
  EXPECT_EQ(volume->driver().rfind(driver_prefix, 0), 0u) << volume->driver();
  // The mounted root has the file system's own modes; the folder holding it keeps others out.
  struct stat st {};
  const std::string holder = volume->path().substr(0, volume->path().rfind('/'));
  ASSERT_EQ(stat(holder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u) << "the mount folder must be private";

  std::string payload(300000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131 % 251);
  if (FatTool* tool = volume->fat_tool()) {
    // No vfat in this kernel: the files go through mtools, and come back the same way.
    EXPECT_EQ(volume->driver(), "mtools");
    char local[] = "/tmp/usb-volume-src-XXXXXX";
    ASSERT_NE(mkdtemp(local), nullptr);
    const std::string source = std::string(local) + "/data.bin";
    std::ofstream(source, std::ios::binary) << payload;
    ASSERT_EQ(tool->MakeFolders({"Deep"}), 0);
    // The second copy takes a name of its own (as a boot program does on a bootable stick).
    ASSERT_EQ(tool->CopyInto({"Deep"}, {{source, "data.bin"}, {source, "LOADER.BIN"}}, nullptr),
              0u);
    ASSERT_EQ(volume->Remount(), 0);
    auto renamed = tool->Open({"Deep"}, "LOADER.BIN");
    ASSERT_NE(renamed, nullptr);
    EXPECT_EQ(renamed->size(), payload.size());
    renamed.reset();
    auto reader = tool->Open({"Deep"}, "data.bin");
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->size(), payload.size());
    std::string back(payload.size() + 10, '\0');
    uint32_t got = 0, total = 0;
    while (reader->Read(&back[total], static_cast<uint32_t>(back.size() - total), &got) && got > 0)
      total += got;
    back.resize(total);
    EXPECT_EQ(back, payload);
    EXPECT_EQ(tool->Open({"Deep"}, "absent.bin"), nullptr);
    unlink(source.c_str());
    rmdir(local);
  } else {
    ASSERT_EQ(mkdir((volume->path() + "/Deep").c_str(), 0755), 0);
    std::ofstream(volume->path() + "/Deep/data.bin", std::ios::binary) << payload;
    ASSERT_EQ(volume->Remount(), 0);
    EXPECT_EQ(ReadAll(volume->path() + "/Deep/data.bin"), payload);
  }

  const std::string folder = volume->path();
  ASSERT_EQ(volume->Unmount(), 0);
  EXPECT_FALSE(volume->mounted());
  std::ifstream gone(folder + "/Deep/data.bin");
  EXPECT_FALSE(gone.good()) << "still mounted after Unmount";
  volume.reset();
  EXPECT_NE(stat(folder.c_str(), &st), 0) << "the private folder was left behind";
}

TEST(FatTool, PathsNamesAndListings) {
  // "[" opens a pattern for mtools; a literal one is written as a class of its own.
  EXPECT_EQ(FatToolPath({}), "::/");
  EXPECT_EQ(FatToolPath({"A", "b[1]", "\u00dcber"}), "::/A/b[[]1]/\u00dcber");
  EXPECT_TRUE(IsFatName("\u00dcberpr\u00fcfung \u30ea\u30ab\u30d0\u30ea.txt"));
  EXPECT_TRUE(IsFatName("a[1] x.txt"));
  for (const char* bad :
       {"", ".", "..", "a*b", "a?b", "a:b", "a\\b", "a/b", "a|b", "a\"b", "a<b", "a\tb"}) {
    EXPECT_FALSE(IsFatName(bad)) << bad;
  }
  const FatListing listing = ParseFatListing(
      " Volume in drive : is TEST\n"
      " Volume Serial Number is 72C9-39B2\n"
      "Directory for ::/D\n"
      "\n"
      ".            <DIR>     2026-12-08  10:09 \n"
      "..           <DIR>     2026-12-08  10:09 \n"
      "\u00c9            <DIR>     2026-12-08  10:09 \n"
      "_X_~1        <DIR>     2026-12-08  10:09  [x]\n"
      "A_1_X~1  TXT         3 2026-12-08  10:09  a[1] x.txt\n"
      "\u00dcBERPR~1 TXT    123456 2019-03-04   5:06  \u00dcberpr\u00fcfung 2019-03-04 x.txt\n"
      "PLAIN    BIN         2 2021-07-15  23:59\n"
      "NOEXT               7 2021-07-15  23:59\n"
      "        4 files                   6 bytes\n"
      "                         66 054 144 bytes free\n");
  EXPECT_EQ(listing.folders, (std::set<std::string>{"\u00c9", "[x]"}));
  EXPECT_EQ(listing.files,
            (std::map<std::string, uint64_t>{{"a[1] x.txt", 3},
                                             {"\u00dcberpr\u00fcfung 2019-03-04 x.txt", 123456},
                                             {"PLAIN.BIN", 2},
                                             {"NOEXT", 7}}));
}

TEST(UsbVolumeLoop, Fat32RoundTripThroughTheMedium) {
  RoundTrip(u"FAT32", "");
}

TEST(UsbVolumeLoop, NtfsRoundTripThroughTheMedium) {
  RoundTrip(u"NTFS", "ntfs-3g");
}

// What 7z, which reads the partition itself, lists as the attributes of path ("" when absent).
std::string MediumAttributes(const std::string& partition, const std::string& path) {
  const std::string text = usbformat::Capture("7z l -slt '" + partition + "' 2>/dev/null");
  std::istringstream lines(text);
  std::string line;
  bool inside = false;
  while (std::getline(lines, line)) {
    if (line.rfind("Path = ", 0) == 0) inside = line.substr(7) == path;
    if (inside && line.rfind("Attributes = ", 0) == 0) return line.substr(13);
  }
  return "";
}

// The DOS letters among 7z's attributes ("RHS" order), ignoring the archive bit and Unix modes.
std::string DosLetters(const std::string& attributes) {
  std::string letters;
  for (const char c : std::string("RHS")) {
    const size_t blank = attributes.find(' ');
    if (attributes.substr(0, blank).find(c) != std::string::npos) letters += c;
  }
  return letters;
}

// A Linux file says read-only by its mode alone.
TEST(UsbVolume, ALinuxFileSaysReadOnlyByItsMode) {
  char local[] = "/tmp/usb-attributes-XXXXXX";
  ASSERT_NE(mkdtemp(local), nullptr);
  for (const mode_t mode : {0444, 0644, 0400}) {
    const std::string path = std::string(local) + "/f";
    std::ofstream(path) << "x";
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    const int fd = open(path.c_str(), O_RDONLY);
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    // root may still write to a 0400 file; the attribute follows what the mode says of everyone.
    EXPECT_EQ(SourceDosAttributes(fd, st), (mode & 0222) == 0 ? kDosReadOnly : 0u) << mode;
    close(fd);
    unlink(path.c_str());
  }
  rmdir(local);
}

// A copy on the mounted volume (vfat, ntfs-3g) takes the read-only, hidden and system attributes,
// which the volume then reports as a source would, and which another reader of the partition sees.
void KeepsDosAttributes(const char16_t* file_system) {
  usbformat::LoopDevice loop(96 * kMiB);
  if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.why();
  ScopedDrives drives("U=usb:" + loop.device());
  ASSERT_EQ(Tarnfold('U', file_system, u"ATTRIB"), TF_OK);
  int error = 0;
  std::string why;
  std::unique_ptr<UsbVolume> volume =
      UsbVolume::Mount(platform::DriveMap::Load(), 'U', &error, &why);
  if (!volume && error == ENODEV) GTEST_SKIP() << "no driver for the file system: " << why;
  ASSERT_NE(volume, nullptr) << why;
  if (volume->fat_tool() != nullptr) GTEST_SKIP() << "no vfat: the files go through mtools";
  const std::map<std::string, uint32_t> files = {{"plain.txt", 0},
                                                 {"read-only.txt", kDosReadOnly},
                                                 {"hidden system.sys", kDosHidden | kDosSystem},
                                                 {"all three.bin", kKeptDosAttributes}};
  for (const auto& [name, attributes] : files) {
    const int fd = open((volume->path() + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << name;
    ASSERT_EQ(write(fd, "data", 4), 4);
    EXPECT_EQ(KeepDosAttributes(fd, attributes), 0) << name;
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(SourceDosAttributes(fd, st), attributes) << name;
    close(fd);
  }
  // Read back from the medium, through the driver and, where 7z is there, by 7z itself.
  ASSERT_EQ(volume->Remount(), 0);
  for (const auto& [name, attributes] : files) {
    const int fd = open((volume->path() + "/" + name).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << name;
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(SourceDosAttributes(fd, st), attributes) << name << " after remounting";
    close(fd);
  }
  ASSERT_EQ(volume->Unmount(), 0);
  if (system("command -v 7z >/dev/null 2>&1") != 0) return;
  for (const auto& [name, attributes] : files) {
    std::string expected;
    if (attributes & kDosReadOnly) expected += 'R';
    if (attributes & kDosHidden) expected += 'H';
    if (attributes & kDosSystem) expected += 'S';
    EXPECT_EQ(DosLetters(MediumAttributes(loop.PartitionNode(1), name)), expected)
        << name << ": " << MediumAttributes(loop.PartitionNode(1), name);
  }
}

TEST(UsbVolumeLoop, Fat32CopiesKeepTheDosAttributes) {
  KeepsDosAttributes(u"FAT32");
}
TEST(UsbVolumeLoop, NtfsCopiesKeepTheDosAttributes) {
  KeepsDosAttributes(u"NTFS");
}

TEST(UsbVolumeLoop, AnUnformattedPartitionIsRefused) {
  usbformat::LoopDevice loop(32 * kMiB);
  if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.why();
  ASSERT_TRUE(loop.Partition("label: dos\n,,83\n"));
  ASSERT_FALSE(loop.PartitionNode(1).empty());
  const platform::DriveMap map = platform::DriveMap::Parse("U=usb:" + loop.device());
  int error = 0;
  std::string why;
  EXPECT_EQ(UsbVolume::Mount(map, 'U', &error, &why), nullptr);
  EXPECT_EQ(error, EMEDIUMTYPE) << why;
}

}  // namespace
}  // namespace quenvar::usbmedia
