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

#include "drive/virtual/fault_injection.h"
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

  // Administration (virtual_admin.h): replace the medium, move the tray, set the busy periods.
  // Each returns 0 or a result code (quillden/result.h) with *error: QD_E_BUSY while another
  // process's job holds the drive or the medium is locked in, QD_E_FILE_OPEN, QD_E_WRITE_FILE.
  uint32_t ReplaceMedium(const MediaState& medium, std::string* error);
  uint32_t SetTray(bool open, bool force, std::string* error);
  uint32_t ReplaceTiming(const Timing& timing, std::string* error);
  MediaState Snapshot();

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
  // Another process's job holds the drive (administration must not change the medium under it).
  bool ClaimedElsewhere() const;

  // The clock, busy periods and media events (virtual_device.cc).
  uint64_t Now();
  bool BusyNow(uint16_t* progress);
  void StartBusy(Busy kind, uint32_t duration_ms);
  void QueueMediaEvent(uint8_t code);

  // The dispatcher (command_dispatch.cc): checks the pass-through record, decides what answers a
  // command before it runs (faults, busy, no medium, the declared drive), runs it through the
  // command table and writes the status back.
  static const CommandEntry* FindCommand(uint8_t opcode);
  bool PassThrough(uint8_t* record, uint32_t in_size, uint32_t out_size, uint32_t* returned);
  bool AnsweredBeforeRunning(uint8_t opcode, uint8_t flags, Answer* answer);
  // The profile the declared drive reports for the medium in the tray: 0 when it has none or
  // cannot use the one it has.
  uint16_t ReportedProfile() const;
  // The answer of a declared drive that cannot do what the command asks with this medium; false
  // when the command goes on.
  bool RefusedByDrive(uint8_t opcode, uint8_t flags, Answer* answer) const;

  // Command families. Every command has the table's signature: the CDB, and the data buffer with
  // its length (data-in: what to fill; data-out: what the host sent).
  // Identification and configuration (config_commands.cc).
  Answer Accept(const Cdb& c, uint8_t* d, uint32_t n);
  Answer Inquiry(const Cdb& c, uint8_t* d, uint32_t n);
  Answer TestUnitReady(const Cdb& c, uint8_t* d, uint32_t n);
  Answer GetConfiguration(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ModeSense(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ModeSelect(const Cdb& c, uint8_t* d, uint32_t n);
  Answer GetPerformance(const Cdb& c, uint8_t* d, uint32_t n);
  Answer SetStreaming(const Cdb& c, uint8_t* d, uint32_t n);
  // Disc and track information (disc_info_commands.cc) and the table of contents (toc_commands.cc).
  Answer ReadDiscInformation(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ReadTrackInformation(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ReadCapacity(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ReadFormatCapacities(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ReadDiscStructure(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ReadToc(const Cdb& c, uint8_t* d, uint32_t n);
  // Reading (read_commands.cc).
  Answer Read10(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ReadCd(const Cdb& c, uint8_t* d, uint32_t n);
  bool ReadUserBlocks(int64_t lba, uint32_t count, uint8_t* out, Answer* failure);
  bool ReadRawSector(int64_t lba, uint8_t* sector, TrackMode* mode, Answer* failure);
  // Tray and events (tray_commands.cc).
  Answer StartStopUnit(const Cdb& c, uint8_t* d, uint32_t n);
  Answer PreventAllow(const Cdb& c, uint8_t* d, uint32_t n);
  Answer GetEventStatus(const Cdb& c, uint8_t* d, uint32_t n);
  // Writing (write_commands.cc).
  Answer Write10(const Cdb& c, uint8_t* d, uint32_t n);
  Answer ReserveTrack(const Cdb& c, uint8_t* d, uint32_t n);
  Answer SynchronizeCache(const Cdb& c, uint8_t* d, uint32_t n);
  Answer SendCueSheet(const Cdb& c, uint8_t* d, uint32_t n);
  uint32_t WriteBlockSize() const;
  TrackMode WriteTrackMode() const;
  bool LayerJumpWriting() const;
  bool StoreBlocks(int64_t lba, uint32_t count, uint32_t block_size, TrackMode mode,
                   const uint8_t* data);
  Answer WriteSao(int64_t lba, uint32_t count, const uint8_t* data, uint32_t n);
  void KeepLeadInPacks(const uint8_t* subchannel);
  // Closing, formatting and blanking (close_format_commands.cc).
  Answer CloseTrackSession(const Cdb& c, uint8_t* d, uint32_t n);
  Answer FormatUnit(const Cdb& c, uint8_t* d, uint32_t n);
  Answer Blank(const Cdb& c, uint8_t* d, uint32_t n);
  Answer SendDiscStructure(const Cdb& c, uint8_t* d, uint32_t n);
  Answer CloseSession(bool finalize);
  void StopBackgroundFormat();

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
  FaultInjector faults_;
  std::array<uint32_t, 256> command_counts_{};
  VirtualDriveModel model_;
  const void* claim_holder_ = nullptr;
  int claim_fd_ = -1;
  int prevent_fd_ = -1;
};

}  // namespace quillden::drive::virt

#endif  // QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_DEVICE_H_
