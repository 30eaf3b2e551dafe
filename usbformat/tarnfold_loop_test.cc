// Tarnfold end to end on loop devices over sparse files, registered in the drive map as USB media.
// Root only: skipped (with the reason) where loop devices cannot be set up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "loop_device.h"
#include "platform/temp_dir.h"
#include "tarnfold/tarnfold.h"

namespace quenvar::usbformat {
namespace {

constexpr uint64_t kMiB = 1 << 20;

// Sets an environment variable for the life of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) {
      had_ = true;
      old_ = old;
    }
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

#define REQUIRE_LOOP(loop)                                              \
  if (!(loop).ok()) GTEST_SKIP() << "no loop device: " << (loop).why(); \
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + (loop).device())

std::string Tag(const std::string& node, const std::string& tag) {
  std::string out = Capture("blkid -p -o value -s " + tag + " '" + node + "' 2>/dev/null");
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// sfdisk's dump of the table: one line per partition.
std::vector<std::string> PartitionLines(const std::string& device) {
  std::vector<std::string> lines;
  std::string dump = Capture("sfdisk -d '" + device + "' 2>/dev/null");
  size_t start = 0;
  while (start < dump.size()) {
    size_t end = dump.find('\n', start);
    if (end == std::string::npos) end = dump.size();
    std::string line = dump.substr(start, end - start);
    if (line.rfind(device, 0) == 0) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::array<uint8_t, 512> FirstSector(const std::string& device) {
  std::array<uint8_t, 512> s{};
  int fd = open(device.c_str(), O_RDONLY);
  if (fd >= 0) {
    if (pread(fd, s.data(), s.size(), 0) != 512) s.fill(0);
    close(fd);
  }
  return s;
}

// A folder whose tools come first on PATH, to stand in for a failing or outside program.
class FakeTools {
 public:
  FakeTools()
      : path_("PATH", dir_.path() + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")) {}
  void Add(const std::string& name, const std::string& body) {
    std::string file = dir_.Child(name);
    std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
    chmod(file.c_str(), 0755);
  }
  std::string Child(const std::string& name) const { return dir_.Child(name); }

 private:
  platform::ScopedTempDir dir_{"tarnfold-tools-"};
  ScopedEnv path_;
};

TEST(TarnfoldLoop, FormatsFat32AsOneActivePartition) {
  LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ASSERT_TRUE(loop.Partition("label: dos\n,40M,83\n,,83\n"));  // old contents to be replaced
  EXPECT_EQ(Tarnfold('u', u"fat32", u"RECOVERY"), TF_OK);
  auto lines = PartitionLines(loop.device());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("type=c"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("bootable"), std::string::npos) << lines[0];
  std::string part = loop.PartitionNode(1);
  ASSERT_FALSE(part.empty());
  EXPECT_EQ(Tag(part, "TYPE"), "vfat");
  EXPECT_EQ(Tag(part, "VERSION"), "FAT32");
  EXPECT_EQ(Tag(part, "LABEL"), "RECOVERY");
  int rc = -1;
  Capture("fsck.vfat -n '" + part + "' >/dev/null 2>&1", &rc);
  EXPECT_EQ(rc, 0);
  // The BIOS boot path: the master boot record's program in front of sfdisk's table (which left
  // the area empty), and the volume's boot program looking for the loader, at the partition's
  // place on the disk.
  auto mbr = FirstSector(loop.device());
  std::string code(mbr.begin(), mbr.begin() + 440);
  EXPECT_NE(code.find("Missing operating system"), std::string::npos);
  EXPECT_NE(mbr[446 + 8] | (mbr[446 + 9] << 8), 0);
  auto boot = FirstSector(part);
  EXPECT_EQ(std::string(boot.begin() + 0x1F3, boot.begin() + 0x1FE), "QVBOOT  BIN");
  EXPECT_EQ(0, std::memcmp(boot.data() + 0x1C, mbr.data() + 446 + 8, 4)) << "hidden sectors";
  EXPECT_EQ(boot[510], 0x55);
  EXPECT_EQ(boot[511], 0xAA);
}

TEST(TarnfoldLoop, FormatsNtfsWithTheLabelCutToTwelve) {
  LoopDevice loop(64 * kMiB);
  REQUIRE_LOOP(loop);
  EXPECT_EQ(Tarnfold('U', u"NTFS", u"RECOVERY-DISK"), TF_OK);  // 13 characters
  auto lines = PartitionLines(loop.device());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("type=7"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("bootable"), std::string::npos) << lines[0];
  std::string part = loop.PartitionNode(1);
  ASSERT_FALSE(part.empty());
  EXPECT_EQ(Tag(part, "TYPE"), "ntfs");
  EXPECT_EQ(Tag(part, "LABEL"), "RECOVERY-DIS");
  int rc = -1;
  Capture("ntfsinfo -m '" + part + "' >/dev/null 2>&1", &rc);
  EXPECT_EQ(rc, 0);
}

TEST(TarnfoldLoop, Fat32LabelsOutsideAsciiAreStoredInTheOemCodePage) {
  LoopDevice loop(96 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv code_page("QUENVAR_CODEPAGE", "1252");
  struct Case {
    const char16_t* label;
    const char* stored;
  } cases[] = {{u"\u00c9", "\u00c9"},
               {u"\u00c9T\u00c9 \u00dc", "\u00c9T\u00c9 \u00dc"},
               {u"\u30ea\u30ab\u30d0\u30ea", "____"}};  // not in code page 850
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(Tarnfold('U', u"FAT32", c.label), TF_OK) << c.stored;
    // The tools' own chatter stays out of the program's output.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::string part = loop.PartitionNode(1);
    ASSERT_FALSE(part.empty());
    std::string label = Capture("LC_ALL=C.UTF-8 fatlabel -c 850 '" + part + "' 2>/dev/null");
    while (!label.empty() && (label.back() == '\n' || label.back() == ' ')) label.pop_back();
    EXPECT_EQ(label, c.stored);
    // mtools reads the same label from the root folder.
    std::string listed =
        Capture("LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 mlabel -s -i '" + part + "' :: 2>/dev/null");
    EXPECT_NE(listed.find(std::string("is ") + c.stored), std::string::npos) << listed;
    // fsck.fat 4.2 calls every label byte above 0x7F invalid (whoever wrote it); anything else
    // it finds is a fault.
    int rc = -1;
    std::string report = Capture("fsck.vfat -n '" + part + "' 2>&1", &rc);
    if (rc != 0) {
      for (size_t at = 0; (at = report.find('\n', at)) != std::string::npos; ++at) {
        std::string line = report.substr(at + 1, report.find('\n', at + 1) - at - 1);
        EXPECT_TRUE(line.empty() || line.find("label") != std::string::npos ||
                    line.find("Leaving") != std::string::npos || line.find(part + ":") == 0)
            << line;
      }
    }
  }
}

TEST(TarnfoldLoop, NtfsBootSectorKnowsWhereItSits) {
  LoopDevice loop(64 * kMiB);
  REQUIRE_LOOP(loop);
  ASSERT_EQ(Tarnfold('U', u"NTFS", u"\u30ea\u30ab\u30d0\u30ea"), TF_OK);
  std::string part = loop.PartitionNode(1);
  ASSERT_FALSE(part.empty());
  EXPECT_EQ(Capture("LC_ALL=C.UTF-8 ntfslabel '" + part + "' 2>/dev/null"),
            "\u30ea\u30ab\u30d0\u30ea\n");
  auto lines = PartitionLines(loop.device());
  ASSERT_EQ(lines.size(), 1u);
  const size_t at = lines[0].find("start=");
  ASSERT_NE(at, std::string::npos);
  const uint32_t start = static_cast<uint32_t>(std::stoul(lines[0].substr(at + 6)));
  std::array<uint8_t, 512> boot = FirstSector(part);
  auto u16 = [&](size_t o) { return static_cast<uint32_t>(boot[o] | (boot[o + 1] << 8)); };
  auto u32 = [&](size_t o) { return u16(o) | (u16(o + 2) << 16); };
  EXPECT_EQ(u16(0x0B), 512u);   // bytes per sector
  EXPECT_EQ(u16(0x18), 63u);    // sectors per track of a drive without its own geometry
  EXPECT_EQ(u16(0x1A), 255u);   // heads
  EXPECT_EQ(u32(0x1C), start);  // hidden sectors: where the partition starts
  EXPECT_GT(start, 0u);
}

// A FUSE driver mounts the stick under a device number of its own (0:NN).
class FuseMount {
 public:
  explicit FuseMount(const std::string& node) {
    char pattern[] = "/tmp/tarnfold-fuse-XXXXXX";
    if (!mkdtemp(pattern)) return;
    point_ = pattern;
    int rc = -1;
    Capture("ntfs-3g '" + node + "' '" + point_ + "' 2>/dev/null", &rc);
    mounted_ = rc == 0;
  }
  ~FuseMount() {
    if (!point_.empty()) {
      umount2(point_.c_str(), MNT_DETACH);
      rmdir(point_.c_str());
    }
  }
  bool mounted() const { return mounted_; }
  const std::string& point() const { return point_; }

 private:
  std::string point_;
  bool mounted_ = false;
};

bool IsMounted(const std::string& point) {
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.find(" " + point + " ") != std::string::npos) return true;
  }
  return false;
}

TEST(TarnfoldLoop, AFuseMountOfTheStickIsReleasedBeforeFormatting) {
  LoopDevice loop(64 * kMiB);
  REQUIRE_LOOP(loop);
  ASSERT_EQ(Tarnfold('U', u"NTFS", u"OLD"), TF_OK);
  FuseMount fuse(loop.PartitionNode(1));
  if (!fuse.mounted()) GTEST_SKIP() << "ntfs-3g cannot mount here";
  std::ofstream(fuse.point() + "/stale.txt") << "written through the old mount";
  ASSERT_EQ(Tarnfold('U', u"FAT32", u"NEW"), TF_OK);
  EXPECT_FALSE(IsMounted(fuse.point())) << "formatted under a live mount";
  std::string part = loop.PartitionNode(1);
  EXPECT_EQ(Tag(part, "TYPE"), "vfat");
  EXPECT_EQ(Tag(part, "LABEL"), "NEW");
  int rc = -1;
  Capture("fsck.vfat -n '" + part + "' >/dev/null 2>&1", &rc);
  EXPECT_EQ(rc, 0);
}

TEST(TarnfoldLoop, AFuseMountThatCannotBeReleasedRefusesTheDrive) {
  LoopDevice loop(64 * kMiB);
  REQUIRE_LOOP(loop);
  ASSERT_EQ(Tarnfold('U', u"NTFS", u"BUSY"), TF_OK);
  FuseMount fuse(loop.PartitionNode(1));
  if (!fuse.mounted()) GTEST_SKIP() << "ntfs-3g cannot mount here";
  // A file held open inside the mount keeps it busy.
  int held = open((fuse.point() + "/held.txt").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(held, 0);
  const std::string before = loop.Hash();
  EXPECT_EQ(Tarnfold('U', u"FAT32", u"NEW"), TF_E_OPEN);
  EXPECT_TRUE(IsMounted(fuse.point()));
  EXPECT_EQ(loop.Hash(), before);
  close(held);
}

TEST(TarnfoldLoop, FallbackRefusesTwoPartitionsAndLeavesThemAlone) {
  LoopDevice loop(64 * kMiB);
  REQUIRE_LOOP(loop);
  ASSERT_TRUE(loop.Partition("label: dos\n,20M,c\n,,7\n"));
  std::string before = loop.Hash();
  FakeTools tools;
  tools.Add("sfdisk", "exit 1");  // the partitioning step fails
  EXPECT_EQ(Tarnfold('U', u"FAT32", u"X"), TF_E_LAYOUT);
  EXPECT_EQ(loop.Hash(), before);
}

TEST(TarnfoldLoop, FallbackRewritesTheBootRecordAndFormats) {
  LoopDevice loop(128 * kMiB);
  REQUIRE_LOOP(loop);
  // One partition in the second slot; its index must be kept.
  ASSERT_TRUE(loop.Partition("label: dos\nstart=2048,size=0,type=0\nstart=4096,type=83\n"));
  FakeTools tools;
  tools.Add("sfdisk", "exit 1");
  ASSERT_EQ(Tarnfold('U', u"FAT32", u"FALLBACK"), TF_OK);
  auto mbr = FirstSector(loop.device());
  EXPECT_EQ(mbr[510], 0x55);
  EXPECT_EQ(mbr[511], 0xAA);
  std::string code(mbr.begin(), mbr.begin() + 446);
  EXPECT_NE(code.find("Missing operating system"), std::string::npos);
  const uint8_t* e = mbr.data() + 446 + 16;
  EXPECT_EQ(e[0], 0x80);
  EXPECT_EQ(e[4], 0x0C);
  uint32_t lba = e[8] | (e[9] << 8) | (e[10] << 16) | (static_cast<uint32_t>(e[11]) << 24);
  uint32_t count = e[12] | (e[13] << 8) | (e[14] << 16) | (static_cast<uint32_t>(e[15]) << 24);
  EXPECT_EQ(lba + count, 128 * kMiB / 512);  // to the end of the drive, after the first track
  EXPECT_EQ(mbr[446], 0);                    // the first slot stays empty
  std::string part = loop.PartitionNode(2);
  ASSERT_FALSE(part.empty());
  EXPECT_EQ(Tag(part, "LABEL"), "FALLBACK");
  auto boot = FirstSector(part);
  EXPECT_EQ(std::string(boot.begin() + 0x1F3, boot.begin() + 0x1FE), "QVBOOT  BIN");
  int rc = -1;
  Capture("fsck.vfat -n '" + part + "' >/dev/null 2>&1", &rc);
  EXPECT_EQ(rc, 0);
}

TEST(TarnfoldLoop, FallbackRetriesAFailingFormatterFiveTimes) {
  LoopDevice loop(64 * kMiB);
  REQUIRE_LOOP(loop);
  ASSERT_TRUE(loop.Partition("label: dos\n,,c\n"));
  FakeTools tools;
  tools.Add("sfdisk", "exit 1");
  tools.Add("mkfs.vfat", "echo run >> '" + tools.Child("runs") + "'; exit 1");
  EXPECT_EQ(Tarnfold('U', u"FAT32", nullptr), TF_E_TOOL_FAILED);
  std::ifstream runs(tools.Child("runs"));
  int n = 0;
  for (std::string line; std::getline(runs, line);) ++n;
  EXPECT_EQ(n, 5);
}

TEST(TarnfoldLoop, FixedDiskLetterIsNeverTouched) {
  LoopDevice loop(32 * kMiB);
  if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.why();
  ASSERT_TRUE(loop.Partition("label: dos\n,,83\n"));
  std::string before = loop.Hash();
  ScopedEnv drives("QUENVAR_DRIVES", "C=fixed:" + loop.device() + ";D=" + loop.device());
  EXPECT_EQ(Tarnfold('C', u"FAT32", u"X"), TF_E_NOT_REMOVABLE);
  EXPECT_EQ(Tarnfold('D', u"NTFS", u"X"), TF_E_NOT_REMOVABLE);
  EXPECT_EQ(Tarnfold('Q', u"NTFS", u"X"), TF_E_NOT_REMOVABLE);
  EXPECT_EQ(loop.Hash(), before);
}

TEST(TarnfoldLoop, DriveHoldingASystemMountIsRefused) {
  LoopDevice loop(64 * kMiB);
  REQUIRE_LOOP(loop);
  ASSERT_TRUE(loop.Partition("label: dos\n,,83\n"));
  std::string part = loop.PartitionNode(1);
  ASSERT_FALSE(part.empty());
  int rc = -1;
  Capture("mkfs.ext4 -q '" + part + "' 2>/dev/null", &rc);
  if (rc != 0) GTEST_SKIP() << "mkfs.ext4 unavailable";
  // /var/tmp is below a system folder: a disk mounted there is part of the running system.
  char pattern[] = "/var/tmp/tarnfold-sys-XXXXXX";
  if (!mkdtemp(pattern)) GTEST_SKIP() << "no /var/tmp";
  std::string mount_point = pattern;
  std::string before = loop.Hash();
  // Read-only, so that the mount itself leaves the device as it was.
  if (mount(part.c_str(), mount_point.c_str(), "ext4", MS_RDONLY, "noload") != 0) {
    rmdir(mount_point.c_str());
    GTEST_SKIP() << "cannot mount ext4 here";
  }
  EXPECT_EQ(Tarnfold('U', u"FAT32", u"X"), TF_E_NOT_REMOVABLE);
  EXPECT_EQ(umount(mount_point.c_str()), 0);
  rmdir(mount_point.c_str());
  EXPECT_EQ(loop.Hash(), before);
}

TEST(TarnfoldLoop, MountsElsewhereAreReleasedBeforeFormatting) {
  LoopDevice loop(64 * kMiB);
  REQUIRE_LOOP(loop);
  ASSERT_TRUE(loop.Partition("label: dos\n,,83\n"));
  std::string part = loop.PartitionNode(1);
  ASSERT_FALSE(part.empty());
  int rc = -1;
  Capture("mkfs.ext4 -q '" + part + "' 2>/dev/null", &rc);
  if (rc != 0) GTEST_SKIP() << "mkfs.ext4 unavailable";
  // Where a desktop or the program itself would mount the stick.
  char pattern[] = "/tmp/tarnfold-media-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string mount_point = pattern;
  if (mount(part.c_str(), mount_point.c_str(), "ext4", 0, nullptr) != 0) {
    rmdir(mount_point.c_str());
    GTEST_SKIP() << "cannot mount ext4 here";
  }
  EXPECT_EQ(Tarnfold('U', u"NTFS", u"STICK"), TF_OK);
  if (umount(mount_point.c_str()) == 0) ADD_FAILURE() << "the old file system was still mounted";
  rmdir(mount_point.c_str());
  EXPECT_EQ(Tag(loop.PartitionNode(1), "TYPE"), "ntfs");
}

TEST(TarnfoldLoop, OldPlatformVersionsRunTheOutsideFormatter) {
  LoopDevice loop(32 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv version("QUENVAR_PLATFORM_VERSION", "5.1");
  {
    FakeTools tools;
    tools.Add("formatufd", "echo \"$@\" > '" + tools.Child("args") + "'; exit 0");
    EXPECT_EQ(Tarnfold('u', u"NTFS", nullptr), TF_OK);
    std::ifstream args(tools.Child("args"));
    std::string line;
    std::getline(args, line);
    EXPECT_EQ(line, "U: /Y");
  }
  {
    FakeTools tools;
    tools.Add("formatufd", "exit 2");
    EXPECT_EQ(Tarnfold('U', u"FAT32", nullptr), TF_E_TOOL_FAILED);
  }
  EXPECT_EQ(Tarnfold('U', u"FAT32", nullptr), TF_E_TOOL_START);  // nowhere to be found
}

}  // namespace
}  // namespace quenvar::usbformat
