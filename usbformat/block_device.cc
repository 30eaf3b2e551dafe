#include "block_device.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace quenvar::usbformat {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string FirstLine(const std::string& path) {
  std::string text = ReadText(path);
  size_t end = text.find_first_of("\r\n");
  return end == std::string::npos ? text : text.substr(0, end);
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// "8:17" -> dev_t; false for anything else.
bool ParseDevNumbers(std::string_view text, dev_t* dev) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 >= text.size()) return false;
  unsigned long major = 0, minor = 0;
  for (size_t i = 0; i < colon; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    major = major * 10 + static_cast<unsigned long>(text[i] - '0');
  }
  for (size_t i = colon + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    minor = minor * 10 + static_cast<unsigned long>(text[i] - '0');
  }
  *dev = makedev(major, minor);
  return true;
}

std::string SysPathOf(dev_t dev) {
  return "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// The DEVNAME of a sysfs block node's uevent ("sdb1", "loop0p1").
std::string KernelName(const std::string& sys_dir) {
  std::istringstream lines(ReadText(sys_dir + "/uevent"));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.starts_with("DEVNAME=")) return line.substr(8);
  }
  return "";
}

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string Unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
        s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out.push_back(
          static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::vector<dev_t> DiskAndPartitionDevs(const DiskNode& disk) {
  std::vector<dev_t> devs{disk.dev};
  for (const PartitionNode& p : ListPartitions(disk)) devs.push_back(p.dev);
  return devs;
}

std::vector<dev_t> SwapDevices() {
  std::vector<dev_t> devs;
  std::istringstream lines(ReadText("/proc/swaps"));
  std::string line;
  std::getline(lines, line);  // header
  while (std::getline(lines, line)) {
    std::string name = Unescape(line.substr(0, line.find_first_of(" \t")));
    struct stat st;
    if (!name.empty() && stat(name.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
      devs.push_back(st.st_rdev);
  }
  return devs;
}

bool HasHolders(const std::string& sys_dir) {
  DIR* dir = opendir((sys_dir + "/holders").c_str());
  if (!dir) return false;
  bool any = false;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') any = true;
  }
  closedir(dir);
  return any;
}

}  // namespace

bool ResolveDisk(const std::string& device_path, DiskNode* disk, std::string* why) {
  struct stat st;
  if (stat(device_path.c_str(), &st) != 0) {
    *why = device_path + " does not exist";
    return false;
  }
  if (!S_ISBLK(st.st_mode)) {
    *why = device_path + " is not a block device";
    return false;
  }
  std::string sys = SysPathOf(st.st_rdev);
  if (!Exists(sys)) {
    *why = device_path + " is unknown to sysfs";
    return false;
  }
  if (Exists(sys + "/partition")) {
    *why = device_path + " is a partition, not a whole disk";
    return false;
  }
  disk->device_path = device_path;
  disk->dev = st.st_rdev;
  disk->sys_path = sys;
  return true;
}

std::vector<PartitionNode> ListPartitions(const DiskNode& disk) {
  std::vector<PartitionNode> parts;
  DIR* dir = opendir(disk.sys_path.c_str());
  if (!dir) return parts;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::string sub = disk.sys_path + "/" + e->d_name;
    std::string number = FirstLine(sub + "/partition");
    if (number.empty()) continue;
    PartitionNode p;
    p.number = std::atoi(number.c_str());
    if (p.number <= 0 || !ParseDevNumbers(FirstLine(sub + "/dev"), &p.dev)) continue;
    p.start = std::strtoull(FirstLine(sub + "/start").c_str(), nullptr, 10);
    p.size = std::strtoull(FirstLine(sub + "/size").c_str(), nullptr, 10);
    std::string name = KernelName(sub);
    p.device_path = "/dev/" + (name.empty() ? std::string(e->d_name) : name);
    parts.push_back(std::move(p));
  }
  closedir(dir);
  std::sort(parts.begin(), parts.end(),
            [](const PartitionNode& a, const PartitionNode& b) { return a.number < b.number; });
  return parts;
}

