#include "image/image_format.h"

#include <cstring>
#include <limits>

#include "util/byte_order.h"

namespace quillden::image {
namespace {

// The signature: 17 letters, 6 spaces and 0x1A, then 8 zero bytes.
constexpr char kSignatureText[] = "VARNOLD DISCIMAGE      \x1A";
static_assert(sizeof(kSignatureText) - 1 == 24);

// HEADER block.
constexpr size_t kHeaderTrackCount = 8;
constexpr size_t kHeaderProfile = 10;
constexpr size_t kHeaderFlags = 12;
constexpr size_t kHeaderPayloadOffset = 16;
constexpr size_t kHeaderTotalSize = 24;

// CDTEXT and ROW blocks.
constexpr size_t kDataBlockSize = 8;
constexpr size_t kDataBlockOffset = 12;

// TRACK entry.
constexpr size_t kTrackStart = 8;
constexpr size_t kTrackSectorCount = 12;
constexpr size_t kTrackBytesPerSector = 16;
constexpr size_t kTrackMode = 20;
constexpr size_t kTrackNumber = 24;
constexpr size_t kTrackSession = 26;
constexpr size_t kTrackFlags = 28;
constexpr size_t kTrackReportedSize = 32;
constexpr size_t kTrackReserved = 36;
constexpr size_t kTrackDataOffset = 40;
constexpr size_t kTrackLayerJumpStatus = 48;
constexpr size_t kTrackLayerJump = 49;  // three 32-bit values

bool TagIs(const uint8_t* in, const char* tag) { return std::memcmp(in, tag, kTagSize) == 0; }

// a + b, false on overflow of the 64-bit sum.
bool AddChecked(uint64_t a, uint64_t b, uint64_t* sum) {
  if (a > std::numeric_limits<uint64_t>::max() - b) return false;
  *sum = a + b;
  return true;
}

}  // namespace

uint64_t RowDataSize(uint32_t sector_count) {
  return 4 + (uint64_t{sector_count} + 15) / 16 * kRowUnitBytes;
}

void EncodeSignature(uint8_t* out) {
  std::memset(out, 0, kSignatureSize);
  std::memcpy(out, kSignatureText, 24);
}

bool IsSignature(const uint8_t* in) {
  uint8_t expected[kSignatureSize];
  EncodeSignature(expected);
  return std::memcmp(in, expected, kSignatureSize) == 0;
}

void EncodeHeader(const ImageHeader& header, uint8_t* out) {
  std::memcpy(out, kHeaderTag, kTagSize);
  PutLe16(out + kHeaderTrackCount, header.track_count);
  PutLe16(out + kHeaderProfile, header.profile);
  PutLe32(out + kHeaderFlags, header.flags);
  PutLe64(out + kHeaderPayloadOffset, header.payload_offset);
  PutLe64(out + kHeaderTotalSize, header.total_size);
}

bool DecodeHeader(const uint8_t* in, ImageHeader* header) {
  if (!TagIs(in, kHeaderTag)) return false;
  header->track_count = GetLe16(in + kHeaderTrackCount);
  header->profile = GetLe16(in + kHeaderProfile);
  header->flags = GetLe32(in + kHeaderFlags);
  header->payload_offset = GetLe64(in + kHeaderPayloadOffset);
  header->total_size = GetLe64(in + kHeaderTotalSize);
  return true;
}

void EncodeDataBlock(const char* tag, const DataBlock& block, uint8_t* out) {
  std::memcpy(out, tag, kTagSize);
  PutLe32(out + kDataBlockSize, block.size);
  PutLe32(out + kDataBlockOffset, block.offset);
}

bool DecodeDataBlock(const char* tag, const uint8_t* in, DataBlock* block) {
  if (!TagIs(in, tag)) return false;
  block->size = GetLe32(in + kDataBlockSize);
  block->offset = GetLe32(in + kDataBlockOffset);
  return true;
}

void EncodeTrackEntry(const TrackEntry& entry, uint8_t* out) {
  std::memcpy(out, kTrackTag, kTagSize);
  PutLe32(out + kTrackStart, entry.start);
  PutLe32(out + kTrackSectorCount, entry.sector_count);
  PutLe32(out + kTrackBytesPerSector, entry.bytes_per_sector);
  PutLe32(out + kTrackMode, entry.mode);
  PutLe16(out + kTrackNumber, entry.track_number);
  PutLe16(out + kTrackSession, entry.session_number);
  PutLe32(out + kTrackFlags, entry.flags);
  PutLe32(out + kTrackReportedSize, entry.reported_size);
  PutLe32(out + kTrackReserved, entry.reserved);
  PutLe64(out + kTrackDataOffset, entry.data_offset);
  out[kTrackLayerJumpStatus] = entry.layer_jump_status;
  for (int i = 0; i < 3; ++i) PutLe32(out + kTrackLayerJump + 4 * i, entry.layer_jump[i]);
}

bool DecodeTrackEntry(const uint8_t* in, TrackEntry* entry) {
  entry->start = GetLe32(in + kTrackStart);
  entry->sector_count = GetLe32(in + kTrackSectorCount);
  entry->bytes_per_sector = GetLe32(in + kTrackBytesPerSector);
  entry->mode = GetLe32(in + kTrackMode);
  entry->track_number = GetLe16(in + kTrackNumber);
  entry->session_number = GetLe16(in + kTrackSession);
  entry->flags = GetLe32(in + kTrackFlags);
  entry->reported_size = GetLe32(in + kTrackReportedSize);
  entry->reserved = GetLe32(in + kTrackReserved);
  entry->data_offset = GetLe64(in + kTrackDataOffset);
  entry->layer_jump_status = in[kTrackLayerJumpStatus];
  for (int i = 0; i < 3; ++i) entry->layer_jump[i] = GetLe32(in + kTrackLayerJump + 4 * i);
  return TagIs(in, kTrackTag);
}

bool PlanMultiTrackImage(ImageDescription* d) {
  if (d->tracks.size() > 0xFFFF || d->measured.size() != d->tracks.size()) return false;
  if (!d->row_data.empty()) return false;
  // The 32-bit CDTEXT fields bound the CD-Text data; real CD-Text is a few kilobytes.
  if (d->cd_text.size() > 0xFFFFFFFFu) return false;
  uint64_t offset = kSignatureSize + kHeaderBlockSize;
  if (!d->cd_text.empty()) offset += kCdTextBlockSize;
  offset += 2 * kTrackEntrySize * d->tracks.size();
  d->payload_offset = offset;
  d->row_block = {};
  d->cd_text_block = {};
  if (d->cd_text.empty()) {
    d->flags &= ~kFlagCdText;
  } else {
    d->flags |= kFlagCdText;
    d->cd_text_block = {static_cast<uint32_t>(d->cd_text.size()), static_cast<uint32_t>(offset)};
    offset += d->cd_text.size();
  }
  d->flags &= ~(kFlagRow | kFlagSingleDataTrack);
  for (size_t i = 0; i < d->tracks.size(); ++i) {
    d->tracks[i].data_offset = offset;
    d->measured[i].data_offset = 0;
    if (!AddChecked(offset, d->tracks[i].DataBytes(), &offset)) return false;
  }
  d->total_size = offset;
  return true;
}

bool PlanSingleTrackImage(ImageDescription* d) {
  if (d->tracks.size() != 1 || !d->cd_text.empty()) return false;
  // Past the first list nothing else is stored: the entry describes the data and is what the
  // image reports.
  d->measured.clear();
  uint64_t offset = kSignatureSize + kHeaderBlockSize + kTrackEntrySize;
  if (!d->row_data.empty()) offset += kRowBlockSize;
  d->payload_offset = offset;
  d->cd_text_block = {};
  d->row_block = {};
  d->flags = (d->flags & ~(kFlagCdText | kFlagRow)) | kFlagSingleDataTrack;
  if (!d->row_data.empty()) {
    if (d->row_data.size() > 0xFFFFFFFFu) return false;
    d->flags |= kFlagRow;
    d->row_block = {static_cast<uint32_t>(d->row_data.size()), static_cast<uint32_t>(offset)};
    offset += d->row_data.size();
  }
  d->tracks[0].data_offset = offset;
  return AddChecked(offset, d->tracks[0].DataBytes(), &d->total_size);
}

std::vector<uint8_t> EncodePrologue(const ImageDescription& d) {
  const bool single = (d.flags & kFlagSingleDataTrack) != 0;
  std::vector<uint8_t> out(kSignatureSize + kHeaderBlockSize);
  EncodeSignature(out.data());
  ImageHeader header;
  header.track_count = static_cast<uint16_t>(d.tracks.size());
  header.profile = d.profile;
  header.flags = d.flags;
  header.payload_offset = d.payload_offset;
  header.total_size = d.total_size;
  EncodeHeader(header, out.data() + kSignatureSize);

  auto append_block = [&out](const char* tag, const DataBlock& block) {
    size_t at = out.size();
    out.resize(at + kCdTextBlockSize);
    EncodeDataBlock(tag, block, out.data() + at);
  };
  auto append_list = [&out](const std::vector<TrackEntry>& list) {
    for (const TrackEntry& entry : list) {
      size_t at = out.size();
      out.resize(at + kTrackEntrySize);
      EncodeTrackEntry(entry, out.data() + at);
    }
  };
  if (d.flags & kFlagCdText) append_block(kCdTextTag, d.cd_text_block);
  if (d.flags & kFlagRow) append_block(kRowTag, d.row_block);
  append_list(d.tracks);
  if (!single) append_list(d.measured);
  if (d.flags & kFlagCdText) out.insert(out.end(), d.cd_text.begin(), d.cd_text.end());
  if (d.flags & kFlagRow) out.insert(out.end(), d.row_data.begin(), d.row_data.end());
  return out;
}

}  // namespace quillden::image
