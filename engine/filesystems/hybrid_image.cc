#include "filesystems/hybrid_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "filesystems/crc32.h"
#include "filesystems/layout/ecma119_layout.h"
#include "filesystems/layout/el_torito_layout.h"
#include "filesystems/reader/boot_catalog_reader.h"
#include "util/byte_order.h"

namespace quillden::fs {
namespace {

constexpr uint32_t kBlock = ecma119::kSectorSize;
constexpr uint32_t kSector = 512;
constexpr uint32_t kGptEntries = 128;
constexpr uint32_t kGptEntrySize = 128;
constexpr uint32_t kGptEntrySectors = kGptEntries * kGptEntrySize / kSector;  // 32

// Offsets in the MBR.
constexpr size_t kMbrParameters = 428;
constexpr size_t kMbrDiskSignature = 440;
constexpr size_t kMbrPartitionTable = 446;

// The boot image must lie in conventional memory above the MBR's stack (below 7C00) and below the
// extended BIOS data area.
constexpr uint32_t kLowestLoadAddress = 0x7C00;
constexpr uint32_t kLoadLimit = 0x9F000;

// EFI system partition, in the mixed-endian byte order of GPT.
constexpr uint8_t kEspTypeGuid[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                      0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};

// A version 4 style GUID drawn from the image's seed, so that two runs over the same image agree.
void PutSeededGuid(uint8_t* out, const HybridPlan& plan, uint32_t salt) {
  for (uint32_t word = 0; word < 4; ++word) {
    uint32_t crc = Crc32Update(kCrc32Start, &salt, sizeof salt);
    crc = Crc32Update(crc, &word, sizeof word);
    crc = Crc32Finish(Crc32Update(crc, plan.id_seed, sizeof plan.id_seed));
    PutLe32(out + 4 * word, crc);
  }
  out[7] = static_cast<uint8_t>((out[7] & 0x0F) | 0x40);
  out[8] = static_cast<uint8_t>((out[8] & 0x3F) | 0x80);
}

// Cylinder/head/sector of an LBA for the usual 255-head, 63-sector translation; past cylinder
// 1023 the fields say "use the LBA".
void PutChs(uint8_t* out, uint64_t lba) {
  uint64_t cylinder = lba / (255 * 63);
  if (cylinder > 1023) {
    out[0] = 0xFE;
    out[1] = 0xFF;
    out[2] = 0xFF;
    return;
  }
  uint32_t head = static_cast<uint32_t>(lba / 63 % 255);
  uint32_t sector = static_cast<uint32_t>(lba % 63 + 1);
  out[0] = static_cast<uint8_t>(head);
  out[1] = static_cast<uint8_t>(sector | ((cylinder >> 2) & 0xC0));
  out[2] = static_cast<uint8_t>(cylinder & 0xFF);
}

void PutMbrPartition(uint8_t* entry, bool active, uint8_t type, uint64_t first, uint64_t count) {
  if (first > 0xFFFFFFFFu) first = 0xFFFFFFFFu;
  if (count > 0xFFFFFFFFu - first + 1) count = 0xFFFFFFFFu;
  entry[0] = active ? 0x80 : 0x00;
  PutChs(entry + 1, first);
  entry[4] = type;
  PutChs(entry + 5, first + count - 1);
  PutLe32(entry + 8, static_cast<uint32_t>(first));
  PutLe32(entry + 12, static_cast<uint32_t>(count));
}

void PutGptHeader(uint8_t* header, const HybridPlan& plan, uint64_t my_lba, uint64_t other_lba,
                  uint64_t entries_lba, uint64_t disk_sectors, uint32_t entries_crc) {
  std::memcpy(header, "EFI PART", 8);
  PutLe32(header + 8, 0x00010000);
  PutLe32(header + 12, 92);
  PutLe64(header + 24, my_lba);
  PutLe64(header + 32, other_lba);
  PutLe64(header + 40, 2 + kGptEntrySectors);                 // first usable
  PutLe64(header + 48, disk_sectors - 2 - kGptEntrySectors);  // last usable
  PutSeededGuid(header + 56, plan, 1);
  PutLe64(header + 72, entries_lba);
  PutLe32(header + 80, kGptEntries);
  PutLe32(header + 84, kGptEntrySize);
  PutLe32(header + 88, entries_crc);
  PutLe32(header + 16, Crc32(header, 92));
}

bool AllZero(const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (data[i]) return false;
  }
  return true;
}

// The size of the FAT file system at the start of data, in sectors; 0 when it is none.
uint32_t FatSectors(const uint8_t* boot_sector) {
  if (boot_sector[510] != 0x55 || boot_sector[511] != 0xAA) return 0;
  uint32_t bytes_per_sector = GetLe16(boot_sector + 11);
  if (bytes_per_sector < 512 || bytes_per_sector > 4096 ||
      (bytes_per_sector & (bytes_per_sector - 1)))
    return 0;
  uint32_t sectors = GetLe16(boot_sector + 19);
  if (sectors == 0) sectors = GetLe32(boot_sector + 32);
  return static_cast<uint32_t>(uint64_t{sectors} * bytes_per_sector / kSector);
}

}  // namespace

