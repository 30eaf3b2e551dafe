// The byte layout of UDF volumes (ECMA-167 with the OSTA UDF profile, revisions 1.02 and 2.50):
// descriptor tags and their identifiers, the volume descriptors, the integrity descriptor, the
// file set descriptor, file identifiers, file entries, ICB tags and allocation descriptors. Every
// field is named once with its offset (size in the comment); one short namespace per structure
// keeps the names short where they are used (lvd::kLogicalBlockSize, fe::kInformationLength).
// The names serve the UDF writer and reader alike; the layout tests hold the mastered bytes to
// them. All numbers are little-endian.
#ifndef QUILLDEN_FILESYSTEMS_LAYOUT_ECMA167_LAYOUT_H_
#define QUILLDEN_FILESYSTEMS_LAYOUT_ECMA167_LAYOUT_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "util/crc16.h"

namespace quillden::fs::ecma167 {

inline constexpr uint16_t kUdfRevision102 = 0x0102;
inline constexpr uint16_t kUdfRevision250 = 0x0250;

// The anchor volume descriptor pointer sits at block 256 of the session.
inline constexpr uint32_t kAnchorBlock = 256;

// Volume recognition sequence: from block 16, one structure per block, in the ISO 9660
// descriptor's header layout (type, five-byte identifier, version).
inline constexpr char kBeginExtendedArea[] = "BEA01";
inline constexpr char kNsr02[] = "NSR02";  // UDF 1.02 to 2.01
inline constexpr char kNsr03[] = "NSR03";  // UDF 2.50 and later
inline constexpr char kTerminateExtendedArea[] = "TEA01";
inline constexpr char kBoot2[] = "BOOT2";
inline constexpr char kCdw02[] = "CDW02";
inline constexpr uint8_t kVolumeStructureType = 0;
inline constexpr uint8_t kVolumeStructureVersion = 1;

// Descriptor tag identifiers.
enum TagIdentifier : uint16_t {
  kTagPrimaryVolume = 1,
  kTagAnchor = 2,
  kTagVolumePointer = 3,
  kTagImplementationUse = 4,
  kTagPartition = 5,
  kTagLogicalVolume = 6,
  kTagUnallocatedSpace = 7,
  kTagTerminating = 8,
  kTagIntegrity = 9,
  kTagFileSet = 256,
  kTagFileIdentifier = 257,
  kTagAllocationExtent = 258,
  kTagIndirectEntry = 259,
  kTagTerminalEntry = 260,
  kTagFileEntry = 261,
  kTagExtendedAttributeHeader = 262,
  kTagUnallocatedSpaceEntry = 263,
  kTagSpaceBitmap = 264,
  kTagPartitionIntegrity = 265,
  kTagExtendedFileEntry = 266,
};

// Descriptor tag: the first 16 bytes of every descriptor.
namespace tag {
inline constexpr size_t kIdentifier = 0;  // 2 bytes, TagIdentifier
inline constexpr size_t kVersion = 2;     // 2 bytes: 2 (NSR02) or 3 (NSR03)
inline constexpr size_t kChecksum = 4;    // 1 byte: sum of the other 15 tag bytes
inline constexpr size_t kReserved = 5;    // 1 byte, 0
inline constexpr size_t kSerial = 6;      // 2 bytes
inline constexpr size_t kCrc = 8;         // 2 bytes, CRC of kCrcLength bytes after the tag
inline constexpr size_t kCrcLength = 10;  // 2 bytes
inline constexpr size_t kLocation = 12;   // 4 bytes, the descriptor's own block
inline constexpr size_t kSize = 16;
inline constexpr uint16_t kVersionNsr02 = 2;
inline constexpr uint16_t kVersionNsr03 = 3;
}  // namespace tag

// extent_ad: a length in bytes and an absolute block.
namespace extent {
inline constexpr size_t kLength = 0;    // 4 bytes
inline constexpr size_t kLocation = 4;  // 4 bytes
inline constexpr size_t kSize = 8;
}  // namespace extent

// Allocation descriptors. The length word's top two bits are the extent type.
namespace ad {
inline constexpr size_t kLength = 0;            // 4 bytes: type << 30 | bytes
inline constexpr size_t kPosition = 4;          // 4 bytes, partition-relative block
inline constexpr size_t kShortSize = 8;         // short_ad
inline constexpr size_t kPartition = 8;         // 2 bytes, long_ad: partition reference
inline constexpr size_t kLongUse = 10;          // 6 bytes, long_ad: implementation use
inline constexpr size_t kLongUseUniqueId = 12;  // 4 bytes, UDF: the low 32 bits of the unique ID
inline constexpr size_t kLongSize = 16;         // long_ad
// ext_ad.
inline constexpr size_t kExtRecordedLength = 4;     // 4 bytes
inline constexpr size_t kExtInformationLength = 8;  // 4 bytes
inline constexpr size_t kExtPosition = 12;          // 4 bytes
inline constexpr size_t kExtPartition = 16;         // 2 bytes
inline constexpr size_t kExtSize = 20;
inline constexpr uint32_t kLengthMask = 0x3FFFFFFF;
inline constexpr int kTypeShift = 30;
enum ExtentType : uint32_t {
  kRecorded = 0,
  kAllocatedNotRecorded = 1,
  kNotAllocated = 2,
  kNextExtentOfDescriptors = 3,
};
}  // namespace ad

// Entity identifier (regid, 32 bytes): flags, a 23-byte identifier, an 8-byte suffix.
namespace entity {
inline constexpr size_t kFlags = 0;
inline constexpr size_t kIdentifier = 1;
inline constexpr size_t kIdentifierSize = 23;
inline constexpr size_t kSuffix = 24;
inline constexpr size_t kSuffixRevision = 24;     // 2 bytes: UDF revision (domain and UDF ids)
inline constexpr size_t kSuffixDomainFlags = 26;  // 1 byte, domain ids
inline constexpr size_t kSuffixUdfOsClass = 26;   // 1 byte, UDF ids
inline constexpr size_t kSuffixOsClass = 24;      // 1 byte, implementation ids
inline constexpr size_t kSize = 32;
inline constexpr uint8_t kNoDomainFlags = 0;  // neither hard nor soft write protection
// Operating system classes of identifier suffixes.
enum OsClass : uint8_t {
  kOsClassUndefined = 0,
  kOsClassDos = 1,
};
}  // namespace entity

// The identifiers this engine records or looks for.
inline constexpr char kDomainOstaCompliant[] = "*OSTA UDF Compliant";
inline constexpr char kLogicalVolumeInfo[] = "*UDF LV Info";
inline constexpr char kMetadataPartition[] = "*UDF Metadata Partition";
inline constexpr char kPartitionContentsNsr02[] = "+NSR02";
inline constexpr char kPartitionContentsNsr03[] = "+NSR03";
inline constexpr char kFreeEaSpace[] = "*UDF FreeEASpace";
inline constexpr char kDvdCgmsInfo[] = "*UDF DVD CGMS Info";
inline constexpr char kOstaCompressedUnicode[] = "OSTA Compressed Unicode";

// OSTA compressed Unicode: the first byte of a name or d-string says how wide its units are. A
// d-string's last byte holds the count of bytes used.
inline constexpr uint8_t kCompression8 = 8;    // one byte per unit
inline constexpr uint8_t kCompression16 = 16;  // two bytes per unit, big-endian

// Character set lists: bit n stands for CSn.
inline constexpr uint32_t kCharacterSetListCs0 = 1;

// Character set (64 bytes).
namespace charset {
inline constexpr size_t kType = 0;         // 1 byte; 0 with "OSTA Compressed Unicode"
inline constexpr size_t kInformation = 1;  // 63 bytes
inline constexpr size_t kSize = 64;
inline constexpr uint8_t kTypeCs0 = 0;
}  // namespace charset

// Timestamp (12 bytes).
namespace timestamp {
inline constexpr size_t kTypeAndZone = 0;  // 2 bytes: type << 12 | zone in minutes (12-bit signed)
inline constexpr size_t kYear = 2;         // 2 bytes
inline constexpr size_t kMonth = 4;
inline constexpr size_t kDay = 5;
inline constexpr size_t kHour = 6;
inline constexpr size_t kMinute = 7;
inline constexpr size_t kSecond = 8;
inline constexpr size_t kCentiseconds = 9;
inline constexpr size_t kHundredsOfMicroseconds = 10;
inline constexpr size_t kMicroseconds = 11;
inline constexpr size_t kSize = 12;
inline constexpr uint16_t kTypeLocal = 1;
inline constexpr int kTypeShift = 12;
inline constexpr uint16_t kZoneMask = 0x0FFF;
}  // namespace timestamp

// Anchor volume descriptor pointer.
namespace anchor {
inline constexpr size_t kMainSequence = 16;     // extent_ad
inline constexpr size_t kReserveSequence = 24;  // extent_ad
inline constexpr size_t kSize = 512;
// Each sequence extent is at least 16 blocks long.
inline constexpr uint32_t kMinSequenceBlocks = 16;
}  // namespace anchor

// Primary volume descriptor.
namespace pvd {
inline constexpr size_t kSequenceNumber = 16;    // 4 bytes
inline constexpr size_t kDescriptorNumber = 20;  // 4 bytes
inline constexpr size_t kVolumeIdentifier = 24;  // 32 bytes, dstring
inline constexpr size_t kVolumeIdentifierSize = 32;
inline constexpr size_t kVolumeSequenceNumber = 56;     // 2 bytes
inline constexpr size_t kMaxVolumeSequenceNumber = 58;  // 2 bytes
inline constexpr size_t kInterchangeLevel = 60;         // 2 bytes
inline constexpr size_t kMaxInterchangeLevel = 62;      // 2 bytes
inline constexpr size_t kCharacterSetList = 64;         // 4 bytes
inline constexpr size_t kMaxCharacterSetList = 68;      // 4 bytes
inline constexpr size_t kVolumeSetIdentifier = 72;      // 128 bytes, dstring
inline constexpr size_t kVolumeSetIdentifierSize = 128;
inline constexpr size_t kDescriptorCharset = 200;         // charset (64 bytes)
inline constexpr size_t kExplanatoryCharset = 264;        // charset (64 bytes)
inline constexpr size_t kVolumeAbstract = 328;            // extent_ad
inline constexpr size_t kVolumeCopyright = 336;           // extent_ad
inline constexpr size_t kApplicationIdentifier = 344;     // regid
inline constexpr size_t kRecordingTime = 376;             // timestamp
inline constexpr size_t kImplementationIdentifier = 388;  // regid
inline constexpr size_t kImplementationUse = 420;         // 64 bytes
inline constexpr size_t kPredecessorLocation = 484;       // 4 bytes
inline constexpr size_t kFlags = 488;                     // 2 bytes
inline constexpr size_t kSize = 512;
inline constexpr uint16_t kInterchangeLevelSingleVolume = 2;
}  // namespace pvd

// Implementation use volume descriptor, holding UDF's logical volume information.
namespace iuvd {
inline constexpr size_t kSequenceNumber = 16;            // 4 bytes
inline constexpr size_t kImplementationIdentifier = 20;  // regid: "*UDF LV Info"
inline constexpr size_t kCharset = 52;                   // charset (64 bytes)
inline constexpr size_t kLogicalVolumeIdentifier = 116;  // 128 bytes, dstring
inline constexpr size_t kLogicalVolumeIdentifierSize = 128;
inline constexpr size_t kInfo1 = 244;  // 36 bytes, dstring
inline constexpr size_t kInfo2 = 280;
inline constexpr size_t kInfo3 = 316;
inline constexpr size_t kImplementationId = 352;   // regid
inline constexpr size_t kImplementationUse = 384;  // 128 bytes
inline constexpr size_t kSize = 512;
}  // namespace iuvd

// Partition descriptor.
namespace pd {
inline constexpr size_t kSequenceNumber = 16;             // 4 bytes
inline constexpr size_t kFlags = 20;                      // 2 bytes; bit 0: allocated
inline constexpr size_t kNumber = 22;                     // 2 bytes
inline constexpr size_t kContents = 24;                   // regid: "+NSR02" or "+NSR03"
inline constexpr size_t kContentsUse = 56;                // 128 bytes
inline constexpr size_t kAccessType = 184;                // 4 bytes, AccessType
inline constexpr size_t kStartingLocation = 188;          // 4 bytes, absolute block
inline constexpr size_t kLength = 192;                    // 4 bytes, blocks
inline constexpr size_t kImplementationIdentifier = 196;  // regid
inline constexpr size_t kImplementationUse = 228;         // 128 bytes
inline constexpr size_t kSize = 512;
inline constexpr uint16_t kFlagAllocated = 1;
enum AccessType : uint32_t {
  kAccessUnspecified = 0,
  kAccessReadOnly = 1,
  kAccessWriteOnce = 2,
  kAccessRewritable = 3,
  kAccessOverwritable = 4,
};
}  // namespace pd

// Logical volume descriptor.
namespace lvd {
inline constexpr size_t kSequenceNumber = 16;           // 4 bytes
inline constexpr size_t kDescriptorCharset = 20;        // charset (64 bytes)
inline constexpr size_t kLogicalVolumeIdentifier = 84;  // 128 bytes, dstring
inline constexpr size_t kLogicalVolumeIdentifierSize = 128;
inline constexpr size_t kLogicalBlockSize = 212;          // 4 bytes
inline constexpr size_t kDomainIdentifier = 216;          // regid: "*OSTA UDF Compliant"
inline constexpr size_t kContentsUse = 248;               // 16 bytes: long_ad of the file set
inline constexpr size_t kMapTableLength = 264;            // 4 bytes
inline constexpr size_t kPartitionMapCount = 268;         // 4 bytes
inline constexpr size_t kImplementationIdentifier = 272;  // regid
inline constexpr size_t kImplementationUse = 304;         // 128 bytes
inline constexpr size_t kIntegritySequence = 432;         // extent_ad
inline constexpr size_t kPartitionMaps = 440;             // kMapTableLength bytes
}  // namespace lvd

// Partition maps of the logical volume descriptor.
namespace map {
inline constexpr size_t kType = 0;    // 1 byte: 1 or 2
inline constexpr size_t kLength = 1;  // 1 byte
// Type 1 (6 bytes).
inline constexpr size_t kType1VolumeSequenceNumber = 2;  // 2 bytes
inline constexpr size_t kType1PartitionNumber = 4;       // 2 bytes
inline constexpr uint8_t kType1Length = 6;
// Type 2 (64 bytes): virtual, sparable and metadata partitions, told apart by the regid.
inline constexpr size_t kType2Identifier = 4;             // regid
inline constexpr size_t kType2VolumeSequenceNumber = 36;  // 2 bytes
inline constexpr size_t kType2PartitionNumber = 38;       // 2 bytes
inline constexpr size_t kMetadataFileLocation = 40;       // 4 bytes, partition block
inline constexpr size_t kMetadataMirrorLocation = 44;     // 4 bytes
inline constexpr size_t kMetadataBitmapLocation = 48;     // 4 bytes; all ones without one
inline constexpr size_t kMetadataAllocationUnit = 52;     // 4 bytes, blocks
inline constexpr size_t kMetadataAlignmentUnit = 56;      // 2 bytes, blocks
inline constexpr size_t kMetadataFlags = 58;              // 1 byte; bit 0: the mirror duplicates
inline constexpr uint8_t kType2Length = 64;
inline constexpr uint32_t kNoMetadataBitmap = 0xFFFFFFFF;
inline constexpr uint8_t kMetadataFlagDuplicate = 1;
enum Type : uint8_t { kType1 = 1, kType2 = 2 };
}  // namespace map

// Unallocated space descriptor.
namespace usd {
inline constexpr size_t kSequenceNumber = 16;   // 4 bytes
inline constexpr size_t kDescriptorCount = 20;  // 4 bytes
inline constexpr size_t kDescriptors = 24;      // extent_ad each
}  // namespace usd

// Terminating descriptor.
namespace td {
inline constexpr size_t kSize = 512;
}  // namespace td

// Logical volume integrity descriptor.
namespace lvid {
inline constexpr size_t kRecordingTime = 16;            // timestamp
inline constexpr size_t kIntegrityType = 28;            // 4 bytes: 0 open, 1 closed
inline constexpr size_t kNextIntegrityExtent = 32;      // extent_ad
inline constexpr size_t kContentsUse = 40;              // 32 bytes
inline constexpr size_t kNextUniqueId = 40;             // 8 bytes, UDF: in the contents use
inline constexpr size_t kPartitionCount = 72;           // 4 bytes, N
inline constexpr size_t kImplementationUseLength = 76;  // 4 bytes
inline constexpr size_t kFreeSpaceTable = 80;           // N * 4 bytes, then the size table, N * 4
inline constexpr uint32_t kIntegrityOpen = 0;
inline constexpr uint32_t kIntegrityClosed = 1;
// UDF's implementation use, after the two tables.
inline constexpr size_t kUseImplementationId = 0;   // regid
inline constexpr size_t kUseFileCount = 32;         // 4 bytes
inline constexpr size_t kUseDirectoryCount = 36;    // 4 bytes
inline constexpr size_t kUseMinReadRevision = 40;   // 2 bytes
inline constexpr size_t kUseMinWriteRevision = 42;  // 2 bytes
inline constexpr size_t kUseMaxWriteRevision = 44;  // 2 bytes
inline constexpr uint32_t kUseSize = 46;
// The size table's offset for N partitions, and the implementation use's.
inline constexpr size_t SizeTable(uint32_t partitions) {
  return kFreeSpaceTable + 4 * size_t{partitions};
}
inline constexpr size_t ImplementationUse(uint32_t partitions) {
  return kFreeSpaceTable + 8 * size_t{partitions};
}
}  // namespace lvid

// File set descriptor.
namespace fsd {
inline constexpr size_t kRecordingTime = 16;             // timestamp
inline constexpr size_t kInterchangeLevel = 28;          // 2 bytes
inline constexpr size_t kMaxInterchangeLevel = 30;       // 2 bytes
inline constexpr size_t kCharacterSetList = 32;          // 4 bytes
inline constexpr size_t kMaxCharacterSetList = 36;       // 4 bytes
inline constexpr size_t kFileSetNumber = 40;             // 4 bytes
inline constexpr size_t kFileSetDescriptorNumber = 44;   // 4 bytes
inline constexpr size_t kLogicalVolumeCharset = 48;      // charset (64 bytes)
inline constexpr size_t kLogicalVolumeIdentifier = 112;  // 128 bytes, dstring
inline constexpr size_t kLogicalVolumeIdentifierSize = 128;
inline constexpr size_t kFileSetCharset = 240;     // charset (64 bytes)
inline constexpr size_t kFileSetIdentifier = 304;  // 32 bytes, dstring
inline constexpr size_t kFileSetIdentifierSize = 32;
inline constexpr size_t kCopyrightFileIdentifier = 336;   // 32 bytes
inline constexpr size_t kAbstractFileIdentifier = 368;    // 32 bytes
inline constexpr size_t kRootDirectoryIcb = 400;          // long_ad
inline constexpr size_t kDomainIdentifier = 416;          // regid
inline constexpr size_t kNextExtent = 448;                // long_ad
inline constexpr size_t kSystemStreamDirectoryIcb = 464;  // long_ad
inline constexpr size_t kSize = 512;
inline constexpr uint16_t kInterchangeLevel3 = 3;
}  // namespace fsd

// File identifier descriptor: 38 bytes, the implementation use, the identifier, then padding to a
// multiple of four.
namespace fid {
inline constexpr size_t kFileVersionNumber = 16;        // 2 bytes
inline constexpr size_t kCharacteristics = 18;          // 1 byte, Characteristic bits
inline constexpr size_t kIdentifierLength = 19;         // 1 byte
inline constexpr size_t kIcb = 20;                      // long_ad
inline constexpr size_t kImplementationUseLength = 36;  // 2 bytes
inline constexpr size_t kImplementationUse = 38;
inline constexpr size_t kHeaderSize = 38;
inline constexpr size_t kMaxIdentifierLength = 255;  // its length field is one byte
enum Characteristic : uint8_t {
  kHidden = 0x01,
  kDirectory = 0x02,
  kDeleted = 0x04,
  kParent = 0x08,
  kMetadata = 0x10,
};
// The whole descriptor's length, padded to four bytes.
inline constexpr size_t PaddedLength(size_t use_length, size_t identifier_length) {
  return (kHeaderSize + use_length + identifier_length + 3) & ~size_t{3};
}
}  // namespace fid

// Allocation extent descriptor: leads each further extent of allocation descriptors.
namespace aed {
inline constexpr size_t kPreviousLocation = 16;   // 4 bytes
inline constexpr size_t kDescriptorsLength = 20;  // 4 bytes
inline constexpr size_t kDescriptors = 24;
}  // namespace aed

// ICB tag (20 bytes), at byte 16 of file entries.
namespace icb {
inline constexpr size_t kPriorDirectEntries = 0;  // 4 bytes
inline constexpr size_t kStrategyType = 4;        // 2 bytes
inline constexpr size_t kStrategyParameter = 6;   // 2 bytes
inline constexpr size_t kMaxEntries = 8;          // 2 bytes
inline constexpr size_t kFileType = 11;           // 1 byte, FileType
inline constexpr size_t kParentIcb = 12;          // lb_addr, 6 bytes
inline constexpr size_t kFlags = 18;              // 2 bytes; the low three bits: AdType
inline constexpr size_t kSize = 20;
inline constexpr uint16_t kAdTypeMask = 0x07;
inline constexpr uint16_t kStrategy4 = 4;
enum AdType : uint16_t {
  kShortAds = 0,
  kLongAds = 1,
  kExtendedAds = 2,
  kEmbedded = 3,  // the content sits in the entry's allocation descriptor area
};
enum FileType : uint8_t {
  kTypeUnallocatedSpaceEntry = 1,
  kTypePartitionIntegrityEntry = 2,
  kTypeIndirectEntry = 3,
  kTypeDirectory = 4,
  kTypeFile = 5,
  kTypeBlockDevice = 6,
  kTypeCharacterDevice = 7,
  kTypeExtendedAttributes = 8,
  kTypeFifo = 9,
  kTypeSocket = 10,
  kTypeTerminalEntry = 11,
  kTypeSymbolicLink = 12,
  kTypeStreamDirectory = 13,
  kTypeMetadataFile = 250,
  kTypeMetadataMirrorFile = 251,
  kTypeMetadataBitmapFile = 252,
};
}  // namespace icb

// Fields shared by the file entry and the extended file entry.
namespace entry {
inline constexpr size_t kIcbTag = 16;         // icb tag
inline constexpr size_t kUid = 36;            // 4 bytes
inline constexpr size_t kGid = 40;            // 4 bytes
inline constexpr size_t kPermissions = 44;    // 4 bytes
inline constexpr size_t kFileLinkCount = 48;  // 2 bytes
inline constexpr size_t kRecordFormat = 50;   // 1 byte
inline constexpr size_t kRecordDisplayAttributes = 51;
inline constexpr size_t kRecordLength = 52;       // 4 bytes
inline constexpr size_t kInformationLength = 56;  // 8 bytes
inline constexpr size_t kFileType = kIcbTag + icb::kFileType;
inline constexpr size_t kIcbFlags = kIcbTag + icb::kFlags;
inline constexpr uint32_t kUnspecifiedId = 0xFFFFFFFF;  // uid and gid
// Permission bits: five for others, then five for the group, then five for the owner.
enum Permission : uint32_t {
  kOtherExecute = 0x0001,
  kOtherWrite = 0x0002,
  kOtherRead = 0x0004,
  kOtherChangeAttributes = 0x0008,
  kOtherDelete = 0x0010,
  kGroupExecute = 0x0020,
  kGroupWrite = 0x0040,
  kGroupRead = 0x0080,
  kGroupChangeAttributes = 0x0100,
  kGroupDelete = 0x0200,
  kOwnerExecute = 0x0400,
  kOwnerWrite = 0x0800,
  kOwnerRead = 0x1000,
  kOwnerChangeAttributes = 0x2000,
  kOwnerDelete = 0x4000,
};
}  // namespace entry

// File entry.
namespace fe {
inline constexpr size_t kLogicalBlocksRecorded = 64;         // 8 bytes
inline constexpr size_t kAccessTime = 72;                    // timestamp
inline constexpr size_t kModificationTime = 84;              // timestamp
inline constexpr size_t kAttributeTime = 96;                 // timestamp
inline constexpr size_t kCheckpoint = 108;                   // 4 bytes
inline constexpr size_t kExtendedAttributeIcb = 112;         // long_ad
inline constexpr size_t kImplementationIdentifier = 128;     // regid
inline constexpr size_t kUniqueId = 160;                     // 8 bytes
inline constexpr size_t kExtendedAttributesLength = 168;     // 4 bytes
inline constexpr size_t kAllocationDescriptorsLength = 172;  // 4 bytes
inline constexpr size_t kExtendedAttributes = 176;           // then the allocation descriptors
}  // namespace fe

// Extended file entry.
namespace efe {
inline constexpr size_t kObjectSize = 64;                    // 8 bytes
inline constexpr size_t kLogicalBlocksRecorded = 72;         // 8 bytes
inline constexpr size_t kAccessTime = 80;                    // timestamp
inline constexpr size_t kModificationTime = 92;              // timestamp
inline constexpr size_t kCreationTime = 104;                 // timestamp
inline constexpr size_t kAttributeTime = 116;                // timestamp
inline constexpr size_t kCheckpoint = 128;                   // 4 bytes
inline constexpr size_t kExtendedAttributeIcb = 136;         // long_ad
inline constexpr size_t kStreamDirectoryIcb = 152;           // long_ad
inline constexpr size_t kImplementationIdentifier = 168;     // regid
inline constexpr size_t kUniqueId = 200;                     // 8 bytes
inline constexpr size_t kExtendedAttributesLength = 208;     // 4 bytes
inline constexpr size_t kAllocationDescriptorsLength = 212;  // 4 bytes
inline constexpr size_t kExtendedAttributes = 216;           // then the allocation descriptors
}  // namespace efe

// Extended attribute header descriptor and the implementation use attribute that follows it.
namespace ea {
inline constexpr size_t kImplementationAttributesLocation = 16;  // 4 bytes
inline constexpr size_t kApplicationAttributesLocation = 20;     // 4 bytes
inline constexpr size_t kHeaderSize = 24;
inline constexpr size_t kAttributeType = 0;              // 4 bytes
inline constexpr size_t kAttributeSubtype = 4;           // 1 byte, 1
inline constexpr size_t kAttributeLength = 8;            // 4 bytes
inline constexpr size_t kImplementationUseLength = 12;   // 4 bytes
inline constexpr size_t kImplementationIdentifier = 16;  // regid
inline constexpr size_t kImplementationUse = 48;
inline constexpr uint32_t kTypeImplementationUse = 2048;
inline constexpr uint8_t kSubtype = 1;
// An attribute location past the extended attributes: there are none of that kind.
inline constexpr uint32_t kNoAttributes = 0xFFFFFFFF;
// UDF's implementation use attributes: a 16-bit checksum of the attribute's bytes before the
// implementation use starts it; "*UDF FreeEASpace" adds two bytes of free space, "*UDF DVD CGMS
// Info" the CGMS byte, the structure type and four bytes of protection system information.
inline constexpr size_t kHeaderChecksum = kImplementationUse;  // 2 bytes
inline constexpr uint32_t kFreeEaSpaceUseLength = 4;
inline constexpr uint32_t kCgmsInfoUseLength = 8;
}  // namespace ea

// The sum of a tag's bytes other than its checksum byte; equal to the checksum in a sound tag.
inline uint8_t TagChecksum(const uint8_t* descriptor) {
  uint8_t sum = 0;
  for (size_t i = 0; i < tag::kSize; ++i) {
    if (i != tag::kChecksum) sum = static_cast<uint8_t>(sum + descriptor[i]);
  }
  return sum;
}

// The descriptor CRC over the size bytes after the tag.
inline uint16_t DescriptorCrc(const uint8_t* data, size_t size) {
  return Crc16(data, size);
}

}  // namespace quillden::fs::ecma167

#endif  // QUILLDEN_FILESYSTEMS_LAYOUT_ECMA167_LAYOUT_H_
