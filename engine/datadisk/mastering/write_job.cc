#include "datadisk/mastering/write_job.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <system_error>
#include <thread>

#include "datadisk/datadisk_env.h"
#include "datadisk/mastering/image_stream.h"
#include "drive/mmc_commands.h"
#include "drive/profiles.h"
#include "filesystems/iso9660_records.h"
#include "filesystems/iso_time.h"
#include "platform/unicode.h"
#include "quillden/mastering.h"
#include "quillden/result.h"

namespace quillden::mastering {
namespace {

std::atomic<bool> g_allow_kernel_copy{true};

using quenvar::platform::Status;

// The stream's bytes from skip on, at offsets shifted down by skip; what falls before is dropped.
class SkippingFile : public quenvar::platform::WritableFile {
 public:
  SkippingFile(quenvar::platform::WritableFile* file, uint64_t skip) : file_(file), skip_(skip) {}
  Status Append(const void* data, size_t n) override { return WriteAt(end_, data, n); }
  Status WriteAt(uint64_t offset, const void* data, size_t n) override {
    const uint64_t dropped = offset < skip_ ? std::min<uint64_t>(n, skip_ - offset) : 0;
    end_ = std::max(end_, offset + n);
    if (dropped == n) return Status::Ok();
    return file_->WriteAt(offset + dropped - skip_, static_cast<const uint8_t*>(data) + dropped,
                          n - dropped);
  }
  Status Truncate(uint64_t size) override {
    return size <= skip_ ? Status::Ok() : file_->Truncate(size - skip_);
  }
  Status Sync() override { return file_->Sync(); }
  Status Close() override { return file_->Close(); }
  int NativeHandle() const override { return -1; }  // kernel copies would miss the shift

