// Importing a session of a disc into a data disc: every file and folder of the session becomes an
// imported entry (DDF_ATTR_IMPORTED) whose content stays where it is on the disc, placed into the
// tree through the file progress protocol. One Importer serves one MST_ReadFileSystem call on the
// worker's thread.
#ifndef QUILLDEN_DATADISK_IMPORTER_H_
#define QUILLDEN_DATADISK_IMPORTER_H_

#include <cstdint>
#include <map>
#include <utility>

#include "datadisk/datadisk.h"
#include "datadisk/file_progress_asker.h"
#include "filesystems/reader/disc_reader.h"

namespace quillden::reader {

// A file's content as the tree keeps it: at most two pieces, each a run of consecutive blocks.
struct Pieces {
  uint32_t location = 0;
  uint64_t length = 0;
  uint32_t second_location = 0;
  uint64_t second_length = 0;
};
// Splits item's extents into pieces. A piece ends where the next extent does not follow on
// (another block, or the extent before it does not fill its last block). False when the content
// needs more than two pieces, holds unrecorded extents, lives inside its UDF file entry, or the
// extents hold less than the size.
bool SplitIntoPieces(const DiscItem& item, Pieces* pieces);

class Importer {
 public:
  Importer(Datadisk& disc, HANDLE drive, FileProgressAsker asker)
      : disc_(disc), drive_(drive), asker_(std::move(asker)) {}

  // The whole import of session number session: keeps the medium in the drive meanwhile, walks
  // UDF (or, without it or when it fails, ISO 9660 / Joliet), and on success or cancel records the
  // drive, the next session start and the data mode in the disc. A failure empties the tree.
  // Returns 0, 0x08000032 after a cancel, or the failure's code (also stored as the last error).
  uint32_t Run(uint16_t session);

 private:
  enum class Placed { kNew, kMerged, kSkipped };

  uint32_t Import(uint16_t session);
  uint32_t ImportUdf(DiscReader& reader);
  uint32_t ImportIso(DiscReader& reader);
  // Keeps the boot entries of the imported session's catalog so that the appended session boots
  // as the imported one did: the EFI entry becomes the disc's EFI image unless one is set, the
  // BIOS entry is kept for the catalog unless a boot image is set. Images stay where they are.
  void KeepBootEntries(DiscReader& reader);
  // Places one item in folder (null = root) through the protocol. *entry gets the new entry, or
  // for a folder that met an existing folder of its name, that folder. Returns 0 (also for a
  // skipped item), 0x08000032 for a cancel, 0x08000018, or 0x08000038 for content that the tree
  // cannot describe.
  uint32_t Place(DatadiskEntry* folder, const DiscItem& item, DatadiskEntry** entry, Placed* placed);
  uint32_t Ask(uint32_t code, const char16_t* text, uint32_t* reply);
  void EmptyTree();

  Datadisk& disc_;
  HANDLE drive_;
  FileProgressAsker asker_;
  // The boot entries KeepBootEntries gave the disc (dropped again when the import fails later).
  BootImage* kept_efi_ = nullptr;
  BootImage* kept_bios_ = nullptr;
  uint64_t capacity_ = 0xFFFFFFFFu;  // blocks of the disc
};

}  // namespace quillden::reader

#endif  // QUILLDEN_DATADISK_IMPORTER_H_
