// AUD_WriteAudiodisk: recording the tracks of an audio disc object, track at once through the
// recorder, or session at once with a cue sheet and, when there is CD-Text, its packs in the lead-in.
#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "audio/audio_disc.h"
#include "audio/wave_file.h"
#include "drive/driver_control.h"
#include "drive/drive_handle.h"
#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/recording/close_wait.h"
#include "drive/recording/recorder.h"
#include "drive/recording/ring_writer.h"
#include "drive/recording/write_parameters.h"
#include "platform/env.h"
#include "platform/unicode.h"
#include "progress/progress_record.h"
#include "quillden/audio.h"
#include "quillden/drive.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::audio {
namespace {

using quenvar::platform::ReadableFile;
namespace rec = quillden::recording;

constexpr uint32_t kPregapBlocks = 150;
constexpr uint32_t kLeadInBlocksPerWrite = 32;
constexpr uint32_t kPregapBlocksPerWrite = 16;
constexpr uint32_t kFeedSectors = 16;  // sectors read from a track file at a time
// Words of the session/track block.
constexpr int kSessionWord = 0;
constexpr int kTrackWord = 1;
constexpr int kWrittenWord = 2;
constexpr int kSessionCountWord = 3;
constexpr int kTrackCountWord = 4;
constexpr int kTotalSectorsWord = 5;

// What the worker records: a copy, so the caller may destroy the object meanwhile.
struct WriteJob {
  std::shared_ptr<AudioDisc> disc;  // only for reporting the error file
  HANDLE drive = nullptr;
  uint32_t write_mode = 0;
  uint16_t profile = 0;
  uint32_t start = 0;
  bool blank = false;
  uint8_t first_track = 1;
  std::vector<AudioTrack> tracks;
  std::vector<Pack> packs;  // CD-Text for the lead-in (session at once only)
};

// Streams one track's samples into write: whole sectors, the last one padded with zeros, then
// silence up to the track's sector count.
template <typename WriteFn, typename ZerosFn>
uint32_t FeedTrack(const WriteJob& job, size_t index, WriteFn write, ZerosFn zeros) {
  const AudioTrack& track = job.tracks[index];
  std::unique_ptr<ReadableFile> file;
  auto vanished = [&] {
    job.disc->SetErrorFile(track.path, static_cast<uint16_t>(index + 1));
    return QD_E_READ_FILE;
  };
  if (!AudioEnv()->OpenReadable(quenvar::platform::Utf16ToUtf8(track.path), &file).ok()) return vanished();
  std::vector<uint8_t> buffer(static_cast<size_t>(kFeedSectors) * kCdSectorBytes);
  uint64_t offset = track.data_offset;
  uint64_t left = track.data_bytes;
  uint32_t sent = 0;
  while (left > 0 && sent < track.sectors) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
    size_t got = 0;
    if (!file->ReadAt(offset, want, buffer.data(), &got).ok()) return vanished();
    if (got == 0) break;  // the file shrank: the rest of the track is silence
    offset += got;
    left -= got;
    const size_t whole = (got + kCdSectorBytes - 1) / kCdSectorBytes;
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(got),
              buffer.begin() + static_cast<std::ptrdiff_t>(whole * kCdSectorBytes), 0);
    const uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(whole), track.sectors - sent);
    const uint32_t result = write(buffer.data(), static_cast<size_t>(count) * kCdSectorBytes);
    if (result != QD_OK) return result;
    sent += count;
  }
  return sent < track.sectors ? zeros(track.sectors - sent) : QD_OK;
}

uint32_t RecordTrackAtOnce(const WriteJob& job, const ProgressReporter& progress) {
  std::unique_ptr<rec::Recorder> recorder =
      rec::Recorder::Create(job.drive, 1, static_cast<uint32_t>(job.tracks.size()), job.write_mode, progress);
  if (!recorder) return QD_E_OUT_OF_MEMORY;
  uint32_t start = job.start;
  for (size_t i = 0; i < job.tracks.size(); ++i) {
    if (progress.CancelRequested()) return QD_E_CANCELLED;
    uint32_t result =
        recorder->Open(job.profile, rec::kDataAudio, start, job.tracks[i].sectors, 0, nullptr, 0);
    if (result != QD_OK) return result;
    result = FeedTrack(
        job, i, [&](const uint8_t* data, size_t bytes) { return recorder->Write(data, bytes); },
        [&](uint32_t blocks) { return recorder->WriteZeros(blocks); });
    // A failed track is not closed: destroying the recorder ends its writer.
    if (result != QD_OK) return result;
    result = recorder->Finish(job.profile, nullptr, 0, 0, nullptr);
    if (result != QD_OK) return result;
    start = recorder->track_start() + job.tracks[i].sectors;
  }
  return QD_OK;
}

