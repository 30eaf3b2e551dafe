// The recorder: records a stream of sectors from a producer on the media in a drive, hiding how
// each kind of media is prepared, fed and closed.
//
// A job creates one Recorder, then for each track: Open (prepares the media on the job's first
// track and starts a ring writer), Write as often as needed, Finish (drains the writer, flushes,
// writes the volume header at block 0 on overwritable media and closes what the method closes).
// Progress goes through the job's progress object: phase 1 while writing, 2 while flushing, 3
// while closing; words 4 to 9 carry the session/track block.
//
// A Recorder belongs to the job's worker thread; the ring writer's own thread is hidden inside.
// Destroying a recorder ends a writer that is still open.
#ifndef QUILLDEN_DRIVE_RECORDING_RECORDER_H_
#define QUILLDEN_DRIVE_RECORDING_RECORDER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "drive/recording/ring_writer.h"
#include "progress/progress_record.h"
#include "quillden/types.h"

namespace quillden::recording {

// Write modes a job asks for.
inline constexpr uint32_t kWriteLeaveOpen = 1;
inline constexpr uint32_t kWriteCloseDisc = 2;
inline constexpr uint32_t kWriteDiscAtOnce = 3;
inline constexpr uint32_t kWriteLeaveOpenSequential =
    11;  // as 1; DVD-RW sequential stays sequential
inline constexpr uint32_t kWriteCloseDiscSequential =
    12;  // as 2; DVD-RW sequential stays sequential

// Data types of a track.
inline constexpr uint32_t kDataMode1 = 1;
inline constexpr uint32_t kDataMode2 = 2;  // CD-ROM XA mode 2 form 1
inline constexpr uint32_t kDataAudio = 3;

// How a track of the open job is recorded (decided per track when it is opened).
inline constexpr uint32_t kEffectiveIncremental =
    1;  // track at once / incremental, next session allowed
inline constexpr uint32_t kEffectiveLastTrack = 2;  // last track of a closing job
inline constexpr uint32_t kEffectiveDiscAtOnce = 3;

// What opening a DVD-R dual layer track in layer jump mode reports to the job, which re-plans its
// data around the jump when used is 1. Addresses are absolute blocks.
struct LayerJumpInfo {
  uint32_t used = 0;
  uint32_t target = 0;
  uint32_t jump_address = 0;
  uint32_t track_start = 0;
  uint32_t track_size = 0;
  uint32_t last_recorded = 0;
  uint32_t reservation = 0;
};

enum class Method {
  kCd,
  kDvdMinusR,
  kDvdMinusRwOverwrite,
  kDvdMinusRDualLayer,
  kDvdPlusRw,
  kDvdPlusR,
  kDvdPlusRDualLayer,
  kHdDvdR,
  kHdDvdRw,
  kHdDvdRDualLayer,
  kHdDvdRwDualLayer,
};

// The method for a profile, the job's start and the requested write mode; false for profiles
// that cannot be recorded.
bool SelectMethod(uint16_t profile, uint32_t start_lba, uint32_t write_mode, Method* method);

class Recorder {
 public:
  // Null when memory runs out. Stores the session and track counts in the progress object.
  static std::unique_ptr<Recorder> Create(HANDLE drive, uint32_t session_count,
                                          uint32_t track_count, uint32_t write_mode,
                                          const ProgressReporter& progress);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Opens a track of sectors blocks at start_lba. reservation (DVD-R, DVD-R dual layer) reserves
  // at least that many blocks, and on dual layer media in layer jump mode exactly that many, so
  // that a copy's track jumps where its source's did; header_sectors is the size of the volume
  // header the job writes (layer jump sizing).
  // jump may be null. 0x08000011 for a profile that cannot be recorded, else 0 or the first
  // failing command's result.
  uint32_t Open(uint16_t profile, uint32_t data_type, uint32_t start_lba, uint32_t sectors,
                uint32_t finalize_kind, LayerJumpInfo* jump, uint32_t header_sectors,
                uint32_t reservation = 0);
  // Feeds the open track (see RingWriter::Write).
  uint32_t Write(const void* data, size_t bytes);
  uint32_t WriteZeros(uint64_t blocks);
  // Lends the next blocks of the open track to be built in place (see RingWriter::Reserve).
  uint32_t Reserve(uint32_t max_blocks, uint8_t** room, uint32_t* blocks);
  uint32_t Commit(uint32_t blocks);
  // The open track takes 2048-byte blocks built in place (not mode 2 CD tracks, not audio).
  bool takes_data_blocks_in_place() const {
    return writer_ != nullptr && writer_->in_place_block_size() == 2048;
  }
  // Ends the track. header (may be null) holds header_sectors blocks that overwritable media get at
  // block 0 after the data.
  uint32_t Finish(uint16_t profile, const uint8_t* header, uint32_t header_sectors,
                  uint32_t finalize_kind, const LayerJumpInfo* jump);
  // Ends the track like Finish (drain, flush) but closes nothing: disc copies leave a track or a
  // session open where the source had it open.
  uint32_t FinishLeavingOpen();
  // Mode 2 CD tracks opened after this take whole recorded blocks (2336 or 2332 bytes, subheader
  // first) from the producer instead of 2048-byte user data: copies keep the source's subheaders.
  void set_raw_mode2_input(bool raw) { raw_mode2_input_ = raw; }
  // DVD-R dual layer tracks opened after this are recorded incrementally, in one piece that goes
  // on from layer 0 into layer 1, instead of in layer jump mode: copies of discs recorded so.
  void set_dual_layer_incremental(bool incremental) { dual_layer_incremental_ = incremental; }

