#include "filesystems/iso9660_records.h"

#include <cstring>

#include "util/byte_order.h"

namespace quillden::fs {
namespace {

// Offsets of ECMA-119 8.4 (the supplementary descriptor of 8.5 shares them).
constexpr size_t kVolumeFlags = 7;
constexpr size_t kSystemIdentifier = 8;
constexpr size_t kVolumeIdentifier = 40;
constexpr size_t kVolumeSpaceSize = 80;
constexpr size_t kEscapeSequences = 88;
constexpr size_t kVolumeSetSize = 120;
constexpr size_t kVolumeSequenceNumber = 124;
constexpr size_t kLogicalBlockSize = 128;
constexpr size_t kPathTableSize = 132;
constexpr size_t kLPathTable = 140;
constexpr size_t kOptionalLPathTable = 144;
constexpr size_t kMPathTable = 148;
constexpr size_t kOptionalMPathTable = 152;
constexpr size_t kRootDirectoryRecord = 156;
constexpr size_t kVolumeSetIdentifier = 190;
constexpr size_t kPublisherIdentifier = 318;
constexpr size_t kDataPreparerIdentifier = 446;
constexpr size_t kApplicationIdentifierOffset = 574;
constexpr size_t kCopyrightFileIdentifier = 702;
constexpr size_t kAbstractFileIdentifier = 739;
constexpr size_t kBibliographicFileIdentifier = 776;
constexpr size_t kCreationDate = 813;
constexpr size_t kModificationDate = 830;
constexpr size_t kExpirationDate = 847;
constexpr size_t kEffectiveDate = 864;
constexpr size_t kFileStructureVersion = 881;

void PutHeader(uint8_t* block, uint8_t type) {
  std::memset(block, 0, kBlockSize);
  block[0] = type;
  std::memcpy(block + 1, "CD001", 5);
  block[6] = 1;
}

void PutSpaces(uint8_t* p, size_t n) { std::memset(p, ' ', n); }

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
  PutBoth32(block + kVolumeSpaceSize, fields.volume_space_size);
  PutBoth16(block + kVolumeSetSize, 1);
  PutBoth16(block + kVolumeSequenceNumber, 1);
  PutBoth16(block + kLogicalBlockSize, kBlockSize);
  PutBoth32(block + kPathTableSize, fields.path_table_size);
  PutLe32(block + kLPathTable, fields.l_path_table_block);
  PutLe32(block + kOptionalLPathTable, 0);
  PutBe32(block + kMPathTable, fields.m_path_table_block);
  PutBe32(block + kOptionalMPathTable, 0);
  DirectoryRecord root;
  root.location = fields.root_block;
  root.data_length = fields.root_length;
  root.date = fields.volume_time;
  root.flags = kDirectoryFlag;
  root.identifier = std::string_view("\0", 1);
  PutDirectoryRecord(block + kRootDirectoryRecord, root);
  PutVolumeDate(block + kCreationDate, fields.volume_time);
  PutVolumeDate(block + kModificationDate, fields.volume_time);
  PutUnspecifiedVolumeDate(block + kExpirationDate);
  PutUnspecifiedVolumeDate(block + kEffectiveDate);
  block[kFileStructureVersion] = 1;
}

}  // namespace

uint32_t PutDirectoryRecord(uint8_t* p, const DirectoryRecord& record) {
  uint32_t length = DirectoryRecordLength(record.identifier.size());
  std::memset(p, 0, length);
  p[0] = static_cast<uint8_t>(length);
  p[1] = 0;  // extended attribute record length
  PutBoth32(p + 2, record.location);
  PutBoth32(p + 10, record.data_length);
  PutRecordingDate(p + 18, record.date);
  p[25] = record.flags;
  p[26] = 0;  // file unit size
  p[27] = 0;  // interleave gap
  PutBoth16(p + 28, 1);
  p[32] = static_cast<uint8_t>(record.identifier.size());
  std::memcpy(p + 33, record.identifier.data(), record.identifier.size());
  return length;
}

uint32_t PutPathTableRecord(uint8_t* p, bool big_endian, uint32_t location, uint16_t parent_number,
                            std::string_view name) {
  size_t name_length = name.size() % 256;
  uint32_t length = PathTableRecordLength(name.size());
  std::memset(p, 0, length);
  p[0] = static_cast<uint8_t>(name_length);
  p[1] = 0;
  if (big_endian) {
    PutBe32(p + 2, location);
    PutBe16(p + 6, parent_number);
  } else {
    PutLe32(p + 2, location);
    PutLe16(p + 6, parent_number);
  }
  std::memcpy(p + 8, name.data(), name_length);
  return length;
}

void PutPrimaryDescriptor(uint8_t* block, const VolumeFields& fields) {
  PutHeader(block, 1);
  PutSpaces(block + kSystemIdentifier, 32);
  PutPaddedAnsi(block + kVolumeIdentifier, 32, fields.label_ansi);
  PutCommonFields(block, fields);
  PutSpaces(block + kVolumeSetIdentifier, 128);
  PutSpaces(block + kPublisherIdentifier, 128);
  PutSpaces(block + kDataPreparerIdentifier, 128);
  PutPaddedAnsi(block + kApplicationIdentifierOffset, 128, kApplicationIdentifier);
  PutSpaces(block + kCopyrightFileIdentifier, 37);
  PutSpaces(block + kAbstractFileIdentifier, 37);
  PutSpaces(block + kBibliographicFileIdentifier, 37);
}

void PutJolietDescriptor(uint8_t* block, const VolumeFields& fields) {
  PutHeader(block, 2);
  block[kVolumeFlags] = 0;
  std::memcpy(block + kEscapeSequences, "%/E", 3);
  PutWideSpaces(block + kSystemIdentifier, 32);
  std::u16string_view label = fields.label_joliet;
  PutPaddedWide(block + kVolumeIdentifier, 32, label.substr(0, 16));
  PutCommonFields(block, fields);
  PutWideSpaces(block + kVolumeSetIdentifier, 128);
  PutWideSpaces(block + kPublisherIdentifier, 128);
  PutWideSpaces(block + kDataPreparerIdentifier, 128);
  std::u16string application;
  for (const char* c = kApplicationIdentifier; *c; ++c) application.push_back(static_cast<char16_t>(*c));
  PutPaddedWide(block + kApplicationIdentifierOffset, 128, application);
  PutWideSpaces(block + kCopyrightFileIdentifier, 37);
  PutWideSpaces(block + kAbstractFileIdentifier, 37);
  PutWideSpaces(block + kBibliographicFileIdentifier, 37);
}

void PutTerminator(uint8_t* block) { PutHeader(block, 255); }

std::string ToUtf16Be(std::u16string_view text) {
  std::string out(text.size() * 2, '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    out[2 * i] = static_cast<char>(text[i] >> 8);
    out[2 * i + 1] = static_cast<char>(text[i] & 0xFF);
  }
  return out;
}

}  // namespace quillden::fs
