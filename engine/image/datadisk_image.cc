// MST_CreateDiskImage: a data disc written into a single data track image.
//
// The session is planned and streamed exactly as for a plain ISO image; the disc image only puts its
// blocks in front (signature, HEADER, one TRACK entry) and shifts the stream behind them. The image
// stream writes at offsets counted from the session's first block, so it writes through a window
// that adds the data offset to every position.
#include <algorithm>
#include <memory>
#include <new>

#include "datadisk/datadisk.h"
#include "datadisk/datadisk_env.h"
#include "datadisk/mastering/write_job.h"
#include "drive/media_queries.h"
#include "drive/profiles.h"
#include "filesystems/iso_time.h"
#include "quillden/drive.h"
#include "util/byte_order.h"
#include "image/image_format.h"
#include "image/image_writer.h"
#include "platform/unicode.h"
#include "progress/progress_record.h"
#include "quillden/image.h"
#include "quillden/result.h"

namespace quillden::image {
namespace {

using quenvar::platform::Status;
using quenvar::platform::WritableFile;

// The part of a file from base on, seen as a file of its own. Keeps the highest byte written so the
// job can tell that the stream filled exactly what the HEADER promised.
class ShiftedFile : public WritableFile {
 public:
  ShiftedFile(std::unique_ptr<WritableFile> file, uint64_t base) : file_(std::move(file)), base_(base) {}

  Status Append(const void* data, size_t n) override {
    Status status = file_->WriteAt(base_ + append_at_, data, n);
    if (status.ok()) Extend(append_at_ += n);
    return status;
  }
  Status WriteAt(uint64_t offset, const void* data, size_t n) override {
    Status status = file_->WriteAt(base_ + offset, data, n);
    if (status.ok()) Extend(offset + n);
    return status;
  }
  Status Truncate(uint64_t size) override {
    Status status = file_->Truncate(base_ + size);
    if (status.ok()) end_ = size;
    return status;
  }
  Status Sync() override { return file_->Sync(); }
  Status Close() override { return file_->Close(); }
  // No descriptor: positions handed to the kernel directly would miss the shift.
  int NativeHandle() const override { return -1; }

  uint64_t end() const { return end_; }