  uint32_t effective_mode() const { return effective_mode_; }
  uint32_t track_start() const { return track_start_; }
  uint32_t block_size() const { return block_size_; }
  uint16_t last_track_on_disc() const { return last_track_; }

 private:
  Recorder(HANDLE drive, uint32_t session_count, uint32_t track_count, uint32_t write_mode,
           const ProgressReporter& progress);
  uint32_t EffectiveMode(Method method, uint32_t start_lba) const;
  uint32_t StartWriter(uint32_t start_lba, uint32_t end, bool pad, BlockFormat format,
                       const LayerJumpInfo* jump);
  uint32_t EndWriter();
  uint32_t OpenCd(uint32_t data_type, uint32_t start_lba, uint32_t sectors);
  uint32_t OpenDvdMinusR(uint32_t start_lba, uint32_t sectors, uint32_t reservation);
  uint32_t OpenOverwrite(Method method, uint32_t start_lba, uint32_t sectors);
  uint32_t OpenDvdPlusRw(uint32_t start_lba, uint32_t sectors);
  uint32_t OpenDvdMinusRDualLayer(uint32_t start_lba, uint32_t sectors, LayerJumpInfo* jump,
                                  uint32_t header_sectors, uint32_t reservation);
  uint32_t WriteHeader(const uint8_t* header, uint32_t header_sectors, uint32_t unit);
  uint32_t FinishMethod(const uint8_t* header, uint32_t header_sectors, uint32_t finalize_kind,
                        const LayerJumpInfo* jump);

  const HANDLE drive_;
  const uint32_t write_mode_;
  const uint32_t session_count_;
  const uint32_t track_count_;
  const ProgressReporter progress_;
  uint16_t last_track_ = 0;
  uint16_t last_session_ = 0;
  uint32_t sessions_opened_ = 0;
  uint32_t tracks_opened_ = 0;
  uint32_t effective_mode_ = 0;
  uint32_t job_start_ = 0;
  uint32_t track_start_ = 0;
  uint32_t track_length_ = 0;
  uint32_t block_size_ = 2048;
  uint32_t data_type_ = kDataMode1;
  bool session_at_once_ = false;
  bool raw_mode2_input_ = false;
  bool dual_layer_incremental_ = false;
  Method method_ = Method::kCd;
  uint32_t layer0_capacity_ = 0;
  std::unique_ptr<RingWriter> writer_;
};

// The operations under the names the jobs use.
std::unique_ptr<Recorder> CreateRecorder(HANDLE drive, uint32_t session_count, uint32_t track_count,
                                         uint32_t write_mode, const ProgressReporter& progress);
uint32_t OpenRecording(Recorder& recorder, uint16_t profile, uint32_t data_type, uint32_t start_lba,
                       uint32_t sectors, uint32_t finalize_kind, LayerJumpInfo* jump,
                       uint32_t header_sectors);
uint32_t WriteRecordingData(Recorder& recorder, const void* data, size_t bytes);
uint32_t FinishRecording(Recorder& recorder, uint16_t profile, const uint8_t* header,
                         uint32_t header_sectors, uint32_t finalize_kind,
                         const LayerJumpInfo* jump);
void DestroyRecorder(std::unique_ptr<Recorder> recorder);

}  // namespace quillden::recording

#endif  // QUILLDEN_DRIVE_RECORDING_RECORDER_H_
