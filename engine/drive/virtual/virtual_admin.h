// Administration of virtual drives: put a blank medium or a pressed image into a virtual drive,
// open or close its tray, set its busy periods, describe what it holds. Programs reach it through
// the exported DRV_ functions of quillden/virtual.h; code inside the engine and tests of the
// engine may call it directly.
//
// Each call acts on the shared device of the backing file (see virtual_recorder.h), so a drive
// that this process has open sees the change at once; another process sees it at its next
// command, when it re-reads the state file. All functions are thread-safe. The *Medium, *Tray,
// *BusyPeriods and Describe* forms return 0 or a result code of quillden/virtual.h with *error;
// the older bool forms return false with *error on failure.
#ifndef QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_ADMIN_H_
#define QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_ADMIN_H_

#include <cstdint>
#include <string>

namespace quenvar::platform {
class Env;
}

namespace quillden::drive {

// The defaults are those of a new drive. No busy period outlasts the first poll of the engine's
// wait for a drive (close_wait.h) but blanking and formatting, whose progress the engine shows.
struct VirtualTiming {
  uint32_t blank_ms = 1500;
  uint32_t format_ms = 1500;
  uint32_t close_ms = 100;
  uint32_t flush_ms = 0;
  uint32_t background_format_ms = 3000;
};

// Inserts a new blank medium of kind (see OpenVirtualRecorder; "none" empties the tray),
// discarding the old medium's data. capacity 0 takes the kind's standard size.
uint32_t CreateVirtualMedium(quenvar::platform::Env* env, const std::string& backing_path,
                             const std::string& kind, uint32_t capacity, std::string* error);
// Inserts pressed media made from an image of 2048-byte blocks: kind "cd-rom" or "dvd-rom",
// or "" to choose by size (CD up to 90 minutes). The image is referenced, not copied.
uint32_t LoadVirtualMedium(const std::string& backing_path, const std::string& image_path,
                           const std::string& kind, std::string* error);
// Opens (eject) or closes (load) the tray. Opening a locked drive needs force.
uint32_t MoveVirtualTray(const std::string& backing_path, bool open, bool force,
                         std::string* error);
// Sets the busy periods of long operations (0 makes them finish at once).
uint32_t SetVirtualBusyPeriods(const std::string& backing_path, const VirtualTiming& timing,
                               std::string* error);
// The nth command with opcode from now answers CHECK CONDITION with key/asc/ascq instead of
// executing (repeat more fail after it). Only a drive this process has open keeps the fault: one
// that is not open is refused (QD_E_INVALID_ARGUMENT), since the fault would vanish with it.
uint32_t InjectVirtualSense(const std::string& backing_path, uint8_t opcode, uint32_t nth,
                            uint8_t key, uint8_t asc, uint8_t ascq, uint32_t repeat,
                            std::string* error);
// How many commands with opcode the drive executed or failed since this process opened it.
uint32_t CountVirtualCommands(const std::string& backing_path, uint8_t opcode, uint32_t* count,
                              std::string* error);
// A human-readable description of the drive and its medium, one "name: value" per line.
uint32_t DescribeVirtualMedium(const std::string& backing_path, std::string* text,
                               std::string* error);

bool CreateVirtualBlank(const std::string& backing_path, const std::string& kind, uint32_t capacity,
                        std::string* error);
bool CreateVirtualBlank(quenvar::platform::Env* env, const std::string& backing_path,
                        const std::string& kind, uint32_t capacity, std::string* error);
bool LoadVirtualImage(const std::string& backing_path, const std::string& image_path,
                      const std::string& kind, std::string* error);
bool SetVirtualTray(const std::string& backing_path, bool open, bool force, std::string* error);
bool SetVirtualTiming(const std::string& backing_path, const VirtualTiming& timing,
                      std::string* error);
bool DescribeVirtualDrive(const std::string& backing_path, std::string* text, std::string* error);

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_ADMIN_H_
