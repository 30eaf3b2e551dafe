// The disc image file: its blocks as byte layouts, and the planning of their offsets.
//
// A disc image file starts with a 32-byte signature block and a 32-byte HEADER block, followed by
// optional CDTEXT and ROW blocks, the TRACK entries (61 bytes each, packed) and then the payload:
// CD-Text packs, the ROW volume header and the track data. All integers are little-endian and every
// block opens with an 8-byte ASCII tag padded with spaces. Two kinds exist:
//
//   multi-track image (flag bit 31 clear): two track lists of equal length; the first describes
//     the track data in the file, the second holds the exact measurement of the same tracks;
//   single data track image (flag bit 31 set): one TRACK entry, optional ROW data, the data stream.
//
// The functions here only translate between bytes and the structs below; they never touch a file.
// Planning fills every offset and the total size before a single byte is written, so a writer can
// stream the blocks front to back.
#ifndef QUILLDEN_IMAGE_IMAGE_FORMAT_H_
#define QUILLDEN_IMAGE_IMAGE_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillden::image {

inline constexpr size_t kSignatureSize = 32;
inline constexpr size_t kHeaderBlockSize = 32;
inline constexpr size_t kCdTextBlockSize = 16;
inline constexpr size_t kRowBlockSize = 16;
inline constexpr size_t kTrackEntrySize = 61;
inline constexpr size_t kTagSize = 8;

// Header flags.
inline constexpr uint32_t kFlagAppendable = 0x1;            // recorded copies stay open
inline constexpr uint32_t kFlagIncompleteSession = 0x2;     // last session of the source was open
inline constexpr uint32_t kFlagCdText = 0x10;               // CDTEXT block and CD-Text data present
inline constexpr uint32_t kFlagMiddleArea2 = 0x100;         // DVD+R DL source, close with method 2
inline constexpr uint32_t kFlagMiddleArea4 = 0x200;         // DVD+R DL source, close with method 4
inline constexpr uint32_t kFlagMiddleAreaExpansion = 0x400;  // HD DVD DL middle area expansion
inline constexpr uint32_t kFlagRow = 0x10000;               // ROW block and volume header present
inline constexpr uint32_t kFlagSingleDataTrack = 0x80000000u;

// Track modes.
inline constexpr uint32_t kModeData1 = 1;
inline constexpr uint32_t kModeData2 = 2;
inline constexpr uint32_t kModeAudio = 3;

// Bytes per sector of track data in the file.
inline constexpr uint32_t kCookedSectorSize = 2048;
inline constexpr uint32_t kRawSectorSize = 2352;

// ROW data carries its volume header in units of 16 blocks of 2048 bytes.
inline constexpr uint32_t kRowUnitBytes = 16 * 2048;

// Tags, 8 bytes each.
inline constexpr char kHeaderTag[] = "HEADER  ";
inline constexpr char kCdTextTag[] = "CDTEXT  ";
inline constexpr char kRowTag[] = "ROW     ";
inline constexpr char kTrackTag[] = "TRACK   ";

struct ImageHeader {
  uint16_t track_count = 0;  // entries in each track list
  uint16_t profile = 0;      // MMC profile of the source disc
  uint32_t flags = 0;
  uint64_t payload_offset = 0;  // first byte after the blocks and track entries
  uint64_t total_size = 0;      // size of the whole file
};

// The CDTEXT and ROW blocks: where their data lies. Their offsets are 32-bit; both kinds of data
// sit right after the track entries, far below 4 GiB.
struct DataBlock {
  uint32_t size = 0;
  uint32_t offset = 0;
};

struct TrackEntry {
  uint32_t start = 0;         // LBA on the source disc
  uint32_t sector_count = 0;
  uint32_t bytes_per_sector = kCookedSectorSize;
  uint32_t mode = kModeData1;
  uint16_t track_number = 0;
  uint16_t session_number = 0;
  uint32_t flags = 0;          // bit 0: the track was still open on the source
  uint32_t reported_size = 0;  // DVD-R-type sources with several tracks, else 0
  uint32_t reserved = 0;
  uint64_t data_offset = 0;    // first list only
  uint8_t layer_jump_status = 0;
  uint32_t layer_jump[3] = {0, 0, 0};

  uint64_t DataBytes() const { return uint64_t{sector_count} * bytes_per_sector; }
  bool operator==(const TrackEntry&) const = default;
};

// Everything a disc image file describes, short of the track data itself.
struct ImageDescription {
  uint16_t profile = 0;
  uint32_t flags = 0;                 // kFlagCdText and kFlagRow follow the data vectors when planned
  std::vector<TrackEntry> tracks;     // the first list
  std::vector<TrackEntry> measured;   // the second list (multi-track images; same length as tracks)
  std::vector<uint8_t> cd_text;       // CD-Text packs (multi-track images)
  std::vector<uint8_t> row_data;      // 4-byte sector count + volume header (single track images)

  // Filled by planning.
  uint64_t payload_offset = 0;
  uint64_t total_size = 0;
  DataBlock cd_text_block;
  DataBlock row_block;
};

// Size of the ROW data for a volume header of sector_count blocks.
uint64_t RowDataSize(uint32_t sector_count);

// Writes the signature block into out[0..31].
void EncodeSignature(uint8_t* out);
// True when the 32 bytes are the signature block.
bool IsSignature(const uint8_t* in);

void EncodeHeader(const ImageHeader& header, uint8_t* out);
// False when the tag is not "HEADER  ".
bool DecodeHeader(const uint8_t* in, ImageHeader* header);

void EncodeDataBlock(const char* tag, const DataBlock& block, uint8_t* out);
// False when the tag differs.
bool DecodeDataBlock(const char* tag, const uint8_t* in, DataBlock* block);

void EncodeTrackEntry(const TrackEntry& entry, uint8_t* out);
// Decodes all fields; false when the tag is not "TRACK   " (the fields are decoded anyway).
bool DecodeTrackEntry(const uint8_t* in, TrackEntry* entry);

// Planning. Both fill payload_offset, total_size, the data blocks and every data offset of the
// first list, and set or clear kFlagCdText / kFlagRow from the data vectors. They fail (false) when
// the description cannot be laid out: a track count above 65535, lists of different lengths, ROW
// data in a multi-track image, a single track image without exactly one track, or offsets that
// overflow their fields.
bool PlanMultiTrackImage(ImageDescription* description);
bool PlanSingleTrackImage(ImageDescription* description);

// Every byte before the track data: signature, HEADER, the optional blocks, the track entries and,
// in file order, the CD-Text or ROW data. The description must have been planned.
std::vector<uint8_t> EncodePrologue(const ImageDescription& description);

}  // namespace quillden::image

#endif  // QUILLDEN_IMAGE_IMAGE_FORMAT_H_