uint32_t RecordSessionAtOnce(const WriteJob& job, const ProgressReporter& progress) {
  progress.SetSessionTrack(kSessionWord, 1);
  progress.SetSessionTrack(kSessionCountWord, 1);
  progress.SetSessionTrack(kTrackCountWord, static_cast<uint32_t>(job.tracks.size()));
  std::vector<uint32_t> sectors;
  uint32_t total = 0;
  for (const AudioTrack& t : job.tracks) {
    sectors.push_back(t.sectors);
    total += t.sectors;
  }
  const bool with_text = !job.packs.empty() && job.blank;
  // A later session continues the disc's track numbers.
  const std::vector<uint8_t> sheet = BuildAudioCueSheet(job.start, sectors, with_text, job.first_track);
  rec::WritePage page;
  page.write_type = rec::kWriteTypeSessionAtOnce;
  page.multi_session = 0;
  page.track_mode = 0;
  page.data_block_type = 0;
  uint32_t result = rec::SelectWritePage(job.drive, page);
  if (result == QD_OK) result = drive::SendCueSheet(job.drive, sheet.data(), static_cast<uint32_t>(sheet.size()));
  if (result == QD_OK) result = drive::SetCdSpeed(job.drive, 0xFFFF, 0xFFFF);
  if (result == QD_OK && with_text) result = WriteCdTextLeadIn(job.drive, job.packs, job.start, progress);
  if (result != QD_OK) return result;
  // The first track's pregap.
  std::vector<uint8_t> zeros(static_cast<size_t>(kPregapBlocksPerWrite) * kCdSectorBytes, 0);
  for (uint32_t done = 0; done < kPregapBlocks; done += kPregapBlocksPerWrite) {
    const uint32_t count = std::min(kPregapBlocksPerWrite, kPregapBlocks - done);
    result = drive::Write10(job.drive, job.start - kPregapBlocks + done, static_cast<uint16_t>(count), zeros.data(),
                            count * kCdSectorBytes, &progress);
    if (result != QD_OK) return result;
  }
  progress.BeginPhase(PRG_PHASE_WRITING, total);
  rec::RingWriterOptions options;
  options.drive = job.drive;
  options.block_size = kCdSectorBytes;
  options.start_lba = job.start;
  options.progress = progress;
  std::unique_ptr<rec::RingWriter> writer = rec::RingWriter::Start(options, &result);
  if (!writer) return result;
  for (size_t i = 0; i < job.tracks.size() && result == QD_OK; ++i) {
    progress.SetSessionTrack(kTrackWord, static_cast<uint32_t>(i + 1));
    result = FeedTrack(
        job, i, [&](const uint8_t* data, size_t bytes) { return writer->Write(data, bytes); },
        [&](uint32_t blocks) { return writer->WriteZeros(blocks); });
  }
  const uint32_t ended = writer->End();
  progress.AddSessionTrack(kWrittenWord, static_cast<uint32_t>(writer->blocks_done()));
  if (result != QD_OK) return result;
  if (ended != QD_OK) return ended;
  // The drive writes lead-in and lead-out itself once the last block is flushed.
  return rec::SynchronizeCacheWait(job.drive, progress);
}

