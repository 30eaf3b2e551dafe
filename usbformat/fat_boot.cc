#include "fat_boot.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "boot_code.h"

namespace quenvar::usbformat {

namespace {

// The disk signature (and two reserved bytes) follow the boot program in the master boot record.
constexpr size_t kMbrCodeSize = 440;

bool ReadAt(int fd, uint8_t* data, size_t size, uint64_t offset) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAt(int fd, const uint8_t* data, size_t size, uint64_t offset) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

uint32_t Le16(const uint8_t* p) {
  return static_cast<uint32_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
  return Le16(p) | (Le16(p + 2) << 16);
}

bool PowerOfTwo(uint32_t n) {
  return n != 0 && (n & (n - 1)) == 0;
}

// The parameter block as the boot program reads it: sector sizes its buffers hold, a cluster
// of at most 128 sectors, and the FAT32 layout (no fixed root folder, 32-bit FAT size).
bool ReadableFat32(const uint8_t* sector) {
  const uint32_t bytes_per_sector = Le16(sector + 0x0B);
  return sector[510] == 0x55 && sector[511] == 0xAA && bytes_per_sector >= 512 &&
         bytes_per_sector <= 4096 && PowerOfTwo(bytes_per_sector) && PowerOfTwo(sector[0x0D]) &&
         sector[0x0D] <= 128 && Le16(sector + 0x0E) != 0 && sector[0x10] != 0 &&
         Le16(sector + 0x11) == 0 && Le16(sector + 0x16) == 0 && Le32(sector + 0x24) != 0 &&
         Le32(sector + 0x2C) >= 2 && std::memcmp(sector + 0x52, "FAT32   ", 8) == 0;
}

}  // namespace

bool ShortDirectoryName(std::string_view name, std::array<char, 11>* stored) {
  const size_t dot = name.find('.');
  const std::string_view base = name.substr(0, dot);
  const std::string_view extension =
      dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || extension.size() > 3 ||
      (dot != std::string_view::npos && extension.empty()))
    return false;
  for (std::string_view part : {base, extension}) {
    for (char c : part) {
      const bool plain = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
      if (!plain) return false;
    }
  }
  stored->fill(' ');
  std::copy(base.begin(), base.end(), stored->begin());
  std::copy(extension.begin(), extension.end(), stored->begin() + 8);
  return true;
}

const char* FatBootResultText(FatBootResult result) {
  switch (result) {
    case FatBootResult::kInstalled:
      return "the boot program was installed";
    case FatBootResult::kBadLoaderName:
      return "the loader's name is no 8.3 name";
    case FatBootResult::kReadFailed:
      return "the boot sector could not be read";
    case FatBootResult::kNotFat32:
      return "the volume does not start with a FAT32 boot sector";
    case FatBootResult::kBackupDiffers:
      return "the backup boot sector does not match the boot sector";
    case FatBootResult::kWriteFailed:
      return "the boot sector could not be written";
    case FatBootResult::kVerifyFailed:
      return "the boot sector read back differs from what was written";
  }
  return "unknown result";
}

FatBootResult InstallFatBootProgram(int fd, uint64_t offset, std::string_view loader_name) {
  std::array<char, 11> name;
  if (!ShortDirectoryName(loader_name, &name)) return FatBootResult::kBadLoaderName;
  uint8_t first[512];
  if (!ReadAt(fd, first, sizeof first, offset)) return FatBootResult::kReadFailed;
  if (!ReadableFat32(first)) return FatBootResult::kNotFat32;
  const uint32_t bytes_per_sector = Le16(first + 0x0B);
  const uint32_t reserved = Le16(first + 0x0E);
  const uint32_t backup_sector = Le16(first + 0x32);

  std::vector<uint64_t> places = {offset};
  if (backup_sector != 0 && backup_sector != 0xFFFF) {
    // A backup outside the reserved sectors would lie in the FAT: not a volume to write into.
    if (backup_sector >= reserved) return FatBootResult::kNotFat32;
    const uint64_t at = offset + uint64_t{backup_sector} * bytes_per_sector;
    uint8_t backup[512];
    if (!ReadAt(fd, backup, sizeof backup, at)) return FatBootResult::kReadFailed;
    if (std::memcmp(backup + 3, first + 3, kFatBootCodeStart - 3) != 0 || backup[510] != 0x55 ||
        backup[511] != 0xAA)
      return FatBootResult::kBackupDiffers;
    places.push_back(at);
  }

  for (uint64_t at : places) {
    uint8_t sector[512];
    if (!ReadAt(fd, sector, sizeof sector, at)) return FatBootResult::kReadFailed;
    // The short jump to the code area, then the program; the parameter block stays.
    std::copy(kFatBootSector, kFatBootSector + 3, sector);
    std::copy(kFatBootSector + kFatBootCodeStart, kFatBootSector + kFatBootCodeEnd,
              sector + kFatBootCodeStart);
    std::copy(name.begin(), name.end(), sector + kFatLoaderNameOffset);
    if (!WriteAt(fd, sector, sizeof sector, at)) return FatBootResult::kWriteFailed;
  }
  if (fsync(fd) != 0) return FatBootResult::kWriteFailed;
  for (uint64_t at : places) {
    uint8_t sector[512];
    if (!ReadAt(fd, sector, sizeof sector, at)) return FatBootResult::kReadFailed;
    if (std::memcmp(sector + kFatBootCodeStart, kFatBootSector + kFatBootCodeStart,
                    kFatLoaderNameOffset - kFatBootCodeStart) != 0 ||
        std::memcmp(sector + kFatLoaderNameOffset, name.data(), name.size()) != 0 ||
        std::memcmp(sector + 3, first + 3, kFatBootCodeStart - 3) != 0)
      return FatBootResult::kVerifyFailed;
  }
  return FatBootResult::kInstalled;
}

bool WriteMasterBootCode(int fd) {
  uint8_t sector[512];
  if (!ReadAt(fd, sector, sizeof sector, 0) || sector[510] != 0x55 || sector[511] != 0xAA)
    return false;
  const auto& code = BootCode();
  std::copy(code.begin(), code.begin() + kMbrCodeSize, sector);
  if (!WriteAt(fd, sector, sizeof sector, 0) || fsync(fd) != 0) return false;
  uint8_t check[512];
  return ReadAt(fd, check, sizeof check, 0) && std::memcmp(check, sector, sizeof sector) == 0;
}

}  // namespace quenvar::usbformat