 private:
  void Extend(uint64_t end) { end_ = std::max(end_, end); }
  std::unique_ptr<WritableFile> file_;
  uint64_t base_;
  uint64_t append_at_ = 0;
  uint64_t end_ = 0;
};

bool HasBadLocalName(std::u16string_view path) {
  size_t slash = path.rfind(u'/');
  return HasBadCharacter(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

uint32_t CreateDiskImage(std::u16string_view path, const std::shared_ptr<Datadisk>& shared, HANDLE progress,
                         bool file_dates) {
  Datadisk& disc = *shared;
  if (path.empty()) return disc.Fail(QD_E_INVALID_ARGUMENT);
  if (HasBadLocalName(path)) return disc.Fail(QD_E_BAD_CHARACTER);
  if (!disc.first_root()) return disc.Fail(QD_E_NOT_FOUND);
  if (progress) {
    std::shared_ptr<ProgressRecord> record = ProgressRecord::FromHandle(progress);
    if (!record) return disc.Fail(QD_E_INVALID_HANDLE);
    if (quillden::ProgressBusy(record->status.load())) return disc.Fail(QD_E_BUSY);
  }
  // A new session behind an imported one is laid out for the imported media, which must still
  // take it; on overwritable media the volume header travels in the ROW data, for block 0.
  uint16_t profile = 0;
  uint32_t result;
  if (disc.imported_drive != nullptr && disc.next_session_start != 0) {
    _MEDIAINFORMATION media{};
    if ((result = DRV_GetMediaInformation(disc.imported_drive, &media)) != QD_OK) return disc.Fail(result);
    if (media.dwStatus != MEDIA_STATUS_APPENDABLE) return disc.Fail(QD_E_MEDIA_NOT_WRITABLE);
    profile = drive::CurrentProfile(disc.imported_drive);
  }
  mastering::SessionPlacement placement;
  if ((result = mastering::PlaceSession(disc, profile, &placement)) != QD_OK) return disc.Fail(result);

  auto job = std::make_shared<mastering::ImageJob>();
  job->disc = shared;
  job->env = DatadiskEnv();
  job->file_dates = file_dates;
  job->path = quenvar::platform::Utf16ToUtf8(path);
  result = mastering::PlanPlacedSession(disc, placement, drive::IsCdProfile(profile), &job->layout);
  if (result != QD_OK) return disc.Fail(result);
  const uint32_t skipped = placement.header_at_zero ? job->layout.rewritten_header_blocks() : 0;
  const uint32_t sectors = std::max(job->layout.end(), job->layout.total()) - skipped;

  ImageDescription description;
  description.profile = profile;
  if (placement.header_at_zero) {
    job->layout.Build(disc, fs::VolumeTimeNow(job->env), file_dates);
    job->built = true;
    job->skip_bytes = uint64_t{skipped} * kCookedSectorSize;
    std::vector<uint8_t> header;
    const uint32_t unit = drive::IsOverwritableHdDvdProfile(profile) ? 32 : 16;  // blocks recorded at once
    if ((result = mastering::ReadVolumeHeader(disc.imported_drive, job->layout, unit, &header)) != QD_OK) {
      return disc.Fail(result);
    }
    const uint32_t count = static_cast<uint32_t>(header.size() / kCookedSectorSize);
    description.row_data.assign(4, 0);
    PutLe32(description.row_data.data(), count);
    description.row_data.insert(description.row_data.end(), header.begin(), header.end());
    description.row_data.resize(RowDataSize(count), 0);
  }
  TrackEntry track;
  track.start = placement.next_writable;
  track.sector_count = sectors;
  track.bytes_per_sector = kCookedSectorSize;
  track.mode = disc.data_mode;
  track.track_number = 1;
  track.session_number = 1;
  description.tracks = {track};
  if (!PlanSingleTrackImage(&description)) return disc.Fail(QD_E_INVALID_ARGUMENT);
  const uint64_t data_offset = description.tracks[0].data_offset;
  const uint64_t data_bytes = description.tracks[0].DataBytes();

  std::unique_ptr<WritableFile> file;
  if (!job->env->OpenWritable(job->path, quenvar::platform::WriteMode::kCreateOrTruncate, &file).ok()) {
    return disc.Fail(QD_E_FILE_OPEN);
  }
  ImageFileWriter writer(file.get());
  if ((result = writer.Begin(description)) != QD_OK) {
    file.reset();
    job->env->RemoveFile(job->path);
    return disc.Fail(result);
  }
  auto shifted = std::make_unique<ShiftedFile>(std::move(file), data_offset);
  ShiftedFile* window = shifted.get();
  job->out = std::move(shifted);

  result = RunOperation(progress, PRG_PHASE_WRITING_IMAGE, sectors,
                        [job, window, data_bytes](const ProgressReporter& reporter) -> uint32_t {
                          uint32_t code = mastering::RunImageJob(*job, reporter);
                          // The HEADER promised data_bytes after the blocks; anything else would
                          // make a file that no reader accepts.
                          if (code == QD_OK && window->end() != data_bytes) {
                            job->env->RemoveFile(job->path);
                            code = job->disc->Fail(QD_E_WRITE_FILE);
                          }
                          return code;
                        });
  if (result != QD_OK && progress) {
    // The worker never started: the file it would have written goes again.
    job->out.reset();
    job->env->RemoveFile(job->path);
    disc.Fail(result);
  }
  return result;
}

}  // namespace
}  // namespace quillden::image

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_CreateDiskImage(const WCHAR* path, HANDLE handle, HANDLE progress,
                                                         BOOL file_dates) {
  std::shared_ptr<quillden::Datadisk> disc = quillden::Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  try {
    return quillden::image::CreateDiskImage(quenvar::platform::Utf16View(path), disc, progress, file_dates != 0);
  } catch (const std::bad_alloc&) {
    return disc->Fail(QD_E_OUT_OF_MEMORY);
  }
}