std::vector<MountRecord> ParseMountInfo(std::string_view text) {
  std::vector<MountRecord> mounts;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    // mount-id parent-id major:minor root mount-point options [optional...] - type source ...
    std::vector<std::string_view> fields;
    size_t pos = 0;
    while (pos < line.size()) {
      size_t blank = line.find(' ', pos);
      if (blank == std::string_view::npos) blank = line.size();
      fields.push_back(line.substr(pos, blank - pos));
      pos = blank + 1;
    }
    MountRecord m;
    if (fields.size() < 5 || !ParseDevNumbers(fields[2], &m.dev)) continue;
    m.mount_point = Unescape(fields[4]);
    for (size_t i = 6; i + 2 < fields.size(); ++i) {
      if (fields[i] != "-") continue;
      m.file_system = Unescape(fields[i + 1]);
      m.source = Unescape(fields[i + 2]);
      break;
    }
    mounts.push_back(std::move(m));
  }
  return mounts;
}

dev_t SourceDevice(const MountRecord& mount) {
  if (mount.source.empty() || mount.source[0] != '/') return 0;
  struct stat st;
  if (stat(mount.source.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return 0;
  return st.st_rdev;
}

std::vector<MountRecord> CurrentMounts() {
  return ParseMountInfo(ReadText("/proc/self/mountinfo"));
}

bool IsSystemMountPoint(std::string_view mount_point) {
  static constexpr std::string_view kSystem[] = {"/boot", "/usr",  "/var",  "/etc", "/home",
                                                 "/opt",  "/srv",  "/root", "/lib", "/lib64",
                                                 "/bin",  "/sbin", "/nix",  "/snap"};
  if (mount_point == "/") return true;
  for (std::string_view s : kSystem) {
    if (mount_point == s || (mount_point.starts_with(s) && mount_point.size() > s.size() &&
                             mount_point[s.size()] == '/')) {
      return true;
    }
  }
  return false;
}

std::string WhyUnsafeToFormat(const DiskNode& disk) {
  std::vector<dev_t> devs = DiskAndPartitionDevs(disk);
  auto ours = [&](dev_t d) { return std::find(devs.begin(), devs.end(), d) != devs.end(); };
  for (const MountRecord& m : CurrentMounts()) {
    if ((ours(m.dev) || ours(SourceDevice(m))) && IsSystemMountPoint(m.mount_point)) {
      return disk.device_path + " holds the system mount " + m.mount_point;
    }
  }
  for (dev_t d : SwapDevices()) {
    if (ours(d)) return disk.device_path + " holds swap space";
  }
  if (HasHolders(disk.sys_path)) return disk.device_path + " carries another block device";
  for (const PartitionNode& p : ListPartitions(disk)) {
    if (HasHolders(SysPathOf(p.dev))) return p.device_path + " carries another block device";
  }
  return "";
}

std::string WhyNotRemovable(const DiskNode& disk) {
  constexpr unsigned kLoopMajor = 7;
  if (major(disk.dev) == kLoopMajor) return "";
  if (FirstLine(disk.sys_path + "/removable") == "1") return "";
  return disk.device_path + " is a fixed disk, not removable media";
}

bool UnmountAll(const DiskNode& disk) {
  std::vector<dev_t> devs = DiskAndPartitionDevs(disk);
  // Innermost mounts first: later lines of mountinfo sit on top of earlier ones.
  std::vector<MountRecord> mounts = CurrentMounts();
  auto ours = [&](dev_t d) {
    return d != 0 && std::find(devs.begin(), devs.end(), d) != devs.end();
  };
  bool all = true;
  bool released_driver = false;
  for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
    const bool by_number = ours(it->dev);
    if (!by_number && !ours(SourceDevice(*it))) continue;
    if (IsSystemMountPoint(it->mount_point)) {
      errno = EBUSY;
      return false;
    }
    if (umount2(it->mount_point.c_str(), 0) != 0) {
      all = false;
    } else if (!by_number) {
      released_driver = true;
    }
  }
  if (!all) return false;
  if (!released_driver) return true;
  // A FUSE driver writes out and closes the device only after its unmount; an exclusive open
  // succeeds once it has let go of every partition.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (const PartitionNode& p : ListPartitions(disk)) {
    for (;;) {
      const int fd = open(p.device_path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
      if (fd >= 0) {
        close(fd);
        break;
      }
      if (errno != EBUSY) break;  // no node to test: nothing more to learn here
      if (std::chrono::steady_clock::now() >= deadline) {
        errno = EBUSY;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  return true;
}

bool ReadGeometry(int fd, DiskGeometry* geometry) {
  uint64_t size = 0;
  int sector_size = 0;
  if (ioctl(fd, BLKGETSIZE64, &size) != 0 || ioctl(fd, BLKSSZGET, &sector_size) != 0) return false;
  if (sector_size <= 0) return false;
  geometry->disk_size = size;
  geometry->bytes_per_sector = static_cast<uint32_t>(sector_size);
  hd_geometry geo{};
  if (ioctl(fd, HDIO_GETGEO, &geo) == 0 && geo.heads > 0 && geo.sectors > 0) {
    geometry->heads = geo.heads;
    geometry->sectors_per_track = geo.sectors;
  } else {
    geometry->heads = 255;
    geometry->sectors_per_track = 63;
  }
  return true;
}

namespace {

bool Blkpg(int fd, int op, int number, uint64_t start_bytes, uint64_t length_bytes) {
  blkpg_partition part{};
  part.start = static_cast<long long>(start_bytes);
  part.length = static_cast<long long>(length_bytes);
  part.pno = number;
  blkpg_ioctl_arg arg{};
  arg.op = op;
  arg.datalen = sizeof(part);
  arg.data = &part;
  return ioctl(fd, BLKPG, &arg) == 0;
}

// Brings the kernel's primary partitions in line with the table, one partition at a time: the
// kernel's own re-read is sometimes accepted without effect. Extended containers are left to the
// kernel's parser.
void SyncKernelPartitions(int fd, const DiskNode& disk,
                          const std::array<PartitionEntry, 4>& entries, uint64_t scale) {
  auto wanted = [&](int number, uint64_t* start, uint64_t* size) {
    if (number < 1 || number > 4) return false;
    const PartitionEntry& e = entries[number - 1];
    if (e.sector_count == 0 || e.type == 0x05 || e.type == 0x0F || e.type == 0x85) return false;
    *start = e.first_lba * scale;
    *size = e.sector_count * scale;
    return true;
  };
  std::vector<PartitionNode> present = ListPartitions(disk);
  for (const PartitionNode& p : present) {
    uint64_t start = 0, size = 0;
    if (p.number <= 4 && (!wanted(p.number, &start, &size) || start != p.start || size != p.size)) {
      Blkpg(fd, BLKPG_DEL_PARTITION, p.number, 0, 0);
    }
  }
  present = ListPartitions(disk);
  for (int number = 1; number <= 4; ++number) {
    uint64_t start = 0, size = 0;
    if (!wanted(number, &start, &size)) continue;
    bool there = std::any_of(present.begin(), present.end(),
                             [&](const PartitionNode& p) { return p.number == number; });
    if (!there) Blkpg(fd, BLKPG_ADD_PARTITION, number, start * 512, size * 512);
  }
}

}  // namespace

std::string RereadAndFindPartition(const DiskNode& disk, int number, int timeout_ms) {
  if (number < 1 || number > 4) return "";
  int fd = open(disk.device_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  // What the table on the disk says, in the 512-byte units of sysfs.
  uint8_t sector[kMbrSize];
  std::array<PartitionEntry, 4> entries;
  int sector_size = 0;
  bool have_table = pread(fd, sector, sizeof(sector), 0) == static_cast<ssize_t>(sizeof(sector)) &&
                    ReadPartitionTable(sector, &entries) &&
                    ioctl(fd, BLKSSZGET, &sector_size) == 0 && sector_size >= 512;
  const uint64_t scale = have_table ? static_cast<uint64_t>(sector_size) / 512 : 1;
  if (!have_table || entries[number - 1].sector_count == 0) {
    close(fd);
    return "";
  }
  const uint64_t want_start = entries[number - 1].first_lba * scale;
  const uint64_t want_size = entries[number - 1].sector_count * scale;
  // udev's probe of a freshly written table may hold the disk for a moment.
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (ioctl(fd, BLKRRPART) == 0 || errno != EBUSY) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  std::string found;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  auto next_sync = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  while (found.empty()) {
    for (const PartitionNode& p : ListPartitions(disk)) {
      struct stat st;
      if (p.number == number && p.start == want_start && p.size == want_size &&
          stat(p.device_path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == p.dev) {
        found = p.device_path;
      }
    }
    if (!found.empty()) break;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    if (now >= next_sync) {
      SyncKernelPartitions(fd, disk, entries, scale);
      next_sync = now + std::chrono::milliseconds(500);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  close(fd);
  return found;
}

}  // namespace quenvar::usbformat
