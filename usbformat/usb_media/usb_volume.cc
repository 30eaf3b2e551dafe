#include "usb_volume.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/msdos_fs.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "block_device.h"
#include "tool_runner.h"

extern char** environ;

namespace quenvar::usbmedia {
namespace {

using namespace std::chrono_literals;

constexpr auto kMountWait = 15s;
constexpr auto kDriverExitWait = 60s;
constexpr int kUnmountAttempts = 50;

bool Matches(const unsigned char* at, const char* text) {
  return std::memcmp(at, text, std::strlen(text)) == 0;
}

// True once path is a mount point of its own (its device differs from its parent's).
bool IsMountPoint(const std::string& path, const std::string& parent) {
  struct stat self, above;
  return stat(path.c_str(), &self) == 0 && stat(parent.c_str(), &above) == 0 &&
         self.st_dev != above.st_dev;
}

// Starts a FUSE driver in the foreground with its chatter sent to /dev/null; -1 (errno set) when
// it cannot be started.
pid_t SpawnDriver(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return pid;
}

// Waits for child pid for at most limit; true when it ended.
bool WaitChild(pid_t pid, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid || (got < 0 && errno != EINTR)) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(10ms);
  }
}

std::string TempRoot() {
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

}  // namespace

namespace {

// ntfs-3g (and the kernel's ntfs3) show a file's NTFS attributes as this extended attribute, four
// bytes in the host's byte order.
constexpr char kNtfsAttributes[] = "system.ntfs_attrib";
constexpr uint32_t kNtfsNormal = 0x80;  // "no other attribute"; never combined with one

}  // namespace

uint32_t SourceDosAttributes(int fd, const struct stat& info) {
  uint32_t fat = 0;
  if (::ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &fat) == 0) return fat & kKeptDosAttributes;
  uint32_t ntfs = 0;
  if (::fgetxattr(fd, kNtfsAttributes, &ntfs, sizeof ntfs) == static_cast<ssize_t>(sizeof ntfs))
    return ntfs & kKeptDosAttributes;
  return (info.st_mode & 0222) == 0 ? kDosReadOnly : 0;
}

int KeepDosAttributes(int fd, uint32_t attributes) {
  attributes &= kKeptDosAttributes;
  uint32_t fat = 0;
  if (::ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &fat) == 0) {
    const uint32_t wanted = (fat & ~kKeptDosAttributes) | attributes;
    if (wanted == fat) return 0;
    return ::ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &wanted) == 0 ? 0 : errno;
  }
  uint32_t ntfs = 0;
  if (::fgetxattr(fd, kNtfsAttributes, &ntfs, sizeof ntfs) == static_cast<ssize_t>(sizeof ntfs)) {
    uint32_t wanted = (ntfs & ~(kKeptDosAttributes | kNtfsNormal)) | attributes;
    if (wanted == 0) wanted = kNtfsNormal;
    if (wanted == ntfs) return 0;
    return ::fsetxattr(fd, kNtfsAttributes, &wanted, sizeof wanted, 0) == 0 ? 0 : errno;
  }
  if ((attributes & kDosReadOnly) == 0) return 0;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return errno;
  return ::fchmod(fd, info.st_mode & 07555) == 0 ? 0 : errno;
}

VolumeFileSystem DetectFileSystem(const unsigned char* boot_sector, size_t size) {
  if (boot_sector == nullptr || size < 512) return VolumeFileSystem::kUnknown;
  if (boot_sector[510] != 0x55 || boot_sector[511] != 0xAA) return VolumeFileSystem::kUnknown;
  // The OEM name of an NTFS boot sector.
  if (Matches(boot_sector + 3, "NTFS    ")) return VolumeFileSystem::kNtfs;
  // The file system type field of the FAT32 extended boot record.
  if (Matches(boot_sector + 82, "FAT32   ")) return VolumeFileSystem::kFat32;
  return VolumeFileSystem::kUnknown;
}

std::unique_ptr<UsbVolume> UsbVolume::Mount(const platform::DriveMap& map, char letter, int* error,
                                            std::string* why) {
  int ignored_error;
  std::string ignored_why;
  if (!error) error = &ignored_error;
  if (!why) why = &ignored_why;
  const platform::DriveMapEntry* entry = map.Find(letter);
  if (!entry || entry->kind != platform::DriveKind::kUsb) {
    *error = ENOENT;
    *why = "the letter is not a USB drive of the drive map";
    return nullptr;
  }
  usbformat::DiskNode disk;
  if (!usbformat::ResolveDisk(entry->device_path, &disk, why)) {
    *error = ENOENT;
    return nullptr;
  }
  const usbformat::PartitionNode* chosen = nullptr;
  const std::vector<usbformat::PartitionNode> partitions = usbformat::ListPartitions(disk);
  for (const usbformat::PartitionNode& p : partitions) {
    if (p.size > 0) {
      chosen = &p;
      break;
    }
  }
  if (!chosen) {
    *error = ENOENT;
    *why = "the disk has no partition";
    return nullptr;
  }

  std::unique_ptr<UsbVolume> volume(new UsbVolume());
  std::string pattern = TempRoot() + "/quenvar-usb-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    *error = errno;
    *why = "cannot create a private folder in " + TempRoot();
    return nullptr;
  }
  volume->folder_ = pattern;
  volume->path_ = pattern + "/volume";
  if (mkdir(volume->path_.c_str(), 0700) != 0) {
    *error = errno;
    *why = "cannot create the mount point";
    return nullptr;
  }

  // Containers may lack the node the kernel announced: make a private one.
  volume->node_ = chosen->device_path;
  struct stat st;
  if (stat(volume->node_.c_str(), &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != chosen->dev) {
    volume->made_node_ = pattern + "/partition";
    if (mknod(volume->made_node_.c_str(), S_IFBLK | 0600, chosen->dev) != 0) {
      *error = errno;
      *why = "the partition has no device node";
      volume->made_node_.clear();
      return nullptr;
    }
    volume->node_ = volume->made_node_;
  }

  unsigned char sector[512] = {};
  const int fd = open(volume->node_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    *why = "cannot open " + volume->node_;
    return nullptr;
  }
  const ssize_t got = pread(fd, sector, sizeof sector, 0);
  close(fd);
  volume->file_system_ = DetectFileSystem(sector, got == 512 ? 512 : 0);
  if (volume->file_system_ == VolumeFileSystem::kUnknown) {
    *error = EMEDIUMTYPE;
    *why = "the partition holds neither FAT32 nor NTFS";
    return nullptr;
  }
  *error = volume->MountNow();
  if (*error != 0) {
    *why = "cannot mount " + volume->node_ + ": " + std::strerror(*error);
    return nullptr;
  }
  return volume;
}

