// The layout of one data disc session: where every structure and every file goes, and the header
// and structure blocks themselves.
//
// Offsets from the session start S, for the ISO 9660 + Joliet selection:
//   0   16 blocks  system area (zero)
//   16  descriptors: primary, El Torito boot record (with a boot image), Joliet, terminator
//   H0  ISO 9660 L and M path tables, ISO 9660 directories, Joliet L and M path tables, Joliet
//       directories, the boot catalog (with a boot image)                 = the structure blocks
//       the boot image, then the EFI image (images kept from an earlier session take no block)
//       the file contents in level order, each from a block boundary; an empty file takes no block
//   E   end of the session; T = E plus the run-out of CD media.
// H0 is 19 blocks, 20 with a boot image. UDF 1.02 (bit 4) makes H0 272 with ISO 9660 and 259
// without (272 on dual layer DVD-R media that may be recorded with a layer jump; see HeaderBlocks),
// puts its file entry area after the Joliet directories and closes the session with an anchor at E
// - 1. UDF 2.50 (bit 8) keeps the ISO 9660 area in the header, pads it to the partition start A (a
// multiple of 32), puts the metadata file (entry, 31 blocks, M blocks) at A, and after the files
// the metadata mirror, the reserve sequence and the anchors (the tail).
//
// SetMedia() names the target media before Plan(). Plan() writes the positions into the entries
// (ISO name, folder number, location, lengths), which keep them until the next plan. Build() then
// fills the header and the small structures (ISO 9660 and Joliet path tables, UDF descriptors,
// boot catalog). The structures that grow with the tree are never held whole: the ISO 9660 and
// Joliet directories and the UDF file entry area (one block per entry) are produced while
// WriteHeader(), WriteStructures() and WriteTail() write them. One object per job; not
// thread-safe.
#ifndef QUILLDEN_DATADISK_MASTERING_SESSION_LAYOUT_H_
#define QUILLDEN_DATADISK_MASTERING_SESSION_LAYOUT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "datadisk/datadisk.h"
#include "filesystems/ansi_code_page.h"
#include "filesystems/iso_joliet_tree.h"
#include "filesystems/iso_time.h"
#include "filesystems/udf/udf_tree.h"  // UDF hook

namespace quillden::mastering {

// Internal file system bits of a Datadisk.
inline constexpr uint32_t kFsIso9660 = 1;
inline constexpr uint32_t kFsJoliet = 2;
inline constexpr uint32_t kFsUdf102 = 4;
inline constexpr uint32_t kFsUdf250 = 8;

struct LayoutRequest {
  uint32_t file_system = kFsIso9660 | kFsJoliet;
  bool file_version = true;
  bool cd_media = false;           // add the run-out of CD media to T
  uint32_t session_start = 0;      // S
  bool refuse_large_files = true;  // a file of 4 GiB or more fails the plan (write jobs)
  // The header is recorded at block 0 rather than at S (a session appended to overwritable media):
  // the UDF descriptors name the blocks they are recorded at.
  bool header_at_zero = false;
};

// Write types of a job (the recorder's 1, 2 and 3), and that of a size forecast, which does not
// know how the disc will be recorded.
inline constexpr uint32_t kWriteTypeUnknown = 0;
inline constexpr uint32_t kWriteTypeDiscAtOnce = 3;

// The header size H0 of a selection before UDF 2.50 pads it to its partition start: 19, or 20
// with a boot image, for ISO 9660 and Joliet alone; 272 for a UDF 1.02 bridge; 259 for UDF 1.02
// alone, except on dual layer DVD-R media that may be recorded with a layer jump, where the
// structures are rebuilt around the jump and take 272: profile 0x16 always, profile 0x15 unless
// the write type is 3 (an unknown write type counts as a jump, so a forecast never falls short);
// 257 for a UDF 2.50 bridge and 288 for UDF 2.50 alone.
uint32_t HeaderBlocks(uint32_t file_system, bool boot_image, uint16_t profile, uint32_t write_type);

class ImageStream;
class LayerJumpMap;

// Receives the blocks of a session in order: count whole blocks at data, or count zero blocks when
// data is null. Returns 0 or a code that ends the stream.
using BlockSink = std::function<uint32_t(const uint8_t* data, uint64_t count)>;
// Appends the boot images held in memory to stream, the BIOS image first (the order of the plan).
uint32_t StreamBootImages(const Datadisk& disc, ImageStream& stream);
// The sink that appends to stream (its codes: 0x0800001F, 0x08000032).
BlockSink StreamSink(ImageStream& stream);

class SessionLayout {
 public:
  explicit SessionLayout(const fs::AnsiCodePage& code_page = fs::AnsiCodePage::System())
      : code_page_(code_page) {}