 private:
  quenvar::platform::WritableFile* file_;
  uint64_t skip_;
  uint64_t end_ = 0;
};

// A second writer pays when a tree ends in many small files: each costs an open, a status, a read
// and a close, about what copying 64 KiB costs, and those calls can run beside the copies of the
// files before them. Image files only; a stream with shifted offsets keeps one writer.
constexpr uint64_t kCostPerOpen = 64 * 1024;  // in bytes copied
constexpr size_t kSecondWriterMinFiles = 512;

// Files are streamed in level order, empty ones too (they are checked to be at their planned
// place); folders and the engine's own entries are written with the structures.
bool IsStreamed(const DatadiskEntry* entry) {
  return !entry->is_folder() && !entry->is_engine_entry();
}

// Where an entry's content goes in the image.
uint64_t PlannedOffset(const SessionLayout& layout, const DatadiskEntry* entry) {
  return uint64_t{entry->location - layout.session_start()} * fs::kBlockSize;
}

uint64_t CopyCost(const DatadiskEntry* entry) {
  return !IsStreamed(entry) || entry->length == 0 ? 0 : kCostPerOpen + entry->length;
}

// Where the second writer takes over in the level order: at a file inside the run of small files
// that ends it, where the files after take at most half of the estimated cost. order.size() when
// it would not pay.
size_t SecondWriterStart(const std::vector<DatadiskEntry*>& order) {
  size_t run = order.size();
  while (run > 0 && (!IsStreamed(order[run - 1]) || order[run - 1]->length <= kSmallFileBytes))
    --run;
  uint64_t total = 0;
  for (const DatadiskEntry* entry : order) total += CopyCost(entry);
  uint64_t tail = 0;
  size_t start = order.size();
  size_t opened = 0;
  while (start > run && tail + CopyCost(order[start - 1]) <= total / 2) {
    const uint64_t cost = CopyCost(order[--start]);
    tail += cost;
    if (cost > 0) ++opened;
  }
  while (start < order.size() && !IsStreamed(order[start])) ++start;  // begins at a file
  return opened >= kSecondWriterMinFiles ? start : order.size();
}

// How a run of files ended: 0, or the code and the entry it stopped at.
struct RunEnd {
  uint32_t result = QD_OK;
  DatadiskEntry* entry = nullptr;
};

// Streams the files among order[first, last) in order, each at its planned place, until stop is
// set.
RunEnd StreamFiles(const ImageJob& job, const std::vector<DatadiskEntry*>& order, size_t first,
                   size_t last, ImageStream& stream, const std::atomic<bool>& stop) {
  for (size_t i = first; i < last; ++i) {
    DatadiskEntry* entry = order[i];
    if (!IsStreamed(entry)) continue;
    if (stop.load(std::memory_order_relaxed)) return {QD_E_CANCELLED, entry};
    if (stream.offset() != PlannedOffset(job.layout, entry))
      return {QD_E_WRITE_FILE, entry};  // the layout and the stream disagree
    if (entry->length == 0) continue;  // takes no block: nothing to open
    std::unique_ptr<quenvar::platform::ReadableFile> source;
    if (!job.env->OpenReadable(quenvar::platform::Utf16ToUtf8(entry->SourcePath()), &source).ok())
      return {QD_E_SOURCE_MISSING, entry};
    const uint32_t result = stream.CopyFile(source.get(), entry->length);
    if (result != QD_OK) return {result, entry};
  }
  return {};
}

// The second writer: the files from order[first] (a file) on through a file of its own on the
// image, on a thread of its own. Stops and waits for the thread when it goes.
class SecondWriter {
 public:
  SecondWriter(const ImageJob& job, const std::vector<DatadiskEntry*>& files, size_t first,
               const ProgressReporter& reporter)
      : files_(files), first_(first) {
    if (first_ >= files_.size()) return;
    start_ = PlannedOffset(job.layout, files_[first_]);
    if (!job.env->OpenWritable(job.path, quenvar::platform::WriteMode::kOpenExisting, &out_).ok())
      return;
    stream_ = std::make_unique<ImageStream>(out_.get(), reporter);
    if (stream_->ContinueAt(start_) != QD_OK) return;
    try {
      thread_ = std::thread([this, &job] {
        end_ = StreamFiles(job, files_, first_, files_.size(), *stream_, stop_);
        if (end_.result == QD_OK) end_.result = stream_->Drain();
        if (end_.result == QD_OK && !out_->Close().ok()) end_.result = QD_E_WRITE_FILE;
      });
    } catch (const std::system_error&) {
      // No thread: the first writer streams every file.
    }
  }
  ~SecondWriter() { Stop(); }
  SecondWriter(const SecondWriter&) = delete;
  SecondWriter& operator=(const SecondWriter&) = delete;

  // Where the first writer's files end: first, or the end of the list without a thread.
  size_t first() const { return thread_.joinable() ? first_ : files_.size(); }
  // The image offset the second writer starts at (the first writer must end there).
  uint64_t start_offset() const { return start_; }
  // Waits for the files; their end, and the offset after them.
  RunEnd Wait(uint64_t* end_offset) {
    if (thread_.joinable()) thread_.join();
    *end_offset = stream_->offset();
    return end_;
  }
  // Asks the thread to stop after its current file, and waits for it.
  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }

