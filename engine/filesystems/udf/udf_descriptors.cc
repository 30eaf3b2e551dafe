#include "filesystems/udf/udf_descriptors.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "util/byte_order.h"

namespace quillden::fs::udf {
namespace {

constexpr uint32_t kSequenceBytes = 16 * 2048;
constexpr const char* kVolumeSetSuffix = "VARNOLD";

struct CrcTable {
  uint16_t value[256];
  CrcTable() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t crc = i << 8;
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
      value[i] = static_cast<uint16_t>(crc);
    }
  }
};

void PutAscii(uint8_t* p, std::string_view text) { std::memcpy(p, text.data(), text.size()); }

}  // namespace

uint16_t Crc16(const uint8_t* data, size_t size) {
  static const CrcTable table;
  uint16_t crc = 0;
  for (size_t i = 0; i < size; ++i) {
    crc = static_cast<uint16_t>((crc << 8) ^ table.value[((crc >> 8) ^ data[i]) & 0xFF]);
  }
  return crc;
}

void PutTag(uint8_t* p, uint16_t id, uint16_t version, uint16_t crc_length, uint32_t location) {
  PutLe16(p + 0, id);
  PutLe16(p + 2, version);
  p[5] = 0;
  PutLe16(p + 6, 1);  // serial number
  PutLe16(p + 8, Crc16(p + 16, crc_length));
  PutLe16(p + 10, crc_length);
  PutLe32(p + 12, location);
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i) {
    if (i != 4) sum = static_cast<uint8_t>(sum + p[i]);
  }
  p[4] = sum;
}

uint8_t CompressionFor(std::u16string_view text) {
  for (char16_t unit : text) {
    if (unit >= 128) return 16;
  }
  return 8;
}

