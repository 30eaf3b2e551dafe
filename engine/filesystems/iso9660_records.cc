#include "filesystems/iso9660_records.h"

#include <cstring>

#include "util/byte_order.h"

namespace quillden::fs {
namespace {

void PutHeader(uint8_t* block, uint8_t type) {
  std::memset(block, 0, kBlockSize);
  block[ecma119::kDescriptorType] = type;
  std::memcpy(block + ecma119::kStandardIdentifier, ecma119::kStandardId,
              ecma119::kStandardIdentifierSize);
  block[ecma119::kDescriptorVersion] = ecma119::kDescriptorVersionValue;
}

void PutSpaces(uint8_t* p, size_t n) {
  std::memset(p, ' ', n);
}

// Fills n bytes with U+0020 in big-endian; an odd count leaves a zero byte at the end.
void PutWideSpaces(uint8_t* p, size_t n) {
  for (size_t i = 0; i + 1 < n; i += 2) {
    p[i] = 0;
    p[i + 1] = ' ';
  }
  if (n & 1) p[n - 1] = 0;
}

void PutPaddedAnsi(uint8_t* p, size_t n, std::string_view text) {
  PutSpaces(p, n);
  std::memcpy(p, text.data(), std::min(n, text.size()));
}

void PutPaddedWide(uint8_t* p, size_t n, std::u16string_view text) {
  PutWideSpaces(p, n);
  for (size_t i = 0; i < text.size() && 2 * i + 1 < n; ++i) PutBe16(p + 2 * i, text[i]);
}

// Fields common to both descriptors: sizes, tables, root record, dates.
void PutCommonFields(uint8_t* block, const VolumeFields& fields) {
  PutBoth32(block + ecma119::kVolumeSpaceSize, fields.volume_space_size);
  PutBoth16(block + ecma119::kVolumeSetSize, ecma119::kSingleVolume);
  PutBoth16(block + ecma119::kVolumeSequenceNumber, ecma119::kSingleVolume);
  PutBoth16(block + ecma119::kLogicalBlockSize, kBlockSize);
  PutBoth32(block + ecma119::kPathTableSize, fields.path_table_size);
  PutLe32(block + ecma119::kLPathTableLocation, fields.l_path_table_block);
  PutLe32(block + ecma119::kOptionalLPathTableLocation, 0);
  PutBe32(block + ecma119::kMPathTableLocation, fields.m_path_table_block);
  PutBe32(block + ecma119::kOptionalMPathTableLocation, 0);
  DirectoryRecord root;
  root.location = fields.root_block;
  root.data_length = fields.root_length;
  root.date = fields.volume_time;
  root.flags = ecma119::kFlagDirectory;
  static constexpr char kSelf[] = {static_cast<char>(ecma119::kSelfIdentifier)};
  root.identifier = std::string_view(kSelf, 1);
  PutDirectoryRecord(block + ecma119::kRootDirectoryRecord, root);
  PutVolumeDate(block + ecma119::kCreationDate, fields.volume_time);
  PutVolumeDate(block + ecma119::kModificationDate, fields.volume_time);
  PutUnspecifiedVolumeDate(block + ecma119::kExpirationDate);
  PutUnspecifiedVolumeDate(block + ecma119::kEffectiveDate);
  block[ecma119::kFileStructureVersion] = ecma119::kFileStructureVersionValue;
}

}  // namespace

uint32_t PutDirectoryRecord(uint8_t* p, const DirectoryRecord& record) {
  uint32_t length = DirectoryRecordLength(record.identifier.size());
  std::memset(p, 0, length);
  p[ecma119::kRecordLength] = static_cast<uint8_t>(length);
  p[ecma119::kRecordAttributeLength] = 0;
  PutBoth32(p + ecma119::kRecordExtentLocation, record.location);
  PutBoth32(p + ecma119::kRecordDataLength, record.data_length);
  PutRecordingDate(p + ecma119::kRecordDate, record.date);
  p[ecma119::kRecordFlags] = record.flags;
  p[ecma119::kRecordFileUnitSize] = 0;
  p[ecma119::kRecordInterleaveGap] = 0;
  PutBoth16(p + ecma119::kRecordVolumeSequence, ecma119::kSingleVolume);
  p[ecma119::kRecordIdentifierLength] = static_cast<uint8_t>(record.identifier.size());
  std::memcpy(p + ecma119::kRecordIdentifier, record.identifier.data(), record.identifier.size());
  return length;
}

uint32_t PutPathTableRecord(uint8_t* p, bool big_endian, uint32_t location, uint16_t parent_number,
                            std::string_view name) {
  size_t name_length = name.size() % 256;
  uint32_t length = PathTableRecordLength(name.size());
  std::memset(p, 0, length);
  p[ecma119::kPathIdentifierLength] = static_cast<uint8_t>(name_length);
  p[ecma119::kPathAttributeLength] = 0;
  if (big_endian) {
    PutBe32(p + ecma119::kPathExtentLocation, location);
    PutBe16(p + ecma119::kPathParentNumber, parent_number);
  } else {
    PutLe32(p + ecma119::kPathExtentLocation, location);
    PutLe16(p + ecma119::kPathParentNumber, parent_number);
  }
  std::memcpy(p + ecma119::kPathIdentifier, name.data(), name_length);
  return length;
}

void PutPrimaryDescriptor(uint8_t* block, const VolumeFields& fields) {
  PutHeader(block, ecma119::kTypePrimary);
  PutSpaces(block + ecma119::kSystemIdentifier, ecma119::kSystemIdentifierSize);
  PutPaddedAnsi(block + ecma119::kVolumeIdentifier, ecma119::kVolumeIdentifierSize,
                fields.label_ansi);
  PutCommonFields(block, fields);
  PutSpaces(block + ecma119::kVolumeSetIdentifier, ecma119::kLongIdentifierSize);
  PutSpaces(block + ecma119::kPublisherIdentifier, ecma119::kLongIdentifierSize);
  PutSpaces(block + ecma119::kDataPreparerIdentifier, ecma119::kLongIdentifierSize);
  PutPaddedAnsi(block + ecma119::kApplicationIdentifier, ecma119::kLongIdentifierSize,
                kApplicationIdentifier);
  PutSpaces(block + ecma119::kCopyrightFileIdentifier, ecma119::kFileIdentifierFieldSize);
  PutSpaces(block + ecma119::kAbstractFileIdentifier, ecma119::kFileIdentifierFieldSize);
  PutSpaces(block + ecma119::kBibliographicFileIdentifier, ecma119::kFileIdentifierFieldSize);
}

void PutJolietDescriptor(uint8_t* block, const VolumeFields& fields) {
  PutHeader(block, ecma119::kTypeSupplementary);
  block[ecma119::kVolumeFlags] = 0;
  block[ecma119::kEscapeSequences] = ecma119::kJolietEscape0;  // "%/E": UCS-2 level 3
  block[ecma119::kEscapeSequences + 1] = ecma119::kJolietEscape1;
  block[ecma119::kEscapeSequences + 2] = ecma119::kJolietLevel3;
  PutWideSpaces(block + ecma119::kSystemIdentifier, ecma119::kSystemIdentifierSize);
  std::u16string_view label = fields.label_joliet;
  PutPaddedWide(block + ecma119::kVolumeIdentifier, ecma119::kVolumeIdentifierSize,
                label.substr(0, ecma119::kVolumeIdentifierSize / 2));
  PutCommonFields(block, fields);
  PutWideSpaces(block + ecma119::kVolumeSetIdentifier, ecma119::kLongIdentifierSize);
  PutWideSpaces(block + ecma119::kPublisherIdentifier, ecma119::kLongIdentifierSize);
  PutWideSpaces(block + ecma119::kDataPreparerIdentifier, ecma119::kLongIdentifierSize);
  std::u16string application;
  for (const char* c = kApplicationIdentifier; *c; ++c)
    application.push_back(static_cast<char16_t>(*c));
  PutPaddedWide(block + ecma119::kApplicationIdentifier, ecma119::kLongIdentifierSize, application);
  PutWideSpaces(block + ecma119::kCopyrightFileIdentifier, ecma119::kFileIdentifierFieldSize);
  PutWideSpaces(block + ecma119::kAbstractFileIdentifier, ecma119::kFileIdentifierFieldSize);
  PutWideSpaces(block + ecma119::kBibliographicFileIdentifier, ecma119::kFileIdentifierFieldSize);
}

void PutTerminator(uint8_t* block) {
  PutHeader(block, ecma119::kTypeTerminator);
}

std::string ToUtf16Be(std::u16string_view text) {
  std::string out(text.size() * 2, '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    out[2 * i] = static_cast<char>(text[i] >> 8);
    out[2 * i + 1] = static_cast<char>(text[i] & 0xFF);
  }
  return out;
}

}  // namespace quillden::fs