void BuildHybridSystemArea(const HybridPlan& plan, uint8_t* system_area, uint8_t* tail) {
  const uint64_t disk_bytes = plan.iso_bytes + uint64_t{kHybridTailBlocks} * kBlock;
  const uint64_t disk_sectors = disk_bytes / kSector;
  std::memset(system_area, 0, kSystemAreaBytes);
  std::memset(tail, 0, kHybridTailBlocks * kBlock);

  uint8_t* mbr = system_area;
  std::memcpy(mbr, kHybridMbrCode, sizeof kHybridMbrCode);
  if (plan.has_bios) {
    // El Torito firmware loads to load_segment:0 (07C0 when 0) and enters the default at 0000:7C00.
    uint16_t segment =
        plan.bios_load_segment ? plan.bios_load_segment : eltorito::kDefaultLoadSegment;
    PutLe32(mbr + kMbrParameters, plan.bios_sector);
    PutLe16(mbr + kMbrParameters + 4, plan.bios_sector_count);
    PutLe16(mbr + kMbrParameters + 6, segment);
    PutLe16(mbr + kMbrParameters + 8, segment == eltorito::kDefaultLoadSegment ? 0x7C00 : 0);
    PutLe16(mbr + kMbrParameters + 10, segment == eltorito::kDefaultLoadSegment ? 0 : segment);
  }
  uint8_t signature[16];
  PutSeededGuid(signature, plan, 0);
  std::memcpy(mbr + kMbrDiskSignature, signature, 4);
  // The protective entry covers the GPT and everything up to the EFI system partition, which has
  // an entry of its own (active, for BIOSes that want one) so that firmware reading only the MBR
  // finds it as well; the entries must not overlap for such firmware.
  uint8_t* table = mbr + kMbrPartitionTable;
  uint64_t protective_end = plan.has_efi ? plan.efi_sector : disk_sectors;
  PutMbrPartition(table, false, 0xEE, 1, protective_end - 1);
  if (plan.has_efi) PutMbrPartition(table + 16, true, 0xEF, plan.efi_sector, plan.efi_sector_count);

  // One GPT entry: the EFI system partition.
  std::vector<uint8_t> entries(kGptEntries * kGptEntrySize, 0);
  if (plan.has_efi) {
    uint8_t* entry = entries.data();
    std::memcpy(entry, kEspTypeGuid, 16);
    PutSeededGuid(entry + 16, plan, 2);
    PutLe64(entry + 32, plan.efi_sector);
    PutLe64(entry + 40, uint64_t{plan.efi_sector} + plan.efi_sector_count - 1);
    static const char kName[] = "EFI boot image";
    for (size_t i = 0; i + 1 < sizeof kName; ++i) PutLe16(entry + 56 + 2 * i, kName[i]);
  }
  const uint32_t entries_crc = Crc32(entries.data(), entries.size());
  PutGptHeader(system_area + kSector, plan, 1, disk_sectors - 1, 2, disk_sectors, entries_crc);
  std::memcpy(system_area + 2 * kSector, entries.data(), entries.size());

  // The backup: entries, then its header in the last sector.
  uint8_t* tail_end = tail + kHybridTailBlocks * kBlock;
  uint8_t* backup_header = tail_end - kSector;
  uint8_t* backup_entries = backup_header - entries.size();
  std::memcpy(backup_entries, entries.data(), entries.size());
  PutGptHeader(backup_header, plan, disk_sectors - 1, 1, disk_sectors - 1 - kGptEntrySectors,
               disk_sectors, entries_crc);
}

