#include "mbr.h"

#include <algorithm>

#include "boot_code.h"
#include "util/byte_order.h"

namespace quenvar::usbformat {
namespace {

// Offsets inside a partition table entry.
constexpr size_t kStatus = 0;
constexpr size_t kStartChs = 1;
constexpr size_t kType = 4;
constexpr size_t kEndChs = 5;
constexpr size_t kFirstLba = 8;
constexpr size_t kSectorCount = 12;
constexpr size_t kSignature = 510;

// The largest cylinder a CHS address can hold; larger drives put this value in their CHS fields
// and are addressed by LBA.
constexpr uint32_t kMaxCylinder = 1023;

void PutChs(uint8_t* p, uint32_t head, uint32_t sector, uint32_t cylinder) {
  p[0] = static_cast<uint8_t>(head);
  // Cylinder bits 8 and 9 live in the top bits of the sector byte.
  p[1] = static_cast<uint8_t>((sector & 0x3F) | ((cylinder >> 2) & 0xC0));
  p[2] = static_cast<uint8_t>(cylinder & 0xFF);
}

bool IsContainerType(uint8_t type) {
  return type == 0x05 || type == 0x0F || type == 0x85 || type == 0xEE;
}

}  // namespace

uint32_t TotalSectors(const DiskGeometry& geometry) {
  if (geometry.bytes_per_sector == 0) return 0;
  uint64_t total = geometry.disk_size / geometry.bytes_per_sector;
  return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
}

bool UsableGeometry(const DiskGeometry& geometry) {
  return geometry.heads > 0 && geometry.heads <= 256 && geometry.sectors_per_track > 0 &&
         geometry.sectors_per_track <= 63 && geometry.bytes_per_sector >= kMbrSize &&
         TotalSectors(geometry) > geometry.sectors_per_track;
}

bool ReadPartitionTable(const uint8_t* sector, std::array<PartitionEntry, 4>* entries) {
  if (sector[kSignature] != 0x55 || sector[kSignature + 1] != 0xAA) return false;
  for (size_t i = 0; i < 4; ++i) {
    const uint8_t* e = sector + kPartitionTableOffset + i * kPartitionEntrySize;
    (*entries)[i].status = e[kStatus];
    (*entries)[i].type = e[kType];
    (*entries)[i].first_lba = quillden::GetLe32(e + kFirstLba);
    (*entries)[i].sector_count = quillden::GetLe32(e + kSectorCount);
  }
  return true;
}

int SinglePartitionIndex(const uint8_t* sector) {
  std::array<PartitionEntry, 4> entries;
  if (!ReadPartitionTable(sector, &entries)) return -1;
  int index = -1;
  int non_empty = 0;
  for (int i = 0; i < 4; ++i) {
    if (entries[i].sector_count == 0 || entries[i].type == 0) continue;
    ++non_empty;
    index = i;
  }
  if (non_empty != 1 || IsContainerType(entries[index].type)) return -1;
  return index;
}

std::array<uint8_t, kMbrSize> BuildMasterBootRecord(const DiskGeometry& geometry,
                                                    FileSystem file_system, int index) {
  std::array<uint8_t, kMbrSize> sector{};
  const auto& boot = BootCode();
  std::copy(boot.begin(), boot.end(), sector.begin());

  const uint32_t heads = geometry.heads;
  const uint32_t spt = geometry.sectors_per_track;
  const uint32_t total = TotalSectors(geometry);
  // The partition's CHS end stops one cylinder short of the last whole one; drives beyond the
  // reach of CHS carry the largest cylinder instead of a wrapped-around value.
  uint64_t cylinders = (static_cast<uint64_t>(total) - 1) / (static_cast<uint64_t>(heads) * spt);
  uint32_t end_cylinder =
      cylinders == 0 ? 0 : static_cast<uint32_t>(std::min<uint64_t>(cylinders - 1, kMaxCylinder));

  uint8_t* e =
      sector.data() + kPartitionTableOffset + static_cast<size_t>(index) * kPartitionEntrySize;
  e[kStatus] = 0x80;
  PutChs(e + kStartChs, 1, 1, 0);
  e[kType] = file_system == FileSystem::kFat32 ? kTypeFat32Lba : kTypeNtfs;
  PutChs(e + kEndChs, heads - 1, spt, end_cylinder);
  quillden::PutLe32(e + kFirstLba, spt);
  quillden::PutLe32(e + kSectorCount, total - spt);
  sector[kSignature] = 0x55;
  sector[kSignature + 1] = 0xAA;
  return sector;
}

}  // namespace quenvar::usbformat