int UsbVolume::MountNow() {
  if (mounted_) return 0;
  std::vector<std::string> argv;
  if (file_system_ == VolumeFileSystem::kFat32) {
    // FAT keeps local time; the kernel's own idea of the zone may differ from this process's.
    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    const std::string options =
        "utf8,shortname=mixed,time_offset=" + std::to_string(local.tm_gmtoff / 60);
    const unsigned long flags = MS_NOSUID | MS_NODEV | MS_NOEXEC;
    if (::mount(node_.c_str(), path_.c_str(), "vfat", flags, options.c_str()) == 0 ||
        (errno == EINVAL &&
         ::mount(node_.c_str(), path_.c_str(), "vfat", flags, "utf8,shortname=mixed") == 0)) {
      driver_ = "vfat";
      mounted_ = true;
      return 0;
    }
    if (errno != ENODEV) return errno;
    // No vfat in this kernel: the files go through mtools, on the partition itself.
    for (const char* tool : {"mcopy", "mmd", "mdir", "mattrib"}) {
      if (usbformat::FindTool(tool).empty()) return ENODEV;
    }
    driver_ = "mtools";
    if (!fat_tool_) fat_tool_ = std::make_unique<FatTool>(node_);
    fat_tool_->ForgetListings();
    mounted_ = true;
    return 0;
  } else {
    driver_ = "ntfs-3g";
    argv = {usbformat::FindTool("ntfs-3g"), "-o", "no_detach", node_, path_};
  }
  if (argv[0].empty()) return ENODEV;
  fuse_pid_ = SpawnDriver(argv);
  if (fuse_pid_ < 0) return errno;
  const auto end = std::chrono::steady_clock::now() + kMountWait;
  while (!IsMountPoint(path_, folder_)) {
    int status = 0;
    if (waitpid(fuse_pid_, &status, WNOHANG) == fuse_pid_) {
      fuse_pid_ = -1;
      return EIO;  // the driver gave up
    }
    if (std::chrono::steady_clock::now() >= end) {
      kill(fuse_pid_, SIGTERM);
      WaitChild(fuse_pid_, 5s);
      fuse_pid_ = -1;
      return ETIMEDOUT;
    }
    std::this_thread::sleep_for(10ms);
  }
  mounted_ = true;
  return 0;
}

int UsbVolume::Unmount() {
  if (!mounted_) return 0;
  if (fat_tool_) {
    mounted_ = false;
    fat_tool_->ForgetListings();
    const int fd = open(node_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int synced = fsync(fd) == 0 ? 0 : errno;
    ioctl(fd, BLKFLSBUF, 0);  // the next reads come from the medium
    close(fd);
    return synced;
  }
  const int dir = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    syncfs(dir);
    close(dir);
  }
  int attempt = 0;
  while (umount2(path_.c_str(), 0) != 0) {
    if (errno != EBUSY || ++attempt >= kUnmountAttempts) return errno;
    std::this_thread::sleep_for(100ms);
  }
  mounted_ = false;
  if (fuse_pid_ > 0) {
    // A FUSE driver writes its last blocks after the unmount; only its end makes them safe.
    if (!WaitChild(fuse_pid_, kDriverExitWait)) {
      kill(fuse_pid_, SIGTERM);
      WaitChild(fuse_pid_, 5s);
      fuse_pid_ = -1;
      return ETIMEDOUT;
    }
    fuse_pid_ = -1;
  }
  const int fd = open(node_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    ioctl(fd, BLKFLSBUF, 0);  // the next mount reads the medium, not cached blocks
    close(fd);
  }
  return 0;
}

int UsbVolume::Remount() {
  const int result = Unmount();
  return result != 0 ? result : MountNow();
}

UsbVolume::~UsbVolume() {
  Unmount();
  if (mounted_) umount2(path_.c_str(), MNT_DETACH);  // never leave the private folder mounted
  if (fuse_pid_ > 0) {
    kill(fuse_pid_, SIGTERM);
    WaitChild(fuse_pid_, 5s);
  }
  if (!made_node_.empty()) unlink(made_node_.c_str());
  if (!path_.empty()) rmdir(path_.c_str());
  if (!folder_.empty()) rmdir(folder_.c_str());
}

}  // namespace quenvar::usbmedia