  // Plans the session of disc. Returns 0; 0x08000015 empty tree or a list that cannot be built;
  // 0x08000012 a file of 4 GiB or more (with refuse_large_files and ISO 9660), or a file whose UDF
  // allocation descriptors do not fit its file entry; 0x08000036 no file system, or both UDF
  // revisions; 0x08000018 out of memory.
  uint32_t Plan(Datadisk& disc, const LayoutRequest& request);
  // The target of the next plans: the media's MMC profile (0, the default, for an image file) and
  // the job's write type (default 3). They choose the header size of UDF 1.02 alone.
  void SetMedia(uint16_t profile, uint32_t write_type) {
    profile_ = profile;
    write_type_ = write_type;
  }

  // Fills the header and the small structures. Needs Plan first.
  void Build(const Datadisk& disc, const fs::IsoTime& volume_time, bool file_dates);
  // The header (H0 blocks): header() and, with UDF 2.50, the ISO 9660 area and the padding up to
  // the partition after it. Needs Build. Returns 0 or the sink's code.
  uint32_t WriteHeader(const BlockSink& sink) const;
  // The structure blocks (structure_blocks() of them, from structure_block()), the UDF file entry
  // area produced on the way. Needs Build. Returns 0 or the sink's code.
  uint32_t WriteStructures(const BlockSink& sink) const;
  // The blocks after the files and before the run-out of CD media: the closing anchor of UDF 1.02,
  // or the metadata mirror, reserve sequence and anchors of UDF 2.50. Needs Build.
  uint32_t WriteTail(const BlockSink& sink) const;
  // After the entries were re-planned around a layer jump (ReplanAroundLayerJump): the UDF file
  // entries take the recorded positions (two allocation descriptors for the split file), the
  // partition reaches the highest recorded block and the closing anchor names the block it is
  // recorded at. The stream keeps its order; Build again afterwards. UDF 1.02 alone only. Returns
  // 0; 0x08000036 for another selection or a position that does not fit; 0x08000012 when the
  // allocation descriptors no longer fit a file entry.
  uint32_t ApplyLayerJump(const LayerJumpMap& map);

  uint32_t header_blocks() const { return header_blocks_; }  // H0
  // The blocks of the header that go to block 0 when the session is appended to overwritable
  // media (header_at_zero): the volume descriptors up to the anchor at 256. H0, except for UDF
  // 2.50, whose header also holds the ISO 9660 area and the padding up to the partition: those
  // are this session's and follow the 257 blocks in the stream, from the session's first block.
  uint32_t rewritten_header_blocks() const {
    return request_.header_at_zero && udf_revision_ == fs::udf::kRevision250
               ? kUdf250DescriptorBlocks
               : header_blocks_;
  }
  static constexpr uint32_t kUdf250DescriptorBlocks = 257;
  uint32_t session_start() const { return session_start_; }        // S
  uint32_t structure_block() const { return structure_block_; }    // S + H0
  uint32_t structure_blocks() const { return structure_blocks_; }  // catalog included
  uint32_t catalog_block() const { return catalog_block_; }        // 0 without a boot image
  uint32_t boot_image_block() const { return boot_image_block_; }  // the BIOS image
  uint32_t efi_image_block() const { return efi_image_block_; }
  uint32_t first_file_block() const { return first_file_block_; }
  uint32_t end() const { return end_; }      // E
  uint32_t total() const { return total_; }  // T
  const std::vector<DatadiskEntry*>& level_order() const { return level_order_; }
  // The blocks of the header held in memory: all H0 of them, except with UDF 2.50 and ISO 9660,
  // whose ISO 9660 area and padding WriteHeader produces after these. A header recorded at block 0
  // (header_at_zero) holds at least the rewritten_header_blocks().
  const std::vector<uint8_t>& header() const { return header_; }

 private:
  // A run of blocks of the stream: bytes the layout holds, zero blocks, the ISO 9660 or Joliet
  // directories, or the UDF file entry area.
  struct Piece {
    enum Kind { kBytes, kZeros, kIsoDirectories, kJolietDirectories, kUdfArea } kind;
    const uint8_t* data;
    uint64_t blocks;
  };
  uint32_t WritePieces(const std::vector<Piece>& pieces, const BlockSink& sink) const;