std::string CompressedChars(std::u16string_view text, size_t max_bytes) {
  std::string out;
  if (text.empty() || max_bytes < 2) return out;
  uint8_t compression = CompressionFor(text);
  out.push_back(static_cast<char>(compression));
  size_t width = compression == 8 ? 1 : 2;
  for (size_t i = 0; i < text.size(); ++i) {
    // A surrogate pair goes in whole or not at all.
    bool pair = i + 1 < text.size() && text[i] >= 0xD800 && text[i] < 0xDC00 && text[i + 1] >= 0xDC00 &&
                text[i + 1] < 0xE000;
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
  p[0] = 0;
  PutAscii(p + 1, "OSTA Compressed Unicode");
}

void PutEntityId(uint8_t* p, std::string_view identifier, uint16_t revision_suffix, uint8_t byte26) {
  p[0] = 0;
  PutAscii(p + 1, identifier.substr(0, 23));
  PutLe16(p + 24, revision_suffix);
  p[26] = byte26;
}

void PutImplementationId(uint8_t* p) {
  p[0] = 0;
  PutAscii(p + 1, "*QUILLDEN02000009");
  p[24] = 1;  // operating system class
}

void PutTimestamp(uint8_t* p, const Timestamp& t) {
  int minutes = t.time.offset * 15;
  PutLe16(p + 0, static_cast<uint16_t>(0x1000 | (static_cast<uint16_t>(minutes) & 0x0FFF)));
  PutLe16(p + 2, static_cast<uint16_t>(t.time.year));
  p[4] = static_cast<uint8_t>(t.time.month);
  p[5] = static_cast<uint8_t>(t.time.day);
  p[6] = static_cast<uint8_t>(t.time.hour);
  p[7] = static_cast<uint8_t>(t.time.minute);
  p[8] = static_cast<uint8_t>(t.time.second);
  int ms = std::clamp(t.milliseconds, 0, 999);
  p[9] = static_cast<uint8_t>(ms / 10);
  p[10] = static_cast<uint8_t>((ms % 10) * 10);
  p[11] = 0;
}

void PutExtent(uint8_t* p, uint32_t length, uint32_t location) {
  PutLe32(p, length);
  PutLe32(p + 4, location);
}

void PutShortAd(uint8_t* p, uint32_t length, uint32_t position) {
  PutLe32(p, length);
  PutLe32(p + 4, position);
}

void PutLongAd(uint8_t* p, uint32_t length, uint32_t block, uint16_t partition, uint32_t unique_id) {
  PutLe32(p, length);
  PutLe32(p + 4, block);
  PutLe16(p + 8, partition);
  PutLe16(p + 10, 0);
  PutLe32(p + 12, unique_id);
}

void PutRecognitionBlock(uint8_t* p, std::string_view identifier) {
  p[0] = 0;
  PutAscii(p + 1, identifier.substr(0, 5));
  p[6] = 1;
}

void PutVolumeDescriptorSequence(uint8_t* p, uint32_t first_block, const VolumeInfo& info) {
  const uint16_t version = DescriptorVersion(info.revision);
  const bool metadata = info.revision >= kRevision250;
  constexpr size_t kBlock = 2048;

  // ECMA-167 3/10.1 primary volume descriptor.
  uint8_t* d = p;
  PutLe32(d + 16, 0);  // sequence number
  PutLe32(d + 20, 0);  // primary volume descriptor number
  PutDString(d + 24, 32, info.label);
  PutLe16(d + 56, 1);
  PutLe16(d + 58, 1);
  PutLe16(d + 60, 2);
  PutLe16(d + 62, 2);
  PutLe32(d + 64, 1);
  PutLe32(d + 68, 1);
  char set_id[64];
  std::snprintf(set_id, sizeof set_id, "%08lX%08lX%s",
                static_cast<unsigned long>(info.volume_file_time & 0xFFFFFFFFu),
                static_cast<unsigned long>(info.volume_file_time >> 32), kVolumeSetSuffix);
  std::u16string set_text(set_id, set_id + std::strlen(set_id));
  PutDString(d + 72, 128, set_text);
  PutOstaCharset(d + 200);
  PutOstaCharset(d + 264);
  PutImplementationId(d + 344);  // application identifier
  PutTimestamp(d + 376, info.time);
  PutImplementationId(d + 388);
  PutTag(d, kTagPrimaryVolume, version, 496, first_block);

  // ECMA-167 3/10.4 implementation use volume descriptor with the UDF logical volume information.
  d = p + kBlock;
  PutLe32(d + 16, 1);
  PutEntityId(d + 20, "*UDF LV Info", info.revision, 1);
  PutOstaCharset(d + 52);
  PutDString(d + 116, 128, info.label);
  PutImplementationId(d + 352);
  PutTag(d, kTagImplementationUse, version, 496, first_block + 1);

  // ECMA-167 3/10.5 partition descriptor.
  d = p + 2 * kBlock;
  PutLe32(d + 16, 2);
  PutLe16(d + 20, 1);  // allocated
  PutLe16(d + 22, 0);  // partition number
  PutEntityId(d + 24, metadata ? "+NSR03" : "+NSR02", info.revision, 1);
  PutLe32(d + 184, 1);  // read only
  PutLe32(d + 188, info.partition_start);
  PutLe32(d + 192, info.partition_length);
  PutImplementationId(d + 196);
  PutTag(d, kTagPartition, version, 496, first_block + 2);

  // ECMA-167 3/10.6 logical volume descriptor.
  d = p + 3 * kBlock;
  PutLe32(d + 16, 3);
  PutOstaCharset(d + 20);
  PutDString(d + 84, 128, info.label);
  PutLe32(d + 212, 2048);
  PutEntityId(d + 216, "*OSTA UDF Compliant", info.revision, 0);
  PutLongAd(d + 248, 4096, info.fsd_block, metadata ? 1 : 0, 0);
  PutLe32(d + 264, metadata ? 70 : 6);
  PutLe32(d + 268, metadata ? 2 : 1);
  PutImplementationId(d + 272);
  PutExtent(d + 432, 4096, info.integrity_block);
  uint8_t* map = d + 440;
  map[0] = 1;
  map[1] = 6;
  PutLe16(map + 2, 1);
  PutLe16(map + 4, 0);
  if (metadata) {
    // UDF 2.50 2.2.10 metadata partition map.
    map += 6;
    map[0] = 2;
    map[1] = 64;
    PutEntityId(map + 4, "*UDF Metadata Partition", kRevision250, 1);
    PutLe16(map + 36, 1);
    PutLe16(map + 38, 0);
    PutLe32(map + 40, info.metadata_file_block);
    PutLe32(map + 44, info.metadata_mirror_block);
    PutLe32(map + 48, 0xFFFFFFFFu);
    PutLe32(map + 52, 32);
    PutLe16(map + 56, 32);
    map[58] = 1;  // the mirror duplicates the metadata
  }
  PutTag(d, kTagLogicalVolume, version, metadata ? 494 : 430, first_block + 3);

  // ECMA-167 3/10.8 unallocated space descriptor: nothing is unallocated.
  d = p + 4 * kBlock;
  PutLe32(d + 16, 4);
  PutTag(d, kTagUnallocatedSpace, version, 8, first_block + 4);

  PutTerminator(p + 5 * kBlock, first_block + 5, info.revision);
}

void PutIntegritySequence(uint8_t* p, uint32_t block, const VolumeInfo& info) {
  const bool metadata = info.revision >= kRevision250;
  const uint32_t partitions = metadata ? 2 : 1;
  // ECMA-167 3/10.10 logical volume integrity descriptor.
  PutTimestamp(p + 16, info.time);
  PutLe32(p + 28, 1);  // closed
  PutLe64(p + 40, info.next_unique_id);
  PutLe32(p + 72, partitions);
  PutLe32(p + 76, 46);
  uint8_t* sizes = p + 80 + 4 * partitions;  // after the free space table (all zero)
  PutLe32(sizes, info.partition_length);
  if (metadata) PutLe32(sizes + 4, info.metadata_blocks);
  // UDF 2.2.6.4 implementation use.
  uint8_t* use = sizes + 4 * partitions;
  PutImplementationId(use);
  PutLe32(use + 32, info.files);
  PutLe32(use + 36, info.directories);
  PutLe16(use + 40, info.revision);
  PutLe16(use + 42, info.revision);
  PutLe16(use + 44, info.revision);
  PutTag(p, kTagIntegrity, DescriptorVersion(info.revision), metadata ? 126 : 118, block);
  PutTerminator(p + 2048, block + 1, info.revision);
}

void PutAnchor(uint8_t* p, uint32_t block, uint32_t main_block, uint32_t reserve_block,
               uint16_t revision) {
  // ECMA-167 3/10.2.
  PutExtent(p + 16, kSequenceBytes, main_block);
  PutExtent(p + 24, kSequenceBytes, reserve_block);
  PutTag(p, kTagAnchor, DescriptorVersion(revision), 496, block);
}

void PutFileSetSequence(uint8_t* p, uint32_t block, const VolumeInfo& info) {
  const bool metadata = info.revision >= kRevision250;
  // ECMA-167 4/14.1 file set descriptor.
  PutTimestamp(p + 16, info.time);
  PutLe16(p + 28, 3);
  PutLe16(p + 30, 3);
  PutLe32(p + 32, 1);
  PutLe32(p + 36, 1);
  PutOstaCharset(p + 48);
  PutDString(p + 112, 128, info.label);
  PutOstaCharset(p + 240);
  PutDString(p + 304, 32, info.label);
  PutLongAd(p + 400, 2048, info.root_block, metadata ? 1 : 0, 0);
  PutEntityId(p + 416, "*OSTA UDF Compliant", info.revision, 0);
  PutTag(p, kTagFileSet, DescriptorVersion(info.revision), 496, block);
  PutTerminator(p + 2048, block + 1, info.revision);
}

void PutTerminator(uint8_t* p, uint32_t block, uint16_t revision) {
  PutTag(p, kTagTerminating, DescriptorVersion(revision), 496, block);
}

}  // namespace quillden::fs::udf
