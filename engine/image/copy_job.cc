#include "image/copy_job.h"

#include <algorithm>
#include <vector>

#include "audio/audio_disc.h"
#include "audio/cd_text.h"
#include "drive/drive_handle.h"
#include "drive/driver_control.h"
#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "drive/profiles.h"
#include "drive/recording/close_wait.h"
#include "drive/recording/recorder.h"
#include "drive/recording/ring_writer.h"
#include "drive/recording/write_parameters.h"
#include "image/copy_status.h"
#include "image/disc_description.h"
#include "image/layout_check.h"
#include "quillden/drive.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::image {

namespace mmc = drive::mmc;
namespace {

namespace rec = quillden::recording;

constexpr uint32_t kPregapBlocks = 150;
constexpr uint8_t kCloseTrack = 1;
constexpr uint32_t kRunOutBlocks = 2;

bool IsOverwriteMethod(rec::Method method) {
  return method == rec::Method::kDvdPlusRw || method == rec::Method::kDvdMinusRwOverwrite ||
         method == rec::Method::kHdDvdRw || method == rec::Method::kHdDvdRwDualLayer;
}

// The tracks of the first list grouped by session, in list order.
std::vector<std::vector<const TrackEntry*>> Sessions(const ImageDescription& description) {
  std::vector<std::vector<const TrackEntry*>> sessions;
  for (const TrackEntry& track : description.tracks) {
    if (sessions.empty() || sessions.back().front()->session_number != track.session_number)
      sessions.emplace_back();
    sessions.back().push_back(&track);
  }
  return sessions;
}

// Where the drive will put the next track: the invisible track's next writable address.
uint32_t NextWritable(HANDLE drive, uint32_t fallback) {
  drive::TrackInformation invisible;
  if (drive::ReadTrackInformation(drive, mmc::kTrackAddressTrack, mmc::kInvisibleTrack,
                                  &invisible) == QD_OK &&
      invisible.nwa_valid) {
    return invisible.next_writable;
  }
  return fallback;
}

// The write mode the recorder is given for one session of the copy: earlier sessions stay open
// for the next; disc at once records a blank disc in one pass, so a later session is closed as a
// closing job closes it; DVD-RW copies that reproduce a sequential disc keep the media sequential
// in every session (the first session must not format it for restricted overwrite).
uint32_t SessionWriteMode(const CopyJob& job, bool first_session, bool last_session, int kind) {
  uint32_t mode = last_session ? job.write_mode : rec::kWriteLeaveOpen;
  if (mode == rec::kWriteDiscAtOnce && !first_session) mode = rec::kWriteCloseDisc;
  if (job.target_profile == mmc::kProfileDvdMinusRwSequential &&
      (kind == kSourceDvdMinusRMulti || job.write_mode != rec::kWriteLeaveOpen)) {
    mode = mode == rec::kWriteLeaveOpen ? rec::kWriteLeaveOpenSequential
                                        : rec::kWriteCloseDiscSequential;
  }
  return mode;
}

uint32_t RecordSessionTrackByTrack(CopyJob& job, const std::vector<const TrackEntry*>& tracks,
                                   bool first_session, bool last_session, int kind,
                                   const ProgressReporter& progress) {
  const uint32_t mode = SessionWriteMode(job, first_session, last_session, kind);
  // An earlier session may have formatted a DVD-RW for restricted overwrite: later tracks are
  // recorded as the media now is.
  const uint16_t profile = drive::CurrentProfile(job.target);
  const uint16_t target_profile = profile != 0 ? profile : job.target_profile;
  // Only the end of the copy finalizes the disc (the finalize kind can close a DVD+R DL for good).
  const uint32_t finalize_kind = last_session ? job.finalize_kind : 0;
  std::unique_ptr<rec::Recorder> recorder =
      rec::CreateRecorder(job.target, 1, static_cast<uint32_t>(tracks.size()), mode, progress);
  if (!recorder) return QD_E_OUT_OF_MEMORY;
  const bool incomplete = last_session && (job.description.flags & kFlagIncompleteSession) != 0;
  for (size_t i = 0; i < tracks.size(); ++i) {
    const TrackEntry& track = *tracks[i];
    rec::Method method = rec::Method::kCd;
    rec::SelectMethod(target_profile, 0, mode, &method);
    const uint32_t start =
        IsOverwriteMethod(method) ? track.start : NextWritable(job.target, track.start);
    recorder->set_raw_mode2_input(track.bytes_per_sector == kRawSectorSize);
    // A dual layer source recorded track by track without layer jumps is copied the same way;
    // a layer jump track is reserved as large as its source's, so that the drive places the jump
    // (and with it every later track) where the source had it.
    const bool layer_jump = track.layer_jump_status != 0;
    recorder->set_dual_layer_incremental(kind == kSourceDvdMinusRDlMulti && !layer_jump);
    const uint32_t reservation = layer_jump ? track.layer_jump[2] : track.reported_size;
    rec::LayerJumpInfo jump;
    uint32_t result = recorder->Open(target_profile, track.mode, start, track.sector_count,
                                     finalize_kind, &jump, 0, reservation);
    if (result != QD_OK) {
      const bool minus_r_source = IsDvdMinusRType(job.description.profile) &&
                                  job.description.profile != mmc::kProfileDvdMinusRwOverwrite;
      return job.target_profile == mmc::kProfileDvdMinusRwSequential && minus_r_source
                 ? QD_E_CANNOT_COPY_HERE
                 : result;
    }
    const uint32_t opened_at = recorder->track_start();
    const bool mode2_built =
        track.mode == kModeData2 && track.bytes_per_sector == kCookedSectorSize;
    const uint32_t block =
        track.mode == kModeData2 && !mode2_built ? recorder->block_size() : track.bytes_per_sector;
    result = FeedTrack(
        *job.source, track, block,
        [&](const uint8_t* data, size_t bytes) { return recorder->Write(data, bytes); }, progress);
    // A track reserved larger than its data (layer jump) is filled up with zeros.
    if (result == QD_OK && jump.used == 1 && jump.reservation > track.sector_count) {
      result = recorder->WriteZeros(jump.reservation - track.sector_count);
    }
    if (result != QD_OK) return result;  // the recorder's end stops its writer
    const bool track_open = (track.flags & 1) != 0;
    const bool session_stays_open = incomplete && i + 1 == tracks.size();
    if (!track_open && !session_stays_open) {
      result = recorder->Finish(target_profile, nullptr, 0, finalize_kind, &jump);
    } else {
      result = recorder->FinishLeavingOpen();
      if (result == QD_OK && !track_open) {
        // The track closes; its session stays open as it was on the source.
        drive::TrackInformation written;
        result = drive::ReadTrackInformation(job.target, 0, opened_at, &written);
        if (result == QD_OK)
          result = rec::CloseWithFunction(job.target, progress, kCloseTrack, written.track);
      }
    }
    if (result != QD_OK) return result;
  }
  rec::DestroyRecorder(std::move(recorder));
  return QD_OK;
}

// Cue sheet forms of a track.
uint8_t TrackForm(const TrackEntry& t) {
  return t.mode == kModeAudio ? 0x00 : t.mode == kModeData2 ? 0x20 : 0x10;
}
uint8_t GeneratedForm(const TrackEntry& t) {
  return t.mode == kModeAudio ? 0x01 : t.mode == kModeData2 ? 0x24 : 0x14;
}
uint8_t Control(const TrackEntry& t) {
  return t.mode == kModeAudio ? 0x01 : 0x41;
}
uint32_t HostBlockSize(const TrackEntry& t) {
  return t.mode == kModeAudio ? 2352u : t.mode == kModeData2 ? 2336u : 2048u;
}

// One 8-byte cue sheet entry; cue addresses count from the first pregap of the disc (LBA -150).
void AddCue(std::vector<uint8_t>* sheet, uint8_t control, uint8_t track, uint8_t index,
            uint8_t form, uint32_t address) {
  const uint32_t seconds = address / 75;
  sheet->insert(sheet->end(),
                {control, track, index, form, 0, static_cast<uint8_t>(seconds / 60),
                 static_cast<uint8_t>(seconds % 60), static_cast<uint8_t>(address % 75)});
}

uint32_t WriteZeroBlocks(HANDLE drive, uint32_t lba, uint32_t count, uint32_t block_size,
                         const ProgressReporter& progress) {
  std::vector<uint8_t> zeros(size_t{kSectorsPerPiece} * block_size, 0);
  for (uint32_t done = 0; done < count;) {
    const uint32_t n = std::min(kSectorsPerPiece, count - done);
    const uint32_t result = drive::Write10(drive, lba + done, static_cast<uint16_t>(n),
                                           zeros.data(), n * block_size, &progress);
    if (result != QD_OK) return result;
    done += n;
  }
  return QD_OK;
}

// A CD track recorded track at once ends in two run-out blocks that the drive counts into the
// track: the measured list holds them, the first list does not. A session recorded at once that
// another session follows must end where the source's did, or every later session (and every
// address its file system names) would move; its last track gets those blocks back as zeros.
uint32_t RunOutToKeep(const ImageDescription& description, const TrackEntry& last_track) {
  const size_t index = static_cast<size_t>(&last_track - description.tracks.data());
  if (index >= description.measured.size()) return 0;
  const uint32_t measured = description.measured[index].sector_count;
  return measured > last_track.sector_count
             ? std::min(measured - last_track.sector_count, kRunOutBlocks)
             : 0;
}

// The CD-Text packs of the source's lead-in, whole packs only.
std::vector<audio::Pack> LeadInPacks(const std::vector<uint8_t>& text) {
  std::vector<audio::Pack> packs;
  for (size_t at = 0; at + audio::kPackBytes <= text.size(); at += audio::kPackBytes) {
    audio::Pack pack;
    std::copy_n(text.begin() + static_cast<std::ptrdiff_t>(at), audio::kPackBytes, pack.begin());
    packs.push_back(pack);
  }
  return packs;
}

// The cue sheet of a session whose tracks move by shift blocks and are numbered from
// first_number: the lead-in (with_text: its R-W data comes from the host), INDEX 0 where a gap
// lies before a track, INDEX 1 of every track, and the lead-out after run_out blocks of zeros.
// *total gets the blocks of the tracks.
std::vector<uint8_t> SessionCueSheet(const std::vector<const TrackEntry*>& tracks,
                                     uint8_t first_number, int64_t shift, bool with_text,
                                     uint32_t run_out, uint64_t* total) {
  const TrackEntry& first = *tracks.front();
  const TrackEntry& last = *tracks.back();
  std::vector<uint8_t> sheet;
  // The lead-in; 0x40 asks for its R-W sub-channel data (CD-Text) from the host.
  AddCue(&sheet, Control(first), 0, 0,
         static_cast<uint8_t>(GeneratedForm(first) | (with_text ? 0x40 : 0)), 0);
  uint32_t previous_end = 0;
  *total = 0;
  for (size_t i = 0; i < tracks.size(); ++i) {
    const TrackEntry& t = *tracks[i];
    const auto start = static_cast<uint32_t>(t.start + shift);
    const uint8_t number = static_cast<uint8_t>(first_number + i);
    if (i == 0) {
      AddCue(&sheet, Control(t), number, 0, TrackForm(t), start);
    } else if (start != previous_end) {
      AddCue(&sheet, Control(t), number, 0, TrackForm(t), previous_end + kPregapBlocks);
    }
    AddCue(&sheet, Control(t), number, 1, TrackForm(t), start + kPregapBlocks);
    previous_end = start + t.sector_count;
    *total += t.sector_count;
  }
  AddCue(&sheet, Control(last), 0xAA, 1, GeneratedForm(last),
         previous_end + run_out + kPregapBlocks);
  return sheet;
}

// Sends track t of the source to the target from block start through a ring writer; mode 2
// tracks read as 2048-byte blocks are built into mode 2 blocks on the way.
uint32_t WriteSessionTrack(CopyJob& job, const TrackEntry& t, uint32_t start,
                           const ProgressReporter& progress) {
  const bool build_mode2 = t.mode == kModeData2 && t.bytes_per_sector == kCookedSectorSize;
  rec::RingWriterOptions options;
  options.drive = job.target;
  options.block_size = HostBlockSize(t);
  options.format = build_mode2 ? rec::BlockFormat::kMode2 : rec::BlockFormat::kPlain;
  options.start_lba = start;
  options.progress = progress;
  uint32_t result = QD_OK;
  std::unique_ptr<rec::RingWriter> writer = rec::RingWriter::Start(options, &result);
  if (!writer) return result;
  const uint32_t feed_block = build_mode2            ? kCookedSectorSize
                              : t.mode == kModeData2 ? 2336u
                                                     : t.bytes_per_sector;
  result = FeedTrack(
      *job.source, t, feed_block,
      [&](const uint8_t* data, size_t bytes) { return writer->Write(data, bytes); }, progress);
  const uint32_t ended = writer->End();
  progress.AddSessionTrack(2, static_cast<uint32_t>(writer->blocks_done()));
  if (result == QD_OK) result = ended;
  return result;
}

// One session of a CD recorded at once: tracks at the source's distances from the session start,
// INDEX 0 entries for the gaps between them, CD-Text in the lead-in of the first session.
uint32_t RecordCdSessionAtOnce(CopyJob& job, const std::vector<const TrackEntry*>& tracks,
                               bool last_session, bool first_session,
                               const ProgressReporter& progress) {
  _MEDIAINFORMATION media{};
  uint32_t result = DRV_GetMediaInformation(job.target, &media);
  if (result != QD_OK) return result;
  const uint32_t session_start = media.dwNextWritable;
  const int64_t shift = int64_t{session_start} - tracks.front()->start;

  std::vector<audio::Pack> packs;
  if (first_session && media.dwStatus == MEDIA_STATUS_BLANK)
    packs = LeadInPacks(job.description.cd_text);
  const TrackEntry& first = *tracks.front();
  const TrackEntry& last = *tracks.back();
  const uint8_t first_number = static_cast<uint8_t>(DRV_GetLastTrack(job.target) + 1);
  const uint32_t run_out = last_session ? 0 : RunOutToKeep(job.description, last);
  uint64_t total = 0;
  const std::vector<uint8_t> sheet =
      SessionCueSheet(tracks, first_number, shift, !packs.empty(), run_out, &total);

  rec::WritePage page;
  page.write_type = rec::kWriteTypeSessionAtOnce;
  page.multi_session = last_session ? 0 : 3;
  page.track_mode = first.mode == kModeAudio ? 0 : 4;
  page.data_block_type = first.mode == kModeAudio ? 0 : first.mode == kModeData2 ? 9 : 8;
  page.session_format = first.mode == kModeData2 ? 0x20 : 0;
  result = rec::SelectWritePage(job.target, page);
  if (result == QD_OK)
    result = drive::SendCueSheet(job.target, sheet.data(), static_cast<uint32_t>(sheet.size()));
  if (result == QD_OK) result = drive::SetCdSpeed(job.target, 0xFFFF, 0xFFFF);
  if (result == QD_OK && !packs.empty())
    result = audio::WriteCdTextLeadIn(job.target, packs, session_start, progress);
  if (result == QD_OK) {
    result = WriteZeroBlocks(job.target, session_start - kPregapBlocks, kPregapBlocks,
                             HostBlockSize(first), progress);
  }
  if (result != QD_OK) return result;
  progress.BeginPhase(PRG_PHASE_WRITING, static_cast<uint32_t>(total));
  uint32_t previous_end = session_start;
  for (size_t i = 0; i < tracks.size(); ++i) {
    const TrackEntry& t = *tracks[i];
    const auto start = static_cast<uint32_t>(t.start + shift);
    progress.SetSessionTrack(1, static_cast<uint32_t>(i + 1));
    if (start > previous_end) {
      // The gap between two tracks of the source is kept, as zeros.
      result = WriteZeroBlocks(job.target, previous_end, start - previous_end, HostBlockSize(t),
                               progress);
      if (result != QD_OK) return result;
    }
    result = WriteSessionTrack(job, t, start, progress);
    if (result != QD_OK) return result;
    previous_end = start + t.sector_count;
  }
  if (run_out > 0) {
    result = WriteZeroBlocks(job.target, previous_end, run_out, HostBlockSize(last), progress);
    if (result != QD_OK) return result;
  }
  // The drive writes the lead-in and lead-out itself once the last block is flushed.
  return rec::SynchronizeCacheWait(job.target, progress);
}

// The first list must describe a disc: tracks in ascending order that do not overlap, sessions
// that do not go back, every track inside the 32-bit block range. The image file is outside data;
// a list that breaks these rules would make the cue sheet and the gap filling run backwards.
uint32_t CheckLayout(const std::vector<TrackEntry>& tracks) {
  uint64_t previous_end = 0;
  uint16_t previous_session = 0;
  for (const TrackEntry& t : tracks) {
    const uint32_t form = CheckTrackForm(t);
    if (form != QD_OK) return form;
    const uint64_t end = uint64_t{t.start} + t.sector_count;
    if (end > 0xFFFFFFFFull || t.start < previous_end || t.session_number < previous_session) {
      return QD_E_WRONG_FORM;
    }
    previous_end = end;
    previous_session = t.session_number;
  }
  return QD_OK;
}

// A track the source recorded with a layer jump is copied onto the same places: its layer 0 part
// must lie inside the target's layer 0 (READ DISC STRUCTURE format 0x20), or the target cannot
// reproduce it and the copy is refused before the blank is touched.
uint32_t CheckLayerJumps(HANDLE target, const std::vector<TrackEntry>& tracks) {
  uint32_t layer0 = 0;
  for (const TrackEntry& t : tracks) {
    if (t.layer_jump_status == 0) continue;
    if (layer0 == 0) {
      uint8_t boundary[12] = {};
      if (drive::ReadDiscStructure(target, drive::mmc::kStructureLayerBoundary, boundary,
                                   sizeof(boundary)) != QD_OK)
        return QD_E_MEDIA_UNSUPPORTED;
      layer0 = GetBe32(boundary + 8);
    }
    const uint32_t jump = t.layer_jump[0];
    const uint64_t reserved = t.layer_jump[2];
    if (jump >= layer0 || uint64_t{t.start} + (reserved + 1) / 2 > layer0)
      return QD_E_MEDIA_UNSUPPORTED;
  }
  return QD_OK;
}

// Blocks a CD recorded session at once takes: each session from its first track's start to its
// last track's end, gaps included, and the run-out kept before a following session.
uint64_t SpanOfSessions(const ImageDescription& description) {
  uint64_t blocks = 0;
  const std::vector<std::vector<const TrackEntry*>> sessions = Sessions(description);
  for (size_t s = 0; s < sessions.size(); ++s) {
    const std::vector<const TrackEntry*>& session = sessions[s];
    blocks +=
        uint64_t{session.back()->start} + session.back()->sector_count - session.front()->start;
    if (s + 1 < sessions.size()) blocks += RunOutToKeep(description, *session.back());
  }
  return blocks;
}

}  // namespace

