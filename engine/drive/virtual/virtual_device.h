// The MMC model behind every VirtualRecorder of one backing file (see virtual_recorder.h).
//
// Thread-safe: each public call takes the device mutex.
#ifndef QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_DEVICE_H_
#define QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_DEVICE_H_

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "drive/virtual/media_state.h"
#include "drive/virtual/virtual_recorder.h"
#include "platform/env.h"

namespace quillden::drive::virt {

class VirtualDevice {
 public:
  // The shared device of backing_path, created and loaded (or seeded with media_kind) on first
  // use. Null with *error when the files cannot be used.
  // model (may be null: the default drive) declares the drive when this call creates the device.
  static std::shared_ptr<VirtualDevice> Acquire(const std::string& backing_path,
                                                const std::string& media_kind,
                                                quenvar::platform::Env* env, std::string* error,
                                                const VirtualDriveModel* model = nullptr);
  ~VirtualDevice();
  VirtualDevice(const VirtualDevice&) = delete;
  VirtualDevice& operator=(const VirtualDevice&) = delete;

  bool Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
               uint32_t* bytes_returned);

  // Ownership across processes, kept as open file description locks on the backing file, which
  // the kernel drops when the holding process ends however it ends. Claim takes the drive for
  // holder's job alone (0, EBUSY while another transport here or another process holds it, or an
  // errno); it also drops the blocks a job that died left behind the recorded area. Release ends
  // holder's claim; a transport releases when it closes.
  int Claim(const void* holder);
  void Release(const void* holder);

  // Faults (see VirtualRecorder).
  void InjectSense(uint8_t opcode, uint32_t nth, uint8_t key, uint8_t asc, uint8_t ascq,
                   uint32_t repeat);
  void SetNotReadyForMs(uint32_t milliseconds);
  void SetNotReadyForCommands(uint32_t commands);
  void PressEjectButton();
  void RemoveMedium();
  void CorruptNextData(uint8_t opcode, uint32_t nth, const DataCorruption& corruption);
  void ClearFaults();
  uint32_t CommandCount(uint8_t opcode) const;

  // Administration (quillden virtual): replace the medium, move the tray, describe.
  bool ReplaceMedium(const MediaState& medium, std::string* error);
  bool SetTray(bool open, bool force, std::string* error);
  bool ReplaceTiming(const Timing& timing, std::string* error);
  MediaState Snapshot();

 // One command's CDB and answer (device_internal.h).
  struct Answer;
  struct Cdb;

 private:
  struct SenseFault {
    uint8_t opcode;
    uint32_t countdown;
    uint8_t key, asc, ascq;
    uint32_t repeat;
  };
  struct DataFault {
    uint8_t opcode;
    uint32_t countdown;
    DataCorruption corruption;
  };
  struct CueEntry {
    uint8_t control_adr, track, index, data_form;
    int64_t lba;
  };
  enum class Busy { kNone, kBlank, kFormat, kClose, kFlush };

  VirtualDevice(std::string backing_path, quenvar::platform::Env* env);
  bool Load(const std::string& media_kind, std::string* error);
  void ReloadIfChanged();
  bool SaveLocked(std::string* error);
  bool OpenFiles(std::string* error);
  void TruncateData();
  void DropStaleBlocks();
  // The tray lock as it stands: a lock whose process ended without unlocking is gone, as a drive
  // unlocks when its last handle closes.
  bool RemovalPrevented();
  void HoldRemovalLock(bool prevent);
  // The profile the declared drive reports for the medium in the tray: 0 when it has none or
  // cannot use the one it has.
  uint16_t ReportedProfile() const;
  // The answer of a declared drive that cannot do what opcode asks with this medium; false when
  // the command goes on.
  bool RefusedByDrive(uint8_t opcode, Answer* answer) const;

  bool PassThrough(uint8_t* record, uint32_t in_size, uint32_t out_size, uint32_t* returned);
  Answer Execute(const Cdb& cdb, uint8_t* data, uint32_t length);
  uint64_t Now();
  bool BusyNow(uint16_t* progress);
  void StartBusy(Busy kind, uint32_t duration_ms);
  void QueueMediaEvent(uint8_t code);

