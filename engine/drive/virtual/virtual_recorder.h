// The virtual recorder: an MMC device model reached through the same pass-through record and the
// same Transport interface as a real drive.
//
// A virtual drive is named by its backing file (see media_state.h for the files it keeps). All
// transports opened on the same backing file in one process share one device, as handles of one
// real drive do: tray, lock, busy periods, drive letter and injected faults are the device's.
// Every call is serialised on the device; a transport may be used from any thread. The state
// file is re-read when another process (the quillden tool) has replaced it.
//
// Tests reach the fault-injection and clock hooks through AsVirtualRecorder(transport).
#ifndef QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_RECORDER_H_
#define QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_RECORDER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "drive/transport.h"

namespace quenvar::platform {
class Env;
}

namespace quillden::drive {

namespace virt {
class VirtualDevice;
}

// The drive around a virtual medium: what it reads and writes, as a real drive's feature list says.
// The default drive reads and writes every medium the recorder models. A declared drive lists the
// profiles it records on and the read-only media families it reads (CD-ROM 0x08, DVD-ROM 0x10;
// every family it writes is read too). It reports a recorded medium it cannot write as the
// read-only profile of its family, answers INCOMPATIBLE MEDIUM INSTALLED (2/30/00) for a medium
// it cannot use at all (another family, or a blank it cannot write), and refuses commands that
// would change such media. A drive that writes nothing is a plain reading drive of the older
// kind: its configuration is the profile list alone (feature 0) and it does not know READ TRACK
// INFORMATION (5/20/00).
struct VirtualDriveModel {
  bool every_medium = true;
  std::vector<uint16_t> reads;   // 0x08 and/or 0x10
  std::vector<uint16_t> writes;  // recordable profiles

  bool Writes(uint16_t profile) const;
  bool ReadsFamilyOf(uint16_t profile) const;
};

// Parses a drive declaration "reads=LIST writes=LIST" (either part may be left out; LIST joins
// names with '|'). Read names: cd, cd-rom, dvd, dvd-rom. Write names: the media kinds cd-r, cd-rw,
// dvd-r, dvd-rw (both recording modes), dvd+r, dvd+rw, dvd+r-dl, dvd-r-dl (both recording modes),
// and cd (CD-R and CD-RW). Empty text is the default drive. False with *error naming what is wrong.
bool ParseVirtualDriveModel(const std::string& text, VirtualDriveModel* model, std::string* error);

// Opens the virtual drive whose medium lives in backing_path. When its state file exists, the
// stored state wins and media_kind is ignored; otherwise a new medium of media_kind ("cd-r",
// "cd-rw", "dvd-r", "dvd-rw", "dvd+r", "dvd+rw", "dvd+r-dl", "dvd-r-dl", or "none" for an empty
// tray) is created. Returns null with *error for an unknown kind, unusable files or a damaged
// state file.
std::unique_ptr<Transport> OpenVirtualRecorder(const std::string& backing_path,
                                               const std::string& media_kind, std::string* error);
// The same with an explicit Env for file access and the clock (tests).
std::unique_ptr<Transport> OpenVirtualRecorder(const std::string& backing_path,
                                               const std::string& media_kind,
                                               quenvar::platform::Env* env, std::string* error);
// The same for a declared drive. All transports of one backing file in a process share the drive
// that the first of them declared.
std::unique_ptr<Transport> OpenVirtualRecorder(const std::string& backing_path,
                                               const std::string& media_kind,
                                               const VirtualDriveModel& model, std::string* error);

// How CorruptNextData damages the data of a data-in command.
struct DataCorruption {
  enum class Kind {
    kTruncate,  // deliver only keep_bytes bytes (the rest of the buffer stays zero)
    kGarbage,   // overwrite every delivered byte with pseudo-random bytes from seed
    kPatch,     // overwrite the delivered data at offset with bytes
  };
  Kind kind = Kind::kTruncate;
  uint32_t keep_bytes = 0;
  uint32_t seed = 1;
  uint32_t offset = 0;
  std::vector<uint8_t> bytes;
};

class VirtualRecorder : public Transport {
 public:
  explicit VirtualRecorder(std::shared_ptr<virt::VirtualDevice> device);
  ~VirtualRecorder() override;

  bool Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
               uint32_t* bytes_returned) override;
  // Holds the backing file for this transport's job until it closes (see Transport).
  int ClaimExclusive() override;
  void ReleaseExclusive() override;

  // The nth command with this opcode from now (1 = the next one) answers CHECK CONDITION with
  // the given sense instead of executing; repeat > 1 makes the following ones fail too.
  void InjectSense(uint8_t opcode, uint32_t nth, uint8_t key, uint8_t asc, uint8_t ascq,
                   uint32_t repeat = 1);
  // Media-access commands answer NOT READY, BECOMING READY (2/04/01) for this long.
  void SetNotReadyForMs(uint32_t milliseconds);
  void SetNotReadyForCommands(uint32_t commands);
  // The user presses the eject button: while the medium is locked this raises the eject-request
  // event (and the driver's eject flag while eject requests are caught); otherwise the tray opens.
  void PressEjectButton();
  // The medium vanishes from the drive (tray stays closed and empty).
  void RemoveMedium();
  // The data returned by the nth command with this opcode from now is damaged as described.
  void CorruptNextData(uint8_t opcode, uint32_t nth, const DataCorruption& corruption);
  void ClearFaults();
  // Commands with this opcode executed (or failed) since the device was opened.
  uint32_t CommandCount(uint8_t opcode) const;

  virt::VirtualDevice* device() const { return device_.get(); }

 private:
  std::shared_ptr<virt::VirtualDevice> device_;
};

// The VirtualRecorder behind a transport, or null when it is another kind of transport.
VirtualRecorder* AsVirtualRecorder(Transport* transport);

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_RECORDER_H_
