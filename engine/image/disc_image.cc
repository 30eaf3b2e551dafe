#include "image/disc_image.h"

#include <unordered_map>

#include "datadisk/datadisk.h"
#include "platform/mutex.h"
#include "platform/unicode.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::image {
namespace {

using quenvar::platform::Env;
using quenvar::platform::ReadableFile;
using quenvar::platform::Status;

bool ReadExactly(ReadableFile* file, uint64_t offset, size_t n, void* buffer) {
  size_t got = 0;
  Status status = file->ReadAt(offset, n, buffer, &got);
  return status.ok() && got == n;
}

// offset + size lies inside a file of file_size bytes.
bool Inside(uint64_t offset, uint64_t size, uint64_t file_size) {
  return offset <= file_size && size <= file_size - offset;
}

std::shared_ptr<DiscImage> Refuse(std::string* why, const std::string& reason) {
  if (why) *why = reason;
  return nullptr;
}

struct Registry {
  quenvar::platform::Mutex mutex;
  std::unordered_map<const void*, std::shared_ptr<DiscImage>> live GUARDED_BY(mutex);
};

Registry& GetRegistry() {
  static Registry* registry = new Registry;  // never destroyed: handles may outlive static teardown
  return *registry;
}

}  // namespace

std::shared_ptr<DiscImage> DiscImage::Open(Env* env, std::u16string_view path, std::string* why) {
  std::u16string_view name = path;
  if (size_t slash = name.rfind(u'/'); slash != std::u16string_view::npos) {
    name = name.substr(slash + 1);
  }
  if (path.empty() || HasBadCharacter(name)) return Refuse(why, "bad character in the file name");

  std::shared_ptr<DiscImage> image(new DiscImage);
  std::string native = quenvar::platform::Utf16ToUtf8(path);
  Status status = env->OpenReadable(native, &image->file_);
  if (!status.ok()) return Refuse(why, status.ToString());
  ReadableFile* file = image->file_.get();
  const uint64_t file_size = file->Size();

  uint8_t fixed[kSignatureSize + kHeaderBlockSize];
  if (!ReadExactly(file, 0, kSignatureSize, fixed) || !IsSignature(fixed)) {
    return Refuse(why, "no disc image signature");
  }
  if (!ReadExactly(file, kSignatureSize, kHeaderBlockSize, fixed + kSignatureSize)) {
    return Refuse(why, "the HEADER block cannot be read");
  }
  ImageHeader& header = image->header_;
  if (!DecodeHeader(fixed + kSignatureSize, &header)) return Refuse(why, "no HEADER tag");
  // A truncated or extended copy gives itself away here.
  if (header.total_size != file_size) {
    return Refuse(why, "recorded size " + std::to_string(header.total_size) +
                           " differs from the file size " + std::to_string(file_size));
  }
  if (header.payload_offset > file_size) return Refuse(why, "payload offset beyond the file");

  const bool single = (header.flags & kFlagSingleDataTrack) != 0;
  // Recording takes the one entry of such an image and comparing would take them all: a second
  // entry has no meaning and is refused rather than half used.
  if (single && header.track_count > 1)
    return Refuse(why, "a single data track image with several tracks");
  const bool has_cd_text = (header.flags & kFlagCdText) != 0;
  const bool has_row = (header.flags & kFlagRow) != 0;
  // Everything up to the end of the lists must be in the file before any of it is allocated. In
  // a single data track image nothing but the data follows the first list.
  const uint64_t lists = single ? 1 : 2;
  uint64_t blocks_end = kSignatureSize + kHeaderBlockSize + (has_cd_text ? kCdTextBlockSize : 0) +
                        (has_row ? kRowBlockSize : 0);
  uint64_t lists_end = blocks_end + lists * kTrackEntrySize * header.track_count;
  if (lists_end > file_size) return Refuse(why, "the track lists run past the end of the file");

  std::vector<uint8_t> bytes(lists_end - sizeof(fixed));
  if (!ReadExactly(file, sizeof(fixed), bytes.size(), bytes.data())) {
    return Refuse(why, "the blocks cannot be read");
  }
  const uint8_t* p = bytes.data();
  if (has_cd_text) {
    DataBlock& block = image->cd_text_block_;
    if (!DecodeDataBlock(kCdTextTag, p, &block)) return Refuse(why, "no CDTEXT tag");
    if (!Inside(block.offset, block.size, file_size)) return Refuse(why, "CD-Text beyond the file");
    p += kCdTextBlockSize;
  }
  if (has_row) {
    DataBlock& block = image->row_block_;
    if (!DecodeDataBlock(kRowTag, p, &block)) return Refuse(why, "no ROW tag");
    if (block.size < 4 || !Inside(block.offset, block.size, file_size)) {
      return Refuse(why, "ROW data beyond the file");
    }
    p += kRowBlockSize;
  }

  image->tracks_.resize(header.track_count);
  for (TrackEntry& entry : image->tracks_) {
    if (!DecodeTrackEntry(p, &entry)) return Refuse(why, "no TRACK tag");
    p += kTrackEntrySize;
    if (entry.bytes_per_sector != kCookedSectorSize && entry.bytes_per_sector != kRawSectorSize) {
      return Refuse(why, "unknown sector size " + std::to_string(entry.bytes_per_sector));
    }
    if (!Inside(entry.data_offset, entry.DataBytes(), file_size)) {
      return Refuse(why, "track data beyond the file");
    }
    image->total_sectors_ += entry.sector_count;
  }
  if (single) {
    image->measured_ = image->tracks_;
  } else {
    // The measurement list repeats the tags but nothing reads them; its sizes may well differ.
    image->measured_.resize(header.track_count);
    for (TrackEntry& entry : image->measured_) {
      DecodeTrackEntry(p, &entry);
      p += kTrackEntrySize;
    }
  }
  return image;
}

