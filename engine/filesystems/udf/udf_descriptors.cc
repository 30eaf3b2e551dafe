#include "filesystems/udf/udf_descriptors.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "filesystems/layout/ecma119_layout.h"
#include "util/byte_order.h"

namespace quillden::fs::udf {
namespace {

namespace ad = ecma167::ad;
namespace charset = ecma167::charset;
namespace entity = ecma167::entity;
namespace extent = ecma167::extent;
namespace tag = ecma167::tag;
namespace timestamp = ecma167::timestamp;

constexpr uint32_t kSequenceBytes = ecma167::anchor::kMinSequenceBlocks * kBlockSize;
constexpr const char* kVolumeSetSuffix = "VARNOLD";

// The CRC of a descriptor of a fixed size covers all of it after the tag.
template <size_t kDescriptorSize>
constexpr uint16_t CrcLength() {
  return static_cast<uint16_t>(kDescriptorSize - tag::kSize);
}

void PutAscii(uint8_t* p, std::string_view text) {
  std::memcpy(p, text.data(), text.size());
}

}  // namespace

void PutTag(uint8_t* p, uint16_t id, uint16_t version, uint16_t crc_length, uint32_t location) {
  PutLe16(p + tag::kIdentifier, id);
  PutLe16(p + tag::kVersion, version);
  p[tag::kReserved] = 0;
  PutLe16(p + tag::kSerial, 1);
  PutLe16(p + tag::kCrc, ecma167::DescriptorCrc(p + tag::kSize, crc_length));
  PutLe16(p + tag::kCrcLength, crc_length);
  PutLe32(p + tag::kLocation, location);
  p[tag::kChecksum] = ecma167::TagChecksum(p);
}

uint8_t CompressionFor(std::u16string_view text) {
  for (char16_t unit : text) {
    if (unit >= 128) return ecma167::kCompression16;
  }
  return ecma167::kCompression8;
}

std::string CompressedChars(std::u16string_view text, size_t max_bytes) {
  std::string out;
  if (text.empty() || max_bytes < 2) return out;
  uint8_t compression = CompressionFor(text);
  out.push_back(static_cast<char>(compression));
  size_t width = compression == ecma167::kCompression8 ? 1 : 2;
  for (size_t i = 0; i < text.size(); ++i) {
    // A surrogate pair goes in whole or not at all.
    bool pair = i + 1 < text.size() && text[i] >= 0xD800 && text[i] < 0xDC00 &&
                text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000;
    size_t units = pair ? 2 : 1;
    if (out.size() + units * width > max_bytes) break;
    for (size_t u = 0; u < units; ++u) {
      char16_t unit = text[i + u];
      if (width == 2) out.push_back(static_cast<char>(unit >> 8));
      out.push_back(static_cast<char>(unit & 0xFF));
    }
    i += units - 1;
  }
  return out;
}

void PutDString(uint8_t* p, size_t field_size, std::u16string_view text) {
  std::string chars = CompressedChars(text, field_size - 1);
  if (chars.empty()) return;
  std::memcpy(p, chars.data(), chars.size());
  p[field_size - 1] = static_cast<uint8_t>(chars.size());
}

void PutOstaCharset(uint8_t* p) {
  p[charset::kType] = charset::kTypeCs0;
  PutAscii(p + charset::kInformation, ecma167::kOstaCompressedUnicode);
}

void PutEntityId(uint8_t* p, std::string_view identifier, uint16_t revision_suffix,
                 uint8_t flags_or_os_class) {
  static_assert(entity::kSuffixDomainFlags == entity::kSuffixUdfOsClass);
  p[entity::kFlags] = 0;
  PutAscii(p + entity::kIdentifier, identifier.substr(0, entity::kIdentifierSize));
  PutLe16(p + entity::kSuffixRevision, revision_suffix);
  p[entity::kSuffixUdfOsClass] = flags_or_os_class;
}

void PutImplementationId(uint8_t* p) {
  p[entity::kFlags] = 0;
  PutAscii(p + entity::kIdentifier, kApplicationIdentifier);
  p[entity::kSuffixOsClass] = entity::kOsClassDos;
}

void PutTimestamp(uint8_t* p, const Timestamp& t) {
  int minutes = t.time.offset * 15;
  PutLe16(p + timestamp::kTypeAndZone,
          static_cast<uint16_t>(timestamp::kTypeLocal << timestamp::kTypeShift |
                                (static_cast<uint16_t>(minutes) & timestamp::kZoneMask)));
  PutLe16(p + timestamp::kYear, static_cast<uint16_t>(t.time.year));
  p[timestamp::kMonth] = static_cast<uint8_t>(t.time.month);
  p[timestamp::kDay] = static_cast<uint8_t>(t.time.day);
  p[timestamp::kHour] = static_cast<uint8_t>(t.time.hour);
  p[timestamp::kMinute] = static_cast<uint8_t>(t.time.minute);
  p[timestamp::kSecond] = static_cast<uint8_t>(t.time.second);
  int ms = std::clamp(t.milliseconds, 0, 999);
  p[timestamp::kCentiseconds] = static_cast<uint8_t>(ms / 10);
  p[timestamp::kHundredsOfMicroseconds] = static_cast<uint8_t>((ms % 10) * 10);
  p[timestamp::kMicroseconds] = 0;
}

void PutExtent(uint8_t* p, uint32_t length, uint32_t location) {
  PutLe32(p + extent::kLength, length);
  PutLe32(p + extent::kLocation, location);
}

void PutShortAd(uint8_t* p, uint32_t length, uint32_t position) {
  PutLe32(p + ad::kLength, length);
  PutLe32(p + ad::kPosition, position);
}

void PutLongAd(uint8_t* p, uint32_t length, uint32_t block, uint16_t partition,
               uint32_t unique_id) {
  PutLe32(p + ad::kLength, length);
  PutLe32(p + ad::kPosition, block);
  PutLe16(p + ad::kPartition, partition);
  PutLe16(p + ad::kLongUse, 0);  // flags
  PutLe32(p + ad::kLongUseUniqueId, unique_id);
}

void PutRecognitionBlock(uint8_t* p, std::string_view identifier) {
  p[ecma119::kDescriptorType] = ecma167::kVolumeStructureType;
  PutAscii(p + ecma119::kStandardIdentifier,
           identifier.substr(0, ecma119::kStandardIdentifierSize));
  p[ecma119::kDescriptorVersion] = ecma167::kVolumeStructureVersion;
}

void PutVolumeDescriptorSequence(uint8_t* p, uint32_t first_block, const VolumeInfo& info) {
  const uint16_t version = DescriptorVersion(info.revision);
  const bool metadata = info.revision >= kRevision250;
  constexpr size_t kBlock = kBlockSize;

  // ECMA-167 3/10.1 primary volume descriptor.
  namespace pvd = ecma167::pvd;
  uint8_t* d = p;
  PutLe32(d + pvd::kSequenceNumber, 0);
  PutLe32(d + pvd::kDescriptorNumber, 0);
  PutDString(d + pvd::kVolumeIdentifier, pvd::kVolumeIdentifierSize, info.label);
  PutLe16(d + pvd::kVolumeSequenceNumber, 1);
  PutLe16(d + pvd::kMaxVolumeSequenceNumber, 1);
  PutLe16(d + pvd::kInterchangeLevel, pvd::kInterchangeLevelSingleVolume);
  PutLe16(d + pvd::kMaxInterchangeLevel, pvd::kInterchangeLevelSingleVolume);
  PutLe32(d + pvd::kCharacterSetList, ecma167::kCharacterSetListCs0);
  PutLe32(d + pvd::kMaxCharacterSetList, ecma167::kCharacterSetListCs0);
  char set_id[64];
  std::snprintf(set_id, sizeof set_id, "%08lX%08lX%s",
                static_cast<unsigned long>(info.volume_file_time & 0xFFFFFFFFu),
                static_cast<unsigned long>(info.volume_file_time >> 32), kVolumeSetSuffix);
  std::u16string set_text(set_id, set_id + std::strlen(set_id));
  PutDString(d + pvd::kVolumeSetIdentifier, pvd::kVolumeSetIdentifierSize, set_text);
  PutOstaCharset(d + pvd::kDescriptorCharset);
  PutOstaCharset(d + pvd::kExplanatoryCharset);
  PutImplementationId(d + pvd::kApplicationIdentifier);
  PutTimestamp(d + pvd::kRecordingTime, info.time);
  PutImplementationId(d + pvd::kImplementationIdentifier);
  PutTag(d, kTagPrimaryVolume, version, CrcLength<pvd::kSize>(), first_block);

  // ECMA-167 3/10.4 implementation use volume descriptor with the UDF logical volume information.
  namespace iuvd = ecma167::iuvd;
  d = p + kBlock;
  PutLe32(d + iuvd::kSequenceNumber, 1);
  PutEntityId(d + iuvd::kImplementationIdentifier, ecma167::kLogicalVolumeInfo, info.revision,
              entity::kOsClassDos);
  PutOstaCharset(d + iuvd::kCharset);
  PutDString(d + iuvd::kLogicalVolumeIdentifier, iuvd::kLogicalVolumeIdentifierSize, info.label);
  PutImplementationId(d + iuvd::kImplementationId);
  PutTag(d, kTagImplementationUse, version, CrcLength<iuvd::kSize>(), first_block + 1);

  // ECMA-167 3/10.5 partition descriptor.
  namespace pd = ecma167::pd;
  d = p + 2 * kBlock;
  PutLe32(d + pd::kSequenceNumber, 2);
  PutLe16(d + pd::kFlags, pd::kFlagAllocated);
  PutLe16(d + pd::kNumber, 0);
  PutEntityId(d + pd::kContents,
              metadata ? ecma167::kPartitionContentsNsr03 : ecma167::kPartitionContentsNsr02,
              info.revision, entity::kOsClassDos);
  PutLe32(d + pd::kAccessType, pd::kAccessReadOnly);
  PutLe32(d + pd::kStartingLocation, info.partition_start);
  PutLe32(d + pd::kLength, info.partition_length);
  PutImplementationId(d + pd::kImplementationIdentifier);
  PutTag(d, kTagPartition, version, CrcLength<pd::kSize>(), first_block + 2);

  // ECMA-167 3/10.6 logical volume descriptor.
  namespace lvd = ecma167::lvd;
  namespace map = ecma167::map;
  d = p + 3 * kBlock;
  const uint32_t map_table_length =
      metadata ? map::kType1Length + map::kType2Length : map::kType1Length;
  PutLe32(d + lvd::kSequenceNumber, 3);
  PutOstaCharset(d + lvd::kDescriptorCharset);
  PutDString(d + lvd::kLogicalVolumeIdentifier, lvd::kLogicalVolumeIdentifierSize, info.label);
  PutLe32(d + lvd::kLogicalBlockSize, kBlockSize);
  PutEntityId(d + lvd::kDomainIdentifier, ecma167::kDomainOstaCompliant, info.revision,
              entity::kNoDomainFlags);
  // The file set descriptor and its terminator.
  PutLongAd(d + lvd::kContentsUse, 2 * kBlockSize, info.fsd_block, metadata ? 1 : 0, 0);
  PutLe32(d + lvd::kMapTableLength, map_table_length);
  PutLe32(d + lvd::kPartitionMapCount, metadata ? 2 : 1);
  PutImplementationId(d + lvd::kImplementationIdentifier);
  // The integrity descriptor and its terminator.
  PutExtent(d + lvd::kIntegritySequence, 2 * kBlockSize, info.integrity_block);
  uint8_t* partition_map = d + lvd::kPartitionMaps;
  partition_map[map::kType] = map::kType1;
  partition_map[map::kLength] = map::kType1Length;
  PutLe16(partition_map + map::kType1VolumeSequenceNumber, 1);
  PutLe16(partition_map + map::kType1PartitionNumber, 0);
  if (metadata) {
    // UDF 2.50 2.2.10 metadata partition map.
    partition_map += map::kType1Length;
    partition_map[map::kType] = map::kType2;
    partition_map[map::kLength] = map::kType2Length;
    PutEntityId(partition_map + map::kType2Identifier, ecma167::kMetadataPartition, kRevision250,
                entity::kOsClassDos);
    PutLe16(partition_map + map::kType2VolumeSequenceNumber, 1);
    PutLe16(partition_map + map::kType2PartitionNumber, 0);
    PutLe32(partition_map + map::kMetadataFileLocation, info.metadata_file_block);
    PutLe32(partition_map + map::kMetadataMirrorLocation, info.metadata_mirror_block);
    PutLe32(partition_map + map::kMetadataBitmapLocation, map::kNoMetadataBitmap);
    PutLe32(partition_map + map::kMetadataAllocationUnit, kMetadataUnitBlocks);
    PutLe16(partition_map + map::kMetadataAlignmentUnit, kMetadataUnitBlocks);
    partition_map[map::kMetadataFlags] = map::kMetadataFlagDuplicate;
  }
  PutTag(d, kTagLogicalVolume, version,
         static_cast<uint16_t>(lvd::kPartitionMaps + map_table_length - tag::kSize),
         first_block + 3);

  // ECMA-167 3/10.8 unallocated space descriptor: nothing is unallocated.
  namespace usd = ecma167::usd;
  d = p + 4 * kBlock;
  PutLe32(d + usd::kSequenceNumber, 4);
  PutTag(d, kTagUnallocatedSpace, version, CrcLength<usd::kDescriptors>(),  // no descriptors
         first_block + 4);

  PutTerminator(p + 5 * kBlock, first_block + 5, info.revision);
}

void PutIntegritySequence(uint8_t* p, uint32_t block, const VolumeInfo& info) {
  namespace lvid = ecma167::lvid;
  const bool metadata = info.revision >= kRevision250;
  const uint32_t partitions = metadata ? 2 : 1;
  // ECMA-167 3/10.10 logical volume integrity descriptor.
  PutTimestamp(p + lvid::kRecordingTime, info.time);
  PutLe32(p + lvid::kIntegrityType, lvid::kIntegrityClosed);
  PutLe64(p + lvid::kNextUniqueId, info.next_unique_id);
  PutLe32(p + lvid::kPartitionCount, partitions);
  PutLe32(p + lvid::kImplementationUseLength, lvid::kUseSize);
  uint8_t* sizes = p + lvid::SizeTable(partitions);  // after the free space table (all zero)
  PutLe32(sizes, info.partition_length);
  if (metadata) PutLe32(sizes + 4, info.metadata_blocks);
  // UDF 2.2.6.4 implementation use.
  uint8_t* use = p + lvid::ImplementationUse(partitions);
  PutImplementationId(use + lvid::kUseImplementationId);
  PutLe32(use + lvid::kUseFileCount, info.files);
  PutLe32(use + lvid::kUseDirectoryCount, info.directories);
  PutLe16(use + lvid::kUseMinReadRevision, info.revision);
  PutLe16(use + lvid::kUseMinWriteRevision, info.revision);
  PutLe16(use + lvid::kUseMaxWriteRevision, info.revision);
  PutTag(p, kTagIntegrity, DescriptorVersion(info.revision),
         static_cast<uint16_t>(lvid::ImplementationUse(partitions) + lvid::kUseSize - tag::kSize),
         block);
  PutTerminator(p + kBlockSize, block + 1, info.revision);
}

void PutAnchor(uint8_t* p, uint32_t block, uint32_t main_block, uint32_t reserve_block,
               uint16_t revision) {
  // ECMA-167 3/10.2.
  namespace anchor = ecma167::anchor;
  PutExtent(p + anchor::kMainSequence, kSequenceBytes, main_block);
  PutExtent(p + anchor::kReserveSequence, kSequenceBytes, reserve_block);
  PutTag(p, kTagAnchor, DescriptorVersion(revision), CrcLength<anchor::kSize>(), block);
}

void PutFileSetSequence(uint8_t* p, uint32_t block, const VolumeInfo& info) {
  namespace fsd = ecma167::fsd;
  const bool metadata = info.revision >= kRevision250;
  // ECMA-167 4/14.1 file set descriptor.
  PutTimestamp(p + fsd::kRecordingTime, info.time);
  PutLe16(p + fsd::kInterchangeLevel, fsd::kInterchangeLevel3);
  PutLe16(p + fsd::kMaxInterchangeLevel, fsd::kInterchangeLevel3);
  PutLe32(p + fsd::kCharacterSetList, ecma167::kCharacterSetListCs0);
  PutLe32(p + fsd::kMaxCharacterSetList, ecma167::kCharacterSetListCs0);
  PutOstaCharset(p + fsd::kLogicalVolumeCharset);
  PutDString(p + fsd::kLogicalVolumeIdentifier, fsd::kLogicalVolumeIdentifierSize, info.label);
  PutOstaCharset(p + fsd::kFileSetCharset);
  PutDString(p + fsd::kFileSetIdentifier, fsd::kFileSetIdentifierSize, info.label);
  PutLongAd(p + fsd::kRootDirectoryIcb, kBlockSize, info.root_block, metadata ? 1 : 0, 0);
  PutEntityId(p + fsd::kDomainIdentifier, ecma167::kDomainOstaCompliant, info.revision,
              entity::kNoDomainFlags);
  PutTag(p, kTagFileSet, DescriptorVersion(info.revision), CrcLength<fsd::kSize>(), block);
  PutTerminator(p + kBlockSize, block + 1, info.revision);
}

void PutTerminator(uint8_t* p, uint32_t block, uint16_t revision) {
  PutTag(p, kTagTerminating, DescriptorVersion(revision), CrcLength<ecma167::td::kSize>(), block);
}

}  // namespace quillden::fs::udf