 private:
  const std::vector<DatadiskEntry*>& files_;
  const size_t first_;
  uint64_t start_ = 0;
  std::unique_ptr<quenvar::platform::WritableFile> out_;
  std::unique_ptr<ImageStream> stream_;
  std::atomic<bool> stop_{false};
  RunEnd end_;
  std::thread thread_;
};

// Records where a run of files failed. A vanished source is dropped from the tree so that the next
// attempt writes the disc without it; nothing else may read the tree then.
uint32_t ReportRunEnd(Datadisk& disc, const RunEnd& end) {
  if (end.result == QD_E_SOURCE_MISSING || end.result == QD_E_READ_FILE)
    disc.SetErrorPaths(end.entry->SourcePath(), end.entry->DiscPath());
  if (end.result == QD_E_SOURCE_MISSING) DeleteEntry(disc, end.entry);
  return end.result;
}

uint32_t StreamSession(ImageJob& job, const ProgressReporter& reporter) {
  Datadisk& disc = *job.disc;
  SessionLayout& layout = job.layout;
  if (!job.built) layout.Build(disc, fs::VolumeTimeNow(job.env), job.file_dates);

  const std::vector<DatadiskEntry*>& files = layout.level_order();
  const bool shifted = job.skip_bytes != 0 || job.out->NativeHandle() < 0;
  SecondWriter second(job, files, shifted ? files.size() : SecondWriterStart(files), reporter);

  SkippingFile skipping(job.out.get(), job.skip_bytes);
  ImageStream stream(job.skip_bytes ? &skipping : job.out.get(), reporter);
  stream.set_allow_kernel_copy(job.allow_kernel_copy);
  uint32_t result = layout.WriteHeader(StreamSink(stream));
  if (result == QD_OK) result = layout.WriteStructures(StreamSink(stream));
  if (result == QD_OK) result = StreamBootImages(disc, stream);
  if (result != QD_OK) return result;

  const std::atomic<bool> never_stop{false};
  const RunEnd first_end = StreamFiles(job, files, 0, second.first(), stream, never_stop);
  if (first_end.result != QD_OK) {
    second.Stop();
    return ReportRunEnd(disc, first_end);
  }
  if (second.first() < files.size()) {
    if (stream.offset() != second.start_offset()) {  // the layout and the streams disagree
      second.Stop();
      return QD_E_WRITE_FILE;
    }
    uint64_t end_offset = 0;
    const RunEnd second_end = second.Wait(&end_offset);
    if (second_end.result != QD_OK) return ReportRunEnd(disc, second_end);
    if ((result = stream.ContinueAt(end_offset)) != QD_OK) return result;
  }
  // UDF hook: the closing anchor (1.02), or the metadata mirror, reserve sequence and anchors
  // (2.50).
  if ((result = layout.WriteTail(StreamSink(stream))) != QD_OK) return result;
  uint64_t run_out = layout.total() - layout.end();
  if ((result = stream.WriteZeroBlocks(run_out)) != QD_OK) return result;
  if ((result = stream.Finish()) != QD_OK) return result;
  return job.out->Close().ok() ? QD_OK : QD_E_WRITE_FILE;
}

}  // namespace

void SetKernelCopyForTesting(bool allow) {
  g_allow_kernel_copy = allow;
}

uint32_t PlaceSession(const Datadisk& disc, uint16_t profile, SessionPlacement* placement) {
  *placement = SessionPlacement{};
  if (disc.imported_drive == nullptr || disc.next_session_start == 0) return QD_OK;
  // The imported disc was closed: its entries point into a disc that takes no further session.
  if (disc.next_session_start == 0xFFFFFFFFu) return QD_E_MEDIA_NOT_WRITABLE;
  placement->next_writable = disc.next_session_start;
  placement->header_at_zero =
      drive::IsOverwritableProfile(profile) || drive::IsOverwritableHdDvdProfile(profile);
  return QD_OK;
}

uint32_t PlanPlacedSession(Datadisk& disc, const SessionPlacement& placement, bool cd_media,
                           SessionLayout* layout) {
  LayoutRequest request;
  request.file_system = disc.file_system;
  request.file_version = disc.file_version_flag != 0;
  request.cd_media = cd_media;
  request.session_start = placement.next_writable;
  if (!placement.header_at_zero || placement.next_writable == 0) return layout->Plan(disc, request);
  // The header goes to block 0 last; the session starts so far before the next writable address
  // that the blocks after the rewritten header begin there. For UDF 2.50 those are the ISO 9660
  // area and the padding before the partition, which stay in the stream.
  request.header_at_zero = true;
  uint32_t result = layout->Plan(disc, request);
  if (result != QD_OK) return result;
  const uint32_t header = layout->rewritten_header_blocks();
  if (placement.next_writable < header) return QD_E_INVALID_SETTING;
  request.session_start = placement.next_writable - header;
  result = layout->Plan(disc, request);
  if (result == QD_OK &&
      layout->session_start() + layout->rewritten_header_blocks() != placement.next_writable) {
    return QD_E_INVALID_SETTING;
  }
  return result;
}

