// Orvex contents: the recorders of the machine and the media vocabulary of the program.
//
// tagDRIVEPARAM describes one recorder (identification, capabilities and the media found in it when
// the record was filled). The application keeps its recorders in a DriveList, ascending by drive
// number, with at most one of them selected as the drive that discs are recorded on. Media flags
// are the engine's one-bit-per-media codes (quillden/drive.h); here they get the names the program
// shows and the mapping from a disc's media kind. Plain data: not thread-safe, used on the main
// thread.
#ifndef QUENVAR_APP_CONTENTS_DRIVE_PARAM_H_
#define QUENVAR_APP_CONTENTS_DRIVE_PARAM_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quillden/drive.h"

namespace quenvar::app {

struct tagDRIVEPARAM {
  int32_t driveNumber = 0;  // 1 = A:, 2 = B:, ...
  // The drive's root as a desktop item; Linux has no shell namespace, so it stays null.
  const void* rootItem = nullptr;
  _DEVICEINFO deviceInfo{};
  _DEVICESPECIFICATIONS deviceSpec{};
  _MEDIAINFORMATION mediaInfo{};
  uint32_t mediaInfoResult = 0;
  int32_t selected = 0;
};

class DriveList {
 public:
  const std::vector<tagDRIVEPARAM>& records() const { return records_; }
  std::vector<tagDRIVEPARAM>& records() { return records_; }
  size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  void Clear() { records_.clear(); }

  // The drive number of the first selected record, 0 when none is.
  int32_t SelectedDrive() const;
  // Selects the record with drive_number and clears the flag on all others.
  void SetSelection(int32_t drive_number);
  // The record of drive_number, or null.
  const tagDRIVEPARAM* Find(int32_t drive_number) const;

 private:
  std::vector<tagDRIVEPARAM> records_;
};

// The acceptable media flags of a disc's media kind (1 CD ... 6 USB); 0 for another kind.
uint32_t MediaKindToFlags(int32_t media_kind);

// The name the program shows for one media flag ("*unknown*" for any other value).
std::u16string_view MediaName(uint32_t flag);

// "Please insert blank media." (string 15026) followed by the names of the allowed media joined by
// "/" and a line break. DVD-RAM is never offered; the two DVD-RW flags and the two DVD-R DL flags
// are named once each.
std::u16string MediaListText(uint32_t allowed_media);

// The drive selection line "(%c:) %s %s (%s)" of a record: letter, vendor, product, revision.
std::u16string DriveLine(const tagDRIVEPARAM& record);

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTENTS_DRIVE_PARAM_H_
