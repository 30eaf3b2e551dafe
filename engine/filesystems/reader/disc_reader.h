// Reads the file systems of one session of a disc: recognizes them from the volume descriptors,
// and lists folders and reads files through ISO 9660, Joliet or UDF (1.02 to 2.50, with the
// metadata partition). One reader serves one call on one thread; it holds no drive state.
//
// Every structure comes from a disc that nobody here wrote, so nothing is trusted: extents beyond
// the disc, sizes that do not fit, records that run past their block, names in unknown encodings
// and allocation descriptors that loop all end in 0x08000038 ("not a readable file system"), and
// the block source's budget bounds the work of any call.
#ifndef QUILLDEN_FILESYSTEMS_READER_DISC_READER_H_
#define QUILLDEN_FILESYSTEMS_READER_DISC_READER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "filesystems/reader/block_source.h"
#include "filesystems/reader/disc_item.h"

namespace quillden::reader {

// Recognized file system bits (the Datadisk's vocabulary).
inline constexpr uint32_t kSeenIso9660 = 1;
inline constexpr uint32_t kSeenJoliet = 2;
inline constexpr uint32_t kSeenUdf = 4;
inline constexpr uint32_t kSeenUdf250 = 8;

enum class View { kUdf, kJoliet, kIso9660 };

struct PathTableRecord {
  uint32_t extent = 0;  // absolute block of the directory
  uint16_t parent = 0;  // 1-based record number of the parent
  std::u16string name;
};

// The first block of session number session (1 = the first) from the drive's track information
// and table of contents. 0, or 0x08000011 when the session's start cannot be found.
uint32_t FindSessionStart(HANDLE drive, uint16_t session, uint32_t* start);
// The first block of the last session that holds data.
uint32_t FindLastSessionStart(HANDLE drive, uint32_t* start);

class DiscReader {
 public:
  explicit DiscReader(BlockSource* source) : source_(source) {}

  // Walks the volume descriptors from session_start + 16 and, when a UDF volume recognition
  // sequence was seen, reads the UDF volume structures. Returns 0 when any file system was
  // recognized; 0x08000038 when none was, or the UDF structures cannot be read; 0x08000018.
  uint32_t Recognize(uint32_t session_start);

  uint32_t bits() const { return bits_; }
  // The block of the El Torito boot catalog named by the session's boot record; 0 without one.
  uint32_t boot_catalog_block() const { return boot_catalog_block_; }
  const std::u16string& label() const { return label_; }
  bool has(View view) const;
  // A UDF volume recognition sequence was seen but its volume structures could not be read.
  bool udf_unreadable() const { return (bits_ & (kSeenUdf | kSeenUdf250)) && !udf_ready_; }
  // UDF when present, then Joliet, then ISO 9660.
  View PreferredView() const;

  // The root folder of a view.
  uint32_t Root(View view, DiscItem* root);
  // The entries of a folder of a view, without "." and "..". For ISO 9660 and Joliet the folder's
  // first record must be its own "." record.
  uint32_t ListFolder(View view, const DiscItem& folder, std::vector<DiscItem>* items);
  // The entries of the ISO 9660 or Joliet directory that starts at block; *size gets its length.
  uint32_t ListIsoDirectory(View view, uint32_t block, std::vector<DiscItem>* items,
                            uint64_t* size = nullptr);
  // The L path table of the last ISO 9660 or Joliet descriptor; *view gets which one it was.
  uint32_t ReadPathTable(std::vector<PathTableRecord>* records, View* view);
  // Reads up to bytes bytes of a file's content from offset; *read gets how many were read (fewer
  // only at the end of the file).
  uint32_t ReadFile(const DiscItem& file, uint64_t offset, uint8_t* buffer, uint32_t bytes,
                    uint32_t* read);

  BlockSource* source() { return source_; }

 private:
  struct IsoVolume {
    bool present = false;
    bool joliet = false;
    uint8_t root_record[34] = {};
    uint32_t path_table_size = 0;
    uint32_t path_table_block = 0;
  };
  struct Partition {
    uint16_t number = 0;
    uint32_t start = 0;
    uint32_t length = 0;
  };
  struct PartitionMap {
    bool metadata = false;
    uint16_t partition_number = 0;
    uint32_t metadata_file_block = 0;  // partition-relative
  };

  uint32_t RecognizeUdf(uint32_t session_start);
  uint32_t ReadUdfLogicalVolume(const uint8_t* descriptor, uint32_t* revision,
                                std::u16string* label);
  uint32_t LoadUdfMetadataFile();
  // The absolute block of a logical block of partition reference ref.
  bool UdfBlock(uint16_t ref, uint32_t lbn, uint32_t* block) const;
  // The same, and *run gets how many blocks from there on map contiguously.
  bool UdfRun(uint16_t ref, uint32_t lbn, uint32_t* block, uint32_t* run) const;
  // Reads the file entry at an absolute block: the item's times, size and extents.
  uint32_t ReadUdfFileEntry(uint32_t block, uint16_t ref, DiscItem* item);
  uint32_t ReadUdfRoot(DiscItem* root);
  uint32_t ParseIsoDirectory(View view, const std::vector<uint8_t>& data,
                             std::vector<DiscItem>* items);

  BlockSource* source_;
  uint32_t bits_ = 0;
  uint32_t boot_catalog_block_ = 0;
  std::u16string label_;
  IsoVolume primary_;
  IsoVolume supplementary_;
  View last_iso_view_ = View::kIso9660;
  std::vector<Partition> partitions_;
  std::vector<PartitionMap> maps_;
  std::vector<Extent> metadata_extents_;  // the metadata file's content (UDF 2.50)
  uint16_t fsd_ref_ = 0;
  uint32_t fsd_lbn_ = 0;
  bool udf_ready_ = false;
};

}  // namespace quillden::reader

#endif  // QUILLDEN_FILESYSTEMS_READER_DISC_READER_H_
