// One MMC command and how it travels: the DriveCommand a builder fills, the pass-through record
// that crosses to the drive's transport, and the process-wide record of the last command the drive
// rejected.
//
// SendDriveCommand allocates its own record per call (SendDriveCommandInRecord uses the caller's)
// and holds no lock, so commands to different drives may run on different threads. The last command
// error record is deliberately unlocked shared state: the last failing command of any thread wins.
// Its bytes are relaxed atomics, so a reader never races on memory, though it may see two commands
// mixed when two threads fail at the same instant.
#ifndef QUILLDEN_DRIVE_DRIVE_COMMAND_H_
#define QUILLDEN_DRIVE_DRIVE_COMMAND_H_

#include <cstdint>

#include "drive/mmc_vocabulary.h"
#include "drive/transport.h"
#include "quillden/drive.h"
#include "quillden/types.h"

namespace quillden::drive {

inline constexpr uint8_t kDataOut = kPassThroughDataOut;  // data to the drive
inline constexpr uint8_t kDataIn = kPassThroughDataIn;    // from the drive, and no data

// Result of a builder whose command found the drive busy with a long operation (sense 2/04/00..08).
inline constexpr uint32_t kOperationInProgress = 0xFFFFFFFFu;

struct DriveCommand {
  uint8_t cdb[kPassThroughCdbSize] = {};
  uint8_t cdb_length = 0;
  void* data = nullptr;
  uint32_t data_length = 0;
  uint32_t timeout = 0;  // seconds
  uint8_t direction = kDataIn;
  uint8_t sense[kPassThroughSenseSize] = {};  // filled only for CHECK CONDITION with sense data

  uint8_t sense_key() const { return sense[mmc::kSenseKeyByte] & mmc::kSenseKeyMask; }
  uint8_t asc() const { return sense[mmc::kSenseAsc]; }
  uint8_t ascq() const { return sense[mmc::kSenseAscq]; }
  // NOT READY, logical unit not ready: becoming ready / operation in progress (ASCQ 0 to 8).
  bool IsOperationInProgress() const {
    return sense_key() == mmc::kSenseNotReady && asc() == mmc::kAscLogicalUnitNotReady &&
           ascq() <= mmc::kAscqLongWriteInProgress;
  }
  // The progress indication of a not-ready answer (0 to 65535).
  uint16_t ProgressIndication() const {
    return static_cast<uint16_t>((sense[mmc::kSenseProgress] << 8) |
                                 sense[mmc::kSenseProgress + 1]);
  }
  // sense key << 16 | ASC << 8 | ASCQ.
  uint32_t SenseTriple() const {
    return (static_cast<uint32_t>(sense_key()) << 16) | (static_cast<uint32_t>(asc()) << 8) |
           ascq();
  }
};

// Executes one command on a drive handle: 0 success, 0x08000026 CHECK CONDITION with sense (the
// sense is copied into command.sense), 0x08000049 the request itself failed (also for a handle
// that is not an open drive), 0x09000000 the request returned nothing, 0x08000018 out of memory.
uint32_t SendDriveCommand(HANDLE drive, DriveCommand& command);

// The same over a record the caller lays out, so that bulk data crosses to the transport without
// a copy: record holds kPassThroughDataOffset bytes of room for the header, then the data
// (data_length bytes; the data to send, or room for the answer). command.data must point there
// (0x08000011 otherwise). The header is rewritten on every call, the data part never; a data-in
// answer is left in the record.
uint32_t SendDriveCommandInRecord(HANDLE drive, DriveCommand& command, uint8_t* record);

// The record behind DRV_GetLastCommandError.
void ReadLastCommandError(_COMMANDERRORINFOMATION* info);
uint32_t PackLastCommandError();
void ClearLastCommandErrorForTesting();

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_DRIVE_COMMAND_H_