uint32_t StartWrite(const std::shared_ptr<AudioDisc>& disc, uint32_t write_mode, HANDLE progress) {
  if (write_mode < 1 || write_mode > 3) return QD_E_INVALID_ARGUMENT;
  if (progress != nullptr) {
    std::shared_ptr<ProgressRecord> record = ProgressRecord::FromHandle(progress);
    if (!record) return QD_E_INVALID_HANDLE;
    if (quillden::ProgressBusy(record->status.load())) return QD_E_BUSY;
  }
  auto job = std::make_shared<WriteJob>();
  job->disc = disc;
  job->drive = disc->drive;
  job->write_mode = write_mode;
  job->tracks = disc->tracks;
  for (size_t i = 0; i < job->tracks.size(); ++i) {
    std::unique_ptr<ReadableFile> file;
    if (!AudioEnv()->OpenReadable(quenvar::platform::Utf16ToUtf8(job->tracks[i].path), &file).ok()) {
      disc->SetErrorFile(job->tracks[i].path, static_cast<uint16_t>(i + 1));
      return QD_E_READ_FILE;
    }
  }
  uint64_t total = 0;
  for (const AudioTrack& t : job->tracks) total += t.sectors;
  if (write_mode == rec::kWriteDiscAtOnce && disc->BlockCount() > 0 &&
      !EncodeAll(disc->cd_text, static_cast<uint8_t>(job->tracks.size()), &job->packs)) {
    return QD_E_INVALID_ARGUMENT;  // a block of more than 255 packs
  }
  _MEDIAINFORMATION info{};
  uint32_t result = DRV_GetMediaInformation(job->drive, &info);
  if (result != QD_OK) return result;
  if ((info.dwMedia & (MEDIA_CDR | MEDIA_CDRW)) == 0) return QD_E_MEDIA_UNSUPPORTED;
  if (info.dwStatus == MEDIA_STATUS_CLOSED) return QD_E_MEDIA_NOT_WRITABLE;
  if (job->tracks.empty()) return QD_E_INVALID_ARGUMENT;
  if (total > info.dwFree) return QD_E_NO_SPACE;
  job->start = info.dwNextWritable;
  job->blank = info.dwStatus == MEDIA_STATUS_BLANK;
  job->profile = drive::CurrentProfile(job->drive);
  if (!job->blank) {
    const WORD last = DRV_GetLastTrack(job->drive);
    if (last + job->tracks.size() > kMaxTracks) return QD_E_TOO_MANY_TRACKS;
    job->first_track = static_cast<uint8_t>(last + 1);
  }
  return RunOperation(progress, PRG_PHASE_WRITING, static_cast<uint32_t>(total),
                      [job, total](const ProgressReporter& reporter) -> uint32_t {
                        // Cancelled before the worker ran: nothing reaches the disc.
                        if (reporter.CancelRequested()) return QD_E_CANCELLED;
                        try {
                          drive::NotifyRecordingStart(drive::DriveNumberOf(job->drive));
                          reporter.SetSessionTrack(kTotalSectorsWord, static_cast<uint32_t>(total));
                          return job->write_mode == rec::kWriteDiscAtOnce ? RecordSessionAtOnce(*job, reporter)
                                                                          : RecordTrackAtOnce(*job, reporter);
                        } catch (const std::bad_alloc&) {
                          return QD_E_OUT_OF_MEMORY;
                        }
                      });
}

}  // namespace

uint32_t WriteCdTextLeadIn(HANDLE drive, const std::vector<Pack>& packs, uint32_t start,
                           const ProgressReporter& progress) {
  if (packs.empty()) return QD_OK;
  drive::DiscInformation info;
  uint32_t result = drive::ReadDiscInformation(drive, &info);
  if (result != QD_OK) return result;
  const uint32_t msf = info.last_session_lead_in;
  const int64_t lead_in =
      (static_cast<int64_t>((msf >> 16) & 0xFF) * 60 + ((msf >> 8) & 0xFF)) * 75 + (msf & 0xFF) - 450150;
  const int64_t end = static_cast<int64_t>(start) - kPregapBlocks;
  std::vector<uint8_t> buffer(kLeadInBlocksPerWrite * kSubchannelBlockBytes);
  size_t next_pack = 0;
  for (int64_t lba = lead_in; lba < end;) {
    const uint32_t count = static_cast<uint32_t>(std::min<int64_t>(kLeadInBlocksPerWrite, end - lba));
    for (uint32_t b = 0; b < count; ++b) {
      PacksToSubchannel(packs, next_pack, buffer.data() + b * kSubchannelBlockBytes);
      next_pack = (next_pack + 4) % packs.size();
    }
    result = drive::Write10(drive, static_cast<uint32_t>(lba), static_cast<uint16_t>(count), buffer.data(),
                            count * static_cast<uint32_t>(kSubchannelBlockBytes), &progress);
    if (result != QD_OK) return result;
    lba += count;
  }
  return QD_OK;
}

}  // namespace quillden::audio

QUILLDEN_EXTERN_C QUILLDEN_API DWORD AUD_WriteAudiodisk(HANDLE audiodisk, DWORD writeMode, HANDLE progress) {
  std::shared_ptr<quillden::audio::AudioDisc> disc = quillden::audio::AudioDisc::FromHandle(audiodisk);
  if (!disc) return QD_E_INVALID_HANDLE;
  try {
    return quillden::audio::StartWrite(disc, writeMode, progress);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}