uint32_t ReadVolumeHeader(HANDLE drive, const SessionLayout& layout, uint32_t unit,
                          std::vector<uint8_t>* header) {
  const uint32_t blocks = layout.rewritten_header_blocks();
  const uint32_t rounded = (blocks + unit - 1) / unit * unit;
  header->assign(size_t{rounded} * fs::kBlockSize, 0);
  if (rounded > blocks) {
    const uint32_t result =
        drive::Read10(drive, blocks, header->data() + size_t{blocks} * fs::kBlockSize,
                      (rounded - blocks) * fs::kBlockSize);
    if (result != QD_OK) return result;
  }
  std::copy_n(layout.header().begin(), size_t{blocks} * fs::kBlockSize, header->begin());
  return QD_OK;
}

uint32_t RunImageJob(ImageJob& job, const ProgressReporter& reporter) {
  uint32_t result;
  try {
    result = StreamSession(job, reporter);
  } catch (const std::bad_alloc&) {
    result = QD_E_OUT_OF_MEMORY;
  }
  if (result != QD_OK) {
    job.out.reset();
    job.env->RemoveFile(job.path);
    job.disc->Fail(result);
  }
  return result;
}

}  // namespace quillden::mastering

using quillden::Datadisk;
using quillden::ProgressRecord;
using namespace quillden::mastering;

namespace {

bool HasBadLocalCharacter(std::u16string_view path) {
  size_t slash = path.rfind(u'/');
  std::u16string_view last = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
  return quillden::HasBadCharacter(last);
}

uint32_t CreateIsoImage(const WCHAR* path, Datadisk& disc, const std::shared_ptr<Datadisk>& shared,
                        HANDLE progress, BOOL file_dates) {
  std::u16string_view path_text = quenvar::platform::Utf16View(path);
  if (path_text.empty()) return disc.Fail(QD_E_INVALID_ARGUMENT);
  if (HasBadLocalCharacter(path_text)) return disc.Fail(QD_E_BAD_CHARACTER);
  if (!disc.first_root()) return disc.Fail(QD_E_NOT_FOUND);
  if (progress) {
    std::shared_ptr<ProgressRecord> record = ProgressRecord::FromHandle(progress);
    if (!record) return disc.Fail(QD_E_INVALID_HANDLE);
    if (quillden::ProgressBusy(record->status.load())) return disc.Fail(QD_E_BUSY);
  }

  // The whole layout is planned before the image file is touched, so a tree that cannot be
  // written leaves an existing file of that name as it was.
  auto job = std::make_shared<ImageJob>();
  job->disc = shared;
  job->env = quillden::DatadiskEnv();
  job->file_dates = file_dates != 0;
  job->allow_kernel_copy = g_allow_kernel_copy.load();
  job->path = quenvar::platform::Utf16ToUtf8(path_text);
  // An image behind an imported session is that disc's next session: it starts at N, so its block
  // numbers are those of the disc, and it holds the header at its own start.
  SessionPlacement placement;
  uint32_t result = PlaceSession(disc, 0, &placement);
  if (result == QD_OK) result = PlanPlacedSession(disc, placement, false, &job->layout);
  if (result != QD_OK) return disc.Fail(result);

  if (!job->env->OpenWritable(job->path, quenvar::platform::WriteMode::kCreateOrTruncate, &job->out)
           .ok()) {
    return disc.Fail(QD_E_FILE_OPEN);
  }
  uint32_t total = std::max(job->layout.end(), job->layout.total());
  result = quillden::RunOperation(
      progress, PRG_PHASE_WRITING_IMAGE, total,
      [job](const quillden::ProgressReporter& reporter) { return RunImageJob(*job, reporter); });
  if (result != QD_OK && progress) {
    // The worker never started: the file it would have written goes again.
    job->out.reset();
    job->env->RemoveFile(job->path);
    disc.Fail(result);
  }
  return result;
}

}  // namespace

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_CreateISOImage(const WCHAR* path, HANDLE handle,
                                                        HANDLE progress, BOOL file_dates) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  try {
    return CreateIsoImage(path, *disc, disc, progress, file_dates);
  } catch (const std::bad_alloc&) {
    return disc->Fail(QD_E_OUT_OF_MEMORY);
  }
}
