// Project files: a data disc's volume label and, for every file and every empty folder, where it
// comes from on the local file system and where it goes on the disc.
//
// The file is UTF-16LE text without a byte order mark (written and read) or text in the system's
// ANSI code page (read only):
//
//   VARNOLD MORVELLANTIC PROJECTFILE    CR LF       magic
//   1.0.0.0 CR LF                                   version
//   :VolumeLabel <0x0000> SPACE label CR LF         label line (the 0x0000 unit may be missing)
//   source TAB disc-path CR LF                      one line per file
//   [source]| TAB disc-path| CR LF                  one line per empty folder
//
// Lines follow the tree depth first. Loading does not restore a snapshot: it adds every source
// again through the add rules and the file progress protocol, into the tree that is already there.
//
// Thread-safety: SaveProject runs on the caller's thread; LoadProject checks the file's head on the
// caller's thread and adds the entries on a worker. A disc must not be used by anyone else while
// either runs.
#ifndef QUILLDEN_DATADISK_PROJECT_PROJECT_FILE_H_
#define QUILLDEN_DATADISK_PROJECT_PROJECT_FILE_H_

#include <cstdint>
#include <memory>
#include <string_view>

#include "datadisk/datadisk.h"
#include "progress/progress_record.h"

namespace quillden::project {

inline constexpr std::u16string_view kMagic = u"VARNOLD MORVELLANTIC PROJECTFILE    \r\n";
inline constexpr std::u16string_view kVersion = u"1.0.0.0 \r\n";
inline constexpr std::u16string_view kLabelKeyword = u":VolumeLabel";

// Longest label line after the keyword's space, CR LF included: units (UTF-16) or bytes (ANSI).
inline constexpr size_t kMaxLabelLineUnits = 40;
inline constexpr size_t kMaxLabelLineBytes = 80;
// Longest source or disc path part of an entry line: characters (UTF-16) or bytes (ANSI).
inline constexpr size_t kMaxPartUnits = 259;
inline constexpr size_t kMaxPartBytes = 519;

// Writes the project file of disc at path (a local path, UTF-16) on the caller's thread. Returns 0
// or the code; does not record it anywhere.
uint32_t SaveProject(Datadisk& disc, std::u16string_view path);

// Opens the project file, checks its magic, version and label line and sets the label (on the
// caller's thread), then starts the loading worker on record. Returns 0 when the worker started,
// else the code; does not record it as the last error.
uint32_t LoadProject(const std::shared_ptr<Datadisk>& disc, const std::shared_ptr<FileProgressRecord>& record,
                     std::u16string_view path);

}  // namespace quillden::project

#endif  // QUILLDEN_DATADISK_PROJECT_PROJECT_FILE_H_