uint32_t PrepareCopy(CopyJob* job) {
  _MEDIAINFORMATION media{};
  uint32_t result = DRV_GetMediaInformation(job->target, &media);
  if (result != QD_OK) return result;
  job->target_profile = drive::CurrentProfile(job->target);
  // A closed disc reports next writable address 0 as well; it is no more blank than a used one.
  if (media.dwStatus == MEDIA_STATUS_CLOSED || media.dwNextWritable != 0 ||
      job->target_profile == mmc::kProfileDvdMinusRwOverwrite) {
    return QD_E_INVALID_SETTING;
  }
  result = CheckLayout(job->description.tracks);
  if (result != QD_OK) return result;
  const int kind =
      SourceKind(job->description.profile, job->description.flags, job->description.tracks);
  if (CopyableStatus(kind, job->target_profile, job->write_mode) == 0)
    return QD_E_MEDIA_UNSUPPORTED;
  // Audio and mode 2 blocks exist only on CD. The source kind of a DVD image does not look at
  // its tracks' modes; a track the target cannot take would fail only after the blank was used.
  if (!drive::IsCdProfile(job->target_profile)) {
    for (const TrackEntry& t : job->description.tracks) {
      if (t.mode != kModeData1) return QD_E_MEDIA_UNSUPPORTED;
    }
  }
  rec::Method method;
  if (!rec::SelectMethod(job->target_profile, 0, job->write_mode, &method))
    return QD_E_MEDIA_UNSUPPORTED;
  result = CheckLayerJumps(job->target, job->description.tracks);
  if (result != QD_OK) return result;
  const bool cd = drive::IsCdProfile(job->target_profile);
  if (cd && job->description.tracks.size() > 99) return QD_E_MEDIA_UNSUPPORTED;
  job->total_sectors = 0;
  for (const TrackEntry& t : job->description.tracks) job->total_sectors += t.sector_count;
  // Overwritable media take every track at the block it had on the source, so the last end
  // counts; a CD recorded at once reproduces the gaps between tracks.
  uint64_t needed = job->total_sectors;
  if (IsOverwriteMethod(method)) {
    for (const TrackEntry& t : job->description.tracks) {
      needed = std::max<uint64_t>(needed, uint64_t{t.start} + t.sector_count);
    }
  } else if (cd && job->write_mode == rec::kWriteDiscAtOnce) {
    needed = SpanOfSessions(job->description);
  }
  if (needed > media.dwFree) return QD_E_NO_SPACE;
  return QD_OK;
}

