// The MMC command builders. Each zeroes a DriveCommand, sets the command block (multi-byte fields
// big-endian), sends it with SendDriveCommand and returns its result unless stated otherwise.
// Answers with multi-byte fields are parsed into host-order structs here, so callers never read
// raw drive answers for the common commands.
//
// Builders marked "not-ready rule" return kOperationInProgress instead of 0x08000026 while the
// drive answers 2/04/00..08 (becoming ready, formatting, blanking, closing), and deliver the
// progress indication (0 to 65535) when asked.
#ifndef QUILLDEN_DRIVE_MMC_COMMANDS_H_
#define QUILLDEN_DRIVE_MMC_COMMANDS_H_

#include <atomic>
#include <cstdint>
#include <vector>

#include "drive/drive_command.h"
#include "drive/mmc_vocabulary.h"
#include "quillden/types.h"

namespace quillden {
class ProgressReporter;
}

namespace quillden::drive {

// READ DISC INFORMATION, host order.
struct DiscInformation {
  uint8_t raw[mmc::kDiscInfoAnswerSize] = {};
  uint8_t disc_status = 0;         // byte 2 bits 0-1: 0 blank, 1 incomplete, 2 complete, 3 other
  uint8_t last_session_state = 0;  // byte 2 bits 2-3
  bool erasable = false;           // byte 2 bit 4
  uint16_t sessions = 0;           // bytes 4 and 9
  uint16_t first_track_last_session = 0;  // bytes 5 and 10
  uint16_t last_track_last_session = 0;   // bytes 6 and 11
  uint32_t last_session_lead_in = 0;      // bytes 16 to 19
  uint32_t last_lead_out = 0;             // bytes 20 to 23
};

// READ TRACK INFORMATION, host order.
struct TrackInformation {
  uint8_t raw[mmc::kTrackInfoAnswerSize] = {};
  uint16_t track = 0;              // bytes 2 and 32
  uint16_t session = 0;            // bytes 3 and 33
  uint8_t layer_jump_status = 0;   // byte 5 bits 6-7
  uint8_t track_mode = 0;          // byte 5 bits 0-3
  bool blank = false;              // byte 6 bit 6
  uint8_t data_mode = 0;           // byte 6 bits 0-3
  bool nwa_valid = false;          // byte 7 bit 0
  bool lra_valid = false;          // byte 7 bit 1
  uint32_t start = 0;              // bytes 8 to 11
  uint32_t next_writable = 0;      // bytes 12 to 15
  uint32_t free_blocks = 0;        // bytes 16 to 19
  uint32_t fixed_packet_size = 0;  // bytes 20 to 23 (jump interval on layer jump media)
  uint32_t size = 0;               // bytes 24 to 27
  uint32_t last_recorded = 0;      // bytes 28 to 31
  uint32_t next_layer_jump = 0;    // bytes 40 to 43
  uint32_t last_layer_jump = 0;    // bytes 44 to 47
};

// The 12-byte FORMAT UNIT parameter list in host order.
struct FormatList {
  uint8_t options = 0;          // header byte 1 (FOV, Immed, ...)
  uint16_t list_length = 8;     // header bytes 2 and 3
  uint32_t block_count = 0;     // descriptor bytes 0 to 3
  uint8_t format_type = 0;      // descriptor byte 4 bits 2-7
  uint32_t type_parameter = 0;  // descriptor bytes 5 to 7
};

// The SET STREAMING performance descriptor in host order.
struct PerformanceDescriptor {
  uint8_t flags = 0;  // byte 0: WRC, RDD, Exact, RA
  uint32_t start_lba = 0;
  uint32_t end_lba = 0;
  uint32_t read_size = 0;
  uint32_t read_time = 0;
  uint32_t write_size = 0;
  uint32_t write_time = 0;
};

// A READ FORMAT CAPACITIES descriptor.
struct FormatCapacity {
  uint32_t block_count = 0;
  uint8_t type = 0;        // capacity descriptor: descriptor type; formattable: format type
  uint32_t parameter = 0;  // block length or type parameter (24 bits)
};

uint32_t TestUnitReady(HANDLE drive, uint16_t* progress = nullptr);  // not-ready rule
uint32_t FormatUnit(HANDLE drive, const FormatList& list);
uint32_t Inquiry(HANDLE drive, uint8_t (&data)[36]);
uint32_t StartStopUnit(HANDLE drive, bool load_eject, bool start);
uint32_t PreventAllowMediumRemoval(HANDLE drive, bool prevent, bool persistent);
// READ FORMAT CAPACITIES into buffer; *current gets the capacity descriptor and *formattable the
// following descriptors, when given.
uint32_t ReadFormatCapacities(HANDLE drive, uint8_t* buffer, uint16_t length,
                              FormatCapacity* current = nullptr,
                              std::vector<FormatCapacity>* formattable = nullptr);
// Reads the whole list: first 12 bytes to learn its length, then all of it.
uint32_t ReadAllFormatCapacities(HANDLE drive, FormatCapacity* current,
                                 std::vector<FormatCapacity>* formattable);
uint32_t ReadCapacity(HANDLE drive, uint32_t* last_lba, uint32_t* block_length = nullptr);
uint32_t Read10(HANDLE drive, uint32_t lba, void* buffer, uint32_t bytes,
                uint32_t block_size = 2048, DriveCommand* sent = nullptr);
// WRITE(10) with the write retry rule: while the drive is busy (2/04/xx) the command is sent again
// after 1 ms until it succeeds, the progress object asks for cancellation (0x08000032) or 180 s
// have passed since the first send (0x0800001C).
uint32_t Write10(HANDLE drive, uint32_t lba, uint16_t blocks, const void* buffer, uint32_t bytes,
                 const ProgressReporter* progress);
// The same with the data already in a pass-through record (see SendDriveCommandInRecord): bytes of
// data at PassThroughData(record), with kPassThroughDataOffset bytes of room in front of them.
uint32_t Write10InRecord(HANDLE drive, uint32_t lba, uint16_t blocks, uint8_t* record,
                         uint32_t bytes, const ProgressReporter* progress);
void Seek10(HANDLE drive, uint32_t lba);
uint32_t SynchronizeCache(HANDLE drive, bool immediate);
// READ TOC/PMA/ATIP. A format above 5 or a length of 0 sends nothing and returns 0. With sent,
// the command as executed (its sense) is copied there.
uint32_t ReadToc(HANDLE drive, bool msf, uint8_t format, uint8_t track_session, uint8_t* buffer,
                 uint16_t length, DriveCommand* sent = nullptr);
// GET CONFIGURATION with RT = 2 (one feature).
uint32_t GetConfiguration(HANDLE drive, uint16_t feature, uint8_t* buffer, uint16_t length);
uint32_t GetEventStatusNotification(HANDLE drive, uint8_t class_request, uint8_t* buffer,
                                    uint16_t length);
uint32_t ReadDiscInformation(HANDLE drive, DiscInformation* info,
                             uint16_t* progress = nullptr);  // not-ready rule
// Address type 0 LBA, 1 track, 2 session; above 2 sends nothing and returns 0.
uint32_t ReadTrackInformation(HANDLE drive, uint8_t address_type, uint32_t number,
                              TrackInformation* info);
uint32_t ReserveTrack(HANDLE drive, uint32_t size);
uint32_t ModeSelect10(HANDLE drive, const uint8_t* buffer, uint16_t length);
uint32_t ModeSense10(HANDLE drive, uint8_t page, uint8_t* buffer, uint16_t length, bool dbd = true);
// CLOSE TRACK/SESSION with a 3-bit close function (001b track, 010b session, 000b stop a background
// format, ...).
uint32_t CloseTrackSession(HANDLE drive, bool immediate, uint8_t close_function, uint16_t track);
uint32_t SendCueSheet(HANDLE drive, const uint8_t* buffer, uint32_t size);
uint32_t Blank(HANDLE drive, bool immediate, uint8_t type, uint32_t start);
// GET PERFORMANCE, write speed descriptors. Fills up to capacity read and write speeds (kB/s) and
// returns their count, 0 on failure.
uint32_t GetPerformance(HANDLE drive, uint32_t* read_speeds, uint32_t* write_speeds,
                        uint32_t capacity);
uint32_t ReadDiscStructure(HANDLE drive, uint8_t format, uint8_t* buffer, uint16_t length);
uint32_t SetStreaming(HANDLE drive, const PerformanceDescriptor& descriptor);
uint32_t SetCdSpeed(HANDLE drive, uint16_t read_speed, uint16_t write_speed);
uint32_t ReadCd(HANDLE drive, uint8_t sector_type, uint32_t lba, void* buffer, uint32_t bytes,
                uint32_t block_size, uint8_t subchannel, DriveCommand* sent = nullptr);
uint32_t SendDiscStructure(HANDLE drive, uint8_t format, const uint8_t* buffer, uint16_t length);

// TEST UNIT READY until the drive is ready, 1000 ms apart; limit 0 waits for ever, otherwise gives
// up after limit waits with 0x0800001C. Returns the first answer that is not "in progress".
uint32_t WaitUntilReady(HANDLE drive, uint32_t limit_seconds);
// The same with READ DISC INFORMATION; *info gets the last answer.
uint32_t WaitWhileDiscBusy(HANDLE drive, DiscInformation* info, uint32_t limit_seconds);

// READ(10) / READ CD with retries: on failure and when retry is set, up to 5 more attempts, each
// after SEEK(10) to the same address and 5 ms.
uint32_t ReadWithRetry(HANDLE drive, uint32_t lba, void* buffer, uint32_t bytes, bool retry);
uint32_t ReadCdWithRetry(HANDLE drive, uint8_t sector_type, uint32_t lba, void* buffer,
                         uint32_t bytes, uint32_t block_size, uint8_t subchannel, bool retry);
// The sense forms: 0 on success, else the sense triple (key << 16 | ASC << 8 | ASCQ), or 0xFFFFFFFF
// when the drive gave no sense; retried only for sense keys 2, 3 and 4.
uint32_t ReadWithRetrySense(HANDLE drive, uint32_t lba, void* buffer, uint32_t bytes, bool retry);
uint32_t ReadCdWithRetrySense(HANDLE drive, uint8_t sector_type, uint32_t lba, void* buffer,
                              uint32_t bytes, uint32_t block_size, uint8_t subchannel, bool retry);
// READ TOC/PMA/ATIP (LBA form, track/session 0) with the same retry rule, a reset retried too: the
// table and the lead-in's data survive it. The last attempt's command (its sense) is in *sent.
uint32_t ReadTocWithRetry(HANDLE drive, uint8_t format, uint8_t* buffer, uint16_t length,
                          DriveCommand* sent);

// The clock behind the waits (tests replace it to run the waits without real time).
class DriveClock {
 public:
  virtual ~DriveClock() = default;
  virtual uint64_t TickMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
};
// A clock whose time moves only when something sleeps, so that fuzzers and tests run the waits of
// the drive layer without real time.
class ManualDriveClock : public DriveClock {
 public:
  uint64_t TickMs() override { return now_.load(); }
  void SleepMs(uint32_t ms) override { now_ += ms; }

 private:
  std::atomic<uint64_t> now_{0};
};
DriveClock* CurrentDriveClock();
void SetDriveClockForTesting(DriveClock* clock);  // null restores the real clock

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_MMC_COMMANDS_H_