  // The steps of Plan, in order. DescribeEntries numbers the entries in level order and lists
  // what the tree needs of them (0x08000012: a file too large for ISO 9660). PlaceStructures
  // places the header, path tables, directories, UDF areas, boot catalog and boot images, and
  // returns the first file block in *next_block. PlaceFiles places the files from *next on
  // (0x0800003D past block 2^32 - 1). KeepPlanInEntries writes the positions into the entries.
  uint32_t DescribeEntries(const Datadisk& disc, bool iso, std::vector<fs::FsEntry>* entries);
  uint32_t PlaceStructures(const Datadisk& disc, bool iso, uint64_t* next_block);
  uint32_t PlaceFiles(const Datadisk& disc, uint64_t* next);
  void KeepPlanInEntries();
  // The step of Build that fills the ISO 9660 volume descriptors of the header: primary, boot
  // record (with a boot image), Joliet, terminator.
  void PutIsoVolumeDescriptors(const Datadisk& disc, const fs::IsoTime& volume_time);

  const fs::AnsiCodePage& code_page_;
  LayoutRequest request_;
  uint16_t profile_ = 0;
  uint32_t write_type_ = kWriteTypeDiscAtOnce;
  std::vector<DatadiskEntry*> level_order_;
  std::unique_ptr<fs::IsoJolietTree> tree_;
  bool has_boot_ = false;
  uint32_t header_blocks_ = 0;
  uint32_t session_start_ = 0;
  uint32_t structure_block_ = 0;
  uint32_t structure_blocks_ = 0;
  uint32_t iso_path_table_size_ = 0;
  uint32_t joliet_path_table_size_ = 0;
  uint32_t iso_l_block_ = 0, iso_m_block_ = 0, iso_directory_block_ = 0;
  uint32_t joliet_l_block_ = 0, joliet_m_block_ = 0, joliet_directory_block_ = 0;
  uint64_t iso_directory_bytes_ = 0, joliet_directory_bytes_ = 0;
  uint32_t iso_end_block_ = 0;  // first block after the Joliet directories
  uint32_t catalog_block_ = 0;
  uint32_t boot_image_block_ = 0;
  uint32_t efi_image_block_ = 0;
  uint32_t first_file_block_ = 0;
  uint32_t end_ = 0;
  uint32_t total_ = 0;
  std::vector<uint8_t> header_;
  std::vector<uint8_t> iso_path_tables_;     // L and M
  std::vector<uint8_t> joliet_path_tables_;  // L and M
  std::vector<uint8_t> catalog_;
  std::vector<Piece> header_pieces_;
  std::vector<Piece> structure_pieces_;
  fs::IsoTime volume_time_;  // of the directories being written
  bool file_dates_ = true;

  // --- UDF hook (see udf_layout.cc) ---
  uint32_t PlanUdf(uint64_t* next);       // the areas before the boot catalog
  uint32_t FinishUdfPlan(uint64_t next);  // after the files: partition, tail, E and T
  void BuildUdf(const Datadisk& disc, const fs::IsoTime& volume_time);
  // The last steps of BuildUdf, by revision; h is the block the header is recorded at.
  void BuildUdf102Closing(const fs::udf::VolumeInfo& info, uint32_t h);   // anchors, reserve
  void BuildUdf250Metadata(const fs::udf::VolumeInfo& info, uint32_t h);  // metadata, mirror, tail
  uint16_t udf_revision_ = 0;                                             // 0: no UDF
  std::unique_ptr<fs::udf::UdfTree> udf_tree_;
  uint32_t udf_area_block_ = 0;       // absolute block of the file entry area (1.02)
  uint32_t udf_partition_start_ = 0;  // absolute
  uint32_t udf_partition_length_ = 0;
  uint32_t udf_metadata_offset_ = 0;   // A (2.50), offset from S
  uint32_t udf_metadata_blocks_ = 0;   // M
  uint32_t udf_mirror_offset_ = 0;     // F
  uint32_t udf_files_end_offset_ = 0;  // first block after the files, from S
  uint32_t udf_area_blocks_ = 0;
  fs::udf::Timestamp udf_time_;
  std::vector<uint8_t> udf_blocks_;  // 2.50: metadata entries, file set, anchors, reserve sequence
  std::vector<uint8_t> tail_;        // 1.02: the closing anchor
  uint32_t udf_anchor_block_ = 0;    // 1.02: where the closing anchor is recorded; 0: S + E - 1
  std::vector<Piece> tail_pieces_;
};

// Clears location, second location, length and second length of every entry other than the boot
// image entry and imported entries.
void ClearBlockPositions(Datadisk& disc);

// The run-out of CD media: at least 300 blocks, else 150 after the data.
inline uint32_t WithCdRunOut(uint32_t end) {
  return end < 150 ? 300 : end + 150;
}

}  // namespace quillden::mastering

#endif  // QUILLDEN_DATADISK_MASTERING_SESSION_LAYOUT_H_