uint32_t RunCopy(CopyJob& job, const ProgressReporter& progress) {
  drive::NotifyRecordingStart(drive::DriveNumberOf(job.target));
  if (job.source_drive != nullptr)
    drive::NotifyRecordingStart(drive::DriveNumberOf(job.source_drive));
  const int kind =
      SourceKind(job.description.profile, job.description.flags, job.description.tracks);
  const std::vector<std::vector<const TrackEntry*>> sessions = Sessions(job.description);
  progress.SetSessionTrack(3, static_cast<uint32_t>(sessions.size()));
  progress.SetSessionTrack(5, static_cast<uint32_t>(job.total_sectors));
  const bool cd_at_once =
      drive::IsCdProfile(job.target_profile) && job.write_mode == rec::kWriteDiscAtOnce;
  for (size_t s = 0; s < sessions.size(); ++s) {
    if (progress.CancelRequested()) return QD_E_CANCELLED;
    const bool last_session = s + 1 == sessions.size();
    progress.SetSessionTrack(0,
                             static_cast<uint32_t>(s + 1));  // the session being recorded, from 1
    const uint32_t result =
        cd_at_once
            ? RecordCdSessionAtOnce(job, sessions[s], last_session, s == 0, progress)
            : RecordSessionTrackByTrack(job, sessions[s], s == 0, last_session, kind, progress);
    if (result != QD_OK) return result;
  }
  // Every command was accepted; the copy counts only when the target holds the source's sessions
  // and tracks in the states the copy meant to leave them.
  return CheckRecordedLayout(job.target, CopyLayout(job.description, job.write_mode));
}

}  // namespace quillden::image
