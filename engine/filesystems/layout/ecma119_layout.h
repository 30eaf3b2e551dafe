// The byte layout of ISO 9660 (ECMA-119) and Joliet structures: volume descriptors, directory
// records and path table records. Every field is named once here with its offset and size, for
// the writer and the reader of ISO 9660 volumes alike; the layout tests hold the mastered bytes
// to these names.
//
// A field of n bytes "both-endian" holds its value twice: little-endian in the first n/2 bytes,
// big-endian in the last n/2.
#ifndef QUILLDEN_FILESYSTEMS_LAYOUT_ECMA119_LAYOUT_H_
#define QUILLDEN_FILESYSTEMS_LAYOUT_ECMA119_LAYOUT_H_

#include <cstddef>
#include <cstdint>

#include "util/byte_order.h"

namespace quillden::fs::ecma119 {

inline constexpr size_t kSectorSize = 2048;
// The volume descriptor set starts 16 blocks into a session (the system area comes first).
inline constexpr uint32_t kFirstDescriptorBlock = 16;

// Volume descriptor types.
enum DescriptorType : uint8_t {
  kTypeBootRecord = 0,
  kTypePrimary = 1,
  kTypeSupplementary = 2,
  kTypePartition = 3,
  kTypeTerminator = 255,
};

// Header shared by every volume descriptor.
inline constexpr size_t kDescriptorType = 0;      // 1 byte, DescriptorType
inline constexpr size_t kStandardIdentifier = 1;  // 5 bytes
inline constexpr size_t kStandardIdentifierSize = 5;
inline constexpr size_t kDescriptorVersion = 6;  // 1 byte, 1
inline constexpr char kStandardId[] = "CD001";
inline constexpr uint8_t kDescriptorVersionValue = 1;

// Boot record descriptor.
inline constexpr size_t kBootSystemIdentifier = 7;  // 32 bytes
inline constexpr size_t kBootSystemIdentifierSize = 32;
inline constexpr size_t kBootIdentifier = 39;  // 32 bytes
inline constexpr size_t kBootSystemUse = 71;   // 1977 bytes

// Primary and supplementary descriptors (they share the layout; the supplementary one adds the
// volume flags and the escape sequences that make it Joliet).
inline constexpr size_t kVolumeFlags = 7;       // 1 byte, supplementary only
inline constexpr size_t kSystemIdentifier = 8;  // 32 bytes
inline constexpr size_t kSystemIdentifierSize = 32;
inline constexpr size_t kVolumeIdentifier = 40;  // 32 bytes
inline constexpr size_t kVolumeIdentifierSize = 32;
inline constexpr size_t kVolumeSpaceSize = 80;  // 8 bytes, both-endian 32
inline constexpr size_t kEscapeSequences = 88;  // 32 bytes, supplementary only
inline constexpr size_t kEscapeSequencesSize = 32;
inline constexpr size_t kVolumeSetSize = 120;               // 4 bytes, both-endian 16
inline constexpr size_t kVolumeSequenceNumber = 124;        // 4 bytes, both-endian 16
inline constexpr size_t kLogicalBlockSize = 128;            // 4 bytes, both-endian 16
inline constexpr size_t kPathTableSize = 132;               // 8 bytes, both-endian 32
inline constexpr size_t kLPathTableLocation = 140;          // 4 bytes, little-endian
inline constexpr size_t kOptionalLPathTableLocation = 144;  // 4 bytes, little-endian
inline constexpr size_t kMPathTableLocation = 148;          // 4 bytes, big-endian
inline constexpr size_t kOptionalMPathTableLocation = 152;  // 4 bytes, big-endian
inline constexpr size_t kRootDirectoryRecord = 156;         // 34 bytes
inline constexpr size_t kRootDirectoryRecordSize = 34;
inline constexpr size_t kVolumeSetIdentifier = 190;     // 128 bytes
inline constexpr size_t kPublisherIdentifier = 318;     // 128 bytes
inline constexpr size_t kDataPreparerIdentifier = 446;  // 128 bytes
inline constexpr size_t kApplicationIdentifier = 574;   // 128 bytes
inline constexpr size_t kLongIdentifierSize = 128;
inline constexpr size_t kCopyrightFileIdentifier = 702;      // 37 bytes
inline constexpr size_t kAbstractFileIdentifier = 739;       // 37 bytes
inline constexpr size_t kBibliographicFileIdentifier = 776;  // 37 bytes
inline constexpr size_t kFileIdentifierFieldSize = 37;
inline constexpr size_t kCreationDate = 813;  // 17 bytes, VolumeDate
inline constexpr size_t kModificationDate = 830;
inline constexpr size_t kExpirationDate = 847;
inline constexpr size_t kEffectiveDate = 864;
inline constexpr size_t kVolumeDateSize = 17;
// A volume date: 16 ASCII digits (year, month, day, hour, minute, second, hundredths; all "0"
// when unspecified), then the offset from Greenwich in 15-minute steps (signed).
inline constexpr size_t kVolumeDateDigits = 16;
inline constexpr size_t kVolumeDateZone = 16;
inline constexpr size_t kFileStructureVersion = 881;  // 1 byte, 1
inline constexpr uint8_t kFileStructureVersionValue = 1;
inline constexpr size_t kApplicationUse = 883;  // 512 bytes
inline constexpr size_t kApplicationUseSize = 512;

// Joliet: escape sequences of UCS-2 levels 1, 2 and 3 ("%/@", "%/C", "%/E").
inline constexpr uint8_t kJolietEscape0 = '%';
inline constexpr uint8_t kJolietEscape1 = '/';
inline constexpr uint8_t kJolietLevel1 = '@';
inline constexpr uint8_t kJolietLevel2 = 'C';
inline constexpr uint8_t kJolietLevel3 = 'E';
inline constexpr size_t kJolietEscapeSize = 3;

// Directory record.
inline constexpr size_t kRecordLength = 0;           // 1 byte
inline constexpr size_t kRecordAttributeLength = 1;  // 1 byte, blocks of extended attributes
inline constexpr size_t kRecordExtentLocation = 2;   // 8 bytes, both-endian 32
inline constexpr size_t kRecordDataLength = 10;      // 8 bytes, both-endian 32
inline constexpr size_t kRecordDate = 18;            // 7 bytes, RecordingDate
inline constexpr size_t kRecordDateSize = 7;
inline constexpr size_t kRecordFlags = 25;             // 1 byte, FileFlag bits
inline constexpr size_t kRecordFileUnitSize = 26;      // 1 byte
inline constexpr size_t kRecordInterleaveGap = 27;     // 1 byte
inline constexpr size_t kRecordVolumeSequence = 28;    // 4 bytes, both-endian 16
inline constexpr size_t kRecordIdentifierLength = 32;  // 1 byte
inline constexpr size_t kRecordIdentifier = 33;        // identifier, then a pad byte to even
// The shortest record: a one-byte identifier ("." and ".." are the bytes 0 and 1).
inline constexpr size_t kMinRecordLength = 34;
inline constexpr uint8_t kSelfIdentifier = 0;
inline constexpr uint8_t kParentIdentifier = 1;

enum FileFlag : uint8_t {
  kFlagHidden = 0x01,
  kFlagDirectory = 0x02,
  kFlagAssociated = 0x04,
  kFlagRecordFormat = 0x08,
  kFlagProtection = 0x10,
  kFlagMultiExtent = 0x80,  // more records of the same file follow
};

// The volume set of a single disc: one volume, this one.
inline constexpr uint16_t kSingleVolume = 1;

// Recording date of a directory record: years since 1900, month, day, hour, minute, second, and
// the offset from Greenwich in 15-minute steps (signed).
inline constexpr size_t kDateYear = 0;
inline constexpr size_t kDateMonth = 1;
inline constexpr size_t kDateDay = 2;
inline constexpr size_t kDateHour = 3;
inline constexpr size_t kDateMinute = 4;
inline constexpr size_t kDateSecond = 5;
inline constexpr size_t kDateZone = 6;
inline constexpr int kDateYearBase = 1900;

// Path table record (the L table little-endian, the M table big-endian).
inline constexpr size_t kPathIdentifierLength = 0;  // 1 byte
inline constexpr size_t kPathAttributeLength = 1;   // 1 byte
inline constexpr size_t kPathExtentLocation = 2;    // 4 bytes
inline constexpr size_t kPathParentNumber = 6;      // 2 bytes, 1-based record number
inline constexpr size_t kPathIdentifier = 8;        // identifier, then a pad byte to even
inline constexpr size_t kPathRecordHeaderSize = 8;

// Both-endian fields: the little-endian half, and whether both halves agree.
inline uint16_t GetBoth16(const uint8_t* p) {
  return GetLe16(p);
}
inline uint32_t GetBoth32(const uint8_t* p) {
  return GetLe32(p);
}
inline bool BothAgree16(const uint8_t* p) {
  return GetLe16(p) == GetBe16(p + 2);
}
inline bool BothAgree32(const uint8_t* p) {
  return GetLe32(p) == GetBe32(p + 4);
}

}  // namespace quillden::fs::ecma119

#endif  // QUILLDEN_FILESYSTEMS_LAYOUT_ECMA119_LAYOUT_H_