std::string PlanHybridImage(const ImageReader& read, uint64_t size, HybridPlan* plan) {
  *plan = HybridPlan();
  plan->iso_bytes = size;
  if (size % kBlock || size < 18 * kBlock) return "not an ISO 9660 image";
  std::vector<uint8_t> block(kSystemAreaBytes);
  if (!read(0, block.data(), kSystemAreaBytes)) return "the image cannot be read";
  if (!AllZero(block.data(), kSystemAreaBytes))
    return "its system area (the first 16 blocks) is in use already";

  // The boot record is among the volume descriptors from block 16 on.
  uint32_t catalog_block = 0;
  bool found = false;
  constexpr uint32_t kFirst = ecma119::kFirstDescriptorBlock;
  for (uint32_t at = kFirst; at < kFirst + 64 && uint64_t{at + 1} * kBlock <= size; ++at) {
    if (!read(uint64_t{at} * kBlock, block.data(), kBlock)) return "the image cannot be read";
    if (std::memcmp(block.data() + ecma119::kStandardIdentifier, ecma119::kStandardId,
                    ecma119::kStandardIdentifierSize) != 0)
      break;
    const uint8_t type = block[ecma119::kDescriptorType];
    if (type == ecma119::kTypeBootRecord &&
        std::memcmp(block.data() + ecma119::kBootSystemIdentifier, eltorito::kBootSystemId,
                    sizeof eltorito::kBootSystemId - 1) == 0) {
      catalog_block = GetLe32(block.data() + eltorito::kBootCatalogPointer);
      found = true;
    }
    if (type == ecma119::kTypeTerminator) break;
    if (type == ecma119::kTypePrimary)
      std::memcpy(plan->id_seed, block.data() + ecma119::kCreationDate, sizeof plan->id_seed);
    if ((type == ecma119::kTypePrimary || type == ecma119::kTypeSupplementary) &&
        ecma119::GetBoth32(block.data() + ecma119::kVolumeSpaceSize) == size / kBlock)
      plan->volume_descriptor_blocks.push_back(at);
  }
  if (!found) return "it has no El Torito boot image (-b or -e)";
  if (catalog_block <= kFirst || uint64_t{catalog_block + 1} * kBlock > size ||
      !read(uint64_t{catalog_block} * kBlock, block.data(), kBlock))
    return "its boot catalog lies outside the image";
  reader::BootCatalogEntry entries[8];
  int count = reader::ReadBootCatalog(block.data(), entries, 8);
  if (count < 0) return "its boot catalog is damaged";
  uint32_t image_sectors = static_cast<uint32_t>(size / kSector);
  for (int i = 0; i < count; ++i) {
    const reader::BootCatalogEntry& entry = entries[i];
    uint64_t first = uint64_t{entry.image_block} * 4;
    if (entries[i].platform == eltorito::kPlatform80x86 && !plan->has_bios) {
      if (entry.emulation != eltorito::kMediaNoEmulation)
        return "its BIOS boot image uses emulation; a hybrid image boots one without "
               "(-no-emul-boot)";
      uint32_t segment = entry.load_segment ? entry.load_segment : eltorito::kDefaultLoadSegment;
      uint32_t count_sectors = entry.sector_count;
      if (segment * 16 < kLowestLoadAddress || segment * 16 + count_sectors * kSector > kLoadLimit)
        return "its BIOS boot image would be loaded outside 0000:7C00 to 9000:F000";
      if (count_sectors == 0 || first + count_sectors > image_sectors)
        return "its BIOS boot image lies outside the image";
      plan->has_bios = true;
      plan->bios_sector = static_cast<uint32_t>(first);
      plan->bios_sector_count = entry.sector_count;
      plan->bios_load_segment = entry.load_segment;
    } else if (entries[i].platform == eltorito::kPlatformUefi && !plan->has_efi) {
      // The partition is the FAT the firmware mounts; its boot sector knows its size.
      uint8_t boot_sector[kSector];
      if (first >= image_sectors || !read(first * kSector, boot_sector, kSector))
        return "its EFI boot image lies outside the image";
      uint32_t sectors = FatSectors(boot_sector);
      if (sectors == 0) return "its EFI boot image is not a FAT file system";
      if (first + sectors > image_sectors) return "its EFI boot image lies outside the image";
      plan->has_efi = true;
      plan->efi_sector = static_cast<uint32_t>(first);
      plan->efi_sector_count = sectors;
    }
  }
  if (!plan->has_bios && !plan->has_efi) return "it has no BIOS or EFI boot image (-b or -e)";
  return {};
}

