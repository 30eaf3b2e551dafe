// An open disc image file: the object behind a disc image handle.
//
// Opening reads and checks every block up front (signature, HEADER, the optional CDTEXT and ROW
// blocks, both track lists) and refuses the file as a whole when anything is wrong, so an image
// that exists is always complete: its recorded total size equals the file's size and every offset
// it names lies inside the file. The track data, the CD-Text packs and the ROW volume header stay
// in the file until a recording or comparing job reads them.
//
// Thread-safety: the parsed description is immutable after Open; reads go through positional
// ReadAt calls, so a job's worker and the caller's accessors may use one image at the same time.
// Handles come from a process-wide registry (Register / FromHandle / Release) that tells live
// images from stale or foreign values; a job keeps its image alive through the shared pointer even
// when the caller closes the handle meanwhile.
#ifndef QUILLDEN_IMAGE_DISC_IMAGE_H_
#define QUILLDEN_IMAGE_DISC_IMAGE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "image/image_format.h"
#include "platform/env.h"
#include "quillden/types.h"

namespace quillden::image {

class DiscImage {
 public:
  // Opens a disc image file. Refuses (null) a path whose last component holds a character that
  // disc entry names may not hold, a file that cannot be opened, and every malformed file; *why
  // (when given) then says what was wrong. Never allocates more than the file can justify: the
  // entry lists are read only after the file size has been checked to hold them.
  static std::shared_ptr<DiscImage> Open(quenvar::platform::Env* env, std::u16string_view path,
                                         std::string* why = nullptr);

  const ImageHeader& header() const { return header_; }
  uint32_t flags() const { return header_.flags; }
  uint16_t profile() const { return header_.profile; }
  bool is_single_data_track() const { return (header_.flags & kFlagSingleDataTrack) != 0; }
  // The first list: the track data in the file.
  const std::vector<TrackEntry>& tracks() const { return tracks_; }
  // The second list: the tracks as the exact measurement saw them. For a single data track image
  // it is the first list, since nothing else describes that track.
  const std::vector<TrackEntry>& measured() const { return measured_; }
  const DataBlock& cd_text_block() const { return cd_text_block_; }
  const DataBlock& row_block() const { return row_block_; }
  // Sum of the sector counts of the first list.
  uint64_t total_sectors() const { return total_sectors_; }
  quenvar::platform::ReadableFile* file() const { return file_.get(); }

  // Reads the CD-Text packs (empty without the CD-Text flag). Returns 0 or 0x08000020.
  uint32_t ReadCdText(std::vector<uint8_t>* packs) const;
  // Reads the ROW data: *sector_count and (count + 15) / 16 × 32768 bytes of volume header (empty
  // without the ROW flag). Returns 0, 0x08000020 for a failed read, 0x08000034 when the count does
  // not fit the block's size.
  uint32_t ReadRowData(uint32_t* sector_count, std::vector<uint8_t>* header) const;

  // ---- handles ----
  static HANDLE Register(std::shared_ptr<DiscImage> image);
  // The live image behind a handle; null for null, INVALID_HANDLE_VALUE and unknown values.
  static std::shared_ptr<DiscImage> FromHandle(HANDLE handle);
  // Removes the handle from the registry and returns its image (null when it was not live).
  static std::shared_ptr<DiscImage> Release(HANDLE handle);

 private:
  DiscImage() = default;

  std::unique_ptr<quenvar::platform::ReadableFile> file_;
  ImageHeader header_;
  DataBlock cd_text_block_;
  DataBlock row_block_;
  std::vector<TrackEntry> tracks_;
  std::vector<TrackEntry> measured_;
  uint64_t total_sectors_ = 0;
};

}  // namespace quillden::image

#endif  // QUILLDEN_IMAGE_DISC_IMAGE_H_