  // Commands (virtual_device.cc: information; virtual_device_write.cc: recording).
  Answer Inquiry(const Cdb& c, uint8_t* d, uint32_t n);
  Answer TestUnitReady();
  Answer GetConfiguration(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ModeSense(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ModeSelect(const Cdb& c, const uint8_t* d, uint32_t n);
  Answer ReadDiscInformation(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ReadTrackInformation(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ReadToc(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ReadCapacity(uint8_t* d, uint32_t n);
  Answer ReadFormatCapacities(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ReadDiscStructure(const Cdb& c, uint8_t* d, uint32_t n);
  Answer Read10(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ReadCd(const Cdb& c, uint8_t* d, uint32_t n);
  Answer StartStopUnit(const Cdb& c);
  Answer PreventAllow(const Cdb& c);
  Answer GetEventStatus(const Cdb& c, uint8_t* d, uint32_t n);
  Answer GetPerformance(const Cdb& c, uint8_t* d, uint32_t n);
  Answer Write10(const Cdb& c, const uint8_t* d, uint32_t n);
  Answer ReserveTrack(const Cdb& c);
  Answer CloseTrackSession(const Cdb& c);
  Answer FormatUnit(const Cdb& c, const uint8_t* d, uint32_t n);
  Answer Blank(const Cdb& c);
  Answer SynchronizeCache(const Cdb& c);
  Answer SendCueSheet(const Cdb& c, const uint8_t* d, uint32_t n);
  Answer SendDiscStructure(const Cdb& c, const uint8_t* d, uint32_t n);

  // The medium as MMC describes it.
  uint32_t OpenSession() const;
  bool HasInvisibleTrack() const;
  int64_t NextTrackStart() const;
  TrackState* OpenEndedTrack();
  uint32_t TrackExtent(const TrackState& t) const;
  // Layer jump recording: the block of layer 1 at the radius of block lba of layer 0 (opposite
  // track path), the address of the kth block of a track, and the reverse.
  int64_t Opposite(int64_t lba) const { return 2 * int64_t{state_.layer0_capacity} - 1 - lba; }
  int64_t TrackBlockLba(const TrackState& t, uint32_t k) const;
  bool TrackBlockIndex(const TrackState& t, int64_t lba, int64_t* k) const;
  bool HasLayerJumpTracks() const;
  bool LayerJumpWriting() const;
  // The first block above the room left for new tracks.
  int64_t FreeEnd() const;
  uint32_t SessionCount() const;
  uint8_t DiscStatus() const;
  bool TrackForLba(int64_t lba, TrackState* out, bool* invisible) const;
  void FillTrackInfo(const TrackState& t, bool invisible, uint8_t* r) const;
  TrackState InvisibleTrack() const;
  int64_t SessionLeadInStart() const;
  bool CloseTrack(TrackState* t);
  Answer CloseSession(bool finalize);
  uint32_t WriteBlockSize() const;
  TrackMode WriteTrackMode() const;
  bool ReadUserBlocks(int64_t lba, uint32_t count, uint8_t* out, Answer* failure);
  bool ReadRawSector(int64_t lba, uint8_t* sector, TrackMode* mode, Answer* failure);
  bool StoreBlocks(int64_t lba, uint32_t count, uint32_t block_size, TrackMode mode,
                   const uint8_t* data);
  Answer WriteSao(int64_t lba, uint32_t count, const uint8_t* data, uint32_t n);
  void KeepLeadInPacks(const uint8_t* subchannel);

  const std::string backing_path_;
  quenvar::platform::Env* const env_;
  mutable std::mutex mu_;
  MediaState state_;
  bool dirty_ = false;
  uint64_t state_stamp_size_ = 0;
  uint64_t state_stamp_time_ = 0;
  std::unique_ptr<quenvar::platform::WritableFile> data_writer_;
  std::unique_ptr<quenvar::platform::ReadableFile> data_reader_;
  std::unique_ptr<quenvar::platform::WritableFile> raw_writer_;
  std::unique_ptr<quenvar::platform::ReadableFile> raw_reader_;
  std::unique_ptr<quenvar::platform::ReadableFile> image_reader_;
  std::array<uint8_t, 52> write_page_{};
  Busy busy_ = Busy::kNone;
  uint64_t busy_start_ms_ = 0;
  uint32_t busy_duration_ms_ = 0;
  std::deque<uint8_t> media_events_;
  bool sao_active_ = false;
  std::vector<CueEntry> cue_;
  int64_t sao_next_lba_ = 0;
  int64_t sao_leadout_ = 0;
  std::vector<bool> lead_in_packs_seen_;  // by block number << 8 | sequence number
  char drive_letter_ = 0;
  bool catch_eject_ = false;
  bool eject_flag_ = false;
  std::vector<SenseFault> sense_faults_;
  std::vector<DataFault> data_faults_;
  uint64_t not_ready_until_ms_ = 0;
  uint32_t not_ready_commands_ = 0;
  std::array<uint32_t, 256> command_counts_{};
  VirtualDriveModel model_;
  const void* claim_holder_ = nullptr;
  int claim_fd_ = -1;
  int prevent_fd_ = -1;
};

}  // namespace quillden::drive::virt

#endif  // QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_DEVICE_H_
