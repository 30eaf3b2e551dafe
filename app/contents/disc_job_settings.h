// Orvex contents: the record the creation workflow hands to a controller for one disc, and the
// map of source files to disc folders that a data disc is built from.
#ifndef QUENVAR_APP_CONTENTS_DISC_JOB_SETTINGS_H_
#define QUENVAR_APP_CONTENTS_DISC_JOB_SETTINGS_H_

#include <cstdint>
#include <map>
#include <string>

namespace quenvar::app {

struct DiscJobSettings {
  int32_t verify_mode = 0;        // 0 none, 1 quick, 2 full
  int32_t media_kind = 0;         // 1 to 6
  uint32_t file_system = 0;       // 1, 3 or 5 for optical discs
  std::u16string volume_label;
  std::u16string disc_title;
  std::u16string next_title;      // empty for the last disc
  std::u16string image_path;      // empty for data discs
  int32_t file_version_number = 1;
  uint64_t required_size = 0;     // megabytes, USB only
};

// Full path of a source file -> target folder on the disc (empty: the root folder). A source
// entered twice keeps the target entered last.
using FileMap = std::map<std::u16string, std::u16string>;

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTENTS_DISC_JOB_SETTINGS_H_
