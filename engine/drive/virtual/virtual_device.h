// The MMC model behind every VirtualRecorder of one backing file (see virtual_recorder.h).
//
// Thread-safe: each public call takes the device mutex.
#ifndef QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_DEVICE_H_
#define QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_DEVICE_H_

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "drive/virtual/fault_injection.h"
#include "drive/virtual/media_state.h"
#include "drive/virtual/virtual_recorder.h"
#include "platform/env.h"
#include "platform/mutex.h"

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
               uint32_t* bytes_returned) EXCLUDES(mu_);

  // Ownership across processes, kept as open file description locks on the backing file, which
  // the kernel drops when the holding process ends however it ends. Claim takes the drive for
  // holder's job alone (0, EBUSY while another transport here or another process holds it, or an
  // errno); it also drops the blocks a job that died left behind the recorded area. Release ends
  // holder's claim; a transport releases when it closes.
  int Claim(const void* holder) EXCLUDES(mu_);
  void Release(const void* holder) EXCLUDES(mu_);

  // Faults (see VirtualRecorder).
  void InjectSense(uint8_t opcode, uint32_t nth, uint8_t key, uint8_t asc, uint8_t ascq,
                   uint32_t repeat) EXCLUDES(mu_);
  void SetNotReadyForMs(uint32_t milliseconds) EXCLUDES(mu_);
  void SetNotReadyForCommands(uint32_t commands) EXCLUDES(mu_);
  void PressEjectButton() EXCLUDES(mu_);
  void RemoveMedium() EXCLUDES(mu_);
  void CorruptNextData(uint8_t opcode, uint32_t nth, const DataCorruption& corruption)
      EXCLUDES(mu_);
  void ClearFaults() EXCLUDES(mu_);
  uint32_t CommandCount(uint8_t opcode) const EXCLUDES(mu_);

  // Administration (virtual_admin.h): replace the medium, move the tray, set the busy periods.
  // Each returns 0 or a result code (quillden/result.h) with *error: QD_E_BUSY while another
  // process's job holds the drive or the medium is locked in, QD_E_FILE_OPEN, QD_E_WRITE_FILE.
  uint32_t ReplaceMedium(const MediaState& medium, std::string* error) EXCLUDES(mu_);
  uint32_t SetTray(bool open, bool force, std::string* error) EXCLUDES(mu_);
  uint32_t ReplaceTiming(const Timing& timing, std::string* error) EXCLUDES(mu_);
  MediaState Snapshot() EXCLUDES(mu_);

  // One command's CDB, its answer and its entry in the command table (device_internal.h).
  struct Answer;
  struct Cdb;
  struct CommandEntry;

 private:
  struct CueEntry {
    uint8_t control_adr, track, index, data_form;
    int64_t lba;
  };
  enum class Busy { kNone, kBlank, kFormat, kClose, kFlush };

  VirtualDevice(std::string backing_path, quenvar::platform::Env* env);

  // The backing, raw and state files (device_files.cc).
  bool Load(const std::string& media_kind, std::string* error) EXCLUDES(mu_);
  void ReloadIfChanged() REQUIRES(mu_);
  bool SaveLocked(std::string* error) REQUIRES(mu_);
  bool OpenFiles(std::string* error) REQUIRES(mu_);
  void TruncateData() REQUIRES(mu_);
  void DropStaleBlocks() REQUIRES(mu_);
  // The tray lock as it stands: a lock whose process ended without unlocking is gone, as a drive
  // unlocks when its last handle closes.
  bool RemovalPrevented() REQUIRES(mu_);
  void HoldRemovalLock(bool prevent) REQUIRES(mu_);
  // Another process's job holds the drive (administration must not change the medium under it).
  bool ClaimedElsewhere() const REQUIRES(mu_);

  // The clock, busy periods and media events (virtual_device.cc).
  uint64_t Now();
  bool BusyNow(uint16_t* progress) REQUIRES(mu_);
  void StartBusy(Busy kind, uint32_t duration_ms) REQUIRES(mu_);
  void QueueMediaEvent(uint8_t code) REQUIRES(mu_);

  // The dispatcher (command_dispatch.cc): checks the pass-through record, decides what answers a
  // command before it runs (faults, busy, no medium, the declared drive), runs it through the
  // command table and writes the status back.
  static const CommandEntry* FindCommand(uint8_t opcode);
  bool PassThrough(uint8_t* record, uint32_t in_size, uint32_t out_size, uint32_t* returned)
      REQUIRES(mu_);
  bool AnsweredBeforeRunning(uint8_t opcode, uint8_t flags, Answer* answer) REQUIRES(mu_);
  // The profile the declared drive reports for the medium in the tray: 0 when it has none or
  // cannot use the one it has.
  uint16_t ReportedProfile() const REQUIRES(mu_);
  // The answer of a declared drive that cannot do what the command asks with this medium; false
  // when the command goes on.
  bool RefusedByDrive(uint8_t opcode, uint8_t flags, Answer* answer) const REQUIRES(mu_);

  // Command families. Every command has the table's signature: the CDB, and the data buffer with
  // its length (data-in: what to fill; data-out: what the host sent).
  // Identification and configuration (config_commands.cc).
  Answer Accept(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer Inquiry(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer TestUnitReady(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer GetConfiguration(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer ModeSense(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer ModeSelect(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer GetPerformance(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer SetStreaming(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  // Disc and track information (disc_info_commands.cc) and the table of contents (toc_commands.cc).
  Answer ReadDiscInformation(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer ReadTrackInformation(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer ReadCapacity(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer ReadFormatCapacities(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer ReadDiscStructure(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer ReadToc(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  // Reading (read_commands.cc).
  Answer Read10(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer ReadCd(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  bool ReadUserBlocks(int64_t lba, uint32_t count, uint8_t* out, Answer* failure) REQUIRES(mu_);
  bool ReadRawSector(int64_t lba, uint8_t* sector, TrackMode* mode, Answer* failure) REQUIRES(mu_);
  // Tray and events (tray_commands.cc).
  Answer StartStopUnit(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer PreventAllow(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer GetEventStatus(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  // Writing (write_commands.cc).
  Answer Write10(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer ReserveTrack(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer SynchronizeCache(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer SendCueSheet(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  uint32_t WriteBlockSize() const REQUIRES(mu_);
  TrackMode WriteTrackMode() const REQUIRES(mu_);
  bool LayerJumpWriting() const REQUIRES(mu_);
  bool StoreBlocks(int64_t lba, uint32_t count, uint32_t block_size, TrackMode mode,
                   const uint8_t* data) REQUIRES(mu_);
  Answer WriteSao(int64_t lba, uint32_t count, const uint8_t* data, uint32_t n) REQUIRES(mu_);
  void KeepLeadInPacks(const uint8_t* subchannel) REQUIRES(mu_);
  // Closing, formatting and blanking (close_format_commands.cc).
  Answer CloseTrackSession(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer FormatUnit(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer Blank(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer SendDiscStructure(const Cdb& c, uint8_t* d, uint32_t n) REQUIRES(mu_);
  Answer CloseSession(bool finalize) REQUIRES(mu_);
  void StopBackgroundFormat() REQUIRES(mu_);

  const std::string backing_path_;
  quenvar::platform::Env* const env_;
  // Guards the device's state below, the claim and the tray lock.
  mutable quenvar::platform::Mutex mu_;
  MediaState state_ GUARDED_BY(mu_);
  bool dirty_ GUARDED_BY(mu_) = false;
  uint64_t state_stamp_size_ GUARDED_BY(mu_) = 0;
  uint64_t state_stamp_time_ GUARDED_BY(mu_) = 0;
  std::unique_ptr<quenvar::platform::WritableFile> data_writer_ GUARDED_BY(mu_);
  std::unique_ptr<quenvar::platform::ReadableFile> data_reader_ GUARDED_BY(mu_);
  std::unique_ptr<quenvar::platform::WritableFile> raw_writer_ GUARDED_BY(mu_);
  std::unique_ptr<quenvar::platform::ReadableFile> raw_reader_ GUARDED_BY(mu_);
  std::unique_ptr<quenvar::platform::ReadableFile> image_reader_ GUARDED_BY(mu_);
  std::array<uint8_t, 52> write_page_ GUARDED_BY(mu_){};
  Busy busy_ GUARDED_BY(mu_) = Busy::kNone;
  uint64_t busy_start_ms_ GUARDED_BY(mu_) = 0;
  uint32_t busy_duration_ms_ GUARDED_BY(mu_) = 0;
  std::deque<uint8_t> media_events_ GUARDED_BY(mu_);
  bool sao_active_ GUARDED_BY(mu_) = false;
  std::vector<CueEntry> cue_ GUARDED_BY(mu_);
  int64_t sao_next_lba_ GUARDED_BY(mu_) = 0;
  int64_t sao_leadout_ GUARDED_BY(mu_) = 0;
  std::vector<bool> lead_in_packs_seen_ GUARDED_BY(mu_);  // by block number << 8 | sequence number
  char drive_letter_ GUARDED_BY(mu_) = 0;
  bool catch_eject_ GUARDED_BY(mu_) = false;
  bool eject_flag_ GUARDED_BY(mu_) = false;
  FaultInjector faults_ GUARDED_BY(mu_);
  std::array<uint32_t, 256> command_counts_ GUARDED_BY(mu_){};
  VirtualDriveModel model_ GUARDED_BY(mu_);
  const void* claim_holder_ GUARDED_BY(mu_) = nullptr;
  int claim_fd_ GUARDED_BY(mu_) = -1;
  int prevent_fd_ GUARDED_BY(mu_) = -1;
};

}  // namespace quillden::drive::virt

#endif  // QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_DEVICE_H_
