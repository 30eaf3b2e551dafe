#include "platform/drive_map.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "gtest/gtest.h"
#include "platform/temp_dir.h"

namespace quenvar::platform {
namespace {

TEST(DriveMapTest, ParsesEveryKindAndSkipsOnlyTheBadEntries) {
  testing::internal::CaptureStderr();
  DriveMap map = DriveMap::Parse(
      "# recorders\n"
      "V=virtual:dvd+r:/var/tmp/v.disc\n"
      " d = /dev/sr0 ; U=usb:/dev/sdb,F=fixed:/dev/sda\r\n"
      "E:=optical:/dev/sr1\n"
      "1=/dev/sr2\n"            // not a letter
      "G\n"                     // no '='
      "H=cdrom:/dev/sr3\n"      // unknown kind
      "I=usb:sdc\n"             // relative device
      "J=virtual:/only/path\n"  // no media kind
      "D=/dev/sr9\n"            // letter taken
      "K=virtual:cd-r:\n"       // no backing file
      "L=/dev/sr4\n");
  std::string errors = testing::internal::GetCapturedStderr();
  ASSERT_EQ(map.Letters(), (std::vector<char>{'D', 'E', 'F', 'L', 'U', 'V'}));
  EXPECT_EQ(map.Find('d')->device_path, "/dev/sr0");
  EXPECT_EQ(map.Find('D')->kind, DriveKind::kOptical);
  EXPECT_EQ(map.Find('D')->type(), DriveType::kCdRom);
  EXPECT_EQ(map.Find('D')->drive_number(), 4u);
  EXPECT_EQ(map.Find('E')->device_path, "/dev/sr1");
  EXPECT_EQ(map.Find('F')->type(), DriveType::kFixed);
  EXPECT_EQ(map.Find('U')->type(), DriveType::kRemovable);
  EXPECT_EQ(map.Find('U')->device_path, "/dev/sdb");
  const DriveMapEntry* v = map.Find('V');
  EXPECT_EQ(v->kind, DriveKind::kVirtual);
  EXPECT_EQ(v->type(), DriveType::kCdRom);
  EXPECT_EQ(v->virtual_media, "dvd+r");
  EXPECT_EQ(v->backing_path, "/var/tmp/v.disc");
  EXPECT_EQ(map.Find('Z'), nullptr);
  // One line per bad entry, naming it.
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 7);
  for (const char* bad : {"1=/dev/sr2", "\"G\"", "H=cdrom:/dev/sr3", "I=usb:sdc", "J=virtual:/only/path",
                          "D=/dev/sr9", "K=virtual:cd-r:"}) {
    EXPECT_NE(errors.find(bad), std::string::npos) << bad;
  }
}

TEST(DriveMapTest, VirtualDrivesMayDeclareWhatTheyReadAndWrite) {
  testing::internal::CaptureStderr();
  DriveMap map = DriveMap::Parse(
      "W=virtual(reads=cd|dvd writes=cd-r|cd-rw):cd-r:/var/tmp/w:x.disc\n"
      "R=virtual(reads=cd-rom|dvd-rom):none:/var/tmp/r.disc\n"
      "V=virtual:dvd+r:/var/tmp/v.disc\n"
      "X=virtual(reads=cd:cd-r:/var/tmp/x.disc\n"  // unclosed
      "Y=virtual(writes=cd-r)/cd-r:/var/tmp/y.disc\n");
  const std::string errors = testing::internal::GetCapturedStderr();
  ASSERT_EQ(map.Letters(), (std::vector<char>{'R', 'V', 'W'}));
  const DriveMapEntry* w = map.Find('W');
  EXPECT_EQ(w->kind, DriveKind::kVirtual);
  EXPECT_EQ(w->virtual_drive, "reads=cd|dvd writes=cd-r|cd-rw");
  EXPECT_EQ(w->virtual_media, "cd-r");
  EXPECT_EQ(w->backing_path, "/var/tmp/w:x.disc");
  EXPECT_EQ(map.Find('R')->virtual_drive, "reads=cd-rom|dvd-rom");
  EXPECT_EQ(map.Find('R')->virtual_media, "none");
  // Entries without a declaration read as before.
  EXPECT_EQ(map.Find('V')->virtual_drive, "");
  EXPECT_EQ(map.Find('V')->virtual_media, "dvd+r");
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2);
}

// A fake /sys/class/block: entries are links into a fake device tree, as in sysfs.
class FakeSysfs {
 public:
  FakeSysfs() { mkdir(Block().c_str(), 0755); }
  std::string Block() const { return dir_.Child("block"); }
  void Add(const std::string& name, const std::string& device_folder, const char* removable) {
    std::string target = dir_.Child(device_folder + "/" + name);
    for (size_t i = 0; i != std::string::npos; i = target.find('/', i + 1)) {
      if (i > 0) mkdir(target.substr(0, i).c_str(), 0755);
    }
    mkdir(target.c_str(), 0755);
    if (removable) std::ofstream(target + "/removable") << removable << "\n";
    symlink(target.c_str(), (Block() + "/" + name).c_str());
  }

 private:
  ScopedTempDir dir_;
};

TEST(DriveMapTest, WithoutAMapOpticalDrivesComeFirstFromD) {
  FakeSysfs sys;
  sys.Add("sr10", "devices/pci/ata3", "1");
  sys.Add("sr2", "devices/pci/ata2", "1");
  sys.Add("sda", "devices/pci/ata1", "0");                 // fixed disk: not listed
  sys.Add("sda1", "devices/pci/ata1/sda", nullptr);        // a partition
  sys.Add("sdc", "devices/pci/usb1/1-1/host6", "1");
  sys.Add("sdb", "devices/pci/usb1/1-2/host5", "1");
  sys.Add("sdd", "devices/pci/usb2/2-1/host7", "0");      // a USB hard disk, not removable
  sys.Add("sde", "devices/pci/ata4", "1");                 // removable but not on USB
  sys.Add("loop0", "devices/virtual", "0");
  DriveMap map = DriveMap::FromSysfs(sys.Block());
  ASSERT_EQ(map.Letters(), (std::vector<char>{'D', 'E', 'F', 'G'}));
  EXPECT_EQ(map.Find('D')->device_path, "/dev/sr2");
  EXPECT_EQ(map.Find('E')->device_path, "/dev/sr10");
  EXPECT_EQ(map.Find('F')->device_path, "/dev/sdb");
  EXPECT_EQ(map.Find('F')->kind, DriveKind::kUsb);
  EXPECT_EQ(map.Find('G')->device_path, "/dev/sdc");
  EXPECT_TRUE(DriveMap::FromSysfs(sys.Block() + "/none").entries().empty());
}

TEST(DriveMapTest, TheEnvironmentMapWinsAndReloadReReadsIt) {
  setenv("QUENVAR_DRIVES", "X=virtual:cd-r:/tmp/x.disc", 1);
  DriveMap::Reload();
  const DriveMap& first = DriveMap::Current();
  ASSERT_EQ(first.Letters(), std::vector<char>{'X'});
  setenv("QUENVAR_DRIVES", "", 1);  // set but empty: no drives at all
  DriveMap::Reload();
  EXPECT_TRUE(DriveMap::Current().entries().empty());
  EXPECT_EQ(first.Letters(), std::vector<char>{'X'});  // an old reference stays valid
  unsetenv("QUENVAR_DRIVES");
}

}  // namespace
}  // namespace quenvar::platform