uint32_t DiscImage::ReadCdText(std::vector<uint8_t>* packs) const {
  packs->clear();
  if (!(header_.flags & kFlagCdText)) return QD_OK;
  packs->resize(cd_text_block_.size);
  if (!ReadExactly(file_.get(), cd_text_block_.offset, packs->size(), packs->data())) {
    packs->clear();
    return QD_E_READ_FILE;
  }
  return QD_OK;
}

uint32_t DiscImage::ReadRowData(uint32_t* sector_count, std::vector<uint8_t>* header) const {
  *sector_count = 0;
  header->clear();
  if (!(header_.flags & kFlagRow)) return QD_OK;
  uint8_t count[4];
  if (!ReadExactly(file_.get(), row_block_.offset, 4, count)) return QD_E_READ_FILE;
  uint32_t sectors = GetLe32(count);
  uint64_t size = RowDataSize(sectors);
  // Open made sure the block lies in the file, so the size bounds the allocation.
  if (size > row_block_.size) return QD_E_WRONG_FORM;
  header->resize(size - 4);
  if (!ReadExactly(file_.get(), row_block_.offset + 4, header->size(), header->data())) {
    header->clear();
    return QD_E_READ_FILE;
  }
  *sector_count = sectors;
  return QD_OK;
}

HANDLE DiscImage::Register(std::shared_ptr<DiscImage> image) {
  Registry& registry = GetRegistry();
  HANDLE handle = image.get();
  quenvar::platform::MutexLock lock(&registry.mutex);
  registry.live.emplace(handle, std::move(image));
  return handle;
}

std::shared_ptr<DiscImage> DiscImage::FromHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  Registry& registry = GetRegistry();
  quenvar::platform::MutexLock lock(&registry.mutex);
  auto it = registry.live.find(handle);
  return it == registry.live.end() ? nullptr : it->second;
}

std::shared_ptr<DiscImage> DiscImage::Release(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  Registry& registry = GetRegistry();
  quenvar::platform::MutexLock lock(&registry.mutex);
  auto it = registry.live.find(handle);
  if (it == registry.live.end()) return nullptr;
  std::shared_ptr<DiscImage> image = std::move(it->second);
  registry.live.erase(it);
  return image;
}

}  // namespace quillden::image