std::string MakeImageHybrid(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::string("cannot open it: ") + std::strerror(errno);
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return "not a plain image file";
  }
  auto read_at = [fd](uint64_t offset, uint8_t* data, size_t size) {
    return pread(fd, data, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
  };
  HybridPlan plan;
  std::string why = PlanHybridImage(read_at, static_cast<uint64_t>(info.st_size), &plan);
  if (!why.empty()) {
    close(fd);
    return why;
  }
  std::vector<uint8_t> system_area(kSystemAreaBytes), tail(kHybridTailBlocks * kBlock);
  BuildHybridSystemArea(plan, system_area.data(), tail.data());
  auto write_at = [fd](uint64_t offset, const std::vector<uint8_t>& data) {
    return pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(data.size());
  };
  // The descriptors' volume space size (both byte orders at byte 80) grows by the tail.
  std::vector<std::vector<uint8_t>> old_descriptors, new_descriptors;
  for (uint32_t at : plan.volume_descriptor_blocks) {
    std::vector<uint8_t> descriptor(kBlock);
    if (!read_at(uint64_t{at} * kBlock, descriptor.data(), kBlock)) {
      close(fd);
      return "the image cannot be read";
    }
    old_descriptors.push_back(descriptor);
    PutBoth32(descriptor.data() + 80,
              static_cast<uint32_t>(plan.iso_bytes / kBlock) + kHybridTailBlocks);
    new_descriptors.push_back(descriptor);
  }
  bool written = write_at(plan.iso_bytes, tail) && write_at(0, system_area);
  for (size_t i = 0; written && i < new_descriptors.size(); ++i)
    written = write_at(uint64_t{plan.volume_descriptor_blocks[i]} * kBlock, new_descriptors[i]);
  written = written && fsync(fd) == 0;
  int write_errno = errno;
  if (!written) {
    // Leave the image as it was when possible: the system area was free and the tail is new.
    std::vector<uint8_t> zero(kSystemAreaBytes, 0);
    bool restored = write_at(0, zero) && ftruncate(fd, static_cast<off_t>(plan.iso_bytes)) == 0;
    for (size_t i = 0; i < old_descriptors.size(); ++i)
      restored =
          write_at(uint64_t{plan.volume_descriptor_blocks[i]} * kBlock, old_descriptors[i]) &&
          restored;
    close(fd);
    return std::string("writing the partition tables failed: ") + std::strerror(write_errno) +
           (restored ? "" : "; the image is spoiled");
  }
  // Nothing is reported as done before it reads back as written.
  std::vector<uint8_t> check(kSystemAreaBytes);
  bool same = read_at(0, check.data(), check.size()) && check == system_area;
  check.resize(tail.size());
  same = same && read_at(plan.iso_bytes, check.data(), check.size()) && check == tail;
  check.resize(kBlock);
  for (size_t i = 0; same && i < new_descriptors.size(); ++i) {
    same = read_at(uint64_t{plan.volume_descriptor_blocks[i]} * kBlock, check.data(), kBlock) &&
           check == new_descriptors[i];
  }
  close(fd);
  if (!same) return "the partition tables do not read back as written; the image is spoiled";
  return {};
}

}  // namespace quillden::fs
