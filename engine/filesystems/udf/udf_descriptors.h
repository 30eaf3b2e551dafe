// Byte layouts of UDF (ECMA-167 with the OSTA UDF profile, revisions 1.02 and 2.50): descriptor
// tags, compressed Unicode strings, timestamps, entity identifiers and the volume and file set
// descriptors. Pure functions over caller buffers (zeroed by the caller, 2048 bytes per
// descriptor); the planners (udf_tree.h, udf_session.h) decide what goes into them.
#ifndef QUILLDEN_FILESYSTEMS_UDF_UDF_DESCRIPTORS_H_
#define QUILLDEN_FILESYSTEMS_UDF_UDF_DESCRIPTORS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "filesystems/iso9660_records.h"
#include "filesystems/iso_time.h"
#include "filesystems/layout/ecma167_layout.h"

namespace quillden::fs::udf {

inline constexpr uint16_t kRevision102 = ecma167::kUdfRevision102;
inline constexpr uint16_t kRevision250 = ecma167::kUdfRevision250;

// The descriptor tag identifiers are the layout's.
using TagId = ecma167::TagIdentifier;
using enum ecma167::TagIdentifier;

// Descriptor version of a revision's tags: 2 for 1.02, 3 for 2.50.
inline constexpr uint16_t DescriptorVersion(uint16_t revision) {
  return revision >= kRevision250 ? ecma167::tag::kVersionNsr03 : ecma167::tag::kVersionNsr02;
}

// The metadata file of 2.50 grows in units of 32 blocks, aligned to 32 blocks.
inline constexpr uint32_t kMetadataUnitBlocks = 32;

// ECMA-167 3/7.2: fills the 16-byte tag at p for a descriptor whose CRC covers the crc_length bytes
// after the tag, which must already be in place; the checksum is computed last.
void PutTag(uint8_t* p, uint16_t id, uint16_t version, uint16_t crc_length, uint32_t location);

// OSTA compressed Unicode (UDF 2.1.1). The compression of a text: 8 when every unit is below 128,
// else 16.
uint8_t CompressionFor(std::u16string_view text);
// The d-characters of text (compression ID, then one byte or two big-endian bytes per unit), cut
// to at most max_bytes without splitting a surrogate pair. An empty text gives an empty result.
std::string CompressedChars(std::u16string_view text, size_t max_bytes);
// A d-string field of field_size bytes: at most field_size - 1 bytes of characters, the count of
// used bytes in the last byte. An empty text leaves the field zero (the UDF form of "no text").
void PutDString(uint8_t* p, size_t field_size, std::u16string_view text);

// ECMA-167 1/7.2.1 character set: type 0, "OSTA Compressed Unicode" (64 bytes).
void PutOstaCharset(uint8_t* p);

// ECMA-167 1/7.4 entity identifier (32 bytes): flags 0, identifier, suffix. The suffix of a domain
// or UDF identifier is the revision and then flags_or_os_class: the domain flags of a domain
// identifier, the operating system class of a UDF identifier.
void PutEntityId(uint8_t* p, std::string_view identifier, uint16_t revision_suffix,
                 uint8_t flags_or_os_class);
// The implementation (and application) identifier of this engine.
void PutImplementationId(uint8_t* p);

// A timestamp: local time with the offset east of Greenwich in minutes.
struct Timestamp {
  IsoTime time;
  int milliseconds = 0;
};
// ECMA-167 1/7.3 (12 bytes): type 1 (local) with the 12-bit offset in minutes, then the fields.
void PutTimestamp(uint8_t* p, const Timestamp& time);

// ECMA-167 3/7.1 extent_ad and 4/14.14 allocation descriptors.
void PutExtent(uint8_t* p, uint32_t length, uint32_t location);
void PutShortAd(uint8_t* p, uint32_t length, uint32_t position);
// long_ad with the 6 implementation use bytes: two flag bytes, then a 32-bit unique ID.
void PutLongAd(uint8_t* p, uint32_t length, uint32_t block, uint16_t partition, uint32_t unique_id);

// ECMA-167 2/9.1: one block of the volume recognition sequence ("BEA01", "NSR02", "TEA01", ...).
void PutRecognitionBlock(uint8_t* p, std::string_view identifier);

// Everything the volume descriptors need to know.
struct VolumeInfo {
  uint16_t revision = kRevision102;
  std::u16string label;           // at most 32 units
  Timestamp time;                 // the volume time
  uint64_t volume_file_time = 0;  // the same time as a file time (volume set identifier)
  uint32_t partition_start = 0;   // absolute block
  uint32_t partition_length = 0;  // blocks
  uint32_t fsd_block = 0;         // logical block of the file set descriptor
  uint32_t integrity_block = 0;   // absolute block of the integrity descriptor
  // UDF 2.50: the metadata partition.
  uint32_t metadata_file_block = 0;  // partition blocks
  uint32_t metadata_mirror_block = 0;
  uint32_t metadata_blocks = 0;  // M
  // Integrity counts.
  uint32_t files = 0;
  uint32_t directories = 0;
  uint64_t next_unique_id = 0x7FFFFFFF;
  uint32_t root_block = 0;  // logical block of the root's file entry
};

// The six descriptors of a volume descriptor sequence into six blocks at p, whose first block is
// the absolute block first_block.
void PutVolumeDescriptorSequence(uint8_t* p, uint32_t first_block, const VolumeInfo& info);
// Logical volume integrity descriptor and its terminating descriptor (two blocks at block).
void PutIntegritySequence(uint8_t* p, uint32_t block, const VolumeInfo& info);
// Anchor volume descriptor pointer naming both sequences (16 blocks each).
void PutAnchor(uint8_t* p, uint32_t block, uint32_t main_block, uint32_t reserve_block,
               uint16_t revision);
// File set descriptor and its terminating descriptor (two blocks, at logical block block).
void PutFileSetSequence(uint8_t* p, uint32_t block, const VolumeInfo& info);
// A terminating descriptor alone.
void PutTerminator(uint8_t* p, uint32_t block, uint16_t revision);

}  // namespace quillden::fs::udf

#endif  // QUILLDEN_FILESYSTEMS_UDF_UDF_DESCRIPTORS_H_
