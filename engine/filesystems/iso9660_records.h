// Byte layouts of ISO 9660 and Joliet: directory records, path table records and the volume
// descriptors (primary, Joliet supplementary, terminator). Pure functions over caller buffers; the
// tree planner (iso_joliet_tree.h) decides what goes into them.
#ifndef QUILLDEN_FILESYSTEMS_ISO9660_RECORDS_H_
#define QUILLDEN_FILESYSTEMS_ISO9660_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "filesystems/iso_time.h"
#include "filesystems/layout/ecma119_layout.h"

namespace quillden::fs {

inline constexpr uint32_t kBlockSize = ecma119::kSectorSize;
inline constexpr uint8_t kDirectoryFlag = ecma119::kFlagDirectory;
inline constexpr const char* kApplicationIdentifier = "*QUILLDEN02000009";

inline constexpr uint32_t BlocksFor(uint64_t bytes) {
  return static_cast<uint32_t>((bytes + kBlockSize - 1) / kBlockSize);
}
inline constexpr uint32_t RoundUpToBlock(uint32_t bytes) {
  return BlocksFor(bytes) * kBlockSize;
}

// Length of a directory record with an identifier of identifier_length bytes (ECMA-119 9.1):
// the fixed fields plus the identifier, plus a pad byte when that is odd.
inline constexpr uint32_t DirectoryRecordLength(size_t identifier_length) {
  uint32_t length = ecma119::kRecordIdentifier + static_cast<uint32_t>(identifier_length);
  return length + (length & 1);
}

// Length of a path table record with a name of name_length bytes (ECMA-119 9.4).
inline constexpr uint32_t PathTableRecordLength(size_t name_length) {
  uint32_t n = static_cast<uint32_t>(name_length % 256);
  return ecma119::kPathRecordHeaderSize + n + (n & 1);
}

struct DirectoryRecord {
  uint32_t location = 0;
  uint32_t data_length = 0;
  IsoTime date;
  uint8_t flags = 0;
  std::string_view identifier;  // recorded bytes ("\0" for ".", "\1" for "..")
};

// Writes one record at p and returns its length.
uint32_t PutDirectoryRecord(uint8_t* p, const DirectoryRecord& record);

// Writes one path table record (little-endian for the L table, big-endian for the M table) and
// returns its length.
uint32_t PutPathTableRecord(uint8_t* p, bool big_endian, uint32_t location, uint16_t parent_number,
                            std::string_view name);

// What the volume descriptors of one session record.
struct VolumeFields {
  std::string label_ansi;          // the volume label in the code page
  std::u16string label_joliet;     // the same converted back to UTF-16
  uint32_t volume_space_size = 0;  // blocks of the session, run-out included
  uint32_t path_table_size = 0;    // bytes of one table
  uint32_t l_path_table_block = 0;
  uint32_t m_path_table_block = 0;
  uint32_t root_block = 0;
  uint32_t root_length = 0;  // rounded to whole blocks
  IsoTime volume_time;
};

// ECMA-119 8.4: primary volume descriptor.
void PutPrimaryDescriptor(uint8_t* block, const VolumeFields& fields);
// ECMA-119 8.5 with the Joliet escape sequence "%/E" (UCS-2 level 3).
void PutJolietDescriptor(uint8_t* block, const VolumeFields& fields);
// ECMA-119 8.3: volume descriptor set terminator.
void PutTerminator(uint8_t* block);

// Joliet identifiers: UTF-16 big-endian.
std::string ToUtf16Be(std::u16string_view text);

}  // namespace quillden::fs

#endif  // QUILLDEN_FILESYSTEMS_ISO9660_RECORDS_H_
